// The output side of a node: hands what each invocation wrote to the node's output stream
// managers, which feed the downstream input streams, and between invocations propagates the
// bound that the node's inputs imply to every output stream with an offset.
//
// A node that runs invocations in parallel may finish them in any order; its handler records
// each finished input timestamp and releases outputs strictly in input-timestamp order. The
// ordering loop belongs to the subclass (`PropagationLoop`). Whichever thread finds the
// handler idle runs the loop for everyone; other threads only record their event, so at most
// one thread propagates for a node at a time. The managers and the context manager are never
// called with the handler's mutex held. A node that does not run in parallel propagates on
// the calling thread and takes no lock.

#ifndef QUILLMERE_GRAPH_OUTPUT_STREAM_HANDLER_H_
#define QUILLMERE_GRAPH_OUTPUT_STREAM_HANDLER_H_

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "base/logging.h"
#include "base/status.h"
#include "graph/calculator_context_manager.h"
#include "graph/output_stream_manager.h"
#include "graph/output_stream_shard.h"
#include "graph/timestamp.h"
#include "graph_config/collection.h"
#include "graph_config/pellumo_options.pb.h"
#include "graph_config/tag_map.h"

namespace kaldren {

class OutputStreamHandler {
 public:
  using OutputStreamManagerSet =
      internal::Collection<OutputStreamManager, internal::CollectionStorage::kPointers>;

  // `calculator_context_manager` (not owned, not null: fatal) holds the contexts whose
  // outputs are propagated.
  OutputStreamHandler(std::shared_ptr<tool::TagMap> tag_map,
                      CalculatorContextManager* calculator_context_manager,
                      const pellumo::PellumoOptions& options, bool calculator_run_in_parallel);
  OutputStreamHandler(const OutputStreamHandler&) = delete;
  OutputStreamHandler& operator=(const OutputStreamHandler&) = delete;
  virtual ~OutputStreamHandler() = default;

  const std::shared_ptr<tool::TagMap>& OutputTagMap() const {
    return output_stream_managers_.GetTagMap();
  }

  // Entry i of the collection points at flat_output_stream_managers[i] (the node owns the
  // array). Always OK.
  absl::Status InitializeOutputStreamManagers(OutputStreamManager* flat_output_stream_managers);

  // Binds every shard of `output_shards` (not null: fatal) to its stream's `OutputStreamSpec`.
  absl::Status SetupOutputShards(OutputStreamShardSet* output_shards);

  // Starts a run: every stream gets `error_callback`; nothing is completed or pending.
  void PrepareForRun(const std::function<void(absl::Status)>& error_callback);

  // After the calculator's Open wrote `output_shards` (not null: fatal): propagates them,
  // then every stream's header; afterwards headers and offsets are fixed for the run.
  void Open(OutputStreamShardSet* output_shards);

  // Before an invocation: every shard starts empty from its stream's bound and closed state.
  // The input timestamp is not used. Inline, like the two calls below: the node makes all
  // three on every invocation.
  void PrepareOutputs(Timestamp /*input_timestamp*/, OutputStreamShardSet* output_shards) {
    CHECK(output_shards);
    OutputStreamShardSet::iterator shard = ShardsFor(output_shards);
    for (OutputStreamManager& manager : output_stream_managers_) manager.ResetShard(&*shard++);
  }

  // The node's input stream handler reports that all input below `timestamp` was seen.
  // A parallel node's bound must not go down (fatal).
  void UpdateTaskTimestampBound(Timestamp timestamp) {
    if (!calculator_run_in_parallel_) {
      TryPropagateTimestampBound(timestamp);
      return;
    }
    UpdateParallelTaskTimestampBound(timestamp);
  }

  // After the invocation at `input_timestamp`: releases its outputs (in input-timestamp
  // order for a parallel node).
  void PostProcess(Timestamp input_timestamp) {
    if (!calculator_run_in_parallel_) {
      // Invocations of such a node finish in order: release the outputs at once.
      CalculatorContext* context = calculator_context_manager_->GetDefaultCalculatorContext();
      PropagateOutputPackets(input_timestamp, &context->Outputs());
      return;
    }
    RecordCompletion(input_timestamp);
  }

