#include "graph/output_stream_manager.h"

#include <functional>
#include <limits>
#include <list>
#include <string>
#include <vector>

#include "base/logging.h"
#include "graph/input_stream_manager.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::absl::StatusCode;

Packet IntAt(int64_t t) { return MakePacket<int>(static_cast<int>(t)).At(Timestamp(t)); }

std::string Times(const std::list<Packet>& packets) {
  std::string text;
  for (const Packet& packet : packets) {
    if (!text.empty()) text += ",";
    text += packet.IsEmpty() ? "empty" : packet.Timestamp().DebugString();
  }
  return text;
}

// Records every call a consumer's input stream handler receives, one line per call.
class RecordingConsumer : public internal::InputStreamMirrorTarget {
 public:
  void AddPackets(CollectionItemId id, const std::list<Packet>& packets) override {
    calls.push_back("add " + std::to_string(id.Value()) + " " + Times(packets));
  }
  void MovePackets(CollectionItemId id, std::list<Packet>* packets) override {
    calls.push_back("move " + std::to_string(id.Value()) + " " + Times(*packets));
    for (Packet& packet : *packets) received.push_back(std::move(packet));
  }
  void SetNextTimestampBound(CollectionItemId id, Timestamp bound) override {
    calls.push_back("bound " + std::to_string(id.Value()) + " " + bound.DebugString());
  }
  void SetHeader(CollectionItemId id, const Packet& header) override {
    calls.push_back("header " + std::to_string(id.Value()) + " " +
                    std::to_string(header.Get<int>()));
  }
  void SetMaxQueueSize(CollectionItemId id, int max_queue_size) override {
    calls.push_back("limit " + std::to_string(id.Value()) + " " +
                    std::to_string(max_queue_size));
  }

  std::vector<std::string> calls;
  std::vector<Packet> received;
};

// Feeds real input stream managers and collects their errors, as a node's input stream
// handler does.
class ForwardingConsumer : public internal::InputStreamMirrorTarget {
 public:
  explicit ForwardingConsumer(const PacketType* type) {
    CHECK(stream.Initialize("in", type, false).ok());
  }
  void AddPackets(CollectionItemId, const std::list<Packet>& packets) override {
    Record(stream.AddPackets(packets, &notify));
  }
  void MovePackets(CollectionItemId, std::list<Packet>* packets) override {
    Record(stream.MovePackets(packets, &notify));
  }
  void SetNextTimestampBound(CollectionItemId, Timestamp bound) override {
    Record(stream.SetNextTimestampBound(bound, &notify));
  }
  void SetHeader(CollectionItemId, const Packet& header) override {
    Record(stream.SetHeader(header));
  }
  void SetMaxQueueSize(CollectionItemId, int max_queue_size) override {
    stream.SetMaxQueueSize(max_queue_size);
  }

  InputStreamManager stream;
  bool notify = false;
  std::vector<absl::Status> errors;

 private:
  void Record(const absl::Status& status) {
    if (!status.ok()) errors.push_back(status);
  }
};

class OutputStreamManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    type_.Set<int>();
    ASSERT_TRUE(manager_.Initialize("out", &type_).ok());
    manager_.PrepareForRun([this](const absl::Status& status) { errors_.push_back(status); });
    shard_.SetSpec(manager_.Spec());
    manager_.ResetShard(&shard_);
  }

  PacketType type_;
  OutputStreamManager manager_;
  OutputStreamShard shard_;
  std::vector<absl::Status> errors_;
};

