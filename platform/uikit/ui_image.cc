#include "platform/uikit/ui_image.h"

#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/uikit/photo_album.h"
#include "platform/uikit/ui_view.h"

namespace platform::uikit {
namespace {

struct Shared {
  std::mutex mutex;
  std::set<std::string> missing_symbols;
  std::vector<std::shared_ptr<UIImage>> saved;
  std::shared_ptr<NSError> save_error;
};

Shared& TheShared() {
  static Shared* shared = new Shared;
  return *shared;
}

thread_local std::vector<std::unique_ptr<UIImage>> contexts;

}  // namespace

void SetMissingSystemSymbols(std::set<std::string> names) {
  std::lock_guard<std::mutex> lock(TheShared().mutex);
  TheShared().missing_symbols = std::move(names);
}

UIImage* CurrentImageContext() { return contexts.empty() ? nullptr : contexts.back().get(); }

std::vector<std::shared_ptr<UIImage>> SavedPhotos() {
  std::lock_guard<std::mutex> lock(TheShared().mutex);
  return TheShared().saved;
}

void SetPhotoSaveError(std::shared_ptr<NSError> error) {
  std::lock_guard<std::mutex> lock(TheShared().mutex);
  TheShared().save_error = std::move(error);
}

void ClearSavedPhotos() {
  std::lock_guard<std::mutex> lock(TheShared().mutex);
  TheShared().saved.clear();
}

}  // namespace platform::uikit

std::shared_ptr<UIImage> UIImage::systemImageNamed(const std::string& name) {
  auto& shared = platform::uikit::TheShared();
  std::lock_guard<std::mutex> lock(shared.mutex);
  if (name.empty() || shared.missing_symbols.count(name) > 0) return nullptr;
  return std::make_shared<UIImage>(CGSizeMake(24, 24), name);
}

std::vector<std::shared_ptr<UIView>> UIImage::drawnViews() const {
  std::vector<std::shared_ptr<UIView>> views;
  for (const auto& weak : drawn_) views.push_back(weak.lock());
  return views;
}

void UIGraphicsBeginImageContext(CGSize size) {
  platform::uikit::contexts.push_back(std::make_unique<UIImage>(size, ""));
}

std::shared_ptr<UIImage> UIGraphicsGetImageFromCurrentImageContext() {
  UIImage* current = platform::uikit::CurrentImageContext();
  if (current == nullptr) return nullptr;
  auto image = std::make_shared<UIImage>(current->size(), "");
  for (const auto& view : current->drawnViews()) image->AddDrawnView(view);
  return image;
}

void UIGraphicsEndImageContext() {
  if (!platform::uikit::contexts.empty()) platform::uikit::contexts.pop_back();
}

void UIImageWriteToSavedPhotosAlbum(
    std::shared_ptr<UIImage> image,
    std::function<void(std::shared_ptr<UIImage>, std::shared_ptr<NSError>)> completion) {
  auto& shared = platform::uikit::TheShared();
  std::shared_ptr<NSError> error;
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    error = shared.save_error;
    if (error == nullptr) shared.saved.push_back(image);
  }
  if (error == nullptr && image != nullptr) platform::uikit::internal::WriteToPhotoAlbumFolder(*image);
  if (!completion) return;
  dispatch_async(dispatch_get_main_queue(),
                 [completion = std::move(completion), image, error] { completion(image, error); });
}
