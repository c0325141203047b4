#include "platform/uikit/ui_gesture_recognizers.h"

#include <algorithm>

#include "platform/uikit/ui_view.h"

void UIPanGestureRecognizer::touchesMoved(const UITouchSet& touches, const UIEvent& event) {
  UIGestureRecognizer::touchesMoved(touches, event);
  if (touches.empty()) return;
  const std::shared_ptr<UIView> v = view();
  CGPoint sum = CGPointZero;
  for (const auto& touch : touches) {
    const CGPoint now = touch->locationInView(v);
    const CGPoint before = touch->previousLocationInView(v);
    sum.x += now.x - before.x;
    sum.y += now.y - before.y;
  }
  const auto n = static_cast<CGFloat>(touches.size());
  translation_.x += sum.x / n;
  translation_.y += sum.y / n;
}

void UIPanGestureRecognizer::reset() {
  UIGestureRecognizer::reset();
  translation_ = CGPointZero;
}

void UIRotationGestureRecognizer::reset() {
  UIGestureRecognizer::reset();
  rotation_ = 0;
}

void UIPinchGestureRecognizer::reset() {
  UIGestureRecognizer::reset();
  scale_ = 1;
}

namespace platform::uikit {

void MoveTouches(UIGestureRecognizer& recognizer, CGPoint delta, size_t count) {
  const UITouchSet& all = recognizer.touches();
  UITouchSet moved(all.begin(), all.begin() + static_cast<ptrdiff_t>(std::min(count, all.size())));
  const std::shared_ptr<UIView> v = recognizer.view();
  for (const auto& touch : moved) {
    const CGPoint p = touch->locationInView(v);
    touch->MoveTo({p.x + delta.x, p.y + delta.y});
  }
  recognizer.touchesMoved(moved, UIEvent{});
}

void MoveTouches(UIGestureRecognizer& recognizer, CGPoint delta) {
  MoveTouches(recognizer, delta, recognizer.touches().size());
}

void TapMenuItem(const std::shared_ptr<UIMenuItem>& item) {
  if (item != nullptr && item->action()) item->action()(item);
}

}  // namespace platform::uikit
