// Frame rectangles and the model input size of the face detector, and the mapping of its
// results into the frame.

#ifndef FACE_ML_ZELKOR_FACE_UTILS_H_
#define FACE_ML_ZELKOR_FACE_UTILS_H_

#include <utility>

#include "face_ml/face_detector_metadata_generated.h"
#include "face_ml/types.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

// The whole frame as the detector sees it after turning it by `rotation` degrees (a
// multiple of 90): centred in the frame, width and height swapped for quarter turns,
// rotation -rotation in radians.
utils::RotatedRect CalculateImageRect(int width, int height, int rotation);

// `rect` with one side grown (to a whole number of pixels) so that its height / width is
// the target's; centre and rotation stay.
utils::RotatedRect CalculateFitInsideRect(const utils::RotatedRect& rect, int target_width,
                                          int target_height);

// The recommended input size that carries the most image content for a frame rectangle of
// width x height; between sizes within 1e-6 of each other the earlier one. The input spec must
// recommend at least one size (a fatal check otherwise).
std::pair<int, int> GetBestInputTensorWidthAndHeight(int width, int height,
                                                     const fb::ZelkorFaceInputSpec* input_spec);

// Maps the faces' rects and all landmarks through `matrix`; a rect's mapped corners are
// reordered so that left <= right and top <= bottom.
void TransformResult(const Matrix4& matrix, LandmarksDetectionResult* result);

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_ZELKOR_FACE_UTILS_H_
