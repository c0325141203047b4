#include "graph/input_stream_shard.h"

#include <string>

#include "gtest/gtest.h"

namespace kaldren {
namespace {

TEST(InputStreamShardTest, FrontPacketDoneFlagAndClearing) {
  InputStreamShard shard;
  EXPECT_TRUE(shard.Value().IsEmpty());
  EXPECT_EQ(shard.Name(), "");
  const std::string name = "in";
  shard.SetName(&name);
  shard.SetHeader(MakePacket<int>(9));
  EXPECT_EQ(shard.Name(), "in");
  EXPECT_EQ(shard.Header().Get<int>(), 9);

  // A batch of two timestamps: the front packet is the current one.
  shard.AddPacket(MakePacket<int>(1).At(Timestamp(1)), false);
  shard.AddPacket(MakePacket<int>(2).At(Timestamp(2)), false);
  EXPECT_EQ(shard.Value().Get<int>(), 1);
  shard.ClearCurrentPacket();
  EXPECT_EQ(shard.Value().Get<int>(), 2);
  shard.ClearCurrentPacket();
  shard.ClearCurrentPacket();  // nothing left: no effect
  EXPECT_TRUE(shard.Value().IsEmpty());

  // Once done, only empty packets may follow.
  shard.AddPacket(Packet().At(Timestamp(5)), true);
  EXPECT_TRUE(shard.IsDone());
  shard.AddPacket(Packet(), true);
  EXPECT_DEATH(shard.AddPacket(MakePacket<int>(3).At(Timestamp(6)), true),
               "Check failed: !is_done_ \\|\\| value.IsEmpty\\(\\)");
}

}  // namespace
}  // namespace kaldren
