#include "graph_config/config_conversion.h"

#include <utility>

#include "base/status_macros.h"
#include "graph_config/packet_factory_wrapper_generator.pb.h"

// This file is where the deprecated external_input/external_output fields are read, to move
// their names into the fields that replaced them.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace pellumo {
namespace tool {

absl::Status ConvertExternalInputsCalculator(CalculatorGraphConfig_Node* node) {
  if (node->external_input_size() == 0) return absl::OkStatus();
  RET_CHECK(node->input_side_packet_size() == 0)
      << "A Calculator may only use input_side_packet or the DEPRECATED external_input, not "
         "both.";
  node->mutable_input_side_packet()->Swap(node->mutable_external_input());
  return absl::OkStatus();
}

absl::Status ConvertExternalInputsGenerator(PacketGeneratorConfig* generator) {
  if (generator->external_input_size() > 0) {
    RET_CHECK(generator->input_side_packet_size() == 0)
        << "A PacketGenerator may only use input_side_packet or the DEPRECATED "
           "external_input, not both.";
    generator->mutable_input_side_packet()->Swap(generator->mutable_external_input());
  }
  if (generator->external_output_size() > 0) {
    RET_CHECK(generator->output_side_packet_size() == 0)
        << "A PacketGenerator may only use output_side_packet or the DEPRECATED "
           "external_output, not both.";
    generator->mutable_output_side_packet()->Swap(generator->mutable_external_output());
  }
  return absl::OkStatus();
}

absl::Status ConvertExternalInputsFactory(PacketFactoryConfig* factory) {
  // Presence decides here, not content.
  if (!factory->has_external_output()) return absl::OkStatus();
  RET_CHECK(!factory->has_output_side_packet())
      << "A PacketFactory may only use output_side_packet or the DEPRECATED external_output, "
         "not both.";
  factory->set_output_side_packet(factory->external_output());
  factory->clear_external_output();
  return absl::OkStatus();
}

namespace {

absl::Status ConvertExternalInputsStatusHandler(StatusHandlerConfig* status_handler) {
  if (status_handler->external_input_size() == 0) return absl::OkStatus();
  RET_CHECK(status_handler->input_side_packet_size() == 0)
      << "A StatusHandler may only use input_side_packet or the DEPRECATED external_input, "
         "not both.";
  status_handler->mutable_input_side_packet()->Swap(status_handler->mutable_external_input());
  return absl::OkStatus();
}

}  // namespace

absl::Status ConvertExternalInputs(CalculatorGraphConfig* config) {
  RET_CHECK(config);
  for (CalculatorGraphConfig_Node& node : *config->mutable_node()) {
    RETURN_IF_ERROR(ConvertExternalInputsCalculator(&node));
  }
  for (PacketGeneratorConfig& generator : *config->mutable_packet_generator()) {
    RETURN_IF_ERROR(ConvertExternalInputsGenerator(&generator));
  }
  for (PacketFactoryConfig& factory : *config->mutable_packet_factory()) {
    RETURN_IF_ERROR(ConvertExternalInputsFactory(&factory));
  }
  for (StatusHandlerConfig& status_handler : *config->mutable_status_handler()) {
    RETURN_IF_ERROR(ConvertExternalInputsStatusHandler(&status_handler));
  }
  return absl::OkStatus();
}

absl::Status ConvertExternalInputs(const CalculatorGraphConfig& config,
                                   CalculatorGraphConfig* output_config) {
  RET_CHECK(output_config);
  *output_config = config;
  return ConvertExternalInputs(output_config);
}

absl::Status ConvertPacketFactories(CalculatorGraphConfig* config) {
  RET_CHECK(config);
  google::protobuf::RepeatedPtrField<PacketGeneratorConfig> generators;
  generators.Reserve(config->packet_factory_size() + config->packet_generator_size());
  for (PacketFactoryConfig& factory : *config->mutable_packet_factory()) {
    PacketGeneratorConfig* generator = generators.Add();
    generator->set_packet_generator("PacketFactoryWrapperGenerator");
    generator->add_output_side_packet(factory.output_side_packet());
    PacketFactoryWrapperGeneratorOptions* wrapper =
        generator->mutable_options()->MutableExtension(PacketFactoryWrapperGeneratorOptions::ext);
    wrapper->set_package(config->package());
    wrapper->set_packet_factory(factory.packet_factory());
    if (factory.has_options()) {
      wrapper->mutable_options()->Swap(factory.mutable_options());
    }
  }
  for (PacketGeneratorConfig& generator : *config->mutable_packet_generator()) {
    generators.Add()->Swap(&generator);
  }
  config->clear_packet_factory();
  config->mutable_packet_generator()->Swap(&generators);
  return absl::OkStatus();
}

}  // namespace tool
}  // namespace pellumo
