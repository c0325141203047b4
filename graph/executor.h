// The interfaces through which the graph's scheduler hands work to threads.

#ifndef QUILLMERE_GRAPH_EXECUTOR_H_
#define QUILLMERE_GRAPH_EXECUTOR_H_

#include <functional>

namespace kaldren {

// A queue of tasks of which an executor runs one at a time.
class TaskQueue {
 public:
  virtual ~TaskQueue();

  // Removes the queue's next task and runs it on the calling thread.
  virtual void RunNextTask() = 0;
};

// Runs tasks on threads of its choosing.
class Executor {
 public:
  virtual ~Executor();

  // Asks the executor to run the next task of `task_queue` once. The queue must outlive the
  // scheduled run.
  virtual void AddTask(TaskQueue* task_queue) {
    Schedule([task_queue] { task_queue->RunNextTask(); });
  }

  // Runs `task` once, at some later time.
  virtual void Schedule(std::function<void()> task) = 0;
};

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_EXECUTOR_H_
