#include "platform/uikit/ui_view.h"

#include <algorithm>

#include "base/logging.h"
#include "platform/uikit/ui_gesture_recognizer.h"
#include "platform/uikit/ui_image.h"

std::shared_ptr<UIView> UIView::init() { return std::make_shared<UIView>(); }

std::shared_ptr<UIView> UIView::initWithFrame(CGRect frame) {
  return std::make_shared<UIView>(frame);
}

UIView::UIView(CGRect frame)
    : frame_(frame), bounds_{CGPointZero, frame.size}, layer_(CALayer::layer()) {
  layer_->setFrame(frame);
}

UIView::~UIView() = default;

CGRect UIView::frame() const {
  std::lock_guard<std::mutex> lock(geometry_mutex_);
  return frame_;
}

CGRect UIView::bounds() const {
  std::lock_guard<std::mutex> lock(geometry_mutex_);
  return bounds_;
}

CGAffineTransform UIView::transform() const {
  std::lock_guard<std::mutex> lock(geometry_mutex_);
  return transform_;
}

void UIView::setTransform(CGAffineTransform transform) {
  std::lock_guard<std::mutex> lock(geometry_mutex_);
  transform_ = transform;
}

void UIView::setFrame(CGRect frame) {
  {
    std::lock_guard<std::mutex> lock(geometry_mutex_);
    frame_ = frame;
    bounds_.size = frame.size;
  }
  layer_->setFrame(frame);
  UpdateGuideFrames();
}

void UIView::setBounds(CGRect bounds) {
  CGRect frame;
  {
    std::lock_guard<std::mutex> lock(geometry_mutex_);
    const CGPoint c = {CGRectGetMidX(frame_), CGRectGetMidY(frame_)};
    bounds_ = bounds;
    frame_ = CGRectMake(c.x - bounds.size.width / 2, c.y - bounds.size.height / 2,
                        bounds.size.width, bounds.size.height);
    frame = frame_;
  }
  layer_->setFrame(frame);
  UpdateGuideFrames();
}

CGPoint UIView::center() const {
  const CGRect f = frame();
  return {CGRectGetMidX(f), CGRectGetMidY(f)};
}

void UIView::setCenter(CGPoint center) {
  CGRect frame;
  {
    std::lock_guard<std::mutex> lock(geometry_mutex_);
    frame_.origin = {center.x - frame_.size.width / 2, center.y - frame_.size.height / 2};
    frame = frame_;
  }
  layer_->setFrame(frame);
}

namespace {

// The point in the coordinates of the root of `view`'s tree.
CGPoint ToRoot(const UIView* view, CGPoint p) {
  for (const UIView* v = view; v != nullptr;) {
    p.x += v->frame().origin.x - v->bounds().origin.x;
    p.y += v->frame().origin.y - v->bounds().origin.y;
    auto parent = v->superview();
    if (parent == nullptr) {
      // The root's own frame origin is not part of the root's coordinates.
      p.x -= v->frame().origin.x - v->bounds().origin.x;
      p.y -= v->frame().origin.y - v->bounds().origin.y;
      break;
    }
    v = parent.get();
  }
  return p;
}

CGPoint FromRoot(const UIView* view, CGPoint p) {
  const CGPoint origin = ToRoot(view, CGPointZero);
  return {p.x - origin.x, p.y - origin.y};
}

}  // namespace

CGPoint UIView::convertPoint(CGPoint point, const std::shared_ptr<UIView>& to_view) const {
  const CGPoint in_root = ToRoot(this, point);
  return to_view == nullptr ? in_root : FromRoot(to_view.get(), in_root);
}

CGPoint UIView::convertPointFromView(CGPoint point, const std::shared_ptr<UIView>& from_view) const {
  const CGPoint in_root = from_view == nullptr ? point : ToRoot(from_view.get(), point);
  return FromRoot(this, in_root);
}

bool UIView::isHidden() const {
  std::lock_guard<std::mutex> lock(geometry_mutex_);
  return hidden_;
}

void UIView::setHidden(bool hidden) {
  {
    std::lock_guard<std::mutex> lock(geometry_mutex_);
    hidden_ = hidden;
  }
  layer_->setHidden(hidden);
}

std::shared_ptr<UIColor> UIView::tintColor() const {
  if (tint_color_ != nullptr) return tint_color_;
  auto parent = superview();
  return parent != nullptr ? parent->tintColor() : nullptr;
}

void UIView::addSubview(const std::shared_ptr<UIView>& view) {
  if (view == nullptr || view.get() == this) return;
  const size_t end = subviews_.size();
  Insert(view, view->superview().get() == this ? end - 1 : end);
}

void UIView::insertSubview(const std::shared_ptr<UIView>& view, long index) {
  if (view == nullptr || view.get() == this) return;
  Insert(view, static_cast<size_t>(std::max<long>(index, 0)));
}

void UIView::Insert(const std::shared_ptr<UIView>& view, size_t index) {
  auto self = shared_from_this();
  const bool same_parent = view->superview() == self;
  if (!same_parent) {
    view->willMoveToSuperview(self);
    if (auto old = view->superview()) old->Detach(view.get());
  } else {
    Detach(view.get());
  }
  view->superview_ = self;
  subviews_.insert(subviews_.begin() + static_cast<ptrdiff_t>(std::min(index, subviews_.size())),
                   view);
  RebuildSublayers();
  if (!same_parent) view->didMoveToSuperview();
}

void UIView::bringSubviewToFront(const std::shared_ptr<UIView>& view) {
  if (view == nullptr || view->superview().get() != this) return;
  Insert(view, subviews_.size());
}

