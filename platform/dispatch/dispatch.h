// Dispatch queues, timers, semaphores and groups for Linux, under the platform's own names.
//
//   dispatch_queue_t queue = dispatch_queue_create("JQXLogWriter", DISPATCH_QUEUE_SERIAL);
//   dispatch_async(queue, [] { WriteOne(); });
//   dispatch_sync(queue, [] { /* runs after every block queued before it */ });
//   dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 2 * NSEC_PER_SEC),
//                  dispatch_get_main_queue(), [] { Later(); });
//
// Objects are std::shared_ptr; blocks are std::function<void()>. Work that is pending keeps
// what it needs alive: a queued block keeps its queue (and that queue's target queues) alive,
// and a resumed timer source lives until it is cancelled, whoever still refers to it.
//
// Queues
// - A serial queue runs one block at a time in the order the blocks were queued. A concurrent
//   queue starts every block as soon as it is queued. Both hand their blocks to their target
//   queue: by default the global queue of their quality of service, or the one chosen with
//   dispatch_set_target_queue(). A serial queue that targets another serial queue runs its blocks
//   one at a time on that queue's turn.
// - The global queues are concurrent; their blocks run on a shared pool of worker threads that
//   grows on demand, so a block never waits for a thread while others are blocked (up to 512
//   threads; beyond that, blocks wait for a free thread). A worker that has been idle for a while
//   (5 s by default, see SetWorkerIdleTimeout) ends. Quality of service is recorded and reported;
//   it does not change how threads are scheduled.
// - While a worker runs a block of a queue it carries the queue's label, cut to 15 characters, as
//   its thread name ("dispatch-worker" for a queue without a label). The main thread is never
//   renamed.
// - The main queue is serial and runs only on the main thread (main_thread.h), when the host runs
//   platform::dispatch::RunMainLoopUntil() or a test calls platform::dispatch::RunUntilIdle().
//   Its label is "com.apple.main-thread"; the global queues' labels are "com.apple.root." followed
//   by "user-interactive-qos", "user-initiated-qos", "default-qos", "utility-qos" or
//   "background-qos".
// - dispatch_sync() waits for the block's turn on the queue and runs it on the calling thread as
//   the queue's work (the thread that would have run it waits meanwhile, so nothing else of the
//   queue or of its serial targets runs); work for the main queue, or a queue that targets it,
//   runs on the main thread instead. Calling it for a serial queue whose work the calling thread
//   is running (the queue itself or one of its target queues, or the main queue on the main
//   thread) would never return: it is a failed CHECK naming the queue instead.
// - dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL) is the label of the queue whose block
//   the calling thread runs; the main queue's label on the main thread outside any other queue;
//   null on any other thread.
//
// Time
// - dispatch_time_t counts nanoseconds of the monotonic clock. DISPATCH_TIME_NOW (0) stands for
//   "now" and DISPATCH_TIME_FOREVER for never. dispatch_walltime() maps a wall-clock time onto the
//   same clock, so both kinds of time may be mixed.
// - In virtual-time mode (platform::dispatch::UseVirtualTime) the clock stands still until a test
//   advances it, and due dispatch_after() blocks and timer firings run one after another in
//   due-time order (see AdvanceVirtualTime). Timed semaphore and group waits wait the same span of
//   real time in either mode.
//
// Timer sources
// - dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue) makes a timer that starts
//   suspended; dispatch_source_set_timer() sets its first fire time and interval and
//   dispatch_resume() starts it. The leeway is recorded and ignored: a timer fires at its due
//   time. An interval of 0 or DISPATCH_TIME_FOREVER makes a one-shot timer. The event handler runs
//   on the timer's queue, never twice at a time; firings that happen while the previous one has
//   not run yet (or while the source is suspended) are merged into one run, whose
//   dispatch_source_get_data() is the number of firings merged. After dispatch_source_cancel()
//   no further event handler starts; the cancel handler then runs once on the queue, after which
//   the source lets go of both handlers.
//
// Everything here may be called from any thread. A child made with fork() must not use dispatch
// before it calls exec (its worker and timer threads did not come along).

