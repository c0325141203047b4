#include "graph/packet_type.h"

#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::absl::StatusCode;

void ExpectError(const absl::Status& status, StatusCode code, const std::string& message) {
  EXPECT_EQ(status.code(), code) << status.message();
  EXPECT_EQ(std::string(status.message()), message);
}

TEST(PacketTypeTest, KindsAndValidation) {
  const Packet empty;
  const Packet int_packet = MakePacket<int>(1);

  PacketType undefined;
  EXPECT_FALSE(undefined.IsInitialized());
  EXPECT_TRUE(undefined.IsNone());
  EXPECT_FALSE(undefined.IsAny());
  EXPECT_EQ(undefined.DebugTypeName(), "[Undefined Type]");
  ExpectError(undefined.Validate(int_packet), StatusCode::kInvalidArgument,
              "Uninitialized PacketType was used for validation.");

  PacketType any;
  any.SetAny();
  EXPECT_TRUE(any.IsAny());
  EXPECT_TRUE(any.Validate(int_packet).ok());
  ExpectError(any.Validate(empty), StatusCode::kInvalidArgument,
              "Empty packets are not allowed for type: [Any Type]");

  PacketType none;
  none.SetNone();
  EXPECT_TRUE(none.IsNone());
  EXPECT_TRUE(none.IsInitialized());
  ExpectError(none.Validate(int_packet), StatusCode::kInvalidArgument,
              "No packets are allowed for type: [No Type]");

  PacketType concrete;
  concrete.Set<int>();
  EXPECT_EQ(concrete.DebugTypeName(), "int");
  EXPECT_EQ(concrete.RegisteredTypeName(), nullptr);
  EXPECT_TRUE(concrete.Validate(int_packet).ok());
  ExpectError(concrete.Validate(MakePacket<float>(1.f)), StatusCode::kInvalidArgument,
              "The Packet stores \"float\", but \"int\" was requested.");
  ExpectError(concrete.Validate(empty), StatusCode::kInternal,
              "Expected a Packet of type: int, but received an empty Packet.");

  // The optional flag only marks the entry; validation ignores it.
  concrete.Optional();
  EXPECT_TRUE(concrete.IsOptional());
  EXPECT_EQ(concrete.Validate(empty).code(), StatusCode::kInternal);
  concrete.SetAny();
  EXPECT_TRUE(concrete.IsOptional());

  PacketType registered;
  registered.Set<Timestamp>();
  ASSERT_NE(registered.RegisteredTypeName(), nullptr);
  EXPECT_EQ(*registered.RegisteredTypeName(), "::pellumo::Timestamp");
  EXPECT_EQ(registered.DebugTypeName(), "::pellumo::Timestamp");
}

TEST(PacketTypeTest, SameAsFollowsTheRoot) {
  PacketType a, b, c, f;
  a.Set<int>();
  f.Set<float>();
  b.SetSameAs(&a);
  c.SetSameAs(&b);
  EXPECT_EQ(b.GetSameAs(), &a);
  EXPECT_EQ(c.GetSameAs(), &a);
  EXPECT_FALSE(b.IsAny());
  EXPECT_EQ(b.DebugTypeName(), "[Same Type As int]");
  EXPECT_EQ(c.DebugTypeName(), "[Same Type As int]");
  ExpectError(b.Validate(MakePacket<float>(1.f)), StatusCode::kInvalidArgument,
              "The Packet stores \"float\", but \"int\" was requested.");
  EXPECT_FALSE(b.IsConsistentWith(f));
  EXPECT_TRUE(c.IsConsistentWith(a));

  // A same-as link to an uninitialised root validates as uninitialised.
  PacketType root, follower;
  follower.SetSameAs(&root);
  EXPECT_EQ(follower.Validate(MakePacket<int>(1)).message(),
            "Uninitialized PacketType was used for validation.");

  // A chain that leads back to the type itself leaves no link: an any type, no name.
  PacketType self;
  PacketType other;
  other.SetSameAs(&self);
  self.SetSameAs(&other);
  EXPECT_EQ(self.GetSameAs(), &self);
  EXPECT_TRUE(self.IsAny());
  EXPECT_EQ(self.DebugTypeName(), "");
}

// Accepts is the quick answer streams ask for every packet; it must agree with Validate for
// every kind of type, through same-as links, and after a type was set again.
TEST(PacketTypeTest, AcceptsExactlyWhatValidatePasses) {
  PacketType undefined, any, none, i, f, same_as_i, same_as_undefined, retyped;
  any.SetAny();
  none.SetNone();
  i.Set<int>();
  f.Set<float>();
  same_as_i.SetSameAs(&i);
  same_as_undefined.SetSameAs(&undefined);
  retyped.Set<int>().SetAny().Set<float>();
  const Packet packets[] = {
      Packet(),
      MakePacket<int>(1),
      MakePacket<float>(1.f),
      packet_internal::Create(new packet_internal::ForeignHolder<int>(new int(2))),
  };
  for (const PacketType* type :
       {&undefined, &any, &none, &i, &f, &same_as_i, &same_as_undefined, &retyped}) {
    for (const Packet& packet : packets) {
      EXPECT_EQ(type->Accepts(packet), type->Validate(packet).ok())
          << type->DebugTypeName() << " with " << packet.DebugTypeName();
    }
  }
  EXPECT_TRUE(same_as_i.Accepts(packets[3]));
  EXPECT_FALSE(retyped.Accepts(packets[1]));
}

