#ifndef PLATFORM_UIKIT_UI_COLOR_H_
#define PLATFORM_UIKIT_UI_COLOR_H_

// Colours as RGBA values in 0..1; shared and immutable, compared by value.
//
//   button->setTintColor(UIColor::whiteColor());
//   EXPECT_TRUE(button->tintColor()->isEqual(*UIColor::colorWithRed(1, 1, 1, 1)));

#include <memory>

#include "platform/coregraphics/geometry.h"

class UIColor {
 public:
  static std::shared_ptr<UIColor> colorWithRed(CGFloat red, CGFloat green, CGFloat blue,
                                               CGFloat alpha);
  // Hue, saturation and brightness in 0..1 (hue wraps around), converted to RGB at creation.
  static std::shared_ptr<UIColor> colorWithHue(CGFloat hue, CGFloat saturation,
                                               CGFloat brightness, CGFloat alpha);
  static std::shared_ptr<UIColor> colorWithWhite(CGFloat white, CGFloat alpha);
  static std::shared_ptr<UIColor> whiteColor();
  static std::shared_ptr<UIColor> blackColor();
  static std::shared_ptr<UIColor> clearColor();
  static std::shared_ptr<UIColor> redColor();
  static std::shared_ptr<UIColor> yellowColor();

  UIColor(CGFloat red, CGFloat green, CGFloat blue, CGFloat alpha)
      : red_(red), green_(green), blue_(blue), alpha_(alpha) {}
  CGFloat red() const { return red_; }
  CGFloat green() const { return green_; }
  CGFloat blue() const { return blue_; }
  CGFloat alpha() const { return alpha_; }
  std::shared_ptr<UIColor> colorWithAlphaComponent(CGFloat alpha) const;
  bool isEqual(const UIColor& other) const;

 private:
  const CGFloat red_, green_, blue_, alpha_;
};

#endif  // PLATFORM_UIKIT_UI_COLOR_H_
