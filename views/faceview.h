#ifndef VIEWS_FACEVIEW_H_
#define VIEWS_FACEVIEW_H_

// Faceview: a container that picks the face view the device can run. Where the platform
// supports face tracking it adds one ARKitFaceView, with an empty frame, as its only subview;
// elsewhere it prints "not supported on your model" and stays empty. Sizing the face view is
// up to whoever owns the container. Hosts that want the face view driven by the face SDK
// create an OstrellFaceView themselves.
//
//   auto container = Faceview::initWithFrame(CGRectMake(0, 0, 390, 844));
//   window->addSubview(container);
//   auto face_view = std::dynamic_pointer_cast<ARKitFaceView>(container->subviews().front());
//
// Main thread only.

#include <memory>

#include "platform/foundation/ns_keyed_archiver.h"
#include "platform/uikit/ui_view.h"

class Faceview : public UIView {
 public:
  // Each runs chooseFramework() once.
  static std::shared_ptr<Faceview> init();
  static std::shared_ptr<Faceview> initWithFrame(CGRect frame);
  // Null, and nothing chosen, when the coder cannot make a view.
  static std::shared_ptr<Faceview> initWithCoder(NSCoder* coder);

  explicit Faceview(CGRect frame) : UIView(frame) {}

  // Always false; nothing depends on it.
  bool isBackwardCompatible() const { return is_backward_compatible_; }

  // Adds a further ARKitFaceView in front of any earlier subview on a supporting device,
  // without looking for one already there.
  virtual void chooseFramework();

 private:
  const bool is_backward_compatible_ = false;
};

#endif  // VIEWS_FACEVIEW_H_
