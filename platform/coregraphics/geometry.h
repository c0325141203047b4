#ifndef PLATFORM_COREGRAPHICS_GEOMETRY_H_
#define PLATFORM_COREGRAPHICS_GEOMETRY_H_

// Core Graphics geometry: points, sizes and rectangles in floating-point user-space units.

using CGFloat = double;

struct CGPoint {
  CGFloat x = 0;
  CGFloat y = 0;
};

struct CGSize {
  CGFloat width = 0;
  CGFloat height = 0;
};

struct CGRect {
  CGPoint origin;
  CGSize size;
};

inline CGRect CGRectMake(CGFloat x, CGFloat y, CGFloat width, CGFloat height) {
  return CGRect{{x, y}, {width, height}};
}

#endif  // PLATFORM_COREGRAPHICS_GEOMETRY_H_
