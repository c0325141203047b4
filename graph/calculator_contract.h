// What one component of a graph declares about itself before the graph runs: the packet
// type of every stream and side packet it names, its options, the input stream handler it
// asks for and the graph services it uses.
//
// The validated configuration owns one contract per calculator node, packet generator and
// status handler. It initialises the contract from the component's configuration (which
// turns the entry lists into tag maps and empty packet type sets), lets the component's
// static contract function fill it, and checks the result. Afterwards the contract is only
// read.

#ifndef QUILLMERE_GRAPH_CALCULATOR_CONTRACT_H_
#define QUILLMERE_GRAPH_CALCULATOR_CONTRACT_H_

#include <map>
#include <memory>
#include <string>

#include "base/status.h"
#include "graph/graph_service.h"
#include "graph/packet_type.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/collection.h"
#include "graph_config/options_map.h"
#include "graph_config/packet_generator.pb.h"
#include "graph_config/pellumo_options.pb.h"
#include "graph_config/status_handler.pb.h"

namespace kaldren {

class CalculatorContract {
 public:
  // One graph service a component uses; `Optional()` lets the graph run without it.
  class GraphServiceRequest {
   public:
    explicit GraphServiceRequest(const GraphServiceBase& service) : service_(service) {}

    GraphServiceRequest& Optional() {
      optional_ = true;
      return *this;
    }
    bool IsOptional() const { return optional_; }
    const GraphServiceBase& Service() const { return service_; }

   private:
    GraphServiceBase service_;
    bool optional_ = false;
  };

  using ServiceReqMap = std::map<std::string, GraphServiceRequest>;

  CalculatorContract() : options_(std::make_unique<tool::OptionsMap>()) {}
  CalculatorContract(CalculatorContract&&) = default;
  CalculatorContract& operator=(CalculatorContract&&) = default;
  CalculatorContract(const CalculatorContract&) = delete;
  CalculatorContract& operator=(const CalculatorContract&) = delete;

  // Builds the tag maps of the node's four entry lists and an empty packet type set over
  // each. Every list is tried; when any fails, the contract is left as it was and the
  // result is UNKNOWN with every failure on its own line. `node` must outlive the contract.
  absl::Status Initialize(const pellumo::CalculatorGraphConfig_Node& node);
  // The same for the two side-packet lists of a packet generator; the stream sets stay
  // absent and the contract refers to no node.
  absl::Status Initialize(const pellumo::PacketGeneratorConfig& generator);
  // The same for the input side packets of a status handler; only that set exists.
  absl::Status Initialize(const pellumo::StatusHandlerConfig& handler);

  // The node's own options message (its default instance when the node has none).
  // Node contracts only.
  const pellumo::CalculatorOptions& Options() const {
    return node_config_ != nullptr ? node_config_->options()
                                   : pellumo::CalculatorOptions::default_instance();
  }
  // The node's options of type T, extracted once and cached. Node contracts only.
  template <typename T>
  const T& Options() const {
    return options_->Get<T>();
  }

  // The packet type sets. Only sets that exist for the kind of component may be asked for.
  PacketTypeSet& Inputs() { return *inputs_; }
  PacketTypeSet& Outputs() { return *outputs_; }
  PacketTypeSet& InputSidePackets() { return *input_side_packets_; }
  PacketTypeSet& OutputSidePackets() { return *output_side_packets_; }
  const PacketTypeSet& Inputs() const { return *inputs_; }
  const PacketTypeSet& Outputs() const { return *outputs_; }
  const PacketTypeSet& InputSidePackets() const { return *input_side_packets_; }
  const PacketTypeSet& OutputSidePackets() const { return *output_side_packets_; }

  // The input stream handler the calculator asks for; empty when it asks for none, and
  // then the node keeps the handler of its configuration.
  void SetInputStreamHandler(const std::string& name) { input_stream_handler_ = name; }
  void SetInputStreamHandlerOptions(const pellumo::PellumoOptions& options) {
    input_stream_handler_options_ = options;
  }
  const std::string& GetInputStreamHandler() const { return input_stream_handler_; }
  const pellumo::PellumoOptions& GetInputStreamHandlerOptions() const {
    return input_stream_handler_options_;
  }

  void SetNodeName(const std::string& node_name) { node_name_ = node_name; }
  const std::string& GetNodeName() const { return node_name_; }

  // Requests `service` (required unless the caller adds `.Optional()`). A second request
  // of the same key returns the first request.
  GraphServiceRequest& UseService(const GraphServiceBase& service) {
    return service_requests_.try_emplace(service.key, service).first->second;
  }
  // The requests by service key.
  const ServiceReqMap& ServiceRequests() const { return service_requests_; }

 private:
  const pellumo::CalculatorGraphConfig_Node* node_config_ = nullptr;
  // Held by pointer so that the contract can move (the map holds a mutex).
  std::unique_ptr<tool::OptionsMap> options_;
  std::unique_ptr<PacketTypeSet> inputs_;
  std::unique_ptr<PacketTypeSet> outputs_;
  std::unique_ptr<PacketTypeSet> input_side_packets_;
  std::unique_ptr<PacketTypeSet> output_side_packets_;
  std::string input_stream_handler_;
  pellumo::PellumoOptions input_stream_handler_options_;
  std::string node_name_;
  ServiceReqMap service_requests_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATOR_CONTRACT_H_
