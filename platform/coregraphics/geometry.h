#ifndef PLATFORM_COREGRAPHICS_GEOMETRY_H_
#define PLATFORM_COREGRAPHICS_GEOMETRY_H_

// Core Graphics geometry: points, sizes, rectangles and affine transforms in double precision.
//
//   CGRect r = CGRectMake(10, 20, 100, 50);
//   CGPoint centre = CGPointMake(CGRectGetMidX(r), CGRectGetMidY(r));   // (60, 45)
//   CGAffineTransform t = CGAffineTransformConcat(CGAffineTransformMakeScale(-1, 1),
//                                                 CGAffineTransformMakeTranslation(100, 0));
//   CGPoint p = CGPointApplyAffineTransform(centre, t);                  // (40, 45)
//
// A rectangle may have a negative width or height; the Get* accessors and the set operations
// (inset, union, intersection, contains) work on its standardised form, as the platform does.
// The null rectangle (CGRectNull, origin at infinity) is what an empty intersection gives.
// An affine transform maps (x, y) to (a·x + c·y + tx, b·x + d·y + ty); concatenating t1 with t2
// gives the transform that applies t1 first, then t2. Plain values, thread-safe.

#include <limits>
#include <ostream>

using CGFloat = double;

struct CGPoint {
  CGFloat x = 0;
  CGFloat y = 0;
  friend bool operator==(const CGPoint&, const CGPoint&) = default;
};

struct CGSize {
  CGFloat width = 0;
  CGFloat height = 0;
  friend bool operator==(const CGSize&, const CGSize&) = default;
};

struct CGVector {
  CGFloat dx = 0;
  CGFloat dy = 0;
  friend bool operator==(const CGVector&, const CGVector&) = default;
};

struct CGRect {
  CGPoint origin;
  CGSize size;
  friend bool operator==(const CGRect&, const CGRect&) = default;
};

struct CGAffineTransform {
  CGFloat a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
  friend bool operator==(const CGAffineTransform&, const CGAffineTransform&) = default;
};

inline constexpr CGPoint CGPointZero = {0, 0};
inline constexpr CGSize CGSizeZero = {0, 0};
inline constexpr CGRect CGRectZero = {{0, 0}, {0, 0}};
inline constexpr CGRect CGRectNull = {{std::numeric_limits<CGFloat>::infinity(),
                                       std::numeric_limits<CGFloat>::infinity()},
                                      {0, 0}};
inline constexpr CGAffineTransform CGAffineTransformIdentity = {1, 0, 0, 1, 0, 0};

inline CGPoint CGPointMake(CGFloat x, CGFloat y) { return {x, y}; }
inline CGSize CGSizeMake(CGFloat width, CGFloat height) { return {width, height}; }
inline CGVector CGVectorMake(CGFloat dx, CGFloat dy) { return {dx, dy}; }
inline CGRect CGRectMake(CGFloat x, CGFloat y, CGFloat width, CGFloat height) {
  return {{x, y}, {width, height}};
}
inline bool CGPointEqualToPoint(CGPoint a, CGPoint b) { return a == b; }
inline bool CGSizeEqualToSize(CGSize a, CGSize b) { return a == b; }
// Compares standardised rectangles: (0, 0, -2, 1) equals (-2, 0, 2, 1).
bool CGRectEqualToRect(CGRect a, CGRect b);

// The rectangle with the same area and a non-negative width and height.
CGRect CGRectStandardize(CGRect r);
CGFloat CGRectGetMinX(CGRect r);
CGFloat CGRectGetMidX(CGRect r);
CGFloat CGRectGetMaxX(CGRect r);
CGFloat CGRectGetMinY(CGRect r);
CGFloat CGRectGetMidY(CGRect r);
CGFloat CGRectGetMaxY(CGRect r);
CGFloat CGRectGetWidth(CGRect r);
CGFloat CGRectGetHeight(CGRect r);
bool CGRectIsNull(CGRect r);
// Null, or zero width or height.
bool CGRectIsEmpty(CGRect r);
// Minimum edges inclusive, maximum edges exclusive; nothing is in an empty rectangle.
bool CGRectContainsPoint(CGRect r, CGPoint p);
bool CGRectContainsRect(CGRect outer, CGRect inner);
bool CGRectIntersectsRect(CGRect a, CGRect b);
// CGRectNull when the rectangles do not overlap (touching edges overlap in a zero-size rect).
CGRect CGRectIntersection(CGRect a, CGRect b);
// A null rectangle adds nothing to the union.
CGRect CGRectUnion(CGRect a, CGRect b);
// Moves each edge in by dx / dy (out for negative values); CGRectNull when nothing is left.
CGRect CGRectInset(CGRect r, CGFloat dx, CGFloat dy);
CGRect CGRectOffset(CGRect r, CGFloat dx, CGFloat dy);

CGAffineTransform CGAffineTransformMake(CGFloat a, CGFloat b, CGFloat c, CGFloat d, CGFloat tx,
                                        CGFloat ty);
CGAffineTransform CGAffineTransformMakeTranslation(CGFloat tx, CGFloat ty);
CGAffineTransform CGAffineTransformMakeScale(CGFloat sx, CGFloat sy);
// Counter-clockwise by `angle` radians in a y-up space (clockwise on a y-down screen).
CGAffineTransform CGAffineTransformMakeRotation(CGFloat angle);
bool CGAffineTransformIsIdentity(CGAffineTransform t);
bool CGAffineTransformEqualToTransform(CGAffineTransform a, CGAffineTransform b);
// t1 first, then t2.
CGAffineTransform CGAffineTransformConcat(CGAffineTransform t1, CGAffineTransform t2);
// The transform that first translates / scales / rotates, then applies t.
CGAffineTransform CGAffineTransformTranslate(CGAffineTransform t, CGFloat tx, CGFloat ty);
CGAffineTransform CGAffineTransformScale(CGAffineTransform t, CGFloat sx, CGFloat sy);
CGAffineTransform CGAffineTransformRotate(CGAffineTransform t, CGFloat angle);
// A singular transform has no inverse; it is returned unchanged, as the platform does.
CGAffineTransform CGAffineTransformInvert(CGAffineTransform t);
CGPoint CGPointApplyAffineTransform(CGPoint p, CGAffineTransform t);
// The size's vector mapped without translation.
CGSize CGSizeApplyAffineTransform(CGSize s, CGAffineTransform t);
// The smallest rectangle that holds the four mapped corners.
CGRect CGRectApplyAffineTransform(CGRect r, CGAffineTransform t);

std::ostream& operator<<(std::ostream& os, const CGPoint& p);
std::ostream& operator<<(std::ostream& os, const CGSize& s);
std::ostream& operator<<(std::ostream& os, const CGRect& r);
std::ostream& operator<<(std::ostream& os, const CGAffineTransform& t);

#endif  // PLATFORM_COREGRAPHICS_GEOMETRY_H_
