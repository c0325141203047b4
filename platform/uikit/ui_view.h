#ifndef PLATFORM_UIKIT_UI_VIEW_H_
#define PLATFORM_UIKIT_UI_VIEW_H_

// Views as records: a tree with frames, bounds, transforms, hidden flags, layers, layout
// guides and installed constraints. Nothing is drawn or laid out; tests read the state.
//
//   auto root = UIView::initWithFrame(CGRectMake(0, 0, 320, 640));
//   auto child = UIView::init();
//   root->addSubview(child);            // child->willMoveToSuperview(root) first
//   child->setTranslatesAutoresizingMaskIntoConstraints(false);
//   child->bottomAnchor()->constraintEqualToAnchor(root->safeAreaLayoutGuide()->bottomAnchor(),
//                                                  -30)->setActive(true);
//   root->constraints();                // holds that constraint
//
// Subclasses (the scene views, the face views) derive from UIView, construct through
// std::make_shared and may override the hooks willMoveToSuperview / didMoveToSuperview /
// updateConstraints. A view keeps strong references to its subviews, its layer and its
// installed constraints; its superview is weak. The view's layer is the parent of its
// subviews' layers, in subview order. Main thread only, like UIKit, except that the geometry
// (frame, bounds, centre, transform) and the hidden flag may also be read and written from
// other threads (a scene view's render thread projects through its bounds).

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/coregraphics/geometry.h"
#include "platform/quartzcore/ca_layer.h"
#include "platform/uikit/layout.h"
#include "platform/uikit/ui_color.h"

struct UIEdgeInsets {
  CGFloat top = 0, left = 0, bottom = 0, right = 0;
  friend bool operator==(const UIEdgeInsets&, const UIEdgeInsets&) = default;
};
inline UIEdgeInsets UIEdgeInsetsMake(CGFloat top, CGFloat left, CGFloat bottom, CGFloat right) {
  return {top, left, bottom, right};
}

enum UIViewAutoresizing : unsigned long {
  UIViewAutoresizingNone = 0,
  UIViewAutoresizingFlexibleLeftMargin = 1 << 0,
  UIViewAutoresizingFlexibleWidth = 1 << 1,
  UIViewAutoresizingFlexibleRightMargin = 1 << 2,
  UIViewAutoresizingFlexibleTopMargin = 1 << 3,
  UIViewAutoresizingFlexibleHeight = 1 << 4,
  UIViewAutoresizingFlexibleBottomMargin = 1 << 5,
};

class UIGestureRecognizer;

class UIView : public platform::uikit::LayoutItem, public std::enable_shared_from_this<UIView> {
 public:
  static std::shared_ptr<UIView> init();
  static std::shared_ptr<UIView> initWithFrame(CGRect frame);

  explicit UIView(CGRect frame = CGRectZero);
  ~UIView() override;
  UIView(const UIView&) = delete;
  UIView& operator=(const UIView&) = delete;

  // Geometry. Setting the frame sets the bounds' size (its origin stays); setting the bounds
  // keeps the centre and resizes the frame. The frame is recorded as set, whatever the
  // transform.
  CGRect frame() const;
  void setFrame(CGRect frame);
  CGRect bounds() const;
  void setBounds(CGRect bounds);
  CGPoint center() const;
  void setCenter(CGPoint center);
  CGAffineTransform transform() const;
  void setTransform(CGAffineTransform transform);
  // Converts through the frames and bounds origins of the two views' common ancestry (the
  // transforms are not applied); a null view means the root of this view's tree.
  CGPoint convertPoint(CGPoint point, const std::shared_ptr<UIView>& to_view) const;
  CGPoint convertPointFromView(CGPoint point, const std::shared_ptr<UIView>& from_view) const;

  // Appearance.
  bool isHidden() const;
  void setHidden(bool hidden);
  CGFloat alpha() const { return alpha_; }
  void setAlpha(CGFloat alpha) { alpha_ = alpha; }
  std::shared_ptr<UIColor> backgroundColor() const { return background_color_; }
  void setBackgroundColor(std::shared_ptr<UIColor> color) { background_color_ = std::move(color); }
  // The tint colour set here, or else the superview's; null at the root when none was set.
  std::shared_ptr<UIColor> tintColor() const;
  void setTintColor(std::shared_ptr<UIColor> color) { tint_color_ = std::move(color); }
  long tag() const { return tag_; }
  void setTag(long tag) { tag_ = tag; }
  bool isUserInteractionEnabled() const { return user_interaction_; }
  void setUserInteractionEnabled(bool enabled) { user_interaction_ = enabled; }
  const std::shared_ptr<CALayer>& layer() const { return layer_; }

