#include "gpu/pixel_buffer_conversions.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/str_cat.h"
#include "base/logging.h"
#include "base/status_macros.h"
#include "platform/corefoundation/array.h"
#include "platform/corefoundation/number.h"
#include "platform/coregraphics/color_space.h"
#include "platform/corevideo/image_buffer.h"
#include "platform/corevideo/pixel_format.h"
#include "platform/corevideo/pixel_format_description.h"

using kaldren::ImageFrame;
using pellumo::ImageFormat;

namespace {

// Swaps the first and third byte of every pixel: B, G, R, A <-> R, G, B, A.
constexpr uint8_t kSwapRedAndBlue[4] = {2, 1, 0, 3};

vImage_Buffer VImageBufferOf(void* data, int width, int height, size_t row_bytes) {
  return vImage_Buffer{data, static_cast<vImagePixelCount>(height),
                       static_cast<vImagePixelCount>(width), row_bytes};
}

// The four characters of a pixel-format code, most significant first.
std::string FourCharacters(OSType code) {
  return {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
          static_cast<char>(code)};
}

// Core Video's release callback of buffers made over an image frame's memory: drops the
// packet copy that kept the frame alive.
void ReleasePellumoPacket(void* release_ref_con, const void* /*base_address*/) {
  delete static_cast<kaldren::Packet*>(release_ref_con);
}

// The Core Graphics layout of a pixel format, when the converters know one. The caller
// releases the colour space.
bool CGFormatForPixelFormat(OSType pixel_format, vImage_CGImageFormat* format) {
  switch (pixel_format) {
    case kCVPixelFormatType_32BGRA:
      *format = {8, 32, nullptr, kCGImageAlphaFirst | kCGBitmapByteOrder32Little, 0, nullptr, 0};
      return true;
    case kCVPixelFormatType_32RGBA:
      *format = {8, 32, nullptr, kCGImageAlphaLast, 0, nullptr, 0};
      return true;
    case kCVPixelFormatType_OneComponent8:
      *format = {8, 8, CGColorSpaceCreateDeviceGray(), kCGImageAlphaNone, 0, nullptr, 0};
      return true;
    default:
      return false;
  }
}

// The colour space that Y'CbCr formats convert through; none for the others.
CGColorSpaceRef CreateConversionColorSpace(OSType pixel_format) {
  using platform::corevideo::FourCharCode;
  static constexpr OSType kYCbCrFormats[] = {
      FourCharCode("2vuy"), FourCharCode("yuvs"), FourCharCode("yuvf"), FourCharCode("y416"),
      FourCharCode("y420"), FourCharCode("v410"), FourCharCode("y408"), FourCharCode("v308"),
      FourCharCode("v408"), FourCharCode("v210"), FourCharCode("v216"), FourCharCode("f420"),
      FourCharCode("r408"), FourCharCode("420v"), FourCharCode("a2vy"), FourCharCode("420f")};
  for (OSType code : kYCbCrFormats) {
    if (code == pixel_format) return CGColorSpaceCreateWithName(kCGColorSpaceSRGB);
  }
  return nullptr;
}

vImageCVImageFormatRef CreateCVImageFormat(OSType pixel_format) {
  CGColorSpaceRef color_space = CreateConversionColorSpace(pixel_format);
  vImageCVImageFormatRef format = vImageCVImageFormat_Create(
      pixel_format, kvImage_ARGBToYpCbCrMatrix_ITU_R_709_2, kCVImageBufferChromaLocation_Center,
      color_space, /*alpha_is_one_hint=*/1);
  CGColorSpaceRelease(color_space);
  return format;
}

// A converter from `src_format` to `dst_format`, or NULL with vImage's reason in `*error`.
vImageConverterRef CreateConverterForPixelFormats(OSType src_format, OSType dst_format,
                                                  vImage_Error* error) {
  static constexpr CGFloat kWhite[3] = {1.0, 1.0, 1.0};
  vImage_CGImageFormat src_cg{}, dst_cg{};
  const bool src_has_cg = CGFormatForPixelFormat(src_format, &src_cg);
  const bool dst_has_cg = CGFormatForPixelFormat(dst_format, &dst_cg);
  // Neither side has a Core Graphics layout: vImage names no reason, so name one here.
  *error = kvImageUnsupportedConversion;
  vImageConverterRef converter = nullptr;
  vImageCVImageFormatRef description = nullptr;
  if (src_has_cg) {
    description = CreateCVImageFormat(dst_format);
    converter = vImageConverter_CreateForCGToCVImageFormat(
        &src_cg, description, kWhite, kvImagePrintDiagnosticsToConsole, error);
  } else if (dst_has_cg) {
    description = CreateCVImageFormat(src_format);
    converter = vImageConverter_CreateForCVToCGImageFormat(
        description, &dst_cg, kWhite, kvImagePrintDiagnosticsToConsole, error);
  }
  vImageCVImageFormat_Release(description);
  if (converter == nullptr && src_has_cg && dst_has_cg) {
    converter = vImageConverter_CreateWithCGImageFormat(&src_cg, &dst_cg, kWhite, kvImageNoFlags,
                                                        error);
  }
  CGColorSpaceRelease(src_cg.colorSpace);
  CGColorSpaceRelease(dst_cg.colorSpace);
  return converter;
}

vImageConverterRef CreateConverterForPixelFormats(OSType src_format, OSType dst_format) {
  vImage_Error error;
  return CreateConverterForPixelFormats(src_format, dst_format, &error);
}

}  // namespace

