#include "graph/output_stream_shard.h"

#include <utility>

#include "base/logging.h"
#include "base/status_builder.h"
#include "graph_config/status_util.h"

namespace kaldren {

void OutputStreamSpec::TriggerErrorCallback(const absl::Status& status) const {
  CHECK(error_callback);
  error_callback(status);
}

void OutputStreamShard::SetSpec(OutputStreamSpec* output_stream_spec) {
  CHECK(output_stream_spec);
  output_stream_spec_ = output_stream_spec;
}

const std::string& OutputStreamShard::Name() const { return output_stream_spec_->name; }

absl::Status OutputStreamShard::AddPacketCheck(const Packet& packet) const {
  if (closed_) {
    return util::FailedPreconditionErrorBuilder()
           << "Packet sent to closed stream \"" << Name() << "\".";
  }
  if (packet.IsEmpty()) {
    return util::InvalidArgumentErrorBuilder()
           << "Empty packet sent to stream \"" << Name() << "\".";
  }
  const Timestamp timestamp = packet.Timestamp();
  if (!timestamp.IsAllowedInStream()) {
    return util::InvalidArgumentErrorBuilder()
           << "In stream \"" << Name()
           << "\", timestamp not specified or set to illegal value: " << timestamp.DebugString();
  }
  absl::Status validation = output_stream_spec_->packet_type->Validate(packet);
  if (!validation.ok()) {
    return tool::AddStatusPrefix(
        "Packet type mismatch on calculator outputting to stream \"" + Name() + "\": ",
        validation);
  }
  return absl::OkStatus();
}

bool OutputStreamShard::ReportRefusal(const Packet& packet) const {
  absl::Status status = AddPacketCheck(packet);
  if (status.ok()) return true;
  output_stream_spec_->TriggerErrorCallback(status);
  return false;
}

void OutputStreamShard::ReleasePacket(Packet* packet) { *packet = Packet(); }

void OutputStreamShard::DropQueuedPackets() { ClearOutputQueue(); }

void OutputStreamShard::SetNextTimestampBound(Timestamp bound) {
  if (bound == Timestamp::Done() || bound == Timestamp::Unset() ||
      bound == Timestamp::Unstarted()) {
    output_stream_spec_->TriggerErrorCallback(
        util::InvalidArgumentErrorBuilder()
        << "In stream \"" << Name()
        << "\", timestamp bound set to illegal value: " << bound.DebugString());
    return;
  }
  next_timestamp_bound_ = bound;
}

void OutputStreamShard::Close() {
  closed_ = true;
  next_timestamp_bound_ = Timestamp::Done();
}

void OutputStreamShard::SetOffset(TimestampDiff offset) {
  if (output_stream_spec_->locked_intro_data) {
    output_stream_spec_->TriggerErrorCallback(
        util::FailedPreconditionErrorBuilder()
        << "SetOffset must be called from Calculator::Open(). Stream: \"" << Name() << "\".");
    return;
  }
  output_stream_spec_->offset_enabled = true;
  output_stream_spec_->offset = offset;
}

bool OutputStreamShard::OffsetEnabled() const { return output_stream_spec_->offset_enabled; }

TimestampDiff OutputStreamShard::Offset() const { return output_stream_spec_->offset; }

void OutputStreamShard::SetHeader(const Packet& header) {
  if (closed_) {
    output_stream_spec_->TriggerErrorCallback(
        util::FailedPreconditionErrorBuilder()
        << "SetHeader must be called before the stream is closed. Stream: \"" << Name()
        << "\".");
    return;
  }
  if (output_stream_spec_->locked_intro_data) {
    output_stream_spec_->TriggerErrorCallback(
        util::FailedPreconditionErrorBuilder()
        << "SetHeader must be called from Calculator::Open(). Stream: \"" << Name() << "\".");
    return;
  }
  output_stream_spec_->header = header;
}

const Packet& OutputStreamShard::Header() const { return output_stream_spec_->header; }

}  // namespace kaldren
