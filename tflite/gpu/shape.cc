#include "tflite/gpu/shape.h"

#include "absl/strings/str_cat.h"

namespace tflite {
namespace gpu {

std::string ToString(const HW& s) { return absl::StrCat("{", s.h, ", ", s.w, "}"); }
std::string ToString(const HWC& s) { return absl::StrCat("{", s.h, ", ", s.w, ", ", s.c, "}"); }
std::string ToString(const BHWC& s) {
  return absl::StrCat("{", s.b, ", ", s.h, ", ", s.w, ", ", s.c, "}");
}

int64_t GetElementsSizeForPHWC4(const BHWC& s) {
  const int64_t slices = (int64_t{s.c} + 3) / 4;
  return int64_t{s.b} * s.h * s.w * slices * 4;
}

}  // namespace gpu
}  // namespace tflite
