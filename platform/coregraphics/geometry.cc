#include "platform/coregraphics/geometry.h"

#include <algorithm>
#include <cmath>

bool CGRectEqualToRect(CGRect a, CGRect b) { return CGRectStandardize(a) == CGRectStandardize(b); }

CGRect CGRectStandardize(CGRect r) {
  if (CGRectIsNull(r)) return r;
  if (r.size.width < 0) {
    r.origin.x += r.size.width;
    r.size.width = -r.size.width;
  }
  if (r.size.height < 0) {
    r.origin.y += r.size.height;
    r.size.height = -r.size.height;
  }
  return r;
}

CGFloat CGRectGetMinX(CGRect r) { return CGRectStandardize(r).origin.x; }
CGFloat CGRectGetMinY(CGRect r) { return CGRectStandardize(r).origin.y; }
CGFloat CGRectGetWidth(CGRect r) { return std::abs(r.size.width); }
CGFloat CGRectGetHeight(CGRect r) { return std::abs(r.size.height); }
CGFloat CGRectGetMidX(CGRect r) { return CGRectGetMinX(r) + CGRectGetWidth(r) / 2; }
CGFloat CGRectGetMidY(CGRect r) { return CGRectGetMinY(r) + CGRectGetHeight(r) / 2; }
CGFloat CGRectGetMaxX(CGRect r) { return CGRectGetMinX(r) + CGRectGetWidth(r); }
CGFloat CGRectGetMaxY(CGRect r) { return CGRectGetMinY(r) + CGRectGetHeight(r); }

bool CGRectIsNull(CGRect r) { return std::isinf(r.origin.x) || std::isinf(r.origin.y); }

bool CGRectIsEmpty(CGRect r) {
  return CGRectIsNull(r) || r.size.width == 0 || r.size.height == 0;
}

bool CGRectContainsPoint(CGRect r, CGPoint p) {
  if (CGRectIsEmpty(r)) return false;
  return p.x >= CGRectGetMinX(r) && p.x < CGRectGetMaxX(r) && p.y >= CGRectGetMinY(r) &&
         p.y < CGRectGetMaxY(r);
}

bool CGRectContainsRect(CGRect outer, CGRect inner) {
  if (CGRectIsNull(outer) || CGRectIsNull(inner)) return false;
  return CGRectGetMinX(inner) >= CGRectGetMinX(outer) &&
         CGRectGetMaxX(inner) <= CGRectGetMaxX(outer) &&
         CGRectGetMinY(inner) >= CGRectGetMinY(outer) &&
         CGRectGetMaxY(inner) <= CGRectGetMaxY(outer);
}

bool CGRectIntersectsRect(CGRect a, CGRect b) { return !CGRectIsNull(CGRectIntersection(a, b)); }

