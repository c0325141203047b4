// Runs one registered calculator in tests without a graph: its contract, Open, Process and
// Close against a real context, with side packets checked against the contract as a node
// checks them, real output side packets and output streams that keep what the calculator
// emits.

#ifndef QUILLMERE_GRAPH_TOOL_CALCULATOR_TEST_HARNESS_H_
#define QUILLMERE_GRAPH_TOOL_CALCULATOR_TEST_HARNESS_H_

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/logging.h"
#include "base/status_macros.h"
#include "graph/calculator_base.h"
#include "graph/calculator_context.h"
#include "graph/calculator_contract.h"
#include "graph/calculator_state.h"
#include "graph/calculator_static_access.h"
#include "graph/fill_packet_set.h"
#include "graph/input_stream_mirror.h"
#include "graph/output_side_packet_impl.h"
#include "graph/output_stream_manager.h"
#include "graph/packet_type.h"
#include "graph/registration_macros.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/tag_map.h"

namespace kaldren {
namespace tool {

class CalculatorTestHarness {
 public:
  explicit CalculatorTestHarness(const pellumo::CalculatorGraphConfig_Node& node)
      : node_(node) {}

  // The calculator's contract for the node, checked as graph validation checks it.
  absl::Status GetContract() {
    RETURN_IF_ERROR(contract_.Initialize(node_));
    ASSIGN_OR_RETURN(auto access, internal::StaticAccessToCalculatorBaseRegistry::CreateByName(
                                      node_.calculator()));
    RETURN_IF_ERROR(access->GetContract(&contract_));
    for (const PacketTypeSet* set : {&contract_.Inputs(), &contract_.Outputs(),
                                     &contract_.InputSidePackets(),
                                     &contract_.OutputSidePackets()}) {
      RETURN_IF_ERROR(ValidatePacketTypeSet(*set));
    }
    return absl::OkStatus();
  }

  // GetContract, then sets up the context with `side_packets` (by name) and calls Open.
  absl::Status Open(const std::map<std::string, Packet>& side_packets) {
    RETURN_IF_ERROR(GetContract());
    state_ = std::make_unique<CalculatorState>(node_.name(), 0, node_.calculator(), node_,
                                               nullptr);
    ASSIGN_OR_RETURN(input_side_packets_,
                     FillPacketSet(contract_.InputSidePackets(), side_packets, nullptr));
    state_->SetInputSidePackets(input_side_packets_.get());

    const PacketTypeSet& side_types = contract_.OutputSidePackets();
    output_side_packets_ = std::make_unique<OutputSidePacketSet>(side_types.GetTagMap());
    side_packet_impls_.resize(side_types.NumEntries());
    for (CollectionItemId id = side_types.BeginId(); id < side_types.EndId(); ++id) {
      auto& impl = side_packet_impls_[id.Value()];
      impl = std::make_unique<OutputSidePacketImpl>();
      RETURN_IF_ERROR(
          impl->Initialize(side_types.GetTagMap()->Names()[id.Value()], &side_types.Get(id)));
      impl->PrepareForRun([this](const absl::Status& status) { errors_.push_back(status); });
      output_side_packets_->GetPtr(id) = impl.get();
    }
    state_->SetOutputSidePackets(output_side_packets_.get());

    context_ = std::make_unique<CalculatorContext>(state_.get(), contract_.Inputs().GetTagMap(),
                                                   contract_.Outputs().GetTagMap());
    InputStreamShardSet& inputs = context_->Inputs();
    for (CollectionItemId id = inputs.BeginId(); id < inputs.EndId(); ++id) {
      inputs.Get(id).SetName(&inputs.GetTagMap()->Names()[id.Value()]);
      auto header = input_headers_.find(id.Value());
      if (header != input_headers_.end()) inputs.Get(id).SetHeader(header->second);
    }
    const PacketTypeSet& output_types = contract_.Outputs();
    output_streams_.resize(output_types.NumEntries());
    consumer_.emitted.resize(output_types.NumEntries());
    for (CollectionItemId id = output_types.BeginId(); id < output_types.EndId(); ++id) {
      auto& manager = output_streams_[id.Value()];
      manager = std::make_unique<OutputStreamManager>();
      RETURN_IF_ERROR(manager->Initialize(output_types.GetTagMap()->Names()[id.Value()],
                                          &output_types.Get(id)));
      manager->PrepareForRun([this](const absl::Status& status) { errors_.push_back(status); });
      manager->AddMirror(&consumer_, id);
      context_->Outputs().Get(id).SetSpec(manager->Spec());
    }

    calculator_ = CalculatorBaseRegistry::CreateByName(node_.calculator()).value();
    return Invoke([this] { return calculator_->Open(context_.get()); });
  }

