// Rewrites of older configuration forms, applied to a configuration (and to every subgraph's
// configuration) before it is validated, so that validation sees one form only:
// - side packets named in the deprecated `external_input` / `external_output` lists move to
//   `input_side_packet` / `output_side_packet`;
// - every packet factory becomes a "PacketFactoryWrapperGenerator" packet generator whose
//   options name the factory, the configuration's package and the factory's options.

#ifndef GRAPH_CONFIG_CONFIG_CONVERSION_H_
#define GRAPH_CONFIG_CONFIG_CONVERSION_H_

#include "base/status.h"
#include "graph_config/calculator.pb.h"

namespace pellumo {
namespace tool {

// Rewrites the external inputs and outputs of every node, packet generator, packet factory
// and status handler, in that order. A component that uses both the old and the new list
// fails (INTERNAL); components converted before it stay converted.
absl::Status ConvertExternalInputs(CalculatorGraphConfig* config);
// The same on a copy of `config` made in `*output_config`.
absl::Status ConvertExternalInputs(const CalculatorGraphConfig& config,
                                   CalculatorGraphConfig* output_config);

absl::Status ConvertExternalInputsCalculator(CalculatorGraphConfig_Node* node);
absl::Status ConvertExternalInputsGenerator(PacketGeneratorConfig* generator);
absl::Status ConvertExternalInputsFactory(PacketFactoryConfig* factory);

// Replaces every packet factory by a wrapper generator. The wrappers come first in the
// generator list, in factory order, followed by the generators already there.
absl::Status ConvertPacketFactories(CalculatorGraphConfig* config);

}  // namespace tool
}  // namespace pellumo

#endif  // GRAPH_CONFIG_CONFIG_CONVERSION_H_
