#include "infra/srl_entities.h"

#include <functional>
#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "infra/srl_test_util.h"

namespace {

using infra::testing::ReportsIn;
using platform::objc::Class;
using platform::objc::Protocol;
using platform::objc::RegisterClass;
using platform::objc::RegisterProtocol;
using ::testing::ElementsAre;

const Protocol* const kProto = RegisterProtocol("EntityTestProto", {});
const Protocol* const kOtherProto = RegisterProtocol("EntityTestOtherProto", {});
const Class* const kBase = RegisterClass("EntityTestBase", nullptr, {});
const Class* const kSub = RegisterClass("EntityTestSub", kBase, {kProto});
const Class* const kSubSub = RegisterClass("EntityTestSubSub", kSub, {});

std::shared_ptr<SRLAPIKey> Key(std::string id, std::shared_ptr<SRLInstanceType> type,
                               std::string mapKey = "") {
  return SRLAPIKey::initWithIdentifier(
      std::move(id), std::move(type),
      mapKey.empty() ? nullptr : SRLMapBindingKey::initWithName(mapKey));
}

SRLFactoryBlock Returning(int) {
  return [](const std::shared_ptr<SRLAccountID>&) { return SRLInstance(); };
}

std::shared_ptr<SRLImplementation> Impl(std::shared_ptr<SRLInstanceType> type, uint64_t lifetime,
                                        SRLFactoryBlock block, bool component = false) {
  return SRLImplementation::initWithInstanceType(std::move(type), lifetime, SRLScopeApp,
                                                 std::move(block), std::nullopt, nullptr,
                                                 component);
}

TEST(SRLEntitiesTest, EqualityAndHash) {
  auto cls = SRLClassType::initWithClass(kSub);
  auto proto = SRLProtocolType::initWithProtocol(kProto);
  auto both = SRLClassProtocolType::initWithClass(kSub, kProto);
  auto api = [](const char* id, uint64_t binding) {
    return SRLAPI::initWithAPIKey(Key(id, SRLClassType::initWithClass(kBase)), binding,
                                  SRLScopeApp);
  };
  auto dep = [&](bool optional) {
    return SRLImplementationAPIDependency::initWithAPIMetadata(api("a", 0), optional, nullptr);
  };
  struct Case {
    const char* name;
    std::function<bool()> equal;
    std::function<bool()> hashes_alike;
    bool expected;
  };
  auto equal_case = [](const char* name, auto a, auto b, bool expected) {
    return Case{name, [a, b] { return a->isEqual(b.get()); },
                [a, b] { return a->hash() == b->hash(); }, expected};
  };
  const Case cases[] = {
      equal_case("key ignores instance type", Key("svc", cls), Key("svc", proto), true),
      equal_case("keyed vs unkeyed key", Key("svc", cls, "m"), Key("svc", cls), false),
      equal_case("unkeyed vs keyed key", Key("svc", cls), Key("svc", cls, "m"), false),
      equal_case("same map binding key", Key("svc", cls, "m"), Key("svc", proto, "m"), true),
      equal_case("different identifiers", Key("svc", cls), Key("other", cls), false),
      equal_case("class types", SRLClassType::initWithClass(kSub), cls, true),
      equal_case("class vs class-protocol", cls, both, false),
      equal_case("protocol types", SRLProtocolType::initWithProtocol(kProto), proto, true),
      equal_case("class-protocol types", SRLClassProtocolType::initWithClass(kSub, kProto), both,
                 true),
      equal_case("class-protocol, other protocol",
                 SRLClassProtocolType::initWithClass(kSub, kOtherProto), both, false),
      equal_case("apis", api("a", 0), api("a", 0), true),
      equal_case("apis, binding type", api("a", 0), api("a", 1), false),
      equal_case("dependency ignores optional", dep(true), dep(false), true),
      equal_case("implementations ignore factory block", Impl(cls, 0, Returning(1)),
                 Impl(cls, 0, Returning(2)), true),
      equal_case("implementations, lifetime", Impl(cls, 0, Returning(1)),
                 Impl(cls, 1, Returning(1)), false),
      equal_case("implementations, component flag", Impl(cls, 0, Returning(1)),
                 Impl(cls, 0, Returning(1), true), false),
      equal_case("configurations",
                 SRLImplementationConfiguration::initWithConfigurationInstanceType(cls, true),
                 SRLImplementationConfiguration::initWithConfigurationInstanceType(cls, false),
                 false),
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.equal(), c.expected) << c.name;
    if (c.expected) {
      EXPECT_TRUE(c.hashes_alike()) << c.name;
    }
  }
  EXPECT_EQ(cls->copy(), cls);
}

