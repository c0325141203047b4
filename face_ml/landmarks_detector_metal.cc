#include "face_ml/landmarks_detector_metal.h"

#include <utility>

#include "base/logging.h"
#include "base/status_macros.h"
#include "face_ml/landmark_geometry.h"
#include "face_ml/landmarks_filter.h"
#include "face_ml/landmarks_metadata.h"
#include "face_ml/metadata_loader.h"
#include "face_ml/metal_resources.h"
#include "face_ml/metal_runner.h"
#include "face_ml/refine_landmarks.h"
#include "face_ml/sub_rect_extractor_metal.h"
#include "face_ml/zelkor_face_detector_metal.h"
#include "tflite/model.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

// The landmark model on the GPU, on rotated crops of the detector's current frame.
class LandmarkRunnerMetal : public LandmarksRunner {
 public:
  LandmarkRunnerMetal(std::unique_ptr<MetalRunner> metal_runner, std::shared_ptr<MTLDevice> device,
                      std::shared_ptr<MTLCommandQueue> command_queue,
                      MetalTextureCache texture_cache,
                      std::unique_ptr<SubRectExtractorMetal> extractor, int32_t points_number,
                      int32_t n_dimensions, LandmarksInputSpec input_spec, int32_t roi_landmark_a,
                      int32_t roi_landmark_b, bool flip, const MetalRGBABufferFrame* frame)
      : metal_runner_(std::move(metal_runner)),
        device_(std::move(device)),
        command_queue_(std::move(command_queue)),
        texture_cache_(std::move(texture_cache)),
        extractor_(std::move(extractor)),
        points_number_(points_number),
        n_dimensions_(n_dimensions),
        input_spec_(input_spec),
        roi_landmark_a_(roi_landmark_a),
        roi_landmark_b_(roi_landmark_b),
        flip_(flip),
        frame_(frame) {}

  bool Run(utils::RotatedRect roi, std::vector<Landmark>* landmarks, bool* has_face) override {
    const absl::Status status = RunInternal(roi, landmarks, has_face);
    if (!status.ok()) {
      LOG(ERROR) << status;
      return false;
    }
    return true;
  }

  bool GetBound(const std::vector<Landmark>& landmarks, Bound* bound,
                utils::RotatedRect* roi) const override {
    CalculateBoundingBox(landmarks, bound);
    return CalculateContoursRegionOfInterest(landmarks, frame_->width, frame_->height,
                                             roi_landmark_a_, roi_landmark_b_, roi);
  }

 private:
  absl::Status RunInternal(const utils::RotatedRect& roi, std::vector<Landmark>* landmarks,
                           bool* has_face) {
    ASSIGN_OR_RETURN(flow::metal::MetalTexture texture,
                     flow::metal::MetalTexture::Make(texture_cache_.cache(), frame_->pixel_buffer,
                                                     0, frame_->width, frame_->height));
    const auto& input = metal_runner_->GetInputs()[0];
    flow::metal::MetalBuffer input_buffer = input.GetBuffer();
    const int h = input.GetShape().h;
    const int w = input.GetShape().w;
    ASSIGN_OR_RETURN(MetalCommandBuffer command_buffer, MetalCommandBuffer::Make(command_queue_));
    const utils::RotatedRect crop = input_spec_.UpdateROI(roi, w, h);
    const auto [scale, offset] = input_spec_.GetInputRangeScaleAndOffset(0, 1);
    RETURN_IF_ERROR(extractor_->Execute(&command_buffer, texture, tflite::gpu::HW(h, w), crop,
                                        flip_, scale, offset, &input_buffer));
    RETURN_IF_ERROR(metal_runner_->Run(&command_buffer));
    command_buffer.CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);

    const auto& outputs = metal_runner_->GetOutputs();
    RETURN_IF_ERROR(
        outputs[0].ReadDataAs<float>([&](absl::Span<const float> float_data) -> absl::Status {
          RET_CHECK(internal::LandmarksFromRawOutput(float_data, points_number_, n_dimensions_,
                                                     landmarks));
          return absl::OkStatus();
        }));
    *has_face = true;
    if (outputs.size() > 1) {
      RETURN_IF_ERROR(
          outputs[1].ReadDataAs<float>([&](absl::Span<const float> float_data) -> absl::Status {
            *has_face = float_data[0] > 0;
            return absl::OkStatus();
          }));
    }
    TransformLandmarks(frame_->width, frame_->height, w, h, crop, flip_, landmarks);
    return absl::OkStatus();
  }

  std::unique_ptr<MetalRunner> metal_runner_;
  std::shared_ptr<MTLDevice> device_;
  std::shared_ptr<MTLCommandQueue> command_queue_;
  MetalTextureCache texture_cache_;
  std::unique_ptr<SubRectExtractorMetal> extractor_;
  int32_t points_number_;
  int32_t n_dimensions_;
  LandmarksInputSpec input_spec_;
  int32_t roi_landmark_a_;
  int32_t roi_landmark_b_;
  bool flip_;
  const MetalRGBABufferFrame* frame_;
};

}  // namespace

