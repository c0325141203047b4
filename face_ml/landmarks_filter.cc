#include "face_ml/landmarks_filter.h"

#include <cstddef>
#include <vector>

#include "base/logging.h"
#include "face_ml/relative_velocity_filter.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

class NoOpLandmarksFilter : public LandmarksFilter {
 public:
  bool Apply(const Bound&, absl::optional<absl::Duration>, absl::Span<Landmark>) override {
    return true;
  }
};

class RelativeVelocityLandmarksFilter : public LandmarksFilter {
 public:
  RelativeVelocityLandmarksFilter(int dimensions, int window_size, float velocity_scale)
      : dimensions_(dimensions), window_size_(window_size), velocity_scale_(velocity_scale) {}

  bool Apply(const Bound& bound, absl::optional<absl::Duration> time,
             absl::Span<Landmark> landmarks) override {
    if (!time.has_value()) return true;
    if (dimensions_ != 2 && dimensions_ != 3) {
      LOG(ERROR) << "Invalid dimensions " << dimensions_;
      return false;
    }
    const size_t n = landmarks.size();
    // x filters of every landmark, then y, then z.
    if (filters_.size() != dimensions_ * n) {
      filters_.clear();
      filters_.reserve(dimensions_ * n);
      for (size_t i = 0; i < dimensions_ * n; ++i) {
        filters_.emplace_back(window_size_ < 0 ? 0 : window_size_, velocity_scale_);
      }
    }
    const float object_scale = (bound.right - bound.left) + (bound.bottom - bound.top);
    if (object_scale < 1e-6f) return true;
    const float value_scale = 2.0f / object_scale;
    for (size_t i = 0; i < n; ++i) {
      Landmark& l = landmarks[i];
      l.x = filters_[i].Apply(*time, value_scale, l.x);
      l.y = filters_[n + i].Apply(*time, value_scale, l.y);
      if (dimensions_ == 3) l.z = filters_[2 * n + i].Apply(*time, value_scale, l.z);
    }
    return true;
  }

 private:
  int dimensions_;
  int window_size_;
  float velocity_scale_;
  std::vector<RelativeVelocityFilter> filters_;
};

class LandmarksFilterFactoryImpl : public LandmarksFilterFactory {
 public:
  LandmarksFilterFactoryImpl(LandmarksFilterType type, int dimensions)
      : type_(type), dimensions_(dimensions) {}

  std::unique_ptr<LandmarksFilter> MakeFilter() const override {
    if (type_ == RELATIVE_VELOCITY_FILTER) return MakeRelativeVelocityFilter(5, 40.0f);
    return std::make_unique<NoOpLandmarksFilter>();
  }

  std::unique_ptr<LandmarksFilter> MakeRelativeVelocityFilter(
      int window_size, float velocity_scale) const override {
    return std::make_unique<RelativeVelocityLandmarksFilter>(dimensions_, window_size,
                                                             velocity_scale);
  }

 private:
  LandmarksFilterType type_;
  int dimensions_;
};

}  // namespace

std::unique_ptr<LandmarksFilterFactory> MakeFilterFactory(LandmarksFilterType requested,
                                                          LandmarksFilterType model_default,
                                                          int dimensions) {
  return std::make_unique<LandmarksFilterFactoryImpl>(
      requested != DEFAULT_FILTER ? requested : model_default, dimensions);
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
