// Small rules the uploader's two halves share.
#ifndef USAGE_LOG_TRASSEN_UPLOADER_INTERNAL_H_
#define USAGE_LOG_TRASSEN_UPLOADER_INTERNAL_H_

#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/saturating_arithmetic.h"

namespace trassen_uploader_internal {

inline constexpr int64_t kMetaCountersLogSource = 103;
inline constexpr int64_t kBatchedRequestLogSource = 357;

// Times and waits come from outside: sums saturate.
using base::SaturatingAdd;

// A tier folder's name reads as a number other than 0, or is exactly "0" (so "state" and
// "uploader.lock" are not tier folders).
inline bool IsTierFolderName(const std::string& name) {
  return std::strtoll(name.c_str(), nullptr, 10) != 0 || name == "0";
}

}  // namespace trassen_uploader_internal

#endif  // USAGE_LOG_TRASSEN_UPLOADER_INTERNAL_H_
