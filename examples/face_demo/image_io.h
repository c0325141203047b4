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

// Larger sides are refused: a camera frame is far smaller, and the pixel count stays well
// within what one buffer can hold.
inline constexpr size_t kMaxImageSide = 16384;

// A new BGRA pixel buffer of `width` x `height`; empty when it cannot be made.
CFHolder<CVPixelBufferRef> MakeBgraPixelBuffer(size_t width, size_t height);

// The PNG at `path` as a new BGRA buffer (any PNG colour type; transparency kept as alpha).
// Empty, with `error` set, when the file cannot be read or decoded or a side is 0 or above
// kMaxImageSide.
CFHolder<CVPixelBufferRef> ReadPngAsPixelBuffer(const std::string& path, std::string* error);

// Writes a BGRA buffer as an 8-bit RGBA PNG. False, with `error` set, on failure.
bool WritePixelBufferAsPng(CVPixelBufferRef image, const std::string& path, std::string* error);

}  // namespace face_demo

#endif  // EXAMPLES_FACE_DEMO_IMAGE_IO_H_
