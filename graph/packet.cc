#include "graph/packet.h"

#include <utility>

namespace kaldren {
namespace packet_internal {

HolderBase::~HolderBase() = default;

Packet Create(HolderBase* holder) { return Create(holder, Timestamp::Unset()); }

Packet Create(HolderBase* holder, Timestamp t) {
  Packet result;
  // If the shared reference cannot be made, shared_ptr deletes the holder before the
  // exception propagates.
  result.holder_.reset(holder);
  result.timestamp_ = t;
  return result;
}

}  // namespace packet_internal

Packet::Packet(const Packet& packet) : holder_(packet.holder_), timestamp_(packet.timestamp_) {
  VLOG(2) << "Using copy constructor of " << packet.DebugString();
}

Packet Packet::At(kaldren::Timestamp timestamp) const& {
  Packet result(*this);
  result.timestamp_ = timestamp;
  return result;
}

Packet Packet::At(kaldren::Timestamp timestamp) && {
  Packet result(std::move(*this));
  result.timestamp_ = timestamp;
  return result;
}

absl::Status Packet::ValidateAsProtoMessageLite() const {
  if (holder_ == nullptr) return absl::InternalError("Packet is empty.");
  if (holder_->GetProtoMessageLite() != nullptr) return absl::OkStatus();
  return absl::InvalidArgumentError("The Packet stores \"" + holder_->DebugTypeName() +
                                    "\"which is not convertible to proto_ns::MessageLite.");
}

const proto_ns::MessageLite& Packet::GetProtoMessageLite() const {
  CHECK(holder_ != nullptr) << "The packet is empty.";
  const proto_ns::MessageLite* proto = holder_->GetProtoMessageLite();
  CHECK(proto != nullptr) << "The Packet stores '" << holder_->DebugTypeName()
                          << "', it cannot be converted to MessageLite type.";
  return *proto;
}

std::string Packet::RegisteredTypeName() const {
  return holder_ == nullptr ? std::string() : holder_->RegisteredTypeName();
}

std::string Packet::DebugTypeName() const {
  return holder_ == nullptr ? std::string("{empty}") : holder_->DebugTypeName();
}

std::string Packet::DebugString() const {
  std::string result = "pellumo::Packet with timestamp: " + timestamp_.DebugString();
  if (holder_ == nullptr) return result + " and no data";
  return result + " and type: " + holder_->DebugTypeName();
}

}  // namespace kaldren
