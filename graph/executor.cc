#include "graph/executor.h"

namespace kaldren {

TaskQueue::~TaskQueue() = default;

Executor::~Executor() = default;

}  // namespace kaldren