TEST_F(OutputStreamManagerTest, ShardMisuseIsReportedAndChangesNothing) {
  struct Case {
    std::string setup;  // "", "close" or "lock"
    std::function<void(OutputStreamShard&)> call;
    StatusCode code;
    std::string message;
  };
  const std::string illegal = "In stream \"out\", timestamp not specified or set to illegal value: ";
  const std::vector<Case> cases = {
      // The closed check comes before the empty-packet check.
      {"close", [](OutputStreamShard& s) { s.AddPacket(Packet()); },
       StatusCode::kFailedPrecondition, "Packet sent to closed stream \"out\"."},
      {"", [](OutputStreamShard& s) { s.AddPacket(Packet().At(Timestamp(1))); },
       StatusCode::kInvalidArgument, "Empty packet sent to stream \"out\"."},
      {"", [](OutputStreamShard& s) { s.AddPacket(MakePacket<int>(1)); },
       StatusCode::kInvalidArgument, illegal + "Timestamp::Unset()"},
      {"", [](OutputStreamShard& s) { s.AddPacket(MakePacket<int>(1).At(Timestamp::Done())); },
       StatusCode::kInvalidArgument, illegal + "Timestamp::Done()"},
      {"",
       [](OutputStreamShard& s) {
         Packet packet = MakePacket<float>(1.f).At(Timestamp(1));
         s.AddPacket(std::move(packet));
       },
       StatusCode::kInvalidArgument,
       "Packet type mismatch on calculator outputting to stream \"out\": The Packet stores "
       "\"float\", but \"int\" was requested."},
      {"", [](OutputStreamShard& s) { s.SetNextTimestampBound(Timestamp::Done()); },
       StatusCode::kInvalidArgument,
       "In stream \"out\", timestamp bound set to illegal value: Timestamp::Done()"},
      {"", [](OutputStreamShard& s) { s.SetNextTimestampBound(Timestamp::Unset()); },
       StatusCode::kInvalidArgument,
       "In stream \"out\", timestamp bound set to illegal value: Timestamp::Unset()"},
      {"", [](OutputStreamShard& s) { s.SetNextTimestampBound(Timestamp::Unstarted()); },
       StatusCode::kInvalidArgument,
       "In stream \"out\", timestamp bound set to illegal value: Timestamp::Unstarted()"},
      {"lock", [](OutputStreamShard& s) { s.SetOffset(TimestampDiff(3)); },
       StatusCode::kFailedPrecondition,
       "SetOffset must be called from Calculator::Open(). Stream: \"out\"."},
      {"close", [](OutputStreamShard& s) { s.SetHeader(MakePacket<int>(2)); },
       StatusCode::kFailedPrecondition,
       "SetHeader must be called before the stream is closed. Stream: \"out\"."},
      {"lock", [](OutputStreamShard& s) { s.SetHeader(MakePacket<int>(2)); },
       StatusCode::kFailedPrecondition,
       "SetHeader must be called from Calculator::Open(). Stream: \"out\"."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    manager_.PrepareForRun([this](const absl::Status& status) { errors_.push_back(status); });
    errors_.clear();
    manager_.ResetShard(&shard_);
    shard_.SetHeader(MakePacket<int>(1));
    shard_.SetOffset(TimestampDiff(-1));
    shard_.SetNextTimestampBound(Timestamp(4));
    if (c.setup == "close") shard_.Close();
    if (c.setup == "lock") manager_.LockIntroData();
    const Timestamp bound = shard_.NextTimestampBound();

    c.call(shard_);

    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0].code(), c.code);
    EXPECT_EQ(errors_[0].message(), c.message);
    EXPECT_TRUE(shard_.IsEmpty());
    EXPECT_EQ(shard_.NextTimestampBound(), bound);
    EXPECT_EQ(shard_.Offset(), TimestampDiff(-1));
    EXPECT_EQ(shard_.Header().Get<int>(), 1);
  }

  // The header can no longer be propagated either.
  errors_.clear();
  manager_.PropagateHeader();
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0].code(), StatusCode::kFailedPrecondition);
  EXPECT_EQ(errors_[0].message(),
            "PropagateHeader must be called in CalculatorNode::OpenNode(). Stream: \"out\".");
}

TEST_F(OutputStreamManagerTest, ShardAcceptsPacketsAndBounds) {
  shard_.AddPacket(IntAt(7));
  Packet packet = IntAt(5);
  shard_.AddPacket(std::move(packet));  // no ordering check here; consumers enforce it
  EXPECT_TRUE(packet.IsEmpty());
  EXPECT_EQ(shard_.LastAddedPacketTimestamp(), Timestamp(5));
  EXPECT_EQ(shard_.NextTimestampBound(), Timestamp(6));
  shard_.SetNextTimestampBound(Timestamp(3));  // lower bounds are stored as they are
  EXPECT_EQ(shard_.NextTimestampBound(), Timestamp(3));
  shard_.Close();
  EXPECT_TRUE(shard_.IsClosed());
  EXPECT_EQ(shard_.NextTimestampBound(), Timestamp::Done());
  EXPECT_TRUE(errors_.empty());
  EXPECT_EQ(shard_.Name(), "out");
}