CGRect CGRectIntersection(CGRect a, CGRect b) {
  if (CGRectIsNull(a) || CGRectIsNull(b)) return CGRectNull;
  const CGFloat x0 = std::max(CGRectGetMinX(a), CGRectGetMinX(b));
  const CGFloat y0 = std::max(CGRectGetMinY(a), CGRectGetMinY(b));
  const CGFloat x1 = std::min(CGRectGetMaxX(a), CGRectGetMaxX(b));
  const CGFloat y1 = std::min(CGRectGetMaxY(a), CGRectGetMaxY(b));
  if (x1 < x0 || y1 < y0) return CGRectNull;
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

CGRect CGRectUnion(CGRect a, CGRect b) {
  if (CGRectIsNull(a)) return CGRectStandardize(b);
  if (CGRectIsNull(b)) return CGRectStandardize(a);
  const CGFloat x0 = std::min(CGRectGetMinX(a), CGRectGetMinX(b));
  const CGFloat y0 = std::min(CGRectGetMinY(a), CGRectGetMinY(b));
  const CGFloat x1 = std::max(CGRectGetMaxX(a), CGRectGetMaxX(b));
  const CGFloat y1 = std::max(CGRectGetMaxY(a), CGRectGetMaxY(b));
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

CGRect CGRectInset(CGRect r, CGFloat dx, CGFloat dy) {
  if (CGRectIsNull(r)) return r;
  r = CGRectStandardize(r);
  r.origin.x += dx;
  r.origin.y += dy;
  r.size.width -= 2 * dx;
  r.size.height -= 2 * dy;
  if (r.size.width < 0 || r.size.height < 0) return CGRectNull;
  return r;
}

CGRect CGRectOffset(CGRect r, CGFloat dx, CGFloat dy) {
  if (CGRectIsNull(r)) return r;
  r = CGRectStandardize(r);
  r.origin.x += dx;
  r.origin.y += dy;
  return r;
}

CGAffineTransform CGAffineTransformMake(CGFloat a, CGFloat b, CGFloat c, CGFloat d, CGFloat tx,
                                        CGFloat ty) {
  return {a, b, c, d, tx, ty};
}

CGAffineTransform CGAffineTransformMakeTranslation(CGFloat tx, CGFloat ty) {
  return {1, 0, 0, 1, tx, ty};
}

CGAffineTransform CGAffineTransformMakeScale(CGFloat sx, CGFloat sy) { return {sx, 0, 0, sy, 0, 0}; }

CGAffineTransform CGAffineTransformMakeRotation(CGFloat angle) {
  const CGFloat c = std::cos(angle);
  const CGFloat s = std::sin(angle);
  return {c, s, -s, c, 0, 0};
}

bool CGAffineTransformIsIdentity(CGAffineTransform t) { return t == CGAffineTransformIdentity; }

bool CGAffineTransformEqualToTransform(CGAffineTransform a, CGAffineTransform b) { return a == b; }

CGAffineTransform CGAffineTransformConcat(CGAffineTransform t1, CGAffineTransform t2) {
  // Row vectors: [x y 1] · T1 · T2.
  return {t1.a * t2.a + t1.b * t2.c,
          t1.a * t2.b + t1.b * t2.d,
          t1.c * t2.a + t1.d * t2.c,
          t1.c * t2.b + t1.d * t2.d,
          t1.tx * t2.a + t1.ty * t2.c + t2.tx,
          t1.tx * t2.b + t1.ty * t2.d + t2.ty};
}

CGAffineTransform CGAffineTransformTranslate(CGAffineTransform t, CGFloat tx, CGFloat ty) {
  return CGAffineTransformConcat(CGAffineTransformMakeTranslation(tx, ty), t);
}

CGAffineTransform CGAffineTransformScale(CGAffineTransform t, CGFloat sx, CGFloat sy) {
  return CGAffineTransformConcat(CGAffineTransformMakeScale(sx, sy), t);
}

CGAffineTransform CGAffineTransformRotate(CGAffineTransform t, CGFloat angle) {
  return CGAffineTransformConcat(CGAffineTransformMakeRotation(angle), t);
}

CGAffineTransform CGAffineTransformInvert(CGAffineTransform t) {
  const CGFloat det = t.a * t.d - t.b * t.c;
  if (det == 0 || !std::isfinite(det)) return t;
  return {t.d / det,
          -t.b / det,
          -t.c / det,
          t.a / det,
          (t.c * t.ty - t.d * t.tx) / det,
          (t.b * t.tx - t.a * t.ty) / det};
}

CGPoint CGPointApplyAffineTransform(CGPoint p, CGAffineTransform t) {
  return {t.a * p.x + t.c * p.y + t.tx, t.b * p.x + t.d * p.y + t.ty};
}

CGSize CGSizeApplyAffineTransform(CGSize s, CGAffineTransform t) {
  return {t.a * s.width + t.c * s.height, t.b * s.width + t.d * s.height};
}

CGRect CGRectApplyAffineTransform(CGRect r, CGAffineTransform t) {
  if (CGRectIsNull(r)) return r;
  const CGFloat xs[2] = {CGRectGetMinX(r), CGRectGetMaxX(r)};
  const CGFloat ys[2] = {CGRectGetMinY(r), CGRectGetMaxY(r)};
  CGRect out = CGRectNull;
  for (CGFloat x : xs) {
    for (CGFloat y : ys) {
      const CGPoint p = CGPointApplyAffineTransform({x, y}, t);
      out = CGRectUnion(out, CGRectMake(p.x, p.y, 0, 0));
    }
  }
  return out;
}

std::ostream& operator<<(std::ostream& os, const CGPoint& p) {
  return os << "(" << p.x << ", " << p.y << ")";
}

std::ostream& operator<<(std::ostream& os, const CGSize& s) {
  return os << "(" << s.width << ", " << s.height << ")";
}

std::ostream& operator<<(std::ostream& os, const CGRect& r) {
  return os << "(" << r.origin.x << ", " << r.origin.y << ", " << r.size.width << ", "
            << r.size.height << ")";
}

std::ostream& operator<<(std::ostream& os, const CGAffineTransform& t) {
  return os << "[" << t.a << ", " << t.b << ", " << t.c << ", " << t.d << ", " << t.tx << ", "
            << t.ty << "]";
}
