// Output side packets and the input side packet handlers they feed.

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "graph/input_side_packet_handler.h"
#include "graph/output_side_packet_impl.h"
#include "graph/packet_set.h"
#include "graph_config/tag_map.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

std::unique_ptr<PacketTypeSet> IntTypes(const std::vector<std::string>& entries) {
  google::protobuf::RepeatedPtrField<std::string> list(entries.begin(), entries.end());
  auto types = std::make_unique<PacketTypeSet>(tool::TagMap::Create(list).value());
  for (PacketType& type : *types) type.Set<int>();
  return types;
}

// A consumer node's handler with its callbacks counted and its errors kept.
struct Consumer {
  explicit Consumer(const std::vector<std::string>& entries) : types(IntTypes(entries)) {}

  absl::Status Prepare(const std::map<std::string, Packet>& known) {
    return handler.PrepareForRun(
        types.get(), known, [this] { ++ready_calls; },
        [this](const absl::Status& status) { errors.push_back(status); });
  }

  std::unique_ptr<PacketTypeSet> types;
  InputSidePacketHandler handler;
  std::atomic<int> ready_calls{0};
  std::vector<absl::Status> errors;
};

// One producer side packet "model" of type int, feeding entry 0 of a consumer.
class OutputSidePacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int_type_.Set<int>();
    ASSERT_TRUE(side_packet_.Initialize("model", &int_type_).ok());
    side_packet_.AddMirror(&consumer_.handler, CollectionItemId(0));
    side_packet_.PrepareForRun([this](const absl::Status& status) { errors_.push_back(status); });
    ASSERT_TRUE(consumer_.Prepare({}).ok());
  }

  PacketType int_type_;
  OutputSidePacketImpl side_packet_;
  Consumer consumer_{{"model"}};
  std::vector<absl::Status> errors_;
};

TEST_F(OutputSidePacketTest, SecondSetIsRefusedAndConsumersKeepTheFirst) {
  side_packet_.Set(MakePacket<int>(1));
  side_packet_.Set(MakePacket<int>(2));
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0].code(), absl::StatusCode::kAlreadyExists);
  EXPECT_EQ(errors_[0].message(), "Output side packet \"model\" was already set.");
  EXPECT_EQ(side_packet_.GetPacket().Get<int>(), 1);
  EXPECT_EQ(consumer_.handler.InputSidePackets().Index(0).Get<int>(), 1);
  EXPECT_EQ(consumer_.ready_calls, 1);
  EXPECT_TRUE(consumer_.errors.empty());

  // A new run accepts a new value; the old one stays readable until then.
  side_packet_.PrepareForRun([this](const absl::Status& status) { errors_.push_back(status); });
  EXPECT_EQ(side_packet_.GetPacket().Get<int>(), 1);
  ASSERT_TRUE(consumer_.Prepare({}).ok());
  side_packet_.Set(MakePacket<int>(3));
  EXPECT_EQ(errors_.size(), 1u);
  EXPECT_EQ(consumer_.handler.InputSidePackets().Index(0).Get<int>(), 3);
}

TEST_F(OutputSidePacketTest, BadValuesAreRefusedAndReachNoConsumer) {
  struct Case {
    Packet packet;
    absl::StatusCode code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {Packet(), absl::StatusCode::kInvalidArgument,
       "Empty packet set on output side packet \"model\"."},
      {MakePacket<int>(1).At(Timestamp(0)), absl::StatusCode::kInvalidArgument,
       "Output side packet \"model\" has a timestamp 0."},
      {MakePacket<float>(1.0f), absl::StatusCode::kInvalidArgument,
       "Packet type mismatch on calculator output side packet \"model\": " +
           std::string(int_type_.Validate(MakePacket<float>(1.0f)).message())},
  };
  for (const Case& c : cases) side_packet_.Set(c.packet);
  ASSERT_EQ(errors_.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(errors_[i].code(), cases[i].code) << i;
    EXPECT_EQ(errors_[i].message(), cases[i].message) << i;
  }
  EXPECT_TRUE(side_packet_.GetPacket().IsEmpty());
  EXPECT_TRUE(consumer_.handler.InputSidePackets().Index(0).IsEmpty());
  EXPECT_EQ(consumer_.ready_calls, 0);
}

