#include "platform/corevideo/pixel_format_description.h"

#include <cstdint>
#include <vector>

#include "platform/corefoundation/number.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_format.h"

using platform::corefoundation::Immortal;

namespace {

constinit Immortal<CFStringObject> name_key{"Name"};
constinit Immortal<CFStringObject> constant_key{"Constant"};
constinit Immortal<CFStringObject> bits_key{"BitsPerBlock"};
constinit Immortal<CFStringObject> planes_key{"Planes"};
constinit Immortal<CFStringObject> horizontal_key{"HorizontalSubsampling"};
constinit Immortal<CFStringObject> vertical_key{"VerticalSubsampling"};

// Sets `key` to a new number and drops the local reference.
void SetInt32(CFMutableDictionaryRef dictionary, CFStringRef key, int32_t value) {
  CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value);
  CFDictionarySetValue(dictionary, key, number);
  CFRelease(number);
}

CFMutableDictionaryRef NewDictionary() {
  return CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks);
}

}  // namespace

const CFStringRef kCVPixelFormatName = &name_key.value;
const CFStringRef kCVPixelFormatConstant = &constant_key.value;
const CFStringRef kCVPixelFormatBitsPerBlock = &bits_key.value;
const CFStringRef kCVPixelFormatPlanes = &planes_key.value;
const CFStringRef kCVPixelFormatHorizontalSubsampling = &horizontal_key.value;
const CFStringRef kCVPixelFormatVerticalSubsampling = &vertical_key.value;

CFArrayRef CVPixelFormatDescriptionArrayCreateWithAllPixelFormatTypes(CFAllocatorRef allocator) {
  std::vector<const void*> codes;
  for (const auto& layout : platform::corevideo::AllPixelFormats()) {
    auto code = static_cast<int32_t>(layout.format);
    codes.push_back(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &code));
  }
  CFArrayRef array = CFArrayCreate(allocator, codes.data(), static_cast<CFIndex>(codes.size()),
                                   &kCFTypeArrayCallBacks);
  for (const void* code : codes) CFRelease(code);
  return array;
}

CFDictionaryRef CVPixelFormatDescriptionCreateWithPixelFormatType(CFAllocatorRef allocator, OSType format) {
  const platform::corevideo::PixelFormatLayout* layout = platform::corevideo::FindPixelFormat(format);
  if (layout == nullptr) return nullptr;
  CFMutableDictionaryRef description = NewDictionary();
  CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, layout->name, kCFStringEncodingUTF8);
  CFDictionarySetValue(description, kCVPixelFormatName, name);
  CFRelease(name);
  SetInt32(description, kCVPixelFormatConstant, static_cast<int32_t>(format));
  if (layout->plane_count == 0) {
    SetInt32(description, kCVPixelFormatBitsPerBlock, layout->planes[0].bytes_per_pixel * 8);
  } else {
    std::vector<const void*> planes;
    for (int p = 0; p < layout->plane_count; ++p) {
      CFMutableDictionaryRef plane = NewDictionary();
      SetInt32(plane, kCVPixelFormatBitsPerBlock, layout->planes[p].bytes_per_pixel * 8);
      SetInt32(plane, kCVPixelFormatHorizontalSubsampling, layout->planes[p].divisor);
      SetInt32(plane, kCVPixelFormatVerticalSubsampling, layout->planes[p].divisor);
      planes.push_back(plane);
    }
    CFArrayRef array = CFArrayCreate(kCFAllocatorDefault, planes.data(), static_cast<CFIndex>(planes.size()),
                                     &kCFTypeArrayCallBacks);
    CFDictionarySetValue(description, kCVPixelFormatPlanes, array);
    CFRelease(array);
    for (const void* plane : planes) CFRelease(plane);
  }
  CFDictionarySetValue(description, kCVPixelFormatOpenGLESCompatibility, kCFBooleanTrue);
  return description;
}
