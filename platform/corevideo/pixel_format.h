#ifndef PLATFORM_COREVIDEO_PIXEL_FORMAT_H_
#define PLATFORM_COREVIDEO_PIXEL_FORMAT_H_

// Core Video pixel-format codes and the memory layout of each format this stand-in can
// allocate.
//
// A code is four characters read as a big-endian 32-bit number ('BGRA' = 0x42475241), or a
// small number for the oldest formats (24 for packed 24-bit RGB).
//
// Layouts (bytes per pixel of each plane):
//   'BGRA' 4 (B, G, R, A)      'RGBA' 4 (R, G, B, A)      24 3 (R, G, B)
//   'L008' 1                   'L00h' 2 (half float)      'L00f' 4 (float)
//   '2C0h' 4 (2 half floats)   'RGhA' 8 (4 half floats)   'RGfA' 16 (4 floats)
//   'fdep' 4 (float depth)
//   '420v', '420f': two planes, Y' w x h at 1 byte, then interleaved CbCr
//                   ceil(w/2) x ceil(h/2) at 2 bytes ('420v' video range, '420f' full range)

#include <cstddef>
#include <span>

#include "platform/corefoundation/object.h"

inline constexpr OSType kCVPixelFormatType_24RGB = 0x00000018;
inline constexpr OSType kCVPixelFormatType_32BGRA = 0x42475241;                        // 'BGRA'
inline constexpr OSType kCVPixelFormatType_32RGBA = 0x52474241;                        // 'RGBA'
inline constexpr OSType kCVPixelFormatType_OneComponent8 = 0x4C303038;                 // 'L008'
inline constexpr OSType kCVPixelFormatType_OneComponent16Half = 0x4C303068;            // 'L00h'
inline constexpr OSType kCVPixelFormatType_OneComponent32Float = 0x4C303066;           // 'L00f'
inline constexpr OSType kCVPixelFormatType_TwoComponent16Half = 0x32433068;            // '2C0h'
inline constexpr OSType kCVPixelFormatType_64RGBAHalf = 0x52476841;                    // 'RGhA'
inline constexpr OSType kCVPixelFormatType_128RGBAFloat = 0x52476641;                  // 'RGfA'
inline constexpr OSType kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange = 0x34323076;  // '420v'
inline constexpr OSType kCVPixelFormatType_420YpCbCr8BiPlanarFullRange = 0x34323066;   // '420f'
inline constexpr OSType kCVPixelFormatType_DepthFloat32 = 0x66646570;                  // 'fdep'

namespace platform::corevideo {

// The four characters of a code as a number: FourCharCode("BGRA") == 0x42475241.
constexpr OSType FourCharCode(const char (&code)[5]) {
  return (OSType{static_cast<unsigned char>(code[0])} << 24) |
         (OSType{static_cast<unsigned char>(code[1])} << 16) |
         (OSType{static_cast<unsigned char>(code[2])} << 8) | OSType{static_cast<unsigned char>(code[3])};
}

struct PlaneLayout {
  int bytes_per_pixel;
  // The plane is ceil(width / divisor) x ceil(height / divisor) pixels.
  int divisor;
};

struct PixelFormatLayout {
  OSType format;
  const char* name;  // the platform's constant name without "kCVPixelFormatType_"
  // 0 for the single-plane (non-planar) formats, else the number of planes.
  int plane_count;
  PlaneLayout planes[2];  // planes[0] only for the single-plane formats
};

// The layout of `format`, or NULL when this stand-in cannot allocate it.
const PixelFormatLayout* FindPixelFormat(OSType format);
// Every format above, in the order of the table.
std::span<const PixelFormatLayout> AllPixelFormats();

}  // namespace platform::corevideo

#endif  // PLATFORM_COREVIDEO_PIXEL_FORMAT_H_