  // Hierarchy. Adding a view that has another superview moves it. willMoveToSuperview is
  // called before and didMoveToSuperview after every change of superview (with null when the
  // view leaves it).
  std::shared_ptr<UIView> superview() const { return superview_.lock(); }
  // Snapshots (the platform hands out arrays): safe to walk while changing the view.
  std::vector<std::shared_ptr<UIView>> subviews() const { return subviews_; }
  void addSubview(const std::shared_ptr<UIView>& view);
  void insertSubview(const std::shared_ptr<UIView>& view, long index);
  void bringSubviewToFront(const std::shared_ptr<UIView>& view);
  void sendSubviewToBack(const std::shared_ptr<UIView>& view);
  void removeFromSuperview();
  bool isDescendantOfView(const std::shared_ptr<UIView>& view) const;
  // The first of this view and its descendants (depth first) with that tag, or null.
  std::shared_ptr<UIView> viewWithTag(long tag);
  virtual void willMoveToSuperview(const std::shared_ptr<UIView>& new_superview) {}
  virtual void didMoveToSuperview() {}

  // Layout records.
  bool translatesAutoresizingMaskIntoConstraints() const { return translates_mask_; }
  void setTranslatesAutoresizingMaskIntoConstraints(bool on) { translates_mask_ = on; }
  unsigned long autoresizingMask() const { return autoresizing_mask_; }
  void setAutoresizingMask(unsigned long mask) { autoresizing_mask_ = mask; }
  UIEdgeInsets layoutMargins() const { return layout_margins_; }
  void setLayoutMargins(UIEdgeInsets margins) { layout_margins_ = margins; }
  UIEdgeInsets safeAreaInsets() const { return safe_area_insets_; }
  // The platform derives the safe area from the screen; here a test sets it.
  void setSafeAreaInsets(UIEdgeInsets insets) { safe_area_insets_ = insets; }
  // Guides whose layout frames follow the bounds inset by the margins / safe-area insets.
  std::shared_ptr<UILayoutGuide> layoutMarginsGuide();
  std::shared_ptr<UILayoutGuide> safeAreaLayoutGuide();
  std::vector<std::shared_ptr<UILayoutGuide>> layoutGuides() const { return guides_; }
  void addLayoutGuide(const std::shared_ptr<UILayoutGuide>& guide);

  // The constraints installed on this view, in installation order (a snapshot: deactivating
  // while walking it is safe).
  std::vector<std::shared_ptr<NSLayoutConstraint>> constraints() const { return constraints_; }
  void addConstraint(const std::shared_ptr<NSLayoutConstraint>& constraint);
  void addConstraints(const std::vector<std::shared_ptr<NSLayoutConstraint>>& constraints);
  void removeConstraint(const std::shared_ptr<NSLayoutConstraint>& constraint);
  // Counted (updateConstraints runs when a request is pending); nothing is solved.
  void setNeedsUpdateConstraints() { needs_update_constraints_ = true; }
  void updateConstraintsIfNeeded();
  virtual void updateConstraints() { ++update_constraints_calls_; }
  int updateConstraintsCalls() const { return update_constraints_calls_; }
  void setNeedsLayout() { ++layout_requests_; }
  void layoutIfNeeded() {}
  int layoutRequests() const { return layout_requests_; }


  // Gesture recognisers, held strongly; adding one moves it from any other view.
  void addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
  void removeGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
  std::vector<std::shared_ptr<UIGestureRecognizer>> gestureRecognizers() const {
    return recognizers_;
  }

  // Drawing: records this view and its visible descendants into the current image context
  // (ui_image.h). False when there is no context.
  bool drawViewHierarchyInRect(CGRect rect, bool after_screen_updates);

  std::shared_ptr<UIView> layoutOwnerView() const override;

 protected:
  std::weak_ptr<platform::uikit::LayoutItem> WeakItem() override { return weak_from_this(); }

 private:
  void Detach(const UIView* child);
  void Insert(const std::shared_ptr<UIView>& view, size_t index);
  void RebuildSublayers();
  void UpdateGuideFrames();

  mutable std::mutex geometry_mutex_;  // guards frame_, bounds_, transform_, hidden_
  CGRect frame_;
  CGRect bounds_;
  CGAffineTransform transform_ = CGAffineTransformIdentity;
  bool hidden_ = false;
  CGFloat alpha_ = 1;
  std::shared_ptr<UIColor> background_color_;
  std::shared_ptr<UIColor> tint_color_;
  long tag_ = 0;
  bool user_interaction_ = true;
  std::shared_ptr<CALayer> layer_;
  std::weak_ptr<UIView> superview_;
  std::vector<std::shared_ptr<UIView>> subviews_;
  bool translates_mask_ = true;
  unsigned long autoresizing_mask_ = UIViewAutoresizingNone;
  UIEdgeInsets layout_margins_ = {8, 8, 8, 8};
  UIEdgeInsets safe_area_insets_;
  std::shared_ptr<UILayoutGuide> margins_guide_;
  std::shared_ptr<UILayoutGuide> safe_area_guide_;
  std::vector<std::shared_ptr<UILayoutGuide>> guides_;
  std::vector<std::shared_ptr<NSLayoutConstraint>> constraints_;
  std::vector<std::shared_ptr<UIGestureRecognizer>> recognizers_;
  bool needs_update_constraints_ = false;
  int update_constraints_calls_ = 0;
  int layout_requests_ = 0;
};

#endif  // PLATFORM_UIKIT_UI_VIEW_H_
