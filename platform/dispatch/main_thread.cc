#include "platform/dispatch/main_thread.h"

#include <sys/types.h>
#include <unistd.h>

#include <atomic>

namespace {

// 0 until a thread registers: then the process's first thread is the main thread.
std::atomic<pid_t> registered_main_tid{0};

pid_t CurrentTid() {
  thread_local const pid_t tid = gettid();
  return tid;
}

}  // namespace

bool IsMainThread() {
  const pid_t main_tid = registered_main_tid.load(std::memory_order_acquire);
  return CurrentTid() == (main_tid != 0 ? main_tid : getpid());
}

namespace platform::dispatch {

void RegisterMainThread() { registered_main_tid.store(CurrentTid(), std::memory_order_release); }

}  // namespace platform::dispatch
