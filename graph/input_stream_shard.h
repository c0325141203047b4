// One input stream as one invocation sees it.
//
// The input stream handler fills a shard per stream and invocation: it names the shard
// after the stream's manager, copies the header, appends the packet popped for the
// input timestamp with the stream's done flag, and drops that packet again when the
// invocation ends. The calculator reads the front packet through `Value()`.

#ifndef QUILLMERE_GRAPH_INPUT_STREAM_SHARD_H_
#define QUILLMERE_GRAPH_INPUT_STREAM_SHARD_H_

#include <string>
#include <utility>

#include "base/logging.h"
#include "graph/input_stream.h"
#include "graph/packet.h"
#include "graph/ring_deque.h"
#include "graph_config/collection.h"

namespace kaldren {

class InputStreamShard final : public InputStream {
 public:
  InputStreamShard() = default;

  // The front packet, or an empty packet when the shard holds none.
  const Packet& Value() const override {
    return packet_queue_.empty() ? empty_packet_ : packet_queue_.front();
  }
  Packet& Value() override {
    return packet_queue_.empty() ? empty_packet_ : packet_queue_.front();
  }
  bool IsDone() const override { return is_done_; }

  // The stream's name; the shard points at its manager's string. Empty until set.
  const std::string& Name() const;
  void SetName(const std::string* name) { name_ = name; }
  void SetHeader(const Packet& header) { header_ = header; }

  // Appends `value` and takes over `is_done`. Once the shard is done only empty packets
  // may follow (fatal otherwise).
  void AddPacket(Packet&& value, bool is_done) {
    CHECK(!is_done_ || value.IsEmpty());
    packet_queue_.push_back(std::move(value));
    is_done_ = is_done;
  }

  // Drops the front packet, if any; called when an invocation ends.
  void ClearCurrentPacket() {
    if (!packet_queue_.empty()) packet_queue_.pop_front();
  }

 private:
  internal::RingDeque<Packet> packet_queue_;
  Packet empty_packet_;
  bool is_done_ = false;
  const std::string* name_ = nullptr;
};

using InputStreamShardSet = internal::Collection<InputStreamShard>;

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_INPUT_STREAM_SHARD_H_
