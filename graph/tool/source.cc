#include "graph/tool/source.h"

#include <vector>

#include "base/status.h"
#include "graph/calculator.h"
#include "graph/tool/source.pb.h"
#include "graph_config/status_util.h"

namespace kaldren {
namespace tool {

using pellumo::SidePacketsToStreamsCalculatorOptions;

absl::Status SidePacketsToStreamsCalculator::GetContract(CalculatorContract* cc) {
  const auto& options = cc->Options<SidePacketsToStreamsCalculatorOptions>();
  if (options.has_num_inputs() &&
      (options.num_inputs() != cc->InputSidePackets().NumEntries() ||
       options.num_inputs() != cc->Outputs().NumEntries())) {
    return absl::InvalidArgumentError(
        "If num_inputs is specified it must be equal to the number of input side packets "
        "and output streams.");
  }
  if (!options.vectors_of_packets() &&
      options.set_timestamp() == SidePacketsToStreamsCalculatorOptions::NONE) {
    return absl::InvalidArgumentError(
        "If set_timestamp is NONE, vectors_of_packets must not be false.");
  }
  const int count = cc->InputSidePackets().NumEntries();
  for (int i = 0; i < count; ++i) {
    if (options.vectors_of_packets()) {
      cc->InputSidePackets().Index(i).Set<std::vector<Packet>>();
    } else {
      cc->InputSidePackets().Index(i).SetAny();
    }
  }
  for (int i = 0; i < count; ++i) {
    if (options.vectors_of_packets()) {
      cc->Outputs().Index(i).SetAny();
    } else {
      cc->Outputs().Index(i).SetSameAs(&cc->InputSidePackets().Index(i));
    }
  }
  return absl::OkStatus();
}

absl::Status SidePacketsToStreamsCalculator::Process(CalculatorContext* cc) {
  const auto& options = cc->Options<SidePacketsToStreamsCalculatorOptions>();
  const int num_side_packets = cc->InputSidePackets().NumEntries();
  int count = 1;
  if (options.vectors_of_packets()) {
    if (num_side_packets == 0) return StatusStop();
    count = cc->InputSidePackets().Index(0).Get<std::vector<Packet>>().size();
    for (int j = 1; j < num_side_packets; ++j) {
      if (cc->InputSidePackets().Index(j).Get<std::vector<Packet>>().size() !=
          static_cast<size_t>(count)) {
        return absl::InvalidArgumentError(
            "The specified input side packets contain vectors of different sizes.");
      }
    }
    if (count < 1) return StatusStop();
  }
  for (int i = 0; i < count; ++i) {
    for (int j = 0; j < num_side_packets; ++j) {
      const Packet& side_packet = cc->InputSidePackets().Index(j);
      const Packet& packet = options.vectors_of_packets()
                                 ? side_packet.Get<std::vector<Packet>>()[i]
                                 : side_packet;
      switch (options.set_timestamp()) {
        case SidePacketsToStreamsCalculatorOptions::WHOLE_STREAM:
          cc->Outputs().Index(j).AddPacket(packet.At(Timestamp::PostStream()));
          break;
        case SidePacketsToStreamsCalculatorOptions::PRE_STREAM:
          cc->Outputs().Index(j).AddPacket(packet.At(Timestamp::PreStream()));
          break;
        case SidePacketsToStreamsCalculatorOptions::VECTOR_INDEX:
          cc->Outputs().Index(j).AddPacket(packet.At(Timestamp(i)));
          break;
        default:
          cc->Outputs().Index(j).AddPacket(packet);
          break;
      }
    }
  }
  return StatusStop();
}

REGISTER_CALCULATOR(SidePacketsToStreamsCalculator);

}  // namespace tool
}  // namespace kaldren
