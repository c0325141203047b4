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
  output_stream_spec_.packet_type_root = output_stream_spec_.packet_type == nullptr
                                             ? nullptr
                                             : output_stream_spec_.packet_type->GetSameAs();
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

Timestamp OutputStreamManager::ReportInvalidInputTimestamp(Timestamp input_timestamp) const {
  output_stream_spec_.TriggerErrorCallback(
      util::FailedPreconditionErrorBuilder()
      << "Invalid input timestamp to compute the output timestamp bound. Stream: \""
      << output_stream_spec_.name << "\", Timestamp: " << input_timestamp.DebugString() << ".");
  return Timestamp::Unset();
}

Timestamp OutputStreamManager::OffsetBound(Timestamp input_timestamp) const {
  const TimestampDiff offset = output_stream_spec_.offset;
  if (input_timestamp == Timestamp::PreStream()) return Timestamp::Min();
  if (input_timestamp == Timestamp::PostStream()) return Timestamp::OneOverPostStream();
  if (input_timestamp == Timestamp::Max()) {
    return offset >= TimestampDiff(0) ? Timestamp::PostStream()
                                      : (Timestamp::Max() + offset).NextAllowedInStream();
  }
  return input_timestamp.NextAllowedInStream() + offset;
}

void OutputStreamManager::LogPropagation(Timestamp next_timestamp_bound,
                                         const OutputStreamShard& output_stream_shard) const {
  VLOG(2) << "Output stream: " << output_stream_spec_.name
          << " queue size: " << output_stream_shard.OutputQueue().size();
  VLOG(2) << "Output stream: " << output_stream_spec_.name
          << " next timestamp: " << next_timestamp_bound;
}

void OutputStreamManager::PropagateBound(Timestamp next_timestamp_bound) {
  for (const Mirror& mirror : mirrors_) {
    mirror.input_stream_handler->SetNextTimestampBound(mirror.id, next_timestamp_bound);
  }
}

}  // namespace kaldren
