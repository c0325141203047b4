// The device's accessibility settings as the application layer asks for them: one query per
// feature, each true while the feature is on. All features start off; tests switch them with
// platform::uikit::SetAccessibilityFeature, which posts the feature's change notification
// (ns_notification_center.h) on the calling thread. Every function may be called from any thread.
//
//   platform::uikit::SetAccessibilityFeature(UIAccessibilityFeature::kVoiceOver, true);
//   UIAccessibilityIsVoiceOverRunning();   // true
#ifndef PLATFORM_UIKIT_UI_ACCESSIBILITY_H_
#define PLATFORM_UIKIT_UI_ACCESSIBILITY_H_

bool UIAccessibilityIsVoiceOverRunning();
bool UIAccessibilityIsAssistiveTouchRunning();
bool UIAccessibilityIsSwitchControlRunning();
bool UIAccessibilityIsShakeToUndoEnabled();
bool UIAccessibilityIsClosedCaptioningEnabled();
bool UIAccessibilityIsBoldTextEnabled();
bool UIAccessibilityDarkerSystemColorsEnabled();
bool UIAccessibilityIsGrayscaleEnabled();
bool UIAccessibilityIsGuidedAccessEnabled();
bool UIAccessibilityIsInvertColorsEnabled();
bool UIAccessibilityIsMonoAudioEnabled();
bool UIAccessibilityIsReduceMotionEnabled();
bool UIAccessibilityIsSpeakScreenEnabled();
bool UIAccessibilityIsSpeakSelectionEnabled();

enum class UIAccessibilityFeature {
  kVoiceOver,
  kAssistiveTouch,
  kSwitchControl,
  kShakeToUndo,
  kClosedCaptioning,
  kBoldText,
  kDarkerSystemColors,
  kGrayscale,
  kGuidedAccess,
  kInvertColors,
  kMonoAudio,
  kReduceMotion,
  kSpeakScreen,
  kSpeakSelection,
};

namespace platform::uikit {

// Switches one feature and posts its change notification.
void SetAccessibilityFeature(UIAccessibilityFeature feature, bool on);
// Every feature off, without notifications.
void ResetAccessibilityFeatures();
// How many queries were answered so far (tests tell cached reads from queries with it).
unsigned long AccessibilityQueryCount();

}  // namespace platform::uikit

#endif  // PLATFORM_UIKIT_UI_ACCESSIBILITY_H_
