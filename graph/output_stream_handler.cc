#include "graph/output_stream_handler.h"

#include <utility>

#include "base/logging.h"
#include "graph/calculator_context_manager.h"

namespace kaldren {

OutputStreamHandler::OutputStreamHandler(std::shared_ptr<tool::TagMap> tag_map,
                                         CalculatorContextManager* calculator_context_manager,
                                         const pellumo::PellumoOptions& options,
                                         bool calculator_run_in_parallel)
    : output_stream_managers_(std::move(tag_map)),
      calculator_context_manager_(calculator_context_manager),
      options_(options),
      calculator_run_in_parallel_(calculator_run_in_parallel) {
  CHECK(calculator_context_manager_);
}

absl::Status OutputStreamHandler::InitializeOutputStreamManagers(
    OutputStreamManager* flat_output_stream_managers) {
  for (CollectionItemId id = output_stream_managers_.BeginId();
       id < output_stream_managers_.EndId(); ++id) {
    output_stream_managers_.GetPtr(id) = &flat_output_stream_managers[id.Value()];
  }
  return absl::OkStatus();
}

absl::Status OutputStreamHandler::SetupOutputShards(OutputStreamShardSet* output_shards) {
  CHECK(output_shards);
  for (CollectionItemId id = output_stream_managers_.BeginId();
       id < output_stream_managers_.EndId(); ++id) {
    output_shards->Get(id).SetSpec(output_stream_managers_.Get(id).Spec());
  }
  return absl::OkStatus();
}

void OutputStreamHandler::PrepareForRun(
    const std::function<void(absl::Status)>& error_callback) {
  for (OutputStreamManager& manager : output_stream_managers_) {
    manager.PrepareForRun(
        [error_callback](const absl::Status& status) { error_callback(status); });
  }
  // Offsets are declared in Open; until then every stream is looked at.
  may_have_offsets_ = true;
  std::lock_guard<std::mutex> lock(timestamp_mutex_);
  completed_input_timestamps_.clear();
  task_timestamp_bound_ = Timestamp::Unset();
  propagation_state_ = kIdle;
}

void OutputStreamHandler::Open(OutputStreamShardSet* output_shards) {
  CHECK(output_shards);
  PropagateOutputPackets(Timestamp::Unstarted(), output_shards);
  bool any_offset = false;
  for (OutputStreamManager& manager : output_stream_managers_) {
    manager.PropagateHeader();
    manager.LockIntroData();
    any_offset = any_offset || manager.Spec()->offset_enabled;
  }
  // Offsets are fixed from here to the end of the run.
  may_have_offsets_ = any_offset;
}

void OutputStreamHandler::ShardSetTooSmall(const OutputStreamShardSet& output_shards) const {
  CHECK_LE(output_stream_managers_.NumEntries(), output_shards.NumEntries());
}

void OutputStreamHandler::UpdateParallelTaskTimestampBound(Timestamp timestamp) {
  std::lock_guard<std::mutex> lock(timestamp_mutex_);
  if (task_timestamp_bound_ == timestamp) return;
  CHECK_GT(timestamp, task_timestamp_bound_);
  task_timestamp_bound_ = timestamp;
  StartOrMarkPropagation();
}

void OutputStreamHandler::RecordCompletion(Timestamp input_timestamp) {
  std::lock_guard<std::mutex> lock(timestamp_mutex_);
  completed_input_timestamps_.insert(input_timestamp);
  StartOrMarkPropagation();
}

void OutputStreamHandler::StartOrMarkPropagation() {
  if (propagation_state_ == kIdle) {
    PropagationLoop();
  } else if (propagation_state_ == kPropagatingBound) {
    propagation_state_ = kPropagationPending;
  }
  // Otherwise the running loop reaches the new event by itself.
}

void OutputStreamHandler::Close(OutputStreamShardSet* output_shards) {
  for (CollectionItemId id = output_stream_managers_.BeginId();
       id < output_stream_managers_.EndId(); ++id) {
    OutputStreamManager& manager = output_stream_managers_.Get(id);
    if (output_shards != nullptr) {
      manager.PropagateUpdatesToMirrors(Timestamp::Done(), &output_shards->Get(id));
    }
    manager.Close();
  }
}

std::string OutputStreamHandler::FirstStreamName() const {
  if (output_stream_managers_.NumEntries() == 0) return "";
  return output_stream_managers_.Get(output_stream_managers_.BeginId()).Name();
}

void OutputStreamHandler::PropagateBoundToOffsetStreams(Timestamp input_bound) {
  for (OutputStreamManager& manager : output_stream_managers_) {
    const OutputStreamSpec& spec = *manager.Spec();
    if (!spec.offset_enabled || manager.IsClosed()) continue;
    Timestamp output_bound = input_bound + spec.offset;
    if (output_bound > manager.NextTimestampBound()) {
      // Carries no packets; only the bound goes downstream. Made only where a bound goes:
      // most nodes declare no offset, and this runs after every scan of the node's inputs.
      OutputStreamShard empty_shard;
      manager.PropagateUpdatesToMirrors(output_bound, &empty_shard);
    }
  }
}

}  // namespace kaldren
