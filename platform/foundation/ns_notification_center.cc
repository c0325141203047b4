#include "platform/foundation/ns_notification_center.h"

#include <algorithm>
#include <utility>

#define QM_NOTIFICATION_NAME(name) const char* const name = #name
QM_NOTIFICATION_NAME(NSSystemTimeZoneDidChangeNotification);
QM_NOTIFICATION_NAME(UIApplicationDidEnterBackgroundNotification);
QM_NOTIFICATION_NAME(UIApplicationWillEnterForegroundNotification);
QM_NOTIFICATION_NAME(UIApplicationWillTerminateNotification);
QM_NOTIFICATION_NAME(UIApplicationSignificantTimeChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityVoiceOverStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityAssistiveTouchStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityShakeToUndoDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilitySwitchControlStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityClosedCaptioningStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityBoldTextStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityDarkerSystemColorsStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityGrayscaleStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityGuidedAccessStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityInvertColorsStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityMonoAudioStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilityReduceMotionStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilitySpeakScreenStatusDidChangeNotification);
QM_NOTIFICATION_NAME(UIAccessibilitySpeakSelectionStatusDidChangeNotification);
#undef QM_NOTIFICATION_NAME

std::shared_ptr<NSNotificationCenter> NSNotificationCenter::defaultCenter() {
  static auto* center = new std::shared_ptr<NSNotificationCenter>(
      std::make_shared<NSNotificationCenter>());
  return *center;
}

std::shared_ptr<NSNotificationObserverToken> NSNotificationCenter::addObserverForName(
    const std::string& name, const void* object, NSNotificationBlock block) {
  auto token = std::make_shared<NSNotificationObserverToken>(name, object, nullptr,
                                                             std::move(block));
  base::MutexLock lock(&mutex_);
  observers_.push_back(token);
  return token;
}

void NSNotificationCenter::addObserver(const void* observer, NSNotificationBlock block,
                                       const std::string& name, const void* object) {
  auto token = std::make_shared<NSNotificationObserverToken>(name, object, observer,
                                                             std::move(block));
  base::MutexLock lock(&mutex_);
  observers_.push_back(std::move(token));
}

void NSNotificationCenter::removeObserver(
    const std::shared_ptr<NSNotificationObserverToken>& token) {
  if (token == nullptr) return;
  base::MutexLock lock(&mutex_);
  auto it = std::find(observers_.begin(), observers_.end(), token);
  if (it == observers_.end()) return;
  token->removed_.store(true);
  observers_.erase(it);
}

void NSNotificationCenter::removeObserver(const void* observer) {
  if (observer == nullptr) return;
  base::MutexLock lock(&mutex_);
  std::erase_if(observers_, [observer](const std::shared_ptr<NSNotificationObserverToken>& t) {
    if (t->owner_ != observer) return false;
    t->removed_.store(true);
    return true;
  });
}

void NSNotificationCenter::postNotificationName(const std::string& name,
                                                std::shared_ptr<void> object,
                                                NSNotificationUserInfo userInfo) {
  postNotification(
      std::make_shared<NSNotification>(name, std::move(object), std::move(userInfo)));
}

void NSNotificationCenter::postNotification(const std::shared_ptr<NSNotification>& notification) {
  // Deliver to a snapshot taken under the lock; the blocks run without it, so they may
  // register, remove and post.
  if (notification == nullptr) return;
  std::vector<std::shared_ptr<NSNotificationObserverToken>> matching;
  {
    base::MutexLock lock(&mutex_);
    for (const auto& token : observers_) {
      if (!token->name_.empty() && token->name_ != notification->name()) continue;
      if (token->sender_ != nullptr && token->sender_ != notification->object().get()) continue;
      matching.push_back(token);
    }
  }
  for (const auto& token : matching) {
    if (token->removed_.load()) continue;
    token->block_(notification);
  }
}