TEST_F(OutputStreamManagerTest, ComputeOutputTimestampBound) {
  struct Case {
    bool offset_enabled;
    int64_t offset;
    std::vector<int64_t> packets;
    Timestamp input;
    Timestamp expected;
  };
  const Case cases[] = {
      // Without an offset only the packets and the shard's bound count.
      {false, 0, {5, 7}, Timestamp(7), Timestamp(8)},
      {false, 0, {}, Timestamp(7), Timestamp::PreStream()},
      {true, 0, {}, Timestamp(7), Timestamp(8)},
      {true, -5, {}, Timestamp(7), Timestamp(3)},
      {true, 10, {5}, Timestamp(7), Timestamp(18)},
      {true, -5, {5}, Timestamp(7), Timestamp(6)},
      {true, 3, {}, Timestamp::PreStream(), Timestamp::Min()},
      {true, 3, {}, Timestamp::PostStream(), Timestamp::OneOverPostStream()},
      {true, 0, {}, Timestamp::Max(), Timestamp::PostStream()},
      {true, -5, {}, Timestamp::Max(), Timestamp(Timestamp::Max().Value() - 4)},
      {true, 3, {}, Timestamp::Unstarted(), Timestamp::PreStream()},
      // Offsets saturate at Min and Max.
      {true, std::numeric_limits<int64_t>::max() - 10, {}, Timestamp(7), Timestamp::Max()},
      {true, -10, {}, Timestamp::Min(), Timestamp::Min()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.DebugString() + " offset " + std::to_string(c.offset));
    manager_.PrepareForRun([this](const absl::Status& status) { errors_.push_back(status); });
    if (c.offset_enabled) shard_.SetOffset(TimestampDiff(c.offset));
    manager_.ResetShard(&shard_);
    for (int64_t t : c.packets) shard_.AddPacket(IntAt(t));
    EXPECT_EQ(manager_.ComputeOutputTimestampBound(shard_, c.input), c.expected);
  }
  EXPECT_TRUE(errors_.empty());

  // A bound the calculator set wins over a lower offset bound.
  manager_.ResetShard(&shard_);
  shard_.SetOffset(TimestampDiff(0));
  shard_.SetNextTimestampBound(Timestamp(100));
  EXPECT_EQ(manager_.ComputeOutputTimestampBound(shard_, Timestamp(7)), Timestamp(100));

  for (Timestamp input : {Timestamp::OneOverPostStream(), Timestamp::Done(), Timestamp::Unset()}) {
    errors_.clear();
    EXPECT_EQ(manager_.ComputeOutputTimestampBound(shard_, input), Timestamp::Unset());
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0].code(), StatusCode::kFailedPrecondition);
    EXPECT_EQ(errors_[0].message(),
              "Invalid input timestamp to compute the output timestamp bound. Stream: \"out\", "
              "Timestamp: " + input.DebugString() + ".");
  }
}

TEST_F(OutputStreamManagerTest, PropagatesToMirrorsInOrder) {
  RecordingConsumer first, second, third;
  manager_.AddMirror(&first, 0);
  manager_.AddMirror(&second, 2);
  manager_.AddMirror(&third, 1);

  // The bound right after the last packet is already implied by the packets.
  shard_.AddPacket(IntAt(5));
  shard_.AddPacket(IntAt(7));
  manager_.PropagateUpdatesToMirrors(Timestamp(8), &shard_);
  EXPECT_EQ(first.calls, (std::vector<std::string>{"add 0 5,7"}));
  EXPECT_EQ(second.calls, (std::vector<std::string>{"add 2 5,7"}));
  EXPECT_EQ(third.calls, (std::vector<std::string>{"move 1 5,7"}));
  ASSERT_EQ(third.received.size(), 2u);
  EXPECT_EQ(third.received[1].Get<int>(), 7);
  EXPECT_TRUE(shard_.IsEmpty());
  EXPECT_EQ(manager_.NextTimestampBound(), Timestamp(8));

  // Any other bound follows the packets, per mirror; without packets only the bound goes.
  for (RecordingConsumer* c : {&first, &second, &third}) c->calls.clear();
  shard_.AddPacket(IntAt(9));
  manager_.PropagateUpdatesToMirrors(Timestamp(20), &shard_);
  manager_.PropagateUpdatesToMirrors(Timestamp(21), &shard_);
  EXPECT_EQ(first.calls,
            (std::vector<std::string>{"add 0 9", "bound 0 20", "bound 0 21"}));
  EXPECT_EQ(third.calls,
            (std::vector<std::string>{"move 1 9", "bound 1 20", "bound 1 21"}));

  // Headers, limits and closing reach every mirror; closing only once.
  for (RecordingConsumer* c : {&first, &second, &third}) c->calls.clear();
  shard_.SetHeader(MakePacket<int>(4));
  manager_.PropagateHeader();
  manager_.SetMaxQueueSize(3);
  manager_.Close();
  manager_.Close();
  EXPECT_EQ(second.calls,
            (std::vector<std::string>{"header 2 4", "limit 2 3", "bound 2 Timestamp::Done()"}));
  EXPECT_TRUE(manager_.IsClosed());
  manager_.ResetShard(&shard_);
  EXPECT_TRUE(shard_.IsClosed());
  EXPECT_EQ(shard_.NextTimestampBound(), Timestamp::Done());

  // A new run reopens the stream; the offset stays stored but is disabled.
  shard_.SetOffset(TimestampDiff(2));
  manager_.PrepareForRun(nullptr);
  EXPECT_FALSE(manager_.IsClosed());
  EXPECT_EQ(manager_.NextTimestampBound(), Timestamp::PreStream());
  EXPECT_FALSE(shard_.OffsetEnabled());
  EXPECT_EQ(shard_.Offset(), TimestampDiff(2));
  EXPECT_TRUE(shard_.Header().IsEmpty());
  EXPECT_TRUE(errors_.empty());
}

