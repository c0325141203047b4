// Counters by name. A graph owns one `BasicCounterFactory`; calculators ask it (through
// their node, which prefixes the node's name) for counters, which live in its
// `CounterSet` until the set publishes them or is destroyed.

#ifndef QUILLMERE_GRAPH_COUNTER_FACTORY_H_
#define QUILLMERE_GRAPH_COUNTER_FACTORY_H_

#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

#include "absl/base/thread_annotations.h"
#include "graph/counter.h"

namespace kaldren {

class CounterSet {
 public:
  CounterSet() = default;
  CounterSet(const CounterSet&) = delete;
  CounterSet& operator=(const CounterSet&) = delete;
  // Publishes, so the counters are deleted.
  ~CounterSet();

  // The counter of `name`, created with the value 0 when there is none. The pointer stays
  // valid until the set publishes or is destroyed.
  Counter* Emplace(const std::string& name);
  // The counter of `name`, or null.
  Counter* Get(const std::string& name);
  // Every counter's current value, by name.
  std::map<std::string, int64_t> GetCountersValues();
  // Logs "Pellumo Counters:" and one "name: value" line per counter in name order;
  // nothing for an empty set.
  void PrintCounters();
  // Takes every counter out of the set and deletes it.
  void PublishCounters();

 private:
  // A standard lock so that thread sanitizer builds see the locking.
  std::shared_mutex mu_;
  std::map<std::string, std::unique_ptr<Counter>> counters_ ABSL_GUARDED_BY(mu_);
};

class CounterFactory {
 public:
  virtual ~CounterFactory() = default;
  virtual Counter* GetCounter(const std::string& name) = 0;
};

class BasicCounterFactory : public CounterFactory {
 public:
  Counter* GetCounter(const std::string& name) override { return counter_set_.Emplace(name); }
  CounterSet* GetCounterSet() { return &counter_set_; }

 private:
  CounterSet counter_set_;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_COUNTER_FACTORY_H_
