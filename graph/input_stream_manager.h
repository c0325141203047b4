// The queue of one input stream of one node (or of one graph output observer).
//
// Every packet that an upstream output stream propagates to a node lands here through the
// node's input stream handler, is checked against the stream's packet type and timestamp
// order, and waits until the handler pops it for an invocation. The manager also keeps the
// stream's next timestamp bound (the smallest timestamp a future packet may carry), its
// header, the closed state and an optional queue limit.
//
// Queue limit: the queue is full when the limit is not -1 and it holds at least `limit`
// packets. When it becomes full, or stops being full, the matching queue-size callback
// runs, always after the manager's mutex is released, so that callbacks may call back
// into the manager (`QueueSize`, `IsFull`, `SetMaxQueueSize`).
//
// Errors in packets and bounds are returned as statuses; packets accepted before a bad
// one stay queued. Misuse by the framework (popping at an older timestamp than before,
// using the timestamp-free pop on a timestamped stream or the reverse) is fatal.

#ifndef QUILLMERE_GRAPH_INPUT_STREAM_MANAGER_H_
#define QUILLMERE_GRAPH_INPUT_STREAM_MANAGER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>

#include "absl/base/optimization.h"
#include "base/status.h"
#include "graph/light_mutex.h"
#include "graph/packet.h"
#include "graph/packet_type.h"
#include "graph/ring_deque.h"
#include "graph/timestamp.h"

namespace kaldren {

class InputStreamManager {
 public:
  // Called with the manager and its last-reported-full flag, which the callback may read
  // and write; the manager only resets it in PrepareForRun.
  using QueueSizeCallback = std::function<void(InputStreamManager*, bool*)>;

  InputStreamManager() = default;
  InputStreamManager(const InputStreamManager&) = delete;
  InputStreamManager& operator=(const InputStreamManager&) = delete;

  // Stores the stream's name, packet type (not owned) and back-edge flag, then prepares
  // for a run. Always OK.
  absl::Status Initialize(const std::string& name, const PacketType* packet_type,
                          bool back_edge);

  // Starts a run: empty, open, bound PreStream, no header. The queue limit and the
  // timestamp mode stay.
  void PrepareForRun();

  const std::string& Name() const { return name_; }
  // Whether the stream closes a cycle; its header is not awaited.
  bool BackEdge() const { return back_edge_; }

  // Stores copies of both callbacks. Call before the run; not locked.
  void SetQueueSizeCallbacks(QueueSizeCallback becomes_full_callback,
                             QueueSizeCallback becomes_not_full_callback);

  bool IsEmpty() const;
  // A copy of the first packet, or an empty packet.
  Packet QueueHead() const;

  // A header must not carry a timestamp. Not locked: headers are set while the graph
  // opens, before packets flow.
  absl::Status SetHeader(const Packet& header);
  const Packet& Header() const { return header_; }

  // Queues copies of `packets` in order. `notify` is set when an empty queue received
  // packets. On a refused packet the ones before it stay queued and the error is
  // returned; a closed stream ignores the packets and returns OK.
  absl::Status AddPackets(const std::list<Packet>& packets, bool* notify) {
    return AddOrMovePacketsInternal(packets, notify);
  }
  // The same, moving every accepted packet out of `packets`.
  absl::Status MovePackets(std::list<Packet>* packets, bool* notify) {
    return AddOrMovePacketsInternal(*packets, notify);
  }

  // Raises the bound; a lower bound is an error (UNKNOWN) while timestamps are checked.
  // `notify` is set when the bound rose on an empty queue.
  absl::Status SetNextTimestampBound(Timestamp bound, bool* notify);

  // Neither ordering nor the PostStream rule are checked afterwards.
  void DisableTimestamps() { enable_timestamps_ = false; }

  // Marks the stream closed with bound Done. Queued packets stay; only a pop at Done,
  // which takes them all, is still allowed. Adds and bounds are then ignored.
  void Close();

  // The first packet's timestamp, or the bound when the queue is empty. `is_empty`, when
  // given, receives whether the queue is empty. Usually reads the published pair without
  // the mutex; takes it only while a writer keeps the pair busy.
  Timestamp MinTimestampOrBound(bool* is_empty) const {
    Timestamp timestamp;
    bool empty;
    if (ABSL_PREDICT_FALSE(!TryMinTimestampOrBound(&timestamp, &empty))) {
      return MinTimestampOrBoundContended(is_empty);
    }
    if (is_empty != nullptr) *is_empty = empty;
    return timestamp;
  }
  // The same pair from one lock-free read; false, with nothing written, while a writer
  // keeps it busy.
  bool TryMinTimestampOrBound(Timestamp* timestamp, bool* is_empty) const {
    const uint32_t version = head_version_.load(std::memory_order_acquire);
    const Timestamp head_timestamp = head_timestamp_.load(std::memory_order_acquire);
    const bool head_empty = head_empty_.load(std::memory_order_acquire);
    // The acquire loads above keep this load after them: an unchanged even version means
    // no writer touched the pair in between.
    if ((version & 1) != 0 || head_version_.load(std::memory_order_relaxed) != version) {
      return false;
    }
    *timestamp = head_timestamp;
    *is_empty = head_empty;
    return true;
  }

