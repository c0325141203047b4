#ifndef PLATFORM_UIKIT_UI_IMAGE_H_
#define PLATFORM_UIKIT_UI_IMAGE_H_

// Images as records: a system symbol by name, or what was drawn into an image context (the
// visible views, in drawing order). No pixels are made.
//
//   auto symbol = UIImage::systemImageNamed("camera.viewfinder");   // null if not a symbol
//   UIGraphicsBeginImageContext(view->bounds().size);
//   view->drawViewHierarchyInRect(view->frame(), true);
//   std::shared_ptr<UIImage> shot = UIGraphicsGetImageFromCurrentImageContext();
//   UIGraphicsEndImageContext();
//   shot->drawnViews();       // the view and its visible descendants
//
// Every symbol name is known unless a test removes it with SetMissingSystemSymbols. Image
// contexts are a per-thread stack, as on the platform. Saving to the photo album records the
// image (platform::uikit::SavedPhotos) and calls the completion on the main queue, with an
// error when a test made saving fail.

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/coregraphics/geometry.h"
#include "platform/foundation/ns_error.h"

class UIView;

class UIImage {
 public:
  static std::shared_ptr<UIImage> systemImageNamed(const std::string& name);

  UIImage(CGSize size, std::string symbol_name) : size_(size), symbol_name_(std::move(symbol_name)) {}
  CGSize size() const { return size_; }
  // The symbol's name for a system image, empty otherwise.
  const std::string& symbolName() const { return symbol_name_; }
  // The views drawn into the image, in drawing order (null where a view is gone since).
  std::vector<std::shared_ptr<UIView>> drawnViews() const;
  void AddDrawnView(const std::shared_ptr<UIView>& view) { drawn_.push_back(view); }

 private:
  CGSize size_;
  std::string symbol_name_;
  std::vector<std::weak_ptr<UIView>> drawn_;
};

void UIGraphicsBeginImageContext(CGSize size);
// A copy of what the innermost context of this thread holds; null without a context.
std::shared_ptr<UIImage> UIGraphicsGetImageFromCurrentImageContext();
void UIGraphicsEndImageContext();

// Saves `image`; `completion` runs on the main queue with null or the failure.
void UIImageWriteToSavedPhotosAlbum(
    std::shared_ptr<UIImage> image,
    std::function<void(std::shared_ptr<UIImage> image, std::shared_ptr<NSError> error)> completion);

namespace platform::uikit {

void SetMissingSystemSymbols(std::set<std::string> names);
// The innermost image being drawn on this thread, or null.
UIImage* CurrentImageContext();
// Photo album: the images saved so far; a non-null error makes the next saves fail with it.
std::vector<std::shared_ptr<UIImage>> SavedPhotos();
void SetPhotoSaveError(std::shared_ptr<NSError> error);
void ClearSavedPhotos();

}  // namespace platform::uikit

#endif  // PLATFORM_UIKIT_UI_IMAGE_H_
