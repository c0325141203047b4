// One node of a running graph.
//
// A `CalculatorNode` owns the calculator of one configured node (made anew for every run)
// and everything around it: the calculator state, the context manager, the input side packet
// handler and the two stream handlers. It carries the node's status and its scheduling
// counters: it decides when the node can be opened, how many invocations may be in flight,
// which thread schedules its invocations, and how a source node is driven and stopped.
//
// The graph calls `Initialize` once, and `PrepareForRun` and `CleanupAfterRun` around each
// run; the scheduler's queues call `OpenNode`, `ProcessNode`, `CloseNode` and the scheduling
// operations on executor threads. No lock of the node is held while the calculator's
// `Open`, `Process` or `Close` runs.
//
// The operations the scheduler and its queues use are virtual, so that those can be tested
// with a stand-in node.

#ifndef QUILLMERE_GRAPH_CALCULATOR_NODE_H_
#define QUILLMERE_GRAPH_CALCULATOR_NODE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "absl/base/thread_annotations.h"
#include "base/status.h"
#include "graph/calculator_context_manager.h"
#include "graph/input_side_packet_handler.h"
#include "graph/input_stream_manager.h"
#include "graph/output_side_packet.h"
#include "graph/output_stream_shard.h"
#include "graph/packet.h"
#include "graph/packet_type.h"
#include "graph/timestamp.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/stream_handler.pb.h"

namespace kaldren {

class CalculatorBase;
class CalculatorContext;
class CalculatorState;
class CounterFactory;
class InputStreamHandler;
class OutputSidePacketImpl;
class OutputStreamHandler;
class OutputStreamManager;
class ProfilingContext;
class ValidatedGraphConfig;
namespace internal {
class SchedulerQueue;
}  // namespace internal

class CalculatorNode {
 public:
  // Ordered: the status queries test for at least a given status.
  enum NodeStatus {
    kStateUnprepared = 0,
    kStatePrepared = 1,
    kStateOpened = 2,
    kStateActive = 3,  // an opened source whose layer the scheduler activated
    kStateClosed = 4,
  };

  CalculatorNode();
  CalculatorNode(const CalculatorNode&) = delete;
  CalculatorNode& operator=(const CalculatorNode&) = delete;
  virtual ~CalculatorNode();

  // Builds the node `node_id` of `validated_graph` over the graph's flat arrays of stream
  // managers and output side packets, and returns the node's buffer size hint through
  // `buffer_size_hint`. Once per graph.
  absl::Status Initialize(const ValidatedGraphConfig* validated_graph, int node_id,
                          InputStreamManager* input_stream_managers,
                          OutputStreamManager* output_stream_managers,
                          OutputSidePacketImpl* output_side_packets, int* buffer_size_hint,
                          std::shared_ptr<ProfilingContext> profiling_context);

  // Readies the node for one run: side packets, services, contexts and a new calculator.
  // `ready_for_open_callback` runs once headers and side packets are all known (if they
  // are not known yet); `source_node_opened_callback` after a source has been opened;
  // `schedule_callback` queues one invocation; `error_callback` records an error of the run.
  absl::Status PrepareForRun(const std::map<std::string, Packet>& all_side_packets,
                             const std::map<std::string, Packet>& service_packets,
                             std::function<void()> ready_for_open_callback,
                             std::function<void()> source_node_opened_callback,
                             std::function<void(CalculatorContext*)> schedule_callback,
                             std::function<void(absl::Status)> error_callback,
                             CounterFactory* counter_factory);

  // Forwarded to the input stream handler.
  void SetQueueSizeCallbacks(InputStreamManager::QueueSizeCallback becomes_full_callback,
                             InputStreamManager::QueueSizeCallback becomes_not_full_callback);
  void SetMaxInputStreamQueueSize(int max_queue_size);

  // Headers and side packets are both known.
  bool ReadyForOpen() const;

  // Runs the calculator's Open (unless the node's outputs are constant).
  virtual absl::Status OpenNode();
  // After a successful OpenNode: a node with inputs checks for ready input; a source
  // reports itself opened.
  virtual void NodeOpened();
  // The scheduler activates the source layer of this opened source.
  virtual void ActivateNode();

  // Reserves one in-flight invocation; false when every slot is taken.
  virtual bool TryToBeginScheduling();
  // Runs one scheduled invocation with `calculator_context`.
  virtual absl::Status ProcessNode(CalculatorContext* calculator_context);
  // One invocation finished: frees its slot and schedules further ready input sets.
  virtual void EndScheduling();

  // Callbacks of the handlers.
  void CheckIfBecameReady();
  void InputStreamHeadersReady();
  void InputSidePacketsReady();

  // Runs the calculator's Close once. `graph_run_ended` is true when the run is being
  // cleaned up; the output streams are then left as they are.
  virtual absl::Status CloseNode(const absl::Status& graph_status, bool graph_run_ended);
  void CloseInputStreams();
  // `output_shards` may be null: the streams are then closed without propagating shards.
  void CloseOutputStreams(OutputStreamShardSet* output_shards);

  // Ends the run: closes what is still open and resets the node for the next run.
  void CleanupAfterRun(const absl::Status& graph_status);

  // The status is at least prepared / opened / active / closed.
  bool Prepared() const;
  bool Opened() const;
  bool Active() const;
  virtual bool Closed() const;

  virtual Timestamp SourceProcessOrder(const CalculatorContext* cc) const;

  // "[name, type with output stream: first]" or, without outputs,
  // "[name, type with node ID: id and input streams]".
  virtual std::string DebugName() const;
  std::string DebugInputStreamNames() const;

