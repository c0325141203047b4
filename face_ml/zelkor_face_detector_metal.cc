#include "face_ml/zelkor_face_detector_metal.h"

#include <utility>

#include "base/logging.h"
#include "base/status_macros.h"
#include "face_ml/landmarks_filter.h"
#include "face_ml/landmarks_metadata.h"
#include "face_ml/metadata_loader.h"
#include "face_ml/metal_resources.h"
#include "face_ml/metal_runner.h"
#include "face_ml/sub_rect_extractor_metal.h"
#include "tflite/model.h"

namespace research {
namespace sorvanti {
namespace api {

ZelkorFaceDetectorMetal::ZelkorFaceDetectorMetal(
    std::unique_ptr<internal::ZelkorFacePipeline> pipeline,
    std::unique_ptr<MetalRGBABufferFrame> frame, std::vector<ContourSet> contour_sets)
    : pipeline_(std::move(pipeline)),
      frame_(std::move(frame)),
      contour_sets_(std::move(contour_sets)) {}

bool ZelkorFaceDetectorMetal::Detect(const MetalRGBABufferFrame& frame,
                                     LandmarksDetectionResult* result) {
  if (frame.rotation_degrees % 90 != 0 || frame.width <= 0 || frame.height <= 0) return false;
  if (frame.width != last_width_ || frame.height != last_height_ ||
      frame.rotation_degrees != last_rotation_) {
    // Stored first: a size the pipeline refuses is not tried again by every frame.
    last_width_ = frame.width;
    last_height_ = frame.height;
    last_rotation_ = frame.rotation_degrees;
    if (!pipeline_->ResizeInput(frame.width, frame.height, frame.rotation_degrees)) return false;
  }
  *frame_ = frame;
  return pipeline_->Run(frame.timestamp, result);
}

namespace internal {

bool ConvertPHWC4ToHWC(absl::Span<const float> phwc4, const tflite::gpu::BHWC& shape,
                       std::vector<float>* hwc) {
  const int64_t slices = (int64_t{shape.c} + 3) / 4;
  if (shape.h < 0 || shape.w < 0 || shape.c < 0 ||
      static_cast<int64_t>(phwc4.size()) < slices * shape.h * shape.w * 4) {
    return false;
  }
  hwc->clear();
  hwc->reserve(static_cast<size_t>(shape.h) * shape.w * shape.c);
  for (int64_t y = 0; y < shape.h; ++y) {
    for (int64_t x = 0; x < shape.w; ++x) {
      for (int64_t k = 0; k < shape.c; ++k) {
        hwc->push_back(phwc4[((k / 4 * shape.h + y) * shape.w + x) * 4 + k % 4]);
      }
    }
  }
  return true;
}

util::StatusOr<std::unique_ptr<ZelkorFaceDetectorMetal>> MakeZelkorFaceDetector(
    const ZelkorFaceOptions& options, absl::Span<const char> model_data,
    const ZelkorFaceRunnerFactory& make_runner) {
  // Model files come from outside the process: verified before anything reads them.
  const tflite::Model* model = tflite::VerifiedModel(model_data.data(), model_data.size());
  RET_CHECK(model != nullptr) << "Failed to parse flatbuffer";
  const fb::FaceDetectorMetadata* metadata = LoadMetadata<fb::FaceDetectorMetadata>(model, "FDMD");
  RET_CHECK(metadata != nullptr) << "Failed to parse metadata";
  std::vector<ContourSet> contour_sets = ReadContourSets(metadata->contour_sets());

  auto frame = std::make_unique<MetalRGBABufferFrame>();
  ASSIGN_OR_RETURN(std::unique_ptr<ZelkorFaceInferenceRunner> runner,
                   make_runner(frame.get(), model));
  std::unique_ptr<LandmarksFilterFactory> filter_factory = MakeFilterFactory(
      options.filter_type, static_cast<LandmarksFilterType>(metadata->default_filter_type()),
      metadata->landmark_dimensions());
  std::unique_ptr<ZelkorFacePipeline> pipeline =
      ZelkorFacePipeline::Make(options, std::move(runner), metadata, std::move(filter_factory));
  RET_CHECK(pipeline != nullptr) << "Failed to initialize pipeline";
  return std::make_unique<ZelkorFaceDetectorMetal>(std::move(pipeline), std::move(frame),
                                                   std::move(contour_sets));
}

}  // namespace internal

namespace internal {
namespace {

// The model's outputs read back from their PHWC4 half storage as HWC floats, one vector per
// output, sized once per compiled model.
class BulkToHwcConverter {
 public:
  void Resize(const std::vector<MetalBufferTensorPHWC4<uint16_t>>& tensors) {
    outputs_.resize(tensors.size());
    for (size_t i = 0; i < outputs_.size(); ++i) {
      outputs_[i].resize(tensors[i].GetShape().DimensionsProduct());
    }
  }

