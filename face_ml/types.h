// Plain value types of the face ML code: landmarks, bounds, rotated crops and detection
// results. They are copyable records without behaviour; the geometry on them is in
// face_ml/landmark_geometry.h.
//
// Coordinates, unless a field says otherwise:
// - normalised frame coordinates: x in [0, 1] across the frame width, y in [0, 1] down the
//   frame height; a landmark's z is in the unit of x (divided by the frame width);
// - frame pixels: x in [0, width], y in [0, height] of the frame as the ML code sees it,
//   that is after the input rotation;
// - angles in radians, as atan2(dy, dx) in the x-right, y-down image axes.
//
// The 4x4 matrices are row-major arrays of 16 floats applied to column vectors
// (x, y, z, 1): entries 3, 7 and 11 hold the translation.

#ifndef FACE_ML_TYPES_H_
#define FACE_ML_TYPES_H_

#include <array>
#include <cstdint>
#include <vector>

#include "absl/time/time.h"
#include "absl/types/optional.h"

namespace research {
namespace sorvanti {
namespace api {

struct Landmark {
  float x = 0;
  float y = 0;
  float z = 0;
};

// Axis-aligned box; non-empty when left < right and top < bottom.
struct Bound {
  float left = 0;
  float top = 0;
  float right = 0;
  float bottom = 0;
};

// Row-major 4x4 matrix; see the file comment.
using Matrix4 = std::array<float, 16>;

namespace utils {

// A crop of the frame in frame pixels. The width axis points along `rotation`.
struct RotatedRect {
  float center_x = 0;
  float center_y = 0;
  float width = 0;   // before rotation
  float height = 0;  // before rotation
  float rotation = 0;
};

// One face region as the face detector or the landmarks give it.
struct RectAndBound {
  RotatedRect rect;  // the crop in which the landmark model runs
  Bound bound;       // the face's normalised bounding box
  absl::optional<absl::Duration> time;  // the frame it was obtained on, when known
};

}  // namespace utils

// The result of a face ML front end: faces whose landmarks share one array. The faces'
// landmark ranges lie in `landmarks` in face order, each starting where the previous one
// ends.
struct LandmarksDetectionResult {
  struct Face {
    Bound rect;                // normalised to the frame
    int32_t landmarks_begin = 0;
    int32_t landmarks_end = 0;  // one past the face's last landmark
    int32_t face_id = -1;      // -1 when the producer gives no id
  };

  std::vector<Face> faces;
  std::vector<Landmark> landmarks;
};

// One named group of a model's landmarks; indices are within one face's landmarks.
struct ContourSet {
  int32_t type = 0;
  std::vector<int32_t> indices;
};

}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_TYPES_H_
