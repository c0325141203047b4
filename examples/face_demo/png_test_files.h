// PNG files that the demo's own writer does not make, for tests of the reader: 16-bit samples,
// and a bare header that claims any size.
#ifndef EXAMPLES_FACE_DEMO_PNG_TEST_FILES_H_
#define EXAMPLES_FACE_DEMO_PNG_TEST_FILES_H_

#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/corevideo/pixel_buffer.h"

namespace face_demo {

// `image` (BGRA) as a 16-bit RGB PNG whose samples are the 8-bit ones times 257, as a camera or
// editor writing 16 bits stores them; alpha is dropped.
inline void WriteSixteenBitPng(CVPixelBufferRef image, const std::string& path) {
  const size_t width = CVPixelBufferGetWidth(image);
  const size_t height = CVPixelBufferGetHeight(image);
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<png_byte> row(width * 6);  // made before setjmp: a jump must not skip its end
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    FAIL() << "libpng could not write " << path;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 16, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  CVPixelBufferLockBaseAddress(image, kCVPixelBufferLock_ReadOnly);
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      const uint8_t* bgra = static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(image)) +
                            y * CVPixelBufferGetBytesPerRow(image) + x * 4;
      for (int c = 0; c < 3; ++c) {
        const uint16_t sample = uint16_t(bgra[2 - c] * 257);  // big-endian R, G, B
        row[x * 6 + c * 2] = png_byte(sample >> 8);
        row[x * 6 + c * 2 + 1] = png_byte(sample & 0xff);
      }
    }
    png_write_row(png, row.data());
  }
  CVPixelBufferUnlockBaseAddress(image, kCVPixelBufferLock_ReadOnly);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
}

// A PNG file of a signature, a header claiming `width` x `height`, and empty image data: as much
// as a reader sees before it must allocate the image.
inline void WritePngHeaderOnly(const std::string& path, uint32_t width, uint32_t height) {
  auto big_endian = [](uint32_t value) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8) bytes += char((value >> shift) & 0xff);
    return bytes;
  };
  auto chunk = [&](const std::string& type, const std::string& data) {
    const std::string body = type + data;
    const auto crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                                    uInt(body.size())));
    return big_endian(uint32_t(data.size())) + body + big_endian(crc);
  };
  const std::string header = big_endian(width) + big_endian(height) +
                             std::string("\x08\x06\x00\x00\x00", 5);  // 8-bit RGBA
  std::ofstream(path, std::ios::binary)
      << "\x89PNG\r\n\x1a\n" << chunk("IHDR", header) << chunk("IDAT", "") << chunk("IEND", "");
}

}  // namespace face_demo

#endif  // EXAMPLES_FACE_DEMO_PNG_TEST_FILES_H_
