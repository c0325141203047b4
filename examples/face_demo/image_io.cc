#include "examples/face_demo/image_io.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

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

namespace {

// libpng reports errors by longjmp from its error handler; everything that must be released
// after a jump lives outside the function that calls setjmp.
struct PngReader {
  FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  char message[256] = "";
  bool header_read = false;  // errors before it: not a PNG; after: broken image data

  ~PngReader() {
    png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    if (file != nullptr) std::fclose(file);
  }

  static void OnError(png_structp png, png_const_charp text) {
    auto* reader = static_cast<PngReader*>(png_get_error_ptr(png));
    std::snprintf(reader->message, sizeof(reader->message), "%s", text);
    png_longjmp(png, 1);
  }
  static void OnWarning(png_structp, png_const_charp) {}
};

// Reads the header, checks the size, then decodes into a new buffer. Returns false, with
// `error` set, on failure; `buffer` is then empty. Kept free of C++ objects with destructors
// between setjmp and the calls that may jump.
bool ReadPng(PngReader& reader, const std::string& path, CFHolder<CVPixelBufferRef>* buffer,
             std::string* error) {
  std::vector<png_bytep> rows;
  if (setjmp(png_jmpbuf(reader.png)) != 0) {
    *buffer = {};
    *error = path + (reader.header_read ? ": broken PNG data (" : ": not a readable PNG (") +
             reader.message + ")";
    return false;
  }
  png_init_io(reader.png, reader.file);
  png_read_info(reader.png, reader.info);
  reader.header_read = true;
  const png_uint_32 width = png_get_image_width(reader.png, reader.info);
  const png_uint_32 height = png_get_image_height(reader.png, reader.info);
  if (width == 0 || height == 0 || width > kMaxImageSide || height > kMaxImageSide ||
      size_t(width) * height > kMaxImagePixels) {
    *error = path + ": image size " + std::to_string(width) + "x" + std::to_string(height) +
             " is beyond the limit (sides 1.." + std::to_string(kMaxImageSide) + ", at most " +
             std::to_string(kMaxImagePixels) + " pixels)";
    return false;
  }
  // To 8-bit BGRA whatever the file holds: palettes and low bit depths expanded, tRNS to alpha,
  // grey to colour, 16-bit samples cut to their high byte, opaque images given alpha 255.
  png_set_expand(reader.png);
  png_set_strip_16(reader.png);
  png_set_gray_to_rgb(reader.png);
  png_set_bgr(reader.png);
  png_set_add_alpha(reader.png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(reader.png);
  png_read_update_info(reader.png, reader.info);
  if (png_get_rowbytes(reader.png, reader.info) != size_t(width) * 4) {
    *error = path + ": unexpected row layout after conversion";
    return false;
  }
  *buffer = MakeBgraPixelBuffer(width, height);
  if (!*buffer || CVPixelBufferLockBaseAddress(buffer->get(), 0) != kCVReturnSuccess) {
    *buffer = {};
    *error = path + ": could not allocate a pixel buffer for it";
    return false;
  }
  auto* base = static_cast<png_bytep>(CVPixelBufferGetBaseAddress(buffer->get()));
  const size_t stride = CVPixelBufferGetBytesPerRow(buffer->get());
  rows.resize(height);
  for (png_uint_32 row = 0; row < height; ++row) rows[row] = base + row * stride;
  png_read_image(reader.png, rows.data());
  png_read_end(reader.png, nullptr);
  CVPixelBufferUnlockBaseAddress(buffer->get(), 0);
  return true;
}

}  // namespace

CFHolder<CVPixelBufferRef> ReadPngAsPixelBuffer(const std::string& path, std::string* error) {
  PngReader reader;
  reader.file = std::fopen(path.c_str(), "rb");
  if (reader.file == nullptr) {
    *error = path + ": not a readable PNG (" + std::strerror(errno) + ")";
    return {};
  }
  png_byte signature[8] = {};
  if (std::fread(signature, 1, sizeof(signature), reader.file) != sizeof(signature) ||
      png_sig_cmp(signature, 0, sizeof(signature)) != 0) {
    *error = path + ": not a readable PNG (no PNG signature)";
    return {};
  }
  reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, PngReader::OnError,
                                      PngReader::OnWarning);
  if (reader.png == nullptr) {
    *error = path + ": could not start the PNG reader";
    return {};
  }
  reader.info = png_create_info_struct(reader.png);
  if (reader.info == nullptr) {
    *error = path + ": could not start the PNG reader";
    return {};
  }
  png_set_sig_bytes(reader.png, sizeof(signature));
  CFHolder<CVPixelBufferRef> buffer;
  if (!ReadPng(reader, path, &buffer, error)) return {};
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
