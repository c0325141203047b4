// Queues: creation, targets, async and sync, suspension, the main queue and its run loop.

#include <pthread.h>

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/queue_internal.h"
#include "platform/dispatch/stand_in_hooks.h"
#include "platform/dispatch/worker_pool.h"

namespace platform::dispatch::internal {

const dispatch_queue_attr_s kConcurrentQueueAttr = {true, QOS_CLASS_UNSPECIFIED, 0};

namespace {

using Kind = dispatch_queue_s::Kind;
using Item = dispatch_queue_s::Item;

// Blocks a serial queue runs before it hands its target back for other queues' work.
constexpr int kDrainBatch = 16;

constexpr char kUnlabelledThreadName[] = "dispatch-worker";
constexpr char kMainQueueLabel[] = "com.apple.main-thread";

constexpr std::array<dispatch_qos_class_t, 5> kQosClasses = {
    QOS_CLASS_USER_INTERACTIVE, QOS_CLASS_USER_INITIATED, QOS_CLASS_DEFAULT, QOS_CLASS_UTILITY,
    QOS_CLASS_BACKGROUND};

bool IsQosClass(dispatch_qos_class_t qos) {
  return qos == QOS_CLASS_UNSPECIFIED ||
         std::find(kQosClasses.begin(), kQosClasses.end(), qos) != kQosClasses.end();
}

const char* GlobalQueueLabel(dispatch_qos_class_t qos) {
  switch (qos) {
    case QOS_CLASS_USER_INTERACTIVE: return "com.apple.root.user-interactive-qos";
    case QOS_CLASS_USER_INITIATED: return "com.apple.root.user-initiated-qos";
    case QOS_CLASS_UTILITY: return "com.apple.root.utility-qos";
    case QOS_CLASS_BACKGROUND: return "com.apple.root.background-qos";
    default: return "com.apple.root.default-qos";
  }
}

// The global queue of a quality of service (unspecified: default). Created once, kept forever.
const dispatch_queue_t& GlobalQueue(dispatch_qos_class_t qos) {
  static const auto* const queues = [] {
    auto* made = new std::array<dispatch_queue_t, kQosClasses.size()>;
    for (size_t i = 0; i < kQosClasses.size(); ++i) {
      (*made)[i] = std::make_shared<dispatch_queue_s>(GlobalQueueLabel(kQosClasses[i]),
                                                      Kind::kGlobal, kQosClasses[i], 0, nullptr);
    }
    return made;
  }();
  const auto it = std::find(kQosClasses.begin(), kQosClasses.end(), qos);
  return (*queues)[it != kQosClasses.end() ? it - kQosClasses.begin() : 2];
}

const dispatch_queue_t& MainQueue() {
  static const auto* const queue = new dispatch_queue_t(std::make_shared<dispatch_queue_s>(
      kMainQueueLabel, Kind::kMain, QOS_CLASS_USER_INTERACTIVE, 0, nullptr));
  return *queue;
}

// Wakes the main thread when the main queue gets a block or a waited-for block finishes.
std::condition_variable& MainQueueWork() {
  static auto* const cv = new std::condition_variable;
  return *cv;
}

// What a thread that runs queue items keeps. Held through a plain pointer and freed by a pthread
// key's destructor: a thread_local with a destructor would register it with the C library on the
// thread's first item, which takes the dynamic loader's lock, so a worker would wait on a dlopen()
// whose static initialisers wait on that worker.
struct ThreadState {
  // The queues whose items the thread is running, innermost last.
  std::vector<dispatch_queue_s*> running_queues;
  // The name the thread was last given.
  std::string thread_name;
};

pthread_key_t ThreadStateKey() {
  static const pthread_key_t key = [] {
    pthread_key_t k;
    pthread_key_create(&k, [](void* state) { delete static_cast<ThreadState*>(state); });
    return k;
  }();
  return key;
}

ThreadState& ThisThread() {
  thread_local ThreadState* state = nullptr;
  if (state == nullptr) {
    state = new ThreadState;
    pthread_setspecific(ThreadStateKey(), state);
  }
  return *state;
}

class Frame {
 public:
  explicit Frame(dispatch_queue_s* queue) { ThisThread().running_queues.push_back(queue); }
  ~Frame() { ThisThread().running_queues.pop_back(); }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
};

// Frames of queues that another thread holds on this thread's behalf, outermost first.
class BorrowedFrames {
 public:
  explicit BorrowedFrames(const std::vector<dispatch_queue_s*>& queues) : count_(queues.size()) {
    auto& running = ThisThread().running_queues;
    running.insert(running.end(), queues.begin(), queues.end());
  }
  ~BorrowedFrames() {
    auto& running = ThisThread().running_queues;
    running.resize(running.size() - count_);
  }
  BorrowedFrames(const BorrowedFrames&) = delete;
  BorrowedFrames& operator=(const BorrowedFrames&) = delete;

