// The graph runtime object: a graph of calculators built from a configuration and run in
// runs.
//
//   CalculatorGraph graph;
//   RETURN_IF_ERROR(graph.Initialize(config));
//   RETURN_IF_ERROR(graph.StartRun({{"callback", callback_packet}}));
//   for (...) RETURN_IF_ERROR(graph.AddPacketToInputStream("in", packet.At(ts)));
//   RETURN_IF_ERROR(graph.CloseAllInputStreams());
//   RETURN_IF_ERROR(graph.WaitUntilDone());
//
// A graph owns every stream, node, executor and side packet of its configuration. A run is
// started with extra side packets and graph input stream headers, fed through graph input
// streams, and finished by waiting for it; the graph can then be started again. Every error
// of a run, wherever it arises, is recorded in one list: from the first one on, adds to graph
// input streams fail with "Graph has errors: ", the run stops, and WaitUntilDone returns the
// combined status "CalculatorGraph::Run() failed in Run: ". Destroying a running graph
// cancels the run and waits for it.
//
// Thread safety: Initialize, StartRun and the setters of executors, services and GPU
// resources must not overlap. During a run, adds to different graph input streams, closes,
// waits and Cancel may come from different threads; adds to one graph input stream come
// from one thread at a time.

#ifndef QUILLMERE_GRAPH_CALCULATOR_GRAPH_H_
#define QUILLMERE_GRAPH_CALCULATOR_GRAPH_H_

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "base/status.h"
#include "base/statusor.h"
#include "graph/graph_output_stream.h"
#include "graph/graph_service.h"
#include "graph/output_stream_shard.h"
#include "graph/packet.h"
#include "graph/packet_type.h"
#include "graph/scheduler.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/calculator_graph_template.pb.h"

namespace pellumo {
class GpuResources;
class GpuSharedData;
class ThreadPoolExecutorOptions;
}  // namespace pellumo

namespace kaldren {

class CalculatorNode;
class CounterFactory;
class Executor;
class InputStreamManager;
class OutputSidePacketImpl;
class OutputStreamManager;
class PacketGeneratorGraph;
class ValidatedGraphConfig;
namespace internal {
class GraphOutputStream;
}  // namespace internal

// The graph's profiler handle, shared with every node. It records nothing.
class ProfilingContext {};
// The profile of one calculator. Nothing is profiled, so no graph hands out any.
class CalculatorProfile {};

class CalculatorGraph : public internal::SchedulerGraph {
 public:
  // What adding to a throttled graph input stream does.
  enum GraphInputStreamAddMode {
    // The add waits until the stream is no longer throttled or the run has an error.
    WAIT_WHILE_FULL = 0,
    // The add fails at once with UNAVAILABLE "Graph is throttled.".
    FAIL_WHEN_FULL = 1,
  };

  // The moment status handlers are called for.
  enum GraphRunState {
    BEFORE_RUN = 0,
    AFTER_RUN = 1,
  };

  CalculatorGraph();
  // Initializes with `config`; a failure ends the process.
  explicit CalculatorGraph(const pellumo::CalculatorGraphConfig& config);
  CalculatorGraph(const CalculatorGraph&) = delete;
  CalculatorGraph& operator=(const CalculatorGraph&) = delete;
  // Cancels a running run and waits until it has ended.
  ~CalculatorGraph() override;

  // Validates `config` and builds the graph: executors, generators whose side packets are
  // available now, streams and nodes. Once per graph.
  absl::Status Initialize(const pellumo::CalculatorGraphConfig& config);
  absl::Status Initialize(const pellumo::CalculatorGraphConfig& config,
                          const std::map<std::string, Packet>& side_packets);
  // The graph `graph_type` among `configs` and `templates` (each registered under its
  // `type`, a template under its configuration's), made for a node with the options of
  // `options` (none when null).
  absl::Status Initialize(const std::vector<pellumo::CalculatorGraphConfig>& configs,
                          const std::vector<pellumo::CalculatorGraphTemplate>& templates,
                          const std::map<std::string, Packet>& side_packets,
                          const std::string& graph_type,
                          const pellumo::CalculatorGraphConfig_Node* options = nullptr);
  // The same from an already validated configuration, which the graph takes over.
  absl::Status Initialize(std::unique_ptr<ValidatedGraphConfig> validated_graph,
                          const std::map<std::string, Packet>& side_packets);

  // Prepares a run with `extra_side_packets` and the headers of graph input streams, and
  // starts it. Refused before Initialize and while a run is in progress.
  absl::Status StartRun(const std::map<std::string, Packet>& extra_side_packets,
                        const std::map<std::string, Packet>& stream_headers = {});
  // Starts a run and waits for it; only for graphs without graph input streams.
  virtual absl::Status Run(const std::map<std::string, Packet>& extra_side_packets = {});

