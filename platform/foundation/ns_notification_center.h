// NSNotificationCenter: a process-wide broadcast of named notifications to registered blocks.
//
// An observer registers a block for a notification name and, optionally, for one sender; a
// post calls every matching block synchronously, on the posting thread, in registration order,
// before `postNotificationName` returns. The centre keeps each registration (and its block)
// until it is removed, whether or not the caller keeps the returned token.
//
// Registration, removal and posting may happen on any thread at any time, also from inside a
// block that is being delivered:
//   - a registration removed while a post is under way is not called by that post if the
//     removal happens before the post reaches it (so a block may remove itself or another
//     observer, and later observers removed that way are skipped);
//   - a registration added while a post is under way is first called by the next post;
//   - removal does not wait for a block that is running on another thread.
// No lock is held while a block runs, so blocks may post further notifications.
//
// Example:
//
//   auto center = NSNotificationCenter::defaultCenter();
//   auto token = center->addObserverForName(
//       UIApplicationDidEnterBackgroundNotification, nullptr,
//       [](const std::shared_ptr<NSNotification>& note) { Flush(); });
//   ...
//   center->removeObserver(token);
#ifndef PLATFORM_FOUNDATION_NS_NOTIFICATION_CENTER_H_
#define PLATFORM_FOUNDATION_NS_NOTIFICATION_CENTER_H_

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/mutex.h"

// Names of the notifications this system posts or observes. The application-state and
// accessibility names belong to the application layer; they live here so that every layer can
// observe them without depending on it.
extern const char* const NSSystemTimeZoneDidChangeNotification;
extern const char* const UIApplicationDidEnterBackgroundNotification;
extern const char* const UIApplicationWillEnterForegroundNotification;
extern const char* const UIApplicationWillTerminateNotification;
extern const char* const UIApplicationSignificantTimeChangeNotification;
extern const char* const UIAccessibilityVoiceOverStatusDidChangeNotification;
extern const char* const UIAccessibilityAssistiveTouchStatusDidChangeNotification;
extern const char* const UIAccessibilityShakeToUndoDidChangeNotification;
extern const char* const UIAccessibilitySwitchControlStatusDidChangeNotification;
extern const char* const UIAccessibilityClosedCaptioningStatusDidChangeNotification;
extern const char* const UIAccessibilityBoldTextStatusDidChangeNotification;
extern const char* const UIAccessibilityDarkerSystemColorsStatusDidChangeNotification;
extern const char* const UIAccessibilityGrayscaleStatusDidChangeNotification;
extern const char* const UIAccessibilityGuidedAccessStatusDidChangeNotification;
extern const char* const UIAccessibilityInvertColorsStatusDidChangeNotification;
extern const char* const UIAccessibilityMonoAudioStatusDidChangeNotification;
extern const char* const UIAccessibilityReduceMotionStatusDidChangeNotification;
extern const char* const UIAccessibilitySpeakScreenStatusDidChangeNotification;
extern const char* const UIAccessibilitySpeakSelectionStatusDidChangeNotification;

using NSNotificationUserInfo = std::map<std::string, std::any>;

// One posted notification: its name, its sender (may be null) and its details.
class NSNotification {
 public:
  NSNotification(std::string name, std::shared_ptr<void> object, NSNotificationUserInfo userInfo)
      : name_(std::move(name)), object_(std::move(object)), user_info_(std::move(userInfo)) {}

  const std::string& name() const { return name_; }
  const std::shared_ptr<void>& object() const { return object_; }
  const NSNotificationUserInfo& userInfo() const { return user_info_; }

 private:
  std::string name_;
  std::shared_ptr<void> object_;
  NSNotificationUserInfo user_info_;
};

using NSNotificationBlock = std::function<void(const std::shared_ptr<NSNotification>&)>;

// The handle of one registration; only `removeObserver` uses it.
class NSNotificationObserverToken {
 public:
  NSNotificationObserverToken(std::string name, const void* sender, const void* owner,
                              NSNotificationBlock block)
      : name_(std::move(name)), sender_(sender), owner_(owner), block_(std::move(block)) {}

 private:
  friend class NSNotificationCenter;
  const std::string name_;  // empty: every name
  const void* const sender_;  // null: every sender
  const void* const owner_;   // the observer object of the target form, or null
  const NSNotificationBlock block_;
  std::atomic<bool> removed_{false};
};

class NSNotificationCenter {
 public:
  // The process's centre; it lives until the process ends.
  static std::shared_ptr<NSNotificationCenter> defaultCenter();

  NSNotificationCenter() = default;
  NSNotificationCenter(const NSNotificationCenter&) = delete;
  NSNotificationCenter& operator=(const NSNotificationCenter&) = delete;

  // Calls `block` for every notification named `name` (every name when empty) posted by
  // `object` (by any sender when null). `object` is compared by address and not kept alive.
  std::shared_ptr<NSNotificationObserverToken> addObserverForName(const std::string& name,
                                                                  const void* object,
                                                                  NSNotificationBlock block);

  // The target form: the registration belongs to `observer` (any address that identifies the
  // observing object, usually `this`), so that `removeObserver(observer)` ends all of them.
  void addObserver(const void* observer, NSNotificationBlock block, const std::string& name,
                   const void* object);

  // Ends one registration. Removing a token twice, or one of another centre, does nothing.
  void removeObserver(const std::shared_ptr<NSNotificationObserverToken>& token);

  // Ends every registration made with the target form for `observer`.
  void removeObserver(const void* observer);

  // Delivers a notification to every matching registration, see the file comment.
  void postNotificationName(const std::string& name, std::shared_ptr<void> object = nullptr,
                            NSNotificationUserInfo userInfo = {});
  void postNotification(const std::shared_ptr<NSNotification>& notification);

 private:
  base::Mutex mutex_;
  // In registration order.
  std::vector<std::shared_ptr<NSNotificationObserverToken>> observers_ ABSL_GUARDED_BY(mutex_);
};

#endif  // PLATFORM_FOUNDATION_NS_NOTIFICATION_CENTER_H_
