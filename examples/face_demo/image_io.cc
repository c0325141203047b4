#include "examples/face_demo/image_io.h"

#include <png.h>

#include <cstring>

#include "platform/corevideo/pixel_format.h"

namespace face_demo {

namespace {

// Locks a buffer's base address for the lifetime of the object.
class ScopedLock {
 public:
  ScopedLock(CVPixelBufferRef buffer, CVPixelBufferLockFlags flags)
      : buffer_(buffer), flags_(flags),
        locked_(CVPixelBufferLockBaseAddress(buffer, flags) == kCVReturnSuccess) {}
  ~ScopedLock() {
    if (locked_) CVPixelBufferUnlockBaseAddress(buffer_, flags_);
  }
  bool locked() const { return locked_; }

 private:
  CVPixelBufferRef buffer_;
  CVPixelBufferLockFlags flags_;
  bool locked_;
};

}  // namespace

CFHolder<CVPixelBufferRef> MakeBgraPixelBuffer(size_t width, size_t height) {
  CVPixelBufferRef buffer = nullptr;
  if (CVPixelBufferCreate(nullptr, width, height, kCVPixelFormatType_32BGRA, nullptr, &buffer) !=
      kCVReturnSuccess) {
    return {};
  }
  return MakeCFHolderAdopting(buffer);
}

CFHolder<CVPixelBufferRef> ReadPngAsPixelBuffer(const std::string& path, std::string* error) {
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    *error = path + ": not a readable PNG (" + image.message + ")";
    return {};
  }
  if (image.width == 0 || image.height == 0 || image.width > kMaxImageSide ||
      image.height > kMaxImageSide) {
    *error = path + ": image size " + std::to_string(image.width) + "x" +
             std::to_string(image.height) + " is outside 1.." + std::to_string(kMaxImageSide);
    png_image_free(&image);
    return {};
  }
  image.format = PNG_FORMAT_BGRA;
  CFHolder<CVPixelBufferRef> buffer = MakeBgraPixelBuffer(image.width, image.height);
  if (!buffer) {
    *error = path + ": could not allocate a pixel buffer for it";
    png_image_free(&image);
    return {};
  }
  ScopedLock lock(buffer.get(), 0);
  // The row stride counts components, one byte each here.
  const auto stride = static_cast<png_int_32>(CVPixelBufferGetBytesPerRow(buffer.get()));
  if (!png_image_finish_read(&image, nullptr, CVPixelBufferGetBaseAddress(buffer.get()), stride,
                             nullptr)) {
    *error = path + ": broken PNG data (" + image.message + ")";
    return {};
  }
  return buffer;
}

bool WritePixelBufferAsPng(CVPixelBufferRef image, const std::string& path, std::string* error) {
  if (CVPixelBufferGetPixelFormatType(image) != kCVPixelFormatType_32BGRA) {
    *error = path + ": only BGRA images are written";
    return false;
  }
  ScopedLock lock(image, kCVPixelBufferLock_ReadOnly);
  if (!lock.locked()) {
    *error = path + ": the image could not be read";
    return false;
  }
  png_image png;
  std::memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(CVPixelBufferGetWidth(image));
  png.height = static_cast<png_uint_32>(CVPixelBufferGetHeight(image));
  png.format = PNG_FORMAT_BGRA;
  const auto stride = static_cast<png_int_32>(CVPixelBufferGetBytesPerRow(image));
  if (!png_image_write_to_file(&png, path.c_str(), 0, CVPixelBufferGetBaseAddress(image), stride,
                               nullptr)) {
    *error = path + ": could not be written (" + png.message + ")";
    return false;
  }
  return true;
}

}  // namespace face_demo
