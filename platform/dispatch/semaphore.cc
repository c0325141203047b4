// Counting semaphores and groups.

#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/queue_internal.h"
#include "platform/dispatch/timeline.h"

namespace {

// What a timed wait answers when the time passed first.
constexpr long kTimedOut = 49;

}  // namespace

struct dispatch_semaphore_s {
  std::mutex mu;
  std::condition_variable available;
  long value = 0;
  long waiters = 0;
};

struct dispatch_group_s {
  std::mutex mu;
  std::condition_variable empty;
  long count = 0;
  std::vector<std::pair<dispatch_queue_t, dispatch_block_t>> notify;
};

dispatch_semaphore_t dispatch_semaphore_create(long value) {
  if (value < 0) return nullptr;
  auto semaphore = std::make_shared<dispatch_semaphore_s>();
  semaphore->value = value;
  return semaphore;
}

long dispatch_semaphore_wait(const dispatch_semaphore_t& semaphore, dispatch_time_t timeout) {
  CHECK(semaphore != nullptr) << "dispatch_semaphore_wait: null semaphore";
  const auto deadline = platform::dispatch::internal::RealDeadline(timeout);
  std::unique_lock<std::mutex> lock(semaphore->mu);
  ++semaphore->waiters;
  const bool taken = platform::dispatch::internal::WaitUntil(semaphore->available, lock, deadline,
                                                             [&] { return semaphore->value > 0; });
  --semaphore->waiters;
  if (!taken) return kTimedOut;
  --semaphore->value;
  return 0;
}

long dispatch_semaphore_signal(const dispatch_semaphore_t& caller_semaphore) {
  CHECK(caller_semaphore != nullptr) << "dispatch_semaphore_signal: null semaphore";
  // A reference of our own: the woken thread may drop the last other one before we notify.
  const dispatch_semaphore_t semaphore = caller_semaphore;
  bool wake;
  {
    std::lock_guard<std::mutex> lock(semaphore->mu);
    ++semaphore->value;
    wake = semaphore->waiters > 0;
  }
  if (wake) semaphore->available.notify_one();
  return wake ? 1 : 0;
}

dispatch_group_t dispatch_group_create() { return std::make_shared<dispatch_group_s>(); }

void dispatch_group_enter(const dispatch_group_t& group) {
  CHECK(group != nullptr) << "dispatch_group_enter: null group";
  std::lock_guard<std::mutex> lock(group->mu);
  ++group->count;
}

void dispatch_group_leave(const dispatch_group_t& caller_group) {
  CHECK(caller_group != nullptr) << "dispatch_group_leave: null group";
  // A reference of our own: a waiter may drop the last other one before we notify.
  const dispatch_group_t group = caller_group;
  std::vector<std::pair<dispatch_queue_t, dispatch_block_t>> notify;
  {
    std::lock_guard<std::mutex> lock(group->mu);
    CHECK(group->count > 0) << "dispatch_group_leave: left more often than entered";
    if (--group->count > 0) return;
    notify.swap(group->notify);
  }
  group->empty.notify_all();
  for (auto& [queue, block] : notify) dispatch_async(queue, std::move(block));
}

void dispatch_group_async(const dispatch_group_t& group, const dispatch_queue_t& queue,
                          dispatch_block_t block) {
  dispatch_group_enter(group);
  dispatch_async(queue, [group, block = std::move(block)] {
    block();
    dispatch_group_leave(group);
  });
}

void dispatch_group_notify(const dispatch_group_t& group, const dispatch_queue_t& queue,
                           dispatch_block_t block) {
  CHECK(group != nullptr) << "dispatch_group_notify: null group";
  CHECK(queue != nullptr) << "dispatch_group_notify: null queue";
  {
    std::lock_guard<std::mutex> lock(group->mu);
    if (group->count > 0) {
      group->notify.emplace_back(queue, std::move(block));
      return;
    }
  }
  dispatch_async(queue, std::move(block));
}

long dispatch_group_wait(const dispatch_group_t& group, dispatch_time_t timeout) {
  CHECK(group != nullptr) << "dispatch_group_wait: null group";
  const auto deadline = platform::dispatch::internal::RealDeadline(timeout);
  std::unique_lock<std::mutex> lock(group->mu);
  return platform::dispatch::internal::WaitUntil(group->empty, lock, deadline,
                                                 [&] { return group->count == 0; })
             ? 0
             : kTimedOut;
}