  // Adds a copy of `packet` (or moves it in) to the graph input stream `stream_name`.
  absl::Status AddPacketToInputStream(const std::string& stream_name, const Packet& packet);
  absl::Status AddPacketToInputStream(const std::string& stream_name, Packet&& packet);
  // The queue limit of the streams fed by `stream_name`, applied at every later run start
  // (-1: unbounded).
  absl::Status SetInputStreamMaxQueueSize(const std::string& stream_name, int max_queue_size);
  bool HasInputStream(const std::string& stream_name);
  absl::Status CloseInputStream(const std::string& stream_name);
  absl::Status CloseAllInputStreams();
  // Closes every graph input stream and stops the source nodes.
  absl::Status CloseAllPacketSources();
  GraphInputStreamAddMode GetGraphInputStreamAddMode() const;
  void SetGraphInputStreamAddMode(GraphInputStreamAddMode mode);

  // Waits until no task is queued or running. Refused for graphs with source nodes.
  absl::Status WaitUntilIdle();
  // Waits until the run has ended, finishes it and returns its outcome.
  absl::Status WaitUntilDone();
  // Waits until an observed output stream received output; OUT_OF_RANGE "Graph is done."
  // when the run ended first.
  absl::Status WaitForObservedOutput();
  // Stops the run with a CANCELLED error.
  void Cancel();
  void Pause();
  void Resume();

  // Calls `packet_callback` with every packet of the output stream `stream_name`, from the
  // next run on.
  absl::Status ObserveOutputStream(const std::string& stream_name,
                                   std::function<absl::Status(const Packet&)> packet_callback);
  // A poller of the output stream `stream_name`, from the next run on.
  util::StatusOr<OutputStreamPoller> AddOutputStreamPoller(const std::string& stream_name);
  // The output side packet `packet_name` of the last run, or one known without running.
  util::StatusOr<Packet> GetOutputSidePacket(const std::string& packet_name);

  // Executors, before Initialize: `name` must not be reserved and may be given once.
  absl::Status SetExecutor(const std::string& name, std::shared_ptr<Executor> executor);
  bool IsReservedExecutorName(const std::string& name);

  // Services, taking effect at the next run start.
  absl::Status SetServicePacket(const GraphServiceBase& service, Packet packet);
  Packet GetServicePacket(const GraphServiceBase& service);
  // The GPU resources of the graph: given as a service or made at the first run start of a
  // graph with GPU-using nodes; null otherwise.
  std::shared_ptr<pellumo::GpuResources> GetGpuResources() const;
  absl::Status SetGpuResources(std::shared_ptr<pellumo::GpuResources> resources);

  int GetMaxInputStreamQueueSize();
  const std::shared_ptr<ProfilingContext>& profiler() const { return profiling_context_; }
  // Succeeds and leaves `profiles` as it is: no calculator is profiled.
  absl::Status GetCalculatorProfiles(std::vector<CalculatorProfile>* profiles) const;

  // ---- Called by the graph's own machinery (scheduler, nodes, stream callbacks). ----

  // Records an error of the current run.
  void RecordError(const absl::Status& error) override;
  // Whether calculator `node_id` is held back by a full downstream queue.
  bool IsNodeThrottled(int node_id) override;
  // Relieves throttling while everything is idle: reports the deadlock or grows the full
  // queues by one. The queues of pollers and observers are left as they are: only their
  // readers drain them. True when some queue was grown or the deadlock reported.
  bool UnthrottleSources() override;
  // The queue-size callback of node input streams and pollers.
  void UpdateThrottledNodes(InputStreamManager* stream, bool* stream_was_full);
  // Whether every graph input stream of the current run is closed (true without any).
  bool GraphInputStreamsClosed() const override;
  OutputStreamManager* FindOutputStreamManager(const std::string& name);

 private:
  // The writer of one graph input stream, whose node id follows the calculators'.
  class GraphInputStream {
   public:
    GraphInputStream(OutputStreamManager* manager, int node_id);
    void SetHeader(const Packet& header);
    void PrepareForRun(std::function<void(const absl::Status&)> error_callback);
    template <typename T>
    void AddPacket(T&& packet) {
      shard_.AddPacket(std::forward<T>(packet));
    }
    void PropagateUpdatesToMirrors();
    void Close();
    bool IsClosed() const;
    OutputStreamManager* GetManager() { return manager_; }
    int NodeId() const { return node_id_; }

   private:
    OutputStreamManager* const manager_;
    const int node_id_;
    OutputStreamShard shard_;
  };

