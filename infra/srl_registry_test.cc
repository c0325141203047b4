#include "infra/srl_registry.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

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
using ::testing::IsEmpty;
using ::testing::StartsWith;

const Protocol* const kClockProto = RegisterProtocol("RegistryTestClock", {});
const Class* const kClock = RegisterClass("RegistryTestSystemClock", nullptr, {kClockProto});
const Class* const kOtherClock = RegisterClass("RegistryTestOtherClock", nullptr, {kClockProto});
const Class* const kUnrelated = RegisterClass("RegistryTestUnrelated", nullptr, {});

class Service : public platform::objc::Object {
 public:
  Service(const Class* cls, std::string account) : class_(cls), account_(std::move(account)) {}
  const Class* objcClass() const override { return class_; }
  const std::string& account() const { return account_; }

 private:
  const Class* class_;
  std::string account_;
};

// A factory block making a new Service of `cls` per call, counting its calls.
SRLFactoryBlock Making(const Class* cls, std::atomic<int>* calls = nullptr) {
  return [cls, calls](const std::shared_ptr<SRLAccountID>& account) -> SRLInstance {
    if (calls != nullptr) ++*calls;
    return std::make_shared<Service>(cls, account ? account->identifier() : "");
  };
}

std::string AccountOf(const SRLInstance& instance) {
  return std::static_pointer_cast<Service>(instance)->account();
}

std::shared_ptr<SRLAPIKey> ClockKey(const char* id = "clock") {
  return SRLAPIKey::initWithIdentifier(id, SRLProtocolType::initWithProtocol(kClockProto),
                                       nullptr);
}

std::shared_ptr<SRLAPI> Api(uint64_t binding, uint64_t scope, const char* id = "clock") {
  return SRLAPI::initWithAPIKey(ClockKey(id), binding, scope);
}

std::shared_ptr<SRLImplementation> Impl(const Class* cls, uint64_t scope = SRLScopeApp,
                                        uint64_t lifetime = SRLLifetimeUnscoped,
                                        bool component = false,
                                        std::shared_ptr<SRLImplementationConfiguration> config = {},
                                        SRLFactoryBlock block = {}) {
  return SRLImplementation::initWithInstanceType(
      SRLClassType::initWithClass(cls), lifetime, scope, block ? block : Making(cls),
      std::nullopt, std::move(config), component);
}

std::shared_ptr<XLMEmailAccountId> Account(const char* email) {
  return XLMEmailAccountId::initWithEmail(email);
}

class SRLRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SRLRegistry::sharedInstance();  // the first call would replace an override
    SRLRegistry::overrideSharedInstance(registry_);
  }

  std::shared_ptr<SRLRegistry> registry_ = SRLRegistry::initPrivate();
};

