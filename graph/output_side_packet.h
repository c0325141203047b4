// The output side packet a calculator sets: one packet without timestamp per run.
//
// Nothing here returns an error to the calculator: a refused value changes nothing and its
// status goes to the side packet's error callback, which makes it an error of the run.

#ifndef QUILLMERE_GRAPH_OUTPUT_SIDE_PACKET_H_
#define QUILLMERE_GRAPH_OUTPUT_SIDE_PACKET_H_

#include "graph/packet.h"
#include "graph_config/collection.h"

namespace kaldren {

class OutputSidePacket {
 public:
  OutputSidePacket() = default;
  OutputSidePacket(const OutputSidePacket&) = delete;
  OutputSidePacket& operator=(const OutputSidePacket&) = delete;
  virtual ~OutputSidePacket() = default;

  // Sets the value of this run; once per run.
  virtual void Set(const Packet& packet) = 0;
};

// A node's output side packets by tag and index; the graph owns the side packets.
using OutputSidePacketSet =
    internal::Collection<OutputSidePacket, internal::CollectionStorage::kPointers>;

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_OUTPUT_SIDE_PACKET_H_
