// Verbose logging: VLOG(n) is written only when the verbose level that applies to its
// source file is at least n. The level is FLAGS_v unless a module pattern (SetVLOGLevel)
// matches the file.
//
// Every VLOG statement keeps its decision in one static 32-bit word: bits 0-15 hold the
// low bits of the epoch at which the word was computed, bits 16-31 the level as a signed
// 16-bit value or kVLogUseGlobalLevel (no pattern matched, FLAGS_v applies). A statement
// that is off costs two loads and a comparison; the word is recomputed only after the
// patterns change (each SetVLOGLevel moves the epoch on).

#ifndef BASE_VLOG_H_
#define BASE_VLOG_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "absl/base/optimization.h"
#include "base/flags.h"

namespace base {
namespace internal {

// Cached level meaning "no pattern matched; use FLAGS_v".
inline constexpr int kVLogUseGlobalLevel = -32768;
// Initial site word: epoch 0 with the global-level marker. The epoch starts at 1, so every
// site is computed on first use.
inline constexpr int32_t kVLogSiteUninitialized = static_cast<int32_t>(0x80000000u);

extern std::atomic<int32_t> vlog_epoch;

// Recomputes the site when its epoch is stale, then applies the level and burst tests.
bool VLogEnabledSlow(std::atomic<int32_t>* site, int level, const char* file);

// Computes and caches the level of `file` in `site`; returns it, or kVLogUseGlobalLevel
// when no pattern matched. Leaves errno unchanged.
int InitVLOG(std::atomic<int32_t>* site, const char* file);

// True when every bit of vlog_burst is set in the current Unix time in milliseconds.
bool IsVLogBurstTime();

inline bool VLogSiteIsOn(std::atomic<int32_t>* site, int level, const char* file) {
  const int32_t word = site->load(std::memory_order_acquire);
  if (ABSL_PREDICT_FALSE(((word ^ vlog_epoch.load(std::memory_order_acquire)) & 0xFFFF) != 0)) {
    return VLogEnabledSlow(site, level, file);
  }
  int cached = static_cast<int16_t>(static_cast<uint32_t>(word) >> 16);
  if (cached == kVLogUseGlobalLevel) cached = FLAGS_v;
  if (ABSL_PREDICT_TRUE(cached < level)) return false;
  return VLogEnabledSlow(site, level, file);
}

}  // namespace internal

// One site word for code that checks a verbose level out of line.
class VLogSite {
 public:
  constexpr VLogSite() = default;
  bool IsEnabled(int level, const char* file) {
    return internal::VLogSiteIsOn(&word_, level, file);
  }

 private:
  std::atomic<int32_t> word_{internal::kVLogSiteUninitialized};
};

}  // namespace base

// Sets the verbose level of every file whose module name matches `pattern` (a glob with
// "*" and "?"; a pattern with "/" is matched against the path without extension).
// Returns the level that applied to the pattern before.
int SetVLOGLevel(const char* pattern, int level);

// Glob match: "*" matches any run of characters, "?" any one; no escapes or classes.
bool SafeFNMatch_(const char* pattern, size_t patt_len, const char* str, size_t str_len);

// Parses FLAGS_vmodule ("pattern=level,pattern=level") into SetVLOGLevel calls.
void ParseVModuleFlag();

#define VLOG_IS_ON(verbose_level)                                                          \
  ::base::internal::VLogSiteIsOn(                                                          \
      []() -> std::atomic<int32_t>* {                                                      \
        static std::atomic<int32_t> qm_vlog_site(::base::internal::kVLogSiteUninitialized); \
        return &qm_vlog_site;                                                              \
      }(),                                                                                 \
      (verbose_level), __FILE__)

#endif  // BASE_VLOG_H_
