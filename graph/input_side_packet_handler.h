// The input side packets of one node: filled at the start of a run from the side packets
// the graph already knows, the rest set later by the producing nodes. When the last missing
// one arrives the handler tells the node, which can then be opened.

#ifndef QUILLMERE_GRAPH_INPUT_SIDE_PACKET_HANDLER_H_
#define QUILLMERE_GRAPH_INPUT_SIDE_PACKET_HANDLER_H_

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/logging.h"
#include "base/status.h"
#include "graph/packet.h"
#include "graph/packet_set.h"
#include "graph/packet_type.h"
#include "graph_config/collection.h"
#include "graph_config/collection_item_id.h"

namespace kaldren {

class InputSidePacketHandler {
 public:
  InputSidePacketHandler() = default;
  InputSidePacketHandler(const InputSidePacketHandler&) = delete;
  InputSidePacketHandler& operator=(const InputSidePacketHandler&) = delete;

  // Starts a run. The current packets become the previous ones; the new set takes every
  // side packet named in `all_side_packets` and counts the ones still missing. On failure
  // the status is returned and the handler holds no current set. `input_side_packet_types`
  // is not owned. `ready` is called once, by the Set that fills the last missing entry;
  // errors of Set go to `error_callback`.
  absl::Status PrepareForRun(const PacketTypeSet* input_side_packet_types,
                             const std::map<std::string, Packet>& all_side_packets,
                             std::function<void()> input_side_packets_ready_callback,
                             std::function<void(const absl::Status&)> error_callback);

  // Fills the entry `id` (which must exist) with `packet`: refused through the error
  // callback when nothing is missing, when the entry is already filled, or when the packet
  // does not match the entry's type. Producers of different side packets may call this
  // from different threads.
  void Set(CollectionItemId id, const Packet& packet);

  // False only when this run's packets are the very same packets (shared payloads) as the
  // previous run's; equal values in new packets count as changed.
  bool InputSidePacketsChanged() const;

  // This run's packets; there are none after a failed PrepareForRun (fatal then).
  const PacketSet& InputSidePackets() const {
    CHECK(input_side_packets_);
    return *input_side_packets_;
  }
  int MissingInputSidePacketCount() const { return missing_input_side_packet_count_.load(); }

 private:
  absl::Status SetInternal(CollectionItemId id, const Packet& packet);
  void TriggerErrorCallback(const absl::Status& status) const;

  const PacketTypeSet* input_side_packet_types_ = nullptr;
  std::unique_ptr<PacketSet> input_side_packets_;
  std::unique_ptr<PacketSet> prev_input_side_packets_;
  std::atomic<int> missing_input_side_packet_count_{0};
  std::function<void()> input_side_packets_ready_callback_;
  std::function<void(const absl::Status&)> error_callback_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_INPUT_SIDE_PACKET_HANDLER_H_
