#include "platform/accelerate/vimage.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/coregraphics/pixel_layout.h"
#include "platform/corevideo/pixel_format.h"

using platform::coregraphics::PixelLayout;
using platform::coregraphics::Rgba;

struct vImageCVImageFormatObject final : platform::corefoundation::Object {
  vImageCVImageFormatObject() : Object(TypeID()) {}
  ~vImageCVImageFormatObject() override {
    CGColorSpaceRelease(color_space);
    if (chroma_siting != nullptr) CFRelease(chroma_siting);
  }
  static CFTypeID TypeID() {
    static const CFTypeID type_id = platform::corefoundation::RegisterTypeID();
    return type_id;
  }

  uint32_t code = 0;
  PixelLayout layout;
  const vImage_ARGBToYpCbCrMatrix* matrix = nullptr;
  CFStringRef chroma_siting = nullptr;
  CGColorSpaceRef color_space = nullptr;
  int alpha_is_one = 0;
};

struct vImageConverterObject final : platform::corefoundation::Object {
  vImageConverterObject() : Object(TypeID()) {}
  static CFTypeID TypeID() {
    static const CFTypeID type_id = platform::corefoundation::RegisterTypeID();
    return type_id;
  }

  PixelLayout src;
  PixelLayout dst;
  bool src_alpha_is_one = false;
  Rgba background;
};

namespace {

constexpr vImage_ARGBToYpCbCrMatrix kItu709 = {
    0.2126f, 0.7152f, 0.0722f, -0.2126f / 1.8556f, -0.7152f / 1.8556f, 0.5f,
    -0.7152f / 1.5748f, -0.0722f / 1.5748f};

vImage_Error Fail(vImage_Error code, vImage_Flags flags, const char* what) {
  if (flags & kvImagePrintDiagnosticsToConsole) fprintf(stderr, "vImage: %s (%zd)\n", what, code);
  return code;
}

vImageConverterRef FailConverter(vImage_Error code, vImage_Flags flags, const char* what,
                                 vImage_Error* error) {
  Fail(code, flags, what);
  if (error != nullptr) *error = code;
  return nullptr;
}

bool LayoutForCGFormat(const vImage_CGImageFormat& format, PixelLayout* layout) {
  const size_t components =
      format.colorSpace == nullptr ? 3 : CGColorSpaceGetNumberOfComponents(format.colorSpace);
  return platform::coregraphics::LayoutForBitmap(format.bitsPerComponent, format.bitsPerPixel,
                                                 components, format.bitmapInfo, layout);
}

Rgba Background(const CGFloat* color) {
  if (color == nullptr) return Rgba{0, 0, 0, 255};
  auto channel = [](CGFloat v) {
    return static_cast<uint8_t>(std::lround(std::fmin(std::fmax(v, 0.0), 1.0) * 255));
  };
  return Rgba{channel(color[0]), channel(color[1]), channel(color[2]), 255};
}

vImageConverterRef MakeConverter(const PixelLayout& src, const PixelLayout& dst,
                                 bool src_alpha_is_one, const CGFloat* background,
                                 vImage_Error* error) {
  auto* converter = new vImageConverterObject;
  converter->src = src;
  converter->dst = dst;
  converter->src_alpha_is_one = src_alpha_is_one;
  converter->background = Background(background);
  if (error != nullptr) *error = kvImageNoError;
  return converter;
}

bool BufferOk(const vImage_Buffer* b) { return b != nullptr && b->data != nullptr; }

// Fills one vImage_Buffer per plane of a locked, single-plane pixel buffer.
vImage_Error InitForPixelBuffer(vImage_Buffer* buffers, vImageConverterRef converter,
                                CVPixelBufferRef pixel_buffer, vImage_Flags flags) {
  if (buffers == nullptr || converter == nullptr || pixel_buffer == nullptr) {
    return Fail(kvImageNullPointerArgument, flags, "missing argument");
  }
  if ((flags & kvImageNoAllocate) == 0) {
    return Fail(kvImageInvalidParameter, flags, "only kvImageNoAllocate is supported");
  }
  void* base = CVPixelBufferGetBaseAddress(pixel_buffer);
  if (base == nullptr) return Fail(kvImageInvalidParameter, flags, "pixel buffer is not locked");
  buffers[0] = vImage_Buffer{base, CVPixelBufferGetHeight(pixel_buffer),
                             CVPixelBufferGetWidth(pixel_buffer),
                             CVPixelBufferGetBytesPerRow(pixel_buffer)};
  return kvImageNoError;
}

}  // namespace