TEST_F(SRLRegistryTest, RegistrationMatrix) {
  auto config = SRLImplementationConfiguration::initWithConfigurationInstanceType(
      SRLClassType::initWithClass(kClock), false);
  struct Step {
    std::shared_ptr<SRLAPI> api;
    std::shared_ptr<SRLImplementation> implementation;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> report_starts;  // reports of the last step
    size_t singles;
    size_t multi_members;
  };
  const std::string kBoth = "Service API has been bound for both single and multi types";
  const std::string kAlready = "Service API already registered with a different implementation";
  const Case cases[] = {
      {"single", {{Api(0, 0), Impl(kClock)}}, {}, 1, 0},
      {"no api", {{nullptr, Impl(kClock)}}, {"apiMetadata cannot be nil!"}, 0, 0},
      {"no implementation", {{Api(0, 0), nullptr}}, {"implMetadata cannot be nil!"}, 0, 0},
      {"class not a subtype",
       {{Api(0, 0), Impl(kUnrelated)}},
       {"Implementation RegistryTestUnrelated should conform to id<RegistryTestClock>"},
       0,
       0},
      {"account implementation, app api",
       {{Api(0, SRLScopeApp), Impl(kClock, SRLScopeAccount)}},
       {"Account-scoped implementations cannot be bound to app-scoped APIs:\nImplementation: "},
       0,
       0},
      {"app implementation, account api",
       {{Api(0, SRLScopeAccount), Impl(kClock, SRLScopeApp)}}, {}, 1, 0},
      {"multi after single", {{Api(0, 0), Impl(kClock)}, {Api(1, 0), Impl(kOtherClock)}},
       {kBoth + "\nService API: "}, 1, 0},
      {"single after multi", {{Api(1, 0), Impl(kClock)}, {Api(0, 0), Impl(kOtherClock)}},
       {kBoth + "\nService API: "}, 0, 1},
      {"multi keeps equal member",
       {{Api(1, 0), Impl(kClock)}, {Api(1, 0), Impl(kClock, 0, 1, false, {}, Making(kOtherClock))}},
       {}, 0, 1},
      {"multi grows", {{Api(1, 0), Impl(kClock)}, {Api(1, 0), Impl(kOtherClock)}}, {}, 0, 2},
      {"equal, not components", {{Api(0, 0), Impl(kClock)}, {Api(0, 0), Impl(kClock)}},
       {kAlready}, 1, 0},
      {"one component", {{Api(0, 0), Impl(kClock, 0, 1, true)}, {Api(0, 0), Impl(kClock)}},
       {kAlready}, 1, 0},
      {"components equal",
       {{Api(0, 0), Impl(kClock, 0, 1, true)}, {Api(0, 0), Impl(kClock, 0, 1, true)}}, {}, 1, 0},
      {"components, class",
       {{Api(0, 0), Impl(kClock, 0, 1, true)}, {Api(0, 0), Impl(kOtherClock, 0, 1, true)}},
       {"An existing binding with a different implementation class exists for "}, 1, 0},
      {"components, scope",
       {{Api(0, 1), Impl(kClock, 0, 1, true)}, {Api(0, 1), Impl(kClock, 1, 1, true)}},
       {"An existing binding with incompatible scope exists for "}, 1, 0},
      {"components, lifetime",
       {{Api(0, 0), Impl(kClock, 0, 1, true)}, {Api(0, 0), Impl(kClock, 0, 0, true)}},
       {"An existing binding with incompatible lifetime exists for "}, 1, 0},
      {"components, configuration",
       {{Api(0, 0), Impl(kClock, 0, 1, true)}, {Api(0, 0), Impl(kClock, 0, 1, true, config)}},
       {"An existing binding with incompatible configuration exists for "}, 1, 0},
  };
  for (const Case& c : cases) {
    auto registry = SRLRegistry::initPrivate();
    std::vector<std::string> reports;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      reports = ReportsIn([&] {
        registry->internalRegisterServiceAPI(c.steps[i].api, c.steps[i].implementation);
      });
      if (i + 1 < c.steps.size()) {
        ASSERT_THAT(reports, IsEmpty()) << c.name;
      }
    }
    ASSERT_EQ(reports.size(), c.report_starts.size()) << c.name;
    for (size_t i = 0; i < reports.size(); ++i) {
      EXPECT_THAT(reports[i], StartsWith(c.report_starts[i])) << c.name;
    }
    EXPECT_EQ(registry->registrySingle().size(), c.singles) << c.name;
    size_t members = 0;
    for (const auto& [key, set] : registry->registryMultiple()) members += set->size();
    EXPECT_EQ(members, c.multi_members) << c.name;
    // The first binding stays.
    if (c.singles == 1) {
      auto bound = registry->registrySingle().begin()->second;
      EXPECT_EQ(bound, c.steps[0].implementation) << c.name;
    }
  }
}

