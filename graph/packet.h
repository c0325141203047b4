// Packets: a timestamp and a shared, immutable, type-erased payload.
//
// A packet never changes its payload; copies share it (the holder is reference
// counted), and the last copy to go deletes it. `MakePacket<T>(args...)` and
// `Adopt(new T(...))` make packets; `Get<T>()` reads the payload and ends the process
// on a wrong or empty packet, so code that cannot be sure of the type asks
// `ValidateAsType<T>()` first. `Consume<T>()` takes the payload back out of a packet that
// is its only owner.

#ifndef QUILLMERE_GRAPH_PACKET_H_
#define QUILLMERE_GRAPH_PACKET_H_

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "base/logging.h"
#include "base/status.h"
#include "base/statusor.h"
#include "google/protobuf/message_lite.h"
#include "graph/timestamp.h"
#include "graph/type_map.h"

namespace kaldren {

namespace proto_ns = ::google::protobuf;

class Packet;

namespace packet_internal {

template <typename T>
class Holder;
template <typename T>
class ForeignHolder;

// The type-erased payload of a packet.
class HolderBase {
 public:
  HolderBase(const HolderBase&) = delete;
  HolderBase& operator=(const HolderBase&) = delete;
  virtual ~HolderBase();

  // A readable name of the payload type.
  virtual std::string DebugTypeName() const = 0;
  // The registered name of the payload type, empty when it is not registered.
  virtual std::string RegisteredTypeName() const = 0;
  // The type id of the payload type.
  virtual uint64_t GetTypeId() const = 0;
  // The payload as a protocol-buffer message, or null when it is not one.
  virtual const proto_ns::MessageLite* GetProtoMessageLite() const = 0;

  // This holder as a holder of T, or null when it holds another type. Compares one
  // stored word; allocates nothing.
  template <typename T>
  const Holder<T>* As() const {
    if (holder_type_id_ == tool::GetTypeHash<Holder<T>>() ||
        holder_type_id_ == tool::GetTypeHash<ForeignHolder<T>>()) {
      return static_cast<const Holder<T>*>(this);
    }
    return nullptr;
  }

  // The identity of the concrete holder class, as As<T>() compares it.
  uint64_t HolderTypeId() const { return holder_type_id_; }

 protected:
  explicit HolderBase(uint64_t holder_type_id) : holder_type_id_(holder_type_id) {}

 private:
  // The identity of the concrete holder class.
  const uint64_t holder_type_id_;
};

template <typename T>
class Holder : public HolderBase {
 public:
  // Takes ownership of `ptr`.
  explicit Holder(const T* ptr) : Holder(ptr, tool::GetTypeHash<Holder<T>>()) {}
  ~Holder() override { delete ptr_; }

  const T& data() const { return *ptr_; }
  // Gives up the payload; the holder then owns nothing.
  std::unique_ptr<T> Release() {
    std::unique_ptr<T> released(const_cast<T*>(ptr_));
    ptr_ = nullptr;
    return released;
  }

  std::string DebugTypeName() const override { return PellumoTypeStringOrDemangled<T>(); }
  std::string RegisteredTypeName() const override {
    const PellumoTypeData* data = GetPellumoTypeData(tool::GetTypeHash<T>());
    return data == nullptr ? std::string() : data->type_string;
  }
  uint64_t GetTypeId() const override { return tool::GetTypeHash<T>(); }
  const proto_ns::MessageLite* GetProtoMessageLite() const override {
    if constexpr (std::is_base_of_v<proto_ns::MessageLite, T>) {
      return ptr_;
    } else {
      return nullptr;
    }
  }

 protected:
  Holder(const T* ptr, uint64_t holder_type_id) : HolderBase(holder_type_id), ptr_(ptr) {}

 private:
  const T* ptr_;
};

// A second holder class for a payload of type T; `As<T>()` accepts it like Holder<T>.
template <typename T>
class ForeignHolder : public Holder<T> {
 public:
  explicit ForeignHolder(const T* ptr) : Holder<T>(ptr, tool::GetTypeHash<ForeignHolder<T>>()) {}
};

// Takes ownership of `holder` in a new packet with timestamp `t` (Unset by default).
Packet Create(HolderBase* holder);
Packet Create(HolderBase* holder, Timestamp t);

// The packet's holder, null for an empty packet; the reference count is not touched.
inline const HolderBase* GetHolder(const Packet& packet);

}  // namespace packet_internal

class Packet {
 public:
  // An empty packet with timestamp Unset.
  Packet() = default;
  // Copies share the payload and copy the timestamp.
  Packet(const Packet& packet);
  Packet& operator=(const Packet& packet) {
    holder_ = packet.holder_;  // safe for self-assignment
    timestamp_ = packet.timestamp_;
    return *this;
  }
  // Moves take payload and timestamp; the source becomes empty with timestamp Unset. Every
  // packet is moved several times on its way through a node, so these stay inline.
  Packet(Packet&& packet) noexcept
      : holder_(std::move(packet.holder_)), timestamp_(packet.timestamp_) {
    packet.timestamp_ = kaldren::Timestamp::Unset();
  }
  Packet& operator=(Packet&& packet) noexcept {
    // Safe for self-assignment without a test: shared_ptr's move-assignment is defined
    // through a temporary and a swap, and the timestamp is read before the source's is reset.
    const class Timestamp timestamp = packet.timestamp_;
    packet.timestamp_ = kaldren::Timestamp::Unset();
    holder_ = std::move(packet.holder_);
    timestamp_ = timestamp;
    return *this;
  }

