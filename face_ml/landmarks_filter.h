// Per-face landmark filters and the factory that makes them.
//
//   auto factory = MakeFilterFactory(options_type, model_default_type, /*dimensions=*/3);
//   std::unique_ptr<LandmarksFilter> filter = factory->MakeFilter();  // one per tracked face
//   filter->Apply(face_bound, frame_time, absl::MakeSpan(landmarks));  // every frame
//
// The relative-velocity filter runs one scalar filter per landmark coordinate, with the
// velocity measured relative to the size of the face's bound. A frame without a time is
// not filtered.

#ifndef FACE_ML_LANDMARKS_FILTER_H_
#define FACE_ML_LANDMARKS_FILTER_H_

#include <memory>

#include "absl/time/time.h"
#include "absl/types/optional.h"
#include "absl/types/span.h"
#include "face_ml/interfaces.h"
#include "face_ml/types.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

class LandmarksFilter {
 public:
  virtual ~LandmarksFilter() = default;
  // Filters `landmarks` in place; false on failure (logged).
  virtual bool Apply(const Bound& bound, absl::optional<absl::Duration> time,
                     absl::Span<Landmark> landmarks) = 0;
};

class LandmarksFilterFactory {
 public:
  virtual ~LandmarksFilterFactory() = default;
  // The filter of the factory's type: relative velocity (window 5, velocity scale 40) or,
  // for every other type, a filter that changes nothing.
  virtual std::unique_ptr<LandmarksFilter> MakeFilter() const = 0;
  // A relative-velocity filter with these parameters, whatever the factory's type.
  virtual std::unique_ptr<LandmarksFilter> MakeRelativeVelocityFilter(
      int window_size, float velocity_scale) const = 0;
};

// The factory's type is `requested` unless that is DEFAULT_FILTER, else `model_default`.
// `dimensions` is the number of coordinates per landmark to filter (2 or 3; other values
// make the relative-velocity filter fail).
std::unique_ptr<LandmarksFilterFactory> MakeFilterFactory(LandmarksFilterType requested,
                                                          LandmarksFilterType model_default,
                                                          int dimensions);

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_LANDMARKS_FILTER_H_
