// A stand-in calculator node for the scheduler's and the queues' tests: it answers what the
// test sets, logs every call, and calls back where a real node would call the scheduler.

#ifndef QUILLMERE_GRAPH_SCHEDULER_TEST_NODE_H_
#define QUILLMERE_GRAPH_SCHEDULER_TEST_NODE_H_

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/str_cat.h"
#include "absl/time/clock.h"
#include "absl/time/time.h"
#include "base/status.h"
#include "graph/calculator_node.h"
#include "graph/timestamp.h"

namespace kaldren {
namespace internal {
namespace testing {

// Everything the code under test and its stand-ins did, in order, from any thread.
class EventLog {
 public:
  void Add(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

// Any non-null pointer serves as a context: the stand-in never reads it.
inline CalculatorContext* FakeContext() {
  static char storage;
  return reinterpret_cast<CalculatorContext*>(&storage);
}

class FakeNode : public CalculatorNode {
 public:
  FakeNode(EventLog* log, int id, bool is_source = false, int layer = 0,
           int64_t source_order = 0)
      : log_(log), id_(id), is_source_(is_source), layer_(layer), order_(source_order) {}

  int Id() const override { return id_; }
  std::string DebugName() const override { return absl::StrCat("[node ", id_, "]"); }
  bool IsSource() const override { return is_source_; }
  int SourceLayer() const override { return layer_; }
  Timestamp SourceProcessOrder(const CalculatorContext*) const override {
    return Timestamp(order_);
  }
  bool Closed() const override { return closed_; }
  CalculatorContext* DefaultContext() const override { return FakeContext(); }
  const std::string& ExecutorName() const override { return executor_name_; }

  bool TryToBeginScheduling() override {
    if (in_flight_ >= max_in_flight_) return false;
    ++in_flight_;
    return true;
  }
  absl::Status OpenNode() override {
    log_->Add(absl::StrCat("open ", id_));
    Sleep();
    return open_result_;
  }
  void NodeOpened() override {
    log_->Add(absl::StrCat("opened ", id_));
    if (on_opened_) on_opened_(this);
  }
  void ActivateNode() override {
    log_->Add(absl::StrCat("activate ", id_));
    active_ = true;
  }
  // A source closes itself after `close_after_processes_` invocations, as a real source node
  // does when its calculator returns the stop status.
  absl::Status ProcessNode(CalculatorContext*) override {
    log_->Add(absl::StrCat("process ", id_));
    Sleep();
    if (++processed_ == close_after_processes_) closed_ = true;
    return process_result_;
  }
  absl::Status CloseNode(const absl::Status& graph_status, bool graph_run_ended) override {
    log_->Add(absl::StrCat("close ", id_, graph_status.ok() ? " ok" : " error",
                           graph_run_ended ? " ended" : " running"));
    closed_ = true;
    return close_result_;
  }
  void EndScheduling() override {
    --in_flight_;
    log_->Add(absl::StrCat("end ", id_));
    if (on_end_scheduling_) on_end_scheduling_(this);
  }

  // What the test sets.
  std::string executor_name_;
  int max_in_flight_ = 1;
  int close_after_processes_ = -1;
  absl::Status open_result_;
  absl::Status process_result_;
  absl::Status close_result_;
  absl::Duration sleep_in_calls_;
  std::function<void(FakeNode*)> on_opened_;
  std::function<void(FakeNode*)> on_end_scheduling_;

  // What the test reads (and may set).
  std::atomic<int> in_flight_{0};
  std::atomic<int> processed_{0};
  std::atomic<bool> closed_{false};
  std::atomic<bool> active_{false};

 private:
  void Sleep() {
    if (sleep_in_calls_ > absl::ZeroDuration()) absl::SleepFor(sleep_in_calls_);
  }

  EventLog* log_;
  int id_;
  bool is_source_;
  int layer_;
  int64_t order_;
};

}  // namespace testing
}  // namespace internal
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_SCHEDULER_TEST_NODE_H_