TEST(PacketTypeTest, Consistency) {
  PacketType undefined, any, none, i1, i2, f;
  any.SetAny();
  none.SetNone();
  i1.Set<int>();
  i2.Set<int>();
  f.Set<float>();
  struct Case {
    const PacketType* a;
    const PacketType* b;
    bool consistent;
  };
  const Case cases[] = {
      {&i1, &i2, true},      {&i1, &f, false},       {&i1, &any, true},
      {&any, &f, true},      {&none, &none, true},   {&none, &any, true},
      {&none, &i1, false},   {&undefined, &any, true}, {&undefined, &none, true},
      {&undefined, &i1, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a->IsConsistentWith(*c.b), c.consistent)
        << c.a->DebugTypeName() << " vs " << c.b->DebugTypeName();
    EXPECT_EQ(c.b->IsConsistentWith(*c.a), c.consistent)
        << c.b->DebugTypeName() << " vs " << c.a->DebugTypeName();
  }
}

TEST(PacketTypeSetErrorHandlerTest, RecordsMissesAndReportsTheRequiredOnes) {
  PacketTypeSetErrorHandler handler;
  EXPECT_FALSE(handler.HasError());
  PacketType& video = handler.GetFallback("VIDEO", 1);
  EXPECT_EQ(&handler.GetFallback("VIDEO", 1), &video);
  video.Set<int>();
  handler.GetFallback("AUDIO", 0).Optional();
  handler.GetFallback("", 2);
  EXPECT_TRUE(handler.HasError());
  EXPECT_EQ(handler.ErrorMessages(),
            (std::vector<std::string>{"Failed to get tag \"\" index 2",
                                      "Failed to get tag \"VIDEO\" index 1"}));
  EXPECT_DEATH(handler.GetFallback("X", 0), "Check failed: !missing_->initialized_errors");
}

TEST(PacketTypeSetErrorHandlerTest, OnlyOptionalMissesGiveNoTexts) {
  PacketTypeSetErrorHandler handler;
  handler.GetFallback("AUDIO", 0).Optional();
  EXPECT_TRUE(handler.HasError());
  EXPECT_TRUE(handler.ErrorMessages().empty());
  PacketTypeSetErrorHandler clean;
  EXPECT_DEATH(clean.ErrorMessages(),
               "Check failed: missing_ ErrorMessages\\(\\) can only be called if errors have "
               "occurred.  Call HasError\\(\\) before calling this function.");
}

std::shared_ptr<tool::TagMap> MakeTagMap(const std::vector<std::string>& entries) {
  google::protobuf::RepeatedPtrField<std::string> field(entries.begin(), entries.end());
  auto tag_map = tool::TagMap::Create(field);
  CHECK(tag_map.ok());
  return std::move(tag_map).value();
}

TEST(ValidatePacketTypeSetTest, ReportsMissingAndUntypedEntries) {
  PacketTypeSet types(MakeTagMap({"VIDEO:frames", "AUDIO:mic", "extra"}));
  types.Tag("VIDEO").Set<int>();
  types.Tag("AUDIO").SetAny();
  types.Index(0).SetNone();
  EXPECT_TRUE(ValidatePacketTypeSet(types).ok());

  // A contract asking for an absent entry and leaving one untyped.
  PacketTypeSet bad(MakeTagMap({"VIDEO:frames", "extra"}));
  bad.Tag("VIDEO").Set<int>();
  bad.Tag("X").Set<int>();
  bad.Tag("OPTIONAL").Optional();
  absl::Status status = ValidatePacketTypeSet(bad);
  ExpectError(status, StatusCode::kInvalidArgument,
              "ValidatePacketTypeSet failed:\n"
              "Failed to get tag \"X\" index 0\n"
              "Tag \"\" index 0 was not expected.");
}

TEST(ValidatePacketSetTest, ValidatesEveryPacketAgainstItsType) {
  std::shared_ptr<tool::TagMap> tag_map = MakeTagMap({"A:a", "B:0:b0", "B:1:b1", "c"});
  PacketTypeSet types(tag_map);
  types.Tag("A").Set<int>();
  types.Get("B", 0).Set<int>();
  types.Get("B", 1).SetAny();
  types.Index(0).Set<std::string>();
  PacketSet packets(MakeTagMap({"A:x", "B:0:y", "B:1:z", "w"}));  // Names may differ.
  packets.Tag("A") = MakePacket<int>(1);
  packets.Get("B", 0) = MakePacket<int>(2);
  packets.Get("B", 1) = MakePacket<float>(3.f);
  packets.Index(0) = MakePacket<std::string>("w");
  EXPECT_TRUE(ValidatePacketSet(types, packets).ok());

  // Two failures of one code keep it.
  packets.Tag("A") = MakePacket<float>(1.f);
  packets.Get("B", 1) = Packet();
  ExpectError(ValidatePacketSet(types, packets), StatusCode::kInvalidArgument,
              "ValidatePacketSet failed:\n"
              "Packet \"a\" with tag \"A\" and index 0 failed validation.  The Packet stores "
              "\"float\", but \"int\" was requested.\n"
              "Packet \"b1\" with tag \"B\" and index 1 failed validation.  Empty packets are not "
              "allowed for type: [Any Type]");
  // Failures of different codes give UNKNOWN.
  packets.Get("B", 0) = Packet();
  EXPECT_EQ(ValidatePacketSet(types, packets).code(), StatusCode::kUnknown);
}

TEST(ValidatePacketSetTest, TagMapsMustMatch) {
  PacketTypeSet types(MakeTagMap({"B:0:b0", "B:1:b1"}));
  PacketSet packets(MakeTagMap({"B:b0"}));
  ExpectError(ValidatePacketSet(types, packets), StatusCode::kInvalidArgument,
              "TagMaps do not match.  PacketTypeSet TagMap:\nB:0:b0\nB:1:b1\n\n"
              "PacketSet TagMap:\nB:b0");
}

}  // namespace
}  // namespace kaldren
