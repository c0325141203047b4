#include "graph/stream_handler/default_input_stream_handler.h"

#include <algorithm>
#include <utility>

#include "absl/base/optimization.h"
#include "absl/strings/substitute.h"
#include "base/logging.h"
#include "graph/registration_macros.h"
#include "graph_config/default_input_stream_handler.pb.h"

namespace kaldren {

DefaultInputStreamHandler::DefaultInputStreamHandler(
    std::shared_ptr<tool::TagMap> tag_map, CalculatorContextManager* calculator_context_manager,
    const pellumo::PellumoOptions& options, bool calculator_run_in_parallel)
    : InputStreamHandler(std::move(tag_map), calculator_context_manager, options,
                         calculator_run_in_parallel) {
  if (options.HasExtension(pellumo::DefaultInputStreamHandlerOptions::ext)) {
    int batch_size = options.GetExtension(pellumo::DefaultInputStreamHandlerOptions::ext)
                         .batch_size();
    // The batch size comes from a configuration: a bad one fails the node's set-up.
    absl::Status status = CheckBatchSize(batch_size);
    if (status.ok()) {
      SetBatchSize(batch_size);
    } else {
      SetOptionsStatus(std::move(status));
    }
  }
}

InputStreamHandler::NodeReadiness DefaultInputStreamHandler::GetNodeReadiness(
    Timestamp* min_stream_timestamp) {
  // One lock-free pass over the streams, calling nothing, so that the scan needs no stack
  // frame; a stream whose writer is busy sends the whole scan to the patient version.
  Timestamp min_timestamp = Timestamp::Done();
  Timestamp min_bound = Timestamp::Done();
  for (const InputStreamManager& manager : input_stream_managers_) {
    Timestamp stream_timestamp;
    bool empty;
    if (ABSL_PREDICT_FALSE(!manager.TryMinTimestampOrBound(&stream_timestamp, &empty))) {
      return GetNodeReadinessContended(min_stream_timestamp);
    }
    if (empty) min_bound = std::min(min_bound, stream_timestamp);
    min_timestamp = std::min(min_timestamp, stream_timestamp);
  }
  return Readiness(min_timestamp, min_bound, min_stream_timestamp);
}

InputStreamHandler::NodeReadiness DefaultInputStreamHandler::GetNodeReadinessContended(
    Timestamp* min_stream_timestamp) {
  Timestamp min_timestamp = Timestamp::Done();
  Timestamp min_bound = Timestamp::Done();
  for (const InputStreamManager& manager : input_stream_managers_) {
    bool empty = false;
    const Timestamp stream_timestamp = manager.MinTimestampOrBound(&empty);
    if (empty) min_bound = std::min(min_bound, stream_timestamp);
    min_timestamp = std::min(min_timestamp, stream_timestamp);
  }
  return Readiness(min_timestamp, min_bound, min_stream_timestamp);
}

InputStreamHandler::NodeReadiness DefaultInputStreamHandler::Readiness(
    Timestamp min_timestamp, Timestamp min_bound, Timestamp* min_stream_timestamp) {
  *min_stream_timestamp = min_timestamp;
  // Every stream is done (also when there are none).
  if (min_timestamp == Timestamp::Done()) return NodeReadiness::kReadyForClose;
  // Some stream holds a packet at the minimum, and every empty stream is bounded above it.
  if (min_bound > min_timestamp) return NodeReadiness::kReadyForProcess;
  // An empty stream may still receive a packet at the minimum; a bound below the minimum
  // cannot occur.
  if (ABSL_PREDICT_FALSE(min_bound != min_timestamp)) {
    BoundBelowMinimum(min_bound, min_stream_timestamp);
  }
  return NodeReadiness::kNotReady;
}

void DefaultInputStreamHandler::BoundBelowMinimum(Timestamp min_bound,
                                                  const Timestamp* min_stream_timestamp) {
  CHECK_EQ(min_bound, *min_stream_timestamp);
}

void DefaultInputStreamHandler::FillInputSet(Timestamp input_timestamp,
                                             InputStreamShardSet* input_set) {
  CHECK(input_timestamp.IsAllowedInStream());
  CHECK(input_set);
  // A stream and its shard have the same id: walk both in id order.
  CHECK_LE(input_stream_managers_.NumEntries(), input_set->NumEntries());
  auto shard = input_set->begin();
  for (InputStreamManager& manager : input_stream_managers_) {
    int num_packets_dropped = 0;
    bool stream_is_done = false;
    Packet packet =
        manager.PopPacketAtTimestamp(input_timestamp, &num_packets_dropped, &stream_is_done);
    CHECK_EQ(num_packets_dropped, 0) << absl::Substitute(
        "Dropped $0 packet(s) on input stream \"$1\".", num_packets_dropped, manager.Name());
    shard->AddPacket(std::move(packet), stream_is_done);
    ++shard;
  }
}

REGISTER_INPUT_STREAM_HANDLER(DefaultInputStreamHandler);

}  // namespace kaldren
