// One node of a running graph.

#ifndef QUILLMERE_GRAPH_CALCULATOR_NODE_H_
#define QUILLMERE_GRAPH_CALCULATOR_NODE_H_

#include <string>

#include "base/status.h"
#include "graph/timestamp.h"

namespace kaldren {

class CalculatorContext;
namespace internal {
class SchedulerQueue;
}  // namespace internal

// What the scheduler and its queues use of a node. The operations are virtual so that they
// can be exercised with a stand-in node.
class CalculatorNode {
 public:
  virtual ~CalculatorNode() = default;

  // The node's index in the sorted graph.
  virtual int Id() const = 0;
  // Identifies the node in log lines and error texts.
  virtual std::string DebugName() const = 0;
  // No input streams and at least one output stream.
  virtual bool IsSource() const = 0;
  virtual int SourceLayer() const = 0;
  // The calculator's source process order for `cc`.
  virtual Timestamp SourceProcessOrder(const CalculatorContext* cc) const = 0;
  virtual bool Closed() const = 0;

  // Reserves one in-flight invocation; false when every slot is taken.
  virtual bool TryToBeginScheduling() = 0;
  virtual absl::Status OpenNode() = 0;
  // After a successful OpenNode.
  virtual void NodeOpened() = 0;
  virtual absl::Status ProcessNode(CalculatorContext* cc) = 0;
  virtual absl::Status CloseNode(const absl::Status& graph_status, bool graph_run_ended) = 0;
  // One invocation finished; schedules further ready input sets.
  virtual void EndScheduling() = 0;

  // What the scheduler adds to that.
  // An opened source whose source layer is activated.
  virtual void ActivateNode() = 0;
  // The context of a node that does not run invocations in parallel.
  virtual CalculatorContext* DefaultContext() const = 0;
  // Empty for the default executor.
  virtual const std::string& ExecutorName() const = 0;

  internal::SchedulerQueue* GetSchedulerQueue() const { return scheduler_queue_; }
  // Set by the scheduler before each run.
  void SetSchedulerQueue(internal::SchedulerQueue* queue) { scheduler_queue_ = queue; }

 private:
  internal::SchedulerQueue* scheduler_queue_ = nullptr;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_CALCULATOR_NODE_H_
