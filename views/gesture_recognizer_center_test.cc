#include "views/gesture_recognizer_center.h"

#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

struct CenterCase {
  std::string name;
  std::vector<CGPoint> touches;
  std::optional<CGPoint> expected;  // in the recogniser's own view
};

void PrintTo(const CenterCase& c, std::ostream* os) { *os << c.name; }

class GestureCenter : public testing::TestWithParam<CenterCase> {};

// The recogniser sits on a view placed at (100, 200) in its parent, so the same centre is also
// checked in the parent's coordinates.
TEST_P(GestureCenter, IsTheMiddleOfTheTouchesBoundingBox) {
  auto parent = UIView::initWithFrame(CGRectMake(0, 0, 400, 800));
  auto view = UIView::initWithFrame(CGRectMake(100, 200, 50, 50));
  parent->addSubview(view);
  auto recognizer = UIGestureRecognizer::initWithTarget({}, nullptr);
  view->addGestureRecognizer(recognizer);
  platform::uikit::SetTouches(*recognizer, GetParam().touches);

  const std::optional<CGPoint> own = center(*recognizer, view);
  const std::optional<CGPoint> in_parent = center(*recognizer, parent);
  ASSERT_EQ(own.has_value(), GetParam().expected.has_value());
  ASSERT_EQ(in_parent.has_value(), GetParam().expected.has_value());
  if (!own) return;
  EXPECT_EQ(*own, *GetParam().expected);
  EXPECT_EQ(*in_parent, CGPointMake(GetParam().expected->x + 100, GetParam().expected->y + 200));
}

INSTANTIATE_TEST_SUITE_P(
    Touches, GestureCenter,
    testing::Values(CenterCase{"None", {}, std::nullopt},
                    CenterCase{"One", {{7, 9}}, CGPoint{7, 9}},
                    CenterCase{"Two", {{0, 0}, {10, -4}}, CGPoint{5, -2}},
                    // The bounding box's middle, not the average (3.33, 10) of the points.
                    CenterCase{"ThreeIsBoxNotAverage", {{0, 0}, {10, 0}, {0, 30}}, CGPoint{5, 15}}),
    [](const testing::TestParamInfo<CenterCase>& info) { return info.param.name; });

}  // namespace
