#include "graph/packet.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "graph_config/pellumo_options.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

struct Payload {
  explicit Payload(int* deletions) : deletions(deletions) {}
  ~Payload() { ++*deletions; }
  int* deletions;
};

TEST(PacketTest, EmptyPacket) {
  Packet p;
  EXPECT_TRUE(p.IsEmpty());
  EXPECT_EQ(p.Timestamp(), Timestamp::Unset());
  EXPECT_EQ(p.DebugTypeName(), "{empty}");
  EXPECT_EQ(p.RegisteredTypeName(), "");
  EXPECT_EQ(p.DebugString(), "pellumo::Packet with timestamp: Timestamp::Unset() and no data");
  absl::Status status = p.ValidateAsType<int>();
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_EQ(status.message(), "Expected a Packet of type: int, but received an empty Packet.");
  EXPECT_EQ(packet_internal::GetHolder(p), nullptr);
}

TEST(PacketTest, TypedGetAndDebugString) {
  Packet p = Adopt(new int(3)).At(Timestamp(5));
  EXPECT_EQ(p.Get<int>(), 3);
  EXPECT_EQ(p.Timestamp(), Timestamp(5));
  EXPECT_TRUE(p.ValidateAsType<int>().ok());
  EXPECT_EQ(p.DebugString(), "pellumo::Packet with timestamp: 5 and type: int");

  Packet s = MakePacket<std::string>(3, 'x');
  EXPECT_EQ(s.Get<std::string>(), "xxx");
  EXPECT_EQ(s.Timestamp(), Timestamp::Unset());
}

