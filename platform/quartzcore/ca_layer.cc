#include "platform/quartzcore/ca_layer.h"

#include <algorithm>
#include <atomic>
#include <utility>

const CALayerContentsGravity kCAGravityCenter = "center";
const CALayerContentsGravity kCAGravityResize = "resize";
const CALayerContentsGravity kCAGravityResizeAspect = "resizeAspect";
const CALayerContentsGravity kCAGravityResizeAspectFill = "resizeAspectFill";

std::shared_ptr<CALayer> CALayer::layer() { return std::make_shared<CALayer>(); }

CALayer::~CALayer() {
  if (contents_ != nullptr) CFRelease(contents_);
}

CGRect CALayer::frame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frame_;
}

void CALayer::setFrame(CGRect frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  frame_ = frame;
  bounds_.size = frame.size;
}

CGRect CALayer::bounds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bounds_;
}

void CALayer::setBounds(CGRect bounds) {
  std::lock_guard<std::mutex> lock(mutex_);
  bounds_ = bounds;
  frame_.size = bounds.size;
}

bool CALayer::isHidden() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hidden_;
}

void CALayer::setHidden(bool hidden) {
  std::lock_guard<std::mutex> lock(mutex_);
  hidden_ = hidden;
}

float CALayer::opacity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opacity_;
}

void CALayer::setOpacity(float opacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  opacity_ = opacity;
}

CGAffineTransform CALayer::affineTransform() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transform_;
}

void CALayer::setAffineTransform(CGAffineTransform transform) {
  std::lock_guard<std::mutex> lock(mutex_);
  transform_ = transform;
}

CATransform3D CALayer::transform() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transform3d_;
}

void CALayer::setTransform(const CATransform3D& transform) {
  std::lock_guard<std::mutex> lock(mutex_);
  transform3d_ = transform;
}

CFTypeRef CALayer::contents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return contents_;
}

void CALayer::setContents(CFTypeRef contents) {
  if (contents != nullptr) CFRetain(contents);
  CFTypeRef old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::exchange(contents_, contents);
  }
  if (old != nullptr) CFRelease(old);
}

CALayerContentsGravity CALayer::contentsGravity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gravity_.empty() ? kCAGravityResize : gravity_;
}

void CALayer::setContentsGravity(const CALayerContentsGravity& gravity) {
  std::lock_guard<std::mutex> lock(mutex_);
  gravity_ = gravity;
}

std::string CALayer::name() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return name_;
}

void CALayer::setName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  name_ = name;
}

std::shared_ptr<CALayer> CALayer::superlayer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return superlayer_.lock();
}

std::vector<std::shared_ptr<CALayer>> CALayer::sublayers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sublayers_;
}

void CALayer::addSublayer(const std::shared_ptr<CALayer>& layer) {
  insertSublayer(layer, static_cast<unsigned>(-1));
}

void CALayer::insertSublayer(const std::shared_ptr<CALayer>& layer, unsigned index) {
  if (layer == nullptr || layer.get() == this) return;
  layer->removeFromSuperlayer();
  {
    std::lock_guard<std::mutex> lock(layer->mutex_);
    layer->superlayer_ = weak_from_this();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t at = std::min<size_t>(index, sublayers_.size());
  sublayers_.insert(sublayers_.begin() + static_cast<ptrdiff_t>(at), layer);
}

void CALayer::removeFromSuperlayer() {
  std::shared_ptr<CALayer> parent;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    parent = superlayer_.lock();
    superlayer_.reset();
  }
  if (parent != nullptr) parent->DetachChild(this);
}

void CALayer::DetachChild(const CALayer* child) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(sublayers_, [&](const std::shared_ptr<CALayer>& l) { return l.get() == child; });
}

void CALayer::setNeedsDisplay() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++display_requests_;
}

int CALayer::displayRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return display_requests_;
}

// Transactions.

namespace {

constexpr double kDefaultAnimationDuration = 0.25;

thread_local std::vector<bool> open_transactions;  // disable-actions flag per level
thread_local std::vector<double> open_durations;   // animation duration per level
std::atomic<int> committed{0};
std::atomic<double> last_committed_duration{kDefaultAnimationDuration};

}  // namespace

void CATransaction::begin() {
  open_transactions.push_back(open_transactions.empty() ? false : open_transactions.back());
  open_durations.push_back(open_durations.empty() ? kDefaultAnimationDuration
                                                  : open_durations.back());
}

void CATransaction::commit() {
  if (open_transactions.empty()) return;
  open_transactions.pop_back();
  last_committed_duration.store(open_durations.back());
  open_durations.pop_back();
  committed.fetch_add(1);
}

void CATransaction::flush() {}

bool CATransaction::disableActions() {
  return !open_transactions.empty() && open_transactions.back();
}

void CATransaction::setDisableActions(bool disable) {
  if (!open_transactions.empty()) open_transactions.back() = disable;
}

double CATransaction::animationDuration() {
  return open_durations.empty() ? kDefaultAnimationDuration : open_durations.back();
}

void CATransaction::setAnimationDuration(double seconds) {
  if (!open_durations.empty()) open_durations.back() = seconds;
}

namespace platform::quartzcore {

int CommittedTransactions() { return committed.load(); }
int OpenTransactionDepth() { return static_cast<int>(open_transactions.size()); }
double LastCommittedAnimationDuration() { return last_committed_duration.load(); }

}  // namespace platform::quartzcore
