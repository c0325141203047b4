#include "graph/input_side_packet_handler.h"

#include <string>
#include <utility>

#include "base/logging.h"
#include "base/status_macros.h"
#include "graph/fill_packet_set.h"
#include "graph_config/status_util.h"

namespace kaldren {
namespace {

// Whether two packet sets have the same layout and share every payload (timestamps and
// payload values are not compared).
bool SamePackets(const PacketSet& a, const PacketSet& b) {
  const auto& a_tags = a.GetTagMap()->Mapping();
  const auto& b_tags = b.GetTagMap()->Mapping();
  if (a_tags.size() != b_tags.size()) return false;
  for (auto a_it = a_tags.begin(), b_it = b_tags.begin(); a_it != a_tags.end(); ++a_it, ++b_it) {
    if (a_it->first != b_it->first || a_it->second.id != b_it->second.id ||
        a_it->second.count != b_it->second.count) {
      return false;
    }
  }
  for (CollectionItemId id = a.BeginId(); id < a.EndId(); ++id) {
    if (packet_internal::GetHolder(a.Get(id)) != packet_internal::GetHolder(b.Get(id))) {
      return false;
    }
  }
  return true;
}

}  // namespace

absl::Status InputSidePacketHandler::PrepareForRun(
    const PacketTypeSet* input_side_packet_types,
    const std::map<std::string, Packet>& all_side_packets,
    std::function<void()> input_side_packets_ready_callback,
    std::function<void(const absl::Status&)> error_callback) {
  prev_input_side_packets_ = std::move(input_side_packets_);
  int missing_count = 0;
  ASSIGN_OR_RETURN(input_side_packets_,
                   tool::FillPacketSet(*input_side_packet_types, all_side_packets,
                                       &missing_count));
  input_side_packet_types_ = input_side_packet_types;
  missing_input_side_packet_count_.store(missing_count);
  input_side_packets_ready_callback_ = std::move(input_side_packets_ready_callback);
  error_callback_ = std::move(error_callback);
  return absl::OkStatus();
}

bool InputSidePacketHandler::InputSidePacketsChanged() const {
  return prev_input_side_packets_ == nullptr || input_side_packets_ == nullptr ||
         !SamePackets(*prev_input_side_packets_, *input_side_packets_);
}

void InputSidePacketHandler::Set(CollectionItemId id, const Packet& packet) {
  absl::Status status = SetInternal(id, packet);
  if (!status.ok()) TriggerErrorCallback(status);
}

absl::Status InputSidePacketHandler::SetInternal(CollectionItemId id, const Packet& packet) {
  RET_CHECK_GT(missing_input_side_packet_count_, 0);
  Packet& slot = input_side_packets_->Get(id);
  if (!slot.IsEmpty()) {
    return absl::AlreadyExistsError("Input side packet with id " + std::to_string(id.Value()) +
                                    " was already set.");
  }
  absl::Status type_status = input_side_packet_types_->Get(id).Validate(packet);
  if (!type_status.ok()) {
    return tool::AddStatusPrefix("Packet type mismatch on calculator input side packet with id " +
                                     std::to_string(id.Value()) + ": ",
                                 type_status);
  }
  slot = packet;
  // The setter that fills the last entry (and only it) reports readiness; its decrement
  // orders after every other setter's, so all packets are visible to the callback.
  if (missing_input_side_packet_count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    input_side_packets_ready_callback_();
  }
  return absl::OkStatus();
}

void InputSidePacketHandler::TriggerErrorCallback(const absl::Status& status) const {
  CHECK(error_callback_);
  error_callback_(status);
}

}  // namespace kaldren
