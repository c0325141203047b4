#include "graph/input_stream_manager.h"

#include <atomic>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::absl::StatusCode;

Packet IntAt(int64_t t) { return MakePacket<int>(static_cast<int>(t)).At(Timestamp(t)); }

std::vector<int64_t> Timestamps(InputStreamManager& manager) {
  std::vector<int64_t> result;
  bool done = false;
  int dropped = 0;
  // Drains the queue in order.
  while (!manager.IsEmpty()) {
    Timestamp head = manager.QueueHead().Timestamp();
    result.push_back(head.Value());
    manager.PopPacketAtTimestamp(head, &dropped, &done);
  }
  return result;
}

class InputStreamManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    type_.Set<int>();
    ASSERT_TRUE(manager_.Initialize("a_stream", &type_, false).ok());
    manager_.SetQueueSizeCallbacks(
        [this](InputStreamManager* manager, bool* last_reported_full) {
          ++full_calls_;
          // The manager's mutex is released: calling back into it must not deadlock.
          size_at_callback_ = manager->QueueSize();
          reported_flag_at_callback_ = *last_reported_full;
          *last_reported_full = true;
        },
        [this](InputStreamManager* manager, bool*) {
          ++not_full_calls_;
          size_at_callback_ = manager->QueueSize();
        });
  }

  absl::Status Add(std::list<Packet> packets) { return manager_.AddPackets(packets, &notify_); }

  PacketType type_;
  InputStreamManager manager_;
  bool notify_ = false;
  int full_calls_ = 0;
  int not_full_calls_ = 0;
  int size_at_callback_ = -1;
  bool reported_flag_at_callback_ = false;
};

TEST_F(InputStreamManagerTest, RefusedPacketKeepsEarlierPacketsAndAdvancedBound) {
  // [10, 5] on an empty queue: 10 is queued, 5 refused, and no notification although the
  // queue became non-empty.
  absl::Status status = Add({IntAt(10), IntAt(5)});
  EXPECT_EQ(status.code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(),
            "Packet timestamp mismatch on a calculator receiving from stream \"a_stream\". "
            "Current minimum expected timestamp is 11 but received 5. Are you using a custom "
            "InputStreamHandler? Note that some InputStreamHandlers allow timestamps that are "
            "not strictly monotonically increasing. See for example the "
            "ImmediateInputStreamHandler class comment.");
  EXPECT_FALSE(notify_);
  EXPECT_EQ(manager_.QueueSize(), 1);

  ASSERT_TRUE(Add({IntAt(20)}).ok());
  EXPECT_FALSE(notify_);  // the queue was not empty
  EXPECT_EQ(Add({IntAt(15)}).code(), StatusCode::kInvalidArgument);

  // The bound stands at 21: an equal bound is accepted, a lower one refused.
  EXPECT_TRUE(manager_.SetNextTimestampBound(Timestamp(21), &notify_).ok());
  EXPECT_EQ(manager_.SetNextTimestampBound(Timestamp(20), &notify_).code(),
            StatusCode::kUnknown);
  EXPECT_EQ(Timestamps(manager_), (std::vector<int64_t>{10, 20}));
}

TEST_F(InputStreamManagerTest, MovePacketsMovesOnlyAcceptedPackets) {
  std::list<Packet> packets = {IntAt(10), IntAt(5)};
  EXPECT_EQ(manager_.MovePackets(&packets, &notify_).code(), StatusCode::kInvalidArgument);
  EXPECT_TRUE(packets.front().IsEmpty());
  EXPECT_EQ(packets.back().Get<int>(), 5);
  EXPECT_EQ(manager_.QueueHead().Get<int>(), 10);

  packets = {IntAt(11)};
  ASSERT_TRUE(manager_.MovePackets(&packets, &notify_).ok());
  EXPECT_TRUE(packets.front().IsEmpty());
  EXPECT_EQ(manager_.QueueSize(), 2);
}