  // Before Open: the header that input `id` carries, as the node sets it before Open.
  void SetInputHeader(CollectionItemId id, const Packet& header) {
    input_headers_[id.Value()] = header;
  }

  // Calls Process with `inputs`, one packet per input stream in id order (an empty packet
  // for a stream without one), then drops the inputs as the input stream handler does.
  absl::Status Process(std::vector<Packet> inputs) {
    InputStreamShardSet& shards = context_->Inputs();
    CHECK_EQ(inputs.size(), static_cast<size_t>(shards.NumEntries()));
    for (CollectionItemId id = shards.BeginId(); id < shards.EndId(); ++id) {
      shards.Get(id).AddPacket(std::move(inputs[id.Value()]), /*is_done=*/false);
    }
    absl::Status status = Invoke([this] { return calculator_->Process(context_.get()); });
    for (InputStreamShard& shard : shards) shard.ClearCurrentPacket();
    return status;
  }

  absl::Status Close() {
    return Invoke([this] { return calculator_->Close(context_.get()); });
  }

  const CalculatorContract& contract() const { return contract_; }
  // Everything output stream `id` received so far.
  const std::vector<Packet>& Emitted(CollectionItemId id) const {
    return consumer_.emitted[id.Value()];
  }
  bool OutputClosed(CollectionItemId id) const { return output_streams_[id.Value()]->IsClosed(); }
  // What output side packet `id` holds.
  const Packet& OutputSidePacket(CollectionItemId id) const {
    return side_packet_impls_[id.Value()]->GetPacket();
  }
  // Errors reported by output streams and output side packets.
  const std::vector<absl::Status>& errors() const { return errors_; }

 private:
  // Runs one calculator call with fresh output shards and keeps what they received.
  template <typename Call>
  absl::Status Invoke(Call call) {
    OutputStreamShardSet& shards = context_->Outputs();
    for (CollectionItemId id = shards.BeginId(); id < shards.EndId(); ++id) {
      output_streams_[id.Value()]->ResetShard(&shards.Get(id));
    }
    absl::Status status = call();
    for (CollectionItemId id = shards.BeginId(); id < shards.EndId(); ++id) {
      OutputStreamShard& shard = shards.Get(id);
      OutputStreamManager& manager = *output_streams_[id.Value()];
      manager.PropagateUpdatesToMirrors(shard.NextTimestampBound(), &shard);
      if (shard.IsClosed()) manager.Close();
    }
    return status;
  }

  // Downstream of every output stream: keeps the packets by stream id.
  struct Consumer : internal::InputStreamMirrorTarget {
    void AddPackets(CollectionItemId id, const std::list<Packet>& packets) override {
      emitted[id.Value()].insert(emitted[id.Value()].end(), packets.begin(), packets.end());
    }
    void MovePackets(CollectionItemId id, std::list<Packet>* packets) override {
      AddPackets(id, *packets);
      packets->clear();
    }
    void SetNextTimestampBound(CollectionItemId, Timestamp) override {}
    void SetHeader(CollectionItemId, const Packet&) override {}
    void SetMaxQueueSize(CollectionItemId, int) override {}

    std::vector<std::vector<Packet>> emitted;
  };

  const pellumo::CalculatorGraphConfig_Node node_;
  std::map<int, Packet> input_headers_;
  CalculatorContract contract_;
  std::unique_ptr<CalculatorState> state_;
  std::unique_ptr<PacketSet> input_side_packets_;
  std::vector<std::unique_ptr<OutputSidePacketImpl>> side_packet_impls_;
  std::unique_ptr<OutputSidePacketSet> output_side_packets_;
  std::unique_ptr<CalculatorContext> context_;
  Consumer consumer_;
  std::vector<std::unique_ptr<OutputStreamManager>> output_streams_;
  std::unique_ptr<CalculatorBase> calculator_;
  std::vector<absl::Status> errors_;
};

}  // namespace tool
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_TOOL_CALCULATOR_TEST_HARNESS_H_
