#include "face_ml/refine_landmarks.h"

#include <algorithm>
#include <utility>

#include "base/logging.h"
#include "face_ml/landmark_geometry.h"
#include "face_ml/landmarks_metadata.h"
#include "face_ml/metadata_loader.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

struct RefinementModel {
  RefinementSpec spec;
  std::unique_ptr<LandmarksRunner> runner;
};

// The mean depth of `landmarks` at `indices`, summed with compensation in double
// precision. The indices must be in range and not empty.
float GetZAverage(const std::vector<Landmark>& landmarks, const std::vector<int32_t>& indices) {
  double sum = 0;
  double compensation = 0;
  for (int32_t i : indices) {
    const double y = static_cast<double>(landmarks[i].z) - compensation;
    const double t = sum + y;
    compensation = (t - sum) - y;
    sum = t;
  }
  return static_cast<float>(sum / static_cast<double>(indices.size()));
}

bool AllBelow(const std::vector<int32_t>& indices, size_t size) {
  return std::all_of(indices.begin(), indices.end(),
                     [size](int32_t i) { return i >= 0 && static_cast<size_t>(i) < size; });
}

class RefineLandmarksRunner : public LandmarksRunner {
 public:
  RefineLandmarksRunner(std::unique_ptr<LandmarksRunner> base_runner,
                        std::vector<RefinementModel> models)
      : base_runner_(std::move(base_runner)), models_(std::move(models)) {}

  bool Run(utils::RotatedRect roi, std::vector<Landmark>* landmarks, bool* has_face) override {
    if (!base_runner_->Run(roi, landmarks, has_face)) return false;
    if (!*has_face) return true;

    // Every model crops from the base landmarks as the base runner gave them.
    const std::vector<Landmark> base = *landmarks;
    std::vector<std::vector<Landmark>> outputs(models_.size());
    for (size_t m = 0; m < models_.size(); ++m) {
      const RefinementModel& model = models_[m];
      if (!AllBelow(model.spec.roi_indices, base.size())) {
        LOG(ERROR) << "Refinement crop needs more landmarks than the base model gave ("
                   << base.size() << ")";
        return false;
      }
      std::vector<Landmark> input;
      input.reserve(model.spec.roi_indices.size());
      for (int32_t i : model.spec.roi_indices) input.push_back(base[i]);
      Bound bound;
      utils::RotatedRect crop;
      if (!model.runner->GetBound(input, &bound, &crop)) return false;
      bool model_has_face = false;
      if (!model.runner->Run(crop, &outputs[m], &model_has_face)) return false;
    }
    for (size_t m = 0; m < models_.size(); ++m) {
      if (!Merge(models_[m].spec, outputs[m], landmarks)) return false;
    }
    return true;
  }

  bool GetBound(const std::vector<Landmark>& landmarks, Bound* bound,
                utils::RotatedRect* roi) const override {
    return base_runner_->GetBound(landmarks, bound, roi);
  }

 private:
  // Writes the model's positions and depths into the landmarks, which grow to hold every
  // mapped landmark.
  static bool Merge(const RefinementSpec& spec, const std::vector<Landmark>& output,
                    std::vector<Landmark>* landmarks) {
    if (output.size() < spec.index_map.size()) {
      LOG(ERROR) << "Refinement model gave " << output.size() << " landmarks for "
                 << spec.index_map.size() << " mapped ones";
      return false;
    }
    if (!spec.index_map.empty()) {
      const int32_t largest = *std::max_element(spec.index_map.begin(), spec.index_map.end());
      if (landmarks->size() < static_cast<size_t>(largest) + 1) landmarks->resize(largest + 1);
    }
    std::vector<Landmark>& lm = *landmarks;
    for (size_t k = 0; k < spec.index_map.size(); ++k) {
      lm[spec.index_map[k]].x = output[k].x;
      lm[spec.index_map[k]].y = output[k].y;
    }
    for (const RefinementSpec::ZRefinement& z : spec.z_refinements) {
      if (absl::holds_alternative<RefinementSpec::ZRefinementCopy>(z.rule)) {
        for (int32_t p : z.indices) lm[spec.index_map[p]].z = output[p].z;
        continue;
      }
      const std::vector<int32_t>& averaged =
          absl::holds_alternative<RefinementSpec::ZRefinementCopySubtractAverage>(z.rule)
              ? absl::get<RefinementSpec::ZRefinementCopySubtractAverage>(z.rule).indices
              : absl::get<RefinementSpec::ZRefinementAssignAverage>(z.rule).indices;
      if (!AllBelow(averaged, lm.size())) {
        LOG(ERROR) << "Depth average over landmarks beyond the " << lm.size() << " there are";
        return false;
      }
      const float average = GetZAverage(lm, averaged);
      const bool subtract =
          absl::holds_alternative<RefinementSpec::ZRefinementCopySubtractAverage>(z.rule);
      for (int32_t p : z.indices) {
        lm[spec.index_map[p]].z = subtract ? output[p].z - average : average;
      }
    }
    return true;
  }

