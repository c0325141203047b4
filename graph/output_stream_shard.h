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
  std::function<void(const absl::Status&)> error_callback;
  // Set once the node has opened and propagated its header; afterwards header and offset
  // can no longer change.
  bool locked_intro_data = false;
  bool offset_enabled = false;
  TimestampDiff offset;
  Packet header;
};

class OutputStreamShard : public OutputStream {
 public:
  OutputStreamShard() = default;

  // Binds the shard to its stream (not null: fatal otherwise).
  void SetSpec(OutputStreamSpec* output_stream_spec);

  const std::string& Name() const override;

  // Queues the packet and moves the bound past it. A closed stream, an empty packet, a
  // timestamp no stream accepts or a payload of the wrong type is refused.
  void AddPacket(const Packet& packet) override;
  void AddPacket(Packet&& packet) override;

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
    if (!output_queue_.empty()) ClearOutputQueue();
    next_timestamp_bound_ = next_timestamp_bound;
    closed_ = close;
  }

 private:
  friend class OutputStreamManager;

  // The add checks; OK when `packet` may be queued.
  absl::Status AddPacketCheck(const Packet& packet) const;
  // Moves the bound past the packet just queued.
  void AfterAddPacket();

  // Queues `packet` in a spare list node when there is one.
  template <typename P>
  void Enqueue(P&& packet);
  // Empties the queue, keeping its list nodes as spares: a stream usually carries a packet
  // or a few per invocation, and reusing the nodes spares an allocation per packet.
  void ClearOutputQueue();

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
