#include "views/focus_square_segment.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using Alignment = FocusSquare::Alignment;
using Corner = FocusSquare::Corner;
using Direction = FocusSquare::Direction;

struct SegmentCase {
  std::string name;
  Corner corner;
  Alignment alignment;
  simd_float3 open_step;  // how far one open() moves it
};
void PrintTo(const SegmentCase& c, std::ostream* os) { *os << c.name; }

class SegmentTest : public ::testing::TestWithParam<SegmentCase> {};

// The long side of a segment: its width when horizontal, its height when vertical.
double LongSide(const FocusSquare::Segment& s) {
  return s.alignment() == Alignment::horizontal ? s.plane()->width() : s.plane()->height();
}

double ShortSide(const FocusSquare::Segment& s) {
  return s.alignment() == Alignment::horizontal ? s.plane()->height() : s.plane()->width();
}

void ExpectNear(simd_float3 a, simd_float3 b) {
  EXPECT_NEAR(a.x, b.x, 1e-6);
  EXPECT_NEAR(a.y, b.y, 1e-6);
  EXPECT_NEAR(a.z, b.z, 1e-6);
}

TEST_P(SegmentTest, OpensTowardsItsCornerAndClosesBack) {
  const SegmentCase& c = GetParam();
  auto s = FocusSquare::Segment::init("s", c.corner, c.alignment);
  const simd_float3 start = {0.3f, -0.2f, 0.1f};
  s->setSimdPosition(start);
  EXPECT_DOUBLE_EQ(LongSide(*s), 0.5);
  EXPECT_DOUBLE_EQ(ShortSide(*s), 0.018);

  s->close();  // already closed: no move
  ExpectNear(s->simdPosition(), start);

  s->open();
  EXPECT_DOUBLE_EQ(LongSide(*s), 0.2);
  EXPECT_DOUBLE_EQ(ShortSide(*s), 0.018);
  ExpectNear(s->simdPosition(), start + c.open_step);

  s->open();  // a second open moves again and shrinks nothing
  EXPECT_DOUBLE_EQ(LongSide(*s), 0.2);
  ExpectNear(s->simdPosition(), start + 2.0f * c.open_step);

  s->close();  // back by the 0.3 it shrank from, once
  EXPECT_DOUBLE_EQ(LongSide(*s), 0.5);
  ExpectNear(s->simdPosition(), start + c.open_step);
  s->close();
  ExpectNear(s->simdPosition(), start + c.open_step);
}

INSTANTIATE_TEST_SUITE_P(
    Corners, SegmentTest,
    ::testing::Values(
        SegmentCase{"topLeftHorizontal", Corner::topLeft, Alignment::horizontal, {-0.15f, 0, 0}},
        SegmentCase{"topLeftVertical", Corner::topLeft, Alignment::vertical, {0, -0.15f, 0}},
        SegmentCase{"topRightHorizontal", Corner::topRight, Alignment::horizontal, {0.15f, 0, 0}},
        SegmentCase{"topRightVertical", Corner::topRight, Alignment::vertical, {0, -0.15f, 0}},
        SegmentCase{"bottomRightHorizontal", Corner::bottomRight, Alignment::horizontal,
                    {0.15f, 0, 0}},
        SegmentCase{"bottomRightVertical", Corner::bottomRight, Alignment::vertical,
                    {0, 0.15f, 0}},
        SegmentCase{"bottomLeftHorizontal", Corner::bottomLeft, Alignment::horizontal,
                    {-0.15f, 0, 0}},
        SegmentCase{"bottomLeftVertical", Corner::bottomLeft, Alignment::vertical,
                    {0, 0.15f, 0}}),
    [](const ::testing::TestParamInfo<SegmentCase>& info) { return info.param.name; });

TEST(SegmentSetUpTest, NamedUnlitPrimaryColouredPlaneAtTheOrigin) {
  auto s = FocusSquare::Segment::init("s7", Corner::bottomLeft, Alignment::horizontal);
  EXPECT_EQ(s->name(), "s7");
  EXPECT_EQ(s->geometry(), s->plane());
  ExpectNear(s->simdPosition(), {0, 0, 0});
  const auto material = s->plane()->materials().at(0);
  EXPECT_TRUE(material->diffuse().color()->isEqual(*UIColor::colorWithRed(1.0f, 0.8f, 0.0f, 1)));
  EXPECT_TRUE(material->emission().color()->isEqual(*FocusSquare::primaryColor()));
  EXPECT_TRUE(material->ambient().color()->isEqual(*UIColor::blackColor()));
  EXPECT_TRUE(material->isDoubleSided());
  EXPECT_EQ(material->lightingModelName(), SCNLightingModelConstant);
}

TEST(SegmentSetUpTest, ReversedSwapsOppositeDirections) {
  for (Direction d : {Direction::up, Direction::down, Direction::left, Direction::right}) {
    EXPECT_NE(FocusSquare::reversed(d), d);
    EXPECT_EQ(FocusSquare::reversed(FocusSquare::reversed(d)), d);
  }
  EXPECT_EQ(FocusSquare::reversed(Direction::up), Direction::down);
  EXPECT_EQ(FocusSquare::reversed(Direction::left), Direction::right);
}

TEST(SegmentDeathTest, ArchivesAreRefused) {
  EXPECT_DEATH(FocusSquare::Segment::initWithCoder(nullptr),
               "init\\(coder:\\) has not been implemented");
}

}  // namespace
