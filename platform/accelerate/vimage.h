#ifndef PLATFORM_ACCELERATE_VIMAGE_H_
#define PLATFORM_ACCELERATE_VIMAGE_H_

// Accelerate's vImage: channel permutation and converters between pixel formats.
//
//   vImage_Buffer src = {base, height, width, bytes_per_row};
//   const uint8_t bgra_to_rgba[4] = {2, 1, 0, 3};
//   vImagePermuteChannels_ARGB8888(&src, &dst, bgra_to_rgba, kvImageNoFlags);
//
//   vImage_CGImageFormat gray = {8, 8, CGColorSpaceCreateDeviceGray(), kCGImageAlphaNone};
//   vImageCVImageFormatRef bgra = vImageCVImageFormat_Create(
//       kCVPixelFormatType_32BGRA, kvImage_ARGBToYpCbCrMatrix_ITU_R_709_2,
//       kCVImageBufferChromaLocation_Center, NULL, 1);
//   vImage_Error err;
//   vImageConverterRef converter =
//       vImageConverter_CreateForCGToCVImageFormat(&gray, bgra, white, kvImageNoFlags, &err);
//   vImageConvert_AnyToAny(converter, &src, &dst, NULL, kvImageNoFlags);
//
// What this stand-in converts: 8-bit packed pixels in the Core Graphics layouts of
// platform/coregraphics/pixel_layout.h, and the Core Video formats 'BGRA', 'RGBA', 'L008'
// and 24-bit RGB (straight alpha). Y'CbCr formats are not converted:
// vImageCVImageFormat_Create returns NULL for them. Conversions go through straight 8-bit
// RGBA without colour management; an alpha source written to a format without alpha is
// composited over the background colour; a source without alpha gives alpha 255.
//
// Functions report errors through vImage_Error codes; kvImagePrintDiagnosticsToConsole adds
// a line on standard error for each failure. Converters and formats are Core Foundation
// objects, immutable and usable from any thread.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/coregraphics/bitmap_info.h"
#include "platform/coregraphics/color_space.h"
#include "platform/coregraphics/geometry.h"
#include "platform/corevideo/pixel_buffer.h"

using vImagePixelCount = unsigned long;
using vImage_Error = ssize_t;
using vImage_Flags = uint32_t;

struct vImage_Buffer {
  void* data;
  vImagePixelCount height;
  vImagePixelCount width;
  size_t rowBytes;
};

inline constexpr vImage_Error kvImageNoError = 0;
inline constexpr vImage_Error kvImageRoiLargerThanInputBuffer = -21766;
inline constexpr vImage_Error kvImageMemoryAllocationError = -21771;
inline constexpr vImage_Error kvImageNullPointerArgument = -21772;
inline constexpr vImage_Error kvImageInvalidParameter = -21773;
inline constexpr vImage_Error kvImageBufferSizeMismatch = -21774;
inline constexpr vImage_Error kvImageUnknownFlagsBit = -21775;
inline constexpr vImage_Error kvImageInvalidImageFormat = -21778;
inline constexpr vImage_Error kvImageInvalidCVImageFormat = -21782;
inline constexpr vImage_Error kvImageUnsupportedConversion = -21783;

inline constexpr vImage_Flags kvImageNoFlags = 0;
inline constexpr vImage_Flags kvImagePrintDiagnosticsToConsole = 256;
inline constexpr vImage_Flags kvImageNoAllocate = 512;

// Output channel i of each pixel takes input channel `permute_map[i]` (0 to 3). `src` and
// `dest` may be the same buffer. The operation covers `dest`'s width and height; `src` must be
// at least that large.
vImage_Error vImagePermuteChannels_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                            const uint8_t permute_map[4], vImage_Flags flags);

// A Core Graphics pixel layout. `colorSpace` NULL means RGB.
struct vImage_CGImageFormat {
  uint32_t bitsPerComponent;
  uint32_t bitsPerPixel;
  CGColorSpaceRef colorSpace;
  CGBitmapInfo bitmapInfo;
  uint32_t version;
  const CGFloat* decode;
  int renderingIntent;
};