#ifndef PLATFORM_DISPATCH_DISPATCH_H_
#define PLATFORM_DISPATCH_DISPATCH_H_

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch/main_thread.h"

// --- Objects ---------------------------------------------------------------------------------

struct dispatch_queue_s;
struct dispatch_source_s;
struct dispatch_semaphore_s;
struct dispatch_group_s;
struct dispatch_source_type_s;

using dispatch_queue_t = std::shared_ptr<dispatch_queue_s>;
using dispatch_source_t = std::shared_ptr<dispatch_source_s>;
using dispatch_semaphore_t = std::shared_ptr<dispatch_semaphore_s>;
using dispatch_group_t = std::shared_ptr<dispatch_group_s>;
using dispatch_block_t = std::function<void()>;
using dispatch_source_type_t = const dispatch_source_type_s*;

// --- Quality of service ------------------------------------------------------------------------

enum qos_class_t : unsigned int {
  QOS_CLASS_USER_INTERACTIVE = 0x21,
  QOS_CLASS_USER_INITIATED = 0x19,
  QOS_CLASS_DEFAULT = 0x15,
  QOS_CLASS_UTILITY = 0x11,
  QOS_CLASS_BACKGROUND = 0x09,
  QOS_CLASS_UNSPECIFIED = 0x00,
};
using dispatch_qos_class_t = qos_class_t;

// Priorities that dispatch_get_global_queue() also accepts: high is user-initiated, default is
// default, low is utility and background is background.
inline constexpr long DISPATCH_QUEUE_PRIORITY_HIGH = 2;
inline constexpr long DISPATCH_QUEUE_PRIORITY_DEFAULT = 0;
inline constexpr long DISPATCH_QUEUE_PRIORITY_LOW = -2;
inline constexpr long DISPATCH_QUEUE_PRIORITY_BACKGROUND = -32768;

// --- Queue attributes --------------------------------------------------------------------------

// An attribute set is an interned constant; null means serial with unspecified quality of service.
struct dispatch_queue_attr_s {
  bool concurrent;
  dispatch_qos_class_t qos;
  int relative_priority;  // -15 .. 0
};
using dispatch_queue_attr_t = const dispatch_queue_attr_s*;

namespace platform::dispatch::internal {
extern const dispatch_queue_attr_s kConcurrentQueueAttr;
extern const dispatch_source_type_s kTimerSourceType;
}  // namespace platform::dispatch::internal

#define DISPATCH_QUEUE_SERIAL (static_cast<dispatch_queue_attr_t>(nullptr))
#define DISPATCH_QUEUE_CONCURRENT (&::platform::dispatch::internal::kConcurrentQueueAttr)
#define DISPATCH_CURRENT_QUEUE_LABEL (dispatch_queue_t())
#define DISPATCH_SOURCE_TYPE_TIMER (&::platform::dispatch::internal::kTimerSourceType)

// `attr` with the given quality of service and relative priority (clamped to -15 .. 0). A
// quality of service that is not one of the QOS_CLASS_ values answers null.
dispatch_queue_attr_t dispatch_queue_attr_make_with_qos_class(dispatch_queue_attr_t attr,
                                                              dispatch_qos_class_t qos_class,
                                                              int relative_priority);

// --- Queues ------------------------------------------------------------------------------------

// A new queue; `label` may be null (the label is then ""). Serial unless `attr` says concurrent.
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
dispatch_queue_t dispatch_get_main_queue();
// The global concurrent queue of a QOS_CLASS_ value or a DISPATCH_QUEUE_PRIORITY_ value; null
// for any other identifier or for flags other than 0.
dispatch_queue_t dispatch_get_global_queue(long identifier, unsigned long flags);

