// Layout helpers of BaseARSCNView: controls are placed with constraints that carry the name
// of the anchor they pin, so a later move can find and replace exactly those.

#include <array>
#include <string>

#include "views/base_ar_scn_view.h"

namespace {

constexpr CGFloat kHorizontalInset = 16;
constexpr CGFloat kVerticalInset = 30;

bool IsPositionalIdentifier(const std::string& identifier) {
  static const std::array<std::string, 6> kPositional = {
      "bottomAnchor",  "topAnchor",     "leadingAnchor",
      "trailingAnchor", "centerXAnchor", "centerYAnchor"};
  for (const std::string& name : kPositional) {
    if (identifier == name) return true;
  }
  return false;
}

// Whether the constraint places `view`: as its first item, or else as its second.
bool Positions(const NSLayoutConstraint& constraint, const std::shared_ptr<UIView>& view) {
  auto first = std::dynamic_pointer_cast<UIView>(constraint.firstItem());
  if (first != nullptr && first == view) return true;
  auto second = std::dynamic_pointer_cast<UIView>(constraint.secondItem());
  return second != nullptr && second == view;
}

void ActivateIdentified(const std::shared_ptr<NSLayoutConstraint>& constraint,
                        const char* identifier) {
  constraint->setActive(true);
  constraint->setIdentifier(identifier);
}

}  // namespace

std::optional<BaseARSCNView::ControlButtonPosition> BaseARSCNView::controlButtonPosition(
    long rawValue) {
  if (rawValue < 0 || rawValue > 8) return std::nullopt;
  return static_cast<ControlButtonPosition>(rawValue);
}

void BaseARSCNView::constraintSetWidth(const std::shared_ptr<UIView>& item, CGFloat width) {
  auto constraint = NSLayoutConstraint::constraintWithItem(
      item, NSLayoutAttributeWidth, NSLayoutRelationEqual, nullptr,
      NSLayoutAttributeNotAnAttribute, 1, width);
  constraint->setIdentifier("width");
  item->addConstraint(constraint);
}

void BaseARSCNView::constraintSetHeight(const std::shared_ptr<UIView>& item, CGFloat height) {
  auto constraint = NSLayoutConstraint::constraintWithItem(
      item, NSLayoutAttributeHeight, NSLayoutRelationEqual, nullptr,
      NSLayoutAttributeNotAnAttribute, 1, height);
  constraint->setIdentifier("height");
  item->addConstraint(constraint);
}

void BaseARSCNView::setBottomAnchor(const std::shared_ptr<UIView>& item,
                                    const std::shared_ptr<NSLayoutYAxisAnchor>& anchor,
                                    CGFloat constant) {
  ActivateIdentified(item->bottomAnchor()->constraintEqualToAnchor(anchor, constant),
                     "bottomAnchor");
}

void BaseARSCNView::setTopAnchor(const std::shared_ptr<UIView>& item,
                                 const std::shared_ptr<NSLayoutYAxisAnchor>& anchor,
                                 CGFloat constant) {
  ActivateIdentified(item->topAnchor()->constraintEqualToAnchor(anchor, constant), "topAnchor");
}

void BaseARSCNView::setLeadingAnchor(const std::shared_ptr<UIView>& item,
                                     const std::shared_ptr<NSLayoutXAxisAnchor>& anchor,
                                     CGFloat constant) {
  ActivateIdentified(item->leadingAnchor()->constraintEqualToAnchor(anchor, constant),
                     "leadingAnchor");
}

void BaseARSCNView::setTrailingAnchor(const std::shared_ptr<UIView>& item,
                                      const std::shared_ptr<NSLayoutXAxisAnchor>& anchor,
                                      CGFloat constant) {
  ActivateIdentified(item->trailingAnchor()->constraintEqualToAnchor(anchor, constant),
                     "trailingAnchor");
}

