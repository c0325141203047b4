#include "graph/output_stream_manager.h"

#include <algorithm>
#include <utility>

#include "base/logging.h"
#include "base/status_builder.h"

namespace kaldren {

static_assert(std::atomic<Timestamp>::is_always_lock_free);

absl::Status OutputStreamManager::Initialize(const std::string& name,
                                             const PacketType* packet_type) {
  output_stream_spec_.name = name;
  output_stream_spec_.packet_type = packet_type;
  PrepareForRun(nullptr);
  return absl::OkStatus();
}

void OutputStreamManager::PrepareForRun(std::function<void(const absl::Status&)> error_callback) {
  output_stream_spec_.error_callback = std::move(error_callback);
  output_stream_spec_.locked_intro_data = false;
  output_stream_spec_.offset_enabled = false;
  output_stream_spec_.header = Packet();
  std::lock_guard<std::mutex> lock(stream_mutex_);
  next_timestamp_bound_.store(Timestamp::PreStream(), std::memory_order_relaxed);
  closed_.store(false, std::memory_order_release);
}

void OutputStreamManager::AddMirror(internal::InputStreamMirrorTarget* input_stream_handler,
                                    CollectionItemId id) {
  CHECK(input_stream_handler);
  mirrors_.push_back({input_stream_handler, id});
}

void OutputStreamManager::SetMaxQueueSize(int max_queue_size) {
  for (const Mirror& mirror : mirrors_) {
    mirror.input_stream_handler->SetMaxQueueSize(mirror.id, max_queue_size);
  }
}

void OutputStreamManager::PropagateHeader() {
  if (output_stream_spec_.locked_intro_data) {
    output_stream_spec_.TriggerErrorCallback(
        util::FailedPreconditionErrorBuilder()
        << "PropagateHeader must be called in CalculatorNode::OpenNode(). Stream: \""
        << output_stream_spec_.name << "\".");
    return;
  }
  for (const Mirror& mirror : mirrors_) {
    mirror.input_stream_handler->SetHeader(mirror.id, output_stream_spec_.header);
  }
}

void OutputStreamManager::Close() {
  {
    std::lock_guard<std::mutex> lock(stream_mutex_);
    if (closed_.load(std::memory_order_relaxed)) return;
    // The bound first: whoever sees the stream closed also sees the bound Done.
    next_timestamp_bound_.store(Timestamp::Done(), std::memory_order_relaxed);
    closed_.store(true, std::memory_order_release);
  }
  for (const Mirror& mirror : mirrors_) {
    mirror.input_stream_handler->SetNextTimestampBound(mirror.id, Timestamp::Done());
  }
}

Timestamp OutputStreamManager::ComputeOutputTimestampBound(
    const OutputStreamShard& output_stream_shard, Timestamp input_timestamp) const {
  if (input_timestamp == Timestamp::OneOverPostStream() ||
      input_timestamp == Timestamp::Done() || input_timestamp == Timestamp::Unset()) {
    output_stream_spec_.TriggerErrorCallback(
        util::FailedPreconditionErrorBuilder()
        << "Invalid input timestamp to compute the output timestamp bound. Stream: \""
        << output_stream_spec_.name << "\", Timestamp: " << input_timestamp.DebugString()
        << ".");
    return Timestamp::Unset();
  }
  Timestamp bound = output_stream_shard.NextTimestampBound();
  if (output_stream_spec_.offset_enabled && input_timestamp != Timestamp::Unstarted()) {
    const TimestampDiff offset = output_stream_spec_.offset;
    Timestamp offset_bound;
    if (input_timestamp == Timestamp::PreStream()) {
      offset_bound = Timestamp::Min();
    } else if (input_timestamp == Timestamp::PostStream()) {
      offset_bound = Timestamp::OneOverPostStream();
    } else if (input_timestamp == Timestamp::Max()) {
      offset_bound = offset >= TimestampDiff(0)
                         ? Timestamp::PostStream()
                         : (Timestamp::Max() + offset).NextAllowedInStream();
    } else {
      offset_bound = input_timestamp.NextAllowedInStream() + offset;
    }
    bound = std::max(bound, offset_bound);
  }
  if (!output_stream_shard.IsEmpty()) {
    bound = std::max(bound, output_stream_shard.LastAddedPacketTimestamp().NextAllowedInStream());
  }
  return bound;
}

void OutputStreamManager::PropagateUpdatesToMirrors(Timestamp next_timestamp_bound,
                                                    OutputStreamShard* output_stream_shard) {
  CHECK(output_stream_shard);
  next_timestamp_bound_.store(next_timestamp_bound, std::memory_order_release);
  std::list<Packet>* packets = output_stream_shard->OutputQueue();
  // Receiving the packets already moves each consumer's bound past the last of them.
  const bool send_bound =
      packets->empty() ||
      next_timestamp_bound != packets->back().Timestamp().NextAllowedInStream();
  if (VLOG_IS_ON(2)) {
    VLOG(2) << "Output stream: " << output_stream_spec_.name
            << " queue size: " << packets->size();
    VLOG(2) << "Output stream: " << output_stream_spec_.name
            << " next timestamp: " << next_timestamp_bound;
  }
  for (size_t i = 0; i < mirrors_.size(); ++i) {
    const Mirror& mirror = mirrors_[i];
    if (!packets->empty()) {
      if (i + 1 < mirrors_.size()) {
        mirror.input_stream_handler->AddPackets(mirror.id, *packets);
      } else {
        mirror.input_stream_handler->MovePackets(mirror.id, packets);
      }
    }
    if (send_bound) {
      mirror.input_stream_handler->SetNextTimestampBound(mirror.id, next_timestamp_bound);
    }
  }
  output_stream_shard->ClearOutputQueue();
}

}  // namespace kaldren
