// Geometry of landmarks, bounds and rotated crops: areas and overlaps, the matrix that maps
// a rotated crop back into the frame, landmark transforms, and face bounds and crops
// derived from landmarks or detections. All arithmetic is in single precision.
//
// `width` and `height` are always the frame's size in pixels.

#ifndef FACE_ML_LANDMARK_GEOMETRY_H_
#define FACE_ML_LANDMARK_GEOMETRY_H_

#include <vector>

#include "absl/types/span.h"
#include "face_ml/types.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

// (right - left) * (bottom - top); negative when the bound is inverted on one axis.
float CalculateArea(const Bound& bound);
// The overlap's area; 0 for bounds that only touch.
float CalculateIntersectionArea(const Bound& a, const Bound& b);
// Intersection over union; 0 when either bound has no positive area.
float CalculateIOU(const Bound& a, const Bound& b);
// True when one face's rect has an IoU above 0.85 with `bound`.
bool ContainsFaceWithBound(const std::vector<LandmarksDetectionResult::Face>& faces,
                           const Bound& bound);

// The angle in [0, 2pi) of the line from landmark `index_a` to landmark `index_b` of
// `face`, in frame pixels. The indices are relative to the face's first landmark and must
// lie within its range.
float CalculateTiltAngle(int width, int height, const LandmarksDetectionResult::Face& face,
                         const std::vector<Landmark>& landmarks, int index_a, int index_b);

// Fills `matrix` with the map from the crop's unit square (u, v across its width and
// height, w a depth in crop widths) to normalised frame coordinates. With `flip` the
// crop's horizontal axis is mirrored.
void GetRotatedSubRectToRectTransformMatrix(const utils::RotatedRect& roi, int width,
                                            int height, bool flip, Matrix4* matrix);

// Applies `matrix` to the landmark as a column vector (x, y, z, 1).
void TransformLandmark(const Matrix4& matrix, Landmark* landmark);

// Maps landmarks given in model-input pixels of the crop `roi` into normalised frame
// coordinates.
void TransformLandmarks(int width, int height, int input_width, int input_height,
                        const utils::RotatedRect& roi, bool flip,
                        std::vector<Landmark>* landmarks);

// The landmarks' box enlarged by 1.2 about its centre. `landmarks` must not be empty.
void CalculateBoundingBox(const std::vector<Landmark>& landmarks, Bound* bound);

// The tightest crop (frame pixels) around all landmarks, oriented along the line from
// landmark `index_a` to landmark `index_b`. False, with `roi` untouched, when either index
// is out of range.
bool CalculateContoursRegionOfInterest(const std::vector<Landmark>& landmarks, int width,
                                       int height, int index_a, int index_b,
                                       utils::RotatedRect* roi);

// The crop of a face-detector detection: its rect in frame pixels, oriented along its first
// two key points. The angle is taken from the normalised key points as they are. False when
// the face has fewer than two key points in `keypoints`.
bool CalculateZelkorFaceRegionOfInterest(const LandmarksDetectionResult::Face& face,
                                         const std::vector<Landmark>& keypoints, int width,
                                         int height, utils::RotatedRect* roi);

// Reads `count` landmarks of 2 (z = 0) or 3 coordinates from a model output. False, with
// the vector empty, for another dimension count or when `raw` is too short.
bool LandmarksFromRawOutput(absl::Span<const float> raw, int count, int dimensions,
                            std::vector<Landmark>* landmarks);

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_LANDMARK_GEOMETRY_H_
