// The clock, work due at a time, dispatch_after() and virtual time.

#include "platform/dispatch/timeline.h"

#include <pthread.h>

#include <algorithm>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>

#include "base/logging.h"
#include "platform/dispatch/stand_in_hooks.h"

namespace platform::dispatch::internal {

namespace {

// Where the virtual clock starts: not 0, which would read as DISPATCH_TIME_NOW.
constexpr dispatch_time_t kVirtualClockStart = NSEC_PER_SEC;

// `when` + `delta`, kept within 1 .. DISPATCH_TIME_FOREVER.
dispatch_time_t AddSaturating(dispatch_time_t when, int64_t delta) {
  if (delta >= 0) {
    const auto d = static_cast<uint64_t>(delta);
    return d >= DISPATCH_TIME_FOREVER - when ? DISPATCH_TIME_FOREVER : when + d;
  }
  const uint64_t d = 0 - static_cast<uint64_t>(delta);
  return d >= when ? 1 : when - d;
}

}  // namespace

dispatch_time_t MonotonicNow() {
  return static_cast<dispatch_time_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::chrono::steady_clock::time_point RealDeadline(dispatch_time_t when) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  if (when == DISPATCH_TIME_FOREVER) return Clock::time_point::max();
  const dispatch_time_t clock_now = Timeline::Get().Now();
  if (when == DISPATCH_TIME_NOW || when <= clock_now) return now;
  const uint64_t span = when - clock_now;
  const auto room = static_cast<uint64_t>((Clock::time_point::max() - now).count());
  return span >= room ? Clock::time_point::max() : now + std::chrono::nanoseconds(span);
}

Timeline& Timeline::Get() {
  // Never destroyed: the timer thread uses it until the process ends.
  static Timeline* const timeline = new Timeline;
  return *timeline;
}

dispatch_time_t Timeline::Now() const {
  return IsVirtual() ? virtual_now_.load(std::memory_order_acquire) : MonotonicNow();
}

Timeline::Key Timeline::Schedule(dispatch_time_t when, Fire fire) {
  bool start_thread = false;
  bool wake_timer_thread = false;
  Key key;
  {
    std::lock_guard<std::mutex> lock(mu_);
    key = {when, next_sequence_++, IsVirtual()};
    Entries& entries = key.virtual_clock ? virtual_ : real_;
    const auto it = entries.emplace(std::make_pair(when, key.sequence), std::move(fire)).first;
    if (!key.virtual_clock) {
      wake_timer_thread = it == entries.begin();
      if (!timer_thread_started_) start_thread = timer_thread_started_ = true;
    }
  }
  if (start_thread) {
    std::thread([this] {
      pthread_setname_np(pthread_self(), "dispatch-timer");
      TimerThreadMain();
    }).detach();
  } else if (wake_timer_thread) {
    real_changed_.notify_all();
  }
  return key;
}

bool Timeline::Cancel(const Key& key) {
  std::lock_guard<std::mutex> lock(mu_);
  return (key.virtual_clock ? virtual_ : real_).erase({key.when, key.sequence}) > 0;
}

void Timeline::TimerThreadMain() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    if (real_.empty()) {
      real_changed_.wait(lock);
      continue;
    }
    const auto first = real_.begin();
    const dispatch_time_t when = first->first.first;
    if (when > MonotonicNow()) {
      real_changed_.wait_until(
          lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(when)));
      continue;
    }
    Fire fire = std::move(first->second);
    real_.erase(first);
    lock.unlock();
    fire(/*virtual_clock=*/false);
    fire = nullptr;  // release what the work holds outside the lock
    lock.lock();
  }
}

void Timeline::UseVirtualTime(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  if (on && virtual_now_.load(std::memory_order_relaxed) == 0) {
    virtual_now_.store(kVirtualClockStart, std::memory_order_release);
  }
  virtual_on_.store(on, std::memory_order_release);
}

