#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "views/base_ar_scn_view.h"

namespace {

using Position = BaseARSCNView::ControlButtonPosition;

enum class Guide { kMargins, kSafeArea };

struct Pin {
  std::string identifier;
  NSLayoutAttribute attribute;
  Guide guide;
  CGFloat constant;
};

struct PositionCase {
  const char* name;
  Position position;
  Pin first;
  Pin second;
};

void PrintTo(const PositionCase& c, std::ostream* os) { *os << c.name; }

class ControlPositionTest : public testing::TestWithParam<PositionCase> {};

// The two active constraints of the control, in creation order, must pin the named anchors to
// the guides of the base view.
TEST_P(ControlPositionTest, PinsTwoIdentifiedAnchorsToTheViewsGuides) {
  const PositionCase& c = GetParam();
  auto view = BaseARSCNView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
  auto control = UIView::init();
  view->addSubview(control);
  view->setViewPosition(control, c.position);
  EXPECT_FALSE(control->translatesAutoresizingMaskIntoConstraints());

  std::vector<std::shared_ptr<NSLayoutConstraint>> pins;
  for (const auto& constraint : view->constraints()) {
    if (constraint->firstItem() == control) pins.push_back(constraint);
  }
  ASSERT_EQ(pins.size(), 2u);
  const Pin expected[] = {c.first, c.second};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(expected[i].identifier);
    EXPECT_EQ(pins[i]->identifier(), expected[i].identifier);
    EXPECT_EQ(pins[i]->firstAttribute(), expected[i].attribute);
    EXPECT_EQ(pins[i]->secondAttribute(), expected[i].attribute);
    EXPECT_EQ(pins[i]->relation(), NSLayoutRelationEqual);
    EXPECT_EQ(pins[i]->secondItem(), expected[i].guide == Guide::kMargins
                                         ? view->layoutMarginsGuide()
                                         : view->safeAreaLayoutGuide());
    EXPECT_EQ(pins[i]->constant(), expected[i].constant);
  }
}

constexpr NSLayoutAttribute kLeading = NSLayoutAttributeLeading;
constexpr NSLayoutAttribute kTrailing = NSLayoutAttributeTrailing;
constexpr NSLayoutAttribute kTop = NSLayoutAttributeTop;
constexpr NSLayoutAttribute kBottom = NSLayoutAttributeBottom;
constexpr NSLayoutAttribute kCenterX = NSLayoutAttributeCenterX;
constexpr NSLayoutAttribute kCenterY = NSLayoutAttributeCenterY;
constexpr Guide kM = Guide::kMargins;
constexpr Guide kS = Guide::kSafeArea;

INSTANTIATE_TEST_SUITE_P(
    AllPositions, ControlPositionTest,
    testing::Values(
        PositionCase{"bottomLeading", Position::bottomLeading, {"leadingAnchor", kLeading, kM, 16},
                     {"bottomAnchor", kBottom, kM, -30}},
        PositionCase{"bottomCenter", Position::bottomCenter, {"centerXAnchor", kCenterX, kM, 0},
                     {"bottomAnchor", kBottom, kS, -30}},
        PositionCase{"bottomTrailing", Position::bottomTrailing,
                     {"trailingAnchor", kTrailing, kM, -16}, {"bottomAnchor", kBottom, kM, -30}},
        PositionCase{"topLeading", Position::topLeading, {"leadingAnchor", kLeading, kM, 16},
                     {"topAnchor", kTop, kM, 30}},
        PositionCase{"topCenter", Position::topCenter, {"centerXAnchor", kCenterX, kM, 0},
                     {"topAnchor", kTop, kS, 30}},
        PositionCase{"topTrailing", Position::topTrailing, {"trailingAnchor", kTrailing, kM, -16},
                     {"topAnchor", kTop, kS, 30}},
        PositionCase{"centerLeading", Position::centerLeading, {"leadingAnchor", kLeading, kM, 16},
                     {"centerYAnchor", kCenterY, kM, 0}},
        PositionCase{"centerTrailing", Position::centerTrailing,
                     {"trailingAnchor", kTrailing, kM, -16}, {"centerYAnchor", kCenterY, kM, 0}},
        PositionCase{"center", Position::center, {"centerYAnchor", kCenterY, kM, 0},
                     {"centerXAnchor", kCenterX, kM, 0}}),
    [](const testing::TestParamInfo<PositionCase>& info) { return std::string(info.param.name); });

