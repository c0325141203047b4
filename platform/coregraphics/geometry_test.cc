#include "platform/coregraphics/geometry.h"

#include <cmath>

#include "gtest/gtest.h"

namespace {

void ExpectPointNear(CGPoint a, CGPoint b) {
  EXPECT_NEAR(a.x, b.x, 1e-12) << a << " vs " << b;
  EXPECT_NEAR(a.y, b.y, 1e-12) << a << " vs " << b;
}

TEST(CGRect, AccessorsWorkOnTheStandardisedRectangle) {
  const CGRect r = CGRectMake(10, 20, -4, 6);  // spans x 6..10
  EXPECT_EQ(CGRectGetMinX(r), 6);
  EXPECT_EQ(CGRectGetMidX(r), 8);
  EXPECT_EQ(CGRectGetMaxX(r), 10);
  EXPECT_EQ(CGRectGetMidY(r), 23);
  EXPECT_EQ(CGRectGetWidth(r), 4);
  EXPECT_TRUE(CGRectEqualToRect(r, CGRectMake(6, 20, 4, 6)));
  // Mid point of bounds with a non-zero origin is not half the size.
  EXPECT_EQ(CGRectGetMidX(CGRectMake(100, 0, 50, 10)), 125);
}

TEST(CGRect, ContainsIntersectsAndUnion) {
  const CGRect r = CGRectMake(0, 0, 10, 10);
  EXPECT_TRUE(CGRectContainsPoint(r, {0, 0}));
  EXPECT_FALSE(CGRectContainsPoint(r, {10, 5}));  // max edge excluded
  EXPECT_FALSE(CGRectContainsPoint(CGRectMake(0, 0, 0, 10), {0, 1}));
  EXPECT_TRUE(CGRectContainsRect(r, CGRectMake(2, 2, 8, 8)));
  EXPECT_FALSE(CGRectContainsRect(r, CGRectMake(2, 2, 9, 8)));

  EXPECT_EQ(CGRectIntersection(r, CGRectMake(5, -5, 10, 10)), CGRectMake(5, 0, 5, 5));
  EXPECT_TRUE(CGRectIsNull(CGRectIntersection(r, CGRectMake(11, 0, 1, 1))));
  EXPECT_FALSE(CGRectIntersectsRect(r, CGRectMake(11, 0, 1, 1)));
  EXPECT_EQ(CGRectUnion(r, CGRectMake(-2, 4, 1, 20)), CGRectMake(-2, 0, 12, 24));
  EXPECT_EQ(CGRectUnion(CGRectNull, r), r);
  EXPECT_TRUE(CGRectIsEmpty(CGRectNull));

  EXPECT_EQ(CGRectInset(r, 2, 3), CGRectMake(2, 3, 6, 4));
  EXPECT_TRUE(CGRectIsNull(CGRectInset(r, 6, 0)));
  EXPECT_EQ(CGRectOffset(r, -1, 2), CGRectMake(-1, 2, 10, 10));
}

TEST(CGAffineTransform, ConcatAppliesFirstThenSecond) {
  const CGAffineTransform mirror = CGAffineTransformMakeScale(-1, 1);
  const CGAffineTransform shift = CGAffineTransformMakeTranslation(100, 0);
  const CGPoint p = CGPointMake(30, 7);
  EXPECT_EQ(CGPointApplyAffineTransform(p, CGAffineTransformConcat(mirror, shift)),
            CGPointMake(70, 7));
  EXPECT_EQ(CGPointApplyAffineTransform(p, CGAffineTransformConcat(shift, mirror)),
            CGPointMake(-130, 7));
  // Translate / Scale / Rotate put the new step before the old transform.
  EXPECT_EQ(CGAffineTransformTranslate(mirror, 100, 0), CGAffineTransformConcat(shift, mirror));

  // A quarter rotation turns +x to +y.
  ExpectPointNear(CGPointApplyAffineTransform({1, 0}, CGAffineTransformMakeRotation(M_PI / 2)),
                  {0, 1});
  ExpectPointNear(
      CGPointApplyAffineTransform({1, 0}, CGAffineTransformRotate(shift, M_PI / 2)), {100, 1});
}

TEST(CGAffineTransform, InvertUndoesAndSingularIsReturnedUnchanged) {
  const CGAffineTransform t = CGAffineTransformMake(2, 1, -0.5, 3, 10, -4);
  const CGAffineTransform inv = CGAffineTransformInvert(t);
  const CGPoint p = CGPointMake(3.5, -8);
  ExpectPointNear(CGPointApplyAffineTransform(CGPointApplyAffineTransform(p, t), inv), p);
  const CGAffineTransform both = CGAffineTransformConcat(t, inv);
  EXPECT_NEAR(both.a, 1, 1e-12);
  EXPECT_NEAR(both.b, 0, 1e-12);
  EXPECT_NEAR(both.tx, 0, 1e-12);
  EXPECT_NEAR(both.ty, 0, 1e-12);

  const CGAffineTransform flat = CGAffineTransformMakeScale(0, 2);
  EXPECT_EQ(CGAffineTransformInvert(flat), flat);
}

TEST(CGAffineTransform, RectAndSizeMapping) {
  const CGAffineTransform t =
      CGAffineTransformConcat(CGAffineTransformMakeScale(-2, 1), CGAffineTransformMakeTranslation(5, 1));
  EXPECT_EQ(CGRectApplyAffineTransform(CGRectMake(1, 1, 2, 3), t), CGRectMake(-1, 2, 4, 3));
  EXPECT_EQ(CGSizeApplyAffineTransform(CGSizeMake(2, 3), t), CGSizeMake(-4, 3));
  EXPECT_TRUE(CGAffineTransformIsIdentity(CGAffineTransformIdentity));
}

}  // namespace