std::unique_ptr<ImageFrame> CreateImageFrameForCVPixelBuffer(CVPixelBufferRef image_buffer) {
  return CreateImageFrameForCVPixelBuffer(image_buffer, false, false);
}

std::unique_ptr<ImageFrame> CreateImageFrameForCVPixelBuffer(CVPixelBufferRef image_buffer,
                                                            bool can_overwrite, bool bgr_as_rgb) {
  CVReturn status = CVPixelBufferLockBaseAddress(image_buffer, kCVPixelBufferLock_ReadOnly);
  CHECK_EQ(status, kCVReturnSuccess) << "CVPixelBufferLockBaseAddress failed: " << status;

  auto* base_address = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(image_buffer));
  const int bytes_per_row = static_cast<int>(CVPixelBufferGetBytesPerRow(image_buffer));
  const int width = static_cast<int>(CVPixelBufferGetWidth(image_buffer));
  const int height = static_cast<int>(CVPixelBufferGetHeight(image_buffer));
  CVPixelBufferRetain(image_buffer);

  ImageFormat::Format image_format = ImageFormat::UNKNOWN;
  const OSType pixel_format = CVPixelBufferGetPixelFormatType(image_buffer);
  switch (pixel_format) {
    case kCVPixelFormatType_24RGB:
      image_format = ImageFormat::RGB8;
      break;
    case kCVPixelFormatType_32RGBA:
      image_format = ImageFormat::RGBA8;
      break;
    case kCVPixelFormatType_OneComponent8:
      image_format = ImageFormat::GRAY8;
      break;
    case kCVPixelFormatType_32BGRA: {
      image_format = ImageFormat::RGBA8;
      if (bgr_as_rgb) break;  // the frame's channels are then B, G, R, A
      const vImage_Buffer v_image = VImageBufferOf(base_address, width, height, bytes_per_row);
      if (can_overwrite) {
        // Swapped in place, under the read-only lock that the wrapping holds.
        const vImage_Error vError =
            vImagePermuteChannels_ARGB8888(&v_image, &v_image, kSwapRedAndBlue, kvImageNoFlags);
        CHECK_EQ(vError, kvImageNoError) << "vImagePermuteChannels failed: " << vError;
        break;
      }
      auto frame = std::make_unique<ImageFrame>(ImageFormat::RGBA8, width, height,
                                                ImageFrame::kDefaultAlignmentBoundary);
      const vImage_Buffer v_dest =
          VImageBufferOf(frame->MutablePixelData(), width, height, frame->WidthStep());
      const vImage_Error vError =
          vImagePermuteChannels_ARGB8888(&v_image, &v_dest, kSwapRedAndBlue, kvImageNoFlags);
      CHECK_EQ(vError, kvImageNoError) << "vImagePermuteChannels failed: " << vError;
      status = CVPixelBufferUnlockBaseAddress(image_buffer, kCVPixelBufferLock_ReadOnly);
      CHECK_EQ(status, kCVReturnSuccess) << "CVPixelBufferUnlockBaseAddress failed: " << status;
      CVPixelBufferRelease(image_buffer);
      return frame;
    }
    default:
      LOG(FATAL) << "unsupported pixel format: " << FourCharacters(pixel_format);
  }

  // The frame borrows the buffer's memory: the buffer stays locked and retained until the
  // frame lets go of its pixel data.
  return std::make_unique<ImageFrame>(
      image_format, width, height, bytes_per_row, base_address, [image_buffer](uint8_t*) {
        CVPixelBufferUnlockBaseAddress(image_buffer, kCVPixelBufferLock_ReadOnly);
        CVPixelBufferRelease(image_buffer);
      });
}

