// Timer sources.
//
// A source runs its handlers on a serial queue of its own that targets the queue it was created
// with; that queue starts suspended, which is the source's "not yet resumed" state, and later
// suspensions of the source suspend it. A started timer has one entry on the timeline at a time,
// which holds the source; each firing schedules the next one. A generation number tells a firing
// that was already taken off the timeline when the timer was set again to do nothing.

#include <memory>
#include <mutex>
#include <utility>

#include "base/logging.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/queue_internal.h"
#include "platform/dispatch/timeline.h"

struct dispatch_source_type_s {
  const char* name;
};

namespace platform::dispatch::internal {
const dispatch_source_type_s kTimerSourceType = {"timer"};
}  // namespace platform::dispatch::internal

using platform::dispatch::internal::Completion;
using platform::dispatch::internal::Enqueue;
using platform::dispatch::internal::Timeline;

struct dispatch_source_s {
  explicit dispatch_source_s(dispatch_queue_t handler_queue) : queue(std::move(handler_queue)) {}

  const dispatch_queue_t queue;  // serial; runs the handlers

  std::mutex mu;
  dispatch_block_t event_handler;
  dispatch_block_t cancel_handler;
  dispatch_time_t start = DISPATCH_TIME_FOREVER;
  uint64_t interval = 0;  // 0: one-shot
  uint64_t leeway = 0;
  bool activated = false;
  bool cancelled = false;
  bool armed = false;  // `key` is on the timeline
  Timeline::Key key;
  uint64_t generation = 0;
  unsigned long pending_firings = 0;  // not yet handed to a handler run
  bool event_queued = false;          // a handler run is queued and has not started
  unsigned long data = 0;             // firings of the current handler run
};

namespace {

// `when` + `span`, or DISPATCH_TIME_FOREVER when that is beyond the clock.
dispatch_time_t Later(dispatch_time_t when, uint64_t span) {
  return span >= DISPATCH_TIME_FOREVER - when ? DISPATCH_TIME_FOREVER : when + span;
}

std::shared_ptr<Completion> Fire(const dispatch_source_t& source, uint64_t generation,
                                 dispatch_time_t due, bool virtual_clock);

// Puts the timer on the timeline at `due`. Called with the source's lock held.
void ArmLocked(const dispatch_source_t& source, dispatch_time_t due) {
  const uint64_t generation = source->generation;
  source->key = Timeline::Get().Schedule(due, [source, generation, due](bool virtual_clock) {
    return Fire(source, generation, due, virtual_clock);
  });
  source->armed = true;
}

// Takes the timer off the timeline and, when it is started, puts it back at its start time.
// Called with the source's lock held.
void RearmLocked(const dispatch_source_t& source) {
  if (source->armed) Timeline::Get().Cancel(source->key);
  source->armed = false;
  ++source->generation;
  if (source->activated && !source->cancelled && source->start != DISPATCH_TIME_FOREVER) {
    ArmLocked(source, source->start);
  }
}

// Runs the event handler once for the firings gathered so far.
void RunEventHandler(const dispatch_source_t& source) {
  dispatch_block_t handler;
  {
    std::lock_guard<std::mutex> lock(source->mu);
    source->event_queued = false;
    if (source->cancelled) return;
    source->data = source->pending_firings;
    source->pending_firings = 0;
    handler = source->event_handler;
  }
  if (handler) handler();
}

// Runs the cancel handler, then lets go of both handlers (and of what they hold).
void RunCancelHandler(const dispatch_source_t& source) {
  dispatch_block_t on_cancel;
  dispatch_block_t on_event;
  {
    std::lock_guard<std::mutex> lock(source->mu);
    on_cancel.swap(source->cancel_handler);
    on_event.swap(source->event_handler);
  }
  if (on_cancel) on_cancel();
}

std::shared_ptr<Completion> Fire(const dispatch_source_t& source, uint64_t generation,
                                 dispatch_time_t due, bool virtual_clock) {
  {
    std::lock_guard<std::mutex> lock(source->mu);
    if (source->cancelled || generation != source->generation) return nullptr;
    source->armed = false;
    unsigned long firings = 1;
    if (source->interval != 0) {
      dispatch_time_t next = Later(due, source->interval);
      if (!virtual_clock) {
        // Behind the clock (a busy machine): the missed firings count into this one.
        const dispatch_time_t now = platform::dispatch::internal::MonotonicNow();
        if (next <= now && next != DISPATCH_TIME_FOREVER) {
          const uint64_t missed = (now - next) / source->interval + 1;
          firings += missed;
          next = Later(next, missed * source->interval);
        }
      }
      if (next != DISPATCH_TIME_FOREVER) ArmLocked(source, next);
    }
    source->pending_firings += firings;
    if (source->event_queued) return nullptr;  // the queued run takes these firings too
    source->event_queued = true;
  }
  std::shared_ptr<Completion> done;
  if (virtual_clock && !platform::dispatch::internal::IsSuspendedAlongChain(source->queue)) {
    done = std::make_shared<Completion>();
  }
  Enqueue(source->queue, {[source, done] {
                            RunEventHandler(source);
                            if (done) done->Set();
                          },
                          true});
  return done;
}

}  // namespace

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         unsigned long mask, const dispatch_queue_t& queue) {
  if (type != DISPATCH_SOURCE_TYPE_TIMER) return nullptr;
  const dispatch_queue_t target =
      queue != nullptr ? queue : dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0);
  return std::make_shared<dispatch_source_s>(platform::dispatch::internal::NewSourceQueue(target));
}

