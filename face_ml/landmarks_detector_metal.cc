#include "face_ml/landmarks_detector_metal.h"

#include <utility>

#include "base/logging.h"
#include "base/status_macros.h"
#include "face_ml/landmark_geometry.h"
#include "face_ml/landmarks_filter.h"
#include "face_ml/landmarks_metadata.h"
#include "face_ml/metadata_loader.h"
#include "face_ml/refine_landmarks.h"
#include "tflite/model.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

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
  auto roi_source =
      std::make_unique<internal::RoiSourceFromObjectDetector>(std::move(object_detector), frame_ptr);
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
  return std::make_unique<LandmarksDetectorMetal>(std::move(contour_sets),
                                                  main_metadata->num_dimensions(),
                                                  options.output_face_ids, std::move(pipeline),
                                                  std::move(frame));
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

}  // namespace api
}  // namespace sorvanti
}  // namespace research
