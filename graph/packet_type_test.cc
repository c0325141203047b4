#include "graph/packet_type.h"

#include <string>

#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::absl::StatusCode;

void ExpectError(const absl::Status& status, StatusCode code, const std::string& message) {
  EXPECT_EQ(status.code(), code) << status.message();
  EXPECT_EQ(status.message(), message);
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

}  // namespace
}  // namespace kaldren
