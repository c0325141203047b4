// A calculator that turns input side packets into packets on output streams, registered
// as "SidePacketsToStreamsCalculator".
//
// Untagged input side packet i feeds untagged output stream i. By default each side packet
// holds a std::vector<Packet> whose elements are emitted in order, at timestamps 0, 1, 2...;
// the options (SidePacketsToStreamsCalculatorOptions) can emit each side packet itself and
// choose PreStream, PostStream or the packets' own timestamps. The node is a source: its
// first Process emits everything and stops.

#ifndef QUILLMERE_GRAPH_TOOL_SOURCE_H_
#define QUILLMERE_GRAPH_TOOL_SOURCE_H_

#include "base/status.h"
#include "graph/calculator.h"

namespace kaldren {
namespace tool {

class SidePacketsToStreamsCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc);

  absl::Status Process(CalculatorContext* cc) override;
};

}  // namespace tool
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_TOOL_SOURCE_H_