// The queue's label ("" when created without one). DISPATCH_CURRENT_QUEUE_LABEL asks for the
// queue the caller runs on (see above); null when there is none. The text lives as long as the
// queue.
const char* dispatch_queue_get_label(const dispatch_queue_t& queue);
dispatch_qos_class_t dispatch_queue_get_qos_class(const dispatch_queue_t& queue,
                                                  int* relative_priority);

// Makes `object` hand its blocks to `target` from its next block on; a null target restores the
// global queue of the object's quality of service. The main queue and the global queues keep
// their place, and a target that would close a cycle is a failed CHECK.
void dispatch_set_target_queue(const dispatch_queue_t& object, dispatch_queue_t target);
void dispatch_set_target_queue(const dispatch_source_t& object, dispatch_queue_t target);

void dispatch_async(const dispatch_queue_t& queue, dispatch_block_t block);
void dispatch_sync(const dispatch_queue_t& queue, const dispatch_block_t& block);
// Queues `block` on `queue` at `when`; DISPATCH_TIME_FOREVER never.
void dispatch_after(uint64_t when, const dispatch_queue_t& queue, dispatch_block_t block);

// Suspension counts: a suspended queue starts no new block (a running one goes on) until it is
// resumed as often as it was suspended; resuming more often is a failed CHECK. A new timer source
// counts as suspended once.
void dispatch_suspend(const dispatch_queue_t& object);
void dispatch_resume(const dispatch_queue_t& object);
void dispatch_suspend(const dispatch_source_t& object);
void dispatch_resume(const dispatch_source_t& object);
void dispatch_activate(const dispatch_source_t& object);  // the first resume, once

// --- Once --------------------------------------------------------------------------------------

using dispatch_once_t = std::once_flag;
inline void dispatch_once(dispatch_once_t* predicate, const dispatch_block_t& block) {
  std::call_once(*predicate, block);
}

// --- Time --------------------------------------------------------------------------------------

using dispatch_time_t = uint64_t;
inline constexpr dispatch_time_t DISPATCH_TIME_NOW = 0;
inline constexpr dispatch_time_t DISPATCH_TIME_FOREVER = ~0ull;
inline constexpr uint64_t NSEC_PER_SEC = 1000000000ull;
inline constexpr uint64_t NSEC_PER_MSEC = 1000000ull;
inline constexpr uint64_t NSEC_PER_USEC = 1000ull;
inline constexpr uint64_t USEC_PER_SEC = 1000000ull;
inline constexpr uint64_t MSEC_PER_SEC = 1000ull;

// `when` (DISPATCH_TIME_NOW: the current time) moved by `delta` nanoseconds. FOREVER stays
// FOREVER; a result beyond the clock's range is FOREVER, one before its start is 1.
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
// The wall-clock time `when` (null: now) moved by `delta`, on the clock of dispatch_time().
dispatch_time_t dispatch_walltime(const struct timespec* when, int64_t delta);

// --- Semaphores --------------------------------------------------------------------------------

// Null for a negative value.
dispatch_semaphore_t dispatch_semaphore_create(long value);
// 0 once the count could be taken; non-zero when `timeout` passed first.
long dispatch_semaphore_wait(const dispatch_semaphore_t& semaphore, dispatch_time_t timeout);
// Non-zero when a waiting thread was woken.
long dispatch_semaphore_signal(const dispatch_semaphore_t& semaphore);

// --- Groups ------------------------------------------------------------------------------------

dispatch_group_t dispatch_group_create();
void dispatch_group_enter(const dispatch_group_t& group);
// Leaving more often than entering is a failed CHECK.
void dispatch_group_leave(const dispatch_group_t& group);
void dispatch_group_async(const dispatch_group_t& group, const dispatch_queue_t& queue,
                          dispatch_block_t block);
// Queues `block` on `queue` once the group is empty (at once when it is empty now).
void dispatch_group_notify(const dispatch_group_t& group, const dispatch_queue_t& queue,
                           dispatch_block_t block);
