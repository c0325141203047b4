#include "platform/uikit/ui_color.h"

std::shared_ptr<UIColor> UIColor::colorWithRed(CGFloat red, CGFloat green, CGFloat blue,
                                               CGFloat alpha) {
  return std::make_shared<UIColor>(red, green, blue, alpha);
}

std::shared_ptr<UIColor> UIColor::colorWithWhite(CGFloat white, CGFloat alpha) {
  return colorWithRed(white, white, white, alpha);
}

std::shared_ptr<UIColor> UIColor::whiteColor() { return colorWithRed(1, 1, 1, 1); }
std::shared_ptr<UIColor> UIColor::blackColor() { return colorWithRed(0, 0, 0, 1); }
std::shared_ptr<UIColor> UIColor::clearColor() { return colorWithRed(0, 0, 0, 0); }
std::shared_ptr<UIColor> UIColor::redColor() { return colorWithRed(1, 0, 0, 1); }
std::shared_ptr<UIColor> UIColor::yellowColor() { return colorWithRed(1, 1, 0, 1); }

std::shared_ptr<UIColor> UIColor::colorWithAlphaComponent(CGFloat alpha) const {
  return colorWithRed(red_, green_, blue_, alpha);
}

bool UIColor::isEqual(const UIColor& other) const {
  return red_ == other.red_ && green_ == other.green_ && blue_ == other.blue_ &&
         alpha_ == other.alpha_;
}