  // A packet sharing this payload, with timestamp `timestamp`.
  Packet At(class Timestamp timestamp) const&;
  Packet At(class Timestamp timestamp) &&;

  bool IsEmpty() const { return holder_ == nullptr; }

  // The payload; ends the process unless the packet holds a T.
  template <typename T>
  const T& Get() const;

  // OK when the packet holds a T; INTERNAL for an empty packet, INVALID_ARGUMENT for
  // another payload type.
  template <typename T>
  absl::Status ValidateAsType() const;

  // Takes the payload out as an owned object and leaves this packet empty (timestamp kept).
  // FAILED_PRECONDITION when another packet shares the payload, and the errors of
  // ValidateAsType<T>() for an empty packet or another type; the packet is unchanged then.
  template <typename T>
  util::StatusOr<std::unique_ptr<T>> Consume();

  absl::Status ValidateAsProtoMessageLite() const;
  // The payload as a message; ends the process when it is not one.
  const proto_ns::MessageLite& GetProtoMessageLite() const;

  // The registered name of the payload type ("" when empty or unregistered).
  std::string RegisteredTypeName() const;
  // A readable name of the payload type ("{empty}" when empty).
  std::string DebugTypeName() const;
  std::string DebugString() const;

  class Timestamp Timestamp() const { return timestamp_; }

 private:
  friend Packet packet_internal::Create(packet_internal::HolderBase* holder);
  friend Packet packet_internal::Create(packet_internal::HolderBase* holder,
                                        class Timestamp t);
  friend const packet_internal::HolderBase* packet_internal::GetHolder(const Packet& packet);

  std::shared_ptr<packet_internal::HolderBase> holder_;
  class Timestamp timestamp_;
};

namespace packet_internal {
inline const HolderBase* GetHolder(const Packet& packet) { return packet.holder_.get(); }
}  // namespace packet_internal

// A new packet owning `ptr` (which must not be null), with timestamp Unset.
template <typename T>
Packet Adopt(const T* ptr) {
  CHECK(ptr != nullptr);
  return packet_internal::Create(new packet_internal::Holder<T>(ptr));
}

// A new packet owning a T made from `args`, with timestamp Unset.
template <typename T, typename... Args>
Packet MakePacket(Args&&... args) {
  return Adopt(new T(std::forward<Args>(args)...));
}

template <typename T>
absl::Status Packet::ValidateAsType() const {
  if (holder_ == nullptr) {
    return absl::InternalError("Expected a Packet of type: " + PellumoTypeStringOrDemangled<T>() +
                               ", but received an empty Packet.");
  }
  if (holder_->As<T>() != nullptr) return absl::OkStatus();
  return absl::InvalidArgumentError("The Packet stores \"" + holder_->DebugTypeName() +
                                    "\", but \"" + PellumoTypeStringOrDemangled<T>() +
                                    "\" was requested.");
}

template <typename T>
const T& Packet::Get() const {
  const packet_internal::Holder<T>* holder =
      holder_ == nullptr ? nullptr : holder_->As<T>();
  if (holder == nullptr) {
    LOG(FATAL) << "Packet::Get() failed: " << ValidateAsType<T>().message();
  }
  return holder->data();
}

template <typename T>
util::StatusOr<std::unique_ptr<T>> Packet::Consume() {
  absl::Status valid = ValidateAsType<T>();
  if (!valid.ok()) return valid;
  // Packets on other threads may copy this one only through a packet that shares the holder,
  // which the count below sees; a count of one means no other packet can reach the payload.
  if (holder_.use_count() != 1) {
    return absl::FailedPreconditionError("Packet isn't the sole owner of the holder.");
  }
  auto* holder = const_cast<packet_internal::Holder<T>*>(holder_->As<T>());
  std::unique_ptr<T> payload = holder->Release();
  holder_.reset();
  return payload;
}

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_PACKET_H_
