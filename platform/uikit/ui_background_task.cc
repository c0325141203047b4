#include <map>
#include <mutex>
#include <utility>

#include "platform/foundation/ns_notification_center.h"
#include "platform/uikit/ui_application.h"

namespace {

struct Task {
  std::string name;
  std::function<void()> handler;
};

struct Tasks {
  std::mutex mutex;
  bool refuses = false;
  UIBackgroundTaskIdentifier next = 1;
  unsigned long begun = 0;
  std::map<UIBackgroundTaskIdentifier, Task> running;
};

Tasks& AllTasks() {
  static Tasks* tasks = new Tasks;
  return *tasks;
}

}  // namespace

UIBackgroundTaskIdentifier UIApplication::beginBackgroundTaskWithName(
    const std::string& taskName, std::function<void()> handler) {
  Tasks& tasks = AllTasks();
  std::lock_guard<std::mutex> lock(tasks.mutex);
  if (tasks.refuses) return UIBackgroundTaskInvalid;
  UIBackgroundTaskIdentifier id = tasks.next++;
  tasks.running[id] = Task{taskName, std::move(handler)};
  ++tasks.begun;
  return id;
}

void UIApplication::endBackgroundTask(UIBackgroundTaskIdentifier identifier) {
  Tasks& tasks = AllTasks();
  std::lock_guard<std::mutex> lock(tasks.mutex);
  tasks.running.erase(identifier);
}

namespace platform::uikit {

void SetRefusesBackgroundTasks(bool refuses) {
  Tasks& tasks = AllTasks();
  std::lock_guard<std::mutex> lock(tasks.mutex);
  tasks.refuses = refuses;
}

std::vector<std::string> RunningBackgroundTasks() {
  Tasks& tasks = AllTasks();
  std::lock_guard<std::mutex> lock(tasks.mutex);
  std::vector<std::string> names;
  for (const auto& [id, task] : tasks.running) names.push_back(task.name);
  return names;
}

unsigned long BackgroundTasksBegun() {
  Tasks& tasks = AllTasks();
  std::lock_guard<std::mutex> lock(tasks.mutex);
  return tasks.begun;
}

void ExpireBackgroundTasks() {
  std::vector<std::function<void()>> handlers;
  {
    Tasks& tasks = AllTasks();
    std::lock_guard<std::mutex> lock(tasks.mutex);
    for (const auto& [id, task] : tasks.running) handlers.push_back(task.handler);
  }
  // Outside the lock: a handler ends its own task.
  for (const auto& handler : handlers) {
    if (handler) handler();
  }
}

void MoveApplicationToState(UIApplicationState state) {
  UIApplicationState before = UIApplication::sharedApplication()->applicationState();
  SetApplicationState(state);
  auto center = NSNotificationCenter::defaultCenter();
  if (state == UIApplicationStateBackground && before != UIApplicationStateBackground) {
    center->postNotificationName(UIApplicationDidEnterBackgroundNotification, nullptr);
  } else if (state != UIApplicationStateBackground && before == UIApplicationStateBackground) {
    center->postNotificationName(UIApplicationWillEnterForegroundNotification, nullptr);
  }
}

void TerminateApplication() {
  NSNotificationCenter::defaultCenter()->postNotificationName(
      UIApplicationWillTerminateNotification, nullptr);
}

}  // namespace platform::uikit
