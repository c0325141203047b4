#include "face_ml/zelkor_face_pipeline.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "face_ml/face_tracker.h"
#include "face_ml/landmark_geometry.h"
#include "face_ml/non_max_suppression.h"
#include "face_ml/zelkor_face_decoder.h"
#include "face_ml/zelkor_face_utils.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

class ZelkorFacePipelineImpl : public ZelkorFacePipeline {
 public:
  ZelkorFacePipelineImpl(const ZelkorFaceOptions& options,
                         std::unique_ptr<ZelkorFaceInferenceRunner> runner,
                         const fb::FaceDetectorMetadata* metadata,
                         std::unique_ptr<LandmarksFilterFactory> filter_factory)
      : options_(options),
        runner_(std::move(runner)),
        metadata_(metadata),
        filter_factory_(std::move(filter_factory)) {
    if (options_.enable_tracking || options_.filter_type == RELATIVE_VELOCITY_FILTER) {
      tracker_ = MakeSimpleZelkorFaceTracker();
    }
  }

  bool ResizeInput(int width, int height, int rotation) override {
    requested_ = {width, height, rotation};
    ready_ = false;
    const fb::ZelkorFaceInputSpec* input_spec = metadata_->input_spec();
    if (input_spec == nullptr || input_spec->recommended_input_sizes() == nullptr ||
        input_spec->recommended_input_sizes()->size() == 0) {
      LOG(ERROR) << "Zelkor face input spec doesn't specify recommended sizes";
      return false;
    }
    const utils::RotatedRect image_rect = CalculateImageRect(width, height, rotation);
    frame_width_ = width;
    frame_height_ = height;
    const auto [tensor_width, tensor_height] = GetBestInputTensorWidthAndHeight(
        static_cast<int>(image_rect.width), static_cast<int>(image_rect.height), input_spec);
    if (tensor_width != tensor_width_ || tensor_height != tensor_height_) {
      // Until every check passed, no size counts as current: a later call for the same
      // size switches again.
      tensor_width_ = tensor_height_ = -1;
      decoder_.reset();
      if (!runner_->ResizeInputTensor(tensor_width, tensor_height)) return false;
      decoder_ = MakeZelkorFaceDecoder(*metadata_, tensor_width, tensor_height);
      if (decoder_ == nullptr ||
          decoder_->expected_boxes_output_size() != runner_->GetBoxesSize() ||
          decoder_->expected_scores_output_size() != runner_->GetScoresSize()) {
        decoder_.reset();
        return false;
      }
      tensor_width_ = tensor_width;
      tensor_height_ = tensor_height;
    }
    input_rect_ = input_spec->keep_aspect_ratio()
                      ? CalculateFitInsideRect(image_rect, tensor_width_, tensor_height_)
                      : image_rect;
    GetRotatedSubRectToRectTransformMatrix(input_rect_, width, height, false, &transform_);
    ready_ = true;
    return true;
  }

  bool Run(absl::optional<absl::Duration> time, LandmarksDetectionResult* result) override {
    if (!ready_ && !(requested_.has_value() &&
                     ResizeInput(requested_->width, requested_->height, requested_->rotation))) {
      LOG(ERROR) << "Face detector input is not ready";
      return false;
    }
    absl::Span<const float> boxes, scores;
    if (!runner_->Run(input_rect_, &boxes, &scores)) return false;
    float threshold = 0;
    decoder_->DecodeScoreThreshold(metadata_->score_threshold(), &threshold);
    const ZelkorFaceBoxesSource source(boxes, scores, decoder_.get());
    if (!RunNonMaxSuppression(source, threshold, metadata_->iou_threshold(), true,
                              options_.max_num_faces, result)) {
      return false;
    }
    TransformResult(transform_, result);
    if (tracker_ == nullptr) return true;
    if (!tracker_->Track(frame_width_, frame_height_, result)) return false;
    return ApplyFilters(time, result);
  }

  void StartNewSequence() override {
    if (tracker_ == nullptr) return;
    tracker_->Reset();
    filters_.clear();
  }

 private:
  using FilterEntry = std::pair<int32_t, std::unique_ptr<LandmarksFilter>>;

  struct FrameSize {
    int width;
    int height;
    int rotation;
  };

  // Smooths each face's key points with the filter of its id; faces that disappeared
  // lose their filters.
  bool ApplyFilters(absl::optional<absl::Duration> time, LandmarksDetectionResult* result) {
    std::vector<FilterEntry> next;
    bool ok = true;
    for (const LandmarksDetectionResult::Face& face : result->faces) {
      const absl::Span<Landmark> landmarks =
          absl::MakeSpan(result->landmarks)
              .subspan(face.landmarks_begin, face.landmarks_end - face.landmarks_begin);
      auto it = std::find_if(filters_.begin(), filters_.end(),
                             [&](const FilterEntry& e) { return e.first == face.face_id; });
      std::unique_ptr<LandmarksFilter> filter;
      if (it == filters_.end()) {
        filter = filter_factory_->MakeRelativeVelocityFilter(5, 2.0f);
      } else if (it->second == nullptr) {
        LOG(ERROR) << "Faces with duplicate ids";
        ok = false;
        break;
      } else {
        filter = std::move(it->second);
      }
      if (!filter->Apply(face.rect, time, landmarks)) {
        LOG(ERROR) << "Error applying filter";
        ok = false;
        break;
      }
      next.emplace_back(face.face_id, std::move(filter));
    }
    if (!ok) {
      // Filters taken over in the failed frame are gone with it.
      filters_.erase(std::remove_if(filters_.begin(), filters_.end(),
                                    [](const FilterEntry& e) { return e.second == nullptr; }),
                     filters_.end());
      return false;
    }
    filters_ = std::move(next);
    return true;
  }

  ZelkorFaceOptions options_;
  std::unique_ptr<ZelkorFaceInferenceRunner> runner_;
  const fb::FaceDetectorMetadata* metadata_;
  std::unique_ptr<FaceTracker> tracker_;
  int frame_width_ = 0;
  int frame_height_ = 0;
  utils::RotatedRect input_rect_;
  Matrix4 transform_{};
  int tensor_width_ = -1;
  int tensor_height_ = -1;
  std::unique_ptr<ZelkorFaceDecoder> decoder_;
  std::unique_ptr<LandmarksFilterFactory> filter_factory_;
  std::vector<FilterEntry> filters_;
  // The last ResizeInput request, and whether it succeeded.
  absl::optional<FrameSize> requested_;
  bool ready_ = false;
};

}  // namespace

std::unique_ptr<ZelkorFacePipeline> ZelkorFacePipeline::Make(
    const ZelkorFaceOptions& options, std::unique_ptr<ZelkorFaceInferenceRunner> runner,
    const fb::FaceDetectorMetadata* metadata,
    std::unique_ptr<LandmarksFilterFactory> filter_factory) {
  return std::make_unique<ZelkorFacePipelineImpl>(options, std::move(runner), metadata,
                                                  std::move(filter_factory));
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
