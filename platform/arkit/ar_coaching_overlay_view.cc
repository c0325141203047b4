#include "platform/arkit/ar_coaching_overlay_view.h"

void ARCoachingOverlayView::SetActive(bool active) {
  if (active == active_) return;
  auto delegate = this->delegate();
  if (active) {
    if (delegate != nullptr) delegate->coachingOverlayViewWillActivate(Self());
    active_ = true;
    return;
  }
  active_ = false;
  if (delegate != nullptr) delegate->coachingOverlayViewDidDeactivate(Self());
}

void ARCoachingOverlayView::RequestSessionReset() {
  if (auto delegate = this->delegate()) delegate->coachingOverlayViewDidRequestSessionReset(Self());
}
