#include "graph/calculator_node.h"

#include <utility>

#include "absl/strings/substitute.h"
#include "base/logging.h"
#include "base/status_macros.h"
#include "graph/calculator_base.h"
#include "graph/calculator_context.h"
#include "graph/calculator_creation.h"
#include "graph/calculator_state.h"
#include "graph/gpu_resources.h"
#include "graph/input_stream_handler.h"
#include "graph/legacy_calculator_support.h"
#include "graph/output_side_packet_impl.h"
#include "graph/output_stream_handler.h"
#include "graph/output_stream_manager.h"
#include "graph/registration_macros.h"
#include "graph/validated_graph_config.h"
#include "graph_config/status_util.h"

namespace kaldren {

namespace {

// The node whose scheduling loop runs on this thread with the node's only slot reserved, until
// its scan queues the invocation that takes the slot (see CheckIfBecameReady).
thread_local CalculatorNode* node_with_reserved_slot = nullptr;

const NodeTypeInfo& TypeInfo(const ValidatedGraphConfig* validated_graph, int node_id) {
  return validated_graph->CalculatorInfos()[node_id];
}

// Making the stop status allocates; an OK status, the common case, cannot be it.
bool IsStop(const absl::Status& status) {
  return !status.ok() && status == tool::StatusStop();
}

}  // namespace

CalculatorNode::CalculatorNode() = default;

CalculatorNode::~CalculatorNode() = default;

Timestamp CalculatorNode::SourceProcessOrder(const CalculatorContext* cc) const {
  return calculator_->SourceProcessOrder(cc);
}

absl::Status CalculatorNode::Initialize(const ValidatedGraphConfig* validated_graph, int node_id,
                                        InputStreamManager* input_stream_managers,
                                        OutputStreamManager* output_stream_managers,
                                        OutputSidePacketImpl* output_side_packets,
                                        int* buffer_size_hint,
                                        std::shared_ptr<ProfilingContext> profiling_context) {
  RET_CHECK(buffer_size_hint) << "buffer_size_hint is NULL";
  node_id_ = node_id;
  validated_graph_ = validated_graph;
  profiling_context_ = std::move(profiling_context);
  const pellumo::CalculatorGraphConfig_Node& node_config =
      validated_graph_->Config().node(node_id_);
  const CalculatorContract& contract = TypeInfo(validated_graph_, node_id_).Contract();

  name_ = CanonicalNodeName(validated_graph_->Config(), node_id_);
  // A limit below 1 would refuse every invocation; 0 (unset) and less mean 1.
  max_in_flight_ = node_config.max_in_flight() > 0 ? node_config.max_in_flight() : 1;
  if (!node_config.executor().empty()) executor_ = node_config.executor();
  source_layer_ = node_config.source_layer();
  uses_gpu_ = contract.InputSidePackets().HasTag(kGpuSharedTagName) ||
              contract.ServiceRequests().count(kGpuService.key) > 0;

  RETURN_IF_ERROR(InitializeOutputSidePackets(contract.OutputSidePackets(), output_side_packets));
  RETURN_IF_ERROR(InitializeInputSidePackets(output_side_packets));
  RETURN_IF_ERROR(InitializeOutputStreamHandler(
      node_config.has_output_stream_handler() ? node_config.output_stream_handler()
                                              : pellumo::OutputStreamHandlerConfig(),
      contract.Outputs()));
  RETURN_IF_ERROR(InitializeOutputStreams(output_stream_managers));

  calculator_state_ = std::make_unique<CalculatorState>(name_, node_id_, node_config.calculator(),
                                                        node_config, profiling_context_);
  *buffer_size_hint = node_config.buffer_size_hint();
  calculator_context_manager_.Initialize(calculator_state_.get(), contract.Inputs().GetTagMap(),
                                         contract.Outputs().GetTagMap(), max_in_flight_ > 1);

  // The configuration's choice of input stream handler wins over the calculator's.
  const pellumo::InputStreamHandlerConfig& node_handler_config =
      node_config.input_stream_handler();
  if (node_handler_config.has_input_stream_handler() ||
      contract.GetInputStreamHandler().empty()) {
    RETURN_IF_ERROR(InitializeInputStreamHandler(node_handler_config, contract.Inputs()));
  } else {
    pellumo::InputStreamHandlerConfig contract_handler_config;
    contract_handler_config.set_input_stream_handler(contract.GetInputStreamHandler());
    *contract_handler_config.mutable_options() = contract.GetInputStreamHandlerOptions();
    RETURN_IF_ERROR(InitializeInputStreamHandler(contract_handler_config, contract.Inputs()));
  }
  is_source_ = input_stream_handler_->NumInputStreams() == 0 &&
               output_stream_handler_->OutputTagMap()->NumEntries() > 0;
  return InitializeInputStreams(input_stream_managers, output_stream_managers);
}

absl::Status CalculatorNode::InitializeOutputSidePackets(
    const PacketTypeSet& output_side_packet_types, OutputSidePacketImpl* output_side_packets) {
  output_side_packets_ =
      std::make_unique<OutputSidePacketSet>(output_side_packet_types.GetTagMap());
  const int base_index = TypeInfo(validated_graph_, node_id_).OutputSidePacketBaseIndex();
  RET_CHECK_LE(0, base_index);
  for (CollectionItemId id = output_side_packets_->BeginId(); id < output_side_packets_->EndId();
       ++id) {
    output_side_packets_->GetPtr(id) = &output_side_packets[base_index + id.Value()];
  }
  return absl::OkStatus();
}

absl::Status CalculatorNode::InitializeInputSidePackets(
    OutputSidePacketImpl* output_side_packets) {
  const PacketTypeSet& input_side_packet_types =
      TypeInfo(validated_graph_, node_id_).Contract().InputSidePackets();
  const int base_index = TypeInfo(validated_graph_, node_id_).InputSidePacketBaseIndex();
  RET_CHECK_LE(0, base_index);
  for (CollectionItemId id = input_side_packet_types.BeginId();
       id < input_side_packet_types.EndId(); ++id) {
    const int flat_index = base_index + id.Value();
    const int upstream = validated_graph_->InputSidePacketInfos()[flat_index].upstream;
    if (upstream < 0) continue;  // supplied from outside the graph
    VLOG(2) << "Adding mirror for input side packet with id " << id.Value()
            << " and flat index " << flat_index
            << " which will be connected to output side packet with flat index " << upstream;
    output_side_packets[upstream].AddMirror(&input_side_packet_handler_, id);
  }
  return absl::OkStatus();
}

absl::Status CalculatorNode::InitializeOutputStreamHandler(
    const pellumo::OutputStreamHandlerConfig& config, const PacketTypeSet& output_stream_types) {
  const std::string& output_stream_handler_name = config.output_stream_handler();
  RET_CHECK(!output_stream_handler_name.empty());
  ASSIGN_OR_RETURN(
      output_stream_handler_,
      OutputStreamHandlerRegistry::CreateByNameInNamespace(
          validated_graph_->Package(), output_stream_handler_name,
          output_stream_types.GetTagMap(), &calculator_context_manager_,
          config.has_options() ? config.options() : pellumo::PellumoOptions::default_instance(),
          max_in_flight_ > 1),
      _ << "\"" << output_stream_handler_name << "\" is not a registered output stream handler.");
  return absl::OkStatus();
}

absl::Status CalculatorNode::InitializeInputStreamHandler(
    const pellumo::InputStreamHandlerConfig& config, const PacketTypeSet& input_stream_types) {
  const std::string& input_stream_handler_name = config.input_stream_handler();
  RET_CHECK(!input_stream_handler_name.empty());
  ASSIGN_OR_RETURN(
      input_stream_handler_,
      InputStreamHandlerRegistry::CreateByNameInNamespace(
          validated_graph_->Package(), input_stream_handler_name,
          input_stream_types.GetTagMap(), &calculator_context_manager_,
          config.has_options() ? config.options() : pellumo::PellumoOptions::default_instance(),
          max_in_flight_ > 1),
      _ << "\"" << input_stream_handler_name << "\" is not a registered input stream handler.");
  // A handler refuses options it cannot use (such as a batch size) with this status.
  return input_stream_handler_->OptionsStatus();
}

absl::Status CalculatorNode::InitializeOutputStreams(OutputStreamManager* output_stream_managers) {
  RET_CHECK(output_stream_managers) << "output_stream_managers is NULL";
  const NodeTypeInfo& node_type_info = TypeInfo(validated_graph_, node_id_);
  RET_CHECK_LE(0, node_type_info.OutputStreamBaseIndex());
  return output_stream_handler_->InitializeOutputStreamManagers(
      output_stream_managers + node_type_info.OutputStreamBaseIndex());
}

absl::Status CalculatorNode::InitializeInputStreams(InputStreamManager* input_stream_managers,
                                                    OutputStreamManager* output_stream_managers) {
  RET_CHECK(input_stream_managers) << "input_stream_managers is NULL";
  RET_CHECK(output_stream_managers) << "output_stream_managers is NULL";
  const NodeTypeInfo& node_type_info = TypeInfo(validated_graph_, node_id_);
  RET_CHECK_LE(0, node_type_info.InputStreamBaseIndex());
  const int base_index = node_type_info.InputStreamBaseIndex();
  RETURN_IF_ERROR(
      input_stream_handler_->InitializeInputStreamManagers(input_stream_managers + base_index));
  const PacketTypeSet& input_stream_types = node_type_info.Contract().Inputs();
  for (CollectionItemId id = input_stream_types.BeginId(); id < input_stream_types.EndId();
       ++id) {
    const int flat_index = base_index + id.Value();
    const int output_stream_index = validated_graph_->InputStreamInfos()[flat_index].upstream;
    // Unlike a side packet, every input stream has a producer in the graph.
    RET_CHECK_LE(0, output_stream_index);
    VLOG(2) << "Adding mirror for input stream with id " << id.Value() << " and flat index "
            << flat_index << " which will be connected to output stream with flat index "
            << output_stream_index;
    output_stream_managers[output_stream_index].AddMirror(input_stream_handler_.get(), id);
  }
  return absl::OkStatus();
}

absl::Status CalculatorNode::ConnectShardsToStreams(CalculatorContext* calculator_context) {
  RET_CHECK(calculator_context);
  RETURN_IF_ERROR(input_stream_handler_->SetupInputShards(&calculator_context->Inputs()));
  return output_stream_handler_->SetupOutputShards(&calculator_context->Outputs());
}

absl::Status CalculatorNode::PrepareForRun(
    const std::map<std::string, Packet>& all_side_packets,
    const std::map<std::string, Packet>& service_packets,
    std::function<void()> ready_for_open_callback,
    std::function<void()> source_node_opened_callback,
    std::function<void(CalculatorContext*)> schedule_callback,
    std::function<void(absl::Status)> error_callback, CounterFactory* counter_factory) {
  RET_CHECK(ready_for_open_callback) << "ready_for_open_callback is NULL";
  RET_CHECK(schedule_callback) << "schedule_callback is NULL";
  RET_CHECK(error_callback) << "error_callback is NULL";
  calculator_state_->ResetBetweenRuns();
  ready_for_open_callback_ = std::move(ready_for_open_callback);
  source_node_opened_callback_ = std::move(source_node_opened_callback);

  input_stream_handler_->PrepareForRun([this] { InputStreamHeadersReady(); },
                                       [this] { CheckIfBecameReady(); },
                                       std::move(schedule_callback), error_callback);
  output_stream_handler_->PrepareForRun(error_callback);

  const CalculatorContract& contract = TypeInfo(validated_graph_, node_id_).Contract();
  RETURN_IF_ERROR(input_side_packet_handler_.PrepareForRun(
      &contract.InputSidePackets(), all_side_packets, [this] { InputSidePacketsReady(); },
      std::move(error_callback)));
  calculator_state_->SetInputSidePackets(&input_side_packet_handler_.InputSidePackets());
  calculator_state_->SetOutputSidePackets(output_side_packets_.get());
  calculator_state_->SetCounterFactory(counter_factory);

  for (const auto& [key, req] : contract.ServiceRequests()) {
    auto packet = service_packets.find(key);
    if (packet == service_packets.end()) {
      RET_CHECK(req.IsOptional()) << "required service '" << key << "' was not provided";
      continue;
    }
    calculator_state_->SetServicePacket(key, packet->second);
  }

  RETURN_IF_ERROR(calculator_context_manager_.PrepareForRun(
      [this](CalculatorContext* cc) { return ConnectShardsToStreams(cc); }));
  ASSIGN_OR_RETURN(calculator_,
                   CreateCalculator(input_stream_handler_->InputTagMap(),
                                    output_stream_handler_->OutputTagMap(),
                                    validated_graph_->Package(), calculator_state_.get(),
                                    DefaultContext()));
  needs_to_close_ = false;

  std::lock_guard<std::mutex> lock(status_mutex_);
  status_ = kStatePrepared;
  scheduling_ = kSchedulingIdle;
  input_stream_headers_ready_called_ = false;
  input_side_packets_ready_called_ = false;
  input_stream_headers_ready_ = input_stream_handler_->UnsetHeaderCount() == 0;
  input_side_packets_ready_ = input_side_packet_handler_.MissingInputSidePacketCount() == 0;
  return absl::OkStatus();
}

void CalculatorNode::SetQueueSizeCallbacks(
    InputStreamManager::QueueSizeCallback becomes_full_callback,
    InputStreamManager::QueueSizeCallback becomes_not_full_callback) {
  CHECK(input_stream_handler_);
  input_stream_handler_->SetQueueSizeCallbacks(std::move(becomes_full_callback),
                                               std::move(becomes_not_full_callback));
}

void CalculatorNode::SetMaxInputStreamQueueSize(int max_queue_size) {
  CHECK(input_stream_handler_);
  input_stream_handler_->SetMaxQueueSize(max_queue_size);
}

void CalculatorNode::InputStreamHeadersReady() {
  bool ready_for_open;
  {
    std::lock_guard<std::mutex> lock(status_mutex_);
    CHECK_EQ(status_, kStatePrepared) << DebugName();
    CHECK(!input_stream_headers_ready_called_);
    input_stream_headers_ready_called_ = true;
    input_stream_headers_ready_ = true;
    ready_for_open = input_side_packets_ready_;
  }
  if (ready_for_open) ready_for_open_callback_();
}

void CalculatorNode::InputSidePacketsReady() {
  bool ready_for_open;
  {
    std::lock_guard<std::mutex> lock(status_mutex_);
    CHECK_EQ(status_, kStatePrepared) << DebugName();
    CHECK(!input_side_packets_ready_called_);
    input_side_packets_ready_called_ = true;
    input_side_packets_ready_ = true;
    ready_for_open = input_stream_headers_ready_;
  }
  if (ready_for_open) ready_for_open_callback_();
}

bool CalculatorNode::ReadyForOpen() const {
  std::lock_guard<std::mutex> lock(status_mutex_);
  return input_stream_headers_ready_ && input_side_packets_ready_;
}

bool CalculatorNode::OutputsAreConstant(CalculatorContext* cc) {
  return cc->Inputs().NumEntries() == 0 && cc->Outputs().NumEntries() == 0 &&
         !input_side_packet_handler_.InputSidePacketsChanged();
}

absl::Status CalculatorNode::CallCalculator(
    CalculatorContext* cc, absl::Status (CalculatorBase::*call)(CalculatorContext*)) {
  LegacyCalculatorSupport::Scoped<CalculatorContext> current_context(cc);
  return (calculator_.get()->*call)(cc);
}

absl::Status CalculatorNode::OpenNode() {
  VLOG(2) << "CalculatorNode::OpenNode() for " << DebugName();
  CalculatorContext* default_context = DefaultContext();
  // Upstream nodes may have set headers in their own Open.
  input_stream_handler_->UpdateInputShardHeaders(&default_context->Inputs());
  output_stream_handler_->PrepareOutputs(Timestamp::Unstarted(), &default_context->Outputs());
  calculator_context_manager_.PushInputTimestampToContext(default_context,
                                                          Timestamp::Unstarted());
  absl::Status result;
  if (OutputsAreConstant(default_context)) {
    // Nothing to compute: hand the previous run's side packets on again.
    OutputSidePacketSet& output_side_packets = default_context->OutputSidePackets();
    for (CollectionItemId id = output_side_packets.BeginId(); id < output_side_packets.EndId();
         ++id) {
      auto* side_packet = dynamic_cast<OutputSidePacketImpl*>(output_side_packets.GetPtr(id));
      if (side_packet == nullptr || side_packet->GetPacket().IsEmpty()) continue;
      const Packet previous = side_packet->GetPacket();
      side_packet->Set(previous);
    }
  } else {
    result = CallCalculator(default_context, &CalculatorBase::Open);
  }
  calculator_context_manager_.PopInputTimestampFromContext(default_context);
  // A source keeps this input timestamp until it is closed.
  if (IsSource()) calculator_context_manager_.PushInputTimestampToContext(default_context,
                                                                          Timestamp(0));
  if (IsStop(result)) {
    LOG(FATAL) << absl::Substitute(
        "Open() on node \"$0\" returned tool::StatusStop() which should only be used to "
        "signal that a source node is done producing data.",
        DebugName());
  }
  RETURN_IF_ERROR(result).SetPrepend()
      << absl::Substitute("Calculator::Open() for node \"$0\" failed: ", DebugName());
  needs_to_close_ = true;
  output_stream_handler_->Open(&default_context->Outputs());
  std::lock_guard<std::mutex> lock(status_mutex_);
  status_ = kStateOpened;
  return absl::OkStatus();
}

void CalculatorNode::NodeOpened() {
  if (input_stream_handler_->NumInputStreams() > 0) {
    CheckIfBecameReady();
  } else if (output_stream_handler_->OutputTagMap()->NumEntries() > 0) {
    if (source_node_opened_callback_) source_node_opened_callback_();
  }
}

void CalculatorNode::ActivateNode() {
  std::lock_guard<std::mutex> lock(status_mutex_);
  CHECK_EQ(status_, kStateOpened) << DebugName();
  status_ = kStateActive;
}

bool CalculatorNode::TryToBeginScheduling() {
  if (node_with_reserved_slot == this) [[likely]] {
    // The scheduling loop counted this invocation when it took the loop.
    node_with_reserved_slot = nullptr;
    return true;
  }
  // Only the count changes; the scheduling state bits are carried over.
  uint32_t word = scheduling_.load(std::memory_order_relaxed);
  while (InFlight(word) < max_in_flight_) {
    if (scheduling_.compare_exchange_weak(word, word + kOneInFlight,
                                          std::memory_order_acq_rel)) {
      return true;
    }
  }
  return false;
}

// The scheduling state is a small lock-free state machine. One thread at a time owns the
// scheduling loop (busy); an event that arrives while it scans marks the state pending, and
// the owner scans again before it lets go. Only the owner moves the state out of busy or
// pending, so an event is never left unscanned. The state shares one word with the count of
// invocations in flight, so that an ending invocation frees its slot and takes the loop (or
// marks it pending) in one step.
//
// A node with one slot usually has nothing new to schedule when its invocation ends. While
// that invocation holds the only slot nobody else can take the loop, and a notification
// arriving then sets kInputsChanged; so EndScheduling, finding the word idle, unflagged and
// holding only its own invocation, may look at the inputs itself: when they leave the node not
// ready it hands the input bound on as a scan would and frees the slot, provided the word is
// still unflagged. Otherwise it runs the loop as before.

void CalculatorNode::CheckIfBecameReady() {
  // An active source is driven by its own invocations, not by inputs.
  if (status_.load() != kStateOpened) return;
  uint32_t word = scheduling_.load();
  while (true) {
    const SchedulingState state = State(word);
    if (state == kSchedulingIdle) {
      if (InFlight(word) >= max_in_flight_) {
        // A full node stays full until an invocation ends, and EndScheduling then looks;
        // with one slot it must learn that something changed while it looked.
        if (max_in_flight_ > 1 || (word & kInputsChanged) != 0) return;
        if (scheduling_.compare_exchange_weak(word, word | kInputsChanged)) return;
        continue;
      }
      const bool reserve_slot = max_in_flight_ == 1 && !is_source_;
      const uint32_t busy =
          WithState(word, kSchedulingBusy) + (reserve_slot ? kOneInFlight : 0);
      if (scheduling_.compare_exchange_weak(word, busy)) {
        if (reserve_slot) {
          ReservedSlotLoop();
        } else {
          SchedulingLoop(max_in_flight_ - InFlight(word));
        }
        return;
      }
    } else if (state == kSchedulingBusy) {
      if (scheduling_.compare_exchange_weak(word, WithState(word, kSchedulingPending))) return;
    } else {
      return;
    }
  }
}

void CalculatorNode::EndScheduling() {
  const NodeStatus status = status_.load();
  if (status != kStateOpened && status != kStateActive) return;
  uint32_t word = scheduling_.load();
  if (max_in_flight_ == 1 && word == kOneInFlight) {
    // Idle, unflagged, and this invocation holds the only slot: nobody else can take the
    // loop until the slot is freed.
    Timestamp input_bound;
    if (input_stream_handler_->NotReadyInputBound(&input_bound)) {
      output_stream_handler_->UpdateTaskTimestampBound(input_bound);
      if (scheduling_.compare_exchange_strong(word, kSchedulingIdle)) return;
      // A notification came in meanwhile: scan as usual.
    }
  }
  while (true) {
    CHECK_GE(InFlight(word), 1);
    const uint32_t freed = word - kOneInFlight;
    // Idle: this thread takes the loop, and its scan sees every change so far. Busy: the
    // owner must scan again. Pending: it will.
    const bool take_loop = State(word) == kSchedulingIdle;
    const uint32_t next = take_loop ? WithState(freed & ~kInputsChanged, kSchedulingBusy)
                                    : WithState(freed, kSchedulingPending);
    if (scheduling_.compare_exchange_weak(word, next)) {
      if (take_loop) SchedulingLoop(max_in_flight_ - InFlight(freed));
      return;
    }
  }
}

inline void CalculatorNode::ScanInputs(int max_allowance) {
  Timestamp input_bound = Timestamp::Unset();
  input_stream_handler_->ScheduleInvocations(max_allowance, &input_bound);
  if (input_bound != Timestamp::Unset()) {
    output_stream_handler_->UpdateTaskTimestampBound(input_bound);
  }
}

void CalculatorNode::ReservedSlotLoop() {
  CalculatorNode* const outer = node_with_reserved_slot;
  node_with_reserved_slot = this;
  ScanInputs(1);
  // Still set: no invocation was queued, and the slot is freed with the loop below.
  const bool slot_unused = node_with_reserved_slot == this;
  node_with_reserved_slot = outer;
  const uint32_t release = 1 + (slot_unused ? kOneInFlight : 0);
  const uint32_t word = scheduling_.fetch_sub(release) - release;
  if (State(word) == kSchedulingIdle) return;
  // Pending: take the events that came in meanwhile and scan once more.
  SchedulingLoop(max_in_flight_ - InFlight(word));
}

void CalculatorNode::SchedulingLoop(int max_allowance) {
  while (true) {
    if (max_allowance > 0) ScanInputs(max_allowance);
    // Busy becomes idle, pending becomes busy: only this thread moves the state out of
    // either, so one decrement does it whatever else changes in the word meanwhile.
    static_assert(kSchedulingBusy - 1 == kSchedulingIdle &&
                  kSchedulingPending - 1 == kSchedulingBusy);
    const uint32_t word = scheduling_.fetch_sub(1);
    if (State(word) == kSchedulingBusy) return;
    // Pending: take the events that came in meanwhile and scan once more.
    max_allowance = max_in_flight_ - InFlight(word);
  }
}

absl::Status CalculatorNode::ProcessSourceNode(CalculatorContext* cc) {
  if (Closed()) return absl::OkStatus();
  const Timestamp input_timestamp = cc->InputTimestamp();
  output_stream_handler_->PrepareOutputs(input_timestamp, &cc->Outputs());
  VLOG(2) << "Calling Calculator::Process() for node: " << DebugName();
  const absl::Status result = CallCalculator(cc, &CalculatorBase::Process);
  if (!result.ok() && !IsStop(result)) {
    return util::StatusBuilder(result, QM_LOC).SetPrepend()
           << absl::Substitute("Calculator::Process() for node \"$0\" failed: ", DebugName());
  }
  output_stream_handler_->PostProcess(input_timestamp);
  // A source's stop status means it is done: close it.
  if (IsStop(result)) return CloseNode(absl::OkStatus(), /*graph_run_ended=*/false);
  return absl::OkStatus();
}

absl::Status CalculatorNode::ProcessNode(CalculatorContext* calculator_context) {
  if (is_source_) return ProcessSourceNode(calculator_context);

  const int num_invocations =
      calculator_context_manager_.NumberOfContextTimestamps(*calculator_context);
  if (num_invocations != 1) [[unlikely]] {
    RET_CHECK(num_invocations <= 1 || max_in_flight_ <= 1)
        << "num_invocations:" << num_invocations << ", max_in_flight_:" << max_in_flight_;
    if (num_invocations == 0) {
      return absl::InternalError("Calculator context has no input packets.");
    }
  }
  // An invocation that does not succeed returns at once.
  for (int i = 0; i < num_invocations; ++i) {
    const Timestamp input_timestamp = calculator_context->InputTimestamp();
    if (input_timestamp.IsAllowedInStream()) [[likely]] {
      input_stream_handler_->FinalizeInputSet(input_timestamp, &calculator_context->Inputs());
      output_stream_handler_->PrepareOutputs(input_timestamp, &calculator_context->Outputs());
      VLOG(2) << "Calling Calculator::Process() for node: " << DebugName();
      absl::Status result = OutputsAreConstant(calculator_context)
                                ? absl::OkStatus()
                                : CallCalculator(calculator_context, &CalculatorBase::Process);
      // Also pops this input timestamp from the context.
      input_stream_handler_->ClearCurrentInputs(calculator_context);
      if (!result.ok() && !IsStop(result)) [[unlikely]] {
        return util::StatusBuilder(result, QM_LOC).SetPrepend()
               << absl::Substitute("Calculator::Process() for node \"$0\" failed: ",
                                   DebugName());
      }
      output_stream_handler_->PostProcess(input_timestamp);
      // The stop status: the queue turns it into stopping every source.
      if (!result.ok()) [[unlikely]] return result;
    } else if (input_timestamp == Timestamp::Done()) {
      CHECK_EQ(calculator_context_manager_.NumberOfContextTimestamps( *calculator_context), 1);
      return CloseNode(absl::OkStatus(), /*graph_run_ended=*/false);
    } else {
      RET_CHECK_FAIL() << "Invalid input timestamp in ProcessNode(). timestamp: "
                       << input_timestamp.DebugString();
    }
  }
  return absl::OkStatus();
}

absl::Status CalculatorNode::CloseNode(const absl::Status& graph_status, bool graph_run_ended) {
  {
    std::lock_guard<std::mutex> lock(status_mutex_);
    RET_CHECK_NE(status_, kStateClosed) << "CloseNode() must only be called once.";
  }
  CloseInputStreams();
  CalculatorContext* default_context = DefaultContext();
  output_stream_handler_->PrepareOutputs(Timestamp::Done(), &default_context->Outputs());
  if (IsSource()) {
    calculator_context_manager_.PopInputTimestampFromContext(default_context);
    calculator_context_manager_.PushInputTimestampToContext(default_context, Timestamp::Done());
  }
  // Close reads how the run went.
  calculator_context_manager_.SetGraphStatusInContext(default_context, graph_status);
  const absl::Status result = OutputsAreConstant(default_context)
                                  ? absl::OkStatus()
                                  : CallCalculator(default_context, &CalculatorBase::Close);
  needs_to_close_ = false;
  if (IsStop(result)) {
    LOG(FATAL) << absl::Substitute(
        "Close() on node \"$0\" returned tool::StatusStop() which should only be used to "
        "signal that a source node is done producing data.",
        DebugName());
  }
  // At the end of a run the graph closes the streams itself.
  if (!graph_run_ended) CloseOutputStreams(&default_context->Outputs());
  {
    std::lock_guard<std::mutex> lock(status_mutex_);
    status_ = kStateClosed;
  }
  RETURN_IF_ERROR(result).SetPrepend()
      << absl::Substitute("Calculator::Close() for node \"$0\" failed: ", DebugName());
  VLOG(2) << "Closed node " << DebugName();
  return absl::OkStatus();
}

void CalculatorNode::CloseInputStreams() {
  if (Closed()) return;
  VLOG(2) << "Closing node " << DebugName() << " input streams.";
  input_stream_handler_->Close();
}

void CalculatorNode::CloseOutputStreams(OutputStreamShardSet* output_shards) {
  if (Closed()) return;
  VLOG(2) << "Closing node " << DebugName() << " output streams.";
  output_stream_handler_->Close(output_shards);
}

void CalculatorNode::CleanupAfterRun(const absl::Status& graph_status) {
  if (needs_to_close_) {
    calculator_context_manager_.PushInputTimestampToContext(DefaultContext(), Timestamp::Done());
    CloseNode(graph_status, /*graph_run_ended=*/true).IgnoreError();
  }
  calculator_.reset();
  calculator_context_manager_.CleanupAfterRun();
  CloseInputStreams();
  CloseOutputStreams(nullptr);
  std::lock_guard<std::mutex> lock(status_mutex_);
  status_ = kStateUnprepared;
  scheduling_ = kSchedulingIdle;
}

// The status is written under status_mutex_ but read without it: these queries run
// several times per packet, and the value alone is all they report.
bool CalculatorNode::Prepared() const { return status_.load() >= kStatePrepared; }

bool CalculatorNode::Opened() const { return status_.load() >= kStateOpened; }

bool CalculatorNode::Active() const { return status_.load() >= kStateActive; }

bool CalculatorNode::Closed() const { return status_.load() >= kStateClosed; }

std::string CalculatorNode::DebugName() const {
  const std::string first_output = output_stream_handler_->FirstStreamName();
  if (!first_output.empty()) {
    return absl::Substitute("[$0, $1 with output stream: $2]", calculator_state_->NodeName(),
                            calculator_state_->CalculatorType(), first_output);
  }
  return absl::Substitute("[$0, $1 with node ID: $2 and $3]", calculator_state_->NodeName(),
                          calculator_state_->CalculatorType(), node_id_,
                          input_stream_handler_->DebugStreamNames());
}

std::string CalculatorNode::DebugInputStreamNames() const {
  return input_stream_handler_->DebugStreamNames();
}

void CalculatorNode::SetExecutor(const std::string& executor) {
  std::lock_guard<std::mutex> lock(status_mutex_);
  CHECK_LT(status_, kStateOpened);
  executor_ = executor;
}

CalculatorContext* CalculatorNode::DefaultContext() const {
  return calculator_context_manager_.GetDefaultCalculatorContext();
}

}  // namespace kaldren
