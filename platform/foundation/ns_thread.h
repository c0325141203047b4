// NSThread: the questions the system asks about the calling thread.
//
// The main thread is the dispatch layer's: by default the process's first thread, or the thread
// that called platform::dispatch::RegisterMainThread().
#ifndef PLATFORM_FOUNDATION_NS_THREAD_H_
#define PLATFORM_FOUNDATION_NS_THREAD_H_

#include "platform/dispatch/main_thread.h"

class NSThread {
 public:
  static bool isMainThread() { return IsMainThread(); }
};

#endif  // PLATFORM_FOUNDATION_NS_THREAD_H_
