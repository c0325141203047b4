#include "platform/corevideo/pixel_buffer.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "base/logging.h"
#include "platform/corefoundation/number.h"
#include "platform/corevideo/failure_injection.h"
#include "platform/corevideo/pixel_buffer_internal.h"

using platform::corefoundation::Immortal;
using platform::corefoundation::Object;

namespace {

constinit Immortal<CFStringObject> pixel_format_key{"PixelFormatType"};
constinit Immortal<CFStringObject> width_key{"Width"};
constinit Immortal<CFStringObject> height_key{"Height"};
constinit Immortal<CFStringObject> alignment_key{"BytesPerRowAlignment"};
constinit Immortal<CFStringObject> surface_key{"IOSurfaceProperties"};
constinit Immortal<CFStringObject> gles_key{"OpenGLESCompatibility"};
constinit Immortal<CFStringObject> metal_key{"MetalCompatibility"};
constinit Immortal<CFStringObject> format_gles_key{"FormatOpenGLESCompatibility"};

// Planes start on this boundary, and so does the memory.
constexpr size_t kPlaneAlignment = 64;
// Larger images are refused as an allocation failure.
constexpr size_t kMaxDataSize = size_t{1} << 31;

bool RoundUp(size_t value, size_t multiple, size_t* out) {
  size_t padded;
  if (__builtin_add_overflow(value, multiple - 1, &padded)) return false;
  *out = padded / multiple * multiple;
  return true;
}

CVPixelBufferObject* BufferOf(CVPixelBufferRef buffer) {
  if (buffer == nullptr) return nullptr;
  CHECK(Object::FromRef(buffer)->type_id() == CVPixelBufferGetTypeID()) << "not a CVPixelBuffer";
  return buffer;
}

bool ValidPlane(const CVPixelBufferObject* b, size_t plane) {
  return b != nullptr && b->layout->plane_count > 0 && plane < static_cast<size_t>(b->stored_planes);
}

bool Locked(CVPixelBufferObject* b) {
  std::lock_guard<std::mutex> lock(b->lock_mutex);
  return b->locks.read_only > 0 || b->locks.read_write > 0;
}

}  // namespace

const CFStringRef kCVPixelBufferPixelFormatTypeKey = &pixel_format_key.value;
const CFStringRef kCVPixelBufferWidthKey = &width_key.value;
const CFStringRef kCVPixelBufferHeightKey = &height_key.value;
const CFStringRef kCVPixelBufferBytesPerRowAlignmentKey = &alignment_key.value;
const CFStringRef kCVPixelBufferIOSurfacePropertiesKey = &surface_key.value;
const CFStringRef kCVPixelBufferOpenGLESCompatibilityKey = &gles_key.value;
const CFStringRef kCVPixelBufferMetalCompatibilityKey = &metal_key.value;
const CFStringRef kCVPixelFormatOpenGLESCompatibility = &format_gles_key.value;

CFTypeID CVPixelBufferGetTypeID() {
  static const CFTypeID type_id = platform::corefoundation::RegisterTypeID();
  return type_id;
}

CVPixelBufferObject::~CVPixelBufferObject() {
  if (owns_memory) {
    std::free(memory);
  } else if (release_callback != nullptr) {
    release_callback(release_ref_con, memory);
  }
}

void CVPixelBufferObject::LastRelease() {
  if (pool != nullptr) {
    platform::corevideo::internal::ReturnToPool(*pool, this);
  } else {
    delete this;
  }
}

namespace platform::corevideo::internal {

CVReturn ReadBufferAttributes(CFDictionaryRef attributes, BufferSpec* spec) {
  if (attributes == nullptr) return kCVReturnSuccess;
  spec->surface_backed = CFDictionaryContainsKey(attributes, kCVPixelBufferIOSurfacePropertiesKey);
  const void* alignment = CFDictionaryGetValue(attributes, kCVPixelBufferBytesPerRowAlignmentKey);
  if (alignment != nullptr) {
    int64_t value = 0;
    if (CFGetTypeID(alignment) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(alignment), kCFNumberSInt64Type, &value) ||
        value < 1 || value > 4096) {
      return kCVReturnInvalidPixelBufferAttributes;
    }
    spec->row_alignment = static_cast<size_t>(value);
  }
  return kCVReturnSuccess;
}

CVReturn ValidateBufferSpec(const BufferSpec& spec) {
  if (spec.width == 0 || spec.height == 0) return kCVReturnInvalidSize;
  if (FindPixelFormat(spec.format) == nullptr) return kCVReturnInvalidPixelFormat;
  return kCVReturnSuccess;
}

