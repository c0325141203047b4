// NSOperationQueue: a serial queue of blocks with a thread of its own.
//
// Blocks added with `addOperationWithBlock` run one at a time, in the order added, on the
// queue's thread, which starts with the first block and is named after the queue (cut to the
// 15 characters Linux allows). `currentQueue()` answers the queue whose block is running on the
// calling thread. `waitUntilAllOperationsAreFinished` blocks until every block added before
// the call has run; calling it from a block of the same queue would wait forever and is a
// failed check.
//
// Destroying a queue waits for the blocks already added to run. When the last reference goes
// away inside one of the queue's own blocks, the remaining blocks still run and the thread
// ends by itself afterwards.
//
// Example:
//
//   auto queue = NSOperationQueue::init();
//   queue->setName("Downloads");
//   queue->addOperationWithBlock([] { ... });
//   queue->waitUntilAllOperationsAreFinished();
#ifndef PLATFORM_FOUNDATION_NS_OPERATION_QUEUE_H_
#define PLATFORM_FOUNDATION_NS_OPERATION_QUEUE_H_

#include <functional>
#include <memory>
#include <string>

class NSOperationQueue {
 public:
  static std::shared_ptr<NSOperationQueue> init();
  // The queue running the calling thread's current block, or null.
  static NSOperationQueue* currentQueue();

  NSOperationQueue();
  ~NSOperationQueue();
  NSOperationQueue(const NSOperationQueue&) = delete;
  NSOperationQueue& operator=(const NSOperationQueue&) = delete;

  void addOperationWithBlock(std::function<void()> block);
  void waitUntilAllOperationsAreFinished();

  std::string name() const;
  // Also renames a thread that already runs.
  void setName(const std::string& name);

  // Operations are always run one at a time.
  long maxConcurrentOperationCount() const { return 1; }

 private:
  struct State;
  std::shared_ptr<State> state_;
};

#endif  // PLATFORM_FOUNDATION_NS_OPERATION_QUEUE_H_
