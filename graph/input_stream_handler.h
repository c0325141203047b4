// The input side of a node: its input stream queues, the policy that decides when the node
// can run, and the filling of the input set of each invocation.
//
// Upstream output streams and graph input streams deliver packets, bounds and headers to a
// node's handler (as the mirror target of each input stream). After every change that may
// have made the node ready the handler calls its notification callback; the node then runs
// `ScheduleInvocations` from its scheduling loop, which asks the readiness policy of the
// subclass (`GetNodeReadiness`) for the next input timestamp, prepares a context for it
// (`FillInputSet`) and hands the context to the schedule callback.
//
// Errors of the stream operations go to the error callback of the run; misuse by the
// framework is fatal. A handler is made once per node and serves every run.

#ifndef QUILLMERE_GRAPH_INPUT_STREAM_HANDLER_H_
#define QUILLMERE_GRAPH_INPUT_STREAM_HANDLER_H_

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "base/status.h"
#include "graph/calculator_context.h"
#include "graph/calculator_context_manager.h"
#include "graph/input_stream_manager.h"
#include "graph/input_stream_mirror.h"
#include "graph/input_stream_shard.h"
#include "graph/packet.h"
#include "graph/timestamp.h"
#include "graph_config/collection.h"
#include "graph_config/collection_item_id.h"
#include "graph_config/pellumo_options.pb.h"
#include "graph_config/tag_map.h"

namespace kaldren {

class InputStreamHandler : public internal::InputStreamMirrorTarget {
 public:
  // The answer of the readiness policy.
  enum class NodeReadiness {
    // The node cannot run now.
    kNotReady = 0,
    // An invocation can run at the returned timestamp.
    kReadyForProcess = 1,
    // Every input stream is done; the node can be closed.
    kReadyForClose = 2,
  };

  using InputStreamManagerSet =
      internal::Collection<InputStreamManager, internal::CollectionStorage::kPointers>;

  // `calculator_context_manager` (not owned) hands out the contexts that invocations fill.
  InputStreamHandler(std::shared_ptr<tool::TagMap> tag_map,
                     CalculatorContextManager* calculator_context_manager,
                     const pellumo::PellumoOptions& options, bool calculator_run_in_parallel);
  InputStreamHandler(const InputStreamHandler&) = delete;
  InputStreamHandler& operator=(const InputStreamHandler&) = delete;
  ~InputStreamHandler() override = default;

  // Whether the options the handler was made with are usable. A subclass records here an
  // option that it refused, such as a batch size the node cannot use; the node checks it
  // right after creating the handler and fails its initialisation with it.
  const absl::Status& OptionsStatus() const { return options_status_; }

  const std::shared_ptr<tool::TagMap>& InputTagMap() const {
    return input_stream_managers_.GetTagMap();
  }
  int NumInputStreams() const { return input_stream_managers_.NumEntries(); }

  // Entry i of the collection points at flat_input_stream_managers[i] (the node owns the
  // array). Always OK.
  absl::Status InitializeInputStreamManagers(InputStreamManager* flat_input_stream_managers);
  InputStreamManager* GetInputStreamManager(CollectionItemId id);

  // Names every shard after its stream (the shard points at the manager's name) and gives
  // it the stream's header.
  absl::Status SetupInputShards(InputStreamShardSet* input_shards);
  // Copies each stream's header into the shard of the same id (not null: fatal).
  void UpdateInputShardHeaders(InputStreamShardSet* input_shards);

  // Every stream's name and current queue size.
  std::vector<std::pair<std::string, int>> GetMonitoringInfo();

  void SetQueueSizeCallbacks(InputStreamManager::QueueSizeCallback becomes_full_callback,
                             InputStreamManager::QueueSizeCallback becomes_not_full_callback);
  // The queue limit of every stream; -1 means unlimited.
  void SetMaxQueueSize(int max_queue_size);
  void SetMaxQueueSize(CollectionItemId id, int max_queue_size) override;

  // Starts a run with new callbacks: `headers_ready_callback` once every stream that is
  // not a back edge has its header; `notification_callback` whenever a stream change may
  // have made the node ready; `schedule_callback` with the context of each invocation;
  // `error_callback` with the errors of stream operations. Resets every stream.
  virtual void PrepareForRun(std::function<void()> headers_ready_callback,
                             std::function<void()> notification_callback,
                             std::function<void(CalculatorContext*)> schedule_callback,
                             std::function<void(absl::Status)> error_callback);

  // The number of streams, not back edges, whose header this run still awaits.
  int UnsetHeaderCount() const { return unset_header_count_.load(); }

