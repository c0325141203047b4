// The placement view's coaching overlay and its scene, session and coaching callbacks.

#include "platform/uikit/console.h"
#include "views/ar_view.h"
#include "views/extensions.h"

void ARView::setupCoachingOverlay() {
  coaching_overlay_->setSession(session());
  coaching_overlay_->setDelegate(std::static_pointer_cast<ARCoachingOverlayViewDelegate>(Self()));
  coaching_overlay_->setTranslatesAutoresizingMaskIntoConstraints(false);
  addSubview(coaching_overlay_);
  NSLayoutConstraint::activateConstraints({
      coaching_overlay_->centerXAnchor()->constraintEqualToAnchor(centerXAnchor(), 0),
      coaching_overlay_->centerYAnchor()->constraintEqualToAnchor(centerYAnchor(), 0),
      coaching_overlay_->widthAnchor()->constraintEqualToAnchor(widthAnchor(), 0),
      coaching_overlay_->heightAnchor()->constraintEqualToAnchor(heightAnchor(), 0),
  });
  setActivatesAutomatically();
  setGoal();
}

void ARView::setActivatesAutomatically() { coaching_overlay_->setActivatesAutomatically(true); }

void ARView::setGoal() {
  coaching_overlay_->setGoal(usedPlane() == ARPlaneDetectionVertical
                                 ? ARCoachingGoalVerticalPlane
                                 : ARCoachingGoalHorizontalPlane);
}

void ARView::coachingOverlayViewWillActivate(const std::shared_ptr<ARCoachingOverlayView>&) {
  print("hide ui");
  hideVirtualObjects();
}

void ARView::coachingOverlayViewDidDeactivate(const std::shared_ptr<ARCoachingOverlayView>&) {
  print("show ui");
  showVirtualObjects();
}

void ARView::coachingOverlayViewDidRequestSessionReset(
    const std::shared_ptr<ARCoachingOverlayView>&) {
  restartSession();
}

void ARView::rendererDidAddNode(const std::shared_ptr<SCNSceneRenderer>&,
                                const std::shared_ptr<SCNNode>&,
                                const std::shared_ptr<ARAnchor>&) {}

void ARView::rendererUpdateAtTime(const std::shared_ptr<SCNSceneRenderer>&, double) {
  dispatch_async(dispatch_get_main_queue(),
                 [self = Self()] { self->updateFocusSquare(self->isObjectVisible()); });
}

void ARView::rendererDidUpdateNode(const std::shared_ptr<SCNSceneRenderer>&,
                                   const std::shared_ptr<SCNNode>&,
                                   const std::shared_ptr<ARAnchor>& anchor) {
  const std::shared_ptr<VirtualObject> object = virtualObject();
  if (object == nullptr || anchor == nullptr || object->anchor() != anchor) return;
  object->setSimdPosition(translation(anchor->transform()));
  object->setAnchor(anchor);
}

void ARView::sessionDidFailWithError(const std::shared_ptr<ARSession>&,
                                     const std::shared_ptr<NSError>& error) {
  print("session error ");
  print(error->localizedDescription());
}

void ARView::sessionWasInterrupted(const std::shared_ptr<ARSession>&) {
  hideVirtualObjects();
  print("session interrupted");
}

bool ARView::sessionShouldAttemptRelocalization(const std::shared_ptr<ARSession>&) {
  return true;
}