const vImage_ARGBToYpCbCrMatrix* const kvImage_ARGBToYpCbCrMatrix_ITU_R_709_2 = &kItu709;

vImage_Error vImagePermuteChannels_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                            const uint8_t permute_map[4], vImage_Flags flags) {
  if (!BufferOk(src) || !BufferOk(dest) || permute_map == nullptr) {
    return Fail(kvImageNullPointerArgument, flags, "missing buffer or map");
  }
  for (int i = 0; i < 4; ++i) {
    if (permute_map[i] > 3) return Fail(kvImageInvalidParameter, flags, "permute map entry above 3");
  }
  if (src->width < dest->width || src->height < dest->height) {
    return Fail(kvImageRoiLargerThanInputBuffer, flags, "source smaller than destination");
  }
  for (vImagePixelCount y = 0; y < dest->height; ++y) {
    const auto* in = static_cast<const uint8_t*>(src->data) + y * src->rowBytes;
    auto* out = static_cast<uint8_t*>(dest->data) + y * dest->rowBytes;
    for (vImagePixelCount x = 0; x < dest->width; ++x, in += 4, out += 4) {
      uint8_t pixel[4];
      memcpy(pixel, in, 4);  // in place: read the whole pixel before writing it
      for (int i = 0; i < 4; ++i) out[i] = pixel[permute_map[i]];
    }
  }
  return kvImageNoError;
}

vImageCVImageFormatRef vImageCVImageFormat_Create(uint32_t image_format_type,
                                                  const vImage_ARGBToYpCbCrMatrix* matrix,
                                                  CFStringRef chroma_siting,
                                                  CGColorSpaceRef color_space, int alpha_is_one_hint) {
  PixelLayout layout;
  switch (image_format_type) {
    case kCVPixelFormatType_32BGRA:
      layout = {.bytes_per_pixel = 4, .red = 2, .green = 1, .blue = 0, .alpha = 3};
      break;
    case kCVPixelFormatType_32RGBA:
      layout = {.bytes_per_pixel = 4, .red = 0, .green = 1, .blue = 2, .alpha = 3};
      break;
    case kCVPixelFormatType_24RGB:
      layout = {.bytes_per_pixel = 3, .red = 0, .green = 1, .blue = 2};
      break;
    case kCVPixelFormatType_OneComponent8:
      layout = {.bytes_per_pixel = 1, .gray = 0};
      break;
    default:
      return nullptr;
  }
  auto* format = new vImageCVImageFormatObject;
  format->code = image_format_type;
  format->layout = layout;
  format->matrix = matrix;
  format->chroma_siting = chroma_siting != nullptr ? static_cast<CFStringRef>(CFRetain(chroma_siting)) : nullptr;
  format->color_space = CGColorSpaceRetain(color_space);
  format->alpha_is_one = alpha_is_one_hint;
  return format;
}

uint32_t vImageCVImageFormat_GetFormatCode(vImageCVImageFormatRef format) {
  return format != nullptr ? format->code : 0;
}

int vImageCVImageFormat_GetAlphaHint(vImageCVImageFormatRef format) {
  return format != nullptr ? format->alpha_is_one : 0;
}

void vImageCVImageFormat_Release(vImageCVImageFormatRef format) {
  if (format != nullptr) CFRelease(format);
}

vImageConverterRef vImageConverter_CreateWithCGImageFormat(const vImage_CGImageFormat* src_format,
                                                           const vImage_CGImageFormat* dest_format,
                                                           const CGFloat* background_color,
                                                           vImage_Flags flags, vImage_Error* error) {
  if (src_format == nullptr || dest_format == nullptr) {
    return FailConverter(kvImageNullPointerArgument, flags, "missing format", error);
  }
  PixelLayout src, dst;
  if (!LayoutForCGFormat(*src_format, &src) || !LayoutForCGFormat(*dest_format, &dst)) {
    return FailConverter(kvImageInvalidImageFormat, flags, "unsupported image format", error);
  }
  return MakeConverter(src, dst, false, background_color, error);
}