  // Settles the stream for `timestamp`: removes every packet at or before it and returns
  // the one at `timestamp`, or else an empty packet stamped with the latest timestamp at
  // which the stream is known to hold nothing. `num_packets_dropped` receives the number
  // of removed packets that are not returned; `stream_is_done` whether the stream is
  // drained and bounded at Done. `timestamp` must not be below the previous call's.
  Packet PopPacketAtTimestamp(Timestamp timestamp, int* num_packets_dropped,
                              bool* stream_is_done);
  // For streams without timestamps: removes and returns the first packet, or an empty one.
  Packet PopQueueHead(bool* stream_is_done);

  // Drained and bounded at Done. Not locked.
  bool IsDone() const;

  int QueueSize() const;
  int MaxQueueSize() const;
  bool IsFull() const;
  // -1 means unlimited. Runs the full or not-full callback when the state flips.
  void SetMaxQueueSize(int max_queue_size);

  // The oldest of the `n` newest packets' timestamps (n >= 1), Unset for an empty queue.
  Timestamp GetMinTimestampAmongNLatest(int n) const;
  // Removes packets from the front while they are earlier than `timestamp`; the bound
  // stays.
  void ErasePacketsEarlierThan(Timestamp timestamp);

 private:
  // The shared body of AddPackets and MovePackets; `Container` is a const list or a list.
  template <typename Container>
  absl::Status AddOrMovePacketsInternal(Container& packets, bool* notify);
  // Every rule a queued packet must meet, in order: OK, or the refusal of the first rule
  // the packet breaks. Out of line: the adding loop asks only for packets its quick
  // comparisons do not pass.
  [[gnu::noinline, gnu::cold]] absl::Status CheckPacketLocked(const Packet& packet) const;

  // For callers holding the mutex.
  Timestamp MinTimestampOrBoundHelper() const {
    return queue_.empty() ? next_timestamp_bound_ : queue_.front().Timestamp();
  }
  // Publishes the queue head's timestamp (or the bound) and emptiness for lock-free readers;
  // called with the mutex held after every change of the queue or the bound.
  void PublishHeadLocked() {
    // The release stores keep the odd version ahead of the values; a reader that sees a new
    // value therefore sees the version changed.
    const uint32_t version = head_version_.load(std::memory_order_relaxed);
    head_version_.store(version + 1, std::memory_order_relaxed);
    head_timestamp_.store(MinTimestampOrBoundHelper(), std::memory_order_release);
    head_empty_.store(queue_.empty(), std::memory_order_release);
    head_version_.store(version + 2, std::memory_order_release);
  }
  // MinTimestampOrBound while a writer keeps the published pair busy: a few more tries,
  // then the mutex.
  Timestamp MinTimestampOrBoundContended(bool* is_empty) const;
  class HeadPublisher;
  bool IsFullLocked() const {
    return max_queue_size_ != -1 && queue_.size() >= static_cast<size_t>(max_queue_size_);
  }
  bool IsDoneLocked() const {
    return queue_.empty() && next_timestamp_bound_ == Timestamp::Done();
  }
  // Run the queue-size callbacks; never with the mutex held.
  void ReportBecameFull();
  void ReportBecameNotFull();

  mutable internal::LightMutex mutex_;
  // What MinTimestampOrBound reports, readable without the mutex: the scheduling loop of the
  // consuming node asks for it at least twice per packet. A reader takes the pair when the
  // version is even and unchanged across its reads (the version is odd while it is written).
  std::atomic<uint32_t> head_version_{0};
  std::atomic<Timestamp> head_timestamp_{Timestamp::Unset()};
  std::atomic<bool> head_empty_{true};
  // Keeps its slots through the run: a queue that fills and drains per packet allocates
  // nothing.
  internal::RingDeque<Packet> queue_;
  int64_t num_packets_added_ = 0;
  Timestamp next_timestamp_bound_ = Timestamp::Unset();
  Timestamp last_select_timestamp_ = Timestamp::Unset();
  bool closed_ = false;
  bool enable_timestamps_ = true;
  std::string name_;
  const PacketType* packet_type_ = nullptr;
  // The end of packet_type_'s same-as chain, taken when a run is prepared: it validates
  // exactly as packet_type_ does, without walking the chain for every packet.
  const PacketType* packet_type_root_ = nullptr;
  bool back_edge_ = false;
  Packet header_;
  int max_queue_size_ = -1;
  QueueSizeCallback becomes_full_callback_;
  QueueSizeCallback becomes_not_full_callback_;
  bool last_reported_stream_full_ = false;
};

// Both forms of the adding routine are compiled once, in input_stream_manager.cc.
extern template absl::Status InputStreamManager::AddOrMovePacketsInternal(
    const std::list<Packet>& packets, bool* notify);
extern template absl::Status InputStreamManager::AddOrMovePacketsInternal(
    std::list<Packet>& packets, bool* notify);

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_INPUT_STREAM_MANAGER_H_
