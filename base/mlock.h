// Locking the program's mapped file pages into memory, and the ranges excluded from it.
//
//   std::string error;
//   if (!base::LockHotExecutablePages(&error)) LOG(ERROR) << error;
//
// Every mapping of a file (a name starting with "/") that is not "---p" is locked, from the
// start of its first page. "Hot" locking leaves out the excluded (cold) sections.

#ifndef BASE_MLOCK_H_
#define BASE_MLOCK_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace base {

// The system call behind page locking, replaceable in tests.
class MLockWrapper {
 public:
  // 0 on success; otherwise errno tells why.
  virtual int MLock(void* address, size_t length) = 0;
  virtual ~MLockWrapper();
  virtual void UnusedKeyMethod();
};

class MLockWrapperImpl : public MLockWrapper {
 public:
  int MLock(void* address, size_t length) override;
};

namespace internal {
enum MappingType { kHotPagesOnly = 0, kAllPages = 1 };
// Locks the pages; stops at the first failure (pages locked before stay locked). The error
// goes to `error` when given, otherwise to the log.
bool LockPages(MappingType type, MLockWrapper* wrapper, std::string* error);
}  // namespace internal

bool LockHotExecutablePages(std::string* error);
bool LockAllExecutablePages(std::string* error);

class MlockOnTmpfs {
 public:
  // Nothing to allow on this system.
  static void MlockAllowOnTmpfs(bool allow);
};

class ColdSections {
 public:
  // [first, second): the end is exclusive.
  using Range = std::pair<uint64_t, uint64_t>;
  struct Section {
    uint64_t start;
    uint64_t end;
    // A section that starts less than this after the previous one ends is merged into it
    // (0: only when it starts exactly there).
    uint64_t max_gap;
  };

  // `ranges` with the parts covered by `excluded` (sorted, not overlapping) removed, in order.
  static std::vector<Range> SubtractSections(const std::vector<Range>& ranges,
                                             const std::vector<Range>& excluded);
  // The process-wide excluded sections; empty unless someone fills them.
  static const std::vector<Range>& GetExcludedMlockSections();
  static std::vector<Range>* MutableExcludedMlockSections();
  static std::vector<Range> SelectExcludedMlockSections();
  // Sorted by start, then end; touching (or close enough) sections merged. Overlapping
  // sections are not merged.
  static std::vector<Section> SortAndCoalesceSections(std::vector<Section> sections);
};

}  // namespace base

#endif  // BASE_MLOCK_H_