  std::unique_ptr<LandmarksRunner> base_runner_;
  std::vector<RefinementModel> models_;
};

// The largest base landmark of the lips map, plus one.
size_t LipsLandmarksNeeded() {
  const std::vector<int32_t>& lips = GetLipsMapping();
  return static_cast<size_t>(*std::max_element(lips.begin(), lips.end())) + 1;
}

// True when the face's range lies in `landmarks` and holds at least `needed` landmarks.
bool FaceHolds(const LandmarksDetectionResult& result, const LandmarksDetectionResult::Face& face,
               size_t needed) {
  return face.landmarks_begin >= 0 && face.landmarks_end >= face.landmarks_begin &&
         static_cast<size_t>(face.landmarks_end) <= result.landmarks.size() &&
         static_cast<size_t>(face.landmarks_end - face.landmarks_begin) >= needed;
}

}  // namespace

std::unique_ptr<LandmarksRunner> MakeRefineLandmarksRunner(
    std::unique_ptr<LandmarksRunner> base_runner,
    const std::vector<absl::Span<const uint8_t>>& model_files,
    const RefinementRunnerFactory& runner_factory) {
  std::vector<RefinementModel> models;
  for (absl::Span<const uint8_t> file : model_files) {
    const fb::ModelFile* model = VerifiedModelFile(file);
    if (model == nullptr) {
      LOG(ERROR) << "Failed to parse fb";
      return nullptr;
    }
    const fb::ContoursMetadata* metadata = LoadMetadata<fb::ContoursMetadata>(model, "COMD");
    if (metadata == nullptr) return nullptr;
    std::vector<RefinementSpec> specs;
    if (!ReadRefinementSpecFromMetadata(metadata, &specs)) return nullptr;
    for (RefinementSpec& spec : specs) {
      std::unique_ptr<LandmarksRunner> runner = runner_factory(file, metadata, spec.flip);
      if (runner == nullptr) return nullptr;
      models.push_back({std::move(spec), std::move(runner)});
    }
  }
  return std::make_unique<RefineLandmarksRunner>(std::move(base_runner), std::move(models));
}

bool GetROIsForRefineDetector(const LandmarksDetectionResult& result, int width, int height,
                              absl::optional<absl::Duration> time,
                              std::vector<utils::RectAndBound>* rois) {
  const std::vector<int32_t>& lips = GetLipsMapping();
  const size_t needed = LipsLandmarksNeeded();
  rois->resize(result.faces.size());
  for (size_t i = 0; i < result.faces.size(); ++i) {
    const LandmarksDetectionResult::Face& face = result.faces[i];
    if (!FaceHolds(result, face, needed)) {
      LOG(ERROR) << "Face has too few landmarks for its lips (" << needed << " needed)";
      return false;
    }
    std::vector<Landmark> gathered;
    gathered.reserve(lips.size());
    for (int32_t index : lips) gathered.push_back(result.landmarks[face.landmarks_begin + index]);
    utils::RectAndBound& roi = (*rois)[i];
    CalculateBoundingBox(gathered, &roi.bound);
    if (!CalculateContoursRegionOfInterest(gathered, width, height, 0, 10, &roi.rect)) {
      return false;
    }
    roi.time = time;
  }
  return true;
}

bool RefineResult(const LandmarksDetectionResult& refined, LandmarksDetectionResult* result) {
  if (refined.faces.size() != result->faces.size() || result->faces.empty()) return true;
  const std::vector<int32_t>& lips = GetLipsMapping();
  const size_t needed = LipsLandmarksNeeded();
  for (size_t i = 0; i < result->faces.size(); ++i) {
    if (!FaceHolds(refined, refined.faces[i], lips.size()) ||
        !FaceHolds(*result, result->faces[i], needed)) {
      LOG(ERROR) << "Face has too few landmarks for its lips";
      return false;
    }
  }
  for (size_t i = 0; i < result->faces.size(); ++i) {
    const int32_t to = result->faces[i].landmarks_begin;
    const int32_t from = refined.faces[i].landmarks_begin;
    for (size_t k = 0; k < lips.size(); ++k) {
      result->landmarks[to + lips[k]] = refined.landmarks[from + k];
    }
  }
  return true;
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
