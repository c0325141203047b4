#ifndef PLATFORM_UIKIT_UI_APPLICATION_H_
#define PLATFORM_UIKIT_UI_APPLICATION_H_

// The application object: its state, which a test sets (the process is always "active" unless
// told otherwise). Thread-safe.
//
//   if (UIApplication::sharedApplication()->applicationState() == UIApplicationStateActive) ...
//   platform::uikit::SetApplicationState(UIApplicationStateBackground);

#include <memory>

enum UIApplicationState : long {
  UIApplicationStateActive = 0,
  UIApplicationStateInactive = 1,
  UIApplicationStateBackground = 2,
};

class UIApplication {
 public:
  static UIApplication* sharedApplication();
  UIApplicationState applicationState() const;
  bool isIdleTimerDisabled() const;
  void setIdleTimerDisabled(bool disabled);
};

namespace platform::uikit {

void SetApplicationState(UIApplicationState state);

}  // namespace platform::uikit

#endif  // PLATFORM_UIKIT_UI_APPLICATION_H_
