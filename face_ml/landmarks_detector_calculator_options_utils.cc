#include "face_ml/landmarks_detector_calculator_options_utils.h"

#include <cstdint>
#include <limits>

#include "absl/strings/str_cat.h"
#include "base/logging.h"

namespace pellumo {
namespace sorvanti {

namespace api = ::research::sorvanti::api;

absl::Status CheckModelPaths(const LandmarksDetectorCalculatorOptions& options) {
  if (options.face_detector_model_path().empty()) {
    return absl::InvalidArgumentError(
        "Face detector model path has to be specified in the options");
  }
  if (options.landmarks_model_path().empty()) {
    return absl::InvalidArgumentError(
        "Landmarks detector model path has to be specified in the options");
  }
  return absl::OkStatus();
}

util::StatusOr<api::LandmarksOptions> GetLandmarksOptionsFromProto(
    const LandmarksDetectorCalculatorOptions& options) {
  constexpr uint64_t kMaxCount = std::numeric_limits<int32_t>::max();
  if (options.num_faces() == 0) {
    return absl::InvalidArgumentError("Number of faces to detect has to be greater than 0");
  }
  // The front end counts in signed 32 bits; a larger value would wrap to a negative count.
  if (options.num_faces() > kMaxCount) {
    return absl::InvalidArgumentError(
        absl::StrCat("Number of faces to detect has to be at most ", kMaxCount));
  }
  if (options.extra_landmarks_iterations() > kMaxCount) {
    return absl::InvalidArgumentError(
        absl::StrCat("Extra landmarks iterations have to be at most ", kMaxCount));
  }
  api::LandmarksFilterType filter_type = GetAPIFilterTypeFromProtoFilterType(options.filter_type());
  util::StatusOr<api::FaceDetectionStrategy> strategy =
      GetAPIFaceDetectionStrategyFromProto(options.face_detection_strategy());
  if (!strategy.ok()) return strategy.status();

  api::LandmarksOptions result;
  result.num_faces = static_cast<int32_t>(options.num_faces());
  result.filter_type = filter_type;
  result.face_detection_strategy = *strategy;
  result.output_face_ids = options.output_face_ids();
  result.extra_landmarks_iterations = static_cast<int32_t>(options.extra_landmarks_iterations());
  return result;
}

api::LandmarksFilterType GetAPIFilterTypeFromProtoFilterType(LandmarksFilterType type) {
  switch (type) {
    case NO_FILTER:
      return api::NO_FILTER;
    case RELATIVE_VELOCITY_FILTER:
      return api::RELATIVE_VELOCITY_FILTER;
    default:
      return api::DEFAULT_FILTER;
  }
}

util::StatusOr<api::FaceDetectionStrategy> GetAPIFaceDetectionStrategyFromProto(
    FaceDetectionStrategy strategy) {
  switch (strategy) {
    case DEFAULT_STRATEGY:
    case SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS:
      return api::SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS;
    case RUN_ALWAYS_AND_COMBINE_WITH_PREVIOUS_RESULTS:
      return api::RUN_ALWAYS_AND_COMBINE_WITH_PREVIOUS_RESULTS;
    case SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS:
      return api::SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS;
  }
  std::string message =
      absl::StrCat("Conversion is not supported for: ", static_cast<int>(strategy));
  LOG(ERROR) << message;
  return absl::UnimplementedError(message);
}

}  // namespace sorvanti
}  // namespace pellumo
