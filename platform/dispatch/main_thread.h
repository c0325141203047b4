// The main thread: the one thread that runs the main queue.
//
// By default it is the process's first thread (the one whose thread id equals the process id).
// A host or test that drives the main queue from another thread calls RegisterMainThread() on it
// first. Foundation's NSThread answers isMainThread from here.

#ifndef PLATFORM_DISPATCH_MAIN_THREAD_H_
#define PLATFORM_DISPATCH_MAIN_THREAD_H_

// True on the main thread.
bool IsMainThread();

namespace platform::dispatch {

// Makes the calling thread the main thread.
void RegisterMainThread();

}  // namespace platform::dispatch

#endif  // PLATFORM_DISPATCH_MAIN_THREAD_H_
