// The placement view's controls: place, rotate left and right, screenshot.

#include <algorithm>
#include <utility>

#include "platform/uikit/console.h"
#include "views/ar_view.h"

std::shared_ptr<UIButton> ARView::AddButton(
    const std::string& symbol, long tag, ControlButtonPosition position,
    void (ARView::*action)(const std::shared_ptr<UIControl>&)) {
  auto button = UIButton::init();
  addSubview(button);
  button->setTranslatesAutoresizingMaskIntoConstraints(false);
  constraintSetWidth(button, 48);
  constraintSetHeight(button, 50);
  setViewPosition(button, position);
  button->setTintColor(UIColor::whiteColor());
  button->setBackgroundImage(UIImage::systemImageNamed(symbol), UIControlStateNormal);
  button->setTag(tag);
  std::weak_ptr<ARView> weak = Self();
  button->addTarget(
      weak,
      [weak, action](const std::shared_ptr<UIControl>& sender) {
        if (auto self = weak.lock()) ((*self).*action)(sender);
      },
      UIControlEventTouchUpInside);
  return button;
}

void ARView::addPlaceButton() {
  place_object_button_ = AddButton("plus.circle.fill", 0, ControlButtonPosition::bottomCenter,
                                   &ARView::PlaceObjectAction);
}

void ARView::addRotateLeftButton() {
  rotate_object_left_button_ =
      AddButton("arrow.uturn.left.circle.fill", 0, ControlButtonPosition::bottomLeading,
                &ARView::rotateObjectByClick);
}

void ARView::addRotateRightButton() {
  rotate_object_right_button_ =
      AddButton("arrow.uturn.right.circle.fill", 1, ControlButtonPosition::bottomTrailing,
                &ARView::rotateObjectByClick);
}

void ARView::addViews() {
  addPlaceButton();
  addRotateLeftButton();
  addRotateRightButton();
  place_object_button_->setHidden(true);
  rotate_object_left_button_->setHidden(true);
  rotate_object_right_button_->setHidden(true);
  bringSubviewToFront(screenShotButton());
  screenShotButton()->setHidden(true);
  std::weak_ptr<ARView> weak = Self();
  screenShotButton()->addTarget(
      weak,
      [weak](const std::shared_ptr<UIControl>& sender) {
        if (auto self = weak.lock()) self->takeScreenshot(sender);
      },
      UIControlEventTouchUpInside);
}

void ARView::PlaceObjectAction(const std::shared_ptr<UIControl>&) {
  if (place_object_button_->isHidden()) return;
  if (!focus_square_->state().isDetecting()) return;  // no surface under the centre yet
  const std::shared_ptr<VirtualObject> model = virtualObject();
  if (model == nullptr) return;
  const std::vector<std::shared_ptr<VirtualObject>> shown = shownVirtualObjects();
  const std::string name = model->modelName();
  const bool already_shown = std::any_of(shown.begin(), shown.end(), [&](const auto& object) {
    return object != nullptr && object->modelName() == name;
  });
  const bool same_allowed = isMultipleSameObjectAllowed();
  if (already_shown && !same_allowed) return;
  std::shared_ptr<VirtualObject> object = model;
  if (already_shown) {
    // A copy with nodes of its own.
    object = std::static_pointer_cast<VirtualObject>(model->clone());
    object->unload();
    object->load();
  }
  if (!isMultipleObjectModeAllowed() && !shown.empty() && !same_allowed) return;
  dispatch_async(dispatch_get_main_queue(),
                 [self = Self(), object] { self->placeVirtualObject(object); });
  setIsObjectVisible(true);
}

void ARView::rotateObjectByClick(const std::shared_ptr<UIControl>& sender) {
  switch (sender->tag()) {
    case 0:
      virtualObjectInteraction()->rotate(virtualObject(), /*isRotatingCounterCW=*/true);
      return;
    case 1:
      virtualObjectInteraction()->rotate(virtualObject(), /*isRotatingCounterCW=*/false);
      return;
    default:
      print("tag isn't specified");
  }
}

void ARView::takeScreenshot(const std::shared_ptr<UIControl>&) {
  dispatch_async(updateQueue(), [self = Self()] {
    UIImageWriteToSavedPhotosAlbum(
        self->snapshot(),
        [self](std::shared_ptr<UIImage> image, std::shared_ptr<NSError> error) {
          self->image(image, error, nullptr);
        });
  });
}