void UIView::sendSubviewToBack(const std::shared_ptr<UIView>& view) {
  if (view == nullptr || view->superview().get() != this) return;
  Insert(view, 0);
}

void UIView::removeFromSuperview() {
  auto parent = superview();
  if (parent == nullptr) return;
  auto keep = shared_from_this();  // the superview may hold the last reference
  willMoveToSuperview(nullptr);
  parent->Detach(this);
  superview_.reset();
  didMoveToSuperview();
}

void UIView::Detach(const UIView* child) {
  child->layer()->removeFromSuperlayer();
  std::erase_if(subviews_, [&](const std::shared_ptr<UIView>& v) { return v.get() == child; });
  RebuildSublayers();
}

void UIView::RebuildSublayers() {
  // Sublayers that belong to no subview (added directly to the layer) stay first, in order.
  std::vector<std::shared_ptr<CALayer>> own;
  for (const auto& l : layer_->sublayers()) {
    const bool of_subview = std::any_of(subviews_.begin(), subviews_.end(),
                                        [&](const auto& v) { return v->layer() == l; });
    if (!of_subview) own.push_back(l);
  }
  for (const auto& l : layer_->sublayers()) l->removeFromSuperlayer();
  for (const auto& l : own) layer_->addSublayer(l);
  for (const auto& v : subviews_) layer_->addSublayer(v->layer());
}

bool UIView::isDescendantOfView(const std::shared_ptr<UIView>& view) const {
  if (view == nullptr) return false;
  for (const UIView* v = this; v != nullptr;) {
    if (v == view.get()) return true;
    auto parent = v->superview();
    v = parent.get();
  }
  return false;
}

std::shared_ptr<UIView> UIView::viewWithTag(long tag) {
  if (tag_ == tag) return shared_from_this();
  for (const auto& v : subviews_) {
    if (auto found = v->viewWithTag(tag)) return found;
  }
  return nullptr;
}

std::shared_ptr<UILayoutGuide> UIView::layoutMarginsGuide() {
  if (margins_guide_ == nullptr) {
    margins_guide_ = UILayoutGuide::init();
    margins_guide_->setIdentifier("UIViewLayoutMarginsGuide");
    margins_guide_->owning_view_ = weak_from_this();
    UpdateGuideFrames();
  }
  return margins_guide_;
}

std::shared_ptr<UILayoutGuide> UIView::safeAreaLayoutGuide() {
  if (safe_area_guide_ == nullptr) {
    safe_area_guide_ = UILayoutGuide::init();
    safe_area_guide_->setIdentifier("UIViewSafeAreaLayoutGuide");
    safe_area_guide_->owning_view_ = weak_from_this();
    UpdateGuideFrames();
  }
  return safe_area_guide_;
}

void UIView::UpdateGuideFrames() {
  const CGRect b = bounds();
  auto inset = [&](const UIEdgeInsets& e) {
    return CGRectMake(b.origin.x + e.left, b.origin.y + e.top,
                      b.size.width - e.left - e.right, b.size.height - e.top - e.bottom);
  };
  if (margins_guide_) margins_guide_->setLayoutFrame(inset(layout_margins_));
  if (safe_area_guide_) safe_area_guide_->setLayoutFrame(inset(safe_area_insets_));
}

void UIView::addLayoutGuide(const std::shared_ptr<UILayoutGuide>& guide) {
  if (guide == nullptr) return;
  guide->owning_view_ = weak_from_this();
  guides_.push_back(guide);
}

void UIView::addConstraint(const std::shared_ptr<NSLayoutConstraint>& constraint) {
  if (constraint == nullptr) return;
  if (auto other = constraint->installedOn()) {
    if (other.get() == this) return;
    other->removeConstraint(constraint);
  }
  constraint->installed_on_ = weak_from_this();
  constraints_.push_back(constraint);
}

void UIView::addConstraints(const std::vector<std::shared_ptr<NSLayoutConstraint>>& constraints) {
  for (const auto& c : constraints) addConstraint(c);
}

void UIView::removeConstraint(const std::shared_ptr<NSLayoutConstraint>& constraint) {
  auto it = std::find(constraints_.begin(), constraints_.end(), constraint);
  if (it == constraints_.end()) return;
  (*it)->installed_on_.reset();
  constraints_.erase(it);
}

void UIView::updateConstraintsIfNeeded() {
  if (!needs_update_constraints_) return;
  needs_update_constraints_ = false;
  updateConstraints();
}

void UIView::addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer) {
  if (recognizer == nullptr) return;
  if (auto old = recognizer->view()) old->removeGestureRecognizer(recognizer);
  recognizer->AttachToView(weak_from_this());
  recognizers_.push_back(recognizer);
}

void UIView::removeGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer) {
  auto it = std::find(recognizers_.begin(), recognizers_.end(), recognizer);
  if (it == recognizers_.end()) return;
  recognizer->AttachToView({});
  recognizers_.erase(it);
}

bool UIView::drawViewHierarchyInRect(CGRect, bool) {
  UIImage* context = platform::uikit::CurrentImageContext();
  if (context == nullptr) return false;
  if (isHidden()) return true;
  context->AddDrawnView(shared_from_this());
  for (const auto& v : subviews_) v->drawViewHierarchyInRect(v->frame(), false);
  return true;
}

std::shared_ptr<UIView> UIView::layoutOwnerView() const {
  return std::const_pointer_cast<UIView>(shared_from_this());
}
