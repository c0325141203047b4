// Runs the packet generators of a graph: components that make side packets from side
// packets before the graph's nodes open.
//
// The graph calls `Initialize` once, with the side packets given at initialisation. Every
// generator whose inputs are then available runs at once, and again as its inputs appear;
// what they produce joins the given side packets as the base packets. At the start of each
// run the graph calls `RunGraphSetup` with the run's side packets: they are merged with the
// base packets and checked, and the remaining generators run on them. Generators run as
// soon as all their inputs exist, in parallel on the executor, or one after another on the
// calling thread when there is no executor.

#ifndef QUILLMERE_GRAPH_PACKET_GENERATOR_GRAPH_H_
#define QUILLMERE_GRAPH_PACKET_GENERATOR_GRAPH_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "graph/executor.h"
#include "graph/packet.h"
#include "graph/validated_graph_config.h"
#include "graph_config/packet_factory.pb.h"
#include "graph_config/packet_generator.pb.h"

namespace kaldren {

class PacketGeneratorGraph {
 public:
  PacketGeneratorGraph() = default;
  PacketGeneratorGraph(const PacketGeneratorGraph&) = delete;
  PacketGeneratorGraph& operator=(const PacketGeneratorGraph&) = delete;
  virtual ~PacketGeneratorGraph();

  // Runs every generator that `input_side_packets` allow. `validated_graph` must outlive
  // this object; `executor` is where generators run, null for the calling thread.
  virtual absl::Status Initialize(const ValidatedGraphConfig* validated_graph, Executor* executor,
                                  const std::map<std::string, Packet>& input_side_packets);

  // Fills `output_side_packets` with the base packets, the run's side packets and what the
  // remaining generators make of them. Changes nothing in this object.
  virtual absl::Status RunGraphSetup(const std::map<std::string, Packet>& input_side_packets,
                                     std::map<std::string, Packet>* output_side_packets) const;

  // The side packets given to Initialize and everything the generators it ran produced.
  virtual const std::map<std::string, Packet>& BasePackets() const { return base_packets_; }
  // The indexes of the generators that Initialize could not run, ascending.
  virtual const std::vector<int>& NonBaseGenerators() const { return non_base_generators_; }

  // A form that stands alone: validates a configuration holding only the given factories
  // and generators and runs them on a thread pool of its own.
  virtual absl::Status InitializeGraph(
      const std::map<std::string, Packet>& input_side_packets,
      const std::vector<pellumo::PacketFactoryConfig>& packet_factories,
      const std::vector<pellumo::PacketGeneratorConfig>& packet_generators);
  // `RunGraphSetup` of the stand-alone form.
  virtual absl::Status ProcessGraph(const std::map<std::string, Packet>& input_side_packets,
                                    std::map<std::string, Packet>* output_side_packets);
  // The configurations of the generators that InitializeGraph could not run.
  virtual std::vector<pellumo::PacketGeneratorConfig> GetNonBaseGenerators() const;

 private:
  // Runs the candidate generators (all when `initial`, else the non-base ones) until none
  // is left that can run, adding their outputs to `output_side_packets`. On success
  // `non_scheduled_generators` lists the candidates that could not run.
  absl::Status ExecuteGenerators(std::map<std::string, Packet>* output_side_packets,
                                 std::vector<int>* non_scheduled_generators,
                                 bool initial) const;

  const ValidatedGraphConfig* validated_graph_ = nullptr;
  std::unique_ptr<ValidatedGraphConfig> owned_validated_graph_;
  Executor* executor_ = nullptr;
  std::unique_ptr<Executor> owned_executor_;
  std::map<std::string, Packet> base_packets_;
  std::vector<int> non_base_generators_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_PACKET_GENERATOR_GRAPH_H_