void BaseARSCNView::setCenterXAnchor(const std::shared_ptr<UIView>& item,
                                     const std::shared_ptr<NSLayoutXAxisAnchor>& anchor,
                                     CGFloat constant) {
  ActivateIdentified(item->centerXAnchor()->constraintEqualToAnchor(anchor, constant),
                     "centerXAnchor");
}

void BaseARSCNView::setCenterYAnchor(const std::shared_ptr<UIView>& item,
                                     const std::shared_ptr<NSLayoutYAxisAnchor>& anchor,
                                     CGFloat constant) {
  ActivateIdentified(item->centerYAnchor()->constraintEqualToAnchor(anchor, constant),
                     "centerYAnchor");
}

void BaseARSCNView::setViewPosition(const std::shared_ptr<UIView>& viewToSet, long rawPosition) {
  // Refused before anything is deactivated, so a bad value leaves the control where it was.
  if (auto position = controlButtonPosition(rawPosition)) setViewPosition(viewToSet, *position);
}

void BaseARSCNView::setViewPosition(const std::shared_ptr<UIView>& viewToSet,
                                    ControlButtonPosition position) {
  std::shared_ptr<UIView> superview = viewToSet->superview();
  if (superview == nullptr) return;
  // This view's guides, not the superview's: controls are direct subviews of this view.
  std::shared_ptr<UILayoutGuide> margins = layoutMarginsGuide();
  std::shared_ptr<UILayoutGuide> safeArea = safeAreaLayoutGuide();
  viewToSet->setTranslatesAutoresizingMaskIntoConstraints(false);

  for (const std::shared_ptr<NSLayoutConstraint>& constraint : superview->constraints()) {
    if (IsPositionalIdentifier(constraint->identifier()) && Positions(*constraint, viewToSet)) {
      constraint->setActive(false);
    }
  }

  switch (position) {
    case ControlButtonPosition::bottomLeading:
      setLeadingAnchor(viewToSet, margins->leadingAnchor(), kHorizontalInset);
      setBottomAnchor(viewToSet, margins->bottomAnchor(), -kVerticalInset);
      break;
    case ControlButtonPosition::bottomCenter:
      setCenterXAnchor(viewToSet, margins->centerXAnchor(), 0);
      setBottomAnchor(viewToSet, safeArea->bottomAnchor(), -kVerticalInset);
      break;
    case ControlButtonPosition::bottomTrailing:
      setTrailingAnchor(viewToSet, margins->trailingAnchor(), -kHorizontalInset);
      setBottomAnchor(viewToSet, margins->bottomAnchor(), -kVerticalInset);
      break;
    case ControlButtonPosition::topLeading:
      setLeadingAnchor(viewToSet, margins->leadingAnchor(), kHorizontalInset);
      setTopAnchor(viewToSet, margins->topAnchor(), kVerticalInset);
      break;
    case ControlButtonPosition::topCenter:
      setCenterXAnchor(viewToSet, margins->centerXAnchor(), 0);
      setTopAnchor(viewToSet, safeArea->topAnchor(), kVerticalInset);
      break;
    case ControlButtonPosition::topTrailing:
      setTrailingAnchor(viewToSet, margins->trailingAnchor(), -kHorizontalInset);
      setTopAnchor(viewToSet, safeArea->topAnchor(), kVerticalInset);
      break;
    case ControlButtonPosition::centerLeading:
      setLeadingAnchor(viewToSet, margins->leadingAnchor(), kHorizontalInset);
      setCenterYAnchor(viewToSet, margins->centerYAnchor(), 0);
      break;
    case ControlButtonPosition::centerTrailing:
      setTrailingAnchor(viewToSet, margins->trailingAnchor(), -kHorizontalInset);
      setCenterYAnchor(viewToSet, margins->centerYAnchor(), 0);
      break;
    case ControlButtonPosition::center:
      setCenterYAnchor(viewToSet, margins->centerYAnchor(), 0);
      setCenterXAnchor(viewToSet, margins->centerXAnchor(), 0);
      break;
  }
  viewToSet->updateConstraintsIfNeeded();
}
