#ifndef PLATFORM_UIKIT_LAYOUT_H_
#define PLATFORM_UIKIT_LAYOUT_H_

// Auto Layout as records: anchors, constraints and layout guides. Nothing is solved; frames
// change only when set. Tests read the constraints a view holds.
//
//   auto c = button->centerXAnchor()->constraintEqualToAnchor(
//       view->layoutMarginsGuide()->centerXAnchor(), 0);
//   c->setActive(true);                 // installed on the nearest common ancestor (view)
//   c->setIdentifier("centerXAnchor");
//   auto w = button->widthAnchor()->constraintEqualToConstant(48);
//   button->addConstraint(w);           // installed on the button itself
//
// A constraint names a first item and attribute, a relation, an optional second item and
// attribute, a multiplier and a constant. Items are views or layout guides, held weakly. An
// active constraint sits in the `constraints()` of the view it is installed on: for setActive
// the nearest common ancestor of the items' views (a guide counts as its owning view); for
// UIView::addConstraint the view it is added to. Deactivating removes it from there. Activating
// a constraint whose items share no ancestor is a failed CHECK, as the platform raises there.
// Main thread only, like the rest of UIKit.

#include <memory>
#include <string>
#include <vector>

#include "platform/coregraphics/geometry.h"

class UIView;
class NSLayoutConstraint;
class NSLayoutXAxisAnchor;
class NSLayoutYAxisAnchor;
class NSLayoutDimension;

enum NSLayoutAttribute : long {
  NSLayoutAttributeNotAnAttribute = 0,
  NSLayoutAttributeLeft = 1,
  NSLayoutAttributeRight = 2,
  NSLayoutAttributeTop = 3,
  NSLayoutAttributeBottom = 4,
  NSLayoutAttributeLeading = 5,
  NSLayoutAttributeTrailing = 6,
  NSLayoutAttributeWidth = 7,
  NSLayoutAttributeHeight = 8,
  NSLayoutAttributeCenterX = 9,
  NSLayoutAttributeCenterY = 10,
};

enum NSLayoutRelation : long {
  NSLayoutRelationLessThanOrEqual = -1,
  NSLayoutRelationEqual = 0,
  NSLayoutRelationGreaterThanOrEqual = 1,
};

namespace platform::uikit {

// What constraints refer to: a view or a layout guide, with its anchors.
class LayoutItem {
 public:
  virtual ~LayoutItem() = default;
  // The view the item belongs to: the view itself, or the guide's owning view.
  virtual std::shared_ptr<UIView> layoutOwnerView() const = 0;

  std::shared_ptr<NSLayoutXAxisAnchor> leadingAnchor();
  std::shared_ptr<NSLayoutXAxisAnchor> trailingAnchor();
  std::shared_ptr<NSLayoutXAxisAnchor> leftAnchor();
  std::shared_ptr<NSLayoutXAxisAnchor> rightAnchor();
  std::shared_ptr<NSLayoutXAxisAnchor> centerXAnchor();
  std::shared_ptr<NSLayoutYAxisAnchor> topAnchor();
  std::shared_ptr<NSLayoutYAxisAnchor> bottomAnchor();
  std::shared_ptr<NSLayoutYAxisAnchor> centerYAnchor();
  std::shared_ptr<NSLayoutDimension> widthAnchor();
  std::shared_ptr<NSLayoutDimension> heightAnchor();

 protected:
  // This item as the anchors hold it (weakly).
  virtual std::weak_ptr<LayoutItem> WeakItem() = 0;
};

}  // namespace platform::uikit

class NSLayoutAnchor {
 public:
  NSLayoutAnchor(std::weak_ptr<platform::uikit::LayoutItem> item, NSLayoutAttribute attribute)
      : item_(std::move(item)), attribute_(attribute) {}
  virtual ~NSLayoutAnchor() = default;

  std::shared_ptr<platform::uikit::LayoutItem> item() const { return item_.lock(); }
  NSLayoutAttribute attribute() const { return attribute_; }

  // Inactive constraints "this = other + constant" (and the inequalities).
  std::shared_ptr<NSLayoutConstraint> constraintEqualToAnchor(const NSLayoutAnchor& other,
                                                              CGFloat constant = 0) const;
  std::shared_ptr<NSLayoutConstraint> constraintGreaterThanOrEqualToAnchor(
      const NSLayoutAnchor& other, CGFloat constant = 0) const;
  std::shared_ptr<NSLayoutConstraint> constraintLessThanOrEqualToAnchor(const NSLayoutAnchor& other,
                                                                        CGFloat constant = 0) const;

 protected:
  std::shared_ptr<NSLayoutConstraint> Make(NSLayoutRelation relation, const NSLayoutAnchor* other,
                                           CGFloat multiplier, CGFloat constant) const;

 private:
  std::weak_ptr<platform::uikit::LayoutItem> item_;
  NSLayoutAttribute attribute_;
};