// 0 once the group is empty; non-zero when `timeout` passed first.
long dispatch_group_wait(const dispatch_group_t& group, dispatch_time_t timeout);

// --- Timer sources -----------------------------------------------------------------------------

// Only DISPATCH_SOURCE_TYPE_TIMER is known (anything else answers null); handle and mask are
// ignored. A null queue means the default global queue.
dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         unsigned long mask, const dispatch_queue_t& queue);
// First fire at `start` (DISPATCH_TIME_FOREVER: not armed), then every `interval` nanoseconds.
// Replaces any earlier setting; takes effect at once on a started timer.
void dispatch_source_set_timer(const dispatch_source_t& source, dispatch_time_t start,
                               uint64_t interval, uint64_t leeway);
void dispatch_source_set_event_handler(const dispatch_source_t& source, dispatch_block_t handler);
void dispatch_source_set_cancel_handler(const dispatch_source_t& source, dispatch_block_t handler);
void dispatch_source_cancel(const dispatch_source_t& source);
long dispatch_source_testcancel(const dispatch_source_t& source);
// In the event handler: the number of firings this run stands for.
unsigned long dispatch_source_get_data(const dispatch_source_t& source);

// --- Controls of this stand-in -----------------------------------------------------------------

namespace platform::dispatch {

// Runs main-queue blocks on the calling thread, which must be the main thread, until the main
// queue is empty, including blocks that those blocks queue. Returns at once when it is empty.
void RunUntilIdle();

// The host's main run loop: runs main-queue blocks on the calling (main) thread as they arrive
// until `done` answers true or `timeout` (real time) has passed. `done` is asked before each
// block and at least every 10 ms while nothing arrives. Returns the last answer of `done`.
bool RunMainLoopUntil(const std::function<bool()>& done,
                      std::chrono::nanoseconds timeout = std::chrono::nanoseconds::max());

// Switches virtual time on or off. Turning it on the first time sets the virtual clock to 1 s
// (so that no time equals DISPATCH_TIME_NOW); turning it off returns to the monotonic clock. The
// virtual clock never goes back: a later UseVirtualTime(true) goes on from where it stood.
// dispatch_after() blocks and timers are scheduled on the clock that is current when they are
// set. Work on the virtual clock runs only inside AdvanceVirtualTime(), even when its time has
// already come (AdvanceVirtualTime(0) runs it), and waits while virtual time is off.
void UseVirtualTime(bool on);
bool IsVirtualTimeOn();

// Moves the virtual clock forward by `delta`. Virtual time must be on; a call from inside work
// that AdvanceVirtualTime() is running is a failed CHECK.
//
// The dispatch_after() blocks and timer firings due by the new time are handed over one at a time
// in due-time order (items due at the same time in the order they were scheduled), including
// those that the handed-over work schedules within the span; a repeating timer fires once per
// interval that ends in the span. For each item the clock first moves to its due time (it stays
// where it is when that time had already passed), then the block or the timer's event handler is
// queued on its queue, and the call waits until it has finished there. It does not wait when
// that queue or one of its targets is suspended, or when the firing merges into a handler run
// that is still pending. On the main thread the call runs main-queue blocks while it waits, so
// work for the main queue runs on the calling thread; on any other thread it waits for the main
// thread to run such work. Blocks that the handed-over work queues with dispatch_async() are not
// waited for.
//
// Returns when the clock stands at the new time and the last handed-over item has finished.
void AdvanceVirtualTime(std::chrono::nanoseconds delta);

// How long an idle worker thread waits for work before it ends (default 5 s).
void SetWorkerIdleTimeout(std::chrono::nanoseconds timeout);
// Worker threads alive now (busy or idle).
int WorkerThreadCount();

}  // namespace platform::dispatch

#endif  // PLATFORM_DISPATCH_DISPATCH_H_
