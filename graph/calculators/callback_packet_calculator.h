// A calculator that hands out, as its output side packet, a function writing packets into
// an object of the caller: appending every packet to a std::vector<Packet>, or keeping the
// packet at Timestamp::PostStream() in a Packet. The sink helpers (graph/tool/sink.h) add
// it together with a callback node that calls the function for a stream's packets.
//
// The options name the object by its address as text. Only addresses that a sink helper of
// this process registered for that kind of object are accepted (see
// callback_packet_target.h).

#ifndef QUILLMERE_GRAPH_CALCULATORS_CALLBACK_PACKET_CALCULATOR_H_
#define QUILLMERE_GRAPH_CALCULATORS_CALLBACK_PACKET_CALCULATOR_H_

#include "base/status.h"
#include "graph/calculator_base.h"
#include "graph/calculator_contract.h"

namespace kaldren {

class CallbackPacketCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc);

  absl::Status Open(CalculatorContext* cc) override;
  absl::Status Process(CalculatorContext* cc) override;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATORS_CALLBACK_PACKET_CALCULATOR_H_