TEST(ControlButtonPosition, RawValuesZeroToEightOnly) {
  for (long raw = 0; raw <= 8; ++raw) {
    auto position = BaseARSCNView::controlButtonPosition(raw);
    ASSERT_TRUE(position.has_value()) << raw;
    EXPECT_EQ(static_cast<long>(*position), raw);
  }
  EXPECT_FALSE(BaseARSCNView::controlButtonPosition(-1).has_value());
  EXPECT_FALSE(BaseARSCNView::controlButtonPosition(9).has_value());
}

class ControlLayoutTest : public testing::Test {
 protected:
  // The identifiers of the active constraints installed on the base view that involve `item`.
  std::vector<std::string> PinsOf(const std::shared_ptr<UIView>& item) {
    std::vector<std::string> ids;
    for (const auto& constraint : view_->constraints()) {
      if (constraint->firstItem() == item || constraint->secondItem() == item) {
        ids.push_back(constraint->identifier());
      }
    }
    return ids;
  }

  std::shared_ptr<BaseARSCNView> view_ = BaseARSCNView::initWithFrame(CGRectZero, {});
  std::shared_ptr<UIButton> button_ = view_->screenShotButton();
};

TEST_F(ControlLayoutTest, MovingReplacesOnlyTheControlsIdentifiedPositionPair) {
  auto other = UIView::init();
  view_->addSubview(other);
  view_->setViewPosition(other, Position::topLeading);
  // Positional constraints of the button without an identifier, or with another one, stay.
  auto unnamed = button_->topAnchor()->constraintEqualToAnchor(view_->topAnchor(), 5);
  unnamed->setActive(true);
  auto custom = button_->leadingAnchor()->constraintEqualToAnchor(view_->leadingAnchor(), 5);
  custom->setActive(true);
  custom->setIdentifier("mine");
  // The button as second item counts too.
  auto reversed = view_->trailingAnchor()->constraintEqualToAnchor(button_->trailingAnchor(), 0);
  reversed->setActive(true);
  reversed->setIdentifier("trailingAnchor");

  view_->setViewPosition(button_, Position::topTrailing);
  view_->setViewPosition(button_, Position::centerLeading);
  EXPECT_EQ(PinsOf(button_),
            (std::vector<std::string>{"", "mine", "leadingAnchor", "centerYAnchor"}));
  EXPECT_FALSE(reversed->isActive());
  EXPECT_EQ(PinsOf(other), (std::vector<std::string>{"leadingAnchor", "topAnchor"}));
  // Size constraints stay through every move.
  ASSERT_EQ(button_->constraints().size(), 2u);
  EXPECT_EQ(button_->constraints()[0]->identifier(), "width");

  // A raw position outside the nine is refused before anything is deactivated.
  view_->setViewPosition(button_, 9L);
  view_->setViewPosition(button_, -1L);
  EXPECT_EQ(PinsOf(button_),
            (std::vector<std::string>{"", "mine", "leadingAnchor", "centerYAnchor"}));
  view_->setViewPosition(button_, 8L);
  EXPECT_EQ(PinsOf(button_),
            (std::vector<std::string>{"", "mine", "centerYAnchor", "centerXAnchor"}));
}

TEST_F(ControlLayoutTest, ViewWithoutSuperviewIsLeftAlone) {
  auto loose = UIView::init();
  view_->setViewPosition(loose, Position::center);
  EXPECT_TRUE(loose->translatesAutoresizingMaskIntoConstraints());
  EXPECT_TRUE(PinsOf(loose).empty());
}

TEST_F(ControlLayoutTest, SizeConstraintsAccumulate) {
  view_->constraintSetWidth(button_, 60);
  const auto own = button_->constraints();
  ASSERT_EQ(own.size(), 3u);
  EXPECT_EQ(own[2]->identifier(), "width");
  EXPECT_EQ(own[2]->constant(), 60);
  EXPECT_EQ(own[0]->constant(), 48);
  EXPECT_TRUE(own[0]->isActive());
}

}  // namespace
