#include "graph/input_stream_manager.h"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "base/logging.h"
#include "base/status_builder.h"
#include "graph_config/status_util.h"

namespace kaldren {

static_assert(std::atomic<Timestamp>::is_always_lock_free);

// Publishes the head when it goes out of scope; declared after the lock it runs under.
class InputStreamManager::HeadPublisher {
 public:
  explicit HeadPublisher(InputStreamManager* manager) : manager_(manager) {}
  ~HeadPublisher() { manager_->PublishHeadLocked(); }
  HeadPublisher(const HeadPublisher&) = delete;
  HeadPublisher& operator=(const HeadPublisher&) = delete;

 private:
  InputStreamManager* const manager_;
};

absl::Status InputStreamManager::Initialize(const std::string& name,
                                            const PacketType* packet_type, bool back_edge) {
  name_ = name;
  packet_type_ = packet_type;
  back_edge_ = back_edge;
  PrepareForRun();
  return absl::OkStatus();
}

void InputStreamManager::PrepareForRun() {
  std::lock_guard<internal::LightMutex> lock(mutex_);
  HeadPublisher publisher(this);
  packet_type_root_ = packet_type_ == nullptr ? nullptr : packet_type_->GetSameAs();
  // A run that queued many packets does not keep their slots for the next one.
  queue_ = internal::RingDeque<Packet>();
  last_reported_stream_full_ = false;
  num_packets_added_ = 0;
  next_timestamp_bound_ = Timestamp::PreStream();
  last_select_timestamp_ = Timestamp::Unstarted();
  closed_ = false;
  header_ = Packet();
}

void InputStreamManager::SetQueueSizeCallbacks(QueueSizeCallback becomes_full_callback,
                                               QueueSizeCallback becomes_not_full_callback) {
  becomes_full_callback_ = std::move(becomes_full_callback);
  becomes_not_full_callback_ = std::move(becomes_not_full_callback);
}

bool InputStreamManager::IsEmpty() const {
  std::lock_guard<internal::LightMutex> lock(mutex_);
  return queue_.empty();
}

Packet InputStreamManager::QueueHead() const {
  std::lock_guard<internal::LightMutex> lock(mutex_);
  if (queue_.empty()) return Packet();
  return queue_.front();
}

absl::Status InputStreamManager::SetHeader(const Packet& header) {
  if (header.Timestamp() != Timestamp::Unset()) {
    return util::InvalidArgumentErrorBuilder()
           << "Headers must not have a timestamp.  Stream: \"" << name_ << "\".";
  }
  header_ = header;
  return absl::OkStatus();
}

absl::Status InputStreamManager::CheckPacketLocked(const Packet& packet) const {
  absl::Status validation = packet_type_root_->Validate(packet);
  if (!validation.ok()) {
    return tool::AddStatusPrefix(
        "Packet type mismatch on a calculator receiving from stream \"" + name_ + "\": ",
        validation);
  }
  const Timestamp timestamp = packet.Timestamp();
  if (!timestamp.IsAllowedInStream()) {
    return util::InvalidArgumentErrorBuilder()
           << "In stream \"" << name_ << "\", timestamp not specified or set to illegal value: "
           << timestamp.DebugString();
  }
  if (enable_timestamps_) {
    if (timestamp == Timestamp::PostStream() && num_packets_added_ > 0) {
      return util::InvalidArgumentErrorBuilder()
             << "In stream \"" << name_
             << "\", a packet at Timestamp::PostStream() must be the only Packet in an "
                "InputStream.";
    }
    if (timestamp < next_timestamp_bound_) {
      return util::InvalidArgumentErrorBuilder()
             << "Packet timestamp mismatch on a calculator receiving from stream \"" << name_
             << "\". Current minimum expected timestamp is "
             << next_timestamp_bound_.DebugString() << " but received "
             << timestamp.DebugString()
             << ". Are you using a custom InputStreamHandler? Note that some "
                "InputStreamHandlers allow timestamps that are not strictly monotonically "
                "increasing. See for example the ImmediateInputStreamHandler class comment.";
    }
  }
  return absl::OkStatus();
}

template <typename Container>
absl::Status InputStreamManager::AddOrMovePacketsInternal(Container& packets, bool* notify) {
  *notify = false;
  bool becomes_full = false;
  {
    std::lock_guard<internal::LightMutex> lock(mutex_);
    if (closed_) return absl::OkStatus();
    HeadPublisher publisher(this);
    // One look at the verbose level for the whole call; the statements below run per packet.
    const bool verbose = VLOG_IS_ON(2);
    const bool was_full = IsFullLocked();
    const bool becomes_non_empty = queue_.empty() && !packets.empty();
    for (auto& packet : packets) {
      const Timestamp timestamp = packet.Timestamp();
      // The usual packet passes these comparisons; anything else gets the full check, which
      // names the first rule the packet breaks (or accepts it after all).
      const bool plainly_accepted =
          packet_type_root_->Accepts(packet) && timestamp.IsAllowedInStream() &&
          (!enable_timestamps_ ||
           (timestamp >= next_timestamp_bound_ &&
            (timestamp != Timestamp::PostStream() || num_packets_added_ == 0)));
      if (ABSL_PREDICT_FALSE(!plainly_accepted)) {
        absl::Status status = CheckPacketLocked(packet);
        if (!status.ok()) return status;
      }
      next_timestamp_bound_ = timestamp.NextAllowedInStream();
      ++num_packets_added_;
      VLOG_IF(2, verbose) << "Input stream:" << name_
                          << " has added packet at time: " << timestamp;
      if constexpr (std::is_const_v<Container>) {
        queue_.push_back(packet);
      } else {
        queue_.push_back(std::move(packet));
      }
    }
    if (ABSL_PREDICT_FALSE(verbose)) {
      if (queue_.size() > 1) {
        VLOG(2) << "Queue size greater than 1: stream name: " << name_
                << " queue_size: " << queue_.size();
      }
      VLOG(2) << "Input stream:" << name_ << " becomes non-empty status:" << becomes_non_empty
              << " Size: " << queue_.size();
    }
    becomes_full = !was_full && IsFullLocked();
    *notify = becomes_non_empty;
  }
  if (ABSL_PREDICT_FALSE(becomes_full)) ReportBecameFull();
  return absl::OkStatus();
}

template absl::Status InputStreamManager::AddOrMovePacketsInternal(
    const std::list<Packet>& packets, bool* notify);
template absl::Status InputStreamManager::AddOrMovePacketsInternal(std::list<Packet>& packets,
                                                                    bool* notify);

absl::Status InputStreamManager::SetNextTimestampBound(Timestamp bound, bool* notify) {
  *notify = false;
  std::lock_guard<internal::LightMutex> lock(mutex_);
  if (closed_) return absl::OkStatus();
  HeadPublisher publisher(this);
  if (enable_timestamps_ && bound < next_timestamp_bound_) {
    return util::UnknownErrorBuilder()
           << "SetNextTimestampBound must be called with a timestamp greater than or equal to "
              "the current bound. In stream \""
           << name_ << "\". Current minimum expected timestamp is "
           << next_timestamp_bound_.DebugString() << " but received " << bound.DebugString();
  }
  if (next_timestamp_bound_ < bound) {
    next_timestamp_bound_ = bound;
    *notify = queue_.empty();
  }
  return absl::OkStatus();
}

void InputStreamManager::Close() {
  std::lock_guard<internal::LightMutex> lock(mutex_);
  if (closed_) return;
  HeadPublisher publisher(this);
  next_timestamp_bound_ = Timestamp::Done();
  last_select_timestamp_ = Timestamp::Done();
  closed_ = true;
}

Timestamp InputStreamManager::MinTimestampOrBoundContended(bool* is_empty) const {
  // A writer holds the mutex only briefly: a few tries, then wait for it.
  for (int attempt = 0; attempt < 3; ++attempt) {
    Timestamp timestamp;
    bool empty;
    if (!TryMinTimestampOrBound(&timestamp, &empty)) continue;
    if (is_empty != nullptr) *is_empty = empty;
    return timestamp;
  }
  std::lock_guard<internal::LightMutex> lock(mutex_);
  if (is_empty != nullptr) *is_empty = queue_.empty();
  return MinTimestampOrBoundHelper();
}

Packet InputStreamManager::PopPacketAtTimestamp(Timestamp timestamp, int* num_packets_dropped,
                                                bool* stream_is_done) {
  CHECK(enable_timestamps_);
  std::unique_lock<internal::LightMutex> lock(mutex_);
  CHECK_LE(last_select_timestamp_, timestamp);
  last_select_timestamp_ = timestamp;
  // Nothing can arrive at or before `timestamp` any more. A timestamp that no stream can
  // carry (a pop at Done after Close) leaves the bound alone.
  if (timestamp >= next_timestamp_bound_ && timestamp.IsAllowedInStream()) {
    next_timestamp_bound_ = timestamp.NextAllowedInStream();
  }
  const bool verbose = VLOG_IS_ON(2);
  VLOG_IF(2, verbose) << "Input stream " << name_ << " selecting at timestamp:"
                      << timestamp.Value() << " next timestamp bound: " << next_timestamp_bound_;
  const bool was_full = IsFullLocked();
  // Timestamps rise strictly along the queue: every packet before `timestamp` is dropped,
  // and at most one packet sits at it.
  int dropped = 0;
  while (!queue_.empty() && queue_.front().Timestamp() < timestamp) {
    queue_.pop_front();
    ++dropped;
  }
  // Otherwise the returned empty packet carries the latest timestamp known to hold nothing.
  Packet packet = !queue_.empty() && queue_.front().Timestamp() == timestamp
                      ? queue_.take_front()
                      : Packet().At(MinTimestampOrBoundHelper().PreviousAllowedInStream());
  VLOG_IF(2, verbose) << "Input stream removed packets:" << name_ << " Size:" << queue_.size();
  const bool became_non_full = was_full && !IsFullLocked();
  *stream_is_done = IsDoneLocked();
  PublishHeadLocked();
  lock.unlock();
  *num_packets_dropped = dropped;
  if (ABSL_PREDICT_FALSE(became_non_full)) ReportBecameNotFull();
  return packet;
}

Packet InputStreamManager::PopQueueHead(bool* stream_is_done) {
  CHECK(!enable_timestamps_);
  *stream_is_done = false;
  Packet packet;
  bool became_non_full = false;
  {
    std::lock_guard<internal::LightMutex> lock(mutex_);
    HeadPublisher publisher(this);
    VLOG(2) << "Input stream " << name_ << " selecting at queue head";
    const bool was_full = IsFullLocked();
    if (!queue_.empty()) {
      packet = std::move(queue_.front());
      queue_.pop_front();
    }
    VLOG(2) << "Input stream removed a packet:" << name_ << " Size:" << queue_.size();
    became_non_full = was_full && !IsFullLocked();
    *stream_is_done = IsDoneLocked();
  }
  if (became_non_full) ReportBecameNotFull();
  return packet;
}

bool InputStreamManager::IsDone() const {
  // Locked although nothing here needs it to be: a reader on another thread would race.
  std::lock_guard<internal::LightMutex> lock(mutex_);
  return IsDoneLocked();
}

int InputStreamManager::QueueSize() const {
  std::lock_guard<internal::LightMutex> lock(mutex_);
  return static_cast<int>(queue_.size());
}

int InputStreamManager::MaxQueueSize() const {
  std::lock_guard<internal::LightMutex> lock(mutex_);
  return max_queue_size_;
}

bool InputStreamManager::IsFull() const {
  std::lock_guard<internal::LightMutex> lock(mutex_);
  return IsFullLocked();
}

// A stream used without throttling (an observer, a test) may have no callbacks.
void InputStreamManager::ReportBecameFull() {
  VLOG(2) << "Queue became full: " << name_;
  if (becomes_full_callback_) becomes_full_callback_(this, &last_reported_stream_full_);
}

void InputStreamManager::ReportBecameNotFull() {
  VLOG(2) << "Queue became non-full: " << name_;
  if (becomes_not_full_callback_) becomes_not_full_callback_(this, &last_reported_stream_full_);
}

void InputStreamManager::SetMaxQueueSize(int max_queue_size) {
  bool was_full;
  bool is_full;
  {
    std::lock_guard<internal::LightMutex> lock(mutex_);
    was_full = IsFullLocked();
    max_queue_size_ = max_queue_size;
    is_full = IsFullLocked();
  }
  if (is_full && !was_full) {
    ReportBecameFull();
  } else if (was_full && !is_full) {
    ReportBecameNotFull();
  }
}

Timestamp InputStreamManager::GetMinTimestampAmongNLatest(int n) const {
  CHECK_GE(n, 1);
  std::lock_guard<internal::LightMutex> lock(mutex_);
  if (queue_.empty()) return Timestamp::Unset();
  const size_t count = std::min(queue_.size(), static_cast<size_t>(n));
  return queue_[queue_.size() - count].Timestamp();
}

void InputStreamManager::ErasePacketsEarlierThan(Timestamp timestamp) {
  bool became_non_full = false;
  {
    std::lock_guard<internal::LightMutex> lock(mutex_);
    HeadPublisher publisher(this);
    const bool was_full = IsFullLocked();
    while (!queue_.empty() && queue_.front().Timestamp() < timestamp) queue_.pop_front();
    became_non_full = was_full && !IsFullLocked();
  }
  if (became_non_full) ReportBecameNotFull();
}

}  // namespace kaldren
