#include "platform/uikit/ui_accessibility.h"

#include <atomic>

#include "platform/foundation/ns_notification_center.h"

namespace {

constexpr int kFeatureCount = 14;

std::atomic<bool> features[kFeatureCount];
std::atomic<unsigned long> queries{0};

bool Query(UIAccessibilityFeature feature) {
  queries.fetch_add(1);
  return features[static_cast<int>(feature)].load();
}

const char* NotificationOf(UIAccessibilityFeature feature) {
  switch (feature) {
    case UIAccessibilityFeature::kVoiceOver:
      return UIAccessibilityVoiceOverStatusDidChangeNotification;
    case UIAccessibilityFeature::kAssistiveTouch:
      return UIAccessibilityAssistiveTouchStatusDidChangeNotification;
    case UIAccessibilityFeature::kSwitchControl:
      return UIAccessibilitySwitchControlStatusDidChangeNotification;
    case UIAccessibilityFeature::kShakeToUndo:
      return UIAccessibilityShakeToUndoDidChangeNotification;
    case UIAccessibilityFeature::kClosedCaptioning:
      return UIAccessibilityClosedCaptioningStatusDidChangeNotification;
    case UIAccessibilityFeature::kBoldText:
      return UIAccessibilityBoldTextStatusDidChangeNotification;
    case UIAccessibilityFeature::kDarkerSystemColors:
      return UIAccessibilityDarkerSystemColorsStatusDidChangeNotification;
    case UIAccessibilityFeature::kGrayscale:
      return UIAccessibilityGrayscaleStatusDidChangeNotification;
    case UIAccessibilityFeature::kGuidedAccess:
      return UIAccessibilityGuidedAccessStatusDidChangeNotification;
    case UIAccessibilityFeature::kInvertColors:
      return UIAccessibilityInvertColorsStatusDidChangeNotification;
    case UIAccessibilityFeature::kMonoAudio:
      return UIAccessibilityMonoAudioStatusDidChangeNotification;
    case UIAccessibilityFeature::kReduceMotion:
      return UIAccessibilityReduceMotionStatusDidChangeNotification;
    case UIAccessibilityFeature::kSpeakScreen:
      return UIAccessibilitySpeakScreenStatusDidChangeNotification;
    case UIAccessibilityFeature::kSpeakSelection:
      return UIAccessibilitySpeakSelectionStatusDidChangeNotification;
  }
  return "";
}

}  // namespace

bool UIAccessibilityIsVoiceOverRunning() { return Query(UIAccessibilityFeature::kVoiceOver); }
bool UIAccessibilityIsAssistiveTouchRunning() {
  return Query(UIAccessibilityFeature::kAssistiveTouch);
}
bool UIAccessibilityIsSwitchControlRunning() {
  return Query(UIAccessibilityFeature::kSwitchControl);
}
bool UIAccessibilityIsShakeToUndoEnabled() { return Query(UIAccessibilityFeature::kShakeToUndo); }
bool UIAccessibilityIsClosedCaptioningEnabled() {
  return Query(UIAccessibilityFeature::kClosedCaptioning);
}
bool UIAccessibilityIsBoldTextEnabled() { return Query(UIAccessibilityFeature::kBoldText); }
bool UIAccessibilityDarkerSystemColorsEnabled() {
  return Query(UIAccessibilityFeature::kDarkerSystemColors);
}
bool UIAccessibilityIsGrayscaleEnabled() { return Query(UIAccessibilityFeature::kGrayscale); }
bool UIAccessibilityIsGuidedAccessEnabled() {
  return Query(UIAccessibilityFeature::kGuidedAccess);
}
bool UIAccessibilityIsInvertColorsEnabled() {
  return Query(UIAccessibilityFeature::kInvertColors);
}
bool UIAccessibilityIsMonoAudioEnabled() { return Query(UIAccessibilityFeature::kMonoAudio); }
bool UIAccessibilityIsReduceMotionEnabled() {
  return Query(UIAccessibilityFeature::kReduceMotion);
}
bool UIAccessibilityIsSpeakScreenEnabled() { return Query(UIAccessibilityFeature::kSpeakScreen); }
bool UIAccessibilityIsSpeakSelectionEnabled() {
  return Query(UIAccessibilityFeature::kSpeakSelection);
}

namespace platform::uikit {

void SetAccessibilityFeature(UIAccessibilityFeature feature, bool on) {
  features[static_cast<int>(feature)].store(on);
  NSNotificationCenter::defaultCenter()->postNotificationName(NotificationOf(feature), nullptr);
}

void ResetAccessibilityFeatures() {
  for (auto& feature : features) feature.store(false);
}

unsigned long AccessibilityQueryCount() { return queries.load(); }

}  // namespace platform::uikit
