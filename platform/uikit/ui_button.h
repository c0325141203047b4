#ifndef PLATFORM_UIKIT_UI_BUTTON_H_
#define PLATFORM_UIKIT_UI_BUTTON_H_

// Controls and buttons: targets and actions per event, images per state, recorded; tests fire
// the events.
//
//   auto button = UIButton::buttonWithType(UIButtonTypeSystem);
//   button->setBackgroundImage(UIImage::systemImageNamed("plus"), UIControlStateNormal);
//   button->addTarget(view, [](const std::shared_ptr<UIControl>& sender) { ... },
//                     UIControlEventTouchUpInside);
//   platform::uikit::Tap(button);     // sends the touch-up-inside actions
//
// A target is held weakly, as on the platform: an action whose target is gone is skipped.
// Actions are sent in the order they were added, on the calling thread. A hidden or disabled
// control still sends when asked to directly (sendActionsForControlEvents), but Tap skips it,
// as a finger cannot press it.

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/uikit/ui_image.h"
#include "platform/uikit/ui_view.h"

enum UIControlEvents : unsigned long {
  UIControlEventTouchDown = 1 << 0,
  UIControlEventTouchUpInside = 1 << 6,
  UIControlEventValueChanged = 1 << 12,
  UIControlEventPrimaryActionTriggered = 1 << 13,
};

enum UIControlState : unsigned long {
  UIControlStateNormal = 0,
  UIControlStateHighlighted = 1 << 0,
  UIControlStateDisabled = 1 << 1,
  UIControlStateSelected = 1 << 2,
};

enum UIButtonType : long {
  UIButtonTypeCustom = 0,
  UIButtonTypeSystem = 1,
};

class UIControl : public UIView {
 public:
  using Action = std::function<void(const std::shared_ptr<UIControl>& sender)>;

  using UIView::UIView;

  void addTarget(std::weak_ptr<void> target, Action action, unsigned long events);
  // Removes every action of `target` for those events.
  void removeTarget(const std::shared_ptr<void>& target, unsigned long events);
  // How many actions are registered for any of `events`.
  int actionCount(unsigned long events) const;
  void sendActionsForControlEvents(unsigned long events);

  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  bool isSelected() const { return selected_; }
  void setSelected(bool selected) { selected_ = selected; }

 private:
  struct Entry {
    std::weak_ptr<void> target;
    Action action;
    unsigned long events;
  };
  std::vector<Entry> entries_;
  bool enabled_ = true;
  bool selected_ = false;
};

class UIButton : public UIControl {
 public:
  static std::shared_ptr<UIButton> buttonWithType(UIButtonType type);
  static std::shared_ptr<UIButton> init();

  explicit UIButton(CGRect frame = CGRectZero, UIButtonType type = UIButtonTypeCustom)
      : UIControl(frame), type_(type) {}
  UIButtonType buttonType() const { return type_; }

  std::shared_ptr<UIImage> imageForState(UIControlState state) const;
  void setImage(std::shared_ptr<UIImage> image, UIControlState state);
  std::shared_ptr<UIImage> backgroundImageForState(UIControlState state) const;
  void setBackgroundImage(std::shared_ptr<UIImage> image, UIControlState state);
  std::string titleForState(UIControlState state) const;
  void setTitle(std::string title, UIControlState state);

 private:
  UIButtonType type_;
  std::map<UIControlState, std::shared_ptr<UIImage>> images_;
  std::map<UIControlState, std::shared_ptr<UIImage>> background_images_;
  std::map<UIControlState, std::string> titles_;
};

namespace platform::uikit {

// A finger tap: the touch-up-inside actions of a visible, enabled control whose ancestors
// are all visible. Returns whether the tap reached the control.
bool Tap(const std::shared_ptr<UIControl>& control);

}  // namespace platform::uikit

#endif  // PLATFORM_UIKIT_UI_BUTTON_H_
