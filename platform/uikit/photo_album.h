#ifndef PLATFORM_UIKIT_PHOTO_ALBUM_H_
#define PLATFORM_UIKIT_PHOTO_ALBUM_H_

// The photo album as a folder: when a folder is set, every image saved with
// UIImageWriteToSavedPhotosAlbum is also written there as "photo-N.txt" (N counts from 1 per
// folder), a small text record of the image:
//
//   quillmere-photo 1
//   size 390 844
//   views 1
//
// ("views" counts the views drawn into it). A failed write is logged and the save still counts.
// Thread-safe.

#include <memory>
#include <string>

class UIImage;

namespace platform::uikit {

// "" (the default) keeps saves in memory only (SavedPhotos).
void SetPhotoAlbumFolder(const std::string& folder);

namespace internal {
void WriteToPhotoAlbumFolder(const UIImage& image);
}  // namespace internal

}  // namespace platform::uikit

#endif  // PLATFORM_UIKIT_PHOTO_ALBUM_H_
