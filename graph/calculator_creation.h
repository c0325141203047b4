// Finding the calculator class that a node names: whether it is a legacy calculator,
// running its static contract function on the node's contract, and creating the calculator
// object for a run (a legacy calculator wrapped so that it runs as a current one).

#ifndef QUILLMERE_GRAPH_CALCULATOR_CREATION_H_
#define QUILLMERE_GRAPH_CALCULATOR_CREATION_H_

#include <memory>
#include <string>

#include "base/status.h"
#include "base/statusor.h"
#include "graph/calculator_base.h"
#include "graph/calculator_context.h"
#include "graph/calculator_contract.h"
#include "graph/calculator_state.h"
#include "graph_config/tag_map.h"

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

// Creates the calculator of the node whose state is `calculator_state`. A legacy calculator
// comes wrapped: the wrapper owns it, binds it to `calculator_context` and points the state's
// stream sets at that context's shards. Whether a name is legacy is decided without the
// package.
util::StatusOr<std::unique_ptr<CalculatorBase>> CreateCalculator(
    const std::shared_ptr<tool::TagMap>& input_tag_map,
    const std::shared_ptr<tool::TagMap>& output_tag_map, const std::string& package,
    CalculatorState* calculator_state, CalculatorContext* calculator_context);

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATOR_CREATION_H_
