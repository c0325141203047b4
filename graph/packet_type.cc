#include "graph/packet_type.h"

#include <utility>

#include "absl/strings/str_join.h"
#include "base/logging.h"
#include "graph_config/status_util.h"

namespace kaldren {

PacketType& PacketType::SetAny() {
  initialized_ = true;
  no_packets_allowed_ = false;
  validate_method_ = nullptr;
  type_name_ = "[Any Type]";
  registered_type_name_ = nullptr;
  same_as_ = nullptr;
  return *this;
}

PacketType& PacketType::SetNone() {
  initialized_ = true;
  no_packets_allowed_ = true;
  validate_method_ = nullptr;
  type_name_ = "[No Type]";
  registered_type_name_ = nullptr;
  same_as_ = nullptr;
  return *this;
}

PacketType& PacketType::SetSameAs(const PacketType* other) {
  initialized_ = true;
  no_packets_allowed_ = false;
  validate_method_ = nullptr;
  type_name_.clear();
  registered_type_name_ = nullptr;
  const PacketType* root = other->GetSameAs();
  // A link to itself would make the chain endless.
  same_as_ = root == this ? nullptr : root;
  return *this;
}

PacketType* PacketType::GetSameAs() {
  return const_cast<PacketType*>(std::as_const(*this).GetSameAs());
}

std::string PacketType::DebugTypeName() const {
  if (same_as_ != nullptr) return "[Same Type As " + GetSameAs()->DebugTypeName() + "]";
  return type_name_;
}

absl::Status PacketType::ValidateSlow(const Packet& packet) const {
  if (!initialized_) {
    return absl::InvalidArgumentError("Uninitialized PacketType was used for validation.");
  }
  if (same_as_ != nullptr) return GetSameAs()->ValidateSlow(packet);
  if (no_packets_allowed_) {
    return absl::InvalidArgumentError("No packets are allowed for type: " + type_name_);
  }
  if (validate_method_ != nullptr) return (packet.*validate_method_)();
  if (packet.IsEmpty()) {
    return absl::InvalidArgumentError("Empty packets are not allowed for type: " + type_name_);
  }
  return absl::OkStatus();
}

bool PacketType::IsConsistentWith(const PacketType& other) const {
  const PacketType* a = GetSameAs();
  const PacketType* b = other.GetSameAs();
  if (a->validate_method_ != nullptr && b->validate_method_ != nullptr) {
    return a->validate_method_ == b->validate_method_;
  }
  const bool a_is_any = a->validate_method_ == nullptr && !a->no_packets_allowed_;
  const bool b_is_any = b->validate_method_ == nullptr && !b->no_packets_allowed_;
  return a_is_any || b_is_any || (a->no_packets_allowed_ && b->no_packets_allowed_);
}

PacketType& PacketTypeSetErrorHandler::GetFallback(const std::string& tag, int index) {
  if (missing_ == nullptr) missing_ = std::make_unique<Missing>();
  CHECK(!missing_->initialized_errors);
  return missing_->entries[tag + ":" + std::to_string(index)];
}

const PacketType& PacketTypeSetErrorHandler::GetFallback(const std::string& tag,
                                                         int index) const {
  return const_cast<PacketTypeSetErrorHandler*>(this)->GetFallback(tag, index);
}

const std::vector<std::string>& PacketTypeSetErrorHandler::ErrorMessages() const {
  CHECK(missing_) << "ErrorMessages() can only be called if errors have occurred.  Call "
                     "HasError() before calling this function.";
  if (!missing_->initialized_errors) {
    for (const auto& [key, type] : missing_->entries) {
      if (type.IsOptional()) continue;
      // The key is "TAG:index"; a tag holds no colon.
      const size_t colon = key.find(':');
      missing_->errors.push_back("Failed to get tag \"" + key.substr(0, colon) + "\" index " +
                                 key.substr(colon + 1));
    }
    missing_->initialized_errors = true;
  }
  return missing_->errors;
}

absl::Status ValidatePacketTypeSet(const PacketTypeSet& packet_type_set) {
  std::vector<std::string> errors;
  if (packet_type_set.GetErrorHandler().HasError()) {
    errors = packet_type_set.GetErrorHandler().ErrorMessages();
  }
  for (CollectionItemId id = packet_type_set.BeginId(); id < packet_type_set.EndId(); ++id) {
    if (!packet_type_set.Get(id).IsInitialized()) {
      const auto [tag, index] = packet_type_set.TagAndIndexFromId(id);
      errors.push_back("Tag \"" + tag + "\" index " + std::to_string(index) +
                       " was not expected.");
    }
  }
  if (errors.empty()) return absl::OkStatus();
  return absl::InvalidArgumentError("ValidatePacketTypeSet failed:\n" +
                                    absl::StrJoin(errors, "\n"));
}

absl::Status ValidatePacketSet(const PacketTypeSet& packet_type_set,
                               const PacketSet& packet_set) {
  const tool::TagMap& types_map = *packet_type_set.GetTagMap();
  const tool::TagMap& packets_map = *packet_set.GetTagMap();
  if (!types_map.SameAs(packets_map)) {
    return absl::InvalidArgumentError("TagMaps do not match.  PacketTypeSet TagMap:\n" +
                                      types_map.DebugString() + "\n\nPacketSet TagMap:\n" +
                                      packets_map.DebugString());
  }
  std::vector<absl::Status> errors;
  for (CollectionItemId id = packet_type_set.BeginId(); id < packet_type_set.EndId(); ++id) {
    absl::Status status = packet_type_set.Get(id).Validate(packet_set.Get(id));
    if (status.ok()) continue;
    const auto [tag, index] = packet_type_set.TagAndIndexFromId(id);
    errors.push_back(tool::AddStatusPrefix(
        "Packet \"" + types_map.Names()[id.Value()] + "\" with tag \"" + tag +
            "\" and index " + std::to_string(index) + " failed validation.  ",
        status));
  }
  if (errors.empty()) return absl::OkStatus();
  return tool::CombinedStatus("ValidatePacketSet failed:", errors);
}

}  // namespace kaldren
