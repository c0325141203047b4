#include <algorithm>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "infra/srl_registry.h"
#include "infra/srl_test_util.h"

namespace {

using infra::testing::ReportsIn;
using platform::objc::Class;
using platform::objc::Protocol;
using platform::objc::RegisterClass;
using platform::objc::RegisterProtocol;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const Protocol* const kStoreProto = RegisterProtocol("TableTestStore", {});
const Class* const kStore = RegisterClass("TableTestFileStore", nullptr, {kStoreProto});

class Named : public platform::objc::Object {
 public:
  explicit Named(std::string name) : name_(std::move(name)) {}
  const Class* objcClass() const override { return kStore; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

std::string NameOf(const SRLInstance& instance) {
  return instance == nullptr ? "(none)" : std::static_pointer_cast<Named>(instance)->name();
}

// Factory providers naming what they make.
template <const char* kName>
SRLFactoryBlock MakeNamed(const std::shared_ptr<SRLInstanceType>&) {
  return [](const std::shared_ptr<SRLAccountID>&) -> SRLInstance {
    return std::make_shared<Named>(kName);
  };
}
constexpr char kB[] = "b";
constexpr char kAA[] = "aa";
constexpr char kAB[] = "ab";

constexpr _SRLImplementationRegistrationData Unscoped(SRLFactoryBlockProvider provider) {
  return {.instanceType = {.className = "TableTestFileStore"},
          .configurationInstanceType = {.className = nullptr},
          .factoryBlockProvider = provider,
          .instanceTypeType = SRLInstanceTypeTypeNames,
          .configurationInstanceTypeType = SRLInstanceTypeTypeNames,
          .lifetime = SRLLifetimeUnscoped,
          .scope = SRLScopeApp,
          .hasConfiguration = 0,
          .isConfigurationRequired = 0};
}

constexpr _SRLImplementationRegistrationData kImplB[] = {Unscoped(&MakeNamed<kB>)};
constexpr _SRLImplementationRegistrationData kImplAA[] = {Unscoped(&MakeNamed<kAA>)};
constexpr _SRLImplementationRegistrationData kImplAB[] = {Unscoped(&MakeNamed<kAB>)};

constexpr _SRLAPIRegistrationData Record(const char* name, uint16_t length,
                                         const _SRLImplementationRegistrationData* impls,
                                         uint8_t count, unsigned binding = SRLBindingTypeSingle,
                                         const char* protocolName = "TableTestStore",
                                         const char* className = nullptr) {
  return {.name = name,
          .implementations = impls,
          .instanceType = {.names = {.protocolName = protocolName, .className = className}},
          .nameLength = length,
          .implementationCount = count,
          .instanceTypeType = SRLInstanceTypeTypeNames,
          .bindingType = binding,
          .scope = SRLScopeApp};
}

// Sorted by length first: "b" precedes "aa".
constexpr _SRLAPIRegistrationData kTable[] = {
    Record("b", 1, kImplB, 1),
    Record("aa", 2, kImplAA, 1),
    Record("ab", 2, kImplAB, 1),
    Record("multi", 5, nullptr, 0, SRLBindingTypeMulti),
    Record("single", 6, nullptr, 0),
    Record("unknown", 7, nullptr, 0, SRLBindingTypeSingle, "TableTestNoSuchProtocol"),
    Record("withclass", 9, nullptr, 0, SRLBindingTypeSingle, "TableTestStore",
           "TableTestFileStore"),
};

std::shared_ptr<SRLAPIKey> Key(const std::string& id, const std::string& mapKey = "") {
  return SRLAPIKey::initWithIdentifier(
      id, SRLProtocolType::initWithProtocol(kStoreProto),
      mapKey.empty() ? nullptr : SRLMapBindingKey::initWithName(mapKey));
}

SRLBindingsRegistrationData Table(const _SRLAPIRegistrationData* begin,
                                  const _SRLAPIRegistrationData* end, bool component = false) {
  return {.apisBegin = begin, .apisEnd = end, .isComponentBinding = component};
}

class SRLBindingTableTest : public ::testing::Test {
 protected:
  std::shared_ptr<SRLRegistry> registry_ = SRLRegistry::initPrivate();
};

TEST_F(SRLBindingTableTest, LazyLookupsFindTheirRecords) {
  registry_->internalRegisterBindings(Table(std::begin(kTable), std::end(kTable)));
  EXPECT_TRUE(registry_->registrySingle().empty());  // nothing until asked
  for (const char* name : {"b", "aa", "ab"}) {
    EXPECT_EQ(NameOf(registry_->internalAppScopedService(Key(name))), name);
  }
  EXPECT_EQ(registry_->registrySingle().size(), 3u);
}

TEST_F(SRLBindingTableTest, RecordsWithoutImplementations) {
  registry_->internalRegisterBindings(Table(std::begin(kTable), std::end(kTable)));
  // A single record binds a placeholder that yields none.
  EXPECT_THAT(ReportsIn([&] {
                EXPECT_EQ(registry_->internalOptionalAppScopedService(Key("single")), nullptr);
              }),
              IsEmpty());
  EXPECT_THAT(ReportsIn([&] { registry_->internalAppScopedService(Key("single")); }),
              ElementsAre(StartsWith("Service not found: SRLAPIKey<identifier: single")));
  // A multi record binds an empty set.
  std::optional<std::vector<SRLInstance>> found;
  EXPECT_THAT(ReportsIn([&] { found = registry_->internalMultiBoundAppScopedService(Key("multi")); }),
              IsEmpty());
  ASSERT_TRUE(found.has_value());
  EXPECT_THAT(*found, IsEmpty());
  // A multi lookup of a singly bound key registers the record again.
  registry_->internalAppScopedService(Key("b"));
  EXPECT_THAT(ReportsIn([&] { found = registry_->internalMultiBoundAppScopedService(Key("b")); }),
              ElementsAre(StartsWith("Service API already registered")));
  EXPECT_THAT(*found, IsEmpty());
}

TEST_F(SRLBindingTableTest, MissesAndKeyedLookups) {
  // No table: no miss report.
  EXPECT_THAT(ReportsIn([&] { registry_->internalOptionalAppScopedService(Key("zz")); }),
              IsEmpty());
  // An empty range reports every miss.
  registry_->internalRegisterBindings(Table(std::begin(kTable), std::begin(kTable)));
  EXPECT_THAT(ReportsIn([&] { registry_->internalOptionalAppScopedService(Key("b")); }),
              ElementsAre("We were asked to lazily register API bindings for SRLAPIKey<identifier: "
                          "b, mapBindingKey: (null), instanceType: id<TableTestStore>>, but could "
                          "not find it in the binding registration data!"));

  // A keyed lookup registers the plain key and still finds nothing for itself.
  registry_->internalRegisterBindings(Table(std::begin(kTable), std::end(kTable)));
  EXPECT_EQ(registry_->internalOptionalAppScopedService(Key("aa", "variant")), nullptr);
  EXPECT_EQ(NameOf(registry_->internalOptionalAppScopedService(Key("aa"))), "aa");
  EXPECT_EQ(registry_->registrySingle().size(), 1u);
  // "aa" prefix of a longer name is a miss.
  EXPECT_THAT(ReportsIn([&] { registry_->internalOptionalAppScopedService(Key("a")); }),
              ElementsAre(StartsWith("We were asked to lazily register")));
}

TEST_F(SRLBindingTableTest, ComponentTablesRegisterAtOnce) {
  // The record of an unknown protocol reports as it is registered.
  EXPECT_THAT(ReportsIn([&] {
                registry_->internalRegisterBindings(
                    Table(std::begin(kTable), std::end(kTable), true));
              }),
              ElementsAre("Either instanceClass or instanceProtocol must be provided.",
                          "|instanceType| must be non-nil.", "SRLAPI requires a non-nil apiKey."));
  // Records without implementations register nothing.
  EXPECT_EQ(registry_->registrySingle().size(), 3u);
  EXPECT_TRUE(registry_->registryMultiple().empty());
  EXPECT_EQ(registry_->protocolNameToAPIKey(), nullptr);  // component tables are not kept
}

TEST_F(SRLBindingTableTest, ProtocolNameIndex) {
  EXPECT_EQ(registry_->protocolNameToAPIKey(), nullptr);
  registry_->internalRegisterBindings(Table(std::begin(kTable), std::end(kTable)));
  std::shared_ptr<const SRLRegistry::ProtocolNameIndex> index;
  auto reports = ReportsIn([&] { index = registry_->protocolNameToAPIKey(); });
  ASSERT_NE(index, nullptr);
  // The last protocol-only record of a protocol wins; unknown protocols stay out.
  ASSERT_EQ(index->size(), 1u);
  EXPECT_EQ(index->at("TableTestStore")->identifier(), "single");
  EXPECT_EQ(index->count("TableTestNoSuchProtocol"), 0u);
  EXPECT_THAT(reports, ElementsAre("Either instanceClass or instanceProtocol must be provided.",
                                   "|instanceType| must be non-nil."));
  // Never rebuilt.
  registry_->internalRegisterBindings(Table(std::begin(kTable), std::begin(kTable) + 1));
  EXPECT_EQ(registry_->protocolNameToAPIKey(), index);
}

TEST_F(SRLBindingTableTest, UnknownNamesRegisterNothing) {
  static constexpr _SRLImplementationRegistrationData kMissingClass[] = {
      {.instanceType = {.className = "TableTestNoSuchClass"},
       .configurationInstanceType = {.className = nullptr},
       .factoryBlockProvider = &MakeNamed<kB>}};
  static constexpr _SRLAPIRegistrationData kRecords[] = {
      Record("none", 4, nullptr, 0, SRLBindingTypeMulti, nullptr, nullptr),
      Record("class", 5, kMissingClass, 1),
      Record("unknown", 7, kImplB, 1, SRLBindingTypeSingle, "TableTestNoSuchProtocol"),
  };
  registry_->internalRegisterBindings(Table(std::begin(kRecords), std::end(kRecords)));
  EXPECT_THAT(ReportsIn([&] { registry_->internalOptionalAppScopedService(Key("unknown")); }),
              ElementsAre("Either instanceClass or instanceProtocol must be provided.",
                          "|instanceType| must be non-nil.", "SRLAPI requires a non-nil apiKey.",
                          "apiMetadata cannot be nil!"));
  EXPECT_THAT(ReportsIn([&] { registry_->internalOptionalAppScopedService(Key("class")); }),
              ElementsAre("SRLClassType's concreteClass must not be nil.",
                          "SRLImplementation requires a non-nil instanceType.",
                          "implMetadata cannot be nil!"));
  // A names-form record without names: the unmatched-names reports, nothing stored.
  EXPECT_THAT(ReportsIn([&] { registry_->internalMultiBoundAppScopedService(Key("none")); }),
              ElementsAre("Either instanceClass or instanceProtocol must be provided.",
                          "|instanceType| must be non-nil.", "SRLAPI requires a non-nil apiKey."));
  EXPECT_TRUE(registry_->registrySingle().empty());
  EXPECT_TRUE(registry_->registryMultiple().empty());
}

// Lookups, lazy registration, scope removal and provider installation from eight threads at once
// (checked under ThreadSanitizer).
TEST_F(SRLBindingTableTest, ConcurrentUse) {
  static constexpr _SRLImplementationRegistrationData kScoped[] = {
      {.instanceType = {.className = "TableTestFileStore"},
       .configurationInstanceType = {.className = nullptr},
       .factoryBlockProvider = &MakeNamed<kB>,
       .lifetime = SRLLifetimeScoped,
       .scope = SRLScopeAccount}};
  static constexpr _SRLAPIRegistrationData kRecords[] = {
      Record("b", 1, kImplB, 1), Record("aa", 2, kImplAA, 1), Record("ab", 2, kImplAB, 1),
      {.name = "store", .implementations = kScoped,
       .instanceType = {.names = {.protocolName = "TableTestStore", .className = nullptr}},
       .nameLength = 5, .implementationCount = 1, .scope = SRLScopeAccount},
  };
  SRLRegistry::sharedInstance();
  SRLRegistry::overrideSharedInstance(registry_);
  registry_->internalRegisterBindings(Table(std::begin(kRecords), std::end(kRecords)));
  auto type = SRLClassType::initWithClass(kStore);
  auto reports = ReportsIn([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        auto account = XLMEmailAccountId::initWithEmail(t % 2 ? "odd" : "even");
        for (int i = 0; i < 200; ++i) {
          const char* name = i % 3 == 0 ? "b" : (i % 3 == 1 ? "aa" : "ab");
          EXPECT_EQ(NameOf(registry_->internalOptionalAppScopedService(Key(name))), name);
          EXPECT_NE(registry_->internalAccountScopedService(Key("store"), account), nullptr);
          if (i % 50 == t) registry_->removeScopeWithAccountID(account);
          if (i == t) {
            auto providers = std::make_shared<SRLConfigProviders>();
            (*providers)[type] = [] { return std::make_shared<Named>("config"); };
            registry_->internalSetImplementationConfigProviders(providers);
          }
          registry_->internalImplementationConfigForInstanceType(type);
          registry_->protocolNameToAPIKey();
        }
      });
    }
    for (auto& thread : threads) thread.join();
  });
  // Only the later provider installations report.
  EXPECT_EQ(reports.size(), 7u);
  for (const auto& text : reports) {
    EXPECT_EQ(text, "|setImplementationConfigProviders:| can be called only once.");
  }
  EXPECT_EQ(registry_->registrySingle().size(), 4u);
}

