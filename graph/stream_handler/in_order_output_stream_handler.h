// The output stream handler of every node: releases the outputs of parallel invocations in
// the order of their input timestamps, and the node's task bound once nothing is in flight.

#ifndef QUILLMERE_GRAPH_STREAM_HANDLER_IN_ORDER_OUTPUT_STREAM_HANDLER_H_
#define QUILLMERE_GRAPH_STREAM_HANDLER_IN_ORDER_OUTPUT_STREAM_HANDLER_H_

#include <memory>

#include "graph/output_stream_handler.h"

namespace kaldren {

class InOrderOutputStreamHandler : public OutputStreamHandler {
 public:
  using OutputStreamHandler::OutputStreamHandler;

 private:
  // The oldest active context is released only once its invocation has completed; a
  // completion of a younger one waits for it.
  void PropagationLoop() override;

  // State kPropagatingPackets: releases the oldest active context, then picks the next
  // state. Mutex held on entry and return.
  void PropagatePackets(Timestamp* context_timestamp);
  // State kPropagatingBound: propagates the task bound, then picks the next state. Mutex
  // held on entry and return.
  void PropagationBound(Timestamp* context_timestamp);
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_STREAM_HANDLER_IN_ORDER_OUTPUT_STREAM_HANDLER_H_
