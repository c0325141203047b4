// The input stream handler of every node whose configuration names no other: the node runs
// at the smallest timestamp queued on any input once every empty input is known to receive
// nothing at or before it, and it sees the packets of exactly that timestamp.
//
// Options: `pellumo::DefaultInputStreamHandlerOptions` as an extension of the handler's
// options; its `batch_size` gathers that many timestamps into one invocation. A batch size
// the node cannot use is refused through `OptionsStatus()` instead of ending the process.

#ifndef QUILLMERE_GRAPH_STREAM_HANDLER_DEFAULT_INPUT_STREAM_HANDLER_H_
#define QUILLMERE_GRAPH_STREAM_HANDLER_DEFAULT_INPUT_STREAM_HANDLER_H_

#include <memory>

#include "graph/input_stream_handler.h"

namespace kaldren {

class DefaultInputStreamHandler : public InputStreamHandler {
 public:
  DefaultInputStreamHandler(std::shared_ptr<tool::TagMap> tag_map,
                            CalculatorContextManager* calculator_context_manager,
                            const pellumo::PellumoOptions& options,
                            bool calculator_run_in_parallel);

  // Ready for process at the smallest head-of-queue timestamp when every empty stream's
  // bound lies above it; not ready when an empty stream may still receive a packet there;
  // ready for close when every stream is done.
  NodeReadiness GetNodeReadiness(Timestamp* min_stream_timestamp) override;

  // Pops each stream's packet at `input_timestamp` (an empty packet where it has none)
  // into the shard of the same id. An earlier packet left on a stream is fatal.
  void FillInputSet(Timestamp input_timestamp, InputStreamShardSet* input_set) override;

 private:
  // GetNodeReadiness when some stream's writer is busy: waits for each stream in turn.
  [[gnu::noinline]] NodeReadiness GetNodeReadinessContended(Timestamp* min_stream_timestamp);
  // The answer for the smallest timestamp and the smallest bound of an empty stream.
  static NodeReadiness Readiness(Timestamp min_timestamp, Timestamp min_bound,
                                 Timestamp* min_stream_timestamp);
  // The fatal check of an empty stream's bound below the smallest timestamp; out of line,
  // so that the readiness scan stays small.
  [[gnu::noinline]] static void BoundBelowMinimum(Timestamp min_bound,
                                                  const Timestamp* min_stream_timestamp);
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_STREAM_HANDLER_DEFAULT_INPUT_STREAM_HANDLER_H_
