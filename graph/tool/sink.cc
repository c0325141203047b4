#include "graph/tool/sink.h"

#include <cstdio>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "base/logging.h"
#include "graph/calculators/callback_packet_calculator.pb.h"
#include "graph/calculators/callback_packet_target.h"
#include "graph_config/name_util.h"

namespace kaldren {
namespace tool {
namespace {

using pellumo::CallbackPacketCalculatorOptions;

// Adds the node that hands `side_packet_name` out as a function writing into `target`.
void AddCallbackPacketNode(const std::string& side_packet_name,
                           CallbackPacketCalculatorOptions::PointerType type,
                           const void* target, pellumo::CalculatorGraphConfig* config) {
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  node->set_name(GetUnusedNodeName(
      *config, absl::StrCat("callback_packet_calculator_that_generators_", side_packet_name)));
  node->set_calculator("CallbackPacketCalculator");
  node->add_output_side_packet(side_packet_name);
  CallbackPacketCalculatorOptions* options =
      node->mutable_options()->MutableExtension(CallbackPacketCalculatorOptions::ext);
  options->set_type(type);
  char address[17];
  const int written = std::snprintf(address, sizeof(address), "%p", target);
  CHECK(written > 0 && written < sizeof(address));
  options->set_pointer(address);
  RegisterCallbackPacketTarget(type, target);
}

}  // namespace

void AddCallbackCalculator(const std::string& stream_name,
                           pellumo::CalculatorGraphConfig* config,
                           std::string* callback_side_packet_name, bool use_std_function) {
  CHECK(config);
  CHECK(callback_side_packet_name);
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  node->set_name(GetUnusedNodeName(
      *config, absl::StrCat("callback_calculator_that_collects_stream_", stream_name)));
  node->set_calculator("CallbackCalculator");
  node->add_input_stream(stream_name);
  *callback_side_packet_name =
      GetUnusedSidePacketName(*config, absl::StrCat(stream_name, "_callback"));
  node->add_input_side_packet(use_std_function
                                  ? absl::StrCat("CALLBACK:", *callback_side_packet_name)
                                  : *callback_side_packet_name);
}

void AddVectorSink(const std::string& stream_name, pellumo::CalculatorGraphConfig* config,
                   std::vector<Packet>* dumped_data) {
  CHECK(config);
  CHECK(dumped_data);
  std::string side_packet_name;
  AddCallbackCalculator(stream_name, config, &side_packet_name, /*use_std_function=*/true);
  AddCallbackPacketNode(side_packet_name, CallbackPacketCalculatorOptions::VECTOR_PACKET,
                        dumped_data, config);
}

void AddPostStreamPacketSink(const std::string& stream_name,
                             pellumo::CalculatorGraphConfig* config,
                             Packet* post_stream_packet) {
  CHECK(config);
  CHECK(post_stream_packet);
  std::string side_packet_name;
  AddCallbackCalculator(stream_name, config, &side_packet_name, /*use_std_function=*/true);
  AddCallbackPacketNode(side_packet_name,
                        CallbackPacketCalculatorOptions::POST_STREAM_PACKET,
                        post_stream_packet, config);
}

void AddSidePacketSink(const std::string& side_packet_name,
                       pellumo::CalculatorGraphConfig* config, Packet* dumped_packet) {
  CHECK(config);
  CHECK(dumped_packet);
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  const std::string node_name = GetUnusedNodeName(
      *config, absl::StrCat("calculator_converts_side_packet_", side_packet_name));
  node->set_name(node_name);
  node->set_calculator("PellumoInternalSidePacketToPacketStreamCalculator");
  node->add_input_side_packet(GetUnusedSidePacketName(*config, side_packet_name));
  const std::string output_stream_name = absl::StrCat(node_name, "_output_stream");
  node->add_output_stream(output_stream_name);
  AddPostStreamPacketSink(output_stream_name, config, dumped_packet);
}

void AddMultiStreamCallback(const std::vector<std::string>& streams,
                            std::function<void(const std::vector<Packet>&)> callback,
                            pellumo::CalculatorGraphConfig* config,
                            std::pair<std::string, Packet>* side_packet) {
  CHECK(config);
  CHECK(side_packet);
  // Without an input stream the node would run as a source and call the callback with
  // empty vectors for ever.
  CHECK(!streams.empty()) << "AddMultiStreamCallback needs at least one stream.";
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  const std::string node_name =
      GetUnusedNodeName(*config, absl::StrCat("multi_callback_", absl::StrJoin(streams, "_")));
  node->set_name(node_name);
  node->set_calculator("CallbackCalculator");
  for (const std::string& stream : streams) node->add_input_stream(stream);
  side_packet->first = GetUnusedSidePacketName(*config, absl::StrCat(node_name, "_callback"));
  node->add_input_side_packet(absl::StrCat("VECTOR_CALLBACK:", side_packet->first));
  side_packet->second =
      MakePacket<std::function<void(const std::vector<Packet>&)>>(std::move(callback));
}

void AddCallbackWithHeaderCalculator(const std::string& stream_name,
                                     const std::string& stream_header,
                                     pellumo::CalculatorGraphConfig* config,
                                     std::string* callback_side_packet_name,
                                     bool use_std_function) {
  CHECK(config);
  CHECK(callback_side_packet_name);
  pellumo::CalculatorGraphConfig_Node* node = config->add_node();
  node->set_name(GetUnusedNodeName(
      *config, absl::StrCat("callback_calculator_that_collects_stream_and_header_", stream_name,
                            "_", stream_header)));
  node->set_calculator("CallbackWithHeaderCalculator");
  node->add_input_stream(absl::StrCat("INPUT:", stream_name));
  node->add_input_stream(absl::StrCat("HEADER:", stream_header));
  *callback_side_packet_name = GetUnusedSidePacketName(
      *config, absl::StrCat(stream_name, "_", stream_header, "_callback"));
  node->add_input_side_packet(use_std_function
                                  ? absl::StrCat("CALLBACK:", *callback_side_packet_name)
                                  : *callback_side_packet_name);
}

}  // namespace tool
}  // namespace kaldren