TEST_F(SRLRegistryTest, SingleLookups) {
  registry_->internalRegisterServiceAPI(Api(0, SRLScopeAccount), Impl(kClock, SRLScopeApp));
  registry_->internalRegisterServiceAPI(Api(0, SRLScopeAccount, "per-account"),
                                        Impl(kClock, SRLScopeAccount));
  // An app-scoped implementation serves account lookups; its factory sees the account id.
  SRLInstance a, b;
  EXPECT_THAT(ReportsIn([&] {
                a = registry_->internalAccountScopedService(ClockKey(), Account("a@x"));
                b = registry_->internalAccountScopedService(ClockKey(), Account("b@x"));
              }),
              IsEmpty());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);

  struct Case {
    const char* name;
    std::function<SRLInstance()> lookup;
    bool found;
    std::vector<std::string> reports;
  };
  const Case cases[] = {
      {"optional, unbound", [&] { return registry_->internalOptionalAppScopedService(ClockKey("x")); },
       false, {}},
      {"required, unbound", [&] { return registry_->internalAppScopedService(ClockKey("x")); },
       false, {"Service not found: "}},
      {"no key", [&] { return registry_->internalOptionalAppScopedService(nullptr); }, false,
       {"|apiKey| cannot be nil!"}},
      {"required, no account",
       [&] { return registry_->internalAccountScopedService(ClockKey(), nullptr); }, false,
       {"Missing accountID for account-scoped service:\nSRLAPIKey<identifier: clock",
        "Service not found: SRLAPIKey<identifier: clock"}},
      {"account implementation in app scope",
       [&] { return registry_->internalOptionalAppScopedService(ClockKey("per-account")); },
       false, {"Account-scoped implementation cannot be retrieved in app scope:\n"}},
      {"app lookup", [&] { return registry_->internalAppScopedService(ClockKey()); }, true, {}},
      {"account lookup",
       [&] { return registry_->internalAccountScopedService(ClockKey("per-account"), Account("a")); },
       true, {}},
  };
  for (const Case& c : cases) {
    SRLInstance found;
    auto reports = ReportsIn([&] { found = c.lookup(); });
    EXPECT_EQ(found != nullptr, c.found) << c.name;
    ASSERT_EQ(reports.size(), c.reports.size()) << c.name;
    for (size_t i = 0; i < reports.size(); ++i) {
      EXPECT_THAT(reports[i], StartsWith(c.reports[i])) << c.name;
    }
  }
}

TEST_F(SRLRegistryTest, MultiLookups) {
  registry_->internalRegisterServiceAPI(Api(1, SRLScopeAccount), Impl(kClock));
  registry_->internalRegisterServiceAPI(Api(1, SRLScopeAccount), Impl(kOtherClock));
  auto none = [](const std::shared_ptr<SRLAccountID>&) { return SRLInstance(); };
  registry_->internalRegisterServiceAPI(
      Api(1, SRLScopeAccount), Impl(kClock, SRLScopeApp, SRLLifetimeScoped, false, {}, none));

  std::optional<std::vector<SRLInstance>> found;
  EXPECT_THAT(ReportsIn([&] { found = registry_->internalMultiBoundAppScopedService(ClockKey()); }),
              IsEmpty());
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->size(), 2u);  // the member yielding none is left out
  found = registry_->internalMultiBoundAccountScopedService(ClockKey(), Account("a"));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->size(), 2u);
  EXPECT_EQ(AccountOf(found->front()), "a");

  // Unbound: an empty array, no report.
  EXPECT_THAT(ReportsIn([&] { found = registry_->internalMultiBoundAppScopedService(ClockKey("x")); }),
              IsEmpty());
  EXPECT_THAT(*found, IsEmpty());

  // One account-scoped member spoils the app lookup.
  registry_->internalRegisterServiceAPI(Api(1, SRLScopeAccount), Impl(kClock, SRLScopeAccount));
  EXPECT_THAT(ReportsIn([&] { found = registry_->internalMultiBoundAppScopedService(ClockKey()); }),
              ElementsAre(StartsWith("Account-scoped multibound service implementation cannot be "
                                     "retrieved in App scope:\n")));
  EXPECT_FALSE(found.has_value());
  EXPECT_THAT(ReportsIn([&] {
                found = registry_->internalMultiBoundAccountScopedService(ClockKey(), nullptr);
              }),
              ElementsAre(StartsWith("Missing accountID for account-scoped multibound service:\n "
                                     "SRLAPIKey<")));
}

TEST_F(SRLRegistryTest, ConcurrentRequestsCreateOnce) {
  auto type = SRLClassType::initWithClass(kClock);
  for (bool yields_instance : {true, false}) {
    auto scope = SRLMemoizingScope::init();
    std::atomic<int> calls{0};
    std::atomic<bool> release{false};
    std::atomic<int> waiting{0};
    SRLCreationBlock create = [&]() -> SRLInstance {
      ++calls;
      while (!release.load()) std::this_thread::yield();
      return yields_instance ? std::make_shared<Service>(kClock, "") : nullptr;
    };
    std::vector<SRLInstance> results(16);
    auto reports = ReportsIn([&] {
      std::vector<std::thread> threads;
      for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&, i] {
          ++waiting;
          results[i] = scope->instanceOfType(type, create);
        });
      }
      while (waiting.load() < 16) std::this_thread::yield();
      release = true;
      for (auto& t : threads) t.join();
    });
    for (const auto& result : results) EXPECT_EQ(result, results[0]);
    if (yields_instance) {
      EXPECT_EQ(calls.load(), 1);
      EXPECT_NE(results[0], nullptr);
      EXPECT_THAT(reports, IsEmpty());
    } else {
      // Nothing is stored, so a thread that arrives after a creator finished creates anew; every
      // thread is a creator or a waiter, and only the waiters report.
      EXPECT_EQ(results[0], nullptr);
      EXPECT_GE(calls.load(), 1);
      EXPECT_EQ(reports.size(), 16u - calls.load());
      for (const auto& text : reports) {
        EXPECT_EQ(text, "We blocked waiting on instance creation but no instance was created.");
      }
    }
  }
}

