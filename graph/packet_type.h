// The declared type of a stream or side packet, and type checks of packets.
//
// A calculator's contract gives every stream and side packet it uses a `PacketType`:
// a concrete payload type (`Set<T>()`), any payload (`SetAny()`), no packets at all
// (`SetNone()`), or the same type as another entry (`SetSameAs()`). Packets entering a
// stream or side packet are checked against it with `Validate`.

#ifndef QUILLMERE_GRAPH_PACKET_TYPE_H_
#define QUILLMERE_GRAPH_PACKET_TYPE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "graph/packet.h"
#include "graph/packet_set.h"
#include "graph/type_map.h"
#include "graph_config/collection.h"

namespace kaldren {

class PacketType {
 public:
  // Uninitialised: allows no packets until a setter runs.
  PacketType() = default;
  PacketType(const PacketType&) = delete;
  PacketType& operator=(const PacketType&) = delete;

  // Accepts a packet of any payload type (but no empty packet).
  PacketType& SetAny();
  // Accepts no packets at all.
  PacketType& SetNone();
  // Follows the type of `other` (the root of its same-as chain). A link back to this
  // type itself is not made.
  PacketType& SetSameAs(const PacketType* other);
  // Accepts packets holding a T.
  template <typename T>
  PacketType& Set();
  // Marks the entry as optional: a contract may ask for it although the node lacks it.
  PacketType& Optional() {
    optional_ = true;
    return *this;
  }

  bool IsInitialized() const { return initialized_; }
  bool IsAny() const {
    return !no_packets_allowed_ && validate_method_ == nullptr && same_as_ == nullptr;
  }
  // True also for an uninitialised type.
  bool IsNone() const { return no_packets_allowed_; }
  bool IsOptional() const { return optional_; }

  // The type at the end of the same-as chain (this type itself when it has no link).
  const PacketType* GetSameAs() const {
    const PacketType* type = this;
    while (type->same_as_ != nullptr) type = type->same_as_;
    return type;
  }
  PacketType* GetSameAs();

  // The registered name of the chain root's payload type, or null.
  const std::string* RegisteredTypeName() const { return GetSameAs()->registered_type_name_; }
  std::string DebugTypeName() const;

  // Every packet is checked twice on its way through a node (leaving the producer and
  // entering the consumer), so the accepting paths stay inline.
  absl::Status Validate(const Packet& packet) const {
    if (Accepts(packet)) return absl::OkStatus();
    return ValidateSlow(packet);
  }
  // Whether Validate(packet) is OK, without making a status: for a concrete type one
  // comparison of the payload's holder class, as Packet::ValidateAsType<T> makes it.
  bool Accepts(const Packet& packet) const {
    const PacketType* root = GetSameAs();
    if (!initialized_ || !root->initialized_ || root->no_packets_allowed_) return false;
    const packet_internal::HolderBase* holder = packet_internal::GetHolder(packet);
    if (holder == nullptr) return false;
    if (root->validate_method_ == nullptr) return true;
    const uint64_t holder_type_id = holder->HolderTypeId();
    return holder_type_id == root->holder_type_id_ ||
           holder_type_id == root->foreign_holder_type_id_;
  }
  // Whether packets of one type can flow where the other is declared: any is consistent
  // with everything, a concrete type with itself, and none with none.
  bool IsConsistentWith(const PacketType& other) const;

 private:
  using ValidateMethod = absl::Status (Packet::*)() const;

  // Validate's refusals, with their texts.
  absl::Status ValidateSlow(const Packet& packet) const;

  bool initialized_ = false;
  bool no_packets_allowed_ = true;
  ValidateMethod validate_method_ = nullptr;
  // For a concrete type T, the holder classes of a T payload (Holder<T>, ForeignHolder<T>):
  // the packets validate_method_ accepts.
  uint64_t holder_type_id_ = 0;
  uint64_t foreign_holder_type_id_ = 0;
  std::string type_name_ = "[Undefined Type]";
  const std::string* registered_type_name_ = nullptr;
  const PacketType* same_as_ = nullptr;
  bool optional_ = false;
};

template <typename T>
PacketType& PacketType::Set() {
  initialized_ = true;
  no_packets_allowed_ = false;
  validate_method_ = &Packet::ValidateAsType<T>;
  holder_type_id_ = tool::GetTypeHash<packet_internal::Holder<T>>();
  foreign_holder_type_id_ = tool::GetTypeHash<packet_internal::ForeignHolder<T>>();
  type_name_ = PellumoTypeStringOrDemangled<T>();
  const PellumoTypeData* data = GetPellumoTypeData(tool::GetTypeHash<T>());
  registered_type_name_ = data == nullptr ? nullptr : &data->type_string;
  same_as_ = nullptr;
  return *this;
}

// The error policy of a packet type set: a lookup of an entry the set lacks gets a
// fallback packet type and is recorded, so that the contract check can report every
// missing entry at once (unless the contract marked it optional).
class PacketTypeSetErrorHandler {
 public:
  PacketType& GetFallback(const std::string& tag, int index);
  const PacketType& GetFallback(const std::string& tag, int index) const;

  // Whether any entry was missed, optional or not.
  bool HasError() const { return missing_ != nullptr; }
  // One text per missed entry that was not marked optional; only valid when HasError().
  // After this call a further miss is fatal.
  const std::vector<std::string>& ErrorMessages() const;

 private:
  struct Missing {
    // Keyed by "TAG:index".
    std::map<std::string, PacketType> entries;
    std::vector<std::string> errors;
    bool initialized_errors = false;
  };

  mutable std::unique_ptr<Missing> missing_;
};

// The packet types of one entry list of a contract.
using PacketTypeSet =
    internal::Collection<PacketType, internal::CollectionStorage::kValues,
                         PacketTypeSetErrorHandler>;

// OK when every entry the contract asked for exists (or was marked optional) and every
// entry got a type; otherwise INVALID_ARGUMENT listing each problem on a line of its own.
absl::Status ValidatePacketTypeSet(const PacketTypeSet& packet_type_set);

// Validates every packet against the type of the same id; both sets must have the same
// tags with the same counts. Failures name the entry and are combined into one status.
absl::Status ValidatePacketSet(const PacketTypeSet& packet_type_set,
                               const PacketSet& packet_set);

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_PACKET_TYPE_H_