  // Sets a stream's header; the last awaited one runs the headers-ready callback.
  void SetHeader(CollectionItemId id, const Packet& header) override;

  // Queue packets on, or raise the bound of, one stream. Errors go to the error callback;
  // the notification callback runs when an empty stream changed.
  void AddPackets(CollectionItemId id, const std::list<Packet>& packets) override;
  void MovePackets(CollectionItemId id, std::list<Packet>* packets) override;
  void SetNextTimestampBound(CollectionItemId id, Timestamp bound) override;

  // Schedules up to `max_allowance` invocations and returns whether it scheduled one.
  // `input_bound` receives the timestamp below which the node has seen all its input when
  // it stops because it is not ready, and Unset otherwise. A node without input streams
  // (a source) gets its default context scheduled on every call. Not reentrant for one
  // node: the node's scheduling loop runs on one thread at a time.
  bool ScheduleInvocations(int max_allowance, Timestamp* input_bound);

  // The readiness policy: whether and at which timestamp (`min_stream_timestamp`) the node
  // can run.
  virtual NodeReadiness GetNodeReadiness(Timestamp* min_stream_timestamp) = 0;

  // Moves the packets of `input_timestamp` from the streams into `input_set`.
  virtual void FillInputSet(Timestamp input_timestamp, InputStreamShardSet* input_set) = 0;

  // One round of ScheduleInvocations that schedules nothing: when the readiness policy finds
  // the node not ready, writes the input bound ScheduleInvocations would report and returns
  // true. False, with nothing changed, when the node is ready, ready for close, or gathers
  // several timestamps per invocation; then only ScheduleInvocations can tell. The same
  // thread rules apply as to ScheduleInvocations.
  bool NotReadyInputBound(Timestamp* input_bound) {
    if (batch_size_ != 1 || input_stream_managers_.NumEntries() == 0) return false;
    Timestamp min_stream_timestamp = Timestamp::Done();
    if (GetNodeReadiness(&min_stream_timestamp) != NodeReadiness::kNotReady) return false;
    *input_bound = min_stream_timestamp;
    return true;
  }

  // With late preparation, fills the input set just before the invocation runs.
  void FinalizeInputSet(Timestamp input_timestamp, InputStreamShardSet* input_set) {
    if (late_preparation_) FillInputSet(input_timestamp, input_set);
  }

  // After an invocation with `calculator_context` (not null: fatal): drops its oldest input
  // timestamp and the packet it read from each shard.
  void ClearCurrentInputs(CalculatorContext* calculator_context) {
    CHECK(calculator_context);
    calculator_context_manager_->PopInputTimestampFromContext(calculator_context);
    for (InputStreamShard& shard : calculator_context->Inputs()) shard.ClearCurrentPacket();
  }

  // Closes every stream.
  void Close();

  // The number of input timestamps gathered into one invocation. Fatal for a value the
  // node cannot use; see `CheckBatchSize`.
  void SetBatchSize(int batch_size);
  // Fills input sets just before their invocation instead of when scheduled. Fatal when
  // combined with batching.
  void SetLatePreparation(bool late_preparation);

  // OK when this handler can gather `batch_size` timestamps per invocation; otherwise
  // INVALID_ARGUMENT with the reason (the text of `SetBatchSize`'s fatal check).
  absl::Status CheckBatchSize(int batch_size) const;

  // "no input streams", "input stream: <a>" or "input streams: <a,b>".
  std::string DebugStreamNames() const;

 protected:
  // Records `status` as the options status (see `OptionsStatus`).
  void SetOptionsStatus(absl::Status status) { options_status_ = std::move(status); }

  // The managers are owned by the node; every slot is filled by
  // InitializeInputStreamManagers.
  InputStreamManagerSet input_stream_managers_;
  // The node's context manager; not owned.
  CalculatorContextManager* calculator_context_manager_;
  pellumo::PellumoOptions options_;
  const bool calculator_run_in_parallel_;

 private:
  // Whether the close invocation was scheduled in this run. Only the scheduling loop
  // touches it.
  bool prepared_context_for_close_ = false;

  std::function<void()> headers_ready_callback_;
  std::function<void()> notification_callback_;
  std::function<void(CalculatorContext*)> schedule_callback_;
  std::function<void(absl::Status)> error_callback_;

  bool late_preparation_ = false;
  int batch_size_ = 1;
  std::atomic<int> unset_header_count_{0};
  absl::Status options_status_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_INPUT_STREAM_HANDLER_H_
