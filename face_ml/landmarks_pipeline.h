// Tracks faces from frame to frame with a landmark model, running the face detector only
// when needed.
//
//   auto pipeline = LandmarksPipeline::Make(max_faces, strategy, extra_iterations,
//                                           std::move(runner), std::move(roi_source),
//                                           std::move(filter_factory));
//   std::vector<LandmarksPipeline::Result> faces;
//   pipeline->Run(frame_time, &faces);  // once per frame, in frame order
//   pipeline->Reset();                  // when a new sequence starts
//
// Each tracked face keeps the crop in which the landmark model runs on the next frame,
// its bound, an id (from 1), its own landmark filter and bound predictor. The detector
// runs when no face is tracked, when fewer faces than the maximum are tracked and five
// frames went by without detection, or when detection is forced: by the strategy, by a
// gap of more than 100 ms between frame times, or by a change in the number of faces.
// Used by one thread at a time.

#ifndef FACE_ML_LANDMARKS_PIPELINE_H_
#define FACE_ML_LANDMARKS_PIPELINE_H_

#include <memory>
#include <vector>

#include "absl/time/time.h"
#include "absl/types/optional.h"
#include "face_ml/bound_predictor.h"
#include "face_ml/interfaces.h"
#include "face_ml/landmarks_filter.h"
#include "face_ml/types.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

// One tracked face. Move-only: the filter and predictor go with the face.
struct FaceROI {
  utils::RotatedRect rect;  // the crop for the next landmark run, frame pixels
  Bound bound;              // normalised
  absl::optional<absl::Duration> time;  // when rect and bound were obtained
  int32_t face_id = 0;
  std::unique_ptr<LandmarksFilter> filter;
  std::unique_ptr<utils::BoundPredictor> predictor;
};

class LandmarksPipeline {
 public:
  struct Result {
    std::vector<Landmark> landmarks;  // normalised to the frame, filtered
    Bound bound;                      // for the next frame
    utils::RotatedRect rect;          // the crop for the next frame
    int32_t face_id = 0;
  };

  // Null, with the three owned arguments left with the caller, for an unknown strategy.
  static std::unique_ptr<LandmarksPipeline> Make(
      int32_t max_faces, FaceDetectionStrategy strategy, int32_t iterations,
      std::unique_ptr<LandmarksRunner>&& runner, std::unique_ptr<LandmarksROISource>&& roi_source,
      std::unique_ptr<LandmarksFilterFactory>&& filter_factory);

  virtual ~LandmarksPipeline() = default;
  // One result per tracked face. False when the region source, the runner or a filter
  // fails; `results` then keeps the faces finished before the failure.
  virtual bool Run(absl::optional<absl::Duration> time, std::vector<Result>* results) = 0;
  // Forgets every face; the next new face gets id 1.
  virtual void Reset() = 0;
};

// Merges the detections of the current frame with the tracked faces: confirmed faces keep
// their id, filter and predictor and take the predicted crop; unmatched detections become
// new faces (ids from ++*last_face_id); unconfirmed faces stay if room remains.
void UpdateROIFromFaceDetector(int32_t max_faces, const LandmarksFilterFactory& filter_factory,
                               const std::vector<utils::RectAndBound>& detections,
                               std::vector<FaceROI>* tracked, int32_t* last_face_id);

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_LANDMARKS_PIPELINE_H_
