// The base of every calculator of the current interface.
//
// The graph calls Open once per run, Process once per input set and Close once, each with
// the invocation's context, on executor threads but never two at once for one node. Each
// calculator class also supplies a static `absl::Status GetContract(CalculatorContract*)`
// that declares its streams, side packets and services; the graph reaches it through the
// class's registration, never through an object. A calculator's source file includes
// graph/calculator.h, which brings this class with everything else it needs.

#ifndef QUILLMERE_GRAPH_CALCULATOR_BASE_H_
#define QUILLMERE_GRAPH_CALCULATOR_BASE_H_

#include "base/status.h"
#include "graph/calculator_context.h"
#include "graph/timestamp.h"

namespace kaldren {

class CalculatorBase {
 public:
  CalculatorBase() = default;
  CalculatorBase(const CalculatorBase&) = delete;
  CalculatorBase& operator=(const CalculatorBase&) = delete;
  virtual ~CalculatorBase() = default;

  virtual absl::Status Open(CalculatorContext* cc) { return absl::OkStatus(); }
  virtual absl::Status Process(CalculatorContext* cc) = 0;
  virtual absl::Status Close(CalculatorContext* cc) { return absl::OkStatus(); }

  // Orders source nodes in the scheduler: by default the smallest next timestamp bound of
  // the outputs, Timestamp::Max() without outputs.
  virtual Timestamp SourceProcessOrder(const CalculatorContext* cc) const;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATOR_BASE_H_