util::StatusOr<std::unique_ptr<LandmarksRunner>> MakeRunnerFromFb(
    const std::shared_ptr<MTLDevice>& device, const tflite::Model* model,
    const fb::ContoursMetadata* metadata, bool flip, const MetalRGBABufferFrame* frame) {
  ASSIGN_OR_RETURN(std::unique_ptr<MetalRunner> metal_runner,
                   MetalRunner::Make(device, absl::nullopt, *model));
  const int32_t points_number = metadata->num_landmarks();
  // The count comes from the model file; bounded so that the output size cannot overflow.
  RET_CHECK(points_number >= 0 && points_number <= kMaxLandmarks)
      << "Invalid number of landmarks: " << points_number;
  const int32_t n_dimensions = metadata->num_dimensions();
  const LandmarksInputSpec input_spec = ReadLandmarksInputSpecFromMetadata(metadata);
  int32_t a = metadata->roi_landmark_a();
  int32_t b = metadata->roi_landmark_b();
  RETURN_IF_ERROR(CheckLandmarkModelTensors(metal_runner.get(), n_dimensions, points_number));
  ASSIGN_OR_RETURN(std::unique_ptr<SubRectExtractorMetal> extractor,
                   SubRectExtractorMetal::Make(device));
  ASSIGN_OR_RETURN(MetalTextureCache cache, MetalTextureCache::Make(device));
  if (flip) std::swap(a, b);
  std::shared_ptr<MTLCommandQueue> queue = device->newCommandQueue();
  return std::make_unique<LandmarkRunnerMetal>(
      std::move(metal_runner), device, std::move(queue), std::move(cache), std::move(extractor),
      points_number, n_dimensions, input_spec, a, b, flip, frame);
}

bool ObjectDetectorFromZelkorFace::Detect(const MetalRGBABufferFrame& frame,
                                          std::vector<utils::RectAndBound>* rois) {
  LandmarksDetectionResult faces;
  if (!face_detector_->Detect(frame, &faces)) return false;
  rois->resize(faces.faces.size());
  for (size_t j = 0; j < faces.faces.size(); ++j) {
    const LandmarksDetectionResult::Face& face = faces.faces[j];
    utils::RectAndBound& roi = (*rois)[j];
    if (!CalculateZelkorFaceRegionOfInterest(face, faces.landmarks, frame.width, frame.height,
                                             &roi.rect)) {
      return false;
    }
    roi.bound = face.rect;
    roi.time = frame.timestamp;
  }
  return true;
}

bool ForwardObjectDetector::Detect(const MetalRGBABufferFrame& /*frame*/,
                                   std::vector<utils::RectAndBound>* rois) {
  if (rois != rois_) *rois = *rois_;
  return true;
}

}  // namespace internal

