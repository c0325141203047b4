#include "face_ml/bound_predictor.h"

namespace research {
namespace sorvanti {
namespace api {
namespace utils {
namespace {

class BoundTranslationPredictor : public BoundPredictor {
 public:
  void AddFaceDetectorBound(const RectAndBound& detection) override {
    if (current_detection_.has_value()) previous_detection_ = current_detection_;
    current_detection_ = detection;
  }

  void AddLandmarksDetectorBound(const RectAndBound& region) override {
    last_landmarks_region_ = region;
  }

  bool Predict(absl::optional<absl::Duration> time, RectAndBound* output) override {
    if (output == nullptr || !last_landmarks_region_.has_value()) return false;
    *output = *last_landmarks_region_;
    output->time = time;
    if (!previous_detection_.has_value() || !last_landmarks_region_->time.has_value() ||
        !current_detection_->time.has_value() || !previous_detection_->time.has_value() ||
        *previous_detection_->time != *last_landmarks_region_->time || !time.has_value() ||
        *time != *current_detection_->time) {
      return true;
    }
    const Bound& now = current_detection_->bound;
    const Bound& before = previous_detection_->bound;
    const float dx = (now.left + now.right) * 0.5f - (before.left + before.right) * 0.5f;
    const float dy = (now.top + now.bottom) * 0.5f - (before.top + before.bottom) * 0.5f;
    output->bound.left += dx;
    output->bound.right += dx;
    output->bound.top += dy;
    output->bound.bottom += dy;
    output->rect.center_x += current_detection_->rect.center_x - previous_detection_->rect.center_x;
    output->rect.center_y += current_detection_->rect.center_y - previous_detection_->rect.center_y;
    return true;
  }

 private:
  absl::optional<RectAndBound> previous_detection_;
  absl::optional<RectAndBound> current_detection_;
  absl::optional<RectAndBound> last_landmarks_region_;
};

}  // namespace

std::unique_ptr<BoundPredictor> MakeBoundTranslationPredictor() {
  return std::make_unique<BoundTranslationPredictor>();
}

}  // namespace utils
}  // namespace api
}  // namespace sorvanti
}  // namespace research
