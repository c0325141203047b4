#include "views/base_ar_scn_view.h"

#include <utility>

#include "platform/uikit/console.h"
#include "platform/uikit/ui_color.h"

std::shared_ptr<BaseARSCNView> BaseARSCNView::initWithFrame(CGRect frame, const Options& options) {
  return Create<BaseARSCNView>(frame, options);
}

std::shared_ptr<BaseARSCNView> BaseARSCNView::initWithCoder(NSCoder* coder) {
  return CreateFromCoder<BaseARSCNView>(coder);
}

BaseARSCNView::BaseARSCNView(ConstructionToken, CGRect frame, Options options)
    : ARSCNView(frame, std::move(options)),
      update_queue_(dispatch_queue_create("Brandolin", DISPATCH_QUEUE_SERIAL)),
      screen_shot_button_(std::make_shared<UIButton>(CGRectZero)),
      object_loader_(VirtualObjectLoader::init()) {}

std::shared_ptr<VirtualObjectLoader> BaseARSCNView::objectLoader() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return object_loader_;
}

void BaseARSCNView::setObjectLoader(std::shared_ptr<VirtualObjectLoader> loader) {
  std::lock_guard<std::mutex> lock(mutex_);
  object_loader_ = std::move(loader);
}

std::optional<std::string> BaseARSCNView::virtualObjectId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return virtual_object_id_;
}

void BaseARSCNView::setVirtualObjectId(std::optional<std::string> virtualObjectId) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    virtual_object_id_ = virtualObjectId;
  }
  if (!virtualObjectId.has_value()) return;
  // Each assignment loads the id it set, in assignment order, whatever was assigned since.
  dispatch_async(update_queue_, [self = SharedSelf(), id = std::move(*virtualObjectId)] {
    self->setVirtualObject(self->objectLoader()->loadObject(id, "art.scnassets"));
  });
}

std::optional<std::string> BaseARSCNView::virtualObjectURL() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return virtual_object_url_;
}

void BaseARSCNView::setVirtualObjectURL(std::optional<std::string> virtualObjectURL) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    virtual_object_url_ = virtualObjectURL;
  }
  if (!virtualObjectURL.has_value()) return;
  // Each assignment downloads the address it set, whatever was assigned since.
  dispatch_async(update_queue_, [self = SharedSelf(), url = std::move(*virtualObjectURL)] {
    self->objectLoader()->loadObjectFromURL(
        url, [self](std::shared_ptr<VirtualObject> object, bool success) {
          if (success) {
            self->setVirtualObject(std::move(object));
            print("loaded successfully");
          } else {
            print("Callback fail");
          }
        });
  });
}

std::shared_ptr<VirtualObject> BaseARSCNView::virtualObject() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return virtual_object_;
}

void BaseARSCNView::setVirtualObject(std::shared_ptr<VirtualObject> object) {
  std::lock_guard<std::mutex> lock(mutex_);
  virtual_object_ = std::move(object);
}

std::vector<std::shared_ptr<VirtualObject>> BaseARSCNView::shownVirtualObjects() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shown_virtual_objects_;
}

void BaseARSCNView::setShownVirtualObjects(std::vector<std::shared_ptr<VirtualObject>> objects) {
  std::lock_guard<std::mutex> lock(mutex_);
  shown_virtual_objects_ = std::move(objects);
}

std::shared_ptr<BaseARSCNViewDelegate> BaseARSCNView::events_delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_delegate_.lock();
}

void BaseARSCNView::setEvents_delegate(std::weak_ptr<BaseARSCNViewDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_delegate_ = std::move(delegate);
}

unsigned long BaseARSCNView::usedPlane() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return used_plane_;
}

void BaseARSCNView::setUsedPlane(unsigned long plane) {
  std::lock_guard<std::mutex> lock(mutex_);
  used_plane_ = plane;
  used_plane_alignment_ = plane == ARPlaneDetectionVertical ? ARRaycastTargetAlignmentVertical
                                                            : ARRaycastTargetAlignmentHorizontal;
}

ARRaycastTargetAlignment BaseARSCNView::usedPlaneAlignment() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return used_plane_alignment_;
}

void BaseARSCNView::setUsedPlaneAlignment(ARRaycastTargetAlignment alignment) {
  std::lock_guard<std::mutex> lock(mutex_);
  used_plane_alignment_ = alignment;
}

void BaseARSCNView::finishInitialization() {
  addSubview(screen_shot_button_);
  setUpScreenshotButton();
}

void BaseARSCNView::setUpScreenshotButton() {
  screen_shot_button_->setTranslatesAutoresizingMaskIntoConstraints(false);
  constraintSetWidth(screen_shot_button_, 48);
  constraintSetHeight(screen_shot_button_, 50);
  setViewPosition(screen_shot_button_, ControlButtonPosition::bottomCenter);
  screen_shot_button_->setTintColor(UIColor::whiteColor());
  screen_shot_button_->setBackgroundImage(UIImage::systemImageNamed("camera.viewfinder"),
                                          UIControlStateNormal);
}

void BaseARSCNView::image(const std::shared_ptr<UIImage>&, const std::shared_ptr<NSError>& error,
                          void*) {
  if (error == nullptr) {
    print("save success");
    return;
  }
  print("save error");
  print(error->localizedDescription());
}

void BaseARSCNView::willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview) {
  ARSCNView::willMoveToSuperview(newSuperview);
  if (newSuperview != nullptr) return;
  print("BaseARSCNView is removed");
  objectLoader()->deleteTempFolder();
}
