#include "face_ml/zelkor_face_utils.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/logging.h"
#include "face_ml/landmark_geometry.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

utils::RotatedRect CalculateImageRect(int width, int height, int rotation) {
  utils::RotatedRect rect;
  rect.center_x = static_cast<float>(width) * 0.5f;
  rect.center_y = static_cast<float>(height) * 0.5f;
  const bool swapped = rotation % 180 != 0;
  rect.width = static_cast<float>(swapped ? height : width);
  rect.height = static_cast<float>(swapped ? width : height);
  rect.rotation = static_cast<float>(-rotation * M_PI / 180.0);
  return rect;
}

utils::RotatedRect CalculateFitInsideRect(const utils::RotatedRect& rect, int target_width,
                                          int target_height) {
  utils::RotatedRect result = rect;
  const float aspect = static_cast<float>(target_height) / static_cast<float>(target_width);
  if (aspect > rect.height / rect.width) {
    result.height = std::trunc(aspect * rect.width + 0.5f);
  } else {
    result.width = std::trunc(rect.height / aspect + 0.5f);
  }
  return result;
}

std::pair<int, int> GetBestInputTensorWidthAndHeight(int width, int height,
                                                     const fb::ZelkorFaceInputSpec* input_spec) {
  CHECK(input_spec->recommended_input_sizes()->size() > 0)
      << "Zelkor face input spec doesn't specify recommended sizes";
  const double w = width;
  const double h = height;
  const float frame_aspect = static_cast<float>(height) / static_cast<float>(width);
  std::pair<int, int> best(0, 0);
  double best_score = std::numeric_limits<double>::lowest();
  for (const fb::InputSize* size : *input_spec->recommended_input_sizes()) {
    const double tw = size->width();
    const double th = size->height();
    const double aspect = th / tw;
    const double fit_area = aspect > frame_aspect ? w * (aspect * w) : (h / aspect) * h;
    // The tensor pixels that carry image content.
    const double score = (w * h / fit_area) * (tw * th);
    if (score - best_score > 1e-6) {
      best_score = score;
      best = {size->width(), size->height()};
    }
  }
  return best;
}

void TransformResult(const Matrix4& matrix, LandmarksDetectionResult* result) {
  for (LandmarksDetectionResult::Face& face : result->faces) {
    Landmark a{face.rect.left, face.rect.top, 0};
    Landmark b{face.rect.right, face.rect.bottom, 0};
    TransformLandmark(matrix, &a);
    TransformLandmark(matrix, &b);
    face.rect.left = std::min(a.x, b.x);
    face.rect.top = std::min(a.y, b.y);
    face.rect.right = std::max(a.x, b.x);
    face.rect.bottom = std::max(a.y, b.y);
  }
  for (Landmark& landmark : result->landmarks) TransformLandmark(matrix, &landmark);
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
