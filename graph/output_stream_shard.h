// One output stream as one invocation writes it, and the stream's shared OutputStreamSpec.
//
// `OutputStreamSpec` belongs to the stream's `OutputStreamManager` and is shared by every
// shard of the stream: name, packet type, error callback, header and output offset.
// A shard collects what the calculator writes in one invocation (packets, the bound, the
// closing, and during Open the header and offset), checking each call; the manager then
// carries the result downstream.

#ifndef QUILLMERE_GRAPH_OUTPUT_STREAM_SHARD_H_
#define QUILLMERE_GRAPH_OUTPUT_STREAM_SHARD_H_

#include <functional>
#include <list>
#include <string>
#include <utility>

#include "base/status.h"
#include "graph/output_stream.h"
#include "graph/packet.h"
#include "graph/packet_type.h"
#include "graph/timestamp.h"
#include "graph_config/collection.h"

namespace kaldren {

class OutputStreamManager;

struct OutputStreamSpec {
  // Reports `status` to the error callback, which must be set (fatal otherwise).
  void TriggerErrorCallback(const absl::Status& status) const;

  std::string name;
  // Every output packet is validated against it; not owned.
  const PacketType* packet_type = nullptr;
  // The end of packet_type's same-as chain, taken when a run is prepared: it accepts exactly
  // what packet_type does, without walking the chain for every packet.
  const PacketType* packet_type_root = nullptr;
  std::function<void(const absl::Status&)> error_callback;
  // Set once the node has opened and propagated its header; afterwards header and offset
  // can no longer change.
  bool locked_intro_data = false;
  bool offset_enabled = false;
  TimestampDiff offset;
  Packet header;
};

class OutputStreamShard final : public OutputStream {
 public:
  OutputStreamShard() = default;

  // Binds the shard to its stream (not null: fatal otherwise).
  void SetSpec(OutputStreamSpec* output_stream_spec);

  const std::string& Name() const override;

  // Queues the packet and moves the bound past it. A closed stream, an empty packet, a
  // timestamp no stream accepts or a payload of the wrong type is refused. Calculators
  // call these for every packet they output, so the accepting path is inline and the
  // refusals are out of line.
  void AddPacket(const Packet& packet) override {
    if (!IsAcceptable(packet)) [[unlikely]] {
      if (!ReportRefusal(packet)) return;
    }
    Enqueue(packet);
  }
  void AddPacket(Packet&& packet) override {
    if (!IsAcceptable(packet)) [[unlikely]] {
      if (!ReportRefusal(packet)) return;
    }
    Enqueue(std::move(packet));
  }

  // Any bound but Done, Unset and Unstarted is stored, also a lower one; a bound that
  // ends up below a consumer's bound is refused there.
  void SetNextTimestampBound(Timestamp bound) override;
  Timestamp NextTimestampBound() const override { return next_timestamp_bound_; }

  void Close() override;
  bool IsClosed() const override { return closed_; }

  void SetOffset(TimestampDiff offset) override;
  bool OffsetEnabled() const override;
  TimestampDiff Offset() const override;

  void SetHeader(const Packet& header) override;
  const Packet& Header() const override;

  // Whether no packet was added in this invocation.
  bool IsEmpty() const { return output_queue_.empty(); }
  // The timestamp of the last queued packet, Unset when there is none.
  Timestamp LastAddedPacketTimestamp() const {
    return output_queue_.empty() ? Timestamp::Unset() : output_queue_.back().Timestamp();
  }

  // Empties the shard and starts it from the stream's bound and closed state.
  void Reset(Timestamp next_timestamp_bound, bool close) {
    // Propagation has usually emptied the queue already.
    if (!output_queue_.empty()) [[unlikely]] DropQueuedPackets();
    next_timestamp_bound_ = next_timestamp_bound;
    closed_ = close;
  }

 private:
  friend class OutputStreamManager;

  // Whether every add check passes: an open shard, a packet with a payload, a timestamp a
  // stream may carry, and a payload of the stream's type.
  bool IsAcceptable(const Packet& packet) const {
    return !closed_ && !packet.IsEmpty() && packet.Timestamp().IsAllowedInStream() &&
           output_stream_spec_->packet_type_root->Accepts(packet);
  }
  // The add checks in order; OK when `packet` may be queued.
  absl::Status AddPacketCheck(const Packet& packet) const;
  // For a packet IsAcceptable refused: runs the add checks and reports the first failure
  // to the error callback. Returns whether the packet may be queued after all (never, as
  // long as the two agree).
  [[gnu::noinline]] bool ReportRefusal(const Packet& packet) const;

  // Queues `packet` in a spare list node when there is one, and moves the bound past it.
  template <typename P>
  void Enqueue(P&& packet) {
    if (spare_nodes_.empty()) [[unlikely]] {
      output_queue_.push_back(std::forward<P>(packet));
    } else {
      output_queue_.splice(output_queue_.end(), spare_nodes_, spare_nodes_.begin());
      output_queue_.back() = std::forward<P>(packet);
    }
    next_timestamp_bound_ = output_queue_.back().Timestamp().NextAllowedInStream();
  }
  // Empties the queue, keeping its list nodes as spares: a stream usually carries a packet
  // or a few per invocation, and reusing the nodes spares an allocation per packet.
  void ClearOutputQueue() {
    // The packets go now, as clearing the list would drop them; their nodes stay for
    // reuse. Packets the consumers took are empty already.
    for (Packet& packet : output_queue_) {
      if (!packet.IsEmpty()) [[unlikely]] ReleasePacket(&packet);
    }
    spare_nodes_.splice(spare_nodes_.end(), output_queue_);
  }
  [[gnu::noinline]] static void ReleasePacket(Packet* packet);
  // ClearOutputQueue out of line, for the rare reset of a shard that still holds packets.
  [[gnu::noinline]] void DropQueuedPackets();

  std::list<Packet>* OutputQueue() { return &output_queue_; }
  const std::list<Packet>& OutputQueue() const { return output_queue_; }

  OutputStreamSpec* output_stream_spec_ = nullptr;
  std::list<Packet> output_queue_;
  // Empty packets in nodes that left output_queue_, reused by Enqueue.
  std::list<Packet> spare_nodes_;
  bool closed_ = false;
  Timestamp next_timestamp_bound_ = Timestamp::Unset();
};

using OutputStreamShardSet = internal::Collection<OutputStreamShard>;

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_OUTPUT_STREAM_SHARD_H_
