#include "platform/uikit/ui_gesture_recognizer.h"

#include <algorithm>

#include "base/logging.h"
#include "platform/uikit/ui_view.h"

namespace {

CGPoint Convert(const std::shared_ptr<UIView>& from, CGPoint p, const std::shared_ptr<UIView>& to) {
  if (from == nullptr) return to == nullptr ? p : to->convertPointFromView(p, nullptr);
  return from->convertPoint(p, to);
}

}  // namespace

CGPoint UITouch::locationInView(const std::shared_ptr<UIView>& view) const {
  return Convert(view_.lock(), location_, view);
}

CGPoint UITouch::previousLocationInView(const std::shared_ptr<UIView>& view) const {
  return Convert(view_.lock(), previous_, view);
}

std::shared_ptr<UIGestureRecognizer> UIGestureRecognizer::initWithTarget(
    std::weak_ptr<void> target, Action action) {
  return std::make_shared<UIGestureRecognizer>(std::move(target), std::move(action));
}

UIGestureRecognizer::UIGestureRecognizer(std::weak_ptr<void> target, Action action) {
  if (action) addTarget(std::move(target), std::move(action));
}

void UIGestureRecognizer::addTarget(std::weak_ptr<void> target, Action action) {
  entries_.push_back({std::move(target), std::move(action)});
}

CGPoint UIGestureRecognizer::locationOfTouch(long index, const std::shared_ptr<UIView>& view) const {
  CHECK(index >= 0 && index < numberOfTouches())
      << "-[UIGestureRecognizer locationOfTouch:inView:]: index (" << index
      << ") beyond bounds (" << numberOfTouches() << ")";
  return touches_[static_cast<size_t>(index)]->locationInView(view);
}

CGPoint UIGestureRecognizer::locationInView(const std::shared_ptr<UIView>& view) const {
  if (touches_.empty()) return CGPointZero;
  CGPoint sum = CGPointZero;
  for (const auto& t : touches_) {
    const CGPoint p = t->locationInView(view);
    sum.x += p.x;
    sum.y += p.y;
  }
  const auto n = static_cast<CGFloat>(touches_.size());
  return {sum.x / n, sum.y / n};
}

void UIGestureRecognizer::touchesBegan(const UITouchSet& touches, const UIEvent&) {
  for (const auto& t : touches) {
    if (std::find(touches_.begin(), touches_.end(), t) == touches_.end()) touches_.push_back(t);
  }
}

void UIGestureRecognizer::touchesMoved(const UITouchSet&, const UIEvent&) {}

void UIGestureRecognizer::touchesEnded(const UITouchSet& touches, const UIEvent&) {
  std::erase_if(touches_, [&](const std::shared_ptr<UITouch>& t) {
    return std::find(touches.begin(), touches.end(), t) != touches.end();
  });
}

void UIGestureRecognizer::touchesCancelled(const UITouchSet& touches, const UIEvent& event) {
  touchesEnded(touches, event);
}

void UIGestureRecognizer::reset() {
  state_ = UIGestureRecognizerStatePossible;
  touches_.clear();
}

void UIGestureRecognizer::SendActions() {
  auto self = shared_from_this();
  const std::vector<Entry> entries = entries_;
  for (const Entry& e : entries) {
    if (e.target.lock() == nullptr) continue;
    e.action(self);
  }
}

namespace platform::uikit {

void SetTouches(UIGestureRecognizer& recognizer, const std::vector<CGPoint>& points) {
  UITouchSet touches;
  for (const CGPoint& p : points) touches.push_back(std::make_shared<UITouch>(recognizer.view(), p));
  recognizer.SetCurrentTouches(std::move(touches));
}

UIGestureRecognizerState Drive(UIGestureRecognizer& recognizer, UIGestureRecognizerState state) {
  if (!recognizer.isEnabled()) return recognizer.state();
  if (state == UIGestureRecognizerStateBegan) {
    auto delegate = recognizer.delegate();
    if (delegate != nullptr && !delegate->gestureRecognizerShouldBegin(recognizer)) {
      recognizer.setState(UIGestureRecognizerStateFailed);
      return recognizer.state();
    }
  }
  recognizer.setState(state);
  switch (recognizer.state()) {
    case UIGestureRecognizerStateBegan:
    case UIGestureRecognizerStateChanged:
    case UIGestureRecognizerStateEnded:
    case UIGestureRecognizerStateCancelled:
      recognizer.SendActions();
      break;
    default:
      break;
  }
  return recognizer.state();
}

}  // namespace platform::uikit
