#include "graph/counter_factory.h"

#include <mutex>
#include <shared_mutex>
#include <utility>

#include "base/logging.h"

namespace kaldren {
namespace {

class BasicCounter : public Counter {
 public:
  void Increment() override {
    std::unique_lock<std::shared_mutex> lock(mu_);
    ++value_;
  }
  void IncrementBy(int amount) override {
    std::unique_lock<std::shared_mutex> lock(mu_);
    value_ += amount;
  }
  int64_t Get() override {
    std::shared_lock<std::shared_mutex> lock(mu_);
    return value_;
  }

 private:
  std::shared_mutex mu_;
  int64_t value_ ABSL_GUARDED_BY(mu_) = 0;
};

}  // namespace

CounterSet::~CounterSet() { PublishCounters(); }

Counter* CounterSet::Emplace(const std::string& name) {
  std::unique_lock<std::shared_mutex> lock(mu_);
  std::unique_ptr<Counter>& counter = counters_[name];
  if (counter == nullptr) counter = std::make_unique<BasicCounter>();
  return counter.get();
}

Counter* CounterSet::Get(const std::string& name) {
  std::shared_lock<std::shared_mutex> lock(mu_);
  auto it = counters_.find(name);
  return it == counters_.end() ? nullptr : it->second.get();
}

std::map<std::string, int64_t> CounterSet::GetCountersValues() {
  std::shared_lock<std::shared_mutex> lock(mu_);
  std::map<std::string, int64_t> values;
  for (const auto& [name, counter] : counters_) values[name] = counter->Get();
  return values;
}

void CounterSet::PrintCounters() {
  std::shared_lock<std::shared_mutex> lock(mu_);
  if (counters_.empty()) return;
  LOG(INFO) << "Pellumo Counters:";
  for (const auto& [name, counter] : counters_) {
    LOG(INFO) << name << ": " << counter->Get();
  }
}

void CounterSet::PublishCounters() {
  std::map<std::string, std::unique_ptr<Counter>> counters;
  {
    std::unique_lock<std::shared_mutex> lock(mu_);
    counters.swap(counters_);
  }
}

}  // namespace kaldren
