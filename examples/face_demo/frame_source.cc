#include "examples/face_demo/frame_source.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "examples/face_demo/image_io.h"

namespace face_demo {

std::unique_ptr<PngFolderFrames> PngFolderFrames::Open(const std::string& folder,
                                                       std::string* error) {
  namespace fs = std::filesystem;
  std::error_code code;
  if (!fs::is_directory(folder, code)) {
    *error = folder + ": no such folder";
    return nullptr;
  }
  std::vector<std::string> paths;
  fs::directory_iterator it(folder, code), end;
  for (; !code && it != end; it.increment(code)) {
    std::string extension = it->path().extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (extension == ".png" && it->is_regular_file(code)) paths.push_back(it->path().string());
  }
  if (code) {
    *error = folder + ": cannot be listed (" + code.message() + ")";
    return nullptr;
  }
  if (paths.empty()) {
    *error = folder + ": holds no PNG file";
    return nullptr;
  }
  std::sort(paths.begin(), paths.end());
  CFHolder<CVPixelBufferRef> first = ReadPngAsPixelBuffer(paths.front(), error);
  if (!first) return nullptr;
  const size_t width = CVPixelBufferGetWidth(first.get());
  const size_t height = CVPixelBufferGetHeight(first.get());
  return std::unique_ptr<PngFolderFrames>(new PngFolderFrames(std::move(paths), width, height));
}

std::string PngFolderFrames::name(size_t index) const {
  return std::filesystem::path(paths_[index]).stem().string();
}

CFHolder<CVPixelBufferRef> PngFolderFrames::frame(size_t index, std::string* error) const {
  CFHolder<CVPixelBufferRef> image = ReadPngAsPixelBuffer(paths_[index], error);
  if (!image) return {};
  const size_t width = CVPixelBufferGetWidth(image.get());
  const size_t height = CVPixelBufferGetHeight(image.get());
  if (width != width_ || height != height_) {
    *error = paths_[index] + ": size " + std::to_string(width) + "x" + std::to_string(height) +
             " differs from the first frame's " + std::to_string(width_) + "x" +
             std::to_string(height_);
    return {};
  }
  return image;
}

}  // namespace face_demo