// Many threads ask one scope for several types at once, each in its own order: every type is made
// once and every thread gets that one instance. Run under ThreadSanitizer, this also shows that
// the scope's maps are only touched under its lock.
TEST_F(SRLRegistryTest, ConcurrentRequestsForSeveralTypesShareOneInstanceEach) {
  constexpr int kTypes = 6;
  constexpr int kThreads = 24;
  std::vector<std::shared_ptr<SRLInstanceType>> types;
  for (int t = 0; t < kTypes; ++t) {
    types.push_back(SRLClassType::initWithClass(
        RegisterClass("RegistryTestConcurrent" + std::to_string(t), nullptr, {})));
  }
  auto scope = SRLMemoizingScope::init();
  std::vector<std::atomic<int>> calls(kTypes);
  std::atomic<int> ready{0};
  std::vector<std::vector<SRLInstance>> results(kThreads, std::vector<SRLInstance>(kTypes));
  auto reports = ReportsIn([&] {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        ++ready;
        while (ready.load() < kThreads) std::this_thread::yield();
        for (int k = 0; k < kTypes; ++k) {
          const int t = (i + k) % kTypes;  // threads start on different types
          results[i][t] = scope->instanceOfType(types[t], [&, t]() -> SRLInstance {
            ++calls[t];
            std::this_thread::yield();  // let the others pile up behind this creation
            return std::make_shared<Service>(kClock, std::to_string(t));
          });
        }
      });
    }
    for (auto& thread : threads) thread.join();
  });
  EXPECT_THAT(reports, IsEmpty());
  EXPECT_EQ(scope->instanceCount(), static_cast<size_t>(kTypes));
  for (int t = 0; t < kTypes; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(calls[t].load(), 1);
    ASSERT_NE(results[0][t], nullptr);
    EXPECT_EQ(AccountOf(results[0][t]), std::to_string(t));
    for (int i = 1; i < kThreads; ++i) EXPECT_EQ(results[i][t], results[0][t]);
  }
}

TEST_F(SRLRegistryTest, CreationAskingForItsOwnTypeIsReported) {
  auto scope = SRLMemoizingScope::init();
  auto type = SRLClassType::initWithClass(kClock);
  SRLInstance inner;
  auto reports = ReportsIn([&] {
    scope->instanceOfType(type, [&]() -> SRLInstance {
      inner = scope->instanceOfType(type, [] { return std::make_shared<Service>(kClock, ""); });
      return std::make_shared<Service>(kClock, "");
    });
  });
  EXPECT_EQ(inner, nullptr);
  EXPECT_THAT(reports, ElementsAre(StartsWith("Instance creation of RegistryTestSystemClock")));
  EXPECT_EQ(scope->instanceCount(), 1u);
}

