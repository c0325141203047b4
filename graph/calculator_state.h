// What every invocation of one node shares: the node's names and id, its configuration and
// options, its side packets, the graph services it asked for and its counters. The node
// fills the pointers while it is set up and at the start of each run; invocations on any
// executor thread then only read.

#ifndef QUILLMERE_GRAPH_CALCULATOR_STATE_H_
#define QUILLMERE_GRAPH_CALCULATOR_STATE_H_

#include <map>
#include <memory>
#include <string>

#include "base/logging.h"
#include "graph/counter.h"
#include "graph/counter_factory.h"
#include "graph/graph_service.h"
#include "graph/packet_set.h"
#include "graph/output_side_packet.h"
#include "graph/packet.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/collection.h"
#include "graph_config/options_map.h"

namespace kaldren {

class InputStream;
class OutputStream;
class ProfilingContext;

// The streams of a node as the legacy calculator interface sees them.
using InputStreamSet = internal::Collection<InputStream*>;
using OutputStreamSet = internal::Collection<OutputStream*>;

class CalculatorState {
 public:
  // Copies the names and the node configuration; the options are read from the copy.
  CalculatorState(const std::string& node_name, int node_id, const std::string& calculator_type,
                  const pellumo::CalculatorGraphConfig_Node& node_config,
                  std::shared_ptr<ProfilingContext> profiling_context);
  CalculatorState(const CalculatorState&) = delete;
  CalculatorState& operator=(const CalculatorState&) = delete;

  // Forgets the stream sets, the input side packets and the counter factory of the last
  // run; the output side packets stay.
  void ResetBetweenRuns();

  const std::string& NodeName() const { return node_name_; }
  int NodeId() const { return node_id_; }
  const std::string& CalculatorType() const { return calculator_type_; }
  const pellumo::CalculatorGraphConfig_Node& NodeConfig() const { return node_config_; }
  // The node's options message (its default instance when the node has none).
  const pellumo::CalculatorOptions& Options() const { return node_config_.options(); }
  // The node's options of type T, extracted once and cached.
  template <typename T>
  const T& Options() const {
    return options_.Get<T>();
  }
  const std::shared_ptr<ProfilingContext>& GetSharedProfilingContext() const {
    return profiling_context_;
  }

  // Each pointer must not be null; none is owned.
  void SetInputStreamSet(InputStreamSet* input_stream_set);
  void SetOutputStreamSet(OutputStreamSet* output_stream_set);
  void SetInputSidePackets(const PacketSet* input_side_packets);
  void SetOutputSidePackets(OutputSidePacketSet* output_side_packets);
  void SetCounterFactory(CounterFactory* counter_factory) { counter_factory_ = counter_factory; }

  InputStreamSet& InputStreams() const { return *input_streams_; }
  OutputStreamSet& OutputStreams() const { return *output_streams_; }
  const PacketSet& InputSidePackets() const { return *input_side_packets_; }
  OutputSidePacketSet& OutputSidePackets() const { return *output_side_packets_; }
  CounterFactory* GetCounterFactory() const { return counter_factory_; }

  // Provides the object of one graph service, replacing an earlier packet of that key.
  void SetServicePacket(const std::string& key, Packet packet) {
    service_packets_[key] = std::move(packet);
  }
  const std::map<std::string, Packet>& ServicePackets() const { return service_packets_; }
  // The object of `service`, which must have been provided (fatal otherwise).
  template <typename T>
  std::shared_ptr<T> GetServiceObject(const GraphService<T>& service) const {
    auto it = service_packets_.find(service.key);
    CHECK(it != service_packets_.end());
    return it->second.template Get<std::shared_ptr<T>>();
  }

  // The counter "<node name>-<name>" of the run's counter factory, which must be set.
  Counter* GetCounter(const std::string& name);

 private:
  const std::string node_name_;
  const int node_id_;
  const std::string calculator_type_;
  const pellumo::CalculatorGraphConfig_Node node_config_;
  tool::OptionsMap options_;
  std::shared_ptr<ProfilingContext> profiling_context_;
  std::map<std::string, Packet> service_packets_;
  InputStreamSet* input_streams_ = nullptr;
  OutputStreamSet* output_streams_ = nullptr;
  const PacketSet* input_side_packets_ = nullptr;
  OutputSidePacketSet* output_side_packets_ = nullptr;
  CounterFactory* counter_factory_ = nullptr;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATOR_STATE_H_
