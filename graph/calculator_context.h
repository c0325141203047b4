// What a calculator sees in one call of Open, Process or Close: the input stream shards
// holding this invocation's packets, the output stream shards it writes into, the input
// timestamp, the side packets, the options, counters and graph services of its node.
//
// A node normally has one context, reused for every invocation; a node whose invocations
// run in parallel gets one per input timestamp in flight (see CalculatorContextManager).

#ifndef QUILLMERE_GRAPH_CALCULATOR_CONTEXT_H_
#define QUILLMERE_GRAPH_CALCULATOR_CONTEXT_H_

#include <memory>
#include <string>

#include "base/logging.h"
#include "base/status.h"
#include "graph/calculator_state.h"
#include "graph/counter.h"
#include "graph/graph_service.h"
#include "graph/input_stream_shard.h"
#include "graph/output_side_packet.h"
#include "graph/output_stream_shard.h"
#include "graph/packet_set.h"
#include "graph/ring_deque.h"
#include "graph/timestamp.h"
#include "graph_config/calculator_options.pb.h"
#include "graph_config/tag_map.h"

namespace kaldren {

class CalculatorContext {
 public:
  // One default shard per entry of each tag map; no input timestamp; graph status OK.
  // `calculator_state` is not owned.
  CalculatorContext(CalculatorState* calculator_state,
                    std::shared_ptr<tool::TagMap> input_tag_map,
                    std::shared_ptr<tool::TagMap> output_tag_map);
  CalculatorContext(const CalculatorContext&) = delete;
  CalculatorContext& operator=(const CalculatorContext&) = delete;

  const std::string& CalculatorType() const { return GetCalculatorState()->CalculatorType(); }
  const std::string& NodeName() const { return GetCalculatorState()->NodeName(); }
  int NodeId() const { return GetCalculatorState()->NodeId(); }

  // The node's options message (its default instance when the node has none).
  const pellumo::CalculatorOptions& Options() const { return GetCalculatorState()->Options(); }
  // The node's options of type T, extracted once and cached.
  template <typename T>
  const T& Options() const {
    return GetCalculatorState()->Options<T>();
  }

  // The counter "<node name>-<name>".
  Counter* GetCounter(const std::string& name) { return GetCalculatorState()->GetCounter(name); }

  // The object of a graph service the node's contract asked for.
  template <typename T>
  std::shared_ptr<T> Service(const GraphService<T>& service) const {
    return GetCalculatorState()->GetServiceObject(service);
  }
  // Whether the graph supplied `service`; an optional service may be missing.
  bool HasService(const GraphServiceBase& service) const {
    return GetCalculatorState()->ServicePackets().count(service.key) > 0;
  }

  const PacketSet& InputSidePackets() const { return GetCalculatorState()->InputSidePackets(); }
  OutputSidePacketSet& OutputSidePackets() { return GetCalculatorState()->OutputSidePackets(); }

  InputStreamShardSet& Inputs() { return inputs_; }
  const InputStreamShardSet& Inputs() const { return inputs_; }
  OutputStreamShardSet& Outputs() { return outputs_; }
  const OutputStreamShardSet& Outputs() const { return outputs_; }

  // The node's streams as the legacy calculator interface sees them.
  InputStreamSet& InputStreams() { return GetCalculatorState()->InputStreams(); }
  OutputStreamSet& OutputStreams() { return GetCalculatorState()->OutputStreams(); }

  // Sets the same output offset on every output stream.
  void SetOffset(TimestampDiff offset);

  // The timestamp of the current invocation, Unset when none is queued.
  Timestamp InputTimestamp() const {
    return input_timestamps_.empty() ? Timestamp::Unset() : input_timestamps_.front();
  }

  // How the run ended, for Close; OK during the run.
  const absl::Status& GraphStatus() const { return graph_status_; }

 private:
  // The node and its input stream handler queue and drop the timestamps through the
  // manager, and set the graph status before Close.
  friend class CalculatorContextManager;

  CalculatorState* GetCalculatorState() const {
    CHECK(calculator_state_);
    return calculator_state_;
  }

  void PushInputTimestamp(Timestamp input_timestamp) { input_timestamps_.push_back(input_timestamp); }
  void PopInputTimestamp() {
    CHECK(!input_timestamps_.empty());
    input_timestamps_.pop_front();
  }
  int NumberOfTimestamps() const { return static_cast<int>(input_timestamps_.size()); }
  void SetGraphStatus(const absl::Status& status) { graph_status_ = status; }

  CalculatorState* const calculator_state_;
  InputStreamShardSet inputs_;
  OutputStreamShardSet outputs_;
  internal::RingDeque<Timestamp> input_timestamps_;
  absl::Status graph_status_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATOR_CONTEXT_H_
