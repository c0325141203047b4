// Predicts where a tracked face's landmark region is when the face detector confirms the
// face again, from the face's last two detections and its last landmark-derived region.

#ifndef FACE_ML_BOUND_PREDICTOR_H_
#define FACE_ML_BOUND_PREDICTOR_H_

#include <memory>

#include "absl/time/time.h"
#include "absl/types/optional.h"
#include "face_ml/types.h"

namespace research {
namespace sorvanti {
namespace api {
namespace utils {

class BoundPredictor {
 public:
  virtual ~BoundPredictor() = default;
  virtual void AddFaceDetectorBound(const RectAndBound& detection) = 0;
  virtual void AddLandmarksDetectorBound(const RectAndBound& region) = 0;
  // The last landmarks region at `time`; false (output untouched) when there is none or
  // `output` is null. When the two last detections were made on the frame of that region
  // and at `time`, the region moves by the detector's displacement between them.
  virtual bool Predict(absl::optional<absl::Duration> time, RectAndBound* output) = 0;
};

std::unique_ptr<BoundPredictor> MakeBoundTranslationPredictor();

}  // namespace utils
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_BOUND_PREDICTOR_H_
