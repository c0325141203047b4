#include "graph/registration.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/str_cat.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

using IntRegistry = FunctionRegistry<int>;

std::function<int()> Returns(int value) {
  return [value] { return value; };
}

int InvokeValue(IntRegistry& registry, const std::string& name) {
  util::StatusOr<int> result = registry.Invoke(name);
  EXPECT_TRUE(result.ok()) << name;
  return result.ok() ? *result : -1;
}

TEST(RegistrationTest, QualifiedNameSearchesThePackageFromTheInnermostComponent) {
  IntRegistry registry;
  std::vector<RegistrationToken> tokens;
  for (const char* name : {"a::b::C", "a::D", "E", "a::b::F", "a::F"}) {
    tokens.push_back(registry.Register(absl::StrCat("::", name), Returns(1)));
  }
  struct Case {
    const char* ns;
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {"a.b", "C", "a::b::C"},       {"a.b", "D", "a::D"},
      {"a.b", "F", "a::b::F"},       {"a.b", "E", "E"},
      {"a.b", "Missing", "Missing"}, {"a.b", "x.D", "x::D"},
      {"", "Foo", "Foo"},            {"", "x.Foo", "x::Foo"},
      {"x.y", ".Foo", "Foo"},        {"a.b", ".a.D", "a::D"},
      {"a.b", ".C", "C"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(registry.GetQualifiedName(c.ns, c.name), c.expected) << c.ns << " " << c.name;
  }
  EXPECT_TRUE(registry.IsRegistered("a.b", "D"));
  EXPECT_FALSE(registry.IsRegistered("a.b", "Missing"));
  EXPECT_TRUE(registry.Invoke("a.b", "C").ok());
}

TEST(RegistrationTest, FrameworkClassIsStoredUnderBothNamesAndTheTokenRemovesBoth) {
  IntRegistry registry;
  RegistrationToken framework = registry.Register("::kaldren::Foo", Returns(1));
  RegistrationToken other = registry.Register("::other::Bar", Returns(2));
  EXPECT_TRUE(registry.IsRegistered("kaldren::Foo"));
  EXPECT_TRUE(registry.IsRegistered("Foo"));
  EXPECT_EQ(InvokeValue(registry, "Foo"), 1);
  EXPECT_TRUE(registry.IsRegistered("other::Bar"));
  EXPECT_FALSE(registry.IsRegistered("Bar"));

  framework.Unregister();
  EXPECT_FALSE(registry.IsRegistered("kaldren::Foo"));
  EXPECT_FALSE(registry.IsRegistered("Foo"));
  // A second run does nothing, even after the name is taken again.
  RegistrationToken again = registry.Register("Foo", Returns(3));
  framework.Unregister();
  EXPECT_EQ(InvokeValue(registry, "Foo"), 3);
}

TEST(RegistrationTest, BareNameTakenEarlierKeepsItsFactoryAndSurvivesTheQualifiedToken) {
  IntRegistry registry;
  RegistrationToken bare = registry.Register("Foo", Returns(1));
  RegistrationToken qualified = registry.Register("::pellumo::Foo", Returns(2));
  EXPECT_EQ(InvokeValue(registry, "Foo"), 1);
  EXPECT_EQ(InvokeValue(registry, "pellumo::Foo"), 2);
  qualified.Unregister();
  EXPECT_FALSE(registry.IsRegistered("pellumo::Foo"));
  EXPECT_EQ(InvokeValue(registry, "Foo"), 1);
}

TEST(RegistrationTest, TokensUndoOnlyWhenAsked) {
  IntRegistry registry;
  { RegistrationToken dropped = registry.Register("Kept", Returns(1)); }
  EXPECT_TRUE(registry.IsRegistered("Kept"));

  RegistrationToken token = registry.Register("Moved", Returns(1));
  RegistrationToken taker = std::move(token);
  token.Unregister();
  EXPECT_TRUE(registry.IsRegistered("Moved"));
  taker.Unregister();
  EXPECT_FALSE(registry.IsRegistered("Moved"));

  {
    Unregister holder(registry.Register("Held", Returns(1)));
    holder = Unregister(registry.Register("Replacing", Returns(1)));
    EXPECT_FALSE(registry.IsRegistered("Held"));
    EXPECT_TRUE(registry.IsRegistered("Replacing"));
  }
  EXPECT_FALSE(registry.IsRegistered("Replacing"));

  std::vector<RegistrationToken> parts;
  parts.push_back(registry.Register("First", Returns(1)));
  parts.push_back(registry.Register("Second", Returns(2)));
  RegistrationToken::Combine(std::move(parts)).Unregister();
  EXPECT_FALSE(registry.IsRegistered("First"));
  EXPECT_FALSE(registry.IsRegistered("Second"));
}

TEST(RegistrationTest, UnknownNameIsNotFound) {
  FunctionRegistry<std::unique_ptr<int>> registry;
  util::StatusOr<std::unique_ptr<int>> result = registry.Invoke("a.b", "Nope");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.status().code(), absl::StatusCode::kNotFound);
  EXPECT_EQ(result.status().message(), "No registered object with name: Nope");
}

