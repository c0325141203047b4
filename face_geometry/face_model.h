// The face-model file: a flat buffer of face_model.fbs whose root table, a FaceModel, is
// at the offset held in bytes 0..3 (no file identifier). Loading unpacks it into the
// object tree FaceModelT, which owns all its data; only the tree is used afterwards.
#ifndef FACE_GEOMETRY_FACE_MODEL_H_
#define FACE_GEOMETRY_FACE_MODEL_H_

#include <memory>
#include <string>
#include <vector>

#include "base/statusor.h"
#include "face_geometry/face_model_generated.h"

namespace quorrel {
namespace face_transform {

// Loads the face model from the contents of the files read for it; the first entry is the
// face-model file. The buffer is verified before it is read: an empty list or a buffer that
// is short or not a face-model buffer fails with INVALID_ARGUMENT. Whether the model's
// contents are consistent is checked by the parts that use them.
util::StatusOr<std::unique_ptr<FaceModelT>> LoadFaceModel(
    const std::vector<std::string>& file_contents);

}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_FACE_MODEL_H_