util::StatusOr<std::unique_ptr<LandmarksDetectorMetal>> LandmarksDetectorMetal::Make(
    absl::Span<const char> model_data, absl::Span<const absl::Span<const char>> refinement_models,
    std::unique_ptr<MetalFrameObjectDetector> object_detector, const LandmarksOptions& options,
    const internal::LandmarkRunnerFactory& make_runner) {
  // Model files come from outside the process: verified before anything reads them.
  const tflite::Model* main_model = tflite::VerifiedModel(model_data.data(), model_data.size());
  RET_CHECK(main_model != nullptr) << "Failed to parse flatbuffer";
  const fb::ContoursMetadata* main_metadata =
      LoadMetadata<fb::ContoursMetadata>(main_model, "COMD");
  RET_CHECK(main_metadata != nullptr) << "Failed to parse metadata";
  std::vector<ContourSet> contour_sets = internal::ReadContourSets(main_metadata->contour_sets());

  auto frame = std::make_unique<MetalRGBABufferFrame>();
  const MetalRGBABufferFrame* frame_ptr = frame.get();
  auto roi_source = std::make_unique<internal::RoiSourceFromObjectDetector>(
      std::move(object_detector), frame_ptr);
  ASSIGN_OR_RETURN(std::unique_ptr<internal::LandmarksRunner> runner,
                   make_runner(main_model, main_metadata, /*flip=*/false, frame_ptr));

  if (!refinement_models.empty()) {
    std::vector<absl::Span<const uint8_t>> files;
    for (absl::Span<const char> m : refinement_models) {
      files.emplace_back(reinterpret_cast<const uint8_t*>(m.data()), m.size());
    }
    runner = internal::MakeRefineLandmarksRunner(
        std::move(runner), files,
        [&make_runner, frame_ptr](absl::Span<const uint8_t> file,
                                  const fb::ContoursMetadata* metadata,
                                  bool flip) -> std::unique_ptr<internal::LandmarksRunner> {
          // The refinement runner has checked the file for its metadata lookup only.
          const tflite::Model* model = tflite::VerifiedModel(file.data(), file.size());
          if (model == nullptr) {
            LOG(ERROR) << absl::InvalidArgumentError("Failed to parse flatbuffer");
            return nullptr;
          }
          util::StatusOr<std::unique_ptr<internal::LandmarksRunner>> refinement_runner =
              make_runner(model, metadata, flip, frame_ptr);
          if (!refinement_runner.ok()) {
            LOG(ERROR) << refinement_runner.status();
            return nullptr;
          }
          return std::move(refinement_runner).value();
        });
    RET_CHECK(runner != nullptr);
  }

  std::unique_ptr<internal::LandmarksFilterFactory> filter_factory = internal::MakeFilterFactory(
      options.filter_type, static_cast<LandmarksFilterType>(main_metadata->default_filter_type()),
      main_metadata->num_dimensions());
  std::unique_ptr<internal::LandmarksPipeline> pipeline = internal::LandmarksPipeline::Make(
      options.num_faces, options.face_detection_strategy, options.extra_landmarks_iterations,
      std::move(runner), std::move(roi_source), std::move(filter_factory));
  RET_CHECK(pipeline) << "Failed to initialize pipeline";
  return std::make_unique<LandmarksDetectorMetal>(
      std::move(contour_sets), main_metadata->num_dimensions(), options.output_face_ids,
      std::move(pipeline), std::move(frame));
}

LandmarksDetectorMetal::LandmarksDetectorMetal(
    std::vector<ContourSet> contour_sets, int32_t n_dimensions, bool output_face_ids,
    std::unique_ptr<internal::LandmarksPipeline> pipeline,
    std::unique_ptr<MetalRGBABufferFrame> frame)
    : contour_sets_(std::move(contour_sets)),
      n_dimensions_(n_dimensions),
      output_face_ids_(output_face_ids),
      pipeline_(std::move(pipeline)),
      frame_(std::move(frame)) {}

bool LandmarksDetectorMetal::Detect(const MetalRGBABufferFrame& frame,
                                    LandmarksDetectionResult* result) {
  result->faces.clear();
  result->landmarks.clear();
  // The pipeline's model runners were built with a pointer to `*frame_` at construction and
  // read the frame through it: storing the frame here is how it reaches them, so Run below
  // needs only the timestamp.
  *frame_ = frame;
  std::vector<internal::LandmarksPipeline::Result> faces;
  if (!pipeline_->Run(frame.timestamp, &faces)) return false;
  result->faces.resize(faces.size());
  for (size_t i = 0; i < faces.size(); ++i) {
    LandmarksDetectionResult::Face& face = result->faces[i];
    face.landmarks_begin = static_cast<int32_t>(result->landmarks.size());
    result->landmarks.insert(result->landmarks.end(), faces[i].landmarks.begin(),
                             faces[i].landmarks.end());
    face.landmarks_end = static_cast<int32_t>(result->landmarks.size());
    face.rect = faces[i].bound;
    face.face_id = output_face_ids_ ? faces[i].face_id : -1;
  }
  return true;
}

std::unique_ptr<RefineLandmarksDetector> RefineLandmarksDetector::Make(
    std::unique_ptr<MetalFrameDetector> base,
    const std::function<std::unique_ptr<MetalFrameDetector>(
        std::unique_ptr<MetalFrameObjectDetector>)>& make_refine_detector) {
  auto rois = std::make_unique<std::vector<utils::RectAndBound>>();
  std::unique_ptr<MetalFrameDetector> refine =
      make_refine_detector(std::make_unique<internal::ForwardObjectDetector>(rois.get()));
  if (refine == nullptr) return nullptr;
  return std::unique_ptr<RefineLandmarksDetector>(
      new RefineLandmarksDetector(std::move(base), std::move(refine), std::move(rois)));
}

