#ifndef PLATFORM_UIKIT_UI_APPLICATION_H_
#define PLATFORM_UIKIT_UI_APPLICATION_H_

// The application object: its state, which a test sets (the process is always "active" unless
// told otherwise). Thread-safe.
//
//   if (UIApplication::sharedApplication()->applicationState() == UIApplicationStateActive) ...
//   platform::uikit::SetApplicationState(UIApplicationStateBackground);

#include <functional>
#include <memory>
#include <string>
#include <vector>

enum UIApplicationState : long {
  UIApplicationStateActive = 0,
  UIApplicationStateInactive = 1,
  UIApplicationStateBackground = 2,
};

// Background tasks (ui_background_task.cc): work that asks to keep running while the app is in
// the background. A task has a name and an expiration handler; it is ended with its identifier.
using UIBackgroundTaskIdentifier = unsigned long;
inline constexpr UIBackgroundTaskIdentifier UIBackgroundTaskInvalid = 0;

class UIApplication {
 public:
  static UIApplication* sharedApplication();
  UIApplicationState applicationState() const;
  bool isIdleTimerDisabled() const;
  void setIdleTimerDisabled(bool disabled);

  // A new task, or UIBackgroundTaskInvalid while the system refuses tasks.
  UIBackgroundTaskIdentifier beginBackgroundTaskWithName(const std::string& taskName,
                                                         std::function<void()> handler);
  // Ends the task; an identifier that is not running (or invalid) is ignored.
  void endBackgroundTask(UIBackgroundTaskIdentifier identifier);
};

namespace platform::uikit {

void SetApplicationState(UIApplicationState state);

// Background-task hooks for tests. While refusing, beginBackgroundTaskWithName answers invalid.
void SetRefusesBackgroundTasks(bool refuses);
// The names of the tasks begun and not yet ended, in order of beginning.
std::vector<std::string> RunningBackgroundTasks();
// How many tasks were begun (and granted) since the process started.
unsigned long BackgroundTasksBegun();
// Calls the expiration handler of every running task, on the calling thread, as the system does
// when background time runs out. The handlers are expected to end their tasks.
void ExpireBackgroundTasks();

// Sets the application state and posts the matching notification on the calling thread:
// background posts UIApplicationDidEnterBackgroundNotification, active after background posts
// UIApplicationWillEnterForegroundNotification.
void MoveApplicationToState(UIApplicationState state);
// Posts UIApplicationWillTerminateNotification.
void TerminateApplication();

}  // namespace platform::uikit

#endif  // PLATFORM_UIKIT_UI_APPLICATION_H_
