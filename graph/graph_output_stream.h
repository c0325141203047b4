// Receiving the packets of one output stream of a running graph from outside the graph,
// without adding a node: an observer calls a function for every packet; a poller queues
// the packets until the caller takes them with a blocking Next.
//
// The graph creates these on request (ObserveOutputStream, AddOutputStreamPoller) and
// attaches each as an extra consumer of the stream's output stream manager. The consuming
// end is an input stream manager of its own, fed through a stream handler that only queues
// and notifies; nothing schedules it as a node.

#ifndef QUILLMERE_GRAPH_GRAPH_OUTPUT_STREAM_H_
#define QUILLMERE_GRAPH_GRAPH_OUTPUT_STREAM_H_

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/status.h"
#include "graph/input_stream_handler.h"
#include "graph/input_stream_manager.h"
#include "graph/output_stream_manager.h"
#include "graph/packet.h"
#include "graph/packet_type.h"
#include "graph/timestamp.h"

namespace kaldren {
namespace internal {

class GraphOutputStream {
 public:
  GraphOutputStream() = default;
  GraphOutputStream(const GraphOutputStream&) = delete;
  GraphOutputStream& operator=(const GraphOutputStream&) = delete;
  virtual ~GraphOutputStream();

  // Attaches to `output_stream_manager` as an untagged stream named `stream_name` whose
  // packets must match `packet_type`. Both pointers must outlive this object.
  absl::Status Initialize(const std::string& stream_name, const PacketType* packet_type,
                          OutputStreamManager* output_stream_manager);

  // Before each run. `notification_callback` runs whenever the stream received packets or
  // a timestamp bound; `error_callback` with a refused packet or bound.
  virtual void PrepareForRun(std::function<void()> notification_callback,
                             std::function<void(absl::Status)> error_callback);

  // Handles newly arrived data; called through the notification callback.
  virtual absl::Status Notify() = 0;
  // Called by the graph for every error it records.
  virtual void NotifyError() = 0;

  // After each run: no more data arrives. The graph calls this rather than closing
  // `input_stream()` itself.
  virtual void CloseInputStream() { input_stream_->Close(); }

  // The consuming end.
  InputStreamManager* input_stream() { return input_stream_.get(); }

 protected:
  // Queues and notifies only: a graph output stream is never scheduled as a node.
  class GraphOutputStreamHandler : public InputStreamHandler {
   public:
    GraphOutputStreamHandler(std::shared_ptr<tool::TagMap> tag_map,
                             CalculatorContextManager* calculator_context_manager,
                             const pellumo::PellumoOptions& options,
                             bool calculator_run_in_parallel)
        : InputStreamHandler(std::move(tag_map), calculator_context_manager, options,
                             calculator_run_in_parallel) {}

   protected:
    NodeReadiness GetNodeReadiness(Timestamp* min_stream_timestamp) override;
    void FillInputSet(Timestamp input_timestamp, InputStreamShardSet* input_set) override;
  };

  std::unique_ptr<GraphOutputStreamHandler> handler_;
  std::unique_ptr<InputStreamManager> input_stream_;
};

// Calls a function with every packet of the stream, in timestamp order, on the thread that
// delivered the packet.
class OutputStreamObserver : public GraphOutputStream {
 public:
  ~OutputStreamObserver() override = default;

  absl::Status Initialize(const std::string& stream_name, const PacketType* packet_type,
                          std::function<absl::Status(const Packet&)> packet_callback,
                          OutputStreamManager* output_stream_manager);

  // Hands every queued packet to the callback; stops at the first failure, leaving the
  // rest queued.
  absl::Status Notify() override;
  void NotifyError() override {}

 private:
  std::function<absl::Status(const Packet&)> packet_callback_;
};

// Queues the packets of the stream until the caller takes them.
class OutputStreamPollerImpl : public GraphOutputStream {
 public:
  ~OutputStreamPollerImpl() override = default;

  // `queue_size_callback` is told when the queue becomes full and when it stops being
  // full, so that the graph can throttle the sources feeding the stream.
  absl::Status Initialize(const std::string& stream_name, const PacketType* packet_type,
                          std::function<void(InputStreamManager*, bool*)> queue_size_callback,
                          OutputStreamManager* output_stream_manager);

  void PrepareForRun(std::function<void()> notification_callback,
                     std::function<void(absl::Status)> error_callback) override;

  // Empties the queue and forgets a graph error, for reuse in another run.
  void Reset();
  // -1 (the initial setting) is unlimited; below -1 is fatal.
  void SetMaxQueueSize(int queue_size);
  int QueueSize();

  // Waits for the next packet and moves it into `packet`. Returns false once the stream
  // is closed and drained, or after a graph error once the queue is empty.
  bool Next(Packet* packet);

  // Bounds the stream at Done and wakes a waiting Next. Unlike closing the input stream
  // manager, this keeps the queued packets poppable one by one, so a caller can still take
  // them after the run.
  void CloseInputStream() override;

  absl::Status Notify() override;
  void NotifyError() override;

 private:
  std::mutex mutex_;
  std::condition_variable handler_condvar_;
  bool graph_has_error_ = false;  // guarded by mutex_
};

}  // namespace internal

// The caller's handle on a poller; shares it with the graph.
class OutputStreamPoller {
 public:
  OutputStreamPoller(const OutputStreamPoller&) = delete;
  OutputStreamPoller& operator=(const OutputStreamPoller&) = delete;
  OutputStreamPoller(OutputStreamPoller&&) = default;
  OutputStreamPoller& operator=(OutputStreamPoller&&) = default;

  // Empties the queue and forgets a graph error, for reuse in another run.
  void Reset() { internal_poller_impl_->Reset(); }
  // Waits for the next packet; false once the stream is closed and drained, or after a
  // graph error once the queue is empty.
  bool Next(Packet* packet) { return internal_poller_impl_->Next(packet); }
  // -1 is unlimited; a full queue throttles the graph's sources.
  void SetMaxQueueSize(int queue_size) { internal_poller_impl_->SetMaxQueueSize(queue_size); }
  int QueueSize() { return internal_poller_impl_->QueueSize(); }

 private:
  friend class CalculatorGraph;
  explicit OutputStreamPoller(std::shared_ptr<internal::OutputStreamPollerImpl> poller_impl)
      : internal_poller_impl_(std::move(poller_impl)) {}

  std::shared_ptr<internal::OutputStreamPollerImpl> internal_poller_impl_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_GRAPH_OUTPUT_STREAM_H_
