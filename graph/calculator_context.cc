#include "graph/calculator_context.h"

#include <utility>

namespace kaldren {

CalculatorContext::CalculatorContext(CalculatorState* calculator_state,
                                     std::shared_ptr<tool::TagMap> input_tag_map,
                                     std::shared_ptr<tool::TagMap> output_tag_map)
    : calculator_state_(calculator_state),
      inputs_(std::move(input_tag_map)),
      outputs_(std::move(output_tag_map)) {}

void CalculatorContext::SetOffset(TimestampDiff offset) {
  for (OutputStreamShard& output : outputs_) output.SetOffset(offset);
}

}  // namespace kaldren