// The typed anchors keep horizontal, vertical and size anchors apart, as the platform's do;
// the relation methods accept only an anchor of the same kind.
class NSLayoutXAxisAnchor : public NSLayoutAnchor {
 public:
  using NSLayoutAnchor::NSLayoutAnchor;
  std::shared_ptr<NSLayoutConstraint> constraintEqualToAnchor(
      const std::shared_ptr<NSLayoutXAxisAnchor>& other, CGFloat constant = 0) const {
    return NSLayoutAnchor::constraintEqualToAnchor(*other, constant);
  }
};

class NSLayoutYAxisAnchor : public NSLayoutAnchor {
 public:
  using NSLayoutAnchor::NSLayoutAnchor;
  std::shared_ptr<NSLayoutConstraint> constraintEqualToAnchor(
      const std::shared_ptr<NSLayoutYAxisAnchor>& other, CGFloat constant = 0) const {
    return NSLayoutAnchor::constraintEqualToAnchor(*other, constant);
  }
};

class NSLayoutDimension : public NSLayoutAnchor {
 public:
  using NSLayoutAnchor::NSLayoutAnchor;
  std::shared_ptr<NSLayoutConstraint> constraintEqualToAnchor(
      const std::shared_ptr<NSLayoutDimension>& other, CGFloat constant = 0) const {
    return NSLayoutAnchor::constraintEqualToAnchor(*other, constant);
  }
  // "this = constant", without a second item.
  std::shared_ptr<NSLayoutConstraint> constraintEqualToConstant(CGFloat constant) const;
};

class NSLayoutConstraint : public std::enable_shared_from_this<NSLayoutConstraint> {
 public:
  // The general form: item1.attr1 relation multiplier · item2.attr2 + constant. `item2` may be
  // null with NSLayoutAttributeNotAnAttribute.
  static std::shared_ptr<NSLayoutConstraint> constraintWithItem(
      std::shared_ptr<platform::uikit::LayoutItem> item1, NSLayoutAttribute attr1,
      NSLayoutRelation relation, std::shared_ptr<platform::uikit::LayoutItem> item2,
      NSLayoutAttribute attr2, CGFloat multiplier, CGFloat constant);
  static void activateConstraints(const std::vector<std::shared_ptr<NSLayoutConstraint>>& list);
  static void deactivateConstraints(const std::vector<std::shared_ptr<NSLayoutConstraint>>& list);

  std::shared_ptr<platform::uikit::LayoutItem> firstItem() const { return first_item_.lock(); }
  std::shared_ptr<platform::uikit::LayoutItem> secondItem() const { return second_item_.lock(); }
  NSLayoutAttribute firstAttribute() const { return first_attribute_; }
  NSLayoutAttribute secondAttribute() const { return second_attribute_; }
  NSLayoutRelation relation() const { return relation_; }
  CGFloat multiplier() const { return multiplier_; }
  CGFloat constant() const { return constant_; }
  void setConstant(CGFloat constant) { constant_ = constant; }
  // Empty when none was set.
  const std::string& identifier() const { return identifier_; }
  void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }

  bool isActive() const { return installed_on_.lock() != nullptr; }
  void setActive(bool active);
  // The view the constraint is installed on, or null.
  std::shared_ptr<UIView> installedOn() const { return installed_on_.lock(); }

 private:
  friend class UIView;
  NSLayoutConstraint() = default;

  std::weak_ptr<platform::uikit::LayoutItem> first_item_;
  std::weak_ptr<platform::uikit::LayoutItem> second_item_;
  NSLayoutAttribute first_attribute_ = NSLayoutAttributeNotAnAttribute;
  NSLayoutAttribute second_attribute_ = NSLayoutAttributeNotAnAttribute;
  NSLayoutRelation relation_ = NSLayoutRelationEqual;
  CGFloat multiplier_ = 1;
  CGFloat constant_ = 0;
  std::string identifier_;
  std::weak_ptr<UIView> installed_on_;
};

// A rectangle of a view that constraints can refer to (margins, safe area, or one of the
// caller's). Its frame is whatever a test sets (no solver).
class UILayoutGuide : public platform::uikit::LayoutItem,
                      public std::enable_shared_from_this<UILayoutGuide> {
 public:
  static std::shared_ptr<UILayoutGuide> init();

  std::shared_ptr<UIView> owningView() const { return owning_view_.lock(); }
  std::shared_ptr<UIView> layoutOwnerView() const override { return owningView(); }
  const std::string& identifier() const { return identifier_; }
  void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }
  CGRect layoutFrame() const { return layout_frame_; }
  void setLayoutFrame(CGRect frame) { layout_frame_ = frame; }

 protected:
  std::weak_ptr<platform::uikit::LayoutItem> WeakItem() override { return weak_from_this(); }

 private:
  friend class UIView;
  UILayoutGuide() = default;
  std::weak_ptr<UIView> owning_view_;
  std::string identifier_;
  CGRect layout_frame_ = CGRectZero;
};

#endif  // PLATFORM_UIKIT_LAYOUT_H_
