// Hands out the calculator contexts of one node.
//
// A node that runs one invocation at a time uses its default context for everything. A node
// whose invocations run in parallel gets one context per input timestamp in flight: the
// input stream handler prepares one for each timestamp it schedules, and the output stream
// handler, having propagated the outputs of the context with the smallest timestamp,
// recycles it. Contexts are reused across invocations and live until the run ends, so in
// steady state none is allocated per packet.

#ifndef QUILLMERE_GRAPH_CALCULATOR_CONTEXT_MANAGER_H_
#define QUILLMERE_GRAPH_CALCULATOR_CONTEXT_MANAGER_H_

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "base/logging.h"
#include "base/status.h"
#include "graph/calculator_context.h"
#include "graph/calculator_state.h"
#include "graph/timestamp.h"
#include "graph_config/tag_map.h"

namespace kaldren {

class CalculatorContextManager {
 public:
  // Connects a new context's shards to the node's streams.
  using SetupShardsCallback = std::function<absl::Status(CalculatorContext*)>;

  CalculatorContextManager() = default;
  CalculatorContextManager(const CalculatorContextManager&) = delete;
  CalculatorContextManager& operator=(const CalculatorContextManager&) = delete;

  // `calculator_state` (not null, not owned) and the node's stream tag maps.
  void Initialize(CalculatorState* calculator_state, std::shared_ptr<tool::TagMap> input_tag_map,
                  std::shared_ptr<tool::TagMap> output_tag_map, bool calculator_run_in_parallel);

  // Makes a new default context (replacing the last run's) and connects its shards with
  // `setup_shards_callback`, which is kept for the contexts made during the run.
  absl::Status PrepareForRun(SetupShardsCallback setup_shards_callback);
  // Destroys every context of the run; packets still in them are dropped.
  void CleanupAfterRun();

  // The default context, used for Open and Close; it must exist.
  CalculatorContext* GetDefaultCalculatorContext() const {
    CHECK(default_context_.get());
    return default_context_.get();
  }

  // The context of the invocation at `input_timestamp`: the default context unless the node
  // runs in parallel; then an idle context or a new one, active under that timestamp until
  // recycled. A second invocation at an active timestamp is fatal.
  CalculatorContext* PrepareCalculatorContext(Timestamp input_timestamp) {
    if (!calculator_run_in_parallel_) return GetDefaultCalculatorContext();
    return PrepareParallelCalculatorContext(input_timestamp);
  }

  // With parallel invocations only: the active context with the smallest timestamp, and
  // that timestamp in `context_input_timestamp`. Some context must be active.
  CalculatorContext* GetFrontCalculatorContext(Timestamp* context_input_timestamp);
  // Makes the active context with the smallest timestamp idle again.
  void RecycleCalculatorContext();
  // Whether any context is active; always false without parallel invocations.
  bool HasActiveContexts() {
    if (!calculator_run_in_parallel_) return false;
    return HasActiveParallelContexts();
  }

  // The number of input timestamps queued in `calculator_context`.
  int NumberOfContextTimestamps(const CalculatorContext& calculator_context) const {
    return calculator_context.NumberOfTimestamps();
  }
  // Queue and drop input timestamps of a context (not null).
  void PushInputTimestampToContext(CalculatorContext* calculator_context,
                                   Timestamp input_timestamp) {
    CHECK(calculator_context);
    calculator_context->PushInputTimestamp(input_timestamp);
  }
  void PopInputTimestampFromContext(CalculatorContext* calculator_context) {
    CHECK(calculator_context);
    calculator_context->PopInputTimestamp();
  }
  // Tells a context (not null) how the run ended, before Close.
  void SetGraphStatusInContext(CalculatorContext* calculator_context, const absl::Status& status);

 private:
  // The parts of PrepareCalculatorContext and HasActiveContexts for parallel invocations.
  CalculatorContext* PrepareParallelCalculatorContext(Timestamp input_timestamp);
  bool HasActiveParallelContexts();

  CalculatorState* calculator_state_ = nullptr;
  std::shared_ptr<tool::TagMap> input_tag_map_;
  std::shared_ptr<tool::TagMap> output_tag_map_;
  bool calculator_run_in_parallel_ = false;
  SetupShardsCallback setup_shards_callback_;
  std::unique_ptr<CalculatorContext> default_context_;

  // Guards the active and idle contexts: contexts are prepared on the node's scheduling
  // thread and recycled on the thread that propagates outputs.
  std::mutex contexts_mutex_;
  std::map<Timestamp, std::unique_ptr<CalculatorContext>> active_contexts_;
  std::deque<std::unique_ptr<CalculatorContext>> idle_contexts_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATOR_CONTEXT_MANAGER_H_
