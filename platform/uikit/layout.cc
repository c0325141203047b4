#include "platform/uikit/layout.h"

#include "base/logging.h"
#include "platform/uikit/ui_view.h"

namespace {

// The nearest view that is `a` or an ancestor of it and also `b` or an ancestor of `b`.
std::shared_ptr<UIView> CommonAncestor(const std::shared_ptr<UIView>& a,
                                       const std::shared_ptr<UIView>& b) {
  if (b == nullptr) return a;
  if (a == nullptr) return b;
  for (auto v = a; v != nullptr; v = v->superview()) {
    if (v == b || b->isDescendantOfView(v)) return v;
  }
  return nullptr;
}

}  // namespace

std::shared_ptr<NSLayoutConstraint> NSLayoutAnchor::Make(NSLayoutRelation relation,
                                                         const NSLayoutAnchor* other,
                                                         CGFloat multiplier,
                                                         CGFloat constant) const {
  return NSLayoutConstraint::constraintWithItem(
      item(), attribute_, relation, other != nullptr ? other->item() : nullptr,
      other != nullptr ? other->attribute() : NSLayoutAttributeNotAnAttribute, multiplier,
      constant);
}

std::shared_ptr<NSLayoutConstraint> NSLayoutAnchor::constraintEqualToAnchor(
    const NSLayoutAnchor& other, CGFloat constant) const {
  return Make(NSLayoutRelationEqual, &other, 1, constant);
}

std::shared_ptr<NSLayoutConstraint> NSLayoutAnchor::constraintGreaterThanOrEqualToAnchor(
    const NSLayoutAnchor& other, CGFloat constant) const {
  return Make(NSLayoutRelationGreaterThanOrEqual, &other, 1, constant);
}

std::shared_ptr<NSLayoutConstraint> NSLayoutAnchor::constraintLessThanOrEqualToAnchor(
    const NSLayoutAnchor& other, CGFloat constant) const {
  return Make(NSLayoutRelationLessThanOrEqual, &other, 1, constant);
}

std::shared_ptr<NSLayoutConstraint> NSLayoutDimension::constraintEqualToConstant(
    CGFloat constant) const {
  return Make(NSLayoutRelationEqual, nullptr, 1, constant);
}

std::shared_ptr<NSLayoutConstraint> NSLayoutConstraint::constraintWithItem(
    std::shared_ptr<platform::uikit::LayoutItem> item1, NSLayoutAttribute attr1,
    NSLayoutRelation relation, std::shared_ptr<platform::uikit::LayoutItem> item2,
    NSLayoutAttribute attr2, CGFloat multiplier, CGFloat constant) {
  CHECK(item1 != nullptr) << "a constraint needs a first item";
  std::shared_ptr<NSLayoutConstraint> c(new NSLayoutConstraint);
  c->first_item_ = item1;
  c->first_attribute_ = attr1;
  c->relation_ = relation;
  c->second_item_ = item2;
  c->second_attribute_ = item2 != nullptr ? attr2 : NSLayoutAttributeNotAnAttribute;
  c->multiplier_ = multiplier;
  c->constant_ = constant;
  return c;
}

void NSLayoutConstraint::activateConstraints(
    const std::vector<std::shared_ptr<NSLayoutConstraint>>& list) {
  for (const auto& c : list) c->setActive(true);
}

void NSLayoutConstraint::deactivateConstraints(
    const std::vector<std::shared_ptr<NSLayoutConstraint>>& list) {
  for (const auto& c : list) c->setActive(false);
}

void NSLayoutConstraint::setActive(bool active) {
  if (!active) {
    if (auto view = installed_on_.lock()) view->removeConstraint(shared_from_this());
    return;
  }
  if (isActive()) return;
  auto first = firstItem();
  auto second = secondItem();
  auto owner = CommonAncestor(first != nullptr ? first->layoutOwnerView() : nullptr,
                              second != nullptr ? second->layoutOwnerView() : nullptr);
  CHECK(owner != nullptr) << "Unable to activate constraint: its items have no common ancestor";
  owner->addConstraint(shared_from_this());
}

std::shared_ptr<UILayoutGuide> UILayoutGuide::init() {
  return std::shared_ptr<UILayoutGuide>(new UILayoutGuide);
}

namespace platform::uikit {

#define QM_ITEM_ANCHOR(Type, name, attribute) \
  std::shared_ptr<Type> LayoutItem::name() { return std::make_shared<Type>(WeakItem(), attribute); }
QM_ITEM_ANCHOR(NSLayoutXAxisAnchor, leadingAnchor, NSLayoutAttributeLeading)
QM_ITEM_ANCHOR(NSLayoutXAxisAnchor, trailingAnchor, NSLayoutAttributeTrailing)
QM_ITEM_ANCHOR(NSLayoutXAxisAnchor, leftAnchor, NSLayoutAttributeLeft)
QM_ITEM_ANCHOR(NSLayoutXAxisAnchor, rightAnchor, NSLayoutAttributeRight)
QM_ITEM_ANCHOR(NSLayoutXAxisAnchor, centerXAnchor, NSLayoutAttributeCenterX)
QM_ITEM_ANCHOR(NSLayoutYAxisAnchor, topAnchor, NSLayoutAttributeTop)
QM_ITEM_ANCHOR(NSLayoutYAxisAnchor, bottomAnchor, NSLayoutAttributeBottom)
QM_ITEM_ANCHOR(NSLayoutYAxisAnchor, centerYAnchor, NSLayoutAttributeCenterY)
QM_ITEM_ANCHOR(NSLayoutDimension, widthAnchor, NSLayoutAttributeWidth)
QM_ITEM_ANCHOR(NSLayoutDimension, heightAnchor, NSLayoutAttributeHeight)
#undef QM_ITEM_ANCHOR

}  // namespace platform::uikit
