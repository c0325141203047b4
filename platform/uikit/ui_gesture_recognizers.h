#ifndef PLATFORM_UIKIT_UI_GESTURE_RECOGNIZERS_H_
#define PLATFORM_UIKIT_UI_GESTURE_RECOGNIZERS_H_

// The concrete recognisers and menu items, driven by tests like their base
// (ui_gesture_recognizer.h).
//
//   auto pan = std::make_shared<UIPanGestureRecognizer>(owner, on_pan);
//   view->addGestureRecognizer(pan);
//   platform::uikit::SetTouches(*pan, {{100, 100}});
//   platform::uikit::Drive(*pan, UIGestureRecognizerStateBegan);
//   platform::uikit::MoveTouches(*pan, {40, 0});      // touchesMoved; translation (40, 0)
//   platform::uikit::Drive(*pan, UIGestureRecognizerStateChanged);
//
// A pan's translation is the movement of its touches' centroid since it was last set
// (setTranslation) or since the touches began; touchesMoved adds the mean movement of the
// moved touches. Rotation and scale are set by tests (and by the handlers that reset them).
// Main thread only.

#include <memory>
#include <string>

#include "platform/uikit/ui_gesture_recognizer.h"

class UIPanGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;

  // In `view`'s coordinate scale (views are not scaled here, so the same in every view).
  CGPoint translationInView(const std::shared_ptr<UIView>& view) const { return translation_; }
  void setTranslation(CGPoint translation, const std::shared_ptr<UIView>& view) {
    translation_ = translation;
  }
  void touchesMoved(const UITouchSet& touches, const UIEvent& event) override;
  void reset() override;

 private:
  CGPoint translation_ = CGPointZero;
};

class UIRotationGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  // Radians since the gesture began (or since last set).
  CGFloat rotation() const { return rotation_; }
  void setRotation(CGFloat rotation) { rotation_ = rotation; }
  void reset() override;

 private:
  CGFloat rotation_ = 0;
};

class UIPinchGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  CGFloat scale() const { return scale_; }
  void setScale(CGFloat scale) { scale_ = scale; }
  void reset() override;

 private:
  CGFloat scale_ = 1;
};

class UILongPressGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  double minimumPressDuration() const { return minimum_press_duration_; }
  void setMinimumPressDuration(double seconds) { minimum_press_duration_ = seconds; }

 private:
  double minimum_press_duration_ = 0.5;
};

// A menu item: a title and the action a tap on it sends.
class UIMenuItem {
 public:
  using Action = std::function<void(const std::shared_ptr<UIMenuItem>& sender)>;
  UIMenuItem(std::string title, Action action)
      : title_(std::move(title)), action_(std::move(action)) {}
  const std::string& title() const { return title_; }
  const Action& action() const { return action_; }

 private:
  const std::string title_;
  const Action action_;
};

namespace platform::uikit {

// Moves every current touch of the recogniser by `delta` and tells it (touchesMoved with all of
// them).
void MoveTouches(UIGestureRecognizer& recognizer, CGPoint delta);
// Moves only the first `count` touches.
void MoveTouches(UIGestureRecognizer& recognizer, CGPoint delta, size_t count);
// Sends the item's action, as a tap on it would.
void TapMenuItem(const std::shared_ptr<UIMenuItem>& item);

}  // namespace platform::uikit

#endif  // PLATFORM_UIKIT_UI_GESTURE_RECOGNIZERS_H_