 private:
  const size_t count_;
};

}  // namespace

// A dispatch_sync() caller's turn on a queue. The thread whose work reaches the caller's item
// holds the queue (and its serial targets) at that point: it lends the caller the queues it holds
// and waits until the caller has run its block on its own thread and returned them.
class SyncTurn {
 public:
  // The thread that reached the item.
  void Lend(const std::vector<dispatch_queue_s*>& held) {
    std::unique_lock<std::mutex> lock(mu_);
    held_ = held;
    lent_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return returned_; });
  }
  // The caller: waits for its turn and answers the queues it may now act for.
  std::vector<dispatch_queue_s*> Borrow() {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [this] { return lent_; });
    return held_;
  }
  void Return() {
    std::lock_guard<std::mutex> lock(mu_);
    returned_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<dispatch_queue_s*> held_;
  bool lent_ = false;
  bool returned_ = false;
};

namespace {

void NameThreadAfter(const dispatch_queue_s& queue) {
  if (IsMainThread()) return;
  const std::string& name = queue.thread_name.empty() ? kUnlabelledThreadName : queue.thread_name;
  std::string& current = ThisThread().thread_name;
  if (name == current) return;
  current = name;
  pthread_setname_np(pthread_self(), name.c_str());
}

void RunItem(dispatch_queue_s* queue, const Item& item) {
  Frame frame(queue);
  if (item.turn != nullptr) {
    item.turn->Lend(ThisThread().running_queues);
    return;
  }
  if (item.from_caller) NameThreadAfter(*queue);
  item.block();
}

bool IsHeldByThisThread(const dispatch_queue_s* queue) {
  if (queue->kind == Kind::kMain && IsMainThread()) return true;
  const auto& running = ThisThread().running_queues;
  return std::find(running.begin(), running.end(), queue) != running.end();
}

dispatch_queue_t TargetOf(const dispatch_queue_t& queue) {
  std::lock_guard<std::mutex> lock(queue->mu);
  return queue->target;
}

void Drain(const dispatch_queue_t& queue);

// Hands a drain of `queue` to `target`; the drain keeps the queue alive.
void HandOverDrain(const dispatch_queue_t& queue, const dispatch_queue_t& target) {
  Enqueue(target, Item{[queue] { Drain(queue); }, false});
}

void Drain(const dispatch_queue_t& queue) {
  for (int run = 0;; ++run) {
    Item item;
    dispatch_queue_t target;
    {
      std::lock_guard<std::mutex> lock(queue->mu);
      if (queue->suspend_count > 0 || queue->items.empty()) {
        queue->drain_handed_over = false;
        return;
      }
      if (run == kDrainBatch) {
        target = queue->target;
      } else {
        item = std::move(queue->items.front());
        queue->items.pop_front();
      }
    }
    if (target != nullptr) {
      HandOverDrain(queue, target);
      return;
    }
    RunItem(queue.get(), item);
  }
}

// A serial queue with no work and no drain is taken over by a dispatch_sync() caller, which then
// acts as its drain: blocks queued meanwhile wait for ReleaseClaim().
bool TryClaimIdle(const dispatch_queue_t& queue) {
  std::lock_guard<std::mutex> lock(queue->mu);
  if (queue->suspend_count > 0 || queue->drain_handed_over || !queue->items.empty()) return false;
  queue->drain_handed_over = true;
  return true;
}

void ReleaseClaim(const dispatch_queue_t& queue) {
  dispatch_queue_t target;
  {
    std::lock_guard<std::mutex> lock(queue->mu);
    if (queue->suspend_count > 0 || queue->items.empty()) {
      queue->drain_handed_over = false;
      return;
    }
    target = queue->target;
  }
  HandOverDrain(queue, target);
}

std::string CutToThreadName(const std::string& label) { return label.substr(0, 15); }

}  // namespace