TEST_F(SRLRegistryTest, ScopedBlocksMemoizeInTheSharedRegistry) {
  auto type = SRLClassType::initWithClass(kClock);
  std::atomic<int> calls{0};
  SRLFactoryBlock factory = Making(kClock, &calls);
  // Two APIs bound to one implementation type share its instance.
  SRLFactoryBlock app = registry_->scopedBlock(factory, type, SRLScopeApp, SRLLifetimeScoped);
  registry_->internalRegisterServiceAPI(Api(0, 0, "first"),
                                        Impl(kClock, 0, SRLLifetimeScoped, false, {}, app));
  registry_->internalRegisterServiceAPI(Api(0, 0, "second"),
                                        Impl(kClock, 0, SRLLifetimeScoped, false, {}, app));
  auto first = registry_->internalAppScopedService(ClockKey("first"));
  EXPECT_EQ(registry_->internalAppScopedService(ClockKey("second")), first);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(AccountOf(first), "");

  // Account scopes: one instance per account, a new one after the scope is removed.
  SRLFactoryBlock per_account =
      registry_->scopedBlock(factory, type, SRLScopeAccount, SRLLifetimeScoped);
  auto a = per_account(Account("a"));
  EXPECT_EQ(per_account(Account("a")), a);
  EXPECT_NE(per_account(Account("b")), a);
  EXPECT_EQ(AccountOf(a), "a");
  registry_->removeScopeWithAccountID(Account("a"));
  EXPECT_NE(per_account(Account("a")), a);
  EXPECT_THAT(ReportsIn([&] { EXPECT_EQ(per_account(nullptr), nullptr); }),
              ElementsAre("accountID is required for an account-scoped service"));
  EXPECT_THAT(ReportsIn([&] { registry_->removeScopeWithAccountID(nullptr); }),
              ElementsAre("Account ID cannot be nil!"));
  EXPECT_THAT(ReportsIn([&] { EXPECT_EQ(registry_->scopeWithAccountID(nullptr), nullptr); }),
              ElementsAre("Account ID cannot be nil!"));

  // Unscoped app blocks drop the account id; unscoped account blocks keep it.
  auto unscoped_app = registry_->scopedBlock(factory, type, SRLScopeApp, SRLLifetimeUnscoped);
  EXPECT_EQ(AccountOf(unscoped_app(Account("a"))), "");
  EXPECT_NE(unscoped_app(nullptr), unscoped_app(nullptr));
  auto unscoped_account =
      registry_->scopedBlock(factory, type, SRLScopeAccount, SRLLifetimeUnscoped);
  EXPECT_EQ(AccountOf(unscoped_account(Account("a"))), "a");

  // A copy holds the same bindings; its scopes stay empty while the shared ones fill.
  auto copy = registry_->mutableCopy();
  EXPECT_EQ(copy->internalAppScopedService(ClockKey("first")), first);
  EXPECT_EQ(copy->appScope()->instanceCount(), 0u);
  EXPECT_EQ(registry_->appScope()->instanceCount(), 1u);
}

TEST_F(SRLRegistryTest, ConfigurationProviders) {
  auto type = SRLClassType::initWithClass(kClock);
  std::atomic<int> calls{0};
  auto providers = std::make_shared<SRLConfigProviders>();
  (*providers)[type] = [&calls]() -> SRLInstance {
    ++calls;
    return std::make_shared<Service>(kClock, "config");
  };
  EXPECT_THAT(ReportsIn([&] { registry_->internalSetImplementationConfigProviders(nullptr); }),
              ElementsAre("providers must not be nil"));
  registry_->internalSetImplementationConfigProviders(providers);
  auto config = registry_->internalImplementationConfigForInstanceType(type);
  EXPECT_EQ(registry_->internalImplementationConfigForInstanceType(type), config);
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(registry_->internalImplementationConfigForInstanceType(
                SRLClassType::initWithClass(kOtherClock)),
            nullptr);

  EXPECT_THAT(ReportsIn([&] {
                registry_->internalSetImplementationConfigProviders(
                    std::make_shared<SRLConfigProviders>());
              }),
              ElementsAre("|setImplementationConfigProviders:| can be called only once."));
  EXPECT_EQ(registry_->implementationConfigProviders()->size(), 1u);
  registry_->setImplementationConfigProviders(std::make_shared<SRLConfigProviders>());
  EXPECT_TRUE(registry_->implementationConfigProviders()->empty());
}

TEST_F(SRLRegistryTest, SharedInstanceAndDescription) {
  EXPECT_EQ(SRLRegistry::sharedInstance(), registry_);
  EXPECT_EQ(SRLRegistrySharedInstanceForProviders(), registry_);
  registry_->internalRegisterServiceAPI(Api(0, 0), Impl(kClock));
  EXPECT_THAT(registry_->description(),
              ::testing::MatchesRegex("<SRLRegistry: 0x[0-9a-f]+>\nSingle bindings:\n\\{\n    "
                                      "SRLAPIKey<identifier: clock.*\n\\}\nMulti bindings:\n\\{\n\\}"));
}

}  // namespace
