// The options a node runs with: those of its configuration, with the options an "OPTIONS"
// input side packet brings merged over them.
//
//   GlScalerCalculatorOptions options = kaldren::tool::RetrieveOptions(
//       cc->Options<GlScalerCalculatorOptions>(), cc->InputSidePackets());
//
// The side packet holds either the options message itself or a `pellumo::CalculatorOptions`
// whose extension of the options type is taken when it has one (nothing is merged otherwise,
// nor for a packet of any other type). Fields set in the side packet win; repeated fields are
// appended, as protocol-buffer merging does.

#ifndef QUILLMERE_GRAPH_TOOL_RETRIEVE_OPTIONS_H_
#define QUILLMERE_GRAPH_TOOL_RETRIEVE_OPTIONS_H_

#include <string>

#include "graph/packet.h"
#include "graph/packet_set.h"
#include "graph_config/calculator_options.pb.h"

namespace kaldren {
namespace tool {

// `base` with the options of `options_packet` merged over it.
template <typename T>
T RetrieveOptions(const T& base, const Packet& options_packet) {
  T result = base;
  if (options_packet.ValidateAsType<T>().ok()) {
    result.MergeFrom(options_packet.Get<T>());
  } else if (options_packet.ValidateAsType<pellumo::CalculatorOptions>().ok()) {
    const auto& carrier = options_packet.Get<pellumo::CalculatorOptions>();
    if (carrier.HasExtension(T::ext)) result.MergeFrom(carrier.GetExtension(T::ext));
  }
  return result;
}

// `base` with the options of the side packet of `tag` merged over it; `base` itself when the
// node has no such side packet.
template <typename T>
T RetrieveOptions(const T& base, const PacketSet& side_packets,
                  const std::string& tag = "OPTIONS") {
  if (!side_packets.HasTag(tag)) return base;
  return RetrieveOptions(base, side_packets.Tag(tag));
}

}  // namespace tool
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_TOOL_RETRIEVE_OPTIONS_H_