void dispatch_source_set_timer(const dispatch_source_t& source, dispatch_time_t start,
                               uint64_t interval, uint64_t leeway) {
  CHECK(source != nullptr) << "dispatch_source_set_timer: null source";
  if (start == DISPATCH_TIME_NOW) start = dispatch_time(DISPATCH_TIME_NOW, 0);
  std::lock_guard<std::mutex> lock(source->mu);
  source->start = start;
  source->interval = interval == DISPATCH_TIME_FOREVER ? 0 : interval;
  source->leeway = leeway;
  RearmLocked(source);
}

void dispatch_source_set_event_handler(const dispatch_source_t& source, dispatch_block_t handler) {
  CHECK(source != nullptr) << "dispatch_source_set_event_handler: null source";
  std::lock_guard<std::mutex> lock(source->mu);
  // The old handler is destroyed after the lock is released: what it holds may use the source.
  std::swap(source->event_handler, handler);
}

void dispatch_source_set_cancel_handler(const dispatch_source_t& source, dispatch_block_t handler) {
  CHECK(source != nullptr) << "dispatch_source_set_cancel_handler: null source";
  std::lock_guard<std::mutex> lock(source->mu);
  std::swap(source->cancel_handler, handler);
}

void dispatch_source_cancel(const dispatch_source_t& source) {
  CHECK(source != nullptr) << "dispatch_source_cancel: null source";
  {
    std::lock_guard<std::mutex> lock(source->mu);
    if (source->cancelled) return;
    source->cancelled = true;
    if (source->armed) Timeline::Get().Cancel(source->key);
    source->armed = false;
  }
  // After any queued event run, which now does nothing.
  Enqueue(source->queue, {[source] { RunCancelHandler(source); }, true});
}

long dispatch_source_testcancel(const dispatch_source_t& source) {
  CHECK(source != nullptr) << "dispatch_source_testcancel: null source";
  std::lock_guard<std::mutex> lock(source->mu);
  return source->cancelled ? 1 : 0;
}

unsigned long dispatch_source_get_data(const dispatch_source_t& source) {
  CHECK(source != nullptr) << "dispatch_source_get_data: null source";
  std::lock_guard<std::mutex> lock(source->mu);
  return source->data;
}

void dispatch_set_target_queue(const dispatch_source_t& object, dispatch_queue_t target) {
  CHECK(object != nullptr) << "dispatch_set_target_queue: null source";
  dispatch_set_target_queue(object->queue, target != nullptr
                                               ? std::move(target)
                                               : dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0));
}

void dispatch_activate(const dispatch_source_t& object) {
  CHECK(object != nullptr) << "dispatch_activate: null source";
  {
    std::lock_guard<std::mutex> lock(object->mu);
    if (object->activated) return;
    object->activated = true;
    RearmLocked(object);
  }
  dispatch_resume(object->queue);
}

void dispatch_resume(const dispatch_source_t& object) {
  CHECK(object != nullptr) << "dispatch_resume: null source";
  {
    std::lock_guard<std::mutex> lock(object->mu);
    if (!object->activated) {
      object->activated = true;
      RearmLocked(object);
    }
  }
  dispatch_resume(object->queue);
}

void dispatch_suspend(const dispatch_source_t& object) {
  CHECK(object != nullptr) << "dispatch_suspend: null source";
  dispatch_suspend(object->queue);
}