TEST_F(SRLBindingTableTest, CopiesMemoizeInTheSharedRegistry) {
  static constexpr _SRLImplementationRegistrationData kScopedApp[] = {
      {.instanceType = {.className = "TableTestFileStore"},
       .configurationInstanceType = {.className = nullptr},
       .factoryBlockProvider = &MakeNamed<kB>,
       .lifetime = SRLLifetimeScoped,
       .scope = SRLScopeApp}};
  static constexpr _SRLAPIRegistrationData kRecords[] = {Record("store", 5, kScopedApp, 1)};
  SRLRegistry::sharedInstance();
  SRLRegistry::overrideSharedInstance(registry_);
  registry_->internalRegisterBindings(Table(std::begin(kRecords), std::end(kRecords)));
  auto copy = registry_->mutableCopy();
  SRLInstance through_copy = copy->internalAppScopedService(Key("store"));
  ASSERT_NE(through_copy, nullptr);
  EXPECT_EQ(registry_->internalAppScopedService(Key("store")), through_copy);
  EXPECT_EQ(copy->appScope()->instanceCount(), 0u);
  EXPECT_EQ(registry_->appScope()->instanceCount(), 1u);
}

// A generated table of 10,000 records with names of mixed lengths, searched for present and
// absent names; the answer must agree with a linear scan.
TEST_F(SRLBindingTableTest, SearchAgreesWithLinearReference) {
  static std::deque<std::string> names;  // the table's static text
  static std::vector<_SRLAPIRegistrationData> table;
  std::mt19937 random(7);
  std::vector<std::string> generated;
  auto random_name = [&] {
    std::string name(1 + random() % 8, 'a');
    for (char& c : name) c = static_cast<char>('a' + random() % 4);
    if (random() % 50 == 0) name.back() = static_cast<char>(0xe9);  // a byte above 0x7f
    return name;
  };
  std::set<std::string> unique;
  while (unique.size() < 10000) unique.insert(random_name());
  generated.assign(unique.begin(), unique.end());
  std::sort(generated.begin(), generated.end(), [](const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](char x, char y) { return static_cast<uint8_t>(x) < static_cast<uint8_t>(y); });
  });
  for (const std::string& name : generated) {
    names.push_back(name);
    table.push_back(Record(names.back().c_str(), static_cast<uint16_t>(name.size()), nullptr, 0));
  }
  ASSERT_EQ(table.size(), 10000u);
  registry_->internalRegisterBindings(Table(table.data(), table.data() + table.size()));

  for (int i = 0; i < 2000; ++i) {
    std::string query = random_name();
    bool expected = std::find(generated.begin(), generated.end(), query) != generated.end();
    bool found = false;
    // A fresh registry, so that a repeated query is not a second registration.
    auto registry = registry_->mutableCopy();
    auto reports = ReportsIn([&] { found = registry->lazilyRegisterBindingsForAPIKey(Key(query)); });
    ASSERT_EQ(found, expected) << query;
    ASSERT_EQ(reports.size(), expected ? 0u : 1u) << query;
    if (expected) {
      ASSERT_EQ(registry->registrySingle().count(Key(query)), 1u) << query;
    }
  }
  // Every record is found.
  for (const std::string& name : generated) {
    ASSERT_TRUE(registry_->lazilyRegisterBindingsForAPIKey(Key(name))) << name;
  }
  EXPECT_EQ(registry_->registrySingle().size(), generated.size());
}

}  // namespace
