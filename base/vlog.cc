#include "base/vlog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "absl/flags/flag.h"
#include "absl/strings/string_view.h"
#include "absl/time/clock.h"
#include "base/raw_logging.h"

namespace {

// One module pattern. Entries are never removed or freed, so readers walk the list
// without a lock.
struct VModuleEntry {
  std::string pattern;
  std::atomic<int32_t> level{0};
  const VModuleEntry* next = nullptr;
};

std::atomic<const VModuleEntry*> vmodule_list{nullptr};

// Serialises writers of the list (a standard mutex, visible to the thread sanitizer).
std::mutex& VModuleLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

}  // namespace

namespace base {
namespace internal {

std::atomic<int32_t> vlog_epoch{1};

int InitVLOG(std::atomic<int32_t>* site, const char* file) {
  const int saved_errno = errno;
  const absl::string_view path(file);
  const size_t slash = path.rfind('/');
  const size_t base_start = slash == absl::string_view::npos ? 0 : slash + 1;
  size_t module_length = path.substr(base_start).find('.');
  if (module_length == absl::string_view::npos) module_length = path.size() - base_start;
  if (module_length >= 4 && path.substr(base_start + module_length - 4, 4) == "-inl") {
    module_length -= 4;
  }
  const absl::string_view module_name = path.substr(base_start, module_length);
  const absl::string_view module_path = path.substr(0, base_start + module_length);

  const int32_t epoch = vlog_epoch.load(std::memory_order_acquire);
  int32_t old_word = site->load(std::memory_order_acquire);

  int level = kVLogUseGlobalLevel;
  for (const VModuleEntry* entry = vmodule_list.load(std::memory_order_acquire);
       entry != nullptr; entry = entry->next) {
    const absl::string_view subject =
        entry->pattern.find('/') != std::string::npos ? module_path : module_name;
    if (SafeFNMatch_(entry->pattern.data(), entry->pattern.size(), subject.data(),
                     subject.size())) {
      level = entry->level.load(std::memory_order_relaxed);
      break;
    }
  }
  const uint32_t level_bits = level == kVLogUseGlobalLevel
                                  ? 0x80000000u
                                  : static_cast<uint32_t>(static_cast<uint16_t>(level)) << 16;
  const int32_t word = static_cast<int32_t>(level_bits | (static_cast<uint32_t>(epoch) & 0xFFFF));
  // When another thread changed the word meanwhile, its value stays.
  site->compare_exchange_strong(old_word, word, std::memory_order_release,
                                std::memory_order_relaxed);
  errno = saved_errno;
  if (level != kVLogUseGlobalLevel) level = static_cast<int16_t>(level);
  return level;
}

bool IsVLogBurstTime() {
  const uint64_t burst = absl::GetFlag(FLAGS_vlog_burst);
  if (burst == 0) return true;
  const uint64_t millis = static_cast<uint64_t>(absl::ToUnixMillis(absl::Now()));
  return (burst & ~millis) == 0;
}

bool VLogEnabledSlow(std::atomic<int32_t>* site, int level, const char* file) {
  const int32_t word = site->load(std::memory_order_acquire);
  int site_level;
  if (((word ^ vlog_epoch.load(std::memory_order_acquire)) & 0xFFFF) != 0) {
    site_level = InitVLOG(site, file);
  } else {
    site_level = static_cast<int16_t>(static_cast<uint32_t>(word) >> 16);
  }
  if (site_level == kVLogUseGlobalLevel) site_level = FLAGS_v;
  if (site_level < level) return false;
  return IsVLogBurstTime();
}

}  // namespace internal
}  // namespace base

bool SafeFNMatch_(const char* pattern, size_t patt_len, const char* str, size_t str_len) {
  size_t p = 0;
  size_t s = 0;
  while (true) {
    if (p == patt_len && s == str_len) return true;
    if (p == patt_len) return false;
    if (s == str_len) {
      // Only stars can match the empty rest.
      for (; p < patt_len; ++p) {
        if (pattern[p] != '*') return false;
      }
      return true;
    }
    if (pattern[p] == '*') {
      if (p + 1 == patt_len) return true;
      // Try the longest suffix first.
      for (size_t i = str_len + 1; i-- > s;) {
        if (SafeFNMatch_(pattern + p + 1, patt_len - p - 1, str + i, str_len - i)) return true;
      }
      return false;
    }
    if (pattern[p] == '?' || (pattern[p] == str[s] && str[s] != '*')) {
      ++p;
      ++s;
      continue;
    }
    return false;
  }
}

int SetVLOGLevel(const char* pattern, int level) {
  int result = FLAGS_v;
  const size_t pattern_length = strlen(pattern);
  std::lock_guard<std::mutex> lock(VModuleLock());
  bool found = false;
  for (const VModuleEntry* entry = vmodule_list.load(std::memory_order_acquire);
       entry != nullptr; entry = entry->next) {
    if (entry->pattern == absl::string_view(pattern, pattern_length)) {
      if (!found) result = entry->level.load(std::memory_order_relaxed);
      // Entries are immutable apart from their level.
      const_cast<VModuleEntry*>(entry)->level.store(level, std::memory_order_relaxed);
      found = true;
    } else if (!found && SafeFNMatch_(entry->pattern.data(), entry->pattern.size(), pattern,
                                      pattern_length)) {
      result = entry->level.load(std::memory_order_relaxed);
      found = true;
    }
  }
  if (!found) {
    auto* entry = new VModuleEntry;
    entry->pattern = pattern;
    entry->level.store(level, std::memory_order_relaxed);
    entry->next = vmodule_list.load(std::memory_order_relaxed);
    vmodule_list.store(entry, std::memory_order_release);
  }
  base::internal::vlog_epoch.fetch_add(1, std::memory_order_acq_rel);
  static std::atomic<int32_t> own_site{base::internal::kVLogSiteUninitialized};
  if (base::internal::VLogSiteIsOn(&own_site, 1, "vlog_is_on")) {
    absl::raw_logging_internal::RawLog(absl::LogSeverity::kInfo, "vlog_is_on", 218,
                                       "Set VLOG level for \"%s\" to %d", pattern, level);
  }
  return result;
}

void ParseVModuleFlag() {
  const std::string& setting = FLAGS_vmodule;
  size_t position = 0;
  while (true) {
    const size_t equals = setting.find('=', position);
    if (equals == std::string::npos) return;
    const std::string pattern = setting.substr(position, equals - position);
    int level;
    if (sscanf(setting.c_str() + equals, "=%d", &level) == 1) {
      SetVLOGLevel(pattern.c_str(), level);
    }
    const size_t comma = setting.find(',', equals);
    if (comma == std::string::npos) return;
    position = comma + 1;
  }
}
