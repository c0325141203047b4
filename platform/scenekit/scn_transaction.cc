#include "platform/scenekit/scn_transaction.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>

#include "platform/dispatch/stand_in_hooks.h"

namespace {

struct Open {
  double duration = 0.25;
  std::shared_ptr<CAMediaTimingFunction> timing;
  std::function<void()> completion;
};

std::vector<Open>& Stack() {
  thread_local std::vector<Open> stack;
  return stack;
}

std::mutex committed_mu;
std::vector<platform::scenekit::CommittedSCNTransaction>& Committed() {
  static auto* const committed = new std::vector<platform::scenekit::CommittedSCNTransaction>;
  return *committed;
}

}  // namespace

void SCNTransaction::begin() { Stack().push_back(Open{}); }

void SCNTransaction::commit() {
  auto& stack = Stack();
  if (stack.empty()) return;
  Open done = std::move(stack.back());
  stack.pop_back();
  const dispatch_time_t now = dispatch_time(DISPATCH_TIME_NOW, 0);
  {
    std::lock_guard<std::mutex> lock(committed_mu);
    Committed().push_back({done.duration, done.timing ? done.timing->name() : "",
                           done.completion != nullptr, now});
  }
  if (!done.completion) return;
  dispatch_queue_t queue = platform::dispatch::CurrentQueue();
  if (queue == nullptr) queue = dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0);
  dispatch_after(dispatch_time(now, static_cast<int64_t>(std::llround(done.duration * 1e9))),
                 queue, std::move(done.completion));
}

double SCNTransaction::animationDuration() {
  return Stack().empty() ? 0 : Stack().back().duration;
}

void SCNTransaction::setAnimationDuration(double seconds) {
  if (!Stack().empty()) Stack().back().duration = std::max(0.0, seconds);
}

std::shared_ptr<CAMediaTimingFunction> SCNTransaction::animationTimingFunction() {
  return Stack().empty() ? nullptr : Stack().back().timing;
}

void SCNTransaction::setAnimationTimingFunction(std::shared_ptr<CAMediaTimingFunction> function) {
  if (!Stack().empty()) Stack().back().timing = std::move(function);
}

void SCNTransaction::setCompletionBlock(std::function<void()> completion) {
  if (!Stack().empty()) Stack().back().completion = std::move(completion);
}

namespace platform::scenekit {

std::vector<CommittedSCNTransaction> CommittedSCNTransactions() {
  std::lock_guard<std::mutex> lock(committed_mu);
  return Committed();
}

void ClearCommittedSCNTransactions() {
  std::lock_guard<std::mutex> lock(committed_mu);
  Committed().clear();
}

}  // namespace platform::scenekit
