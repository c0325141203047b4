#ifndef VIEWS_VIRTUAL_OBJECT_INTERACTION_H_
#define VIEWS_VIRTUAL_OBJECT_INTERACTION_H_

// VirtualObjectInteraction: touch handling for the objects placed in a base AR scene view.
//
// It installs a rotation, a threshold pan and a long-press recogniser on the view (all
// recognised together). A pan or a long press that begins over an object makes it the tracked
// object; a pan past its threshold drags it over estimated planes and, when released, sets it
// down with a tracked raycast (or anchors it where it is); a two-finger rotation turns its model
// about the vertical axis; a pinch that a host attaches scales it; the rotate buttons turn it in
// 15° steps. The host hears itemPanned, itemRotated, itemLongPressed and itemLongPressEnded.
//
//   auto interaction = VirtualObjectInteraction::init(view);   // recognisers installed
//   interaction->rotate(view->virtualObject(), true);            // 15° counter-clockwise
//
// After a pan the object stays tracked, so later rotations and pans act on it until a long
// press ends or the view resets tracking. The view keeps its interaction for its life, so the
// interaction refers to the view weakly (a strong reference both ways would keep every view
// alive for ever); once the view is gone every operation does nothing. The recognisers' targets
// are weak. Everything runs on the main thread except the fallback anchor update of a set-down,
// which goes to the view's update queue.

#include <memory>
#include <optional>

#include "platform/uikit/ui_gesture_recognizers.h"
#include "views/base_ar_scn_view.h"
#include "views/threshold_pan_gesture.h"

class VirtualObjectInteraction : public UIGestureRecognizerDelegate,
                                 public std::enable_shared_from_this<VirtualObjectInteraction> {
 public:
  // Installs the three recognisers on `sceneView`.
  static std::shared_ptr<VirtualObjectInteraction> init(std::shared_ptr<BaseARSCNView> sceneView);
  explicit VirtualObjectInteraction(std::shared_ptr<BaseARSCNView> sceneView);

  // Null once the view is gone.
  std::shared_ptr<BaseARSCNView> sceneView() const { return scene_view_.lock(); }
  std::shared_ptr<VirtualObject> selectedObject() const { return selected_object_; }
  void setSelectedObject(std::shared_ptr<VirtualObject> object) {
    selected_object_ = std::move(object);
  }
  std::shared_ptr<VirtualObject> trackedObject() const { return tracked_object_; }
  // An object also becomes the selected object; none leaves the selection alone.
  void setTrackedObject(std::shared_ptr<VirtualObject> object);
  std::optional<CGPoint> currentTrackingPosition() const { return current_tracking_position_; }

  // Gesture and menu actions.
  void actionRotated(const std::shared_ptr<UIRotationGestureRecognizer>& gesture);
  void actiona(const std::shared_ptr<UIMenuItem>& sender);
  void actionLongPressed(const std::shared_ptr<UILongPressGestureRecognizer>& gesture);
  void actionScaled(const std::shared_ptr<UIPinchGestureRecognizer>& gesture);
  void actionPanned(const std::shared_ptr<ThresholdPanGesture>& gesture);

  // Every pair of recognisers runs together.
  bool gestureRecognizer(UIGestureRecognizer& recognizer, UIGestureRecognizer& other) override {
    return true;
  }

  // Where the dragged object now is on screen: the previous tracking position (or the object's
  // projection when there is none) moved by the pan's translation.
  CGPoint updatedTrackingPosition(const std::shared_ptr<VirtualObject>& object,
                                  const UIPanGestureRecognizer& gesture);
  // Moves the object to the estimated plane under `point`, if a query forms there.
  void translate(const std::shared_ptr<VirtualObject>& object, CGPoint basedOn);
  // Turns the model 15° (counter-clockwise: −15°). Without an object, nothing.
  void rotate(const std::shared_ptr<VirtualObject>& object, bool isRotatingCounterCW);
  // Lets the object follow the surface under `point` with a tracked raycast, or else anchors it
  // where it is (on the update queue).
  void setDown(const std::shared_ptr<VirtualObject>& object, CGPoint basedOn);
  // Scales the node up or down by a fifth of its x scale over `speed` seconds.
  void visualizeObjectSelection(const std::shared_ptr<SCNNode>& object, double speed,
                                bool isSelected);

 private:
  void Install();
  std::shared_ptr<VirtualObject> objectInteracting(UIGestureRecognizer& gesture,
                                                   const std::shared_ptr<BaseARSCNView>& view);

  const std::weak_ptr<BaseARSCNView> scene_view_;
  std::shared_ptr<VirtualObject> selected_object_;
  std::shared_ptr<VirtualObject> tracked_object_;
  std::optional<CGPoint> current_tracking_position_;
};

#endif  // VIEWS_VIRTUAL_OBJECT_INTERACTION_H_