CVPixelBufferObject* AllocateBuffer(const BufferSpec& spec) {
  const PixelFormatLayout* layout = FindPixelFormat(spec.format);
  CHECK(layout != nullptr);
  auto* buffer = new CVPixelBufferObject;
  buffer->width = spec.width;
  buffer->height = spec.height;
  buffer->format = spec.format;
  buffer->layout = layout;
  buffer->stored_planes = layout->plane_count > 0 ? layout->plane_count : 1;
  buffer->surface_backed = spec.surface_backed;
  size_t total = 0;
  bool ok = true;
  for (int p = 0; p < buffer->stored_planes && ok; ++p) {
    const PlaneLayout& plane_layout = layout->planes[p];
    auto& plane = buffer->planes[p];
    plane.width = (spec.width - 1) / plane_layout.divisor + 1;
    plane.height = (spec.height - 1) / plane_layout.divisor + 1;
    size_t row_bytes, plane_bytes;
    ok = !__builtin_mul_overflow(plane.width, static_cast<size_t>(plane_layout.bytes_per_pixel), &row_bytes) &&
         RoundUp(row_bytes, spec.row_alignment, &plane.bytes_per_row) &&
         RoundUp(total, kPlaneAlignment, &plane.offset) &&
         !__builtin_mul_overflow(plane.bytes_per_row, plane.height, &plane_bytes) &&
         !__builtin_add_overflow(plane.offset, plane_bytes, &total);
  }
  size_t allocation = 0;
  if (ok) ok = RoundUp(total, kPlaneAlignment, &allocation) && allocation <= kMaxDataSize;
  if (ok) buffer->memory = static_cast<uint8_t*>(std::aligned_alloc(kPlaneAlignment, allocation));
  if (buffer->memory == nullptr) {
    delete buffer;
    return nullptr;
  }
  std::memset(buffer->memory, 0, allocation);
  buffer->owns_memory = true;
  buffer->data_size = total;
  return buffer;
}

}  // namespace platform::corevideo::internal

CVReturn CVPixelBufferCreate(CFAllocatorRef allocator, size_t width, size_t height,
                             OSType pixel_format, CFDictionaryRef attributes, CVPixelBufferRef* out) {
  using namespace platform::corevideo;
  if (out == nullptr) return kCVReturnInvalidArgument;
  internal::BufferSpec spec{width, height, pixel_format};
  CVReturn err = internal::ValidateBufferSpec(spec);
  if (err == kCVReturnSuccess) err = internal::ReadBufferAttributes(attributes, &spec);
  if (err == kCVReturnSuccess) err = TakeInjectedFailure(Operation::kCreatePixelBuffer);
  if (err != kCVReturnSuccess) return err;
  CVPixelBufferObject* buffer = internal::AllocateBuffer(spec);
  if (buffer == nullptr) return kCVReturnAllocationFailed;
  *out = buffer;
  return kCVReturnSuccess;
}

CVReturn CVPixelBufferCreateWithBytes(CFAllocatorRef allocator, size_t width, size_t height,
                                      OSType pixel_format, void* base_address, size_t bytes_per_row,
                                      CVPixelBufferReleaseBytesCallback release_callback,
                                      void* release_ref_con, CFDictionaryRef attributes,
                                      CVPixelBufferRef* out) {
  using namespace platform::corevideo;
  if (out == nullptr || base_address == nullptr) return kCVReturnInvalidArgument;
  internal::BufferSpec spec{width, height, pixel_format};
  CVReturn err = internal::ValidateBufferSpec(spec);
  if (err != kCVReturnSuccess) return err;
  const PixelFormatLayout* layout = FindPixelFormat(pixel_format);
  if (layout->plane_count > 0) return kCVReturnInvalidPixelFormat;
  size_t row_bytes;
  if (__builtin_mul_overflow(width, static_cast<size_t>(layout->planes[0].bytes_per_pixel), &row_bytes) ||
      bytes_per_row < row_bytes) {
    return kCVReturnInvalidArgument;
  }
  size_t data_size;
  if (__builtin_mul_overflow(bytes_per_row, height, &data_size)) return kCVReturnInvalidArgument;
  err = TakeInjectedFailure(Operation::kCreatePixelBuffer);
  if (err != kCVReturnSuccess) return err;

  auto* buffer = new CVPixelBufferObject;
  buffer->width = width;
  buffer->height = height;
  buffer->format = pixel_format;
  buffer->layout = layout;
  buffer->planes[0] = {0, width, height, bytes_per_row};
  buffer->memory = static_cast<uint8_t*>(base_address);
  buffer->data_size = data_size;
  buffer->release_callback = release_callback;
  buffer->release_ref_con = release_ref_con;
  *out = buffer;
  return kCVReturnSuccess;
}

CVPixelBufferRef CVPixelBufferRetain(CVPixelBufferRef buffer) {
  if (BufferOf(buffer) != nullptr) buffer->Retain();
  return buffer;
}

void CVPixelBufferRelease(CVPixelBufferRef buffer) {
  if (BufferOf(buffer) != nullptr) buffer->Release();
}

