#ifndef VIEWS_AR_VIEW_H_
#define VIEWS_AR_VIEW_H_

// ARView: the world-tracking placement view. On top of the base view it runs world tracking
// with the host's plane kind, shows a focus square where the screen centre meets a surface,
// coaches the user until a surface is found, and offers a place button, two rotate buttons
// (15° steps) and the screenshot button; placed objects can be dragged, turned and
// long-pressed (VirtualObjectInteraction).
//
//   auto view = ARView::initWithFrame(CGRectMake(0, 0, 390, 844), {});   // "finish init called"
//   view->setEvents_delegate(host);
//   view->setUsedPlane("vertical");                  // for the next tracking reset
//   view->setIsMultipleSameObjectAllowed(true);      // copies of one model may be placed
//   view->setVirtualObjectId("chair");
//
// Every rendered frame hands the focus-square update to the main queue, which decides the
// square's and the controls' visibility and queues the square's new state on the update queue.
// A restart (asked for by the coaching overlay) removes every placed object, reloads the model
// and resets tracking, at most once every 5 s.
//
// Threads: set-up, host settings, controls, gestures, coaching and the per-frame update run on
// the main thread; the focus square's state and the restart gate's reopening on the update
// queue; renderer callbacks on the render thread; session callbacks on the session's delegate
// queue. The flags that cross threads are atomics.

#include <atomic>
#include <memory>
#include <string>

#include "platform/arkit/ar_coaching_overlay_view.h"
#include "views/base_ar_scn_view.h"
#include "views/focus_square.h"
#include "views/virtual_object_interaction.h"

class ARView : public BaseARSCNView,
               public ARSCNViewDelegate,
               public ARSessionDelegate,
               public ARCoachingOverlayViewDelegate {
 public:
  static std::shared_ptr<ARView> init();
  static std::shared_ptr<ARView> initWithFrame(CGRect frame, const Options& options);
  static std::shared_ptr<ARView> initWithCoder(NSCoder* coder);

  ARView(ConstructionToken token, CGRect frame, Options options);

  const std::shared_ptr<UIButton>& placeObjectButton() const { return place_object_button_; }
  const std::shared_ptr<UIButton>& rotateObjectLeftButton() const {
    return rotate_object_left_button_;
  }
  const std::shared_ptr<UIButton>& rotateObjectRightButton() const {
    return rotate_object_right_button_;
  }
  bool isRestartAvailable() const { return is_restart_available_.load(); }
  void setIsRestartAvailable(bool available) { is_restart_available_.store(available); }
  // Made with this view on first use.
  std::shared_ptr<VirtualObjectInteraction> virtualObjectInteraction();
  void setVirtualObjectInteraction(std::shared_ptr<VirtualObjectInteraction> interaction);
  const std::shared_ptr<ARCoachingOverlayView>& coachingOverlay() const { return coaching_overlay_; }
  const std::shared_ptr<FocusSquare>& focusSquare() const { return focus_square_; }
  bool isObjectVisible() const { return is_object_visible_.load(); }
  void setIsObjectVisible(bool visible) { is_object_visible_.store(visible); }
  bool isMultipleObjectModeAllowed() const { return is_multiple_object_mode_allowed_.load(); }
  bool isMultipleSameObjectAllowed() const { return is_multiple_same_object_allowed_.load(); }

  // Host settings. "vertical" picks vertical planes, anything else horizontal ones; the running
  // session and the coaching goal keep theirs until the next reset.
  using BaseARSCNView::setUsedPlane;
  virtual void setUsedPlane(const std::string& planeString);
  // Print "Multiple Object mode set to true|false" / "Multiple Same Object mode set to ...".
  virtual void setIsMultipleObjectModeAllowed(bool isAllowed);
  virtual void setIsMultipleSameObjectAllowed(bool isAllowed);

  // The per-frame update (main thread), given whether an object has been placed.
  virtual void updateFocusSquare(bool isObjectVisible);
  virtual void hideUI();
  virtual void showUI(bool isObjectPlaced = false);
  virtual void hideVirtualObjects();
  virtual void showVirtualObjects();
  // Runs world tracking anew (reset, anchors removed); forgets that an object was placed.
  virtual void resetTracking();
  // Does nothing within 5 s of the last accepted restart.
  virtual void restartSession();

  void finishInitialization() override;
  // After the base view's clean-up, leaving the superview prints "this view is removed",
  // removes the placed objects and pauses the session.
  void willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview) override;

  // Controls.
  void addViews();
  void addPlaceButton();
  void addRotateLeftButton();
  void addRotateRightButton();
  // Places the current model where the focus square is, within the host's rules.
  void PlaceObjectAction(const std::shared_ptr<UIControl>& sender);
  // Tag 0 turns counter-clockwise, tag 1 clockwise.
  void rotateObjectByClick(const std::shared_ptr<UIControl>& sender);
  // Saves a snapshot of the scene (no controls in it) to the photo album.
  void takeScreenshot(const std::shared_ptr<UIControl>& sender);

  // Coaching overlay.
  void setupCoachingOverlay();
  void setActivatesAutomatically();
  void setGoal();
  void coachingOverlayViewWillActivate(
      const std::shared_ptr<ARCoachingOverlayView>& coachingOverlayView) override;
  void coachingOverlayViewDidDeactivate(
      const std::shared_ptr<ARCoachingOverlayView>& coachingOverlayView) override;
  void coachingOverlayViewDidRequestSessionReset(
      const std::shared_ptr<ARCoachingOverlayView>& coachingOverlayView) override;

  // Scene renderer and session.
  void rendererDidAddNode(const std::shared_ptr<SCNSceneRenderer>& renderer,
                          const std::shared_ptr<SCNNode>& node,
                          const std::shared_ptr<ARAnchor>& anchor) override;
  // Hands the focus-square update to the main queue.
  void rendererUpdateAtTime(const std::shared_ptr<SCNSceneRenderer>& renderer,
                            double time) override;
  // Keeps the current model on its anchor.
  void rendererDidUpdateNode(const std::shared_ptr<SCNSceneRenderer>& renderer,
                             const std::shared_ptr<SCNNode>& node,
                             const std::shared_ptr<ARAnchor>& anchor) override;
  void sessionDidFailWithError(const std::shared_ptr<ARSession>& session,
                               const std::shared_ptr<NSError>& error) override;
  void sessionWasInterrupted(const std::shared_ptr<ARSession>& session) override;
  bool sessionShouldAttemptRelocalization(const std::shared_ptr<ARSession>& session) override;

 private:
  std::shared_ptr<ARView> Self() {
    return std::static_pointer_cast<ARView>(shared_from_this());
  }
  std::shared_ptr<UIButton> AddButton(const std::string& symbol, long tag,
                                      ControlButtonPosition position,
                                      void (ARView::*action)(const std::shared_ptr<UIControl>&));

  std::shared_ptr<UIButton> place_object_button_;
  std::shared_ptr<UIButton> rotate_object_left_button_;
  std::shared_ptr<UIButton> rotate_object_right_button_;
  std::atomic<bool> is_restart_available_{true};
  std::shared_ptr<VirtualObjectInteraction> virtual_object_interaction_;
  const std::shared_ptr<ARCoachingOverlayView> coaching_overlay_ = ARCoachingOverlayView::init();
  const std::shared_ptr<FocusSquare> focus_square_ = FocusSquare::init();
  std::atomic<bool> is_object_visible_{false};
  std::atomic<bool> is_multiple_object_mode_allowed_{false};
  std::atomic<bool> is_multiple_same_object_allowed_{false};
};

#endif  // VIEWS_AR_VIEW_H_
