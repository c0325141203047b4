// Colours from hue, saturation and brightness.

#include <algorithm>
#include <cmath>

#include "platform/uikit/ui_color.h"

std::shared_ptr<UIColor> UIColor::colorWithHue(CGFloat hue, CGFloat saturation,
                                               CGFloat brightness, CGFloat alpha) {
  const CGFloat s = std::clamp<CGFloat>(saturation, 0, 1);
  const CGFloat v = std::clamp<CGFloat>(brightness, 0, 1);
  CGFloat h = std::fmod(hue, 1.0);
  if (h < 0) h += 1;
  // Six sectors of the colour wheel; within each one channel rises or falls linearly.
  const CGFloat sector = h * 6;
  const int i = static_cast<int>(std::floor(sector)) % 6;
  const CGFloat f = sector - std::floor(sector);
  const CGFloat p = v * (1 - s);
  const CGFloat q = v * (1 - s * f);
  const CGFloat t = v * (1 - s * (1 - f));
  switch (i) {
    case 0: return colorWithRed(v, t, p, alpha);
    case 1: return colorWithRed(q, v, p, alpha);
    case 2: return colorWithRed(p, v, t, alpha);
    case 3: return colorWithRed(p, q, v, alpha);
    case 4: return colorWithRed(t, p, v, alpha);
    default: return colorWithRed(v, p, q, alpha);
  }
}