CVPixelBufferRef CreateCVPixelBufferForImageFramePacket(const kaldren::Packet& image_frame_packet) {
  CFHolder<CVPixelBufferRef> buffer;
  absl::Status status = CreateCVPixelBufferForImageFramePacket(image_frame_packet, &buffer);
  CHECK_EQ(::util::OkStatus(), (status)) << "Failed to create CVPixelBufferRef";
  return CVPixelBufferRetain(*buffer);
}

absl::Status CreateCVPixelBufferForImageFramePacket(const kaldren::Packet& image_frame_packet,
                                                    CFHolder<CVPixelBufferRef>* out_buffer) {
  return CreateCVPixelBufferForImageFramePacket(image_frame_packet, false, out_buffer);
}

absl::Status CreateCVPixelBufferForImageFramePacket(const kaldren::Packet& image_frame_packet,
                                                    bool can_overwrite,
                                                    CFHolder<CVPixelBufferRef>* out_buffer) {
  if (out_buffer == nullptr) return absl::InvalidArgumentError("out_buffer cannot be NULL");
  // A second reference to the frame, handed to the pixel buffer when it shares the memory.
  auto packet_copy = std::make_unique<kaldren::Packet>(image_frame_packet);
  const auto& frame = packet_copy->Get<ImageFrame>();
  // Sharing hands the frame's memory to Core Video, which takes a non-const base address.
  uint8_t* pixel_data = const_cast<uint8_t*>(frame.PixelData());
  const int width = frame.Width();
  const int height = frame.Height();
  const int width_step = frame.WidthStep();

  OSType pixel_format = 0;
  switch (frame.Format()) {
    case ImageFormat::RGBA8: {
      pixel_format = kCVPixelFormatType_32BGRA;
      const vImage_Buffer v_image = VImageBufferOf(pixel_data, width, height, width_step);
      if (can_overwrite) {
        const vImage_Error vError =
            vImagePermuteChannels_ARGB8888(&v_image, &v_image, kSwapRedAndBlue, kvImageNoFlags);
        RET_CHECK(vError == kvImageNoError) << "vImagePermuteChannels failed: " << vError;
        break;
      }
      CVPixelBufferRef raw = nullptr;
      CVReturn status = CVPixelBufferCreate(kCFAllocatorDefault, width, height, pixel_format,
                                            GetCVPixelBufferAttributesForGlCompatibility(), &raw);
      RET_CHECK(status == kCVReturnSuccess) << "CVPixelBufferCreate failed: " << status;
      CFHolder<CVPixelBufferRef> buffer = MakeCFHolderAdopting(raw);
      status = CVPixelBufferLockBaseAddress(raw, 0);
      RET_CHECK(status == kCVReturnSuccess) << "CVPixelBufferLockBaseAddress failed: " << status;
      const vImage_Buffer v_dest = VImageBufferOf(CVPixelBufferGetBaseAddress(raw), width, height,
                                                  CVPixelBufferGetBytesPerRow(raw));
      const vImage_Error vError =
          vImagePermuteChannels_ARGB8888(&v_image, &v_dest, kSwapRedAndBlue, kvImageNoFlags);
      status = CVPixelBufferUnlockBaseAddress(raw, 0);
      RET_CHECK(vError == kvImageNoError) << "vImagePermuteChannels failed: " << vError;
      RET_CHECK(status == kCVReturnSuccess) << "CVPixelBufferUnlockBaseAddress failed: " << status;
      // The copy does not refer to the frame: the packet copy goes with this scope.
      *out_buffer = std::move(buffer);
      return absl::OkStatus();
    }
    case ImageFormat::GRAY8:
      pixel_format = kCVPixelFormatType_OneComponent8;
      break;
    default:
      return absl::UnknownError(
          absl::StrCat("unsupported ImageFrame format: ", static_cast<int>(frame.Format())));
  }

  CVPixelBufferRef pixel_buffer = nullptr;
  const CVReturn status = CVPixelBufferCreateWithBytes(
      kCFAllocatorDefault, width, height, pixel_format, pixel_data, width_step,
      ReleasePellumoPacket, packet_copy.get(), GetCVPixelBufferAttributesForGlCompatibility(),
      &pixel_buffer);
  RET_CHECK(status == kCVReturnSuccess) << "failed to create pixel buffer: " << status;
  packet_copy.release();  // now owned by the pixel buffer's release callback
  *out_buffer = MakeCFHolderAdopting(pixel_buffer);
  return absl::OkStatus();
}

