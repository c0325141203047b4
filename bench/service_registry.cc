// Service lookups over a generated table of 10,000 API records: the first lookup of each key
// (binary search, lazy registration, first instance), a memoized lookup of a registered key,
// and a std::unordered_map from identifier to instance as the baseline.
#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "benchmark/benchmark.h"
#include "infra/srl_registry.h"

namespace {

using platform::objc::Class;

const Class* const kBenchClass = platform::objc::RegisterClass(
    "RegistryBenchService", nullptr, {platform::objc::RegisterProtocol("RegistryBenchAPI", {})});

class BenchService : public platform::objc::Object {
 public:
  const Class* objcClass() const override { return kBenchClass; }
};

SRLFactoryBlock MakeService(const std::shared_ptr<SRLInstanceType>&) {
  return [](const std::shared_ptr<SRLAccountID>&) -> SRLInstance {
    return std::make_shared<BenchService>();
  };
}

constexpr _SRLImplementationRegistrationData kImplementation[] = {
    {.instanceType = {.className = "RegistryBenchService"},
     .configurationInstanceType = {.className = nullptr},
     .factoryBlockProvider = &MakeService,
     .lifetime = SRLLifetimeScoped,
     .scope = SRLScopeApp}};

struct Table {
  std::deque<std::string> names;
  std::vector<_SRLAPIRegistrationData> records;
  std::vector<std::shared_ptr<SRLAPIKey>> keys;  // in a shuffled order
};

// Names "svc0" .. "svc9999", sorted by length and bytes.
const Table& GetTable() {
  static const Table* table = [] {
    auto* t = new Table;
    std::vector<std::string> names;
    for (int i = 0; i < 10000; ++i) names.push_back("svc" + std::to_string(i));
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
      return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    auto type = SRLProtocolType::initWithProtocol(
        platform::objc::NSProtocolFromString("RegistryBenchAPI"));
    for (const std::string& name : names) {
      t->names.push_back(name);
      t->records.push_back(
          {.name = t->names.back().c_str(),
           .implementations = kImplementation,
           .instanceType = {.names = {.protocolName = "RegistryBenchAPI", .className = nullptr}},
           .nameLength = static_cast<uint16_t>(name.size()),
           .implementationCount = 1});
      t->keys.push_back(SRLAPIKey::initWithIdentifier(name, type, nullptr));
    }
    for (size_t i = 0; i < t->keys.size(); ++i) {
      std::swap(t->keys[i], t->keys[(i * 7919) % t->keys.size()]);
    }
    return t;
  }();
  return *table;
}

std::shared_ptr<SRLRegistry> FreshRegistry() {
  const Table& table = GetTable();
  auto registry = SRLRegistry::initPrivate();
  SRLRegistry::overrideSharedInstance(registry);  // scoped blocks memoize here
  registry->internalRegisterBindings(
      {.apisBegin = table.records.data(), .apisEnd = table.records.data() + table.records.size()});
  return registry;
}

void BM_FirstLookup(benchmark::State& state) {
  const Table& table = GetTable();
  SRLRegistry::sharedInstance();
  std::shared_ptr<SRLRegistry> registry;
  size_t next = table.keys.size();
  for (auto _ : state) {
    if (next == table.keys.size()) {
      state.PauseTiming();
      registry = FreshRegistry();
      next = 0;
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(registry->internalAppScopedService(table.keys[next++]));
  }
}
BENCHMARK(BM_FirstLookup);

void BM_MemoizedLookup(benchmark::State& state) {
  const Table& table = GetTable();
  SRLRegistry::sharedInstance();
  auto registry = FreshRegistry();
  for (const auto& key : table.keys) registry->internalAppScopedService(key);
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(registry->internalAppScopedService(table.keys[next]));
    next = next + 1 == table.keys.size() ? 0 : next + 1;
  }
}
BENCHMARK(BM_MemoizedLookup);

void BM_UnorderedMapBaseline(benchmark::State& state) {
  const Table& table = GetTable();
  std::unordered_map<std::string, SRLInstance> map;
  for (const auto& key : table.keys) map.emplace(key->identifier(), std::make_shared<BenchService>());
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(table.keys[next]->identifier())->second);
    next = next + 1 == table.keys.size() ? 0 : next + 1;
  }
}
BENCHMARK(BM_UnorderedMapBaseline);

}  // namespace

BENCHMARK_MAIN();
