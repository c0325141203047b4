#ifndef PLATFORM_UIKIT_UI_GESTURE_RECOGNIZER_H_
#define PLATFORM_UIKIT_UI_GESTURE_RECOGNIZER_H_

// Gesture recognisers driven by tests: the test decides where the fingers are and what state
// the recogniser reaches; the recogniser sends its actions as the platform's would.
//
//   auto g = UIGestureRecognizer::initWithTarget(owner, [](const auto& r) { ... });
//   view->addGestureRecognizer(g);
//   platform::uikit::SetTouches(*g, {{0, 0}, {10, 0}, {0, 30}});   // in g->view() coordinates
//   platform::uikit::Drive(*g, UIGestureRecognizerStateBegan);      // actions run
//   g->locationOfTouch(2, view);                                    // (0, 30)
//
// Touches are UITouch records with a location in some view. The touch methods
// (touchesBegan/Moved/Ended/Cancelled) are virtual so that concrete recognisers can follow the
// fingers; the base keeps the set of current touches from them. Drive() sets the state through
// the virtual setState and then sends the actions when the state is began, changed, ended or
// cancelled; a delegate that refuses gestureRecognizerShouldBegin turns a began into failed,
// without actions. Targets are weak. Main thread only.

#include <functional>
#include <memory>
#include <vector>

#include "platform/coregraphics/geometry.h"

class UIView;
class UIGestureRecognizer;

enum UIGestureRecognizerState : long {
  UIGestureRecognizerStatePossible = 0,
  UIGestureRecognizerStateBegan = 1,
  UIGestureRecognizerStateChanged = 2,
  UIGestureRecognizerStateEnded = 3,
  UIGestureRecognizerStateCancelled = 4,
  UIGestureRecognizerStateFailed = 5,
  UIGestureRecognizerStateRecognized = UIGestureRecognizerStateEnded,
};

class UITouch {
 public:
  // A touch at `location` in `view`'s coordinates. The view is held weakly (a recogniser keeps
  // its touches and its view keeps the recogniser).
  UITouch(std::shared_ptr<UIView> view, CGPoint location)
      : view_(std::move(view)), location_(location), previous_(location) {}
  std::shared_ptr<UIView> view() const { return view_.lock(); }
  CGPoint locationInView(const std::shared_ptr<UIView>& view) const;
  CGPoint previousLocationInView(const std::shared_ptr<UIView>& view) const;
  // Moves the finger (the old location becomes the previous one).
  void MoveTo(CGPoint location) {
    previous_ = location_;
    location_ = location;
  }

 private:
  std::weak_ptr<UIView> view_;
  CGPoint location_;
  CGPoint previous_;
};

class UIEvent {};

using UITouchSet = std::vector<std::shared_ptr<UITouch>>;

class UIGestureRecognizerDelegate {
 public:
  virtual ~UIGestureRecognizerDelegate() = default;
  virtual bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) { return true; }
  // gestureRecognizer:shouldRecognizeSimultaneouslyWithGestureRecognizer:
  virtual bool gestureRecognizer(UIGestureRecognizer& recognizer, UIGestureRecognizer& other) {
    return false;
  }
};

class UIGestureRecognizer : public std::enable_shared_from_this<UIGestureRecognizer> {
 public:
  using Action = std::function<void(const std::shared_ptr<UIGestureRecognizer>& sender)>;

  static std::shared_ptr<UIGestureRecognizer> initWithTarget(std::weak_ptr<void> target,
                                                             Action action);
  UIGestureRecognizer(std::weak_ptr<void> target, Action action);
  virtual ~UIGestureRecognizer() = default;

  void addTarget(std::weak_ptr<void> target, Action action);
  std::shared_ptr<UIView> view() const { return view_.lock(); }

  virtual UIGestureRecognizerState state() const { return state_; }
  virtual void setState(UIGestureRecognizerState state) { state_ = state; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  std::shared_ptr<UIGestureRecognizerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<UIGestureRecognizerDelegate> delegate) {
    delegate_ = std::move(delegate);
  }

  long numberOfTouches() const { return static_cast<long>(touches_.size()); }
  // Touch `index` (0 ≤ index < numberOfTouches) in `view`'s coordinates; out of range is a
  // failed CHECK, as the platform raises.
  CGPoint locationOfTouch(long index, const std::shared_ptr<UIView>& view) const;
  // The centroid of the current touches; (0, 0) without touches.
  virtual CGPoint locationInView(const std::shared_ptr<UIView>& view) const;

  virtual void touchesBegan(const UITouchSet& touches, const UIEvent& event);
  virtual void touchesMoved(const UITouchSet& touches, const UIEvent& event);
  virtual void touchesEnded(const UITouchSet& touches, const UIEvent& event);
  virtual void touchesCancelled(const UITouchSet& touches, const UIEvent& event);
  // Back to possible, without touches.
  virtual void reset();

  // Stand-in plumbing: set by UIView::addGestureRecognizer; sends the actions now.
  void AttachToView(std::weak_ptr<UIView> view) { view_ = std::move(view); }
  void SendActions();
  const UITouchSet& touches() const { return touches_; }
  void SetCurrentTouches(UITouchSet touches) { touches_ = std::move(touches); }

 private:
  struct Entry {
    std::weak_ptr<void> target;
    Action action;
  };
  std::vector<Entry> entries_;
  std::weak_ptr<UIView> view_;
  std::weak_ptr<UIGestureRecognizerDelegate> delegate_;
  UIGestureRecognizerState state_ = UIGestureRecognizerStatePossible;
  bool enabled_ = true;
  UITouchSet touches_;
};

namespace platform::uikit {

// Replaces the current touches with fingers at `points` in the recogniser's view.
void SetTouches(UIGestureRecognizer& recognizer, const std::vector<CGPoint>& points);
// Moves the recogniser to `state` and sends its actions as described above. A disabled
// recogniser does nothing. Returns the state reached.
UIGestureRecognizerState Drive(UIGestureRecognizer& recognizer, UIGestureRecognizerState state);

}  // namespace platform::uikit

#endif  // PLATFORM_UIKIT_UI_GESTURE_RECOGNIZER_H_
