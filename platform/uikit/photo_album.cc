#include "platform/uikit/photo_album.h"

#include <fstream>
#include <mutex>

#include "base/logging.h"
#include "platform/uikit/ui_image.h"

namespace platform::uikit {

namespace {

std::mutex album_mutex;
std::string album_folder;
int album_count = 0;

}  // namespace

void SetPhotoAlbumFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(album_mutex);
  album_folder = folder;
  album_count = 0;
}

void internal::WriteToPhotoAlbumFolder(const UIImage& image) {
  std::lock_guard<std::mutex> lock(album_mutex);
  if (album_folder.empty()) return;
  const std::string path = album_folder + "/photo-" + std::to_string(++album_count) + ".txt";
  std::ofstream out(path, std::ios::trunc);
  out << "quillmere-photo 1\nsize " << image.size().width << " " << image.size().height
      << "\nviews " << image.drawnViews().size() << "\n";
  if (!out) LOG(ERROR) << "photo album: could not write " << path;
}

}  // namespace platform::uikit
