#include "graph/graph_output_stream.h"

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "graph/output_stream_manager.h"
#include "graph/output_stream_shard.h"
#include "graph/packet_type.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace internal {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

Packet IntAt(int64_t t) { return MakePacket<int>(static_cast<int>(t)).At(Timestamp(t)); }

// A producing output stream, fed the way a node's invocations feed it.
class OutputStreamTest : public ::testing::Test {
 protected:
  OutputStreamTest() {
    any_type_.SetAny();
    CHECK(producer_.Initialize("out", &any_type_).ok());
    producer_.PrepareForRun([this](const absl::Status& status) { errors_.push_back(status); });
  }

  // One invocation that outputs packets at `times`.
  void Emit(const std::vector<int64_t>& times) {
    OutputStreamShard shard;
    shard.SetSpec(producer_.Spec());
    producer_.ResetShard(&shard);
    for (int64_t t : times) shard.AddPacket(IntAt(t));
    producer_.PropagateUpdatesToMirrors(
        producer_.ComputeOutputTimestampBound(shard, Timestamp(times.back())), &shard);
  }

  // Starts a run of `stream`: the notification callback calls its Notify and keeps the
  // results.
  void PrepareForRun(GraphOutputStream* stream) {
    stream->PrepareForRun(
        [this, stream] { notify_results_.push_back(stream->Notify()); },
        [this](absl::Status status) { errors_.push_back(std::move(status)); });
  }

  PacketType any_type_;
  OutputStreamManager producer_;
  std::vector<absl::Status> notify_results_;
  std::vector<absl::Status> errors_;
};

// An observer that records the values it sees and fails at the value `fail_at`.
class ObserverTest : public OutputStreamTest {
 protected:
  void StartObserver(int fail_at = -1) {
    ASSERT_TRUE(observer_
                    .Initialize("out", &any_type_,
                                [this, fail_at](const Packet& packet) {
                                  seen_.push_back(packet.Get<int>());
                                  return packet.Get<int>() == fail_at
                                             ? absl::InvalidArgumentError("refused")
                                             : absl::OkStatus();
                                },
                                &producer_)
                    .ok());
    PrepareForRun(&observer_);
  }

  OutputStreamObserver observer_;
  std::vector<int> seen_;
};

TEST_F(ObserverTest, DeliversEveryPacketInTimestampOrder) {
  StartObserver();

  Emit({10, 20});
  Emit({30});
  producer_.Close();

  EXPECT_THAT(seen_, ElementsAre(10, 20, 30));
  for (const absl::Status& status : notify_results_) EXPECT_TRUE(status.ok()) << status;
  EXPECT_TRUE(errors_.empty());
  EXPECT_TRUE(observer_.input_stream()->IsDone());
}

TEST_F(ObserverTest, CallbackFailureStopsDeliveryAndIsReturned) {
  StartObserver(/*fail_at=*/20);
  Emit({10, 20, 30});

  EXPECT_THAT(seen_, ElementsAre(10, 20));
  ASSERT_EQ(notify_results_.size(), 1);
  EXPECT_EQ(notify_results_[0], absl::InvalidArgumentError("refused"));
  EXPECT_EQ(observer_.input_stream()->QueueSize(), 1);  // 30 stays queued
}

// Reaches the stream handler, which nothing may schedule.
class ExposedObserver : public OutputStreamObserver {
 public:
  InputStreamHandler* handler() { return handler_.get(); }
};

TEST_F(OutputStreamTest, HandlerIsNeverScheduled) {
  ExposedObserver observer;
  ASSERT_TRUE(observer
                  .Initialize("out", &any_type_, [](const Packet&) { return absl::OkStatus(); },
                              &producer_)
                  .ok());
  Timestamp timestamp;
  EXPECT_DEATH(observer.handler()->GetNodeReadiness(&timestamp),
               "GraphOutputStreamHandler::GetNodeReadiness should never be invoked.");
  EXPECT_DEATH(observer.handler()->FillInputSet(Timestamp(0), nullptr),
               "GraphOutputStreamHandler::FillInputSet should never be invoked.");
}

TEST_F(OutputStreamTest, InitializeRefusesMissingOutputStream) {
  OutputStreamObserver observer;
  absl::Status status = observer.Initialize(
      "out", &any_type_, [](const Packet&) { return absl::OkStatus(); }, nullptr);
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(status.message(), HasSubstr("output_stream_manager"));

  OutputStreamPollerImpl poller;
  status = poller.Initialize("out", &any_type_, [](InputStreamManager*, bool*) {}, nullptr);
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(status.message(), HasSubstr("output_stream_manager"));
}

