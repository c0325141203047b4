#include "graph/fill_packet_set.h"

#include <map>
#include <string>
#include <vector>

#include "base/logging.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::absl::StatusCode;

// Side-packet types over "in", "OPT:0:opt_a", "OPT:1:opt_b", all int.
class FillPacketSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> entries = {"in", "OPT:0:opt_a", "OPT:1:opt_b"};
    auto tag_map = tool::TagMap::Create({entries.begin(), entries.end()});
    ASSERT_TRUE(tag_map.ok()) << tag_map.status();
    types_ = std::make_unique<PacketTypeSet>(tag_map.value());
    for (PacketType& type : *types_) type.Set<int>();
  }

  std::unique_ptr<PacketTypeSet> types_;
};

TEST_F(FillPacketSetTest, MissingPacketsAreCountedOrReported) {
  const std::map<std::string, Packet> side_packets = {{"in", MakePacket<int>(3)},
                                                      {"unused", MakePacket<int>(4)}};
  int missing = -1;
  auto packets = tool::FillPacketSet(*types_, side_packets, &missing);
  ASSERT_TRUE(packets.ok()) << packets.status();
  EXPECT_EQ(missing, 2);
  EXPECT_EQ(packets.value()->Index(0).Get<int>(), 3);
  EXPECT_TRUE(packets.value()->Get("OPT", 0).IsEmpty());
  EXPECT_TRUE(packets.value()->Get("OPT", 1).IsEmpty());

  auto failed = tool::FillPacketSet(*types_, side_packets, nullptr);
  EXPECT_EQ(failed.status().code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(failed.status().message(),
            "FillPacketSet failed:\nMissing input side packet: opt_a\n"
            "Missing input side packet: opt_b");
}

TEST_F(FillPacketSetTest, PacketsAreValidatedAgainstTheirTypes) {
  std::map<std::string, Packet> side_packets = {{"in", MakePacket<int>(3)},
                                                {"opt_a", MakePacket<float>(1.f)},
                                                {"opt_b", MakePacket<int>(5)}};
  int missing = -1;
  auto failed = tool::FillPacketSet(*types_, side_packets, &missing);
  EXPECT_EQ(failed.status().code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(failed.status().message(),
            "FillPacketSet failed:\nPacket \"opt_a\" with tag \"OPT\" and index 0 failed "
            "validation.  The Packet stores \"float\", but \"int\" was requested.");

  // Failures of different codes combine to UNKNOWN.
  side_packets["in"] = Packet();
  failed = tool::FillPacketSet(*types_, side_packets, &missing);
  EXPECT_EQ(failed.status().code(), StatusCode::kUnknown);
  EXPECT_EQ(failed.status().message(),
            "FillPacketSet failed:\nPacket \"in\" with tag \"\" and index 0 failed validation.  "
            "Expected a Packet of type: int, but received an empty Packet.\n"
            "Packet \"opt_a\" with tag \"OPT\" and index 0 failed validation.  The Packet "
            "stores \"float\", but \"int\" was requested.");
}

TEST(FillPacketSetEmptyTest, EmptyTypeSetGivesEmptyPacketSet) {
  auto tag_map = tool::TagMap::Create(google::protobuf::RepeatedPtrField<std::string>());
  ASSERT_TRUE(tag_map.ok());
  PacketTypeSet types(tag_map.value());
  int missing = -1;
  auto packets = tool::FillPacketSet(types, {{"x", MakePacket<int>(1)}}, &missing);
  ASSERT_TRUE(packets.ok());
  EXPECT_EQ(packets.value()->NumEntries(), 0);
  EXPECT_EQ(missing, 0);
}

}  // namespace
}  // namespace kaldren
