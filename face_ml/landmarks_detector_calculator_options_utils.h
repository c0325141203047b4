// Checks of the landmarks calculator's options and their conversion into the options of the
// landmarks front end.
//
//   RETURN_IF_ERROR(CheckModelPaths(options));
//   ASSIGN_OR_RETURN(research::sorvanti::api::LandmarksOptions landmarks_options,
//                    GetLandmarksOptionsFromProto(options));

#ifndef FACE_ML_LANDMARKS_DETECTOR_CALCULATOR_OPTIONS_UTILS_H_
#define FACE_ML_LANDMARKS_DETECTOR_CALCULATOR_OPTIONS_UTILS_H_

#include "base/status.h"
#include "base/statusor.h"
#include "face_ml/interfaces.h"
#include "face_ml/landmarks_detector_calculator.pb.h"

namespace pellumo {
namespace sorvanti {

// INVALID_ARGUMENT when the face-detector model path, then the landmark model path, is empty.
absl::Status CheckModelPaths(const LandmarksDetectorCalculatorOptions& options);

// The front end's options. INVALID_ARGUMENT when `num_faces` is 0 or either `num_faces` or
// `extra_landmarks_iterations` does not fit a signed 32-bit count.
util::StatusOr<research::sorvanti::api::LandmarksOptions> GetLandmarksOptionsFromProto(
    const LandmarksDetectorCalculatorOptions& options);

// NO_FILTER and RELATIVE_VELOCITY_FILTER map to their front-end values; anything else to the
// front end's default (the filter the landmark model names).
research::sorvanti::api::LandmarksFilterType GetAPIFilterTypeFromProtoFilterType(
    LandmarksFilterType type);

// DEFAULT_STRATEGY means SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS. UNIMPLEMENTED (logged at
// ERROR) for a value outside the enumeration.
util::StatusOr<research::sorvanti::api::FaceDetectionStrategy>
GetAPIFaceDetectionStrategyFromProto(FaceDetectionStrategy strategy);

}  // namespace sorvanti
}  // namespace pellumo

#endif  // FACE_ML_LANDMARKS_DETECTOR_CALCULATOR_OPTIONS_UTILS_H_
