// One output stream of a node (or one graph input stream) and the input streams it feeds.
//
// The manager owns the stream's `OutputStreamSpec`, its current timestamp bound and closed
// state, and its mirrors: the downstream input streams, each reached through its node's
// input stream handler and the stream's id there. After each invocation the node's output
// stream handler asks the manager for the stream's new bound (from the invocation's shard,
// the input timestamp and the declared offset) and to hand the shard's packets and that
// bound to every mirror.
//
// Errors go to the OutputStreamSpec's error callback and are never returned. Mirror operations are
// called without the manager's mutex held.

#ifndef QUILLMERE_GRAPH_OUTPUT_STREAM_MANAGER_H_
#define QUILLMERE_GRAPH_OUTPUT_STREAM_MANAGER_H_

#include <algorithm>
#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "base/logging.h"
#include "base/status.h"
#include "graph/input_stream_mirror.h"
#include "graph/output_stream_shard.h"
#include "graph/packet_type.h"
#include "graph/timestamp.h"
#include "graph_config/collection_item_id.h"

namespace kaldren {

class OutputStreamManager {
 public:
  struct Mirror {
    internal::InputStreamMirrorTarget* input_stream_handler;
    CollectionItemId id;
  };

  OutputStreamManager() = default;
  OutputStreamManager(const OutputStreamManager&) = delete;
  OutputStreamManager& operator=(const OutputStreamManager&) = delete;

  // Stores the name and packet type (not owned) and prepares for a run without an error
  // callback. Always OK.
  absl::Status Initialize(const std::string& name, const PacketType* packet_type);

  // Starts a run: stores the error callback, unlocks the intro data, disables the offset
  // (its value stays), drops the header, reopens the stream at bound PreStream.
  void PrepareForRun(std::function<void(const absl::Status&)> error_callback);

  const std::string& Name() const { return output_stream_spec_.name; }
  OutputStreamSpec* Spec() { return &output_stream_spec_; }

  // Feeds input stream `id` of `input_stream_handler` (not null: fatal otherwise) from
  // now on. Mirrors are added while the graph is set up and never removed.
  void AddMirror(internal::InputStreamMirrorTarget* input_stream_handler, CollectionItemId id);

  // Sets the queue limit of every mirror.
  void SetMaxQueueSize(int max_queue_size);

  // Hands the header to every mirror; refused once the intro data is locked.
  void PropagateHeader();
  // After this, header, offset and header propagation are refused until the next run.
  void LockIntroData() { output_stream_spec_.locked_intro_data = true; }

  // Once: closed, bound Done, and Done sent to every mirror as their bound.
  void Close();
  bool IsClosed() const { return closed_.load(std::memory_order_acquire); }
  Timestamp NextTimestampBound() const {
    return next_timestamp_bound_.load(std::memory_order_acquire);
  }

  // Starts an invocation's shard from the stream's bound and closed state.
  void ResetShard(OutputStreamShard* output_stream_shard) {
    const bool closed = closed_.load(std::memory_order_acquire);
    output_stream_shard->Reset(next_timestamp_bound_.load(std::memory_order_acquire), closed);
  }

  // The stream's bound after an invocation at `input_timestamp` that wrote `shard`: the
  // shard's bound, raised past its last packet and, with an offset, to the input
  // timestamp's next allowed timestamp plus the offset. An input timestamp of
  // OneOverPostStream, Done or Unset is reported and yields Unset.
  Timestamp ComputeOutputTimestampBound(const OutputStreamShard& output_stream_shard,
                                        Timestamp input_timestamp) const {
    if (input_timestamp == Timestamp::OneOverPostStream() ||
        input_timestamp == Timestamp::Done() || input_timestamp == Timestamp::Unset())
        [[unlikely]] {
      return ReportInvalidInputTimestamp(input_timestamp);
    }
    Timestamp bound = output_stream_shard.NextTimestampBound();
    if (output_stream_spec_.offset_enabled && input_timestamp != Timestamp::Unstarted()) {
      bound = std::max(bound, OffsetBound(input_timestamp));
    }
    if (!output_stream_shard.IsEmpty()) {
      bound =
          std::max(bound, output_stream_shard.LastAddedPacketTimestamp().NextAllowedInStream());
    }
    return bound;
  }

  // Records the bound and hands the shard's packets (copied to all mirrors but the last,
  // which gets them moved) and the bound to every mirror. The bound is not sent when it is
  // where the packets already put it. Empties the shard.
  //
  // Inline: every invocation of the producing node ends here, for each of its outputs.
  [[gnu::always_inline]] void PropagateUpdatesToMirrors(Timestamp next_timestamp_bound,
                                                        OutputStreamShard* output_stream_shard) {
    CHECK(output_stream_shard);
    next_timestamp_bound_.store(next_timestamp_bound, std::memory_order_release);
    if (VLOG_IS_ON(2)) [[unlikely]] LogPropagation(next_timestamp_bound, *output_stream_shard);
    std::list<Packet>* packets = output_stream_shard->OutputQueue();
    if (packets->empty()) {
      PropagateBound(next_timestamp_bound);
      return;
    }
    // Receiving the packets already moves each consumer's bound past the last of them.
    const bool send_bound =
        next_timestamp_bound != packets->back().Timestamp().NextAllowedInStream();
    const Mirror* mirror = mirrors_.data();
    const Mirror* const end = mirror + mirrors_.size();
    for (; mirror != end; ++mirror) {
      // All but the last consumer get copies; the last gets the packets themselves.
      if (mirror + 1 != end) {
        mirror->input_stream_handler->AddPackets(mirror->id, *packets);
      } else {
        mirror->input_stream_handler->MovePackets(mirror->id, packets);
      }
      if (send_bound) {
        mirror->input_stream_handler->SetNextTimestampBound(mirror->id, next_timestamp_bound);
      }
    }
    output_stream_shard->ClearOutputQueue();
  }

 private:
  // Sends `next_timestamp_bound` to every mirror, for a shard without packets.
  void PropagateBound(Timestamp next_timestamp_bound);
  // Reports an input timestamp no bound can be computed from; Unset.
  [[gnu::noinline]] Timestamp ReportInvalidInputTimestamp(Timestamp input_timestamp) const;
  // The bound the declared offset implies for an invocation at `input_timestamp`.
  Timestamp OffsetBound(Timestamp input_timestamp) const;
  [[gnu::noinline]] void LogPropagation(Timestamp next_timestamp_bound,
                                        const OutputStreamShard& output_stream_shard) const;

  OutputStreamSpec output_stream_spec_;
  // Written while the graph is set up, read without the lock afterwards.
  std::vector<Mirror> mirrors_;
  // Serialises closing with run preparation. The bound and the closed flag are atomics read
  // without it: only the producing node's own invocations write the bound, and every
  // invocation reads both, so a lock there would cost two acquisitions per packet.
  std::mutex stream_mutex_;
  std::atomic<Timestamp> next_timestamp_bound_{Timestamp::Unset()};
  std::atomic<bool> closed_{false};
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_OUTPUT_STREAM_MANAGER_H_