size_t CVPixelBufferGetWidth(CVPixelBufferRef buffer) {
  return BufferOf(buffer) != nullptr ? buffer->width : 0;
}

size_t CVPixelBufferGetHeight(CVPixelBufferRef buffer) {
  return BufferOf(buffer) != nullptr ? buffer->height : 0;
}

OSType CVPixelBufferGetPixelFormatType(CVPixelBufferRef buffer) {
  return BufferOf(buffer) != nullptr ? buffer->format : 0;
}

size_t CVPixelBufferGetBytesPerRow(CVPixelBufferRef buffer) {
  return BufferOf(buffer) != nullptr ? buffer->planes[0].bytes_per_row : 0;
}

void* CVPixelBufferGetBaseAddress(CVPixelBufferRef buffer) {
  if (BufferOf(buffer) == nullptr || !Locked(buffer)) return nullptr;
  return buffer->memory + buffer->planes[0].offset;
}

size_t CVPixelBufferGetDataSize(CVPixelBufferRef buffer) {
  return BufferOf(buffer) != nullptr ? buffer->data_size : 0;
}

Boolean CVPixelBufferIsPlanar(CVPixelBufferRef buffer) {
  return BufferOf(buffer) != nullptr && buffer->layout->plane_count > 0;
}

size_t CVPixelBufferGetPlaneCount(CVPixelBufferRef buffer) {
  return BufferOf(buffer) != nullptr ? static_cast<size_t>(buffer->layout->plane_count) : 0;
}

size_t CVPixelBufferGetWidthOfPlane(CVPixelBufferRef buffer, size_t plane) {
  return ValidPlane(BufferOf(buffer), plane) ? buffer->planes[plane].width : 0;
}

size_t CVPixelBufferGetHeightOfPlane(CVPixelBufferRef buffer, size_t plane) {
  return ValidPlane(BufferOf(buffer), plane) ? buffer->planes[plane].height : 0;
}

size_t CVPixelBufferGetBytesPerRowOfPlane(CVPixelBufferRef buffer, size_t plane) {
  return ValidPlane(BufferOf(buffer), plane) ? buffer->planes[plane].bytes_per_row : 0;
}

void* CVPixelBufferGetBaseAddressOfPlane(CVPixelBufferRef buffer, size_t plane) {
  if (!ValidPlane(BufferOf(buffer), plane) || !Locked(buffer)) return nullptr;
  return buffer->memory + buffer->planes[plane].offset;
}

CVReturn CVPixelBufferLockBaseAddress(CVPixelBufferRef buffer, CVPixelBufferLockFlags flags) {
  using namespace platform::corevideo;
  if (BufferOf(buffer) == nullptr || (flags & ~kCVPixelBufferLock_ReadOnly) != 0) {
    return kCVReturnInvalidArgument;
  }
  CVReturn err = TakeInjectedFailure(Operation::kLockBaseAddress);
  if (err != kCVReturnSuccess) return err;
  std::lock_guard<std::mutex> lock(buffer->lock_mutex);
  ++(flags != 0 ? buffer->locks.read_only : buffer->locks.read_write);
  return kCVReturnSuccess;
}

CVReturn CVPixelBufferUnlockBaseAddress(CVPixelBufferRef buffer, CVPixelBufferLockFlags flags) {
  using namespace platform::corevideo;
  if (BufferOf(buffer) == nullptr || (flags & ~kCVPixelBufferLock_ReadOnly) != 0) {
    return kCVReturnInvalidArgument;
  }
  std::lock_guard<std::mutex> lock(buffer->lock_mutex);
  int& count = flags != 0 ? buffer->locks.read_only : buffer->locks.read_write;
  if (count == 0) return kCVReturnInvalidArgument;
  CVReturn err = TakeInjectedFailure(Operation::kUnlockBaseAddress);
  if (err != kCVReturnSuccess) return err;
  --count;
  return kCVReturnSuccess;
}

namespace platform::corevideo {

LockState GetLockState(CVPixelBufferRef buffer) {
  if (BufferOf(buffer) == nullptr) return {};
  std::lock_guard<std::mutex> lock(buffer->lock_mutex);
  return buffer->locks;
}

bool IsSurfaceBacked(CVPixelBufferRef buffer) {
  return BufferOf(buffer) != nullptr && buffer->surface_backed;
}

Plane GetPlane(CVPixelBufferRef buffer, size_t plane) {
  if (BufferOf(buffer) == nullptr || plane >= static_cast<size_t>(buffer->stored_planes)) return {};
  const auto& geometry = buffer->planes[plane];
  return {buffer->memory + geometry.offset, geometry.width, geometry.height, geometry.bytes_per_row,
          buffer->layout->planes[plane].bytes_per_pixel};
}

}  // namespace platform::corevideo