bool RefineLandmarksDetector::Detect(const MetalRGBABufferFrame& frame,
                                     LandmarksDetectionResult* result) {
  if (!base_->Detect(frame, result)) return false;
  if (!internal::GetROIsForRefineDetector(*result, frame.width, frame.height, frame.timestamp,
                                          rois_.get())) {
    return false;
  }
  LandmarksDetectionResult refined;
  if (!refine_->Detect(frame, &refined)) return false;
  // A refined face too short for the lips map is logged and left unrefined; the base
  // result still stands.
  (void)internal::RefineResult(refined, result);
  return true;
}

void RefineLandmarksDetector::StartNewSequence() {
  base_->StartNewSequence();
  refine_->StartNewSequence();
}

std::unique_ptr<MetalFrameObjectDetector> MakeObjectDetectorFromZelkorFaceModelData(
    const std::shared_ptr<MTLDevice>& device, absl::Span<const char> model, int32_t num_faces) {
  ZelkorFaceOptions options;
  options.enable_tracking = false;
  options.max_num_faces = num_faces;
  options.filter_type = DEFAULT_FILTER;
  std::unique_ptr<MetalFrameDetector> face_detector = MakeZelkorFaceMetal(device, options, model);
  if (face_detector == nullptr) {
    LOG(ERROR) << "Failed to initialize zelkor face";
    return nullptr;
  }
  return std::make_unique<internal::ObjectDetectorFromZelkorFace>(std::move(face_detector));
}

namespace {

internal::LandmarkRunnerFactory MetalRunnerFactory(const std::shared_ptr<MTLDevice>& device) {
  return [device](const tflite::Model* model, const fb::ContoursMetadata* metadata, bool flip,
                  const MetalRGBABufferFrame* frame) {
    return internal::MakeRunnerFromFb(device, model, metadata, flip, frame);
  };
}

}  // namespace

std::unique_ptr<MetalFrameDetector> MakeLandmarksDetectorMetal(
    const std::shared_ptr<MTLDevice>& device, absl::Span<const char> landmark_model,
    std::unique_ptr<MetalFrameObjectDetector> object_detector, const LandmarksOptions& options) {
  auto detector = LandmarksDetectorMetal::Make(landmark_model, {}, std::move(object_detector),
                                               options, MetalRunnerFactory(device));
  if (!detector.ok()) return nullptr;
  return std::move(detector).value();
}

std::unique_ptr<MetalFrameDetector> MakeLandmarksDetectorMetal(
    const std::shared_ptr<MTLDevice>& device, absl::Span<const char> landmark_model,
    absl::Span<const char> face_detector_model, const LandmarksOptions& options) {
  std::unique_ptr<MetalFrameObjectDetector> object_detector =
      MakeObjectDetectorFromZelkorFaceModelData(device, face_detector_model, options.num_faces);
  if (object_detector == nullptr) return nullptr;
  return MakeLandmarksDetectorMetal(device, landmark_model, std::move(object_detector), options);
}

std::unique_ptr<MetalFrameDetector> MakeLandmarksDetectorWithRefinementMetal(
    const std::shared_ptr<MTLDevice>& device, absl::Span<const char> landmark_model,
    absl::Span<const char> face_detector_model, absl::Span<const char> refinement_model,
    const LandmarksOptions& options) {
  if (options.num_faces != 1) {
    LOG(ERROR) << "Only one face is supported for refined detector right now";
    return nullptr;
  }
  std::unique_ptr<MetalFrameDetector> base =
      MakeLandmarksDetectorMetal(device, landmark_model, face_detector_model, options);
  if (base == nullptr) return nullptr;
  LandmarksOptions refine_options = options;
  refine_options.face_detection_strategy = RUN_ALWAYS_AND_COMBINE_WITH_PREVIOUS_RESULTS;
  return RefineLandmarksDetector::Make(
      std::move(base), [&](std::unique_ptr<MetalFrameObjectDetector> forward) {
        return MakeLandmarksDetectorMetal(device, refinement_model, std::move(forward),
                                          refine_options);
      });
}

std::unique_ptr<MetalFrameDetector> MakeLandmarksDetectorWithRefinementMetal(
    const std::shared_ptr<MTLDevice>& device, absl::Span<const char> landmark_model,
    absl::Span<const char> face_detector_model,
    absl::Span<const absl::Span<const char>> refinement_models, const LandmarksOptions& options) {
  std::unique_ptr<MetalFrameObjectDetector> object_detector =
      MakeObjectDetectorFromZelkorFaceModelData(device, face_detector_model, options.num_faces);
  if (object_detector == nullptr) return nullptr;
  auto detector =
      LandmarksDetectorMetal::Make(landmark_model, refinement_models, std::move(object_detector),
                                   options, MetalRunnerFactory(device));
  if (!detector.ok()) return nullptr;
  return std::move(detector).value();
}

}  // namespace api
}  // namespace sorvanti
}  // namespace research