vImageConverterRef vImageConverter_CreateForCGToCVImageFormat(const vImage_CGImageFormat* src_format,
                                                              vImageCVImageFormatRef dest_format,
                                                              const CGFloat* background_color,
                                                              vImage_Flags flags,
                                                              vImage_Error* error) {
  if (src_format == nullptr || dest_format == nullptr) {
    return FailConverter(kvImageNullPointerArgument, flags, "missing format", error);
  }
  PixelLayout src;
  if (!LayoutForCGFormat(*src_format, &src)) {
    return FailConverter(kvImageInvalidImageFormat, flags, "unsupported image format", error);
  }
  return MakeConverter(src, dest_format->layout, false, background_color, error);
}

vImageConverterRef vImageConverter_CreateForCVToCGImageFormat(vImageCVImageFormatRef src_format,
                                                              const vImage_CGImageFormat* dest_format,
                                                              const CGFloat* background_color,
                                                              vImage_Flags flags,
                                                              vImage_Error* error) {
  if (src_format == nullptr || dest_format == nullptr) {
    return FailConverter(kvImageNullPointerArgument, flags, "missing format", error);
  }
  PixelLayout dst;
  if (!LayoutForCGFormat(*dest_format, &dst)) {
    return FailConverter(kvImageInvalidImageFormat, flags, "unsupported image format", error);
  }
  return MakeConverter(src_format->layout, dst, src_format->alpha_is_one != 0, background_color,
                       error);
}

unsigned long vImageConverter_GetNumberOfSourceBuffers(vImageConverterRef converter) {
  return converter != nullptr ? 1 : 0;
}

unsigned long vImageConverter_GetNumberOfDestinationBuffers(vImageConverterRef converter) {
  return converter != nullptr ? 1 : 0;
}

void vImageConverter_Retain(vImageConverterRef converter) {
  if (converter != nullptr) CFRetain(converter);
}

void vImageConverter_Release(vImageConverterRef converter) {
  if (converter != nullptr) CFRelease(converter);
}

vImage_Error vImageConvert_AnyToAny(vImageConverterRef converter, const vImage_Buffer* srcs,
                                    const vImage_Buffer* dests, void* temp_buffer,
                                    vImage_Flags flags) {
  if (converter == nullptr || !BufferOk(srcs) || !BufferOk(dests)) {
    return Fail(kvImageNullPointerArgument, flags, "missing converter or buffer");
  }
  if (srcs->width != dests->width || srcs->height != dests->height) {
    return Fail(kvImageBufferSizeMismatch, flags, "source and destination sizes differ");
  }
  const PixelLayout& in_layout = converter->src;
  const PixelLayout& out_layout = converter->dst;
  for (vImagePixelCount y = 0; y < dests->height; ++y) {
    const auto* in = static_cast<const uint8_t*>(srcs->data) + y * srcs->rowBytes;
    auto* out = static_cast<uint8_t*>(dests->data) + y * dests->rowBytes;
    for (vImagePixelCount x = 0; x < dests->width; ++x) {
      Rgba c = in_layout.Read(in + x * in_layout.bytes_per_pixel);
      if (converter->src_alpha_is_one) c.a = 255;
      if (!out_layout.has_alpha() && c.a != 255) {
        c = platform::coregraphics::Flatten(c, converter->background);
      }
      out_layout.Write(c, out + x * out_layout.bytes_per_pixel);
    }
  }
  return kvImageNoError;
}

vImage_Error vImageBuffer_InitForCopyFromCVPixelBuffer(vImage_Buffer* buffers,
                                                       vImageConverterRef converter,
                                                       CVPixelBufferRef pixel_buffer,
                                                       vImage_Flags flags) {
  return InitForPixelBuffer(buffers, converter, pixel_buffer, flags);
}

vImage_Error vImageBuffer_InitForCopyToCVPixelBuffer(vImage_Buffer* buffers,
                                                     vImageConverterRef converter,
                                                     CVPixelBufferRef pixel_buffer,
                                                     vImage_Flags flags) {
  return InitForPixelBuffer(buffers, converter, pixel_buffer, flags);
}
