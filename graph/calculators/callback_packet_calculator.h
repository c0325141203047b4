// A calculator that hands out, as its output side packet, a function writing packets into
// an object of the caller: appending every packet to a std::vector<Packet>, or keeping the
// packet at Timestamp::PostStream() in a Packet. The sink helpers (graph/tool/sink.h) add
// it together with a callback node that calls the function for a stream's packets.
//
// The options name the object by its address as text. Options can come from a
// configuration file, so an address is honoured only when a sink helper of this process
// registered it for that kind of object (RegisterCallbackPacketTarget): a forged or stale
// text cannot make the node write into arbitrary memory. Registering lives here so that
// every program that uses the sink helpers also links this calculator.

#ifndef QUILLMERE_GRAPH_CALCULATORS_CALLBACK_PACKET_CALCULATOR_H_
#define QUILLMERE_GRAPH_CALCULATORS_CALLBACK_PACKET_CALCULATOR_H_

#include "base/status.h"
#include "graph/calculator.h"
#include "graph/calculators/callback_packet_calculator.pb.h"

namespace kaldren {

// Allows callback-packet nodes to write objects of kind `type` at `target` from now on, for
// the rest of the process. `target` must not be null.
void RegisterCallbackPacketTarget(pellumo::CallbackPacketCalculatorOptions::PointerType type,
                                  const void* target);

// Whether `target` was registered for `type`.
bool IsRegisteredCallbackPacketTarget(
    pellumo::CallbackPacketCalculatorOptions::PointerType type, const void* target);

class CallbackPacketCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc);

  absl::Status Open(CalculatorContext* cc) override;
  absl::Status Process(CalculatorContext* cc) override;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATORS_CALLBACK_PACKET_CALCULATOR_H_