class PollerTest : public OutputStreamTest {
 protected:
  PollerTest() {
    CHECK(poller_
              .Initialize("out", &any_type_,
                          [this](InputStreamManager* stream, bool* last_reported_full) {
                            // Called from the producing and the consuming thread.
                            std::lock_guard<std::mutex> lock(reports_mutex_);
                            const bool full = stream->IsFull();
                            if (full != *last_reported_full) {
                              queue_full_reports_.push_back(full);
                              *last_reported_full = full;
                            }
                          },
                          &producer_)
              .ok());
    PrepareForRun(&poller_);
  }

  // The values Next hands out until it returns false.
  std::vector<int> Drain() {
    std::vector<int> values;
    Packet packet;
    while (poller_.Next(&packet)) values.push_back(packet.Get<int>());
    return values;
  }

  OutputStreamPollerImpl poller_;
  std::mutex reports_mutex_;
  std::vector<bool> queue_full_reports_;
};

TEST_F(PollerTest, NextWaitsForPacketsAndEndsWhenTheStreamIsClosed) {
  std::vector<int> values;
  std::thread consumer([&] { values = Drain(); });
  Emit({1});
  Emit({2, 3});
  producer_.Close();
  consumer.join();
  EXPECT_THAT(values, ElementsAre(1, 2, 3));

  // Closed and drained: false at once.
  Packet packet;
  EXPECT_FALSE(poller_.Next(&packet));
}

TEST_F(PollerTest, PacketsLeftAfterTheRunCanStillBeTaken) {
  Emit({1, 2});
  poller_.CloseInputStream();
  EXPECT_THAT(Drain(), ElementsAre(1, 2));
}

TEST_F(PollerTest, GraphErrorEndsPollingOnceTheQueueIsEmpty) {
  Emit({1});
  poller_.NotifyError();
  EXPECT_THAT(Drain(), ElementsAre(1));

  // A waiting consumer is woken by the error.
  PrepareForRun(&poller_);
  poller_.Reset();
  std::thread consumer([&] {
    Packet packet;
    EXPECT_FALSE(poller_.Next(&packet));
  });
  poller_.NotifyError();
  consumer.join();
}

TEST_F(PollerTest, ResetEmptiesTheQueueAndForgetsTheError) {
  Emit({1, 2});
  poller_.NotifyError();
  poller_.Reset();
  EXPECT_EQ(poller_.QueueSize(), 0);
  producer_.PrepareForRun([](const absl::Status&) {});
  Emit({5});
  producer_.Close();
  EXPECT_THAT(Drain(), ElementsAre(5));
}

TEST_F(PollerTest, MaxQueueSizeReportsFullAndNotFull) {
  poller_.SetMaxQueueSize(2);
  Emit({1});
  EXPECT_TRUE(queue_full_reports_.empty());
  Emit({2});
  EXPECT_THAT(queue_full_reports_, ElementsAre(true));
  EXPECT_EQ(poller_.QueueSize(), 2);

  Packet packet;
  ASSERT_TRUE(poller_.Next(&packet));
  EXPECT_THAT(queue_full_reports_, ElementsAre(true, false));

  // Unlimited again: a larger queue never reports full.
  poller_.SetMaxQueueSize(-1);
  Emit({3, 4, 5});
  EXPECT_THAT(queue_full_reports_, ElementsAre(true, false));
  EXPECT_EQ(poller_.QueueSize(), 4);
}

TEST_F(PollerTest, ProducerAndConsumerOnTwoThreads) {
  constexpr int kPackets = 200;
  poller_.SetMaxQueueSize(5);
  std::thread producer([&] {
    for (int t = 0; t < kPackets; ++t) Emit({t});
    producer_.Close();
  });
  std::vector<int> values = Drain();
  producer.join();
  ASSERT_EQ(values.size(), kPackets);
  for (int t = 0; t < kPackets; ++t) EXPECT_EQ(values[t], t);
}

TEST_F(PollerTest, MisuseIsFatal) {
  EXPECT_DEATH(poller_.Next(nullptr), "Check failed: packet");
  EXPECT_DEATH(poller_.SetMaxQueueSize(-2), "Max queue size must be either -1 or non-negative.");
}

}  // namespace
}  // namespace internal
}  // namespace kaldren