absl::Status CreateCGImageFromCVPixelBuffer(CVPixelBufferRef image_buffer,
                                            CFHolder<CGImageRef>* image) {
  CVReturn status = CVPixelBufferLockBaseAddress(image_buffer, kCVPixelBufferLock_ReadOnly);
  RET_CHECK(status == kCVReturnSuccess) << "CVPixelBufferLockBaseAddress failed: " << status;

  void* base_address = CVPixelBufferGetBaseAddress(image_buffer);
  const size_t width = CVPixelBufferGetWidth(image_buffer);
  const size_t height = CVPixelBufferGetHeight(image_buffer);
  const size_t bytes_per_row = CVPixelBufferGetBytesPerRow(image_buffer);
  const OSType pixel_format = CVPixelBufferGetPixelFormatType(image_buffer);

  CGColorSpaceRef color_space = nullptr;
  CGBitmapInfo bitmap_info = 0;
  switch (pixel_format) {
    case kCVPixelFormatType_OneComponent8:
      color_space = CGColorSpaceCreateDeviceGray();
      bitmap_info = kCGImageAlphaNone;
      break;
    case kCVPixelFormatType_32BGRA:
      color_space = CGColorSpaceCreateDeviceRGB();
      bitmap_info = kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little;
      break;
    default:
      LOG(FATAL) << "Unsupported pixelFormat " << pixel_format;
  }

  CGContextRef context = CGBitmapContextCreate(base_address, width, height, 8, bytes_per_row,
                                               color_space, bitmap_info);
  CFHolder<CGImageRef> made = MakeCFHolderAdopting(CGBitmapContextCreateImage(context));
  CGContextRelease(context);
  CGColorSpaceRelease(color_space);

  status = CVPixelBufferUnlockBaseAddress(image_buffer, kCVPixelBufferLock_ReadOnly);
  RET_CHECK(status == kCVReturnSuccess) << "CVPixelBufferUnlockBaseAddress failed: " << status;
  *image = std::move(made);
  return absl::OkStatus();
}

