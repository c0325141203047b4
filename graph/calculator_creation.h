// Finding the calculator class that a node names: whether it is a legacy calculator, and
// running its static contract function on the node's contract.

#ifndef QUILLMERE_GRAPH_CALCULATOR_CREATION_H_
#define QUILLMERE_GRAPH_CALCULATOR_CREATION_H_

#include <string>

#include "base/status.h"
#include "graph/calculator_contract.h"

namespace kaldren {

// Whether `node_class`, resolved within `package`, is registered as a legacy calculator.
bool IsLegacyCalculator(const std::string& package, const std::string& node_class);

// Fills `contract` (initialised from the node) with the static contract function of
// `node_class`: the legacy expectations function when the class is legacy, else the
// class's GetContract. A class of neither kind is NOT_FOUND; a failing contract function's
// status gets the class name and ": " in front of its message.
absl::Status VerifyCalculatorWithContract(const std::string& package,
                                          const std::string& node_class,
                                          CalculatorContract* contract);

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATOR_CREATION_H_
