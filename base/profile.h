// A sampled profile, as a profiler hands it out: a title line for the old text format and
// the samples, each a count and a stack of program counters.

#ifndef BASE_PROFILE_H_
#define BASE_PROFILE_H_

#include <cstdint>
#include <string>

namespace base {

class Profile {
 public:
  struct Entry {
    int64_t count;
    int depth;
    const void* const* stack;
  };
  using IterateCallback = void (*)(void* arg, const Entry& entry);

  virtual ~Profile();
  virtual std::string old_format_title() const = 0;
  // Calls `callback(arg, entry)` once per sample.
  virtual void Iterate(void* arg, IterateCallback callback) const = 0;
  // The sampling period; 0 when unknown.
  virtual int64_t period() const;
  virtual void UnusedKeyMethod();
};

}  // namespace base

#endif  // BASE_PROFILE_H_