absl::Status CreateCVPixelBufferFromCGImage(CGImageRef image, CFHolder<CVPixelBufferRef>* out_buffer) {
  const size_t width = CGImageGetWidth(image);
  const size_t height = CGImageGetHeight(image);
  CVPixelBufferRef raw = nullptr;
  CVReturn status = CVPixelBufferCreate(kCFAllocatorDefault, width, height, kCVPixelFormatType_32BGRA,
                                        GetCVPixelBufferAttributesForGlCompatibility(), &raw);
  RET_CHECK(status == kCVReturnSuccess) << "failed to create pixel buffer: " << status;
  CFHolder<CVPixelBufferRef> buffer = MakeCFHolderAdopting(raw);

  status = CVPixelBufferLockBaseAddress(raw, 0);
  RET_CHECK(status == kCVReturnSuccess) << "CVPixelBufferLockBaseAddress failed: " << status;
  CGColorSpaceRef color_space = CGColorSpaceCreateDeviceRGB();
  CGContextRef context = CGBitmapContextCreate(
      CVPixelBufferGetBaseAddress(raw), width, height, 8, CVPixelBufferGetBytesPerRow(raw),
      color_space, kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
  const CGRect rect = CGRectMake(0, 0, width, height);
  CGContextClearRect(context, rect);
  CGContextDrawImage(context, rect, image);
  CGContextRelease(context);
  CGColorSpaceRelease(color_space);

  status = CVPixelBufferUnlockBaseAddress(raw, 0);
  RET_CHECK(status == kCVReturnSuccess) << "CVPixelBufferUnlockBaseAddress failed: " << status;
  *out_buffer = std::move(buffer);
  return absl::OkStatus();
}

CFDictionaryRef GetCVPixelBufferAttributesForGlCompatibility() {
  static const CFDictionaryRef attributes = [] {
    CFDictionaryRef empty = CFDictionaryCreate(kCFAllocatorDefault, nullptr, nullptr, 0,
                                               &kCFTypeDictionaryKeyCallBacks,
                                               &kCFTypeDictionaryValueCallBacks);
    const void* keys[] = {kCVPixelFormatOpenGLESCompatibility, kCVPixelBufferIOSurfacePropertiesKey};
    const void* values[] = {kCFBooleanTrue, empty};
    CFDictionaryRef made = CFDictionaryCreate(kCFAllocatorDefault, keys, values, 2,
                                              &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks);
    CFRelease(empty);
    return made;
  }();
  return attributes;
}

vImage_Error vImageGrayToBGRA(const vImage_Buffer* src, vImage_Buffer* dst) {
  static const vImageConverterRef converter = CreateConverterForPixelFormats(
      kCVPixelFormatType_OneComponent8, kCVPixelFormatType_32BGRA);
  return vImageConvert_AnyToAny(converter, src, dst, nullptr, kvImageNoFlags);
}

vImage_Error vImageBGRAToGray(const vImage_Buffer* src, vImage_Buffer* dst) {
  static const vImageConverterRef converter = CreateConverterForPixelFormats(
      kCVPixelFormatType_32BGRA, kCVPixelFormatType_OneComponent8);
  return vImageConvert_AnyToAny(converter, src, dst, nullptr, kvImageNoFlags);
}

vImage_Error vImageRGBAToGray(const vImage_Buffer* src, vImage_Buffer* dst) {
  static const vImageConverterRef converter = CreateConverterForPixelFormats(
      kCVPixelFormatType_32RGBA, kCVPixelFormatType_OneComponent8);
  return vImageConvert_AnyToAny(converter, src, dst, nullptr, kvImageNoFlags);
}

vImage_Error vImageConvertCVPixelBuffers(CVPixelBufferRef src, CVPixelBufferRef dst) {
  vImage_Error error = kvImageNoError;
  vImageConverterRef converter = CreateConverterForPixelFormats(
      CVPixelBufferGetPixelFormatType(src), CVPixelBufferGetPixelFormatType(dst), &error);
  if (converter == nullptr) return error;

  constexpr unsigned long kMaxPlanes = 8;
  const unsigned long src_count = vImageConverter_GetNumberOfSourceBuffers(converter);
  const unsigned long dst_count = vImageConverter_GetNumberOfDestinationBuffers(converter);
  if (src_count + dst_count > kMaxPlanes) {
    vImageConverter_Release(converter);
    return kvImageMemoryAllocationError;
  }
  vImage_Buffer buffers[kMaxPlanes];
  vImage_Buffer* src_buffers = buffers;
  vImage_Buffer* dst_buffers = buffers + src_count;
  auto describe = [](CVPixelBufferRef pixel_buffer, vImage_Buffer* buffer) {
    *buffer = vImage_Buffer{CVPixelBufferGetBaseAddress(pixel_buffer),
                            CVPixelBufferGetHeight(pixel_buffer),
                            CVPixelBufferGetWidth(pixel_buffer),
                            CVPixelBufferGetBytesPerRow(pixel_buffer)};
  };
  constexpr vImage_Flags kPlaneFlags = kvImageNoAllocate | kvImagePrintDiagnosticsToConsole;
  vImage_Error result = kvImageNoError;
  if (src_count == 1) {
    describe(src, src_buffers);
  } else {
    result = vImageBuffer_InitForCopyFromCVPixelBuffer(src_buffers, converter, src, kPlaneFlags);
  }
  if (result == kvImageNoError) {
    if (dst_count == 1) {
      describe(dst, dst_buffers);
    } else {
      result = vImageBuffer_InitForCopyToCVPixelBuffer(dst_buffers, converter, dst, kPlaneFlags);
    }
  }
  if (result == kvImageNoError) {
    result = vImageConvert_AnyToAny(converter, src_buffers, dst_buffers, nullptr, kvImageNoFlags);
  }
  vImageConverter_Release(converter);
  return result;
}

void DumpCVPixelFormats() {
  printf("Core Video Supported Pixel Format Types:");
  CFArrayRef formats = CVPixelFormatDescriptionArrayCreateWithAllPixelFormatTypes(kCFAllocatorDefault);
  for (CFIndex i = 0; i < CFArrayGetCount(formats); ++i) {
    int32_t code = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(formats, i)),
                     kCFNumberSInt32Type, &code);
    if (code > 40) {
      const std::string chars = FourCharacters(static_cast<OSType>(code));
      printf("\nCore Video Pixel Format Type (FourCC): %c%c%c%c\n", chars[0], chars[1], chars[2],
             chars[3]);
    } else {
      printf("\nCore Video Pixel Format Type: %d\n", code);
    }
    fflush(stdout);
    CFDictionaryRef description =
        CVPixelFormatDescriptionCreateWithPixelFormatType(kCFAllocatorDefault, static_cast<OSType>(code));
    if (description == nullptr) continue;
    const CFIndex count = CFDictionaryGetCount(description);
    std::vector<const void*> keys(count), values(count);
    CFDictionaryGetKeysAndValues(description, keys.data(), values.data());
    for (CFIndex k = 0; k < count; ++k) {
      CFStringRef key = CFCopyDescription(keys[k]);
      CFStringRef value = CFCopyDescription(values[k]);
      const std::string line = absl::StrCat("  ", CFStringGetCStringPtr(key, kCFStringEncodingUTF8),
                                            ": ", CFStringGetCStringPtr(value, kCFStringEncodingUTF8));
      CFStringRef text = CFStringCreateWithCString(kCFAllocatorDefault, line.c_str(),
                                                   kCFStringEncodingUTF8);
      CFShow(text);
      CFRelease(text);
      CFRelease(value);
      CFRelease(key);
    }
    CFRelease(description);
  }
  CFRelease(formats);
}