TEST(PacketTest, CopiesShareThePayloadAndMovesEmptyTheSource) {
  int deletions = 0;
  {
    Packet a = Adopt(new Payload(&deletions)).At(Timestamp(1));
    Packet b = a.At(Timestamp(2));
    EXPECT_EQ(packet_internal::GetHolder(a), packet_internal::GetHolder(b));
    EXPECT_EQ(a.Timestamp(), Timestamp(1));
    EXPECT_EQ(b.Timestamp(), Timestamp(2));

    const packet_internal::HolderBase* holder = packet_internal::GetHolder(a);
    Packet c = std::move(a).At(Timestamp(3));
    EXPECT_TRUE(a.IsEmpty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(packet_internal::GetHolder(c), holder);

    Packet d(std::move(c));
    EXPECT_TRUE(c.IsEmpty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(c.Timestamp(), Timestamp::Unset());
    EXPECT_EQ(d.Timestamp(), Timestamp(3));

    Packet e;
    e = std::move(d);
    EXPECT_TRUE(d.IsEmpty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(d.Timestamp(), Timestamp::Unset());
    e = b;
    EXPECT_EQ(e.Timestamp(), Timestamp(2));
    // Moving a packet onto itself keeps it whole.
    Packet& same = e;
    e = std::move(same);
    EXPECT_EQ(packet_internal::GetHolder(e), holder);
    EXPECT_EQ(e.Timestamp(), Timestamp(2));
    EXPECT_EQ(deletions, 0);
  }
  EXPECT_EQ(deletions, 1);
}

TEST(PacketTest, WrongTypeIsAnError) {
  Packet p = MakePacket<int>(7);
  absl::Status status = p.ValidateAsType<float>();
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(), "The Packet stores \"int\", but \"float\" was requested.");
  // A holder of another type is not accepted even when the layouts agree.
  EXPECT_EQ(packet_internal::GetHolder(p)->As<unsigned>(), nullptr);
  EXPECT_NE(packet_internal::GetHolder(p)->As<int>(), nullptr);
}

TEST(PacketTest, ConsumeTakesThePayloadFromTheSoleOwner) {
  int deletions = 0;
  Packet p = Adopt(new Payload(&deletions)).At(Timestamp(4));
  const Payload* stored = &p.Get<Payload>();
  {
    Packet sharer = p;
    util::StatusOr<std::unique_ptr<Payload>> shared = p.Consume<Payload>();
    EXPECT_EQ(shared.status().code(), absl::StatusCode::kFailedPrecondition);
    EXPECT_EQ(shared.status().message(), "Packet isn't the sole owner of the holder.");
    EXPECT_EQ(&sharer.Get<Payload>(), stored) << "a refused consume leaves the payload shared";
  }
  EXPECT_EQ(p.Consume<int>().status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_FALSE(p.IsEmpty());

  util::StatusOr<std::unique_ptr<Payload>> taken = p.Consume<Payload>();
  ASSERT_TRUE(taken.ok()) << taken.status();
  EXPECT_EQ(taken->get(), stored);
  EXPECT_TRUE(p.IsEmpty());
  EXPECT_EQ(p.Consume<Payload>().status().code(), absl::StatusCode::kInternal);
  EXPECT_EQ(deletions, 0) << "the packet gave the payload up instead of deleting it";
  taken->reset();
  EXPECT_EQ(deletions, 1);
}

TEST(PacketTest, ProtoMessageView) {
  absl::Status empty = Packet().ValidateAsProtoMessageLite();
  EXPECT_EQ(empty.code(), absl::StatusCode::kInternal);
  EXPECT_EQ(empty.message(), "Packet is empty.");
  Packet message = MakePacket<pellumo::PellumoOptions>();
  EXPECT_TRUE(message.ValidateAsProtoMessageLite().ok());
  EXPECT_EQ(&message.GetProtoMessageLite(), &message.Get<pellumo::PellumoOptions>());
  absl::Status not_proto = MakePacket<int>(1).ValidateAsProtoMessageLite();
  EXPECT_EQ(not_proto.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(not_proto.message(),
            "The Packet stores \"int\"which is not convertible to proto_ns::MessageLite.");
}

TEST(PacketTest, FrameworkTypesAreRegistered) {
  struct Case {
    Packet packet;
    const char* name;
  };
  const Case cases[] = {
      {MakePacket<Timestamp>(Timestamp(1)), "::pellumo::Timestamp"},
      {MakePacket<Packet>(), "::pellumo::Packet"},
      {MakePacket<std::vector<Packet>>(), "::std::vector<::pellumo::Packet>"},
      {MakePacket<std::pair<Packet, Packet>>(), "::std::pair<::pellumo::Packet,::pellumo::Packet>"},
      {MakePacket<std::map<std::string, Packet>>(), "::std::map<string,::pellumo::Packet>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.packet.RegisteredTypeName(), c.name);
    EXPECT_EQ(c.packet.DebugTypeName(), c.name);
  }
  // Any other type is known by its demangled name only.
  Packet other = MakePacket<std::vector<int>>();
  EXPECT_EQ(other.RegisteredTypeName(), "");
  EXPECT_EQ(other.DebugTypeName(), "std::vector<int, std::allocator<int> >");
  EXPECT_EQ(PellumoTypeStringOrDemangled<Timestamp>(), "::pellumo::Timestamp");
}

TEST(PacketTest, TypeIdsHashTheMangledName) {
  // 5381 * 33 ^ 'i'
  EXPECT_EQ(tool::TypeNameHash("i"), (5381u * 33u) ^ 'i');
  EXPECT_EQ(tool::GetTypeHash<int>(), tool::TypeNameHash("i"));
  EXPECT_EQ(packet_internal::GetHolder(MakePacket<int>(1))->GetTypeId(), tool::GetTypeHash<int>());
}

using PacketDeathTest = ::testing::Test;

TEST_F(PacketDeathTest, FatalMisuse) {
  EXPECT_DEATH(MakePacket<int>(1).Get<float>(),
               "Packet::Get\\(\\) failed: The Packet stores \"int\", but \"float\" was requested.");
  EXPECT_DEATH(Packet().Get<int>(), "Packet::Get\\(\\) failed: Expected a Packet of type: int, but "
                                    "received an empty Packet.");
  EXPECT_DEATH(Adopt<int>(nullptr), "Check failed: ptr != nullptr");
  EXPECT_DEATH(Packet().GetProtoMessageLite(),
               "Check failed: holder_ != nullptr The packet is empty.");
  EXPECT_DEATH(MakePacket<int>(1).GetProtoMessageLite(),
               "Check failed: proto != nullptr The Packet stores 'int', it cannot be converted to "
               "MessageLite type.");
}

}  // namespace
}  // namespace kaldren