  absl::Status Convert(const std::vector<MetalBufferTensorPHWC4<uint16_t>>& tensors) {
    RET_CHECK_EQ(tensors.size(), outputs_.size());
    for (size_t i = 0; i < tensors.size(); ++i) {
      RETURN_IF_ERROR(
          tensors[i].ReadDataAs<float>([&](absl::Span<const float> data) -> absl::Status {
            RET_CHECK(ConvertPHWC4ToHWC(data, tensors[i].GetShape(), &outputs_[i]));
            return absl::OkStatus();
          }));
    }
    return absl::OkStatus();
  }

  const std::vector<std::vector<float>>& Outputs() const { return outputs_; }

 private:
  std::vector<std::vector<float>> outputs_;
};

// The face-detector model on the GPU: crops the frame into the model input, runs the model
// and reads its two outputs back as floats.

class ZelkorFaceInferenceRunnerMetal : public ZelkorFaceInferenceRunner {
 public:
  ZelkorFaceInferenceRunnerMetal(const MetalRGBABufferFrame* frame, const tflite::Model* model,
                                 std::unique_ptr<SubRectExtractorMetal> extractor,
                                 std::shared_ptr<MTLDevice> device,
                                 std::shared_ptr<MTLCommandQueue> command_queue,
                                 MetalTextureCache texture_cache)
      : frame_(frame),
        model_(model),
        extractor_(std::move(extractor)),
        device_(std::move(device)),
        command_queue_(std::move(command_queue)),
        texture_cache_(std::move(texture_cache)) {}

  bool ResizeInputTensor(int width, int height) override {
    // A runner that failed its checks is built again, never reported ready.
    if (outputs_ready_ &&
        metal_runner_->GetInputs()[0].GetShape() == tflite::gpu::BHWC(1, height, width, 3)) {
      return true;
    }
    util::StatusOr<std::unique_ptr<MetalRunner>> runner = MetalRunner::Make(
        device_, std::vector<tflite::gpu::HWC>{tflite::gpu::HWC(height, width, 3)}, *model_);
    if (!runner.ok()) {
      LOG(ERROR) << runner.status();
      return false;
    }
    metal_runner_ = std::move(runner).value();
    // Until the new runner passed its checks and the outputs fit it, Run refuses.
    outputs_ready_ = false;
    const absl::Status checked = CheckRunner(width, height);
    if (!checked.ok()) return false;  // logged by the RET_CHECK
    bulk_to_hwc_converter_.Resize(metal_runner_->GetOutputs());
    outputs_ready_ = true;
    return true;
  }

  int GetBoxesSize() override { return OutputSize(0); }
  int GetScoresSize() override { return OutputSize(1); }

  bool Run(const utils::RotatedRect& input_rect, absl::Span<const float>* boxes,
           absl::Span<const float>* scores) override {
    if (!outputs_ready_) return false;
    const absl::Status status = RunInternal(input_rect);
    if (!status.ok()) {
      LOG(ERROR) << status;
      return false;
    }
    *boxes = bulk_to_hwc_converter_.Outputs()[0];
    *scores = bulk_to_hwc_converter_.Outputs()[1];
    return true;
  }

