#include "views/virtual_object_interaction.h"

#include <cmath>
#include <utility>

#include "platform/scenekit/scn_action.h"
#include "platform/uikit/console.h"
#include "views/extensions.h"
#include "views/gesture_recognizer_center.h"

std::shared_ptr<VirtualObjectInteraction> VirtualObjectInteraction::init(
    std::shared_ptr<BaseARSCNView> sceneView) {
  auto interaction = std::make_shared<VirtualObjectInteraction>(std::move(sceneView));
  interaction->Install();
  return interaction;
}

VirtualObjectInteraction::VirtualObjectInteraction(std::shared_ptr<BaseARSCNView> sceneView)
    : scene_view_(std::move(sceneView)) {}

namespace {

// An action that hands the recogniser to `handler` as its own class.
template <typename Recognizer>
UIGestureRecognizer::Action Forward(
    std::weak_ptr<VirtualObjectInteraction> weak,
    void (VirtualObjectInteraction::*handler)(const std::shared_ptr<Recognizer>&)) {
  return [weak, handler](const std::shared_ptr<UIGestureRecognizer>& sender) {
    auto self = weak.lock();
    auto recognizer = std::dynamic_pointer_cast<Recognizer>(sender);
    if (self != nullptr && recognizer != nullptr) ((*self).*handler)(recognizer);
  };
}

}  // namespace

void VirtualObjectInteraction::Install() {
  const std::shared_ptr<BaseARSCNView> view = sceneView();
  if (view == nullptr) return;
  std::weak_ptr<VirtualObjectInteraction> weak = shared_from_this();
  auto rotation = std::make_shared<UIRotationGestureRecognizer>(
      weak, Forward<UIRotationGestureRecognizer>(weak, &VirtualObjectInteraction::actionRotated));
  rotation->setDelegate(weak);
  view->addGestureRecognizer(rotation);

  auto pan = ThresholdPanGesture::initWithTarget(
      weak, Forward<ThresholdPanGesture>(weak, &VirtualObjectInteraction::actionPanned));
  pan->setDelegate(weak);
  view->addGestureRecognizer(pan);

  auto long_press = std::make_shared<UILongPressGestureRecognizer>(
      weak,
      Forward<UILongPressGestureRecognizer>(weak, &VirtualObjectInteraction::actionLongPressed));
  long_press->setDelegate(weak);
  view->addGestureRecognizer(long_press);
}

void VirtualObjectInteraction::setTrackedObject(std::shared_ptr<VirtualObject> object) {
  tracked_object_ = std::move(object);
  if (tracked_object_ != nullptr) selected_object_ = tracked_object_;
}

std::shared_ptr<VirtualObject> VirtualObjectInteraction::objectInteracting(
    UIGestureRecognizer& gesture, const std::shared_ptr<BaseARSCNView>& view) {
  for (long i = 0; i < gesture.numberOfTouches(); ++i) {
    if (auto object = view->virtualObject(gesture.locationOfTouch(i, view))) return object;
  }
  if (std::optional<CGPoint> centre = center(gesture, view)) return view->virtualObject(*centre);
  return nullptr;
}

void VirtualObjectInteraction::actionPanned(const std::shared_ptr<ThresholdPanGesture>& gesture) {
  const std::shared_ptr<BaseARSCNView> view = sceneView();
  if (view == nullptr) return;
  switch (gesture->state()) {
    case UIGestureRecognizerStateBegan:
      if (auto object = objectInteracting(*gesture, view)) setTrackedObject(object);
      return;
    case UIGestureRecognizerStateChanged: {
      const std::shared_ptr<VirtualObject> object = tracked_object_;
      if (!gesture->isThresholdExceeded() || object == nullptr) return;
      translate(object, updatedTrackingPosition(object, *gesture));
      gesture->setTranslation(CGPointZero, view);
      if (auto delegate = view->events_delegate()) delegate->itemPanned(object);
      return;
    }
    case UIGestureRecognizerStateEnded: {
      const std::shared_ptr<VirtualObject> object = tracked_object_;
      if (object == nullptr) return;
      setDown(object, updatedTrackingPosition(object, *gesture));
      break;
    }
    default:
      break;
  }
  current_tracking_position_.reset();
  selected_object_ = nullptr;
}

void VirtualObjectInteraction::actionRotated(
    const std::shared_ptr<UIRotationGestureRecognizer>& gesture) {
  // Only a change acts: a rotation neither picks nor releases an object.
  const std::shared_ptr<BaseARSCNView> view = sceneView();
  if (view == nullptr || gesture->view() == nullptr ||
      gesture->state() != UIGestureRecognizerStateChanged) {
    return;
  }
  const std::shared_ptr<VirtualObject> object = tracked_object_;
  if (object == nullptr) return;  // the rotation keeps adding up meanwhile
  const std::vector<std::shared_ptr<SCNNode>> children = object->childNodes();
  if (!children.empty()) {
    children.front()->runAction(SCNAction::rotateByAngle(-gesture->rotation(), {0, 1, 0}, 0));
  }
  gesture->setRotation(0);
  if (children.empty()) return;
  if (auto delegate = view->events_delegate()) delegate->itemRotated(object);
}