TEST(RegistrationTest, StatusOrFactoryResultPassesThroughUnchanged) {
  FunctionRegistry<util::StatusOr<int>, int> registry;
  RegistrationToken token = registry.Register("Half", [](int value) -> util::StatusOr<int> {
    if (value % 2 != 0) return absl::InvalidArgumentError("odd");
    return value / 2;
  });
  EXPECT_EQ(*registry.Invoke("Half", 8), 4);
  EXPECT_EQ(registry.Invoke("Half", 3).status(), absl::InvalidArgumentError("odd"));
}

TEST(RegistrationTest, FactoryMayUseItsRegistryWhileInvoked) {
  IntRegistry registry;
  RegistrationToken inner = registry.Register("Inner", Returns(7));
  std::vector<RegistrationToken> made;
  RegistrationToken outer = registry.Register("Outer", [&registry, &made] {
    made.push_back(registry.Register("MadeByOuter", Returns(1)));
    return *registry.Invoke("", "Inner") + 1;
  });
  EXPECT_EQ(InvokeValue(registry, "Outer"), 8);
  EXPECT_TRUE(registry.IsRegistered("MadeByOuter"));
}

TEST(RegistrationTest, GlobalRegistryIsOnePerSignature) {
  struct Tag {};
  using Registry = GlobalFactoryRegistry<std::unique_ptr<Tag>, int>;
  RegistrationToken token =
      Registry::Register("::x::Made", [](int) { return std::make_unique<Tag>(); });
  EXPECT_TRUE(Registry::IsRegistered("x.Made"));
  EXPECT_FALSE(Registry::IsRegistered("Made"));
  EXPECT_TRUE(Registry::CreateByNameInNamespace("x.y", "Made", 1).ok());
  EXPECT_EQ(Registry::CreateByName("Made", 1).status().code(), absl::StatusCode::kNotFound);
  EXPECT_FALSE((GlobalFactoryRegistry<std::unique_ptr<Tag>>::IsRegistered("x.Made")));
}

TEST(RegistrationDeathTest, DuplicateAndMalformedNamesAreFatal) {
  IntRegistry registry;
  RegistrationToken token = registry.Register("Foo", Returns(1));
  EXPECT_DEATH(registry.Register("Foo", Returns(2)),
               HasSubstr("Function with name Foo already registered."));
  // The bare name a framework class also takes counts as taken.
  RegistrationToken framework = registry.Register("::kaldren::Bar", Returns(1));
  EXPECT_DEATH(registry.Register("Bar", Returns(2)),
               HasSubstr("Function with name Bar already registered."));
  EXPECT_DEATH(registry.Register("kaldren::Foo", Returns(2)),
               AllOf(HasSubstr("1 == names.size() (1 vs. 2)"),
                     HasSubstr("A registered class name must be either fully qualified with a "
                               "leading :: or unqualified, got: kaldren::Foo.")));
}

}  // namespace
}  // namespace kaldren
