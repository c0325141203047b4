#ifndef VIEWS_THRESHOLD_PAN_GESTURE_H_
#define VIEWS_THRESHOLD_PAN_GESTURE_H_

// ThresholdPanGesture: a pan recogniser that tells when a drag has gone far enough to count,
// so that a mere touch moves nothing. The threshold is 30 points when one touch moved in the
// event and 60 when more did; the distance must exceed it. When it is crossed the translation
// starts again from (0, 0), so a drag counts from that point.
//
//   auto pan = ThresholdPanGesture::initWithTarget(owner, on_pan);
//   ...
//   if (pan->isThresholdExceeded()) Drag(pan->translationInView(view));
//
// The flag goes back to false whenever the state becomes anything but began or changed. Main
// thread only, like every recogniser.

#include <memory>

#include "platform/uikit/ui_gesture_recognizers.h"

class ThresholdPanGesture : public UIPanGestureRecognizer {
 public:
  static std::shared_ptr<ThresholdPanGesture> initWithTarget(std::weak_ptr<void> target,
                                                             Action action);
  ThresholdPanGesture(std::weak_ptr<void> target, Action action);

  bool isThresholdExceeded() const { return is_threshold_exceeded_; }

  void setState(UIGestureRecognizerState state) override;
  void touchesMoved(const UITouchSet& touches, const UIEvent& event) override;

 private:
  static double threshold(long forTouchCount) { return forTouchCount == 1 ? 30 : 60; }

  bool is_threshold_exceeded_ = false;
};

#endif  // VIEWS_THRESHOLD_PAN_GESTURE_H_
