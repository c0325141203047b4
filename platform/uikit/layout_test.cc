#include "platform/uikit/layout.h"

#include "gtest/gtest.h"
#include "platform/uikit/ui_button.h"
#include "platform/uikit/ui_view.h"

namespace {

std::shared_ptr<NSLayoutConstraint> WithIdentifier(const std::shared_ptr<UIView>& view,
                                                   const std::string& id) {
  for (const auto& c : view->constraints()) {
    if (c->identifier() == id) return c;
  }
  return nullptr;
}

TEST(Layout, ConstraintsAreRecordsInstalledOnTheCommonAncestor) {
  auto root = UIView::initWithFrame(CGRectMake(0, 0, 320, 640));
  auto button = UIButton::buttonWithType(UIButtonTypeSystem);
  root->addSubview(button);
  button->setTranslatesAutoresizingMaskIntoConstraints(false);

  auto width = button->widthAnchor()->constraintEqualToConstant(48);
  width->setIdentifier("width");
  button->addConstraint(width);
  auto centre = button->centerXAnchor()->constraintEqualToAnchor(
      root->layoutMarginsGuide()->centerXAnchor(), 0);
  centre->setActive(true);
  centre->setIdentifier("centerXAnchor");
  auto bottom = button->bottomAnchor()->constraintEqualToAnchor(
      root->safeAreaLayoutGuide()->bottomAnchor(), -30);
  bottom->setActive(true);
  bottom->setIdentifier("bottomAnchor");

  ASSERT_EQ(button->constraints().size(), 1u);
  EXPECT_EQ(WithIdentifier(button, "width")->constant(), 48);
  EXPECT_EQ(WithIdentifier(button, "width")->secondItem(), nullptr);
  EXPECT_EQ(WithIdentifier(button, "width")->firstAttribute(), NSLayoutAttributeWidth);

  ASSERT_EQ(root->constraints().size(), 2u);
  auto b = WithIdentifier(root, "bottomAnchor");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->firstItem(), button);
  EXPECT_EQ(b->firstAttribute(), NSLayoutAttributeBottom);
  EXPECT_EQ(b->secondItem(), root->safeAreaLayoutGuide());
  EXPECT_EQ(b->secondAttribute(), NSLayoutAttributeBottom);
  EXPECT_EQ(b->relation(), NSLayoutRelationEqual);
  EXPECT_EQ(b->multiplier(), 1);
  EXPECT_EQ(b->constant(), -30);
  EXPECT_EQ(WithIdentifier(root, "centerXAnchor")->secondItem(), root->layoutMarginsGuide());
  // A guide is not a view.
  EXPECT_EQ(std::dynamic_pointer_cast<UIView>(b->secondItem()), nullptr);

  centre->setActive(false);
  EXPECT_FALSE(centre->isActive());
  EXPECT_EQ(root->constraints().size(), 1u);
  EXPECT_EQ(WithIdentifier(root, "centerXAnchor"), nullptr);

  // Walking a view's constraints while deactivating them, as repositioning does.
  centre->setActive(true);
  for (const auto& c : root->constraints()) c->setActive(false);
  EXPECT_TRUE(root->constraints().empty());
}

TEST(Layout, SiblingsMeetAtTheirNearestAncestor) {
  auto root = UIView::init();
  auto middle = UIView::init();
  auto a = UIView::init();
  auto b = UIView::init();
  root->addSubview(middle);
  middle->addSubview(a);
  middle->addSubview(b);
  auto c = a->leadingAnchor()->constraintEqualToAnchor(b->trailingAnchor(), 8);
  NSLayoutConstraint::activateConstraints({c});
  EXPECT_EQ(c->installedOn(), middle);
  EXPECT_TRUE(root->constraints().empty());
  // A view and its own guide meet at the view.
  auto top = a->topAnchor()->constraintEqualToAnchor(a->layoutMarginsGuide()->topAnchor(), 0);
  top->setActive(true);
  EXPECT_EQ(top->installedOn(), a);
}

TEST(LayoutDeathTest, ItemsWithoutCommonAncestorCannotBeActivated) {
  auto a = UIView::init();
  auto b = UIView::init();
  auto c = a->topAnchor()->constraintEqualToAnchor(b->topAnchor(), 0);
  EXPECT_DEATH(c->setActive(true), "no common ancestor");
}

TEST(Layout, GuidesFollowBoundsMarginsAndSafeArea) {
  auto view = UIView::initWithFrame(CGRectMake(10, 10, 100, 200));
  view->setSafeAreaInsets(UIEdgeInsetsMake(20, 0, 34, 0));
  EXPECT_EQ(view->layoutMarginsGuide()->layoutFrame(), CGRectMake(8, 8, 84, 184));
  EXPECT_EQ(view->safeAreaLayoutGuide()->layoutFrame(), CGRectMake(0, 20, 100, 146));
  EXPECT_EQ(view->layoutMarginsGuide()->owningView(), view);
}

}  // namespace