TEST_F(InputStreamManagerTest, RefusalTexts) {
  struct Case {
    std::list<Packet> packets;
    StatusCode code;
    std::string message;
  };
  const std::string illegal =
      "In stream \"a_stream\", timestamp not specified or set to illegal value: ";
  std::vector<Case> cases;
  cases.push_back({{MakePacket<float>(1.f).At(Timestamp(1))},
                   StatusCode::kInvalidArgument,
                   "Packet type mismatch on a calculator receiving from stream \"a_stream\": "
                   "The Packet stores \"float\", but \"int\" was requested."});
  cases.push_back({{Packet().At(Timestamp(1))},
                   StatusCode::kInternal,
                   "Packet type mismatch on a calculator receiving from stream \"a_stream\": "
                   "Expected a Packet of type: int, but received an empty Packet."});
  cases.push_back({{MakePacket<int>(1)}, StatusCode::kInvalidArgument,
                   illegal + "Timestamp::Unset()"});
  cases.push_back({{MakePacket<int>(1).At(Timestamp::Unstarted())},
                   StatusCode::kInvalidArgument, illegal + "Timestamp::Unstarted()"});
  cases.push_back({{MakePacket<int>(1).At(Timestamp::OneOverPostStream())},
                   StatusCode::kInvalidArgument, illegal + "Timestamp::OneOverPostStream()"});
  cases.push_back({{MakePacket<int>(1).At(Timestamp::Done())},
                   StatusCode::kInvalidArgument, illegal + "Timestamp::Done()"});
  cases.push_back({{IntAt(1), MakePacket<int>(2).At(Timestamp::PostStream())},
                   StatusCode::kInvalidArgument,
                   "In stream \"a_stream\", a packet at Timestamp::PostStream() must be the "
                   "only Packet in an InputStream."});
  // PreStream and Max move the bound to OneOverPostStream.
  cases.push_back({{MakePacket<int>(1).At(Timestamp::PreStream()), IntAt(0)},
                   StatusCode::kInvalidArgument,
                   "Packet timestamp mismatch on a calculator receiving from stream "
                   "\"a_stream\". Current minimum expected timestamp is "
                   "Timestamp::OneOverPostStream() but received 0. Are you using a custom "
                   "InputStreamHandler? Note that some InputStreamHandlers allow timestamps "
                   "that are not strictly monotonically increasing. See for example the "
                   "ImmediateInputStreamHandler class comment."});
  cases.push_back({{MakePacket<int>(1).At(Timestamp::Max()),
                    MakePacket<int>(2).At(Timestamp::PostStream())},
                   StatusCode::kInvalidArgument,
                   "In stream \"a_stream\", a packet at Timestamp::PostStream() must be the "
                   "only Packet in an InputStream."});
  for (Case& c : cases) {
    manager_.PrepareForRun();
    absl::Status status = Add(c.packets);
    EXPECT_EQ(status.code(), c.code) << c.message;
    EXPECT_EQ(status.message(), c.message);
  }

  // A packet at PostStream is accepted as the first and only packet of a run.
  manager_.PrepareForRun();
  EXPECT_TRUE(Add({MakePacket<int>(1).At(Timestamp::PostStream())}).ok());

  absl::Status header = manager_.SetHeader(IntAt(0));
  EXPECT_EQ(header.code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(header.message(), "Headers must not have a timestamp.  Stream: \"a_stream\".");
  EXPECT_TRUE(manager_.Header().IsEmpty());
  ASSERT_TRUE(manager_.SetHeader(MakePacket<int>(7)).ok());
  EXPECT_EQ(manager_.Header().Get<int>(), 7);
}

TEST_F(InputStreamManagerTest, NextTimestampBound) {
  ASSERT_TRUE(manager_.SetNextTimestampBound(Timestamp(10), &notify_).ok());
  EXPECT_TRUE(notify_);  // raised on an empty queue
  ASSERT_TRUE(manager_.SetNextTimestampBound(Timestamp(10), &notify_).ok());
  EXPECT_FALSE(notify_);  // unchanged
  absl::Status status = manager_.SetNextTimestampBound(Timestamp(9), &notify_);
  EXPECT_EQ(status.code(), StatusCode::kUnknown);
  EXPECT_EQ(status.message(),
            "SetNextTimestampBound must be called with a timestamp greater than or equal to "
            "the current bound. In stream \"a_stream\". Current minimum expected timestamp is "
            "10 but received 9");
  ASSERT_TRUE(Add({IntAt(10)}).ok());
  EXPECT_TRUE(notify_);
  ASSERT_TRUE(manager_.SetNextTimestampBound(Timestamp(20), &notify_).ok());
  EXPECT_FALSE(notify_);  // the queue holds a packet
  EXPECT_EQ(manager_.MinTimestampOrBound(nullptr), Timestamp(10));

  manager_.Close();
  EXPECT_TRUE(manager_.SetNextTimestampBound(Timestamp(5), &notify_).ok());
  EXPECT_FALSE(notify_);
}

TEST_F(InputStreamManagerTest, PopPacketAtTimestamp) {
  int dropped = 0;
  bool done = true;
  ASSERT_TRUE(Add({IntAt(10), IntAt(20), IntAt(30)}).ok());

  Packet packet = manager_.PopPacketAtTimestamp(Timestamp(20), &dropped, &done);
  EXPECT_EQ(packet.Get<int>(), 20);
  EXPECT_EQ(dropped, 1);
  EXPECT_FALSE(done);
  EXPECT_EQ(manager_.QueueSize(), 1);

  packet = manager_.PopPacketAtTimestamp(Timestamp(25), &dropped, &done);
  EXPECT_TRUE(packet.IsEmpty());
  EXPECT_EQ(packet.Timestamp(), Timestamp(29));  // the last time known to hold nothing
  EXPECT_EQ(dropped, 0);

  packet = manager_.PopPacketAtTimestamp(Timestamp(30), &dropped, &done);
  EXPECT_EQ(packet.Get<int>(), 30);
  EXPECT_EQ(dropped, 0);

  // On an empty queue the pop raises the bound past the timestamp.
  bool is_empty = false;
  packet = manager_.PopPacketAtTimestamp(Timestamp(40), &dropped, &done);
  EXPECT_TRUE(packet.IsEmpty());
  EXPECT_EQ(packet.Timestamp(), Timestamp(40));
  EXPECT_EQ(dropped, 0);
  EXPECT_EQ(manager_.MinTimestampOrBound(&is_empty), Timestamp(41));
  EXPECT_TRUE(is_empty);
  EXPECT_EQ(Add({IntAt(40)}).code(), StatusCode::kInvalidArgument);

  EXPECT_DEATH(manager_.PopPacketAtTimestamp(Timestamp(39), &dropped, &done),
               "Check failed: last_select_timestamp_ <= timestamp");
  bool stream_done = false;
  EXPECT_DEATH(manager_.PopQueueHead(&stream_done), "Check failed: !enable_timestamps_");
}

TEST_F(InputStreamManagerTest, PopAtExactlyTheBoundRaisesItPastTheTimestamp) {
  int dropped = 0;
  bool done = true;
  ASSERT_TRUE(manager_.SetNextTimestampBound(Timestamp(20), &notify_).ok());
  Packet packet = manager_.PopPacketAtTimestamp(Timestamp(20), &dropped, &done);
  EXPECT_TRUE(packet.IsEmpty());
  EXPECT_EQ(packet.Timestamp(), Timestamp(20));
  bool is_empty = false;
  EXPECT_EQ(manager_.MinTimestampOrBound(&is_empty), Timestamp(21));
  EXPECT_TRUE(is_empty);
  EXPECT_EQ(Add({IntAt(20)}).code(), StatusCode::kInvalidArgument);
  EXPECT_TRUE(Add({IntAt(21)}).ok());
}

TEST_F(InputStreamManagerTest, CloseKeepsPacketsForAPopAtDone) {
  ASSERT_TRUE(Add({IntAt(10), IntAt(20)}).ok());
  manager_.Close();
  manager_.Close();
  EXPECT_TRUE(Add({IntAt(30)}).ok());  // ignored
  EXPECT_EQ(manager_.QueueSize(), 2);
  EXPECT_FALSE(manager_.IsDone());

  int dropped = 0;
  bool done = false;
  EXPECT_DEATH(manager_.PopPacketAtTimestamp(Timestamp(30), &dropped, &done),
               "last_select_timestamp_ <= timestamp");
  Packet packet = manager_.PopPacketAtTimestamp(Timestamp::Done(), &dropped, &done);
  EXPECT_TRUE(packet.IsEmpty());
  EXPECT_EQ(packet.Timestamp(), Timestamp::Max());
  EXPECT_EQ(dropped, 2);
  EXPECT_TRUE(done);
  EXPECT_TRUE(manager_.IsDone());

  // The next run starts open and empty again.
  manager_.PrepareForRun();
  EXPECT_FALSE(manager_.IsDone());
  EXPECT_TRUE(Add({MakePacket<int>(1).At(Timestamp::PreStream())}).ok());
}

TEST_F(InputStreamManagerTest, QueueSizeCallbacks) {
  manager_.SetMaxQueueSize(2);
  EXPECT_EQ(full_calls_, 0);
  ASSERT_TRUE(Add({IntAt(1), IntAt(2)}).ok());
  EXPECT_EQ(full_calls_, 1);
  EXPECT_EQ(size_at_callback_, 2);
  EXPECT_TRUE(manager_.IsFull());
  ASSERT_TRUE(Add({IntAt(3)}).ok());  // already full: no second call
  EXPECT_EQ(full_calls_, 1);

  int dropped = 0;
  bool done = false;
  manager_.PopPacketAtTimestamp(Timestamp(1), &dropped, &done);  // 3 -> 2: still full
  EXPECT_EQ(not_full_calls_, 0);
  manager_.PopPacketAtTimestamp(Timestamp(2), &dropped, &done);  // 2 -> 1
  EXPECT_EQ(not_full_calls_, 1);
  EXPECT_EQ(size_at_callback_, 1);

  manager_.SetMaxQueueSize(1);
  EXPECT_EQ(full_calls_, 2);
  EXPECT_TRUE(reported_flag_at_callback_);  // kept from the first call
  manager_.SetMaxQueueSize(-1);
  EXPECT_EQ(not_full_calls_, 2);
  EXPECT_FALSE(manager_.IsFull());

  // A new run clears the flag the callbacks keep.
  manager_.SetMaxQueueSize(1);
  EXPECT_EQ(full_calls_, 3);
  manager_.PrepareForRun();
  ASSERT_TRUE(Add({IntAt(1)}).ok());
  EXPECT_EQ(full_calls_, 4);
  EXPECT_FALSE(reported_flag_at_callback_);
}

TEST_F(InputStreamManagerTest, WithoutTimestampsAndHelpers) {
  ASSERT_TRUE(Add({IntAt(10), IntAt(20), IntAt(30)}).ok());
  EXPECT_EQ(manager_.GetMinTimestampAmongNLatest(2), Timestamp(20));
  EXPECT_EQ(manager_.GetMinTimestampAmongNLatest(5), Timestamp(10));
  manager_.ErasePacketsEarlierThan(Timestamp(20));
  EXPECT_EQ(manager_.QueueHead().Timestamp(), Timestamp(20));

  manager_.PrepareForRun();
  EXPECT_EQ(manager_.GetMinTimestampAmongNLatest(1), Timestamp::Unset());
  manager_.DisableTimestamps();
  ASSERT_TRUE(Add({IntAt(30), IntAt(10)}).ok());
  EXPECT_TRUE(manager_.SetNextTimestampBound(Timestamp(0), &notify_).ok());
  bool done = true;
  EXPECT_EQ(manager_.PopQueueHead(&done).Get<int>(), 30);
  EXPECT_FALSE(done);
  EXPECT_EQ(manager_.PopQueueHead(&done).Get<int>(), 10);
  EXPECT_TRUE(manager_.PopQueueHead(&done).IsEmpty());
  int dropped = 0;
  EXPECT_DEATH(manager_.PopPacketAtTimestamp(Timestamp(1), &dropped, &done),
               "Check failed: enable_timestamps_");
}

// Adds on one thread and pops on another, with callbacks that call back into the stream,
// as the graph does while throttling.
TEST(InputStreamManagerThreadsTest, ConcurrentAddAndPop) {
  PacketType type;
  type.Set<int>();
  InputStreamManager manager;
  ASSERT_TRUE(manager.Initialize("a_stream", &type, false).ok());
  std::atomic<int> full_calls{0};
  std::atomic<int> not_full_calls{0};
  manager.SetQueueSizeCallbacks(
      [&](InputStreamManager* m, bool*) {
        full_calls += 1;
        m->QueueSize();
      },
      [&](InputStreamManager* m, bool*) {
        not_full_calls += 1;
        m->IsFull();
      });
  manager.SetMaxQueueSize(3);

  constexpr int kPackets = 2000;
  std::thread producer([&] {
    bool notify = false;
    for (int i = 0; i < kPackets; ++i) {
      ASSERT_TRUE(manager.AddPackets({IntAt(i)}, &notify).ok());
    }
  });
  int received = 0;
  while (received < kPackets) {
    bool is_empty = false;
    Timestamp head = manager.MinTimestampOrBound(&is_empty);
    if (is_empty) {
      std::this_thread::yield();
      continue;
    }
    int dropped = 0;
    bool done = false;
    Packet packet = manager.PopPacketAtTimestamp(head, &dropped, &done);
    EXPECT_EQ(dropped, 0);
    EXPECT_EQ(packet.Get<int>(), received);
    ++received;
  }
  producer.join();
  manager.Close();
  EXPECT_TRUE(manager.IsDone());
  EXPECT_EQ(received, kPackets);
  EXPECT_GE(full_calls.load(), not_full_calls.load());
}

}  // namespace
}  // namespace kaldren
