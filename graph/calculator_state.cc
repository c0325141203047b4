#include "graph/calculator_state.h"

#include <utility>

namespace kaldren {

CalculatorState::CalculatorState(const std::string& node_name, int node_id,
                                 const std::string& calculator_type,
                                 const pellumo::CalculatorGraphConfig_Node& node_config,
                                 std::shared_ptr<ProfilingContext> profiling_context)
    : node_name_(node_name),
      node_id_(node_id),
      calculator_type_(calculator_type),
      node_config_(node_config),
      profiling_context_(std::move(profiling_context)) {
  options_.Initialize(node_config_);
}

void CalculatorState::ResetBetweenRuns() {
  input_streams_ = nullptr;
  output_streams_ = nullptr;
  input_side_packets_ = nullptr;
  counter_factory_ = nullptr;
}

void CalculatorState::SetInputStreamSet(InputStreamSet* input_stream_set) {
  CHECK(input_stream_set);
  input_streams_ = input_stream_set;
}

void CalculatorState::SetOutputStreamSet(OutputStreamSet* output_stream_set) {
  CHECK(output_stream_set);
  output_streams_ = output_stream_set;
}

void CalculatorState::SetInputSidePackets(const PacketSet* input_side_packets) {
  CHECK(input_side_packets);
  input_side_packets_ = input_side_packets;
}

void CalculatorState::SetOutputSidePackets(OutputSidePacketSet* output_side_packets) {
  CHECK(output_side_packets);
  output_side_packets_ = output_side_packets;
}

Counter* CalculatorState::GetCounter(const std::string& name) {
  CHECK(counter_factory_);
  return counter_factory_->GetCounter(node_name_ + "-" + name);
}

}  // namespace kaldren
