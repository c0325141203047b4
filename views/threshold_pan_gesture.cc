#include "views/threshold_pan_gesture.h"

#include "views/extensions.h"

std::shared_ptr<ThresholdPanGesture> ThresholdPanGesture::initWithTarget(
    std::weak_ptr<void> target, Action action) {
  return std::make_shared<ThresholdPanGesture>(std::move(target), std::move(action));
}

ThresholdPanGesture::ThresholdPanGesture(std::weak_ptr<void> target, Action action)
    : UIPanGestureRecognizer(std::move(target), std::move(action)) {}

void ThresholdPanGesture::setState(UIGestureRecognizerState state) {
  UIPanGestureRecognizer::setState(state);
  const UIGestureRecognizerState now = UIPanGestureRecognizer::state();
  if (now != UIGestureRecognizerStateBegan && now != UIGestureRecognizerStateChanged) {
    is_threshold_exceeded_ = false;
  }
}

void ThresholdPanGesture::touchesMoved(const UITouchSet& touches, const UIEvent& event) {
  UIPanGestureRecognizer::touchesMoved(touches, event);
  const double moved = length(translationInView(view()));
  // Counts the touches that moved in this event, not those on the screen.
  const double limit = threshold(static_cast<long>(touches.size()));
  if (!is_threshold_exceeded_ && moved > limit) {
    is_threshold_exceeded_ = true;
    setTranslation(CGPointZero, view());
  }
}
