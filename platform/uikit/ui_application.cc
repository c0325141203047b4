#include "platform/uikit/ui_application.h"

#include <atomic>

namespace {

std::atomic<UIApplicationState> state{UIApplicationStateActive};
std::atomic<bool> idle_timer_disabled{false};

}  // namespace

UIApplication* UIApplication::sharedApplication() {
  static UIApplication* application = new UIApplication;
  return application;
}

UIApplicationState UIApplication::applicationState() const { return state.load(); }

bool UIApplication::isIdleTimerDisabled() const { return idle_timer_disabled.load(); }

void UIApplication::setIdleTimerDisabled(bool disabled) { idle_timer_disabled.store(disabled); }

namespace platform::uikit {

void SetApplicationState(UIApplicationState s) { state.store(s); }

}  // namespace platform::uikit