void Enqueue(const dispatch_queue_t& queue, Item item) {
  CHECK(queue != nullptr) << "dispatch: null queue";
  switch (queue->kind) {
    case Kind::kGlobal: {
      WorkerPool::Get().Submit([queue, item = std::move(item)] { RunItem(queue.get(), item); });
      return;
    }
    case Kind::kMain: {
      {
        std::lock_guard<std::mutex> lock(queue->mu);
        queue->items.push_back(std::move(item));
      }
      MainQueueWork().notify_all();
      return;
    }
    case Kind::kSerial: {
      dispatch_queue_t target;
      {
        std::lock_guard<std::mutex> lock(queue->mu);
        queue->items.push_back(std::move(item));
        if (queue->drain_handed_over || queue->suspend_count > 0) return;
        queue->drain_handed_over = true;
        target = queue->target;
      }
      HandOverDrain(queue, target);
      return;
    }
    case Kind::kConcurrent: {
      dispatch_queue_t target;
      {
        std::lock_guard<std::mutex> lock(queue->mu);
        if (queue->suspend_count > 0) {
          queue->items.push_back(std::move(item));
          return;
        }
        target = queue->target;
      }
      Enqueue(target, Item{[queue, item = std::move(item)] { RunItem(queue.get(), item); }, false});
      return;
    }
  }
}

dispatch_queue_t NewSourceQueue(const dispatch_queue_t& target) {
  auto queue = std::make_shared<dispatch_queue_s>(target->label, Kind::kSerial, target->qos,
                                                  target->relative_priority, target);
  queue->suspend_count = 1;
  return queue;
}

bool IsSuspendedAlongChain(const dispatch_queue_t& queue) {
  for (dispatch_queue_t q = queue; q != nullptr; q = TargetOf(q)) {
    std::lock_guard<std::mutex> lock(q->mu);
    if (q->suspend_count > 0) return true;
  }
  return false;
}

void Completion::Set() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    done_.store(true, std::memory_order_release);
  }
  cv_.notify_all();
  WakeMainQueueWaiters();
}

void Completion::Wait(bool run_main_queue) {
  if (run_main_queue && IsMainThread()) {
    while (!IsSet()) {
      if (!RunOneMainQueueBlock()) {
        WaitForMainQueueWork([this] { return IsSet(); },
                             std::chrono::steady_clock::time_point::max());
      }
    }
    return;
  }
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return IsSet(); });
}

bool RunOneMainQueueBlock() {
  CHECK(IsMainThread()) << "dispatch: the main queue runs only on the main thread";
  const dispatch_queue_t& main = MainQueue();
  Item item;
  {
    std::lock_guard<std::mutex> lock(main->mu);
    if (main->items.empty() || main->suspend_count > 0) return false;
    item = std::move(main->items.front());
    main->items.pop_front();
  }
  RunItem(main.get(), item);
  return true;
}

void WaitForMainQueueWork(const std::function<bool()>& ready,
                          std::chrono::steady_clock::time_point deadline) {
  const dispatch_queue_t& main = MainQueue();
  std::unique_lock<std::mutex> lock(main->mu);
  WaitUntil(MainQueueWork(), lock, deadline,
            [&] { return (!main->items.empty() && main->suspend_count == 0) || ready(); });
}

void WakeMainQueueWaiters() {
  // Taking the lock orders this wake-up after a waiter's look at `ready`.
  { std::lock_guard<std::mutex> lock(MainQueue()->mu); }
  MainQueueWork().notify_all();
}

}  // namespace platform::dispatch::internal

using platform::dispatch::internal::Completion;
using platform::dispatch::internal::Enqueue;
using platform::dispatch::internal::GlobalQueue;
using platform::dispatch::internal::IsHeldByThisThread;
using platform::dispatch::internal::IsQosClass;
using platform::dispatch::internal::MainQueue;
using platform::dispatch::internal::ThisThread;
using platform::dispatch::internal::TargetOf;

dispatch_queue_s::dispatch_queue_s(std::string label, Kind kind, dispatch_qos_class_t qos,
                                   int relative_priority, dispatch_queue_t target)
    : label(std::move(label)),
      thread_name(platform::dispatch::internal::CutToThreadName(this->label)),
      kind(kind),
      qos(qos),
      relative_priority(relative_priority),
      target(std::move(target)) {}

