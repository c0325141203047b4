// The model-independent half of the face detector: chooses the model input size for the
// frame, decodes and merges the model outputs, maps the faces into the frame and, when
// asked for, tracks and filters them.
//
//   auto pipeline = ZelkorFacePipeline::Make(options, std::move(runner), metadata,
//                                            std::move(filter_factory));
//   pipeline->ResizeInput(width, height, rotation);  // on every change of size or rotation
//   LandmarksDetectionResult faces;
//   pipeline->Run(frame_time, &faces);               // on every frame the runner was given
//
// The result's rects and key points are normalised to the frame. Used by one thread at a
// time.

#ifndef FACE_ML_ZELKOR_FACE_PIPELINE_H_
#define FACE_ML_ZELKOR_FACE_PIPELINE_H_

#include <memory>

#include "absl/time/time.h"
#include "absl/types/optional.h"
#include "absl/types/span.h"
#include "face_ml/face_detector_metadata_generated.h"
#include "face_ml/interfaces.h"
#include "face_ml/landmarks_filter.h"
#include "face_ml/types.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

// Runs the face-detector model on a rectangle of the current frame.
class ZelkorFaceInferenceRunner {
 public:
  virtual ~ZelkorFaceInferenceRunner() = default;
  // The model input becomes width x height; false when it cannot.
  virtual bool ResizeInputTensor(int width, int height) = 0;
  // Floats of the boxes and scores outputs at the current size.
  virtual int GetBoxesSize() = 0;
  virtual int GetScoresSize() = 0;
  // Crops `input_rect` (frame pixels) of the current frame into the model input, runs the
  // model and points the spans at its outputs, valid until the next Run or resize.
  virtual bool Run(const utils::RotatedRect& input_rect, absl::Span<const float>* boxes,
                   absl::Span<const float>* scores) = 0;
};

class ZelkorFacePipeline {
 public:
  // Never fails. `metadata` is borrowed and must outlive the pipeline; it should come from
  // LoadMetadata, which checks it. A tracker is kept when tracking is enabled or the filter
  // type is RELATIVE_VELOCITY_FILTER; without one, face ids stay -1 and nothing is
  // filtered.
  static std::unique_ptr<ZelkorFacePipeline> Make(
      const ZelkorFaceOptions& options, std::unique_ptr<ZelkorFaceInferenceRunner> runner,
      const fb::FaceDetectorMetadata* metadata,
      std::unique_ptr<LandmarksFilterFactory> filter_factory);

  virtual ~ZelkorFacePipeline() = default;
  // Detects the faces of the runner's current frame. False until a ResizeInput succeeded;
  // after a failed ResizeInput, Run first retries it with the same frame size.
  virtual bool Run(absl::optional<absl::Duration> time, LandmarksDetectionResult* result) = 0;
  // Prepares for frames of this size and rotation (degrees, a multiple of 90).
  virtual bool ResizeInput(int width, int height, int rotation) = 0;
  // Forgets the tracks and filters; face ids start again at 0.
  virtual void StartNewSequence() = 0;
};

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_ZELKOR_FACE_PIPELINE_H_
