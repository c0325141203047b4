// A set of packets addressed by tag and index: side packets, and the inputs and outputs of
// packet generators. A lookup of an entry the set lacks is fatal.

#ifndef QUILLMERE_GRAPH_PACKET_SET_H_
#define QUILLMERE_GRAPH_PACKET_SET_H_

#include "graph/packet.h"
#include "graph_config/collection.h"

namespace kaldren {

using PacketSet = internal::Collection<Packet>;

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_PACKET_SET_H_
