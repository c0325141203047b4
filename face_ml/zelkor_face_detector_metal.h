// The face detector for camera frames: the face-detector model on the GPU behind the
// model-independent face-detector pipeline (face_ml/zelkor_face_pipeline.h).
//
//   std::unique_ptr<LandmarksDetector<MetalRGBABufferFrame>> detector =
//       MakeZelkorFaceMetal(device, ZelkorFaceOptions{}, model_bytes);
//   if (detector == nullptr) ...                 // the reason was logged
//   LandmarksDetectionResult faces;
//   detector->Detect(frame, &faces);             // one face per detection, key points as landmarks
//
// The model bytes are not copied: they must stay valid and unchanged for the detector's
// lifetime. The model is compiled for a tensor size chosen from the frame size at the first
// frame and again whenever a new frame size or rotation asks for another tensor size. A
// detector is used by one thread at a time.

#ifndef FACE_ML_ZELKOR_FACE_DETECTOR_METAL_H_
#define FACE_ML_ZELKOR_FACE_DETECTOR_METAL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "absl/types/span.h"
#include "base/statusor.h"
#include "face_ml/interfaces.h"
#include "face_ml/types.h"
#include "face_ml/zelkor_face_pipeline.h"
#include "platform/metal/device.h"
#include "tflite/gpu/shape.h"
#include "tflite/schema_generated.h"

namespace research {
namespace sorvanti {
namespace api {

// Keeps the face-detector pipeline in step with the frame size and rotation and runs it on
// each frame.
class ZelkorFaceDetectorMetal : public LandmarksDetector<MetalRGBABufferFrame> {
 public:
  // `frame` is the record the pipeline's runner reads; Detect fills it.
  ZelkorFaceDetectorMetal(std::unique_ptr<internal::ZelkorFacePipeline> pipeline,
                          std::unique_ptr<MetalRGBABufferFrame> frame,
                          std::vector<ContourSet> contour_sets);

  // False, changing nothing, for a rotation that is not a multiple of 90 or a non-positive
  // size; false when the pipeline cannot be prepared for a new size or rotation (that size
  // is not tried again by the next frame) or fails.
  bool Detect(const MetalRGBABufferFrame& frame, LandmarksDetectionResult* result) override;
  std::vector<ContourSet> GetContoursSets() const override { return contour_sets_; }
  // The key points are two-dimensional.
  int GetNDimensions() const override { return 2; }
  void StartNewSequence() override { pipeline_->StartNewSequence(); }

 private:
  int32_t last_height_ = -1;
  int32_t last_width_ = -1;
  int32_t last_rotation_ = 0;
  std::unique_ptr<internal::ZelkorFacePipeline> pipeline_;
  std::unique_ptr<MetalRGBABufferFrame> frame_;
  std::vector<ContourSet> contour_sets_;
};

// The face detector on `device` for the model file `model_data`; null on failure, the reason
// logged where it arose.
std::unique_ptr<LandmarksDetector<MetalRGBABufferFrame>> MakeZelkorFaceMetal(
    const std::shared_ptr<MTLDevice>& device, const ZelkorFaceOptions& options,
    absl::Span<const char> model_data);

namespace internal {

// Makes the inference runner over the detector's frame record and the model table, both of
// which outlive the runner.
using ZelkorFaceRunnerFactory =
    std::function<util::StatusOr<std::unique_ptr<ZelkorFaceInferenceRunner>>(
        const MetalRGBABufferFrame* frame, const tflite::Model* model)>;

// The face-detector model on `device`: crops `frame` into the model input with colours mapped
// from [0, 1] to [-1, 1], runs the model and reads back its boxes (output 0) and scores
// (output 1) in HWC order. The model is compiled by ResizeInputTensor, again only for a new
// size; until a compile succeeded and the model showed one input and two outputs, the sizes
// are -1 and Run fails.
util::StatusOr<std::unique_ptr<ZelkorFaceInferenceRunner>> MakeZelkorFaceInferenceRunnerMetal(
    const std::shared_ptr<MTLDevice>& device, const MetalRGBABufferFrame* frame,
    const tflite::Model* model);

// Replaces `hwc` by the tensor of `shape` (batch 1) read from its PHWC4 storage `phwc4`, in
// HWC order with the channel fastest and the padding channels of the last slice skipped.
// False, with `hwc` untouched, when `phwc4` is shorter than the layout needs.
bool ConvertPHWC4ToHWC(absl::Span<const float> phwc4, const tflite::gpu::BHWC& shape,
                       std::vector<float>* hwc);

// The face detector over the runner that `make_runner` makes; the error names the first
// failure (a malformed model, no "FDMD" metadata, the runner's error).
util::StatusOr<std::unique_ptr<ZelkorFaceDetectorMetal>> MakeZelkorFaceDetector(
    const ZelkorFaceOptions& options, absl::Span<const char> model_data,
    const ZelkorFaceRunnerFactory& make_runner);

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_ZELKOR_FACE_DETECTOR_METAL_H_