  // Only before the node is opened.
  void SetExecutor(const std::string& executor);

  // No input streams and at least one output stream; fixed once the node is initialized.
  virtual bool IsSource() const { return is_source_; }
  bool UsesGpu() const { return uses_gpu_; }
  virtual int Id() const { return node_id_; }
  virtual const std::string& ExecutorName() const { return executor_; }
  virtual int SourceLayer() const { return source_layer_; }
  CalculatorState& GetCalculatorState() { return *calculator_state_; }
  virtual CalculatorContext* DefaultContext() const;

  internal::SchedulerQueue* GetSchedulerQueue() const { return scheduler_queue_; }
  // Set by the scheduler before each run.
  void SetSchedulerQueue(internal::SchedulerQueue* queue) { scheduler_queue_ = queue; }

 private:
  enum SchedulingState : uint32_t {
    kSchedulingIdle = 0,
    kSchedulingBusy = 1,     // one thread runs the scheduling loop
    kSchedulingPending = 2,  // and must scan once more before it goes idle
  };
  // The parts of the scheduling word: the state, a flag, and the invocations in flight.
  static constexpr uint32_t kStateBits = 3;
  // Set by a notification that finds the node's only slot taken and the loop idle: the
  // ending invocation must then scan in the loop rather than look at the inputs itself.
  static constexpr uint32_t kInputsChanged = 4;
  static constexpr uint32_t kOneInFlight = 8;
  static SchedulingState State(uint32_t word) {
    return static_cast<SchedulingState>(word & kStateBits);
  }
  static int InFlight(uint32_t word) { return static_cast<int>(word / kOneInFlight); }
  static uint32_t WithState(uint32_t word, SchedulingState state) {
    return (word & ~kStateBits) | state;
  }

  absl::Status InitializeOutputSidePackets(const PacketTypeSet& output_side_packet_types,
                                           OutputSidePacketImpl* output_side_packets);
  absl::Status InitializeInputSidePackets(OutputSidePacketImpl* output_side_packets);
  absl::Status InitializeOutputStreamHandler(const pellumo::OutputStreamHandlerConfig& config,
                                             const PacketTypeSet& output_stream_types);
  absl::Status InitializeOutputStreams(OutputStreamManager* output_stream_managers);
  absl::Status InitializeInputStreamHandler(const pellumo::InputStreamHandlerConfig& config,
                                            const PacketTypeSet& input_stream_types);
  absl::Status InitializeInputStreams(InputStreamManager* input_stream_managers,
                                      OutputStreamManager* output_stream_managers);
  absl::Status ConnectShardsToStreams(CalculatorContext* calculator_context);
  bool OutputsAreConstant(CalculatorContext* cc);
  // Called by the thread that moved the scheduling state to busy, with the free in-flight
  // slots it saw then; the node is not closed.
  void SchedulingLoop(int max_allowance);
  // Schedules up to `max_allowance` invocations of ready input and hands the input bound on.
  void ScanInputs(int max_allowance);
  // The loop of a one-slot node taken with its slot reserved: one scan, then the loop as
  // usual if events came in meanwhile.
  void ReservedSlotLoop();
  // Calls `call` with `cc` as this thread's current legacy context.
  absl::Status CallCalculator(CalculatorContext* cc,
                              absl::Status (CalculatorBase::*call)(CalculatorContext*));
  absl::Status ProcessSourceNode(CalculatorContext* cc);

  std::unique_ptr<CalculatorBase> calculator_;
  std::unique_ptr<CalculatorState> calculator_state_;
  int node_id_ = -1;
  std::string name_;
  std::string executor_;
  int source_layer_ = 0;
  // Changed only with status_mutex_ held; read with or without it.
  std::atomic<NodeStatus> status_{kStateUnprepared};
  int max_in_flight_ = 1;
  // The scheduling state in the low two bits, kInputsChanged and, above them, the
  // invocations in flight (raised by TryToBeginScheduling, lowered by EndScheduling); reset
  // between runs.
  std::atomic<uint32_t> scheduling_{kSchedulingIdle};
  std::function<void()> ready_for_open_callback_;
  std::function<void()> source_node_opened_callback_;
  bool input_stream_headers_ready_called_ ABSL_GUARDED_BY(status_mutex_) = false;
  bool input_side_packets_ready_called_ ABSL_GUARDED_BY(status_mutex_) = false;
  bool input_stream_headers_ready_ ABSL_GUARDED_BY(status_mutex_) = false;
  bool input_side_packets_ready_ ABSL_GUARDED_BY(status_mutex_) = false;
  CalculatorContextManager calculator_context_manager_;
  std::shared_ptr<ProfilingContext> profiling_context_;
  // A standard mutex, so that thread sanitizer builds see the locking.
  mutable std::mutex status_mutex_;
  InputSidePacketHandler input_side_packet_handler_;
  std::unique_ptr<OutputSidePacketSet> output_side_packets_;
  std::unique_ptr<InputStreamHandler> input_stream_handler_;
  std::unique_ptr<OutputStreamHandler> output_stream_handler_;
  bool uses_gpu_ = false;
  // Whether the node is a source, from its stream handlers, which Initialize creates.
  bool is_source_ = false;
  // Open succeeded in this run and Close has not run yet. Written by PrepareForRun, OpenNode
  // and CloseNode and read by CleanupAfterRun, which never overlap for one node.
  bool needs_to_close_ = false;
  internal::SchedulerQueue* scheduler_queue_ = nullptr;
  const ValidatedGraphConfig* validated_graph_ = nullptr;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATOR_NODE_H_
