#include "graph/graph_output_stream.h"

#include <utility>
#include <vector>

#include "absl/strings/substitute.h"
#include "base/logging.h"
#include "base/status_macros.h"
#include "graph_config/pellumo_options.pb.h"
#include "graph_config/tag_map.h"

namespace kaldren {
namespace internal {

GraphOutputStream::~GraphOutputStream() = default;

absl::Status GraphOutputStream::Initialize(const std::string& stream_name,
                                           const PacketType* packet_type,
                                           OutputStreamManager* output_stream_manager) {
  RET_CHECK(output_stream_manager);
  google::protobuf::RepeatedPtrField<std::string> entries;
  entries.Add()->assign(stream_name);
  std::shared_ptr<tool::TagMap> tag_map = tool::TagMap::Create(entries).value();
  handler_ = std::make_unique<GraphOutputStreamHandler>(
      tag_map, /*calculator_context_manager=*/nullptr, pellumo::PellumoOptions(),
      /*calculator_run_in_parallel=*/false);
  input_stream_ = std::make_unique<InputStreamManager>();
  RETURN_IF_ERROR(input_stream_->Initialize(stream_name, packet_type, /*back_edge=*/false));
  RETURN_IF_ERROR(handler_->InitializeInputStreamManagers(input_stream_.get()));
  output_stream_manager->AddMirror(handler_.get(), CollectionItemId(0));
  return absl::OkStatus();
}

void GraphOutputStream::PrepareForRun(std::function<void()> notification_callback,
                                      std::function<void(absl::Status)> error_callback) {
  handler_->PrepareForRun(
      /*headers_ready_callback=*/[] {}, std::move(notification_callback),
      /*schedule_callback=*/nullptr, std::move(error_callback));
}

InputStreamHandler::NodeReadiness GraphOutputStream::GraphOutputStreamHandler::GetNodeReadiness(
    Timestamp* min_stream_timestamp) {
  LOG(FATAL) << "GraphOutputStreamHandler::GetNodeReadiness should never be invoked.";
  return NodeReadiness::kNotReady;
}

void GraphOutputStream::GraphOutputStreamHandler::FillInputSet(Timestamp input_timestamp,
                                                               InputStreamShardSet* input_set) {
  LOG(FATAL) << "GraphOutputStreamHandler::FillInputSet should never be invoked.";
}

absl::Status OutputStreamObserver::Initialize(
    const std::string& stream_name, const PacketType* packet_type,
    std::function<absl::Status(const Packet&)> packet_callback,
    OutputStreamManager* output_stream_manager) {
  RET_CHECK(output_stream_manager);
  packet_callback_ = std::move(packet_callback);
  return GraphOutputStream::Initialize(stream_name, packet_type, output_stream_manager);
}

absl::Status OutputStreamObserver::Notify() {
  while (true) {
    bool empty;
    const Timestamp min_timestamp = input_stream_->MinTimestampOrBound(&empty);
    if (empty) return absl::OkStatus();
    int num_packets_dropped = 0;
    bool stream_is_done = false;
    Packet packet =
        input_stream_->PopPacketAtTimestamp(min_timestamp, &num_packets_dropped, &stream_is_done);
    RET_CHECK_EQ(num_packets_dropped, 0)
        << absl::Substitute("Dropped $0 packet(s) on input stream \"$1\".", num_packets_dropped,
                            input_stream_->Name());
    RETURN_IF_ERROR(packet_callback_(packet));
  }
}

absl::Status OutputStreamPollerImpl::Initialize(
    const std::string& stream_name, const PacketType* packet_type,
    std::function<void(InputStreamManager*, bool*)> queue_size_callback,
    OutputStreamManager* output_stream_manager) {
  RETURN_IF_ERROR(GraphOutputStream::Initialize(stream_name, packet_type, output_stream_manager));
  handler_->SetQueueSizeCallbacks(queue_size_callback, queue_size_callback);
  return absl::OkStatus();
}

void OutputStreamPollerImpl::PrepareForRun(std::function<void()> notification_callback,
                                           std::function<void(absl::Status)> error_callback) {
  GraphOutputStream::PrepareForRun(std::move(notification_callback), std::move(error_callback));
  std::lock_guard<std::mutex> lock(mutex_);
  graph_has_error_ = false;
}

void OutputStreamPollerImpl::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  graph_has_error_ = false;
  input_stream_->PrepareForRun();
}

void OutputStreamPollerImpl::SetMaxQueueSize(int queue_size) {
  CHECK(queue_size >= -1) << "Max queue size must be either -1 or non-negative.";
  handler_->SetMaxQueueSize(queue_size);
}

int OutputStreamPollerImpl::QueueSize() { return input_stream_->QueueSize(); }

void OutputStreamPollerImpl::CloseInputStream() {
  std::lock_guard<std::mutex> lock(mutex_);
  bool notify = false;
  // Raising the bound to Done cannot fail: it never goes down.
  input_stream_->SetNextTimestampBound(Timestamp::Done(), &notify).IgnoreError();
  handler_condvar_.notify_one();
}

absl::Status OutputStreamPollerImpl::Notify() {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_condvar_.notify_one();
  return absl::OkStatus();
}

void OutputStreamPollerImpl::NotifyError() {
  std::lock_guard<std::mutex> lock(mutex_);
  graph_has_error_ = true;
  handler_condvar_.notify_one();
}

bool OutputStreamPollerImpl::Next(Packet* packet) {
  CHECK(packet);
  bool empty = false;
  bool graph_has_error = false;
  Timestamp min_timestamp;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    min_timestamp = input_stream_->MinTimestampOrBound(&empty);
    while (empty && !graph_has_error_) {
      if (min_timestamp == Timestamp::Done()) return false;
      handler_condvar_.wait(lock);
      min_timestamp = input_stream_->MinTimestampOrBound(&empty);
    }
    graph_has_error = graph_has_error_;
  }
  if (min_timestamp == Timestamp::Done() || (graph_has_error && empty)) return false;
  int num_packets_dropped = 0;
  bool stream_is_done = false;
  *packet =
      input_stream_->PopPacketAtTimestamp(min_timestamp, &num_packets_dropped, &stream_is_done);
  CHECK_EQ(num_packets_dropped, 0) << absl::Substitute(
      "Dropped $0 packet(s) on input stream \"$1\".", num_packets_dropped, input_stream_->Name());
  return true;
}

}  // namespace internal
}  // namespace kaldren
