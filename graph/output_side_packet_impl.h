// The graph's output side packet: checked, stored, and handed to every consuming node.

#ifndef QUILLMERE_GRAPH_OUTPUT_SIDE_PACKET_IMPL_H_
#define QUILLMERE_GRAPH_OUTPUT_SIDE_PACKET_IMPL_H_

#include <functional>
#include <string>
#include <vector>

#include "base/status.h"
#include "graph/input_side_packet_handler.h"
#include "graph/output_side_packet.h"
#include "graph/packet.h"
#include "graph/packet_type.h"
#include "graph_config/collection_item_id.h"

namespace kaldren {

class OutputSidePacketImpl : public OutputSidePacket {
 public:
  OutputSidePacketImpl() = default;

  // Stores the name and the type every value is checked against (not owned). Once per
  // graph; always OK.
  absl::Status Initialize(const std::string& name, const PacketType* packet_type);

  // Starts a run: errors of Set go to `error_callback`, and the side packet may be set
  // again. The value of the previous run stays readable until then.
  void PrepareForRun(std::function<void(const absl::Status&)> error_callback);

  // Checks and stores `packet` and hands it to every consumer, in the order they were
  // added. A second value in one run, an empty packet, a packet with a timestamp or one of
  // the wrong type is refused through the error callback and reaches no consumer.
  void Set(const Packet& packet) override;

  // Adds a consumer: the input side packet `id` of `input_side_packet_handler` (not null).
  void AddMirror(InputSidePacketHandler* input_side_packet_handler, CollectionItemId id);

  const std::string& Name() const { return name_; }
  // The value last set (also from an earlier run), or an empty packet.
  const Packet& GetPacket() const { return packet_; }

 private:
  // The consumer of one input side packet.
  struct Mirror {
    Mirror(InputSidePacketHandler* handler, CollectionItemId id)
        : input_side_packet_handler(handler), id(id) {}
    InputSidePacketHandler* const input_side_packet_handler;
    const CollectionItemId id;
  };

  absl::Status SetInternal(const Packet& packet);
  void TriggerErrorCallback(const absl::Status& status) const;

  std::string name_;
  const PacketType* packet_type_ = nullptr;
  std::function<void(const absl::Status&)> error_callback_;
  Packet packet_;
  bool initialized_ = false;
  std::vector<Mirror> mirrors_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_OUTPUT_SIDE_PACKET_IMPL_H_
