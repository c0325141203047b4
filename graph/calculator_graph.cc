#include "graph/calculator_graph.h"

#include <algorithm>
#include <functional>
#include <unordered_set>
#include <utility>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "base/logging.h"
#include "base/status_macros.h"
#include "graph/calculator_node.h"
#include "graph/counter_factory.h"
#include "graph/executor.h"
#include "graph/fill_packet_set.h"
#include "graph/gpu_resources.h"
#include "graph/graph_output_stream.h"
#include "graph/input_stream_manager.h"
#include "graph/output_side_packet_impl.h"
#include "graph/output_stream_manager.h"
#include "graph/packet_generator_graph.h"
#include "graph/registration_macros.h"
#include "graph/scheduler.h"
#include "graph/scheduler_queue.h"
#include "graph/status_handler.h"
#include "graph/thread_pool_cpu_util.h"
#include "graph/thread_pool_executor.h"
#include "graph/thread_pool_executor.pb.h"
#include "graph/validated_graph_config.h"
#include "graph_config/status_util.h"
#include "graph_config/tag_map.h"

namespace kaldren {

namespace {

// Errors kept per run; later ones are counted only, so that a run that keeps failing cannot
// exhaust memory.
constexpr size_t kMaxRecordedErrors = 1000;

// The type of the default executor entry that runs graph tasks on the waiting caller.
constexpr char kApplicationThreadExecutorType[] = "ApplicationThreadExecutor";

constexpr char kRunFailedTitle[] = "CalculatorGraph::Run() failed in Run: ";
constexpr char kGraphHasErrorsTitle[] = "Graph has errors: ";

template <typename Map, typename Key>
bool ContainsKey(const Map& map, const Key& key) {
  return map.find(key) != map.end();
}

}  // namespace

// ---- Graph input streams. ----

CalculatorGraph::GraphInputStream::GraphInputStream(OutputStreamManager* manager, int node_id)
    : manager_(manager), node_id_(node_id) {
  shard_.SetSpec(manager_->Spec());
}

void CalculatorGraph::GraphInputStream::SetHeader(const Packet& header) {
  shard_.SetHeader(header);
  manager_->PropagateHeader();
  manager_->LockIntroData();
}

void CalculatorGraph::GraphInputStream::PrepareForRun(
    std::function<void(const absl::Status&)> error_callback) {
  manager_->PrepareForRun(std::move(error_callback));
}

void CalculatorGraph::GraphInputStream::PropagateUpdatesToMirrors() {
  // Packets of the shard are ordered; the bound follows the last one.
  CHECK(!shard_.IsEmpty()) << "Shard with name \"" << manager_->Name() << "\" failed";
  manager_->PropagateUpdatesToMirrors(shard_.LastAddedPacketTimestamp().NextAllowedInStream(),
                                      &shard_);
}

void CalculatorGraph::GraphInputStream::Close() {
  if (!shard_.IsEmpty()) {
    manager_->PropagateUpdatesToMirrors(Timestamp::Done(), &shard_);
  }
  manager_->Close();
}

bool CalculatorGraph::GraphInputStream::IsClosed() const { return manager_->IsClosed(); }

// ---- Construction and initialization. ----

CalculatorGraph::CalculatorGraph()
    : counter_factory_(std::make_unique<BasicCounterFactory>()),
      profiling_context_(std::make_shared<ProfilingContext>()),
      scheduler_(this) {}

CalculatorGraph::CalculatorGraph(const pellumo::CalculatorGraphConfig& config)
    : CalculatorGraph() {
  CHECK_EQ(::util::OkStatus(), (Initialize(config)));
}

// The scheduler goes first (it is the last member): it cancels a running run and waits until
// every task has finished, so no calculator or callback runs while the rest is torn down.
CalculatorGraph::~CalculatorGraph() = default;

absl::Status CalculatorGraph::Initialize(const pellumo::CalculatorGraphConfig& config) {
  return Initialize(config, {});
}

absl::Status CalculatorGraph::Initialize(const pellumo::CalculatorGraphConfig& config,
                                         const std::map<std::string, Packet>& side_packets) {
  auto validated_graph = std::make_unique<ValidatedGraphConfig>();
  RETURN_IF_ERROR(validated_graph->Initialize(config));
  return Initialize(std::move(validated_graph), side_packets);
}

absl::Status CalculatorGraph::Initialize(
    const std::vector<pellumo::CalculatorGraphConfig>& configs,
    const std::vector<pellumo::CalculatorGraphTemplate>& templates,
    const std::map<std::string, Packet>& side_packets, const std::string& graph_type,
    const pellumo::CalculatorGraphConfig_Node* options) {
  auto validated_graph = std::make_unique<ValidatedGraphConfig>();
  RETURN_IF_ERROR(validated_graph->Initialize(configs, templates, graph_type, options));
  return Initialize(std::move(validated_graph), side_packets);
}

absl::Status CalculatorGraph::InitializeProfiler() { return absl::OkStatus(); }

absl::Status CalculatorGraph::GetCalculatorProfiles(
    std::vector<CalculatorProfile>* profiles) const {
  return absl::OkStatus();
}

absl::Status CalculatorGraph::Initialize(std::unique_ptr<ValidatedGraphConfig> validated_graph,
                                         const std::map<std::string, Packet>& side_packets) {
  RET_CHECK_NO_LOG(!initialized_) << "CalculatorGraph can be initialized only once.";
  RET_CHECK_NO_LOG(validated_graph->Initialized()) << "validated_graph is not initialized.";
  validated_graph_ = std::move(validated_graph);
  RETURN_IF_ERROR(InitializeExecutors());
  RETURN_IF_ERROR(InitializePacketGeneratorGraph(side_packets));
  RETURN_IF_ERROR(InitializeStreams());
  RETURN_IF_ERROR(InitializeCalculatorNodes());
  initialized_ = true;
  return absl::OkStatus();
}

int CalculatorGraph::NumCalculators() const {
  return static_cast<int>(validated_graph_->CalculatorInfos().size());
}

absl::Status CalculatorGraph::InitializePacketGeneratorGraph(
    const std::map<std::string, Packet>& side_packets) {
  const std::vector<EdgeInfo>& side_packet_infos = validated_graph_->OutputSidePacketInfos();
  if (!side_packet_infos.empty()) {
    output_side_packets_ = std::make_unique<OutputSidePacketImpl[]>(side_packet_infos.size());
    for (size_t index = 0; index < side_packet_infos.size(); ++index) {
      const EdgeInfo& edge = side_packet_infos[index];
      RETURN_IF_ERROR(output_side_packets_[index].Initialize(edge.name, edge.packet_type));
    }
  }
  // With the application thread, generators run on the calling thread.
  Executor* default_executor = nullptr;
  if (!use_application_thread_) {
    default_executor = executors_[""].get();
    CHECK(default_executor);
  }
  packet_generator_graph_ = std::make_unique<PacketGeneratorGraph>();
  return packet_generator_graph_->Initialize(validated_graph_.get(), default_executor,
                                             side_packets);
}

absl::Status CalculatorGraph::InitializeStreams() {
  any_packet_type_.SetAny();

  const std::vector<EdgeInfo>& input_infos = validated_graph_->InputStreamInfos();
  input_stream_managers_ = std::make_unique<InputStreamManager[]>(input_infos.size());
  for (size_t index = 0; index < input_infos.size(); ++index) {
    const EdgeInfo& edge = input_infos[index];
    RETURN_IF_ERROR(input_stream_managers_[index].Initialize(edge.name, edge.packet_type,
                                                             edge.back_edge));
  }
  input_stream_producers_.resize(input_infos.size());
  for (size_t index = 0; index < input_infos.size(); ++index) {
    input_stream_producers_[index] = validated_graph_->OutputStreamToNode(input_infos[index].name);
  }

  const std::vector<EdgeInfo>& output_infos = validated_graph_->OutputStreamInfos();
  output_stream_managers_ = std::make_unique<OutputStreamManager[]>(output_infos.size());
  for (size_t index = 0; index < output_infos.size(); ++index) {
    const EdgeInfo& edge = output_infos[index];
    RETURN_IF_ERROR(output_stream_managers_[index].Initialize(edge.name, edge.packet_type));
  }

  ASSIGN_OR_RETURN(std::shared_ptr<tool::TagMap> input_tag_map,
                   tool::TagMap::Create(validated_graph_->Config().input_stream()));
  const int num_calculators = NumCalculators();
  int graph_input_index = 0;
  for (const std::string& stream_name : input_tag_map->Names()) {
    RET_CHECK_NO_LOG(!::kaldren::ContainsKey(graph_input_streams_, stream_name))
        << "CalculatorGraph Initialization failed, graph input stream \"" << stream_name
        << "\" was specified twice.";
    int output_stream_index = validated_graph_->OutputStreamIndex(stream_name);
    RET_CHECK_LE(0, output_stream_index).SetNoLogging();
    const EdgeInfo& edge_info = output_infos[output_stream_index];
    RET_CHECK_NO_LOG(NodeTypeInfo::NodeType::GRAPH_INPUT_STREAM == edge_info.parent_node.type);
    graph_input_streams_[stream_name] = std::make_unique<GraphInputStream>(
        &output_stream_managers_[output_stream_index], num_calculators + graph_input_index);
    ++graph_input_index;
  }

  std::lock_guard<std::mutex> lock(full_input_streams_mutex_);
  graph_input_stream_add_mode_ = WAIT_WHILE_FULL;
  return absl::OkStatus();
}

absl::Status CalculatorGraph::InitializeCalculatorNodes() {
  max_queue_size_ = validated_graph_->Config().max_queue_size();
  if (max_queue_size_ == 0) max_queue_size_ = 100;

  const int num_calculators = NumCalculators();
  nodes_.clear();
  nodes_.reserve(num_calculators);
  for (int node_id = 0; node_id < num_calculators; ++node_id) {
    nodes_.push_back(std::make_unique<CalculatorNode>());
  }
  std::vector<absl::Status> errors;
  for (int node_id = 0; node_id < num_calculators; ++node_id) {
    int buffer_size_hint = 0;
    absl::Status result = nodes_[node_id]->Initialize(
        validated_graph_.get(), node_id, input_stream_managers_.get(),
        output_stream_managers_.get(), output_side_packets_.get(), &buffer_size_hint,
        profiling_context_);
    if (buffer_size_hint > 0) max_queue_size_ = std::max(max_queue_size_, buffer_size_hint);
    if (!result.ok()) errors.push_back(result);
  }
  if (!errors.empty()) {
    return tool::CombinedStatus("CalculatorGraph::InitializeCalculatorNodes failed: ", errors);
  }
  VLOG(2) << "Maximum input stream queue size based on graph config: " << max_queue_size_;
  return absl::OkStatus();
}

// ---- Executors. ----

absl::Status CalculatorGraph::InitializeExecutors() {
  const pellumo::ThreadPoolExecutorOptions* default_options = nullptr;
  bool use_application_thread = false;
  for (const pellumo::ExecutorConfig& executor_config : validated_graph_->Config().executor()) {
    const std::string& name = executor_config.name();
    if (ContainsKey(executors_, name)) {
      if (!executor_config.type().empty()) {
        return absl::InvalidArgumentError(absl::StrCat(
            "ExecutorConfig for \"", name, "\" has a \"type\" field but is also provided to "
            "the graph with a CalculatorGraph::SetExecutor() call."));
      }
      continue;
    }
    if (name.empty()) {
      if (executor_config.type().empty()) {
        default_options =
            &executor_config.options().GetExtension(pellumo::ThreadPoolExecutorOptions::ext);
        continue;
      }
      if (executor_config.type() == kApplicationThreadExecutorType) {
        use_application_thread = true;
        continue;
      }
    }
    if (executor_config.type().empty()) {
      return absl::InvalidArgumentError(absl::StrCat(
          "ExecutorConfig for \"", name, "\" does not have a \"type\" field. The executor \"",
          name, "\" must be provided to the graph with a CalculatorGraph::SetExecutor() call."));
    }
    ASSIGN_OR_RETURN(Executor * executor,
                     ExecutorRegistry::CreateByNameInNamespace(validated_graph_->Package(),
                                                               executor_config.type(),
                                                               executor_config.options()));
    CHECK_EQ(absl::OkStatus(),
             SetExecutorInternal(name, std::shared_ptr<Executor>(executor)));
  }
  if (!ContainsKey(executors_, "")) {
    RETURN_IF_ERROR(InitializeDefaultExecutor(default_options, use_application_thread));
  }
  return absl::OkStatus();
}

absl::Status CalculatorGraph::InitializeDefaultExecutor(
    const pellumo::ThreadPoolExecutorOptions* options, bool use_application_thread) {
  if (use_application_thread) {
    use_application_thread_ = true;
    auto executor = std::make_shared<internal::ApplicationThreadExecutor>(&scheduler_);
    CHECK_EQ(absl::OkStatus(), SetExecutorInternal("", std::move(executor)));
    return absl::OkStatus();
  }
  int num_threads = options == nullptr ? 0 : options->num_threads();
  if (num_threads == 0 || num_threads == -1) {
    const pellumo::CalculatorGraphConfig& config = validated_graph_->Config();
    num_threads = std::min(
        NumCPUCores(),
        std::max({1, config.node_size(), config.packet_generator_size()}));
  }
  return CreateDefaultThreadPool(options, num_threads);
}

absl::Status CalculatorGraph::CreateDefaultThreadPool(
    const pellumo::ThreadPoolExecutorOptions* options, int num_threads) {
  pellumo::PellumoOptions extendable_options;
  pellumo::ThreadPoolExecutorOptions* pool_options =
      extendable_options.MutableExtension(pellumo::ThreadPoolExecutorOptions::ext);
  if (options != nullptr) *pool_options = *options;
  pool_options->set_num_threads(num_threads);
  ASSIGN_OR_RETURN(Executor * executor, ThreadPoolExecutor::Create(extendable_options));
  return SetExecutorInternal("", std::shared_ptr<Executor>(executor));
}

absl::Status CalculatorGraph::SetExecutorInternal(const std::string& name,
                                                  std::shared_ptr<Executor> executor) {
  if (!executors_.emplace(name, executor).second) {
    return absl::AlreadyExistsError(
        absl::StrCat("SetExecutor must be called only once for the executor \"", name, "\""));
  }
  if (name.empty()) {
    scheduler_.SetExecutor(executor.get());
    return absl::OkStatus();
  }
  return scheduler_.SetNonDefaultExecutor(name, executor.get());
}

absl::Status CalculatorGraph::SetExecutor(const std::string& name,
                                          std::shared_ptr<Executor> executor) {
  RET_CHECK(!initialized_) << "SetExecutor can only be called before Initialize()";
  if (IsReservedExecutorName(name)) {
    return absl::InvalidArgumentError(
        absl::StrCat("\"", name, "\" is a reserved executor name."));
  }
  return SetExecutorInternal(name, std::move(executor));
}

bool CalculatorGraph::IsReservedExecutorName(const std::string& name) {
  return ValidatedGraphConfig::IsReservedExecutorName(name);
}

// ---- Services and GPU resources. ----

absl::Status CalculatorGraph::SetServicePacket(const GraphServiceBase& service, Packet packet) {
  service_packets_[service.key] = std::move(packet);
  return absl::OkStatus();
}

Packet CalculatorGraph::GetServicePacket(const GraphServiceBase& service) {
  auto it = service_packets_.find(service.key);
  if (it == service_packets_.end()) return Packet();
  return it->second;
}

std::shared_ptr<pellumo::GpuResources> CalculatorGraph::GetGpuResources() const {
  auto it = service_packets_.find(kGpuService.key);
  if (it == service_packets_.end() || it->second.IsEmpty()) return nullptr;
  return it->second.Get<std::shared_ptr<pellumo::GpuResources>>();
}

absl::Status CalculatorGraph::SetGpuResources(std::shared_ptr<pellumo::GpuResources> resources) {
  RET_CHECK(!ContainsKey(service_packets_, kGpuService.key))
      << "The GPU resources have already been configured.";
  service_packets_[kGpuService.key] =
      MakePacket<std::shared_ptr<pellumo::GpuResources>>(std::move(resources));
  return absl::OkStatus();
}

bool CalculatorGraph::UsesGpu() const {
  for (const auto& node : nodes_) {
    if (node->UsesGpu()) return true;
  }
  return false;
}

util::StatusOr<std::map<std::string, Packet>> CalculatorGraph::PrepareGpu(
    const std::map<std::string, Packet>& side_packets) {
  std::map<std::string, Packet> additional_side_packets;
  if (!UsesGpu()) return additional_side_packets;

  auto legacy_it = side_packets.find(kGpuSharedSidePacketName);
  const bool has_legacy_packet = legacy_it != side_packets.end() && !legacy_it->second.IsEmpty();
  std::shared_ptr<pellumo::GpuResources> gpu_resources;
  bool make_legacy_packet = true;
  auto service_it = service_packets_.find(kGpuService.key);
  if (service_it != service_packets_.end()) {
    if (has_legacy_packet) {
      LOG(WARNING) << "::pellumo::GpuSharedData provided as a side packet while the "
                   << "graph already had one; ignoring side packet";
    }
    gpu_resources = service_it->second.Get<std::shared_ptr<pellumo::GpuResources>>();
  } else {
    if (has_legacy_packet) {
      gpu_resources = legacy_it->second.Get<pellumo::GpuSharedData*>()->physical_gpu_resources;
      make_legacy_packet = false;
    } else {
      ASSIGN_OR_RETURN(gpu_resources, pellumo::GpuResources::Create());
    }
    service_packets_[kGpuService.key] =
        MakePacket<std::shared_ptr<pellumo::GpuResources>>(gpu_resources);
  }
  if (make_legacy_packet) {
    legacy_gpu_shared_ = std::make_unique<pellumo::GpuSharedData>(gpu_resources);
    additional_side_packets[kGpuSharedSidePacketName] =
        MakePacket<pellumo::GpuSharedData*>(legacy_gpu_shared_.get());
  }

  for (const auto& node : nodes_) {
    if (node->UsesGpu()) gpu_resources->PrepareGpuNode(node.get());
  }
  for (const auto& [name, executor] : gpu_resources->GetGpuExecutors()) {
    // A later run finds the executors of the first: the same object is kept, a different
    // one under a taken name is refused.
    auto existing = executors_.find(name);
    if (existing != executors_.end() && existing->second == executor) continue;
    RETURN_IF_ERROR(SetExecutorInternal(name, executor));
  }
  return additional_side_packets;
}

// ---- Run start. ----

absl::Status CalculatorGraph::StartRun(const std::map<std::string, Packet>& extra_side_packets,
                                       const std::map<std::string, Packet>& stream_headers) {
  RET_CHECK_NO_LOG(initialized_) << "CalculatorGraph is not initialized.";
  RET_CHECK_NO_LOG(!run_in_progress_.load())
      << "StartRun called while a run is in progress; finish it with WaitUntilDone() first.";
  RETURN_IF_ERROR(PrepareForRun(extra_side_packets, stream_headers));
  {
    std::lock_guard<std::mutex> lock(full_input_streams_mutex_);
    run_in_progress_.store(true);
  }
  scheduler_.Start();
  return absl::OkStatus();
}

absl::Status CalculatorGraph::Run(const std::map<std::string, Packet>& extra_side_packets) {
  RET_CHECK_NO_LOG(graph_input_streams_.empty())
      << "When using graph input streams, call StartRun() instead of Run() so that "
         "AddPacketToInputStream() and CloseInputStream() can be called.";
  RETURN_IF_ERROR(StartRun(extra_side_packets, {}));
  return WaitUntilDone();
}

absl::Status CalculatorGraph::PrepareForRun(
    const std::map<std::string, Packet>& extra_side_packets,
    const std::map<std::string, Packet>& stream_headers) {
  if (VLOG_IS_ON(1)) {
    for (const auto& [name, packet] : extra_side_packets) {
      VLOG(1) << "Adding extra_side_packet with name: " << name;
    }
  }
  {
    std::lock_guard<std::mutex> lock(error_mutex_);
    errors_.clear();
    dropped_error_count_ = 0;
    has_error_.store(false, std::memory_order_release);
  }
  num_closed_graph_input_streams_.store(0);

  ASSIGN_OR_RETURN(auto additional_side_packets, PrepareGpu(extra_side_packets));
  const std::map<std::string, Packet>* input_side_packets = &extra_side_packets;
  std::map<std::string, Packet> merged_side_packets;
  if (!additional_side_packets.empty()) {
    merged_side_packets = std::move(additional_side_packets);
    // A side packet made for the GPU wins over a caller's of the same name.
    merged_side_packets.insert(extra_side_packets.begin(), extra_side_packets.end());
    input_side_packets = &merged_side_packets;
  }

  current_run_side_packets_.clear();
  absl::Status generator_status =
      packet_generator_graph_->RunGraphSetup(*input_side_packets, &current_run_side_packets_);
  CallStatusHandlers(BEFORE_RUN, generator_status);
  RETURN_IF_ERROR(generator_status);
  {
    absl::Status error_status;
    if (GetCombinedErrors(kRunFailedTitle, &error_status)) {
      LOG(ERROR) << error_status;
      return error_status;
    }
  }
  if (VLOG_IS_ON(1)) {
    std::vector<std::string> names;
    for (const auto& [name, packet] : current_run_side_packets_) names.push_back(name);
    VLOG(1) << "Final input side packet names are: " << absl::StrJoin(names, ",");
  }

  if (!use_application_thread_) {
    Executor* default_executor = nullptr;
    auto it = executors_.find("");
    if (it != executors_.end()) default_executor = it->second.get();
    RET_CHECK(default_executor);
  }

  scheduler_.Reset();
  {
    std::lock_guard<std::mutex> lock(full_input_streams_mutex_);
    full_input_streams_.assign(nodes_.size() + graph_input_streams_.size(), {});
    num_throttled_calculators_.store(0);
    throttle_stream_producers_.clear();
  }

  auto error_callback = [this](const absl::Status& status) { RecordError(status); };
  for (auto& [name, stream] : graph_input_streams_) stream->PrepareForRun(error_callback);
  for (size_t index = 0; index < validated_graph_->OutputSidePacketInfos().size(); ++index) {
    output_side_packets_[index].PrepareForRun(error_callback);
  }
  for (auto& node : nodes_) {
    InputStreamManager::QueueSizeCallback queue_size_callback =
        [this](InputStreamManager* stream, bool* stream_was_full) {
          UpdateThrottledNodes(stream, stream_was_full);
        };
    node->SetQueueSizeCallbacks(queue_size_callback, queue_size_callback);
    scheduler_.AssignNodeToSchedulerQueue(node.get());
    CalculatorNode* node_ptr = node.get();
    internal::Scheduler* scheduler = &scheduler_;
    absl::Status result = node->PrepareForRun(
        current_run_side_packets_, service_packets_,
        [scheduler, node_ptr]() { scheduler->ScheduleNodeForOpen(node_ptr); },
        [scheduler, node_ptr]() { scheduler->AddNodeToSourcesQueue(node_ptr); },
        [this, scheduler, node_ptr](CalculatorContext* cc) {
          // Mostly no calculator is throttled at all, and then nothing needs asking.
          if (num_throttled_calculators_.load() == 0) {
            node_ptr->GetSchedulerQueue()->AddNode(node_ptr, cc);
          } else {
            scheduler->ScheduleNodeIfNotThrottled(node_ptr, cc);
          }
        },
        error_callback, counter_factory_.get());
    if (!result.ok()) RecordError(result);
  }
  for (const auto& graph_output_stream : graph_output_streams_) {
    internal::GraphOutputStream* stream = graph_output_stream.get();
    stream->PrepareForRun(
        [this, stream]() {
          absl::Status status = stream->Notify();
          if (!status.ok()) RecordError(status);
          scheduler_.EmittedObservedOutput();
        },
        error_callback);
  }
  {
    absl::Status error_status;
    if (GetCombinedErrors(kRunFailedTitle, &error_status)) {
      LOG(ERROR) << error_status;
      CleanupAfterRun(&error_status);
      return error_status;
    }
  }

  for (auto& node : nodes_) node->SetMaxInputStreamQueueSize(max_queue_size_);
  for (const auto& [name, max_queue_size] : graph_input_stream_max_queue_size_) {
    auto it = graph_input_streams_.find(name);
    GraphInputStream* stream = it == graph_input_streams_.end() ? nullptr : it->second.get();
    RET_CHECK_NO_LOG(stream) << "SetInputStreamMaxQueueSize called on \"" << name
                             << "\" which is not a graph input stream.";
    stream->GetManager()->SetMaxQueueSize(max_queue_size);
  }

  for (auto& node : nodes_) {
    if (node->IsSource()) {
      scheduler_.AddUnopenedSourceNode(node.get());
      has_sources_ = true;
    }
  }

  VLOG(2) << "Opening calculators.";
  ScheduleAllOpenableNodes();

  for (auto& [name, stream] : graph_input_streams_) {
    auto header = stream_headers.find(name);
    stream->SetHeader(header == stream_headers.end() ? Packet() : header->second);
  }
  return absl::OkStatus();
}

void CalculatorGraph::ScheduleAllOpenableNodes() {
  for (auto& node : nodes_) {
    if (node->ReadyForOpen()) scheduler_.ScheduleNodeForOpen(node.get());
  }
}

void CalculatorGraph::CallStatusHandlers(GraphRunState graph_run_state,
                                         const absl::Status& status) {
  const pellumo::CalculatorGraphConfig& config = validated_graph_->Config();
  for (int index = 0; index < config.status_handler_size(); ++index) {
    const pellumo::StatusHandlerConfig& handler_config = config.status_handler(index);
    const std::string& handler_type = handler_config.status_handler();
    const PacketTypeSet& side_packet_types =
        validated_graph_->StatusHandlerInfos()[index].Contract().InputSidePackets();
    util::StatusOr<std::unique_ptr<PacketSet>> packet_set =
        tool::FillPacketSet(side_packet_types, current_run_side_packets_, nullptr);
    if (!packet_set.ok()) {
      RecordError(tool::AddStatusPrefix(absl::StrCat("Skipping run of ", handler_type, ": "),
                                        packet_set.status()));
      continue;
    }
    util::StatusOr<std::unique_ptr<internal::StaticAccessToStatusHandler>> access =
        StatusHandlerRegistry::CreateByNameInNamespace(validated_graph_->Package(),
                                                       handler_type);
    CHECK(access.ok()) << handler_type << " is not registered.";
    absl::Status handler_result;
    if (graph_run_state == BEFORE_RUN) {
      handler_result = (*access)->HandlePreRunStatus(handler_config.options(), **packet_set,
                                                     status);
      if (!handler_result.ok()) {
        RecordError(tool::AddStatusPrefix(
            absl::StrCat(handler_type, "::HandlePreRunStatus failed: "), handler_result));
      }
    } else {
      handler_result = (*access)->HandleStatus(handler_config.options(), **packet_set, status);
      if (!handler_result.ok()) {
        RecordError(tool::AddStatusPrefix(absl::StrCat(handler_type, "::HandleStatus failed: "),
                                          handler_result));
      }
    }
  }
}

// ---- Graph input streams. ----

absl::Status CalculatorGraph::AddPacketToInputStream(const std::string& stream_name,
                                                     const Packet& packet) {
  return AddPacketToInputStreamInternal(stream_name, packet);
}

absl::Status CalculatorGraph::AddPacketToInputStream(const std::string& stream_name,
                                                     Packet&& packet) {
  return AddPacketToInputStreamInternal(stream_name, std::move(packet));
}

template <typename T>
absl::Status CalculatorGraph::AddPacketToInputStreamInternal(const std::string& stream_name,
                                                             T&& packet) {
  auto stream_it = graph_input_streams_.find(stream_name);
  GraphInputStream* stream =
      stream_it == graph_input_streams_.end() ? nullptr : stream_it->second.get();
  RET_CHECK_NO_LOG(stream) << "AddPacketToInputStream called on input stream \"" << stream_name
                           << "\" which is not a graph input stream.";
  const size_t node_id = stream->NodeId();
  {
    std::unique_lock<std::mutex> lock(full_input_streams_mutex_);
    // Outside a run the stream has no throttle entry and no error callback to report to.
    const bool in_run = run_in_progress_.load() && node_id < full_input_streams_.size();
    RET_CHECK_NO_LOG(in_run) << "AddPacketToInputStream called on input stream \""
                             << stream_name << "\" while no run is in progress.";
    if (graph_input_stream_add_mode_ == FAIL_WHEN_FULL) {
      if (HasError()) {
        absl::Status error_status;
        GetCombinedErrors(kGraphHasErrorsTitle, &error_status);
        return error_status;
      }
      if (!full_input_streams_[node_id].empty()) {
        return absl::UnavailableError("Graph is throttled.");
      }
    } else if (graph_input_stream_add_mode_ == WAIT_WHILE_FULL) {
      while (!HasError() && node_id < full_input_streams_.size() &&
             !full_input_streams_[node_id].empty()) {
        scheduler_.WaitUntilGraphInputStreamUnthrottled(&full_input_streams_mutex_);
        // A run that ended while throttled unthrottles nobody: stop waiting.
        if (scheduler_.IsTerminated()) break;
      }
      if (HasError()) {
        absl::Status error_status;
        GetCombinedErrors(kGraphHasErrorsTitle, &error_status);
        return error_status;
      }
      RET_CHECK_NO_LOG(node_id < full_input_streams_.size())
          << "AddPacketToInputStream called on input stream \"" << stream_name
          << "\" while no run is in progress.";
    }
  }

  stream->AddPacket(std::forward<T>(packet));
  if (HasError()) {
    absl::Status error_status;
    GetCombinedErrors(kGraphHasErrorsTitle, &error_status);
    return error_status;
  }
  scheduler_.GraphInputDeliveryStarted();
  stream->PropagateUpdatesToMirrors();
  VLOG(2) << "Packet added directly to: " << stream_name;
  scheduler_.AddedPacketToGraphInputStream();
  return absl::OkStatus();
}

absl::Status CalculatorGraph::SetInputStreamMaxQueueSize(const std::string& stream_name,
                                                         int max_queue_size) {
  graph_input_stream_max_queue_size_[stream_name] = max_queue_size;
  return absl::OkStatus();
}

bool CalculatorGraph::HasInputStream(const std::string& stream_name) {
  return ContainsKey(graph_input_streams_, stream_name);
}

absl::Status CalculatorGraph::CloseInputStream(const std::string& stream_name) {
  auto it = graph_input_streams_.find(stream_name);
  GraphInputStream* stream = it == graph_input_streams_.end() ? nullptr : it->second.get();
  RET_CHECK_NO_LOG(stream) << "CloseInputStream called on input stream \"" << stream_name
                           << "\" which is not a graph input stream.";
  if (stream->IsClosed()) return absl::OkStatus();
  scheduler_.GraphInputDeliveryStarted();
  stream->Close();
  if (num_closed_graph_input_streams_.fetch_add(1) + 1 ==
      static_cast<int>(graph_input_streams_.size())) {
    scheduler_.ClosedAllGraphInputStreams();
  }
  scheduler_.GraphInputDeliveryFinished();
  return absl::OkStatus();
}

absl::Status CalculatorGraph::CloseAllInputStreams() {
  scheduler_.GraphInputDeliveryStarted();
  for (auto& [name, stream] : graph_input_streams_) stream->Close();
  num_closed_graph_input_streams_.store(static_cast<int>(graph_input_streams_.size()));
  scheduler_.ClosedAllGraphInputStreams();
  scheduler_.GraphInputDeliveryFinished();
  return absl::OkStatus();
}

absl::Status CalculatorGraph::CloseAllPacketSources() {
  RETURN_IF_ERROR(CloseAllInputStreams());
  scheduler_.CloseAllSourceNodes();
  return absl::OkStatus();
}

bool CalculatorGraph::GraphInputStreamsClosed() const {
  return num_closed_graph_input_streams_.load() ==
         static_cast<int>(graph_input_streams_.size());
}

CalculatorGraph::GraphInputStreamAddMode CalculatorGraph::GetGraphInputStreamAddMode() const {
  std::lock_guard<std::mutex> lock(full_input_streams_mutex_);
  return graph_input_stream_add_mode_;
}

void CalculatorGraph::SetGraphInputStreamAddMode(GraphInputStreamAddMode mode) {
  std::lock_guard<std::mutex> lock(full_input_streams_mutex_);
  graph_input_stream_add_mode_ = mode;
}

// ---- Throttling. ----

void CalculatorGraph::UpdateThrottledNodes(InputStreamManager* stream, bool* stream_was_full) {
  std::vector<CalculatorNode*> nodes_to_schedule;
  {
    const int num_calculators = NumCalculators();
    std::lock_guard<std::mutex> lock(full_input_streams_mutex_);
    const bool stream_is_full = stream->IsFull();
    if (stream_is_full != *stream_was_full) {
      int producer;
      const InputStreamManager* const inputs = input_stream_managers_.get();
      if (std::less_equal<const InputStreamManager*>()(inputs, stream) &&
          std::less<const InputStreamManager*>()(stream, inputs + input_stream_producers_.size())) {
        producer = input_stream_producers_[stream - inputs];
      } else {
        // A poller's stream.
        auto [producer_it, inserted] = throttle_stream_producers_.try_emplace(stream, -1);
        if (inserted) producer_it->second = validated_graph_->OutputStreamToNode(stream->Name());
        producer = producer_it->second;
      }
      // A graph input stream's only source is its own id; a node's output stream throttles
      // the node's ancestor sources. Neither needs a set built per call.
      const std::unordered_set<int>* ancestor_sources =
          producer >= 0 && producer < num_calculators
              ? &validated_graph_->CalculatorInfos()[producer].AncestorSources()
              : nullptr;
      auto update_source = [&](int node_id) {
        if (node_id < 0 || static_cast<size_t>(node_id) >= full_input_streams_.size()) return;
        VLOG(2) << "Stream \"" << stream->Name() << "\" is "
                << (stream_is_full ? "throttling" : "no longer throttling")
                << " node with node ID " << node_id;
        std::vector<InputStreamManager*>& full_streams = full_input_streams_[node_id];
        const bool was_throttled = !full_streams.empty();
        auto it = std::find(full_streams.begin(), full_streams.end(), stream);
        if (stream_is_full) {
          if (it == full_streams.end()) full_streams.push_back(stream);
        } else if (it != full_streams.end()) {
          *it = full_streams.back();
          full_streams.pop_back();
        }
        if (node_id < num_calculators && was_throttled == full_streams.empty()) {
          num_throttled_calculators_.fetch_add(was_throttled ? -1 : 1);
        }
        if (node_id >= num_calculators) {
          if (full_streams.empty()) {
            scheduler_.UnthrottledGraphInputStream();
          } else if (!was_throttled) {
            scheduler_.ThrottledGraphInputStream();
          }
        } else if (full_streams.empty()) {
          CalculatorNode* node = nodes_[node_id].get();
          if (node->Active() && !node->Closed()) nodes_to_schedule.push_back(node);
        }
      };
      if (producer >= num_calculators) {
        update_source(producer);
      } else if (ancestor_sources != nullptr) {
        for (int node_id : *ancestor_sources) update_source(node_id);
      }
    }
    *stream_was_full = stream_is_full;
  }
  if (!nodes_to_schedule.empty()) scheduler_.ScheduleUnthrottledReadyNodes(nodes_to_schedule);
}

bool CalculatorGraph::IsNodeThrottled(int node_id) {
  // Asked before every invocation; most of the time no calculator is throttled at all.
  if (num_throttled_calculators_.load() == 0) return false;
  std::lock_guard<std::mutex> lock(full_input_streams_mutex_);
  return max_queue_size_ != -1 && node_id >= 0 &&
         static_cast<size_t>(node_id) < full_input_streams_.size() &&
         !full_input_streams_[node_id].empty();
}

bool CalculatorGraph::UnthrottleSources() {
  std::unordered_set<InputStreamManager*> full_streams;
  {
    std::lock_guard<std::mutex> lock(full_input_streams_mutex_);
    for (const std::vector<InputStreamManager*>& streams : full_input_streams_) {
      full_streams.insert(streams.begin(), streams.end());
    }
  }
  bool relieved = false;
  for (InputStreamManager* stream : full_streams) {
    bool is_graph_output = false;
    for (const auto& graph_output_stream : graph_output_streams_) {
      if (graph_output_stream->input_stream() == stream) is_graph_output = true;
    }
    if (is_graph_output) continue;
    if (validated_graph_->Config().report_deadlock()) {
      RecordError(absl::UnavailableError(absl::StrCat(
          "Detected a deadlock due to input throttling for: \"", stream->Name(),
          "\". All calculators are idle while packet sources remain active and throttled.  "
          "Consider adjusting \"max_queue_size\" or \"resolve_deadlock\".")));
      relieved = true;
      continue;
    }
    const int new_size = stream->QueueSize() + 1;
    stream->SetMaxQueueSize(new_size);
    relieved = true;
    LOG_EVERY_N(WARNING, 100) << "Resolved a deadlock by increasing max_queue_size of input "
                                 "stream: "
                              << stream->Name() << " to: " << new_size
                              << ". Consider increasing max_queue_size for better performance.";
  }
  return relieved;
}

int CalculatorGraph::GetMaxInputStreamQueueSize() { return max_queue_size_; }

// ---- Errors. ----

void CalculatorGraph::RecordError(const absl::Status& error) {
  VLOG(2) << "RecordError called with " << error;
  std::lock_guard<std::mutex> lock(error_mutex_);
  if (errors_.size() < kMaxRecordedErrors) {
    errors_.push_back(error);
  } else if (dropped_error_count_++ == 0) {
    LOG(WARNING) << "More than " << kMaxRecordedErrors
                 << " errors were recorded in this run; only the first " << kMaxRecordedErrors
                 << " are kept and reported.";
  }
  has_error_.store(true, std::memory_order_release);
  scheduler_.SetHasError(true);
  for (const auto& stream : graph_output_streams_) stream->NotifyError();
}

bool CalculatorGraph::GetCombinedErrors(const std::string& title, absl::Status* status) {
  std::lock_guard<std::mutex> lock(error_mutex_);
  if (errors_.empty()) return false;
  *status = tool::CombinedStatus(title, errors_);
  return true;
}

// ---- Waiting and the end of a run. ----

absl::Status CalculatorGraph::WaitUntilIdle() {
  if (has_sources_) {
    return absl::InvalidArgumentError("WaitUntilIdle called on a graph with source nodes.");
  }
  RETURN_IF_ERROR(scheduler_.WaitUntilIdle());
  VLOG(2) << "Scheduler idle.";
  absl::Status status;
  if (GetCombinedErrors(kRunFailedTitle, &status)) {
    LOG(ERROR) << status;
  }
  return status;
}

absl::Status CalculatorGraph::WaitUntilDone() {
  VLOG(2) << "Waiting for scheduler to terminate...";
  RETURN_IF_ERROR(scheduler_.WaitUntilDone());
  VLOG(2) << "Scheduler terminated.";
  return FinishRun();
}

absl::Status CalculatorGraph::WaitForObservedOutput() {
  return scheduler_.WaitForObservedOutput();
}

void CalculatorGraph::Cancel() { scheduler_.Cancel(); }
void CalculatorGraph::Pause() { scheduler_.Pause(); }
void CalculatorGraph::Resume() { scheduler_.Resume(); }

absl::Status CalculatorGraph::FinishRun() {
  absl::Status status;
  GetCombinedErrors(kRunFailedTitle, &status);
  CleanupAfterRun(&status);
  return status;
}

void CalculatorGraph::CloseGraphInputStreamsForCleanup() {
  for (auto& [name, stream] : graph_input_streams_) stream->Close();
}

void CalculatorGraph::CleanupAfterRun(absl::Status* status) {
  CloseGraphInputStreamsForCleanup();
  CallStatusHandlers(AFTER_RUN, *status);
  if (HasError()) {
    GetCombinedErrors(kRunFailedTitle, status);
  } else {
    *status = absl::OkStatus();
  }
  for (auto& node : nodes_) node->CleanupAfterRun(*status);
  for (const auto& stream : graph_output_streams_) stream->CloseInputStream();
  scheduler_.CleanupAfterRun();
  {
    std::lock_guard<std::mutex> lock(error_mutex_);
    errors_.clear();
    dropped_error_count_ = 0;
    has_error_.store(false, std::memory_order_release);
  }
  {
    std::lock_guard<std::mutex> lock(full_input_streams_mutex_);
    full_input_streams_.clear();
    num_throttled_calculators_.store(0);
    run_in_progress_.store(false);
  }
}

// ---- Graph output streams and side packets. ----

OutputStreamManager* CalculatorGraph::FindOutputStreamManager(const std::string& name) {
  const int index = validated_graph_->OutputStreamIndex(name);
  CHECK_LE(0, index) << "\"" << name << "\" is not an output stream of the graph";
  return &output_stream_managers_[index];
}

util::StatusOr<OutputStreamManager*> CalculatorGraph::ObservableOutputStream(
    const std::string& stream_name) {
  RET_CHECK_NO_LOG(initialized_) << "CalculatorGraph is not initialized.";
  const int index = validated_graph_->OutputStreamIndex(stream_name);
  if (index < 0) {
    return absl::NotFoundError(absl::StrCat("Unable to attach observer to output stream \"",
                                            stream_name, "\" because it doesn't exist."));
  }
  return &output_stream_managers_[index];
}

absl::Status CalculatorGraph::ObserveOutputStream(
    const std::string& stream_name, std::function<absl::Status(const Packet&)> packet_callback) {
  ASSIGN_OR_RETURN(OutputStreamManager * manager, ObservableOutputStream(stream_name));
  auto observer = std::make_shared<internal::OutputStreamObserver>();
  RETURN_IF_ERROR(observer->Initialize(stream_name, &any_packet_type_, std::move(packet_callback),
                                       manager));
  graph_output_streams_.push_back(std::move(observer));
  return absl::OkStatus();
}

util::StatusOr<OutputStreamPoller> CalculatorGraph::AddOutputStreamPoller(
    const std::string& stream_name) {
  ASSIGN_OR_RETURN(OutputStreamManager * manager, ObservableOutputStream(stream_name));
  auto poller = std::make_shared<internal::OutputStreamPollerImpl>();
  RETURN_IF_ERROR(poller->Initialize(
      stream_name, &any_packet_type_,
      [this](InputStreamManager* stream, bool* stream_was_full) {
        UpdateThrottledNodes(stream, stream_was_full);
      },
      manager));
  graph_output_streams_.push_back(poller);
  return OutputStreamPoller(std::move(poller));
}

util::StatusOr<Packet> CalculatorGraph::GetOutputSidePacket(const std::string& packet_name) {
  const int index = validated_graph_->OutputSidePacketIndex(packet_name);
  if (index < 0) {
    return absl::NotFoundError(absl::StrCat("Unable to get the output side packet \"",
                                            packet_name, "\" because it doesn't exist."));
  }
  Packet output_packet;
  if (scheduler_.IsTerminated()) output_packet = output_side_packets_[index].GetPacket();
  if (output_packet.IsEmpty()) {
    const std::map<std::string, Packet>& base_packets = packet_generator_graph_->BasePackets();
    auto base_it = base_packets.find(packet_name);
    auto run_it = current_run_side_packets_.find(packet_name);
    if (base_it != base_packets.end() && !base_it->second.IsEmpty()) {
      output_packet = base_it->second;
    } else if (run_it != current_run_side_packets_.end() && !run_it->second.IsEmpty()) {
      output_packet = run_it->second;
    } else {
      return absl::UnavailableError(absl::StrCat("The output side packet \"", packet_name,
                                                 "\" is unavailable."));
    }
  }
  return output_packet;
}

}  // namespace kaldren
