#include "views/faceview.h"

#include "platform/arkit/ar_session.h"
#include "platform/uikit/console.h"
#include "platform/uikit/view_coding.h"
#include "views/arkit_face_view.h"

std::shared_ptr<Faceview> Faceview::init() { return initWithFrame(CGRectZero); }

std::shared_ptr<Faceview> Faceview::initWithFrame(CGRect frame) {
  auto container = std::make_shared<Faceview>(frame);
  container->chooseFramework();
  return container;
}

std::shared_ptr<Faceview> Faceview::initWithCoder(NSCoder* coder) {
  std::optional<CGRect> frame = platform::uikit::DecodeViewFrame(coder);
  if (!frame.has_value()) return nullptr;
  return initWithFrame(*frame);
}

void Faceview::chooseFramework() {
  if (!ARFaceTrackingConfiguration::isSupported()) {
    print("not supported on your model");
    return;
  }
  addSubview(ARKitFaceView::init());
}
