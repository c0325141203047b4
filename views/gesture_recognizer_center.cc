#include "views/gesture_recognizer_center.h"

std::optional<CGPoint> center(const UIGestureRecognizer& recognizer,
                              const std::shared_ptr<UIView>& view) {
  const long touches = recognizer.numberOfTouches();
  if (touches < 1) return std::nullopt;
  const CGPoint first = recognizer.locationOfTouch(0, view);
  CGRect rect = CGRectMake(first.x, first.y, 0, 0);
  for (long i = 1; i < touches; ++i) {
    const CGPoint p = recognizer.locationOfTouch(i, view);
    rect = CGRectUnion(rect, CGRectMake(p.x, p.y, 0, 0));
  }
  return CGPointMake(CGRectGetMidX(rect), CGRectGetMidY(rect));
}
