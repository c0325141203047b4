// PNG files in and out of 32-bit BGRA pixel buffers, for the demo host.
//
//   std::string error;
//   CFHolder<CVPixelBufferRef> image = ReadPngAsPixelBuffer("in/0001.png", &error);
//   if (!image) { std::cerr << error << "\n"; return 1; }
//   if (!WritePixelBufferAsPng(image.get(), "out/0001.png", &error)) { ... }
//
// Every failure is an error text that names the file; nothing here aborts on bad input.
#ifndef EXAMPLES_FACE_DEMO_IMAGE_IO_H_
#define EXAMPLES_FACE_DEMO_IMAGE_IO_H_

#include <cstddef>
#include <string>

#include "gpu/cf_holder.h"
#include "platform/corevideo/pixel_buffer.h"

namespace face_demo {

// Larger images are refused before anything is allocated for them: a camera frame is far
// smaller, and a file's header alone must not make the demo allocate gigabytes.
inline constexpr size_t kMaxImageSide = 8192;
inline constexpr size_t kMaxImagePixels = 4096 * 4096;

// A new BGRA pixel buffer of `width` x `height`; empty when it cannot be made.
CFHolder<CVPixelBufferRef> MakeBgraPixelBuffer(size_t width, size_t height);

// The PNG at `path` as a new BGRA buffer (any PNG colour type and bit depth; 16-bit samples
// keep their high byte; transparency kept as alpha; gamma chunks are not applied). Empty, with
// `error` set, when the file cannot be read or decoded, a side is 0 or above kMaxImageSide, or
// the image has more than kMaxImagePixels pixels.
CFHolder<CVPixelBufferRef> ReadPngAsPixelBuffer(const std::string& path, std::string* error);

// Writes a BGRA buffer as an 8-bit RGBA PNG. False, with `error` set, on failure.
bool WritePixelBufferAsPng(CVPixelBufferRef image, const std::string& path, std::string* error);

}  // namespace face_demo

#endif  // EXAMPLES_FACE_DEMO_IMAGE_IO_H_
