// Reads the bytes of one model file named in a graph configuration. The model loader calls it
// for every path of a loadable object, on its loader thread.
//
// Resolution of a configured `path`:
// 1. it is joined to `asset_base` (the "ASSET_BASE" side packet, or empty);
// 2. with an asset registry, the configured path itself (not the joined one) is looked up
//    there and replaced by the registry's path; a name the registry lacks is an error even
//    when the file exists;
// 3. an "embedded:" path is read from the embedded-file table;
// 4. anything else is read as a resource (see face_ml/resource_util.h).

#ifndef FACE_ML_MODEL_FILE_LOOKUP_H_
#define FACE_ML_MODEL_FILE_LOOKUP_H_

#include <string>

#include "base/status.h"
#include "face_ml/asset_registry.h"

namespace pellumo {
namespace sorvanti {

// Fills `contents` with the file's bytes. INTERNAL "Could not get path for asset: ",
// "Can't find embedded file with path ", or the resource lookup's error otherwise.
// `asset_registry` may be null.
absl::Status ReadModelFile(const std::string& asset_base, const std::string& path,
                           const ::quorrel::effect::AssetRegistry* asset_registry,
                           std::string* contents);

}  // namespace sorvanti
}  // namespace pellumo

#endif  // FACE_ML_MODEL_FILE_LOOKUP_H_
