// Everything a calculator's source file needs: the calculator base class, the contract its
// static `GetContract` fills, the context of each call, packets and timestamps, and the
// macros that register the class by name.
//
// A calculator declares its streams in `GetContract`, which the graph calls through the
// registration before any object exists, and then handles one input set per `Process` call
// (`Open` and `Close` run once per graph run). The graph never runs two calls of one node at
// once. A source file includes this header, defines the class and registers it at namespace
// scope, after the class is complete:
//
//   #include "graph/calculator.h"
//
//   // Adds a constant, taken from an input side packet, to every integer it receives.
//   class AddConstantCalculator : public kaldren::CalculatorBase {
//    public:
//     static absl::Status GetContract(kaldren::CalculatorContract* cc) {
//       cc->Inputs().Tag("IN").Set<int>();
//       cc->InputSidePackets().Tag("CONSTANT").Set<int>();
//       cc->Outputs().Tag("OUT").Set<int>();
//       return absl::OkStatus();
//     }
//     absl::Status Process(kaldren::CalculatorContext* cc) override {
//       const int value = cc->Inputs().Tag("IN").Value().Get<int>();
//       const int constant = cc->InputSidePackets().Tag("CONSTANT").Get<int>();
//       cc->Outputs().Tag("OUT").AddPacket(
//           kaldren::MakePacket<int>(value + constant).At(cc->InputTimestamp()));
//       return absl::OkStatus();
//     }
//   };
//   REGISTER_CALCULATOR(AddConstantCalculator);
//
// A graph configuration then names it as `calculator: "AddConstantCalculator"`.

#ifndef QUILLMERE_GRAPH_CALCULATOR_H_
#define QUILLMERE_GRAPH_CALCULATOR_H_

#include "base/status.h"
#include "graph/calculator_base.h"
#include "graph/calculator_context.h"
#include "graph/calculator_contract.h"
#include "graph/calculator_static_access.h"
#include "graph/packet.h"
#include "graph/registration_macros.h"
#include "graph/timestamp.h"

#endif  // QUILLMERE_GRAPH_CALCULATOR_H_
