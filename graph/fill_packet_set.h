// Filling a component's side-packet set from the side packets known by name.

#ifndef QUILLMERE_GRAPH_FILL_PACKET_SET_H_
#define QUILLMERE_GRAPH_FILL_PACKET_SET_H_

#include <map>
#include <memory>
#include <string>

#include "base/statusor.h"
#include "graph/packet.h"
#include "graph/packet_set.h"
#include "graph/packet_type.h"

namespace kaldren {
namespace tool {

// The packet set over `input_side_packet_types`' tag map whose entries are the packets of
// `input_side_packets` of the entries' names, each validated against its entry's type.
// A name missing from the map is an error, unless `missing_packet_count` is given: then
// such entries stay empty and are counted there. Every failure is reported at once.
util::StatusOr<std::unique_ptr<PacketSet>> FillPacketSet(
    const PacketTypeSet& input_side_packet_types,
    const std::map<std::string, Packet>& input_side_packets, int* missing_packet_count);

}  // namespace tool
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_FILL_PACKET_SET_H_
