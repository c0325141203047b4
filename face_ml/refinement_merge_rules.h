// How a refinement model's landmarks merge into the base landmarks of a face: which base
// landmark each model landmark replaces, which base landmarks define the model's crop, and
// how depths are merged.

#ifndef FACE_ML_REFINEMENT_MERGE_RULES_H_
#define FACE_ML_REFINEMENT_MERGE_RULES_H_

#include <cstdint>
#include <vector>

#include "absl/types/variant.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

struct RefinementSpec {
  // Take the model's depth.
  struct ZRefinementCopy {};
  // The model's depth minus the mean base depth over `indices` (base landmarks).
  struct ZRefinementCopySubtractAverage {
    std::vector<int32_t> indices;
  };
  // The mean base depth over `indices` (base landmarks).
  struct ZRefinementAssignAverage {
    std::vector<int32_t> indices;
  };

  struct ZRefinement {
    // Positions in index_map (model landmark numbers) whose depth is set.
    std::vector<int32_t> indices;
    absl::variant<ZRefinementCopy, ZRefinementCopySubtractAverage, ZRefinementAssignAverage>
        rule;
  };

  // Entry k is the base landmark that model landmark k replaces.
  std::vector<int32_t> index_map;
  // Base landmarks whose positions define the model's crop.
  std::vector<int32_t> roi_indices;
  // Applied in order.
  std::vector<ZRefinement> z_refinements;
  // Mirror the model's crop horizontally.
  bool flip = false;
};

// The 80 base-mesh landmarks that the lips model's landmarks stand for, in its order.
const std::vector<int32_t>& GetLipsMapping();

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_REFINEMENT_MERGE_RULES_H_