void Timeline::AdvanceVirtualTime(std::chrono::nanoseconds delta) {
  CHECK(delta.count() >= 0) << "AdvanceVirtualTime: negative step";
  dispatch_time_t target;
  {
    std::lock_guard<std::mutex> lock(mu_);
    CHECK(IsVirtual()) << "AdvanceVirtualTime: virtual time is off";
    CHECK(!advancing_) << "AdvanceVirtualTime called while it runs";
    advancing_ = true;
    target = AddSaturating(virtual_now_.load(std::memory_order_relaxed), delta.count());
  }
  for (;;) {
    Fire fire;
    dispatch_time_t moved_to;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const dispatch_time_t now = virtual_now_.load(std::memory_order_relaxed);
      if (virtual_.empty() || virtual_.begin()->first.first > target) {
        moved_to = std::max(now, target);
        virtual_now_.store(moved_to, std::memory_order_release);
      } else {
        const auto first = virtual_.begin();
        moved_to = std::max(now, first->first.first);
        virtual_now_.store(moved_to, std::memory_order_release);
        fire = std::move(first->second);
        virtual_.erase(first);
      }
    }
    // Observers see every time the clock stops at, before the work due then. Work that they
    // schedule for the span is still handed over in it.
    NotifyVirtualClockObservers(moved_to);
    if (fire == nullptr) {
      std::lock_guard<std::mutex> lock(mu_);
      if (virtual_.empty() || virtual_.begin()->first.first > target) {
        advancing_ = false;
        return;
      }
      continue;
    }
    if (std::shared_ptr<Completion> done = fire(/*virtual_clock=*/true)) {
      done->Wait(/*run_main_queue=*/true);
    }
  }
}

}  // namespace platform::dispatch::internal

using platform::dispatch::internal::Completion;
using platform::dispatch::internal::Timeline;

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
  if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
  if (when == DISPATCH_TIME_NOW) when = Timeline::Get().Now();
  return platform::dispatch::internal::AddSaturating(when, delta);
}

dispatch_time_t dispatch_walltime(const struct timespec* when, int64_t delta) {
  if (when == nullptr) return dispatch_time(DISPATCH_TIME_NOW, delta);
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t from_now = (static_cast<int64_t>(when->tv_sec) - now.tv_sec) * 1000000000 +
                           (static_cast<int64_t>(when->tv_nsec) - now.tv_nsec);
  // Two steps, so that neither sum can overflow.
  return dispatch_time(dispatch_time(DISPATCH_TIME_NOW, from_now), delta);
}

void dispatch_after(dispatch_time_t when, const dispatch_queue_t& queue, dispatch_block_t block) {
  CHECK(queue != nullptr) << "dispatch_after: null queue";
  if (when == DISPATCH_TIME_FOREVER) return;
  Timeline& timeline = Timeline::Get();
  if (when == DISPATCH_TIME_NOW) when = timeline.Now();
  timeline.Schedule(
      when, [queue, block = std::move(block)](bool virtual_clock) -> std::shared_ptr<Completion> {
        if (!virtual_clock) {
          dispatch_async(queue, block);
          return nullptr;
        }
        auto done = std::make_shared<Completion>();
        const bool suspended = platform::dispatch::internal::IsSuspendedAlongChain(queue);
        platform::dispatch::internal::Enqueue(queue, {[block, done] {
                                                        block();
                                                        done->Set();
                                                      },
                                                      true});
        return suspended ? nullptr : done;
      });
}

namespace platform::dispatch {

void UseVirtualTime(bool on) { internal::Timeline::Get().UseVirtualTime(on); }
bool IsVirtualTimeOn() { return internal::Timeline::Get().IsVirtual(); }
void AdvanceVirtualTime(std::chrono::nanoseconds delta) {
  internal::Timeline::Get().AdvanceVirtualTime(delta);
}

}  // namespace platform::dispatch