void VirtualObjectInteraction::actionLongPressed(
    const std::shared_ptr<UILongPressGestureRecognizer>& gesture) {
  const std::shared_ptr<BaseARSCNView> scene_view = sceneView();
  const std::shared_ptr<UIView> view = gesture->view();
  if (scene_view == nullptr || view == nullptr) return;
  const CGPoint point = gesture->locationInView(view);
  switch (gesture->state()) {
    case UIGestureRecognizerStateBegan: {
      const std::shared_ptr<VirtualObject> object = objectInteracting(*gesture, scene_view);
      if (object == nullptr) return;
      print("long tapping on " + object->modelName());
      setTrackedObject(object);
      if (auto delegate = scene_view->events_delegate()) delegate->itemLongPressed(object, point);
      return;
    }
    case UIGestureRecognizerStateEnded: {
      const std::shared_ptr<VirtualObject> object = tracked_object_;
      if (object == nullptr) return;
      if (auto delegate = scene_view->events_delegate()) delegate->itemLongPressEnded(object);
      setTrackedObject(nullptr);
      return;
    }
    default:
      setTrackedObject(nullptr);
      return;
  }
}

void VirtualObjectInteraction::actionScaled(
    const std::shared_ptr<UIPinchGestureRecognizer>& gesture) {
  if (gesture->view() == nullptr || gesture->state() != UIGestureRecognizerStateChanged) return;
  if (const std::shared_ptr<VirtualObject> object = tracked_object_) {
    const std::vector<std::shared_ptr<SCNNode>> children = object->childNodes();
    if (!children.empty()) children.front()->runAction(SCNAction::scaleBy(gesture->scale(), 0));
  }
  gesture->setScale(1);
}

void VirtualObjectInteraction::actiona(const std::shared_ptr<UIMenuItem>&) { print("do nothing"); }

CGPoint VirtualObjectInteraction::updatedTrackingPosition(
    const std::shared_ptr<VirtualObject>& object, const UIPanGestureRecognizer& gesture) {
  const std::shared_ptr<BaseARSCNView> view = sceneView();
  if (view == nullptr) return current_tracking_position_.value_or(CGPointZero);
  const CGPoint moved = gesture.translationInView(view);
  const CGPoint base = current_tracking_position_.has_value()
                           ? *current_tracking_position_
                           : CGPointFromVector(view->projectPoint(object->position()));
  const CGPoint updated = CGPointMake(base.x + moved.x, base.y + moved.y);
  current_tracking_position_ = updated;
  return updated;
}

void VirtualObjectInteraction::translate(const std::shared_ptr<VirtualObject>& object,
                                         CGPoint basedOn) {
  const std::shared_ptr<BaseARSCNView> view = sceneView();
  if (view == nullptr) return;
  object->stopTrackedRaycast();
  const std::shared_ptr<ARRaycastQuery> query = view->raycastQueryFromPoint(
      basedOn, ARRaycastTargetEstimatedPlane, view->usedPlaneAlignment());
  if (query != nullptr) view->createRaycastAndUpdate3DPosition(object, *query);
}

void VirtualObjectInteraction::rotate(const std::shared_ptr<VirtualObject>& object,
                                      bool isRotatingCounterCW) {
  if (object == nullptr) return;
  const float degrees = isRotatingCounterCW ? -15.0f : 15.0f;
  const float radians = static_cast<float>(M_PI) * degrees / 180.0f;
  object->setObjectRotation(object->objectRotation() + radians);
}

void VirtualObjectInteraction::setDown(const std::shared_ptr<VirtualObject>& object,
                                       CGPoint basedOn) {
  const std::shared_ptr<BaseARSCNView> view = sceneView();
  if (view == nullptr) return;
  object->stopTrackedRaycast();
  object->setShouldUpdateAnchor(true);
  const std::shared_ptr<ARRaycastQuery> query = view->raycastQueryFromPoint(
      basedOn, ARRaycastTargetEstimatedPlane, view->usedPlaneAlignment());
  if (query != nullptr) {
    if (auto raycast = view->createTrackedRaycastAndSet3DPosition(object, *query)) {
      object->setRaycast(std::move(raycast));
      return;
    }
  }
  // No surface to follow: keep the object where it is, anchored there.
  object->setShouldUpdateAnchor(false);
  // The work item keeps the interaction, the view and the object until it has run.
  dispatch_async(view->updateQueue(), [self = shared_from_this(), view, object] {
    (void)self;
    view->addOrUpdateAnchor(object);
  });
}

void VirtualObjectInteraction::visualizeObjectSelection(const std::shared_ptr<SCNNode>& object,
                                                        double speed, bool isSelected) {
  const float s = object->scale().x;
  const float target = isSelected ? s + s * 0.2f : s - s * 0.2f;
  object->runAction(SCNAction::scaleTo(target, speed));
}