// One invocation after another, as the output stream handler drives them, into two
// consumers' input queues.
TEST_F(OutputStreamManagerTest, InvocationsReachConsumerQueues) {
  ForwardingConsumer copy_consumer(&type_), move_consumer(&type_);
  manager_.AddMirror(&copy_consumer, 0);
  manager_.AddMirror(&move_consumer, 0);
  auto invoke = [&](Timestamp input, std::vector<int64_t> outputs) {
    manager_.ResetShard(&shard_);
    for (int64_t t : outputs) shard_.AddPacket(IntAt(t));
    manager_.PropagateUpdatesToMirrors(manager_.ComputeOutputTimestampBound(shard_, input),
                                       &shard_);
  };

  shard_.SetOffset(TimestampDiff(0));
  manager_.LockIntroData();
  invoke(Timestamp(5), {5});
  invoke(Timestamp(7), {});
  for (ForwardingConsumer* consumer : {&copy_consumer, &move_consumer}) {
    bool is_empty = true;
    EXPECT_EQ(consumer->stream.MinTimestampOrBound(&is_empty), Timestamp(5));
    EXPECT_FALSE(is_empty);
    int dropped = -1;
    bool done = true;
    EXPECT_EQ(consumer->stream.PopPacketAtTimestamp(Timestamp(5), &dropped, &done).Get<int>(),
              5);
    // Settled up to 7 although nothing was output at 7.
    EXPECT_EQ(consumer->stream.MinTimestampOrBound(&is_empty), Timestamp(8));
  }

  // A calculator that lowers its bound below what it already promised is refused by the
  // consumers, not by its own stream.
  manager_.ResetShard(&shard_);
  shard_.SetNextTimestampBound(Timestamp(6));
  manager_.PropagateUpdatesToMirrors(Timestamp(6), &shard_);
  EXPECT_TRUE(errors_.empty());
  for (ForwardingConsumer* consumer : {&copy_consumer, &move_consumer}) {
    ASSERT_EQ(consumer->errors.size(), 1u);
    EXPECT_EQ(consumer->errors[0].code(), StatusCode::kUnknown);
  }

  manager_.Close();
  EXPECT_TRUE(move_consumer.stream.IsDone());
}

TEST_F(OutputStreamManagerTest, FatalMisuse) {
  EXPECT_DEATH(shard_.SetSpec(nullptr), "Check failed: output_stream_spec");
  EXPECT_DEATH(manager_.AddMirror(nullptr, 0), "Check failed: input_stream_handler");
  EXPECT_DEATH(manager_.PropagateUpdatesToMirrors(Timestamp(1), nullptr),
               "Check failed: output_stream_shard");
  manager_.PrepareForRun(nullptr);
  EXPECT_DEATH(shard_.AddPacket(Packet()), "Check failed: error_callback");
}

}  // namespace
}  // namespace kaldren
