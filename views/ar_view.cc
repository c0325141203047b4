// The placement view: set-up, host settings, the per-frame focus-square update, control
// visibility, tracking resets and restarts.

#include "views/ar_view.h"

#include <utility>

#include "platform/foundation/device.h"
#include "platform/uikit/console.h"
#include "views/extensions.h"

std::shared_ptr<ARView> ARView::init() { return initWithFrame(CGRectZero, {}); }

std::shared_ptr<ARView> ARView::initWithFrame(CGRect frame, const Options& options) {
  return Create<ARView>(frame, options);
}

std::shared_ptr<ARView> ARView::initWithCoder(NSCoder* coder) {
  return CreateFromCoder<ARView>(coder);
}

ARView::ARView(ConstructionToken token, CGRect frame, Options options)
    : BaseARSCNView(token, frame, std::move(options)) {}

std::shared_ptr<VirtualObjectInteraction> ARView::virtualObjectInteraction() {
  if (virtual_object_interaction_ == nullptr) {
    virtual_object_interaction_ = VirtualObjectInteraction::init(Self());
  }
  return virtual_object_interaction_;
}

void ARView::setVirtualObjectInteraction(std::shared_ptr<VirtualObjectInteraction> interaction) {
  virtual_object_interaction_ = std::move(interaction);
}

void ARView::setUsedPlane(const std::string& planeString) {
  setUsedPlane(planeString == "vertical" ? ARPlaneDetectionVertical : ARPlaneDetectionHorizontal);
}

void ARView::setIsMultipleObjectModeAllowed(bool isAllowed) {
  print(std::string("Multiple Object mode set to ") + (isAllowed ? "true" : "false"));
  is_multiple_object_mode_allowed_.store(isAllowed);
}

void ARView::setIsMultipleSameObjectAllowed(bool isAllowed) {
  print(std::string("Multiple Same Object mode set to ") + (isAllowed ? "true" : "false"));
  is_multiple_same_object_allowed_.store(isAllowed);
}

void ARView::finishInitialization() {
  BaseARSCNView::finishInitialization();
  auto self = Self();
  setDelegate(std::static_pointer_cast<ARSCNViewDelegate>(self));
  session()->setDelegate(std::static_pointer_cast<ARSessionDelegate>(self));
  scene()->rootNode()->addChildNode(focus_square_);
  resetTracking();
  addViews();
  setupCoachingOverlay();
  print("finish init called");
}

void ARView::resetTracking() {
  setIsObjectVisible(false);
  virtualObjectInteraction()->setTrackedObject(nullptr);
  auto configuration = ARWorldTrackingConfiguration::init();
  configuration->setPlaneDetection(usedPlane());
  if (platform::foundation::IsSystemVersionAtLeast(12, 0)) {
    configuration->setEnvironmentTexturing(AREnvironmentTexturingAutomatic);
  }
  setAutoenablesDefaultLighting(true);
  setShowsStatistics(true);
  session()->runWithConfiguration(
      configuration, ARSessionRunOptionResetTracking | ARSessionRunOptionRemoveExistingAnchors);
}

void ARView::updateFocusSquare(bool isObjectVisible) {
  const bool single = !isMultipleObjectModeAllowed() && !isMultipleSameObjectAllowed();
  if ((isObjectVisible && single) || coaching_overlay_->isActive()) {
    focus_square_->hide();
  } else {
    focus_square_->unhide();
  }

  const std::shared_ptr<ARFrame> frame = session()->currentFrame();
  const std::shared_ptr<ARCamera> camera = frame != nullptr ? frame->camera() : nullptr;
  if (camera != nullptr && camera->trackingState() == ARTrackingStateNormal) {
    if (std::shared_ptr<ARRaycastQuery> query = getRaycastQuery(*this)) {
      const std::vector<ARRaycastResult> results = castRay(*this, *query);
      if (!results.empty()) {
        auto result = std::make_shared<const ARRaycastResult>(results.front());
        dispatch_async(updateQueue(), [self = Self(), result, camera] {
          self->scene()->rootNode()->addChildNode(self->focus_square_);
          self->focus_square_->setState(FocusSquare::State::detecting(result, camera));
        });
        if (!coaching_overlay_->isActive()) showUI(isObjectVisible);
        return;
      }
    }
  }
  // Nothing usable under the centre: the square floats in front of the camera.
  dispatch_async(updateQueue(), [self = Self()] {
    self->focus_square_->setState(FocusSquare::State::initializing());
    if (auto camera_node = self->pointOfView()) camera_node->addChildNode(self->focus_square_);
  });
  if (coaching_overlay_->isActive() || !isObjectVisible) hideUI();
}

void ARView::showUI(bool isObjectPlaced) {
  if (!isObjectPlaced) {
    place_object_button_->setHidden(false);
    rotate_object_left_button_->setHidden(true);
    rotate_object_right_button_->setHidden(true);
    screenShotButton()->setHidden(true);
  } else if (isMultipleObjectModeAllowed() || isMultipleSameObjectAllowed()) {
    screenShotButton()->setHidden(true);
    place_object_button_->setHidden(false);
  } else {
    place_object_button_->setHidden(true);
    screenShotButton()->setHidden(false);
    rotate_object_left_button_->setHidden(false);
    rotate_object_right_button_->setHidden(false);
  }
}

void ARView::hideUI() {
  place_object_button_->setHidden(true);
  rotate_object_left_button_->setHidden(true);
  rotate_object_right_button_->setHidden(true);
  screenShotButton()->setHidden(true);
}

void ARView::hideVirtualObjects() {
  for (const auto& object : shownVirtualObjects()) {
    if (object != nullptr) object->setHidden(true);
  }
}

void ARView::showVirtualObjects() {
  for (const auto& object : shownVirtualObjects()) {
    if (object != nullptr) object->setHidden(false);
  }
}

void ARView::restartSession() {
  bool available = true;
  if (!is_restart_available_.compare_exchange_strong(available, false)) return;
  removeAllVirtualObjects();
  if (std::optional<std::string> id = virtualObjectId()) setVirtualObjectId(*id);
  if (std::optional<std::string> url = virtualObjectURL()) setVirtualObjectURL(*url);
  resetTracking();
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 5 * static_cast<int64_t>(NSEC_PER_SEC)),
                 updateQueue(), [self = Self()] { self->setIsRestartAvailable(true); });
}

void ARView::willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview) {
  BaseARSCNView::willMoveToSuperview(newSuperview);
  if (newSuperview != nullptr) return;
  print("this view is removed");
  removeAllVirtualObjects();
  session()->pause();
}
