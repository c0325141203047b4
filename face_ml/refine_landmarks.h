// Refinement of a face's landmarks by smaller models run on tighter crops (lips, eyes,
// brows, irises), in two forms:
// - a landmark runner that wraps the base runner and merges each refinement model's output
//   into the base landmarks as the model's refinement specs say;
// - the two halves of a separate lips detector: crops from a first result's lips, and the
//   lips result copied back into the first result.

#ifndef FACE_ML_REFINE_LANDMARKS_H_
#define FACE_ML_REFINE_LANDMARKS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "absl/time/time.h"
#include "absl/types/optional.h"
#include "absl/types/span.h"
#include "face_ml/contours_metadata_generated.h"
#include "face_ml/interfaces.h"
#include "face_ml/refinement_merge_rules.h"
#include "face_ml/types.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

// Builds the runner of one refinement model from its file (the whole model file, already
// verified for the metadata lookup), its landmark metadata and whether its crop is
// mirrored; null on failure.
using RefinementRunnerFactory = std::function<std::unique_ptr<LandmarksRunner>(
    absl::Span<const uint8_t> model_file, const fb::ContoursMetadata* metadata, bool flip)>;

// A runner that runs `base_runner`, then every refinement model of `model_files` (one per
// refinement spec of each file, in order) on crops derived from the base landmarks, and
// merges their outputs; a later model overwrites an earlier one. Null, with `base_runner`
// destroyed, when a file is malformed ("Failed to parse fb"), has no landmark metadata or
// malformed refinement specs, or a model's runner cannot be built. Run fails when a crop
// or a run fails, or when a model's output or the landmarks are too short for its specs.
std::unique_ptr<LandmarksRunner> MakeRefineLandmarksRunner(
    std::unique_ptr<LandmarksRunner> base_runner,
    const std::vector<absl::Span<const uint8_t>>& model_files,
    const RefinementRunnerFactory& runner_factory);

// One region per face of `result` from its lips landmarks (bound and crop oriented from
// lips landmark 0 to 10), at `time`. False (logged) when a face has too few landmarks.
bool GetROIsForRefineDetector(const LandmarksDetectionResult& result, int width, int height,
                              absl::optional<absl::Duration> time,
                              std::vector<utils::RectAndBound>* rois);

// Copies each refined face's 80 lips landmarks into the face of `result` at the same
// position. Nothing happens when the face counts differ or `result` has no face. False
// (logged, nothing copied) when a face has too few landmarks.
bool RefineResult(const LandmarksDetectionResult& refined, LandmarksDetectionResult* result);

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_REFINE_LANDMARKS_H_
