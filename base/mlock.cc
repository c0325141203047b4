#include "base/mlock.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "absl/strings/str_format.h"
#include "base/flags.h"
#include "base/logging.h"
#include "base/proc_maps.h"

namespace base {

MLockWrapper::~MLockWrapper() = default;
void MLockWrapper::UnusedKeyMethod() {}

int MLockWrapperImpl::MLock(void* address, size_t length) { return mlock(address, length); }

namespace internal {

namespace {
bool Fail(const std::string& text, std::string* error) {
  if (error != nullptr) {
    *error = text;
  } else {
    LOG(ERROR) << text;
  }
  return false;
}
}  // namespace

bool LockPages(MappingType type, MLockWrapper* wrapper, std::string* error) {
  ProcMapsIterator it(getpid());
  if (!it.Valid()) return Fail("Invalid ProcMapsIterator; can't mlock anything", error);
  std::vector<ColdSections::Range> ranges;
  uint64_t start, end;
  char* flags;
  char* filename;
  while (it.Next(&start, &end, &flags, nullptr, nullptr, &filename)) {
    if (filename[0] == '/' && strcmp(flags, "---p") != 0) ranges.emplace_back(start, end);
  }
  if (type == kHotPagesOnly) {
    ranges = ColdSections::SubtractSections(ranges, ColdSections::GetExcludedMlockSections());
  }
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  uint64_t total = 0;
  int calls = 0;
  for (const auto& [range_start, range_end] : ranges) {
    const uint64_t moved = range_start - range_start % page;
    const uint64_t length = range_end - moved;
    ++calls;
    total += length;
    if (wrapper->MLock(reinterpret_cast<void*>(moved), length) != 0) {
      const int saved = errno;
      return Fail(absl::StrFormat("Could not lock page starting at %p: %s [%d]",
                                  reinterpret_cast<void*>(moved), strerror(saved), saved),
                  error);
    }
  }
  if (!FLAGS_silent_init) {
    LOG(INFO) << "mlock()-ed " << total << " bytes using " << calls << " syscalls.";
  }
  return true;
}

}  // namespace internal

bool LockHotExecutablePages(std::string* error) {
  MLockWrapperImpl wrapper;
  return internal::LockPages(internal::kHotPagesOnly, &wrapper, error);
}

bool LockAllExecutablePages(std::string* error) {
  MLockWrapperImpl wrapper;
  return internal::LockPages(internal::kAllPages, &wrapper, error);
}

void MlockOnTmpfs::MlockAllowOnTmpfs(bool) {}

std::vector<ColdSections::Range> ColdSections::SubtractSections(
    const std::vector<Range>& ranges, const std::vector<Range>& excluded) {
  std::vector<Range> out;
  for (auto [a, b] : ranges) {
    for (const auto& [c, d] : excluded) {
      if (c >= b) break;
      if (d <= a) continue;
      if (a < c) out.emplace_back(a, c);
      a = d;
      if (a >= b) break;
    }
    if (a < b) out.emplace_back(a, b);
  }
  return out;
}

std::vector<ColdSections::Range>* ColdSections::MutableExcludedMlockSections() {
  static auto* excluded = new std::vector<Range>;
  return excluded;
}

const std::vector<ColdSections::Range>& ColdSections::GetExcludedMlockSections() {
  return *MutableExcludedMlockSections();
}

std::vector<ColdSections::Range> ColdSections::SelectExcludedMlockSections() { return {}; }

std::vector<ColdSections::Section> ColdSections::SortAndCoalesceSections(
    std::vector<Section> sections) {
  std::vector<Section> out;
  if (sections.empty()) return out;
  std::sort(sections.begin(), sections.end(), [](const Section& x, const Section& y) {
    return x.start != y.start ? x.start < y.start : x.end < y.end;
  });
  out.push_back(sections[0]);
  for (size_t i = 1; i < sections.size(); ++i) {
    const Section& s = sections[i];
    Section& last = out.back();
    // Unsigned: a section that starts inside the last one wraps to a huge gap.
    const uint64_t gap = s.start - last.end;
    if ((s.max_gap != 0 && gap < s.max_gap) || (s.max_gap == 0 && s.start == last.end)) {
      last.end = s.end;
    } else {
      out.push_back(s);
    }
  }
  return out;
}

}  // namespace base