  // Propagates each shard of `output_shards`, when given, with the bound Done; then closes
  // every stream.
  void Close(OutputStreamShardSet* output_shards);

  // The name of the first output stream, "" without outputs.
  std::string FirstStreamName() const;

 protected:
  enum PropagationState {
    kIdle = 0,
    // Releasing the outputs of completed invocations.
    kPropagatingPackets = 1,
    // Propagating the task timestamp bound.
    kPropagatingBound = 2,
    // A completion or a higher bound arrived while the bound was being propagated.
    kPropagationPending = 3,
  };

  // Releases completed outputs and bounds until there is nothing to do. Entered with
  // `timestamp_mutex_` held and `propagation_state_` kIdle; releases the mutex around every
  // call into the managers and the context manager, and returns with it held.
  virtual void PropagationLoop() = 0;

  // For every open stream: its new bound from its shard and `output_timestamp`, then the
  // shard's packets and that bound downstream; closes the stream when the shard was closed.
  // Inline, so that the node's invocation propagates its outputs without further calls.
  [[gnu::always_inline]] void PropagateOutputPackets(Timestamp output_timestamp,
                                                    OutputStreamShardSet* output_shards) {
    CHECK(output_shards);
    OutputStreamShardSet::iterator shard = ShardsFor(output_shards);
    for (OutputStreamManager& manager : output_stream_managers_) {
      OutputStreamShard& manager_shard = *shard++;
      if (manager.IsClosed()) continue;
      Timestamp bound = manager.ComputeOutputTimestampBound(manager_shard, output_timestamp);
      manager.PropagateUpdatesToMirrors(bound, &manager_shard);
      if (manager_shard.IsClosed()) manager.Close();
    }
  }

  // For a range value `input_bound`: every open stream with an offset gets the bound
  // `input_bound` + offset where that is above its current bound. Other values do nothing.
  void TryPropagateTimestampBound(Timestamp input_bound) {
    // Called after every scan of the node's inputs; most nodes declare no offset.
    if (input_bound.IsRangeValue() && may_have_offsets_) PropagateBoundToOffsetStreams(input_bound);
  }

  // The first shard of `output_shards` for a walk in step with the managers.
  OutputStreamShardSet::iterator ShardsFor(OutputStreamShardSet* output_shards) const {
    // The shard set is made over the node's output tag map, so the ids match; one check
    // for the whole walk instead of one per stream.
    if (output_shards->NumEntries() < output_stream_managers_.NumEntries()) [[unlikely]] {
      ShardSetTooSmall(*output_shards);
    }
    return output_shards->begin();
  }
  // Fails the check that the shard set has an entry for every stream.
  [[gnu::noinline, gnu::cold]] void ShardSetTooSmall(
      const OutputStreamShardSet& output_shards) const;
  // TryPropagateTimestampBound's walk over the streams with an offset.
  void PropagateBoundToOffsetStreams(Timestamp input_bound);

  // The parallel halves of UpdateTaskTimestampBound and PostProcess: record the event under
  // the mutex and propagate unless another thread already does.
  void UpdateParallelTaskTimestampBound(Timestamp timestamp);
  void RecordCompletion(Timestamp input_timestamp);

  // Runs `PropagationLoop` when idle, or marks a running bound propagation pending.
  // Requires `timestamp_mutex_`.
  void StartOrMarkPropagation();

  OutputStreamManagerSet output_stream_managers_;
  CalculatorContextManager* const calculator_context_manager_;
  const pellumo::PellumoOptions options_;
  const bool calculator_run_in_parallel_;
  // False once Open found no stream with an offset: then no input bound has anywhere to
  // go, and TryPropagateTimestampBound returns at once. Written by PrepareForRun and
  // Open, which the node orders before every invocation and bound report of the run.
  bool may_have_offsets_ = true;

  // Guards the three fields below (parallel nodes only).
  std::mutex timestamp_mutex_;
  // Input timestamps of finished invocations whose outputs have not been released.
  std::set<Timestamp> completed_input_timestamps_;
  Timestamp task_timestamp_bound_ = Timestamp::Unset();
  PropagationState propagation_state_ = kIdle;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_OUTPUT_STREAM_HANDLER_H_
