#include "graph/stream_handler/in_order_output_stream_handler.h"

#include "base/logging.h"
#include "graph/calculator_context.h"
#include "graph/calculator_context_manager.h"
#include "graph/registration_macros.h"

namespace kaldren {

namespace {

// Releases a held mutex for the scope, and takes it again at its end.
class MutexReleaser {
 public:
  explicit MutexReleaser(std::mutex& mutex) : mutex_(mutex) { mutex_.unlock(); }
  ~MutexReleaser() { mutex_.lock(); }
  MutexReleaser(const MutexReleaser&) = delete;
  MutexReleaser& operator=(const MutexReleaser&) = delete;

 private:
  std::mutex& mutex_;
};

}  // namespace

void InOrderOutputStreamHandler::PropagationLoop() {
  CHECK_EQ(propagation_state_, kIdle);
  Timestamp context_timestamp = Timestamp::Unset();
  if (calculator_context_manager_->HasActiveContexts()) {
    calculator_context_manager_->GetFrontCalculatorContext(&context_timestamp);
    if (completed_input_timestamps_.empty()) return;
    Timestamp completed_timestamp = *completed_input_timestamps_.begin();
    if (context_timestamp != completed_timestamp) {
      // The oldest invocation has not finished; its completion starts the loop again. A
      // completion older than every active context cannot happen.
      CHECK_LT(context_timestamp, completed_timestamp);
      return;
    }
    propagation_state_ = kPropagatingPackets;
  } else {
    propagation_state_ = kPropagatingBound;
  }
  while (propagation_state_ != kIdle) {
    if (propagation_state_ == kPropagatingPackets) {
      PropagatePackets(&context_timestamp);
    } else {
      CHECK_EQ(kPropagatingBound, propagation_state_);
      PropagationBound(&context_timestamp);
    }
  }
}

void InOrderOutputStreamHandler::PropagatePackets(Timestamp* context_timestamp) {
  {
    MutexReleaser releaser(timestamp_mutex_);
    Timestamp front_timestamp;
    CalculatorContext* calculator_context =
        calculator_context_manager_->GetFrontCalculatorContext(&front_timestamp);
    PropagateOutputPackets(*context_timestamp, &calculator_context->Outputs());
    calculator_context_manager_->RecycleCalculatorContext();
  }
  completed_input_timestamps_.erase(completed_input_timestamps_.begin());
  if (!completed_input_timestamps_.empty() ||
      calculator_context_manager_->HasActiveContexts()) {
    calculator_context_manager_->GetFrontCalculatorContext(context_timestamp);
    if (!completed_input_timestamps_.empty() &&
        *completed_input_timestamps_.begin() == *context_timestamp) {
      return;  // The next oldest has completed too: stay in kPropagatingPackets.
    }
    propagation_state_ = kIdle;
  } else if (task_timestamp_bound_ > context_timestamp->NextAllowedInStream()) {
    // Nothing in flight: the bound that waited behind the contexts can go now.
    propagation_state_ = kPropagatingBound;
  } else {
    propagation_state_ = kIdle;
  }
}

void InOrderOutputStreamHandler::PropagationBound(Timestamp* context_timestamp) {
  Timestamp bound_to_propagate = task_timestamp_bound_;
  {
    MutexReleaser releaser(timestamp_mutex_);
    TryPropagateTimestampBound(bound_to_propagate);
  }
  if (propagation_state_ == kPropagatingBound) {
    propagation_state_ = kIdle;
    return;
  }
  CHECK_EQ(propagation_state_, kPropagationPending);
  if (calculator_context_manager_->HasActiveContexts()) {
    calculator_context_manager_->GetFrontCalculatorContext(context_timestamp);
    propagation_state_ = !completed_input_timestamps_.empty() &&
                                 *completed_input_timestamps_.begin() == *context_timestamp
                             ? kPropagatingPackets
                             : kIdle;
  } else {
    // Without contexts in flight the pending event can only be a higher bound.
    CHECK_LT(bound_to_propagate, task_timestamp_bound_);
    propagation_state_ = kPropagatingBound;
  }
}

REGISTER_OUTPUT_STREAM_HANDLER(InOrderOutputStreamHandler);

}  // namespace kaldren
