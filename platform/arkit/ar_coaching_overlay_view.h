#ifndef PLATFORM_ARKIT_AR_COACHING_OVERLAY_VIEW_H_
#define PLATFORM_ARKIT_AR_COACHING_OVERLAY_VIEW_H_

// The coaching overlay: a view that guides the user until the session tracks well enough for
// its goal. Here tests decide when it comes up, goes away or asks for a session reset; the
// overlay tells its delegate as the platform's does.
//
//   auto overlay = ARCoachingOverlayView::init();
//   overlay->setSession(view->session());
//   overlay->setDelegate(view);                      // an ARCoachingOverlayViewDelegate, weak
//   overlay->setGoal(ARCoachingGoalHorizontalPlane);
//   platform::arkit::SetCoachingActive(*overlay, true);     // coachingOverlayViewWillActivate
//   platform::arkit::RequestSessionReset(*overlay);         // ...DidRequestSessionReset
//
// Main thread only.

#include <memory>

#include "platform/arkit/ar_session.h"
#include "platform/uikit/ui_view.h"

enum ARCoachingGoal : long {
  ARCoachingGoalTracking = 0,
  ARCoachingGoalHorizontalPlane = 1,
  ARCoachingGoalVerticalPlane = 2,
  ARCoachingGoalAnyPlane = 3,
};

class ARCoachingOverlayView;

class ARCoachingOverlayViewDelegate {
 public:
  virtual ~ARCoachingOverlayViewDelegate() = default;
  virtual void coachingOverlayViewWillActivate(
      const std::shared_ptr<ARCoachingOverlayView>& coachingOverlayView) {}
  virtual void coachingOverlayViewDidDeactivate(
      const std::shared_ptr<ARCoachingOverlayView>& coachingOverlayView) {}
  virtual void coachingOverlayViewDidRequestSessionReset(
      const std::shared_ptr<ARCoachingOverlayView>& coachingOverlayView) {}
};

class ARCoachingOverlayView : public UIView {
 public:
  static std::shared_ptr<ARCoachingOverlayView> init() {
    return std::make_shared<ARCoachingOverlayView>();
  }

  std::shared_ptr<ARSession> session() const { return session_; }
  void setSession(std::shared_ptr<ARSession> session) { session_ = std::move(session); }
  std::shared_ptr<ARCoachingOverlayViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<ARCoachingOverlayViewDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  bool activatesAutomatically() const { return activates_automatically_; }
  void setActivatesAutomatically(bool on) { activates_automatically_ = on; }
  ARCoachingGoal goal() const { return goal_; }
  void setGoal(ARCoachingGoal goal) { goal_ = goal; }
  bool isActive() const { return active_; }

  // Stand-in plumbing (platform::arkit below): the delegate hears of activation before the
  // overlay counts as active and of deactivation after.
  void SetActive(bool active);
  void RequestSessionReset();

 private:
  std::shared_ptr<ARCoachingOverlayView> Self() {
    return std::static_pointer_cast<ARCoachingOverlayView>(shared_from_this());
  }

  std::shared_ptr<ARSession> session_;
  std::weak_ptr<ARCoachingOverlayViewDelegate> delegate_;
  bool activates_automatically_ = false;
  ARCoachingGoal goal_ = ARCoachingGoalTracking;
  bool active_ = false;
};

namespace platform::arkit {

// The overlay comes up (true) or goes away (false); nothing happens when it already is so.
inline void SetCoachingActive(ARCoachingOverlayView& overlay, bool active) {
  overlay.SetActive(active);
}
// The user taps the overlay's reset button.
inline void RequestSessionReset(ARCoachingOverlayView& overlay) { overlay.RequestSessionReset(); }

}  // namespace platform::arkit

#endif  // PLATFORM_ARKIT_AR_COACHING_OVERLAY_VIEW_H_
