// Small calculators for end-to-end graph tests, registered by name from
// graph_test_calculators.cc. Names carry the "GraphTest" prefix so that they never collide
// with the system's own.
//
// - "GraphTestPassThroughCalculator": every input packet to the output of the same index.
// - "GraphTestFailingCalculator": a pass-through that fails at the timestamp held by the
//   "FAIL_AT" side packet (int64) with INVALID_ARGUMENT "failing on purpose".
// - "GraphTestFailingOpenCalculator": no streams; its Open fails with the code held by the
//   "CODE" side packet (int) and the message "open failed".
// - "GraphTestGatedCalculator": a pass-through whose Process waits until `Gate::Open()`.
// - "GraphTestSlowCalculator": a pass-through that sleeps one millisecond per packet.
// - "GraphTestThreadRecorderCalculator": a pass-through that records the thread of every
//   Process in `ThreadLog`.
// - "GraphTestGpuCalculator": a pass-through that requests the GPU service and records its
//   thread in `ThreadLog`.
// - "GraphTestGpuSharedCalculator": no streams; takes "GPU_SHARED" and records the pointer in
//   `LastGpuSharedData()`.
// - "GraphTestSpammingCalculator": sends `kSpamCount` empty packets to its output on its first
//   packet, each of which the graph records as an error.
// - "GraphTestCountingSourceCalculator": a source that emits 0..N-1 (side packet "N", int) and
//   stops.

#ifndef QUILLMERE_TESTS_GRAPH_TEST_CALCULATORS_H_
#define QUILLMERE_TESTS_GRAPH_TEST_CALCULATORS_H_

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/status.h"

namespace kaldren {
namespace graph_test {

inline constexpr int kSpamCount = 1500;

// A latch that gated calculators wait on; closed again by Reset.
class Gate {
 public:
  static void Open();
  static void Reset();
  static void Wait();
};

// Threads that recording calculators ran on, in order.
class ThreadLog {
 public:
  static void Record();
  static std::vector<std::thread::id> Take();
};

// The run status that "GraphTestStatusHandler" saw last at the end of a run. The handler takes
// the side packet "FLAG" (int) and refuses a run before it starts when FLAG is 1.
absl::Status& LastRunStatus();

// The GpuSharedData* that the last GraphTestGpuSharedCalculator saw, as an address.
const void*& LastGpuSharedData();

// The number of this process's threads whose name begins with `prefix`.
int CountThreadsNamed(const std::string& prefix);

// CountThreadsNamed once it reaches `expected`, or after about two seconds. New threads name
// themselves a moment after they start, and the kernel lists a joined thread for a moment
// after the join returns.
int CountThreadsNamedWhenSettled(const std::string& prefix, int expected);

}  // namespace graph_test
}  // namespace kaldren

#endif  // QUILLMERE_TESTS_GRAPH_TEST_CALCULATORS_H_
