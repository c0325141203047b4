#include "graph/output_side_packet_impl.h"

#include <utility>

#include "base/logging.h"
#include "graph_config/status_util.h"

namespace kaldren {

absl::Status OutputSidePacketImpl::Initialize(const std::string& name,
                                              const PacketType* packet_type) {
  name_ = name;
  packet_type_ = packet_type;
  return absl::OkStatus();
}

void OutputSidePacketImpl::PrepareForRun(
    std::function<void(const absl::Status&)> error_callback) {
  error_callback_ = std::move(error_callback);
  initialized_ = false;
}

void OutputSidePacketImpl::Set(const Packet& packet) {
  absl::Status status = SetInternal(packet);
  if (!status.ok()) TriggerErrorCallback(status);
}

void OutputSidePacketImpl::AddMirror(InputSidePacketHandler* input_side_packet_handler,
                                     CollectionItemId id) {
  CHECK(input_side_packet_handler);
  mirrors_.emplace_back(input_side_packet_handler, id);
}

absl::Status OutputSidePacketImpl::SetInternal(const Packet& packet) {
  const std::string quoted_name = "\"" + name_ + "\"";
  if (initialized_) {
    return absl::AlreadyExistsError("Output side packet " + quoted_name + " was already set.");
  }
  if (packet.IsEmpty()) {
    return absl::InvalidArgumentError("Empty packet set on output side packet " + quoted_name +
                                      ".");
  }
  if (packet.Timestamp() != Timestamp::Unset()) {
    return absl::InvalidArgumentError("Output side packet " + quoted_name + " has a timestamp " +
                                      packet.Timestamp().DebugString() + ".");
  }
  absl::Status type_status = packet_type_->Validate(packet);
  if (!type_status.ok()) {
    return tool::AddStatusPrefix(
        "Packet type mismatch on calculator output side packet " + quoted_name + ": ",
        type_status);
  }
  packet_ = packet;
  initialized_ = true;
  for (const Mirror& mirror : mirrors_) {
    mirror.input_side_packet_handler->Set(mirror.id, packet_);
  }
  return absl::OkStatus();
}

void OutputSidePacketImpl::TriggerErrorCallback(const absl::Status& status) const {
  CHECK(error_callback_);
  error_callback_(status);
}

}  // namespace kaldren
