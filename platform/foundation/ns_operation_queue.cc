#include "platform/foundation/ns_operation_queue.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "base/logging.h"

namespace {

constexpr size_t kMaxThreadNameLength = 15;
thread_local NSOperationQueue* current_queue = nullptr;

void NameThread(pthread_t thread, const std::string& name) {
  pthread_setname_np(thread, name.substr(0, kMaxThreadNameLength).c_str());
}

}  // namespace

// What the queue's thread needs; shared with the thread so that a queue released inside its own
// block can let the thread finish on its own.
struct NSOperationQueue::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::function<void()>> pending;
  NSOperationQueue* owner = nullptr;  // null once the queue object is gone
  std::string name = "NSOperationQueue";
  std::thread thread;
  bool running_block = false;
  bool stopping = false;
  uint64_t added = 0;
  uint64_t finished = 0;

  static void Run(std::shared_ptr<State> state) {
    std::unique_lock<std::mutex> lock(state->mutex);
    while (true) {
      state->changed.wait(lock, [&] { return state->stopping || !state->pending.empty(); });
      if (state->pending.empty()) return;  // stopping and drained
      std::function<void()> block = std::move(state->pending.front());
      state->pending.pop_front();
      state->running_block = true;
      current_queue = state->owner;
      lock.unlock();
      block();
      block = nullptr;  // captured state is released on this thread, before `finished` moves
      lock.lock();
      current_queue = nullptr;
      state->running_block = false;
      ++state->finished;
      state->changed.notify_all();
    }
  }
};

std::shared_ptr<NSOperationQueue> NSOperationQueue::init() {
  return std::make_shared<NSOperationQueue>();
}

NSOperationQueue* NSOperationQueue::currentQueue() { return current_queue; }

NSOperationQueue::NSOperationQueue() : state_(std::make_shared<State>()) { state_->owner = this; }

NSOperationQueue::~NSOperationQueue() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->owner = nullptr;
    state_->stopping = true;
    thread = std::move(state_->thread);
  }
  state_->changed.notify_all();
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    // Released by one of its own blocks: the thread drains the rest and ends by itself.
    current_queue = nullptr;
    thread.detach();
  } else {
    thread.join();
  }
}

void NSOperationQueue::addOperationWithBlock(std::function<void()> block) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->pending.push_back(std::move(block));
  ++state_->added;
  if (!state_->thread.joinable()) {
    state_->thread = std::thread(&State::Run, state_);
    NameThread(state_->thread.native_handle(), state_->name);
  }
  state_->changed.notify_all();
}

void NSOperationQueue::waitUntilAllOperationsAreFinished() {
  CHECK(current_queue != this)
      << "waitUntilAllOperationsAreFinished called from a block of the same queue";
  std::unique_lock<std::mutex> lock(state_->mutex);
  uint64_t target = state_->added;
  state_->changed.wait(lock, [&] { return state_->finished >= target; });
}

std::string NSOperationQueue::name() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->name;
}

void NSOperationQueue::setName(const std::string& name) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->name = name;
  if (state_->thread.joinable()) NameThread(state_->thread.native_handle(), name);
}