  absl::Status InitializeExecutors();
  absl::Status InitializeDefaultExecutor(const pellumo::ThreadPoolExecutorOptions* options,
                                         bool use_application_thread);
  absl::Status CreateDefaultThreadPool(const pellumo::ThreadPoolExecutorOptions* options,
                                       int num_threads);
  absl::Status SetExecutorInternal(const std::string& name, std::shared_ptr<Executor> executor);
  absl::Status InitializePacketGeneratorGraph(const std::map<std::string, Packet>& side_packets);
  absl::Status InitializeStreams();
  absl::Status InitializeCalculatorNodes();
  // Profiling is not configurable: succeeds without reading any profiler configuration.
  absl::Status InitializeProfiler();

  util::StatusOr<std::map<std::string, Packet>> PrepareGpu(
      const std::map<std::string, Packet>& side_packets);
  absl::Status PrepareForRun(const std::map<std::string, Packet>& extra_side_packets,
                             const std::map<std::string, Packet>& stream_headers);
  void CallStatusHandlers(GraphRunState graph_run_state, const absl::Status& status);
  void ScheduleAllOpenableNodes();

  template <typename T>
  absl::Status AddPacketToInputStreamInternal(const std::string& stream_name, T&& packet);

  // Replaces `status` with the recorded errors combined under `title`; false when none.
  bool GetCombinedErrors(const std::string& title, absl::Status* status);
  bool HasError() const { return has_error_.load(std::memory_order_acquire); }
  absl::Status FinishRun();
  void CleanupAfterRun(absl::Status* status);
  void CloseGraphInputStreamsForCleanup();
  bool UsesGpu() const;
  // The manager of an output stream that an observer or poller may attach to.
  util::StatusOr<OutputStreamManager*> ObservableOutputStream(const std::string& stream_name);

  int NumCalculators() const;

  // Fields, in construction order; destruction runs in reverse, the scheduler first.
  std::unique_ptr<pellumo::GpuSharedData> legacy_gpu_shared_;
  bool initialized_ = false;
  PacketType any_packet_type_;
  std::unique_ptr<ValidatedGraphConfig> validated_graph_;
  std::unique_ptr<PacketGeneratorGraph> packet_generator_graph_;
  bool has_sources_ = false;
  std::unique_ptr<InputStreamManager[]> input_stream_managers_;
  std::unique_ptr<OutputStreamManager[]> output_stream_managers_;
  std::unique_ptr<OutputSidePacketImpl[]> output_side_packets_;
  std::vector<std::unique_ptr<CalculatorNode>> nodes_;
  std::vector<std::shared_ptr<internal::GraphOutputStream>> graph_output_streams_;
  int max_queue_size_ = -1;
  GraphInputStreamAddMode graph_input_stream_add_mode_ = WAIT_WHILE_FULL;
  // Per node id (calculators, then graph input streams): the full streams holding it back,
  // each once. A small vector rather than a set: streams come and go every time a queue
  // crosses its limit, and a cleared vector keeps its storage.
  std::vector<std::vector<InputStreamManager*>> full_input_streams_;
  // The node id producing each of `input_stream_managers_`, looked up once.
  std::vector<int> input_stream_producers_;
  // The same for the poller streams that have reported a queue-size change, looked up by name
  // once per run. Guarded by full_input_streams_mutex_.
  absl::flat_hash_map<const InputStreamManager*, int> throttle_stream_producers_;
  // How many calculators have full streams holding them back; changed with
  // full_input_streams_mutex_ held, read without it.
  std::atomic<int> num_throttled_calculators_{0};
  absl::flat_hash_map<std::string, std::unique_ptr<GraphInputStream>> graph_input_streams_;
  absl::flat_hash_map<std::string, int> graph_input_stream_max_queue_size_;
  std::unique_ptr<CounterFactory> counter_factory_;
  std::map<std::string, std::shared_ptr<Executor>> executors_;
  std::map<std::string, Packet> current_run_side_packets_;
  std::map<std::string, Packet> service_packets_;
  // At most kMaxRecordedErrors; the rest are only counted.
  std::vector<absl::Status> errors_;
  int64_t dropped_error_count_ = 0;
  bool use_application_thread_ = false;
  mutable std::mutex error_mutex_;
  std::atomic<bool> has_error_{false};
  // Guards the add mode and the throttle table; taken before the scheduler's state lock.
  mutable std::mutex full_input_streams_mutex_;
  std::atomic<int> num_closed_graph_input_streams_{0};
  // Set between StartRun and the end of the run's cleanup.
  std::atomic<bool> run_in_progress_{false};
  std::shared_ptr<ProfilingContext> profiling_context_;
  internal::Scheduler scheduler_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATOR_GRAPH_H_