TEST(InputSidePacketHandlerTest, ReadyOnlyWhenTheLastMissingPacketArrives) {
  Consumer complete({"a", "b", "c"});
  ASSERT_TRUE(complete
                  .Prepare({{"a", MakePacket<int>(1)},
                            {"b", MakePacket<int>(2)},
                            {"c", MakePacket<int>(3)}})
                  .ok());
  EXPECT_EQ(complete.handler.MissingInputSidePacketCount(), 0);
  EXPECT_EQ(complete.ready_calls, 0);

  Consumer waiting({"a", "b", "c"});
  ASSERT_TRUE(waiting.Prepare({{"a", MakePacket<int>(1)}}).ok());
  EXPECT_EQ(waiting.handler.MissingInputSidePacketCount(), 2);
  waiting.handler.Set(CollectionItemId(1), MakePacket<int>(2));
  EXPECT_EQ(waiting.ready_calls, 0);
  waiting.handler.Set(CollectionItemId(1), MakePacket<int>(2));
  waiting.handler.Set(CollectionItemId(2), MakePacket<float>(3.0f));
  waiting.handler.Set(CollectionItemId(2), MakePacket<int>(3));
  EXPECT_EQ(waiting.ready_calls, 1);
  waiting.handler.Set(CollectionItemId(2), MakePacket<int>(4));
  EXPECT_EQ(waiting.ready_calls, 1);

  ASSERT_EQ(waiting.errors.size(), 3u);
  EXPECT_EQ(waiting.errors[0].code(), absl::StatusCode::kAlreadyExists);
  EXPECT_EQ(waiting.errors[0].message(), "Input side packet with id 1 was already set.");
  EXPECT_EQ(waiting.errors[1].code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(waiting.errors[1].message().rfind(
                "Packet type mismatch on calculator input side packet with id 2: ", 0),
            0u)
      << waiting.errors[1].message();
  EXPECT_EQ(waiting.errors[2].code(), absl::StatusCode::kInternal);
  EXPECT_NE(waiting.errors[2].message().find("(missing_input_side_packet_count_)>(0)"),
            std::string::npos)
      << waiting.errors[2].message();
  EXPECT_EQ(waiting.handler.InputSidePackets().Index(2).Get<int>(), 3);
}

TEST(InputSidePacketHandlerTest, ConcurrentSettersFireReadyExactlyOnce) {
  constexpr int kPackets = 8;
  std::vector<std::string> names;
  for (int i = 0; i < kPackets; ++i) names.push_back("p" + std::to_string(i));
  Consumer consumer(names);
  for (int round = 0; round < 50; ++round) {
    consumer.ready_calls = 0;
    ASSERT_TRUE(consumer.Prepare({}).ok());
    std::atomic<bool> go{false};
    std::vector<std::thread> setters;
    for (int i = 0; i < kPackets; ++i) {
      setters.emplace_back([&, i] {
        while (!go.load()) std::this_thread::yield();
        consumer.handler.Set(CollectionItemId(i), MakePacket<int>(i));
      });
    }
    go = true;
    for (std::thread& setter : setters) setter.join();
    ASSERT_EQ(consumer.ready_calls, 1) << "round " << round;
    EXPECT_EQ(consumer.handler.MissingInputSidePacketCount(), 0);
  }
  EXPECT_TRUE(consumer.errors.empty());
}

TEST(InputSidePacketHandlerTest, ChangedUnlessTheSamePacketsAreReused) {
  Consumer consumer({"a", "b"});
  const std::map<std::string, Packet> known = {{"a", MakePacket<int>(1)},
                                               {"b", MakePacket<int>(2)}};
  ASSERT_TRUE(consumer.Prepare(known).ok());
  EXPECT_TRUE(consumer.handler.InputSidePacketsChanged());
  ASSERT_TRUE(consumer.Prepare(known).ok());
  EXPECT_FALSE(consumer.handler.InputSidePacketsChanged());
  ASSERT_TRUE(consumer.Prepare({{"a", MakePacket<int>(1)}, {"b", known.at("b")}}).ok());
  EXPECT_TRUE(consumer.handler.InputSidePacketsChanged());

  // A failed preparation leaves no current set, which counts as changed.
  EXPECT_FALSE(consumer.Prepare({{"a", MakePacket<float>(1.0f)}}).ok());
  EXPECT_TRUE(consumer.handler.InputSidePacketsChanged());
  EXPECT_DEATH(consumer.handler.InputSidePackets(), "Check failed: input_side_packets_");
}

}  // namespace
}  // namespace kaldren
