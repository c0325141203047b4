// What other stand-ins need of the dispatch stand-in to share its clock: the queue a caller runs
// on, and a call whenever the virtual clock moves.
//
//   int id = platform::dispatch::AddVirtualClockObserver([](dispatch_time_t now) {
//     StepAnimationsTo(now);                  // scene actions follow the clock
//   });
//   dispatch_queue_t here = platform::dispatch::CurrentQueue();   // where a completion goes back
//
// Observers run on the thread that calls AdvanceVirtualTime(), each time the clock moves: before
// the work due at the new time is handed over, and once more when the clock reaches the end of the
// span. They must not advance the clock themselves; they may schedule work (it is handed over in
// the same span when it falls due there).

#ifndef PLATFORM_DISPATCH_STAND_IN_HOOKS_H_
#define PLATFORM_DISPATCH_STAND_IN_HOOKS_H_

#include <functional>

#include "platform/dispatch/dispatch.h"

namespace platform::dispatch {

// The queue whose block the calling thread runs (the innermost one); the main queue on the main
// thread outside any block; null on any other thread.
dispatch_queue_t CurrentQueue();

using VirtualClockObserver = std::function<void(dispatch_time_t now)>;
// Returns an id for RemoveVirtualClockObserver.
int AddVirtualClockObserver(VirtualClockObserver observer);
void RemoveVirtualClockObserver(int id);

namespace internal {
// Tells the observers that the virtual clock stands at `now`.
void NotifyVirtualClockObservers(dispatch_time_t now);
}  // namespace internal

}  // namespace platform::dispatch

#endif  // PLATFORM_DISPATCH_STAND_IN_HOOKS_H_
