// How the graph reaches the static contract function of a registered calculator class
// without an object of it: REGISTER_CALCULATOR and REGISTER_LEGACY_CALCULATOR store, next to
// the class's factory, an accessor made from these templates.

#ifndef QUILLMERE_GRAPH_CALCULATOR_STATIC_ACCESS_H_
#define QUILLMERE_GRAPH_CALCULATOR_STATIC_ACCESS_H_

#include "base/status.h"
#include "graph/calculator_contract.h"
#include "graph/packet_type.h"
#include "graph/registration_macros.h"
#include "graph_config/calculator_options.pb.h"

namespace kaldren {
namespace internal {

// Reaches `T::GetContract(CalculatorContract*)` of a current-interface calculator class.
class StaticAccessToCalculatorBase {
 public:
  virtual ~StaticAccessToCalculatorBase() = default;
  virtual absl::Status GetContract(CalculatorContract* cc) = 0;
};

template <typename T>
class StaticAccessToCalculatorBaseTyped : public StaticAccessToCalculatorBase {
 public:
  absl::Status GetContract(CalculatorContract* cc) final { return T::GetContract(cc); }
};

}  // namespace internal
}  // namespace kaldren

namespace pellumo {
namespace internal {

// Reaches the static expectations function of a legacy calculator class.
class StaticAccessToCalculator {
 public:
  virtual ~StaticAccessToCalculator() = default;
  virtual absl::Status FillExpectations(const CalculatorOptions& extendable_options,
                                        kaldren::PacketTypeSet* inputs,
                                        kaldren::PacketTypeSet* outputs,
                                        kaldren::PacketTypeSet* input_side_packets) = 0;
};

template <typename T>
class StaticAccessToCalculatorTyped : public StaticAccessToCalculator {
 public:
  absl::Status FillExpectations(const CalculatorOptions& extendable_options,
                                kaldren::PacketTypeSet* inputs, kaldren::PacketTypeSet* outputs,
                                kaldren::PacketTypeSet* input_side_packets) final {
    return T::FillExpectations(extendable_options, inputs, outputs, input_side_packets);
  }
};

}  // namespace internal
}  // namespace pellumo

#endif  // QUILLMERE_GRAPH_CALCULATOR_STATIC_ACCESS_H_
