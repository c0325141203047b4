#include "face_ml/refinement_merge_rules.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

const std::vector<int32_t>& GetLipsMapping() {
  static const auto* const kLips = new std::vector<int32_t>{
      61,  146, 91,  181, 84,  17,  314, 405, 321, 375,  //
      291, 185, 40,  39,  37,  0,   267, 269, 270, 409,  //
      78,  95,  88,  178, 87,  14,  317, 402, 318, 324,  //
      308, 191, 80,  81,  82,  13,  312, 311, 310, 415,  //
      76,  77,  90,  180, 85,  16,  315, 404, 320, 307,  //
      306, 184, 74,  73,  72,  11,  302, 303, 304, 408,  //
      62,  96,  89,  179, 86,  15,  316, 403, 319, 325,  //
      292, 183, 42,  41,  38,  12,  268, 271, 272, 407};
  return *kLips;
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