TEST(SRLEntitiesTest, TextForms) {
  auto cls = SRLClassType::initWithClass(kSub);
  auto container = SRLMakeInstanceTypeContainer(kSub, kProto);
  auto key = Key("svc", container, "m");
  auto config = SRLImplementationConfiguration::initWithConfigurationInstanceType(cls, true);
  struct Case {
    std::string actual;
    std::string expected;
  };
  const Case cases[] = {
      {cls->description(), "EntityTestSub"},
      {cls->debugDescription(), "SRLClassType<concreteClass: EntityTestSub>"},
      {container->description(), "EntityTestSub<EntityTestProto>"},
      {container->debugDescription(),
       "SRLClassProtocolType<concreteClass: EntityTestSub, concreteProtocol: EntityTestProto>"},
      {SRLMakeInstanceTypeContainer(nullptr, kProto)->description(), "id<EntityTestProto>"},
      {SRLMakeInstanceTypeContainer(nullptr, kProto)->debugDescription(),
       "SRLProtocolType<concreteProtocol: EntityTestProto>"},
      {key->description(),
       "SRLAPIKey<identifier: svc, mapBindingKey: SRLMapBindingKey<name: m>, instanceType: "
       "EntityTestSub<EntityTestProto>>"},
      {SRLAPIKey(std::string("svc"), nullptr, nullptr).description(),
       "SRLAPIKey<identifier: svc, mapBindingKey: (null), instanceType: (null)>"},
      {SRLAPI::initWithAPIKey(key, 1, 0)->description(),
       "SRLAPI<apiKey: " + key->description() + ", bindingType: 1, scope: 0>"},
      {config->description(),
       "SRLImplementationConfiguration<instanceType: EntityTestSub, required: 1>"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected);

  auto impl = SRLImplementation::initWithInstanceType(cls, 1, 0, Returning(0), std::nullopt,
                                                      config, false);
  EXPECT_THAT(impl->description(),
              ::testing::MatchesRegex("SRLImplementation<0x[0-9a-f]+, instanceType: "
                                      "EntityTestSub, lifetime: 1, scope: 0, API "
                                      "dependencies:None, configuration: "
                                      "SRLImplementationConfiguration<.*>>"));
}

TEST(SRLEntitiesTest, SubtypeAnswers) {
  auto cls = SRLClassType::initWithClass(kSub);
  auto proto = SRLProtocolType::initWithProtocol(kProto);
  auto both = SRLClassProtocolType::initWithClass(kBase, kProto);
  struct Case {
    std::shared_ptr<SRLInstanceType> type;
    const Class* candidate;
    bool expected;
  };
  const Case cases[] = {
      {cls, kSub, true},       {cls, kSubSub, true},     {cls, kBase, false},
      {proto, kSubSub, true},  {proto, kBase, false},    {both, kSub, true},
      {both, kBase, false},    {cls, nullptr, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.type->doesRepresentSupertypeOfClass(c.candidate), c.expected)
        << c.type->description() << " / " << (c.candidate ? c.candidate->name() : "null");
  }
}

TEST(SRLEntitiesTest, RefusalsYieldNoneWithOneReport) {
  auto cls = SRLClassType::initWithClass(kSub);
  struct Case {
    std::function<bool()> made;  // true when an object came back
    const char* text;
  };
  const Case cases[] = {
      {[] { return SRLClassType::initWithClass(nullptr) != nullptr; },
       "SRLClassType's concreteClass must not be nil."},
      {[] { return SRLProtocolType::initWithProtocol(nullptr) != nullptr; },
       "SRLProtocolType's concreteProtocol must not be nil."},
      {[] { return SRLClassProtocolType::initWithClass(kSub, nullptr) != nullptr; },
       "concreteClass and concreteProtocol must be provided."},
      {[] { return SRLMakeInstanceTypeContainer(nullptr, nullptr) != nullptr; },
       "Either instanceClass or instanceProtocol must be provided."},
      {[] { return SRLMapBindingKey::initWithName("") != nullptr; },
       "name cannot be nil or an empty string."},
      // The identifier is checked first.
      {[] { return SRLAPIKey::initWithIdentifier("", nullptr, nullptr) != nullptr; },
       "|identifier| must be non-nil and non-empty."},
      {[] { return SRLAPIKey::apiKeyWithIdentifier("x", nullptr, nullptr) != nullptr; },
       "|instanceType| must be non-nil."},
      {[] { return SRLAPI::initWithAPIKey(nullptr, 0, 0) != nullptr; },
       "SRLAPI requires a non-nil apiKey."},
      {[] {
         return SRLImplementationConfiguration::initWithConfigurationInstanceType(nullptr,
                                                                                  true) != nullptr;
       },
       "SRLImplementationConfiguration requires a non-nil instanceType."},
      {[] {
         return SRLImplementationAPIDependency::initWithAPIMetadata(nullptr, false, nullptr) !=
                nullptr;
       },
       "apiMetadata cannot be nil."},
      {[] { return Impl(nullptr, 0, Returning(0)) != nullptr; },
       "SRLImplementation requires a non-nil instanceType."},
  };
  for (const Case& c : cases) {
    bool made = true;
    EXPECT_THAT(ReportsIn([&] { made = c.made(); }), ElementsAre(c.text));
    EXPECT_FALSE(made) << c.text;
  }
}

TEST(SRLEntitiesTest, ApiKeyArchive) {
  auto type = SRLClassType::initWithClass(kSub);
  for (auto key : {Key("svc", type), Key("svc", type, "variant")}) {
    std::shared_ptr<NSError> error;
    auto data = NSKeyedArchiver::archivedDataWithRootObject(key, true, &error);
    ASSERT_TRUE(data.has_value());
    auto back = NSKeyedUnarchiver::unarchivedObjectOfClass<SRLAPIKey>(*data, &error);
    ASSERT_NE(back, nullptr) << key->description();
    EXPECT_TRUE(back->isEqual(key.get())) << back->description();
    EXPECT_EQ(back->instanceType(), nullptr);
  }
}

}  // namespace
