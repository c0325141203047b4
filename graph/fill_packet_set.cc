#include "graph/fill_packet_set.h"

#include <vector>

#include "base/status_builder.h"
#include "graph_config/status_util.h"

namespace kaldren {
namespace tool {

util::StatusOr<std::unique_ptr<PacketSet>> FillPacketSet(
    const PacketTypeSet& input_side_packet_types,
    const std::map<std::string, Packet>& input_side_packets, int* missing_packet_count) {
  if (missing_packet_count != nullptr) *missing_packet_count = 0;
  std::vector<absl::Status> errors;
  auto packets = std::make_unique<PacketSet>(input_side_packet_types.GetTagMap());
  const std::vector<std::string>& names = input_side_packet_types.GetTagMap()->Names();
  for (CollectionItemId id = input_side_packet_types.BeginId();
       id < input_side_packet_types.EndId(); ++id) {
    const std::string& name = names[id.Value()];
    auto iter = input_side_packets.find(name);
    if (iter == input_side_packets.end()) {
      if (missing_packet_count != nullptr) {
        ++*missing_packet_count;
      } else {
        errors.push_back(util::InvalidArgumentErrorBuilder()
                         << "Missing input side packet: " << name);
      }
      continue;
    }
    packets->Get(id) = iter->second;
    absl::Status status = input_side_packet_types.Get(id).Validate(iter->second);
    if (!status.ok()) {
      const auto [tag, index] = input_side_packet_types.TagAndIndexFromId(id);
      errors.push_back(util::StatusBuilder(status).SetPrepend()
                       << "Packet \"" << name << "\" with tag \"" << tag << "\" and index "
                       << index << " failed validation.  ");
    }
  }
  if (!errors.empty()) return CombinedStatus("FillPacketSet failed:", errors);
  return packets;
}

}  // namespace tool
}  // namespace kaldren