dispatch_queue_attr_t dispatch_queue_attr_make_with_qos_class(dispatch_queue_attr_t attr,
                                                              dispatch_qos_class_t qos_class,
                                                              int relative_priority) {
  if (!IsQosClass(qos_class)) return nullptr;
  // Every combination exists once, so an attribute is a plain pointer that needs no owner.
  constexpr int kPriorities = 16;  // -15 .. 0
  static const auto* const table = [] {
    auto* made = new std::vector<dispatch_queue_attr_s>;
    for (int concurrent = 0; concurrent < 2; ++concurrent) {
      for (dispatch_qos_class_t qos :
           {QOS_CLASS_UNSPECIFIED, QOS_CLASS_USER_INTERACTIVE, QOS_CLASS_USER_INITIATED,
            QOS_CLASS_DEFAULT, QOS_CLASS_UTILITY, QOS_CLASS_BACKGROUND}) {
        for (int p = 0; p < kPriorities; ++p) made->push_back({concurrent == 1, qos, -p});
      }
    }
    return made;
  }();
  const bool concurrent = attr != nullptr && attr->concurrent;
  const int priority = std::clamp(relative_priority, 1 - kPriorities, 0);
  for (const dispatch_queue_attr_s& entry : *table) {
    if (entry.concurrent == concurrent && entry.qos == qos_class &&
        entry.relative_priority == priority) {
      return &entry;
    }
  }
  return nullptr;
}

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr) {
  const bool concurrent = attr != nullptr && attr->concurrent;
  const dispatch_qos_class_t qos = attr != nullptr ? attr->qos : QOS_CLASS_UNSPECIFIED;
  const int priority = attr != nullptr ? attr->relative_priority : 0;
  return std::make_shared<dispatch_queue_s>(
      label != nullptr ? label : "",
      concurrent ? dispatch_queue_s::Kind::kConcurrent : dispatch_queue_s::Kind::kSerial, qos,
      priority, GlobalQueue(qos));
}

dispatch_queue_t dispatch_get_main_queue() { return MainQueue(); }

dispatch_queue_t dispatch_get_global_queue(long identifier, unsigned long flags) {
  if (flags != 0) return nullptr;
  switch (identifier) {
    case DISPATCH_QUEUE_PRIORITY_HIGH: return GlobalQueue(QOS_CLASS_USER_INITIATED);
    case DISPATCH_QUEUE_PRIORITY_DEFAULT: return GlobalQueue(QOS_CLASS_DEFAULT);
    case DISPATCH_QUEUE_PRIORITY_LOW: return GlobalQueue(QOS_CLASS_UTILITY);
    case DISPATCH_QUEUE_PRIORITY_BACKGROUND: return GlobalQueue(QOS_CLASS_BACKGROUND);
    default: break;
  }
  const auto qos = static_cast<dispatch_qos_class_t>(identifier);
  if (identifier < 0 || qos == QOS_CLASS_UNSPECIFIED || !IsQosClass(qos)) return nullptr;
  return GlobalQueue(qos);
}

const char* dispatch_queue_get_label(const dispatch_queue_t& queue) {
  if (queue != nullptr) return queue->label.c_str();
  const auto& running = ThisThread().running_queues;
  if (!running.empty()) return running.back()->label.c_str();
  if (IsMainThread()) return MainQueue()->label.c_str();
  return nullptr;
}

namespace platform::dispatch {

dispatch_queue_t CurrentQueue() {
  const auto& running = ThisThread().running_queues;
  if (!running.empty()) return running.back()->shared_from_this();
  if (IsMainThread()) return MainQueue();
  return nullptr;
}

}  // namespace platform::dispatch

dispatch_qos_class_t dispatch_queue_get_qos_class(const dispatch_queue_t& queue,
                                                  int* relative_priority) {
  if (relative_priority != nullptr) *relative_priority = queue->relative_priority;
  return queue->qos;
}

void dispatch_set_target_queue(const dispatch_queue_t& object, dispatch_queue_t target) {
  using Kind = dispatch_queue_s::Kind;
  CHECK(object != nullptr) << "dispatch_set_target_queue: null queue";
  if (object->kind == Kind::kGlobal || object->kind == Kind::kMain) return;
  if (target == nullptr) target = GlobalQueue(object->qos);
  for (dispatch_queue_t q = target; q != nullptr; q = TargetOf(q)) {
    CHECK(q != object) << "dispatch_set_target_queue: queue \"" << object->label
                       << "\" would target itself through \"" << target->label << "\"";
  }
  std::lock_guard<std::mutex> lock(object->mu);
  object->target = std::move(target);
}

void dispatch_async(const dispatch_queue_t& queue, dispatch_block_t block) {
  Enqueue(queue, {std::move(block), true});
}

