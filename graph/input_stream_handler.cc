#include "graph/input_stream_handler.h"

#include <utility>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "base/logging.h"
#include "base/status_macros.h"
#include "graph/calculator_context.h"
#include "graph/calculator_context_manager.h"

namespace kaldren {

namespace {

constexpr char kBatchingWithParallel[] = "Batching cannot be combined with parallel execution.";
constexpr char kBatchingWithLatePreparation[] =
    "Batching cannot be combined with late preparation.";
constexpr char kBatchSizeBelowOne[] = "Batch size has to be greater than or equal to 1.";
constexpr char kBatchingOnSource[] = "Source nodes cannot batch input packets.";

}  // namespace

InputStreamHandler::InputStreamHandler(std::shared_ptr<tool::TagMap> tag_map,
                                       CalculatorContextManager* calculator_context_manager,
                                       const pellumo::PellumoOptions& options,
                                       bool calculator_run_in_parallel)
    : input_stream_managers_(std::move(tag_map)),
      calculator_context_manager_(calculator_context_manager),
      options_(options),
      calculator_run_in_parallel_(calculator_run_in_parallel) {}

absl::Status InputStreamHandler::InitializeInputStreamManagers(
    InputStreamManager* flat_input_stream_managers) {
  for (CollectionItemId id = input_stream_managers_.BeginId();
       id < input_stream_managers_.EndId(); ++id) {
    input_stream_managers_.GetPtr(id) = &flat_input_stream_managers[id.Value()];
  }
  return absl::OkStatus();
}

InputStreamManager* InputStreamHandler::GetInputStreamManager(CollectionItemId id) {
  return input_stream_managers_.GetPtr(id);
}

absl::Status InputStreamHandler::SetupInputShards(InputStreamShardSet* input_shards) {
  RET_CHECK(input_shards);
  for (CollectionItemId id = input_stream_managers_.BeginId();
       id < input_stream_managers_.EndId(); ++id) {
    const InputStreamManager& manager = input_stream_managers_.Get(id);
    InputStreamShard& shard = input_shards->Get(id);
    shard.SetName(&manager.Name());
    shard.SetHeader(manager.Header());
  }
  return absl::OkStatus();
}

void InputStreamHandler::UpdateInputShardHeaders(InputStreamShardSet* input_shards) {
  CHECK(input_shards);
  for (CollectionItemId id = input_stream_managers_.BeginId();
       id < input_stream_managers_.EndId(); ++id) {
    input_shards->Get(id).SetHeader(input_stream_managers_.Get(id).Header());
  }
}

std::vector<std::pair<std::string, int>> InputStreamHandler::GetMonitoringInfo() {
  std::vector<std::pair<std::string, int>> info;
  for (CollectionItemId id = input_stream_managers_.BeginId();
       id < input_stream_managers_.EndId(); ++id) {
    const InputStreamManager* manager = input_stream_managers_.GetPtr(id);
    if (manager == nullptr) continue;
    info.emplace_back(manager->Name(), manager->QueueSize());
  }
  return info;
}

void InputStreamHandler::SetQueueSizeCallbacks(
    InputStreamManager::QueueSizeCallback becomes_full_callback,
    InputStreamManager::QueueSizeCallback becomes_not_full_callback) {
  for (InputStreamManager& manager : input_stream_managers_) {
    manager.SetQueueSizeCallbacks(becomes_full_callback, becomes_not_full_callback);
  }
}

void InputStreamHandler::SetMaxQueueSize(int max_queue_size) {
  for (InputStreamManager& manager : input_stream_managers_) {
    manager.SetMaxQueueSize(max_queue_size);
  }
}

void InputStreamHandler::SetMaxQueueSize(CollectionItemId id, int max_queue_size) {
  input_stream_managers_.Get(id).SetMaxQueueSize(max_queue_size);
}

void InputStreamHandler::PrepareForRun(
    std::function<void()> headers_ready_callback, std::function<void()> notification_callback,
    std::function<void(CalculatorContext*)> schedule_callback,
    std::function<void(absl::Status)> error_callback) {
  headers_ready_callback_ = std::move(headers_ready_callback);
  notification_callback_ = std::move(notification_callback);
  schedule_callback_ = std::move(schedule_callback);
  error_callback_ = std::move(error_callback);
  int unset_header_count = 0;
  for (InputStreamManager& manager : input_stream_managers_) {
    if (!manager.BackEdge()) ++unset_header_count;
    manager.PrepareForRun();
  }
  unset_header_count_.store(unset_header_count);
  prepared_context_for_close_ = false;
}

void InputStreamHandler::SetHeader(CollectionItemId id, const Packet& header) {
  InputStreamManager& manager = input_stream_managers_.Get(id);
  absl::Status status = manager.SetHeader(header);
  if (!status.ok()) {
    error_callback_(std::move(status));
    return;
  }
  if (manager.BackEdge()) return;
  CHECK(unset_header_count_ > 0);
  // Exactly one caller takes the count from 1 to 0.
  if (unset_header_count_.fetch_sub(1) == 1) headers_ready_callback_();
}

void InputStreamHandler::AddPackets(CollectionItemId id, const std::list<Packet>& packets) {
  bool notify = false;
  absl::Status status = input_stream_managers_.Get(id).AddPackets(packets, &notify);
  if (!status.ok()) error_callback_(std::move(status));
  if (notify) notification_callback_();
}

void InputStreamHandler::MovePackets(CollectionItemId id, std::list<Packet>* packets) {
  bool notify = false;
  absl::Status status = input_stream_managers_.Get(id).MovePackets(packets, &notify);
  if (!status.ok()) error_callback_(std::move(status));
  if (notify) notification_callback_();
}

void InputStreamHandler::SetNextTimestampBound(CollectionItemId id, Timestamp bound) {
  bool notify = false;
  absl::Status status = input_stream_managers_.Get(id).SetNextTimestampBound(bound, &notify);
  if (!status.ok()) error_callback_(std::move(status));
  if (notify) notification_callback_();
}

bool InputStreamHandler::ScheduleInvocations(int max_allowance, Timestamp* input_bound) {
  *input_bound = Timestamp::Unset();
  Timestamp min_stream_timestamp = Timestamp::Done();
  if (input_stream_managers_.NumEntries() == 0) {
    // A source node: every call runs it once more.
    schedule_callback_(calculator_context_manager_->GetDefaultCalculatorContext());
    return true;
  }
  int invocations_scheduled = 0;
  while (invocations_scheduled < max_allowance) {
    NodeReadiness node_readiness = GetNodeReadiness(&min_stream_timestamp);
    if (node_readiness == NodeReadiness::kNotReady) {
      CalculatorContext* default_context =
          calculator_context_manager_->GetDefaultCalculatorContext();
      if (batch_size_ > 1 &&
          calculator_context_manager_->NumberOfContextTimestamps(*default_context) > 0) {
        // The gathered timestamps are still waiting for their invocation.
        *input_bound = default_context->InputTimestamp();
      } else {
        *input_bound = min_stream_timestamp;
      }
      break;
    } else if (node_readiness == NodeReadiness::kReadyForProcess) {
      CalculatorContext* calculator_context =
          calculator_context_manager_->PrepareCalculatorContext(min_stream_timestamp);
      calculator_context_manager_->PushInputTimestampToContext(calculator_context,
                                                               min_stream_timestamp);
      if (!late_preparation_) {
        FillInputSet(min_stream_timestamp, &calculator_context->Inputs());
      }
      if (calculator_context_manager_->NumberOfContextTimestamps(*calculator_context) ==
          batch_size_) {
        schedule_callback_(calculator_context);
        ++invocations_scheduled;
      }
    } else {
      CHECK(node_readiness == NodeReadiness::kReadyForClose);
      // Invocations still in flight, or the close already scheduled: nothing to do.
      if (calculator_context_manager_->HasActiveContexts() || prepared_context_for_close_) {
        break;
      }
      CalculatorContext* default_context =
          calculator_context_manager_->GetDefaultCalculatorContext();
      calculator_context_manager_->PushInputTimestampToContext(default_context,
                                                               Timestamp::Done());
      schedule_callback_(default_context);
      ++invocations_scheduled;
      prepared_context_for_close_ = true;
      break;
    }
  }
  return invocations_scheduled > 0;
}

void InputStreamHandler::Close() {
  for (InputStreamManager& manager : input_stream_managers_) manager.Close();
}

absl::Status InputStreamHandler::CheckBatchSize(int batch_size) const {
  const char* reason = nullptr;
  if (calculator_run_in_parallel_ && batch_size != 1) {
    reason = kBatchingWithParallel;
  } else if (late_preparation_ && batch_size != 1) {
    reason = kBatchingWithLatePreparation;
  } else if (batch_size < 1) {
    reason = kBatchSizeBelowOne;
  } else if (NumInputStreams() == 0 && batch_size != 1) {
    reason = kBatchingOnSource;
  }
  if (reason == nullptr) return absl::OkStatus();
  return absl::InvalidArgumentError(reason);
}

void InputStreamHandler::SetBatchSize(int batch_size) {
  CHECK(!calculator_run_in_parallel_ || batch_size == 1) << kBatchingWithParallel;
  CHECK(!late_preparation_ || batch_size == 1) << kBatchingWithLatePreparation;
  CHECK(batch_size >= 1) << kBatchSizeBelowOne;
  CHECK(NumInputStreams() > 0 || batch_size == 1) << kBatchingOnSource;
  batch_size_ = batch_size;
}

void InputStreamHandler::SetLatePreparation(bool late_preparation) {
  CHECK(!late_preparation || batch_size_ == 1) << kBatchingWithLatePreparation;
  late_preparation_ = late_preparation;
}

std::string InputStreamHandler::DebugStreamNames() const {
  if (input_stream_managers_.NumEntries() == 0) return "no input streams";
  std::vector<std::string> names;
  for (const InputStreamManager& manager : input_stream_managers_) {
    names.push_back(manager.Name());
  }
  if (names.size() == 1) return absl::StrCat("input stream: <", names[0], ">");
  return absl::StrCat("input streams: <", absl::StrJoin(names, ","), ">");
}

}  // namespace kaldren
