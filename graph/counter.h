// Named event counters of calculators.

#ifndef QUILLMERE_GRAPH_COUNTER_H_
#define QUILLMERE_GRAPH_COUNTER_H_

#include <cstdint>

namespace kaldren {

class Counter {
 public:
  virtual ~Counter() = default;

  virtual void Increment() = 0;
  virtual void IncrementBy(int amount) = 0;
  virtual int64_t Get() = 0;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_COUNTER_H_
