#include "face_ml/zelkor_face_detector_metal.h"

#include <utility>

#include "base/status_macros.h"
#include "face_ml/landmarks_filter.h"
#include "face_ml/landmarks_metadata.h"
#include "face_ml/metadata_loader.h"
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
  const fb::FaceDetectorMetadata* metadata =
      LoadMetadata<fb::FaceDetectorMetadata>(model, "FDMD");
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
}  // namespace api
}  // namespace sorvanti
}  // namespace research