void dispatch_sync(const dispatch_queue_t& queue, const dispatch_block_t& block) {
  using Kind = dispatch_queue_s::Kind;
  using platform::dispatch::internal::BorrowedFrames;
  using platform::dispatch::internal::SyncTurn;
  CHECK(queue != nullptr) << "dispatch_sync: null queue";
  std::vector<dispatch_queue_t> chain;  // the queue, then its targets
  for (dispatch_queue_t q = queue; q != nullptr; q = TargetOf(q)) chain.push_back(q);
  bool through_main = false;
  bool concurrent_above = true;  // every target of the queue is concurrent
  for (const dispatch_queue_t& q : chain) {
    CHECK(!(q->IsSerial() && IsHeldByThisThread(q.get())))
        << "dispatch_sync on queue \"" << queue->label << "\" from a block running on "
        << (q == queue ? std::string("that queue") : "its target queue \"" + q->label + "\"")
        << " would deadlock";
    through_main |= q->kind == Kind::kMain;
    if (q != queue) concurrent_above &= q->kind == Kind::kConcurrent || q->kind == Kind::kGlobal;
  }

  if (through_main) {
    // Main-queue work runs on the main thread only.
    auto done = std::make_shared<Completion>();
    Enqueue(queue, {[&block, done] {
                      block();
                      done->Set();
                    },
                    true});
    done->Wait(/*run_main_queue=*/false);
    return;
  }

  // Everywhere else the block runs on the calling thread, as the queue's work. With only
  // concurrent queues above it, a concurrent queue is free at once and an idle serial queue can be
  // taken over directly; otherwise the caller waits for its turn.
  const bool free_above =
      concurrent_above &&
      (chain.size() == 1 || !platform::dispatch::internal::IsSuspendedAlongChain(chain[1]));
  bool claimed_serial = false;
  bool inline_now = false;
  if (free_above) {
    if (queue->IsSerial()) {
      claimed_serial = platform::dispatch::internal::TryClaimIdle(queue);
      inline_now = claimed_serial;
    } else {
      inline_now = !platform::dispatch::internal::IsSuspendedAlongChain(queue);
    }
  }
  std::vector<dispatch_queue_s*> held;
  std::shared_ptr<SyncTurn> turn;
  if (inline_now) {
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) held.push_back(it->get());
  } else {
    turn = std::make_shared<SyncTurn>();
    Enqueue(queue, {nullptr, false, turn});
    held = turn->Borrow();
  }
  {
    BorrowedFrames frames(held);
    block();
  }
  if (turn != nullptr) turn->Return();
  if (claimed_serial) platform::dispatch::internal::ReleaseClaim(queue);
}

void dispatch_suspend(const dispatch_queue_t& object) {
  CHECK(object != nullptr) << "dispatch_suspend: null queue";
  if (object->kind == dispatch_queue_s::Kind::kGlobal) return;
  std::lock_guard<std::mutex> lock(object->mu);
  ++object->suspend_count;
}

void dispatch_resume(const dispatch_queue_t& object) {
  using Kind = dispatch_queue_s::Kind;
  using Item = dispatch_queue_s::Item;
  CHECK(object != nullptr) << "dispatch_resume: null queue";
  if (object->kind == Kind::kGlobal) return;
  std::deque<Item> held;  // concurrent queues: blocks held while suspended
  dispatch_queue_t target;
  {
    std::lock_guard<std::mutex> lock(object->mu);
    CHECK(object->suspend_count > 0)
        << "dispatch_resume: queue \"" << object->label << "\" resumed more often than suspended";
    if (--object->suspend_count > 0 || object->items.empty()) return;
    target = object->target;
    switch (object->kind) {
      case Kind::kConcurrent: held.swap(object->items); break;
      case Kind::kSerial:
        if (object->drain_handed_over) return;
        object->drain_handed_over = true;
        break;
      default: break;
    }
  }
  if (object->kind == Kind::kMain) {
    platform::dispatch::internal::WakeMainQueueWaiters();
  } else if (object->kind == Kind::kSerial) {
    platform::dispatch::internal::HandOverDrain(object, target);
  } else {
    for (Item& item : held) {
      Enqueue(object, std::move(item));
    }
  }
}

namespace platform::dispatch {

void RunUntilIdle() {
  while (internal::RunOneMainQueueBlock()) {
  }
}

bool RunMainLoopUntil(const std::function<bool()>& done, std::chrono::nanoseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline =
      timeout >= Clock::time_point::max() - start ? Clock::time_point::max() : start + timeout;
  constexpr auto kPollInterval = std::chrono::milliseconds(10);
  for (;;) {
    if (done()) return true;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    if (!internal::RunOneMainQueueBlock()) {
      internal::WaitForMainQueueWork([] { return false; }, std::min(deadline, now + kPollInterval));
    }
  }
}

}  // namespace platform::dispatch
