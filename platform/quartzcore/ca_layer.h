#ifndef PLATFORM_QUARTZCORE_CA_LAYER_H_
#define PLATFORM_QUARTZCORE_CA_LAYER_H_

// Core Animation layers and transactions as records: nothing is composited; tests read what
// was set.
//
//   auto layer = CALayer::layer();
//   layer->setContentsGravity(kCAGravityCenter);
//   layer->setFrame(view->bounds());
//   parent->insertSublayer(layer, 0);                 // below the others
//   CATransaction::begin();
//   CATransaction::setDisableActions(true);
//   layer->setContents(pixelBuffer);                  // retained by the layer
//   layer->setAffineTransform(CGAffineTransformMakeScale(-1, 1));
//   CATransaction::commit();
//
// A layer keeps a strong list of sublayers and a weak superlayer. Its properties may be set
// from any thread (layers lock inside, as the platform allows layer changes from background
// threads inside a transaction). `contents` is any Core Foundation object (a pixel buffer or
// an image); the layer retains it until it is replaced or the layer dies.
// CATransaction records nesting and the disable-actions flag per thread; platform::quartzcore
// counts commits so tests can see that changes were wrapped.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/coregraphics/geometry.h"
#include "platform/corefoundation/object.h"

// A 4x4 layer transform, row-vector convention as on the platform (m41..m43 translate).
struct CATransform3D {
  CGFloat m11 = 1, m12 = 0, m13 = 0, m14 = 0;
  CGFloat m21 = 0, m22 = 1, m23 = 0, m24 = 0;
  CGFloat m31 = 0, m32 = 0, m33 = 1, m34 = 0;
  CGFloat m41 = 0, m42 = 0, m43 = 0, m44 = 1;
  friend bool operator==(const CATransform3D&, const CATransform3D&) = default;
};
inline constexpr CATransform3D CATransform3DIdentity = {};
inline CATransform3D CATransform3DMakeScale(CGFloat sx, CGFloat sy, CGFloat sz) {
  CATransform3D t;
  t.m11 = sx;
  t.m22 = sy;
  t.m33 = sz;
  return t;
}

using CALayerContentsGravity = std::string;
extern const CALayerContentsGravity kCAGravityCenter;
extern const CALayerContentsGravity kCAGravityResize;
extern const CALayerContentsGravity kCAGravityResizeAspect;
extern const CALayerContentsGravity kCAGravityResizeAspectFill;

class CALayer : public std::enable_shared_from_this<CALayer> {
 public:
  static std::shared_ptr<CALayer> layer();
  CALayer() = default;
  virtual ~CALayer();
  CALayer(const CALayer&) = delete;
  CALayer& operator=(const CALayer&) = delete;

  CGRect frame() const;
  // Also sets the bounds to the frame's size at origin zero.
  void setFrame(CGRect frame);
  CGRect bounds() const;
  void setBounds(CGRect bounds);
  bool isHidden() const;
  void setHidden(bool hidden);
  float opacity() const;
  void setOpacity(float opacity);
  CGAffineTransform affineTransform() const;
  void setAffineTransform(CGAffineTransform transform);
  // The 3D transform, recorded apart from the affine one.
  CATransform3D transform() const;
  void setTransform(const CATransform3D& transform);
  // Not owned by the caller; valid while the layer keeps it.
  CFTypeRef contents() const;
  void setContents(CFTypeRef contents);
  CALayerContentsGravity contentsGravity() const;
  void setContentsGravity(const CALayerContentsGravity& gravity);
  std::string name() const;
  void setName(const std::string& name);

  std::shared_ptr<CALayer> superlayer() const;
  std::vector<std::shared_ptr<CALayer>> sublayers() const;
  // Moves `layer` here (from any other superlayer) at the end / at `index` (clamped).
  void addSublayer(const std::shared_ptr<CALayer>& layer);
  void insertSublayer(const std::shared_ptr<CALayer>& layer, unsigned index);
  void removeFromSuperlayer();

  // How often the layer was asked to display; recorded only.
  void setNeedsDisplay();
  int displayRequests() const;

 private:
  void DetachChild(const CALayer* child);

  mutable std::mutex mutex_;
  CGRect frame_ = CGRectZero;
  CGRect bounds_ = CGRectZero;
  bool hidden_ = false;
  float opacity_ = 1;
  CGAffineTransform transform_ = CGAffineTransformIdentity;
  CATransform3D transform3d_ = CATransform3DIdentity;
  CFTypeRef contents_ = nullptr;
  CALayerContentsGravity gravity_;
  std::string name_;
  std::weak_ptr<CALayer> superlayer_;
  std::vector<std::shared_ptr<CALayer>> sublayers_;
  int display_requests_ = 0;
};

class CATransaction {
 public:
  static void begin();
  // Ends the innermost transaction of this thread; a commit without a begin is ignored.
  static void commit();
  static void flush();
  // The flag of this thread's innermost transaction (false outside one).
  static bool disableActions();
  static void setDisableActions(bool disable);
  // The animation duration of this thread's innermost transaction (0.25 s unless set; a nested
  // transaction starts with its parent's). Recorded only: nothing animates.
  static double animationDuration();
  static void setAnimationDuration(double seconds);
};

namespace platform::quartzcore {

// Transactions committed so far on any thread (outermost and nested alike).
int CommittedTransactions();
// Nesting depth of this thread's open transactions.
int OpenTransactionDepth();
// The animation duration of the transaction committed last on any thread (0.25 before any).
double LastCommittedAnimationDuration();

}  // namespace platform::quartzcore

#endif  // PLATFORM_QUARTZCORE_CA_LAYER_H_
