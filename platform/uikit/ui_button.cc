#include "platform/uikit/ui_button.h"

#include <algorithm>

void UIControl::addTarget(std::weak_ptr<void> target, Action action, unsigned long events) {
  entries_.push_back({std::move(target), std::move(action), events});
}

void UIControl::removeTarget(const std::shared_ptr<void>& target, unsigned long events) {
  std::erase_if(entries_, [&](const Entry& e) {
    return (e.events & events) != 0 && e.target.lock() == target;
  });
}

int UIControl::actionCount(unsigned long events) const {
  return static_cast<int>(std::count_if(entries_.begin(), entries_.end(),
                                        [&](const Entry& e) { return (e.events & events) != 0; }));
}

void UIControl::sendActionsForControlEvents(unsigned long events) {
  auto self = std::static_pointer_cast<UIControl>(shared_from_this());
  const std::vector<Entry> entries = entries_;  // actions may add or remove targets
  for (const Entry& e : entries) {
    if ((e.events & events) == 0) continue;
    auto target = e.target.lock();
    if (target == nullptr) continue;
    e.action(self);
  }
}

std::shared_ptr<UIButton> UIButton::buttonWithType(UIButtonType type) {
  return std::make_shared<UIButton>(CGRectZero, type);
}

std::shared_ptr<UIButton> UIButton::init() { return std::make_shared<UIButton>(); }

namespace {

template <typename Map>
typename Map::mapped_type ForState(const Map& map, UIControlState state) {
  auto it = map.find(state);
  if (it != map.end()) return it->second;
  it = map.find(UIControlStateNormal);  // other states fall back to normal
  return it != map.end() ? it->second : typename Map::mapped_type{};
}

}  // namespace

std::shared_ptr<UIImage> UIButton::imageForState(UIControlState state) const {
  return ForState(images_, state);
}

void UIButton::setImage(std::shared_ptr<UIImage> image, UIControlState state) {
  images_[state] = std::move(image);
}

std::shared_ptr<UIImage> UIButton::backgroundImageForState(UIControlState state) const {
  return ForState(background_images_, state);
}

void UIButton::setBackgroundImage(std::shared_ptr<UIImage> image, UIControlState state) {
  background_images_[state] = std::move(image);
}

std::string UIButton::titleForState(UIControlState state) const { return ForState(titles_, state); }

void UIButton::setTitle(std::string title, UIControlState state) {
  titles_[state] = std::move(title);
}

namespace platform::uikit {

bool Tap(const std::shared_ptr<UIControl>& control) {
  if (control == nullptr || !control->isEnabled()) return false;
  for (std::shared_ptr<UIView> v = control; v != nullptr; v = v->superview()) {
    if (v->isHidden() || !v->isUserInteractionEnabled()) return false;
  }
  control->sendActionsForControlEvents(UIControlEventTouchUpInside);
  return true;
}

}  // namespace platform::uikit