// R'G'B' to Y'CbCr weights.
struct vImage_ARGBToYpCbCrMatrix {
  float R_Yp, G_Yp, B_Yp;
  float R_Cb, G_Cb, B_Cb_R_Cr;
  float G_Cr, B_Cr;
};
extern const vImage_ARGBToYpCbCrMatrix* const kvImage_ARGBToYpCbCrMatrix_ITU_R_709_2;

using vImageCVImageFormatRef = struct vImageCVImageFormatObject*;
using vImageConverterRef = struct vImageConverterObject*;

// A description of a Core Video pixel format; NULL for a format this stand-in cannot convert.
// `matrix`, `chroma_siting` and `color_space` are kept (retained) for Y'CbCr use.
vImageCVImageFormatRef vImageCVImageFormat_Create(uint32_t image_format_type,
                                                  const vImage_ARGBToYpCbCrMatrix* matrix,
                                                  CFStringRef chroma_siting,
                                                  CGColorSpaceRef color_space, int alpha_is_one_hint);
uint32_t vImageCVImageFormat_GetFormatCode(vImageCVImageFormatRef format);
int vImageCVImageFormat_GetAlphaHint(vImageCVImageFormatRef format);
void vImageCVImageFormat_Release(vImageCVImageFormatRef format);  // NULL-safe

// Converters; NULL on failure with the reason in `*error` (may be NULL). `background_color`
// (three components, 0 to 1; NULL for black) fills behind transparent pixels when the
// destination has no alpha.
vImageConverterRef vImageConverter_CreateWithCGImageFormat(const vImage_CGImageFormat* src_format,
                                                           const vImage_CGImageFormat* dest_format,
                                                           const CGFloat* background_color,
                                                           vImage_Flags flags, vImage_Error* error);
vImageConverterRef vImageConverter_CreateForCGToCVImageFormat(const vImage_CGImageFormat* src_format,
                                                              vImageCVImageFormatRef dest_format,
                                                              const CGFloat* background_color,
                                                              vImage_Flags flags,
                                                              vImage_Error* error);
vImageConverterRef vImageConverter_CreateForCVToCGImageFormat(vImageCVImageFormatRef src_format,
                                                              const vImage_CGImageFormat* dest_format,
                                                              const CGFloat* background_color,
                                                              vImage_Flags flags,
                                                              vImage_Error* error);
unsigned long vImageConverter_GetNumberOfSourceBuffers(vImageConverterRef converter);
unsigned long vImageConverter_GetNumberOfDestinationBuffers(vImageConverterRef converter);
void vImageConverter_Retain(vImageConverterRef converter);   // NULL-safe
void vImageConverter_Release(vImageConverterRef converter);  // NULL-safe

// Converts `srcs` into `dests` (one buffer each here) of the same width and height.
// `temp_buffer` is not needed and may be NULL.
vImage_Error vImageConvert_AnyToAny(vImageConverterRef converter, const vImage_Buffer* srcs,
                                    const vImage_Buffer* dests, void* temp_buffer,
                                    vImage_Flags flags);

// Describe the planes of a locked pixel buffer for a converter's source / destination, one
// vImage_Buffer per plane. Only kvImageNoAllocate (buffers over the pixel buffer's memory) is
// supported; without it the result is kvImageInvalidParameter.
vImage_Error vImageBuffer_InitForCopyFromCVPixelBuffer(vImage_Buffer* buffers,
                                                       vImageConverterRef converter,
                                                       CVPixelBufferRef pixel_buffer,
                                                       vImage_Flags flags);
vImage_Error vImageBuffer_InitForCopyToCVPixelBuffer(vImage_Buffer* buffers,
                                                     vImageConverterRef converter,
                                                     CVPixelBufferRef pixel_buffer,
                                                     vImage_Flags flags);

#endif  // PLATFORM_ACCELERATE_VIMAGE_H_