 private:
  absl::Status CheckRunner(int width, int height) {
    RET_CHECK_EQ(1, metal_runner_->GetInputs().size());
    RET_CHECK(metal_runner_->GetInputs()[0].GetShape() == ::tflite::gpu::BHWC(1, height, width, 3));
    RET_CHECK_EQ(2, metal_runner_->GetOutputs().size());
    return absl::OkStatus();
  }

  int OutputSize(size_t index) const {
    if (!outputs_ready_) return -1;
    return static_cast<int>(metal_runner_->GetOutputs()[index].GetShape().DimensionsProduct());
  }

  absl::Status RunInternal(const utils::RotatedRect& input_rect) {
    ASSIGN_OR_RETURN(flow::metal::MetalTexture texture,
                     flow::metal::MetalTexture::Make(texture_cache_.cache(), frame_->pixel_buffer,
                                                     0, frame_->width, frame_->height));
    ASSIGN_OR_RETURN(MetalCommandBuffer command_buffer, MetalCommandBuffer::Make(command_queue_));
    const auto& input = metal_runner_->GetInputs()[0];
    flow::metal::MetalBuffer input_buffer = input.GetBuffer();
    RETURN_IF_ERROR(extractor_->Execute(&command_buffer, texture,
                                        tflite::gpu::HW(input.GetShape().h, input.GetShape().w),
                                        input_rect, /*flip=*/false, 2.0f, -1.0f, &input_buffer));
    RETURN_IF_ERROR(metal_runner_->Run(&command_buffer));
    command_buffer.CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
    RETURN_IF_ERROR(bulk_to_hwc_converter_.Convert(metal_runner_->GetOutputs()));
    RET_CHECK(bulk_to_hwc_converter_.Outputs().size() >= 2);
    return absl::OkStatus();
  }

  const MetalRGBABufferFrame* frame_;
  const tflite::Model* model_;
  std::unique_ptr<SubRectExtractorMetal> extractor_;
  BulkToHwcConverter bulk_to_hwc_converter_;
  std::unique_ptr<MetalRunner> metal_runner_;
  std::shared_ptr<MTLDevice> device_;
  std::shared_ptr<MTLCommandQueue> command_queue_;
  MetalTextureCache texture_cache_;
  // Set once a runner passed its checks and the output vectors fit it.
  bool outputs_ready_ = false;
};

}  // namespace

util::StatusOr<std::unique_ptr<ZelkorFaceInferenceRunner>> MakeZelkorFaceInferenceRunnerMetal(
    const std::shared_ptr<MTLDevice>& device, const MetalRGBABufferFrame* frame,
    const tflite::Model* model) {
  ASSIGN_OR_RETURN(std::unique_ptr<SubRectExtractorMetal> extractor,
                   SubRectExtractorMetal::Make(device));
  ASSIGN_OR_RETURN(MetalTextureCache cache, MetalTextureCache::Make(device));
  return std::make_unique<ZelkorFaceInferenceRunnerMetal>(
      frame, model, std::move(extractor), device, device->newCommandQueue(), std::move(cache));
}

}  // namespace internal

std::unique_ptr<LandmarksDetector<MetalRGBABufferFrame>> MakeZelkorFaceMetal(
    const std::shared_ptr<MTLDevice>& device, const ZelkorFaceOptions& options,
    absl::Span<const char> model_data) {
  util::StatusOr<std::unique_ptr<ZelkorFaceDetectorMetal>> detector =
      internal::MakeZelkorFaceDetector(
          options, model_data,
          [&device](const MetalRGBABufferFrame* frame, const tflite::Model* model) {
            return internal::MakeZelkorFaceInferenceRunnerMetal(device, frame, model);
          });
  if (!detector.ok()) return nullptr;  // the RET_CHECK logged the reason
  return std::move(detector).value();
}

}  // namespace api
}  // namespace sorvanti
}  // namespace research
