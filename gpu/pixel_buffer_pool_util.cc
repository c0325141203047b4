#include "gpu/pixel_buffer_pool_util.h"

#include <vector>

#include "gpu/cf_holder.h"
#include "platform/corefoundation/number.h"

namespace pellumo {
namespace {

CFHolder<CFNumberRef> Int32Number(int32_t value) {
  return MakeCFHolderAdopting(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value));
}

CFHolder<CFDictionaryRef> EmptyDictionary() {
  return MakeCFHolderAdopting(CFDictionaryCreate(kCFAllocatorDefault, nullptr, nullptr, 0,
                                                 &kCFTypeDictionaryKeyCallBacks,
                                                 &kCFTypeDictionaryValueCallBacks));
}

CFHolder<CFMutableDictionaryRef> MutableDictionary() {
  return MakeCFHolderAdopting(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

// The attributes every buffer of the GPU layer is made with: usable by GL, surface-backed.
CFHolder<CFMutableDictionaryRef> GlCompatibleAttributes() {
  CFHolder<CFMutableDictionaryRef> attributes = MutableDictionary();
  CFDictionarySetValue(*attributes, kCVPixelFormatOpenGLESCompatibility, kCFBooleanTrue);
  CFDictionarySetValue(*attributes, kCVPixelBufferIOSurfacePropertiesKey, *EmptyDictionary());
  return attributes;
}

}  // namespace

CVPixelBufferPoolRef CreateCVPixelBufferPool(int width, int height, OSType pixel_format,
                                             int keep_count, double max_age) {
  CFHolder<CFMutableDictionaryRef> buffer_attributes = MutableDictionary();
  // The code as an unsigned 32-bit value; a 64-bit number holds it without a sign change.
  const int64_t format_value = pixel_format;
  CFHolder<CFNumberRef> format_number = MakeCFHolderAdopting(
      CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &format_value));
  CFDictionarySetValue(*buffer_attributes, kCVPixelBufferPixelFormatTypeKey, *format_number);
  CFDictionarySetValue(*buffer_attributes, kCVPixelBufferWidthKey, *Int32Number(width));
  CFDictionarySetValue(*buffer_attributes, kCVPixelBufferHeightKey, *Int32Number(height));
  CFDictionarySetValue(*buffer_attributes, kCVPixelFormatOpenGLESCompatibility, kCFBooleanTrue);
  CFDictionarySetValue(*buffer_attributes, kCVPixelBufferIOSurfacePropertiesKey, *EmptyDictionary());

  CFHolder<CFMutableDictionaryRef> pool_attributes = MutableDictionary();
  CFDictionarySetValue(*pool_attributes, kCVPixelBufferPoolMinimumBufferCountKey,
                       *Int32Number(keep_count));
  if (max_age > 0) {
    CFHolder<CFNumberRef> age = MakeCFHolderAdopting(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &max_age));
    CFDictionarySetValue(*pool_attributes, kCVPixelBufferPoolMaximumBufferAgeKey, *age);
  }

  CVPixelBufferPoolRef pool = nullptr;
  CVPixelBufferPoolCreate(kCFAllocatorDefault, *pool_attributes, *buffer_attributes, &pool);
  return pool;
}

CVReturn PreallocateCVPixelBufferPoolBuffers(CVPixelBufferPoolRef pool, int count,
                                             CFDictionaryRef auxiliary_attributes) {
  std::vector<CFHolder<CVPixelBufferRef>> buffers;
  CVReturn err = kCVReturnSuccess;
  for (int i = 0; i < count; ++i) {
    CVPixelBufferRef buffer = nullptr;
    err = CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(kCFAllocatorDefault, pool,
                                                              auxiliary_attributes, &buffer);
    if (err != kCVReturnSuccess) break;
    buffers.push_back(MakeCFHolderAdopting(buffer));
  }
  return err;  // `buffers` goes now, all back into the pool
}

CFDictionaryRef CreateCVPixelBufferPoolAuxiliaryAttributesForThreshold(int allocation_threshold) {
  if (allocation_threshold < 1) return nullptr;
  const void* keys[] = {kCVPixelBufferPoolAllocationThresholdKey};
  CFHolder<CFNumberRef> threshold = Int32Number(allocation_threshold);
  const void* values[] = {*threshold};
  return CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                            &kCFTypeDictionaryValueCallBacks);
}

CVReturn CreateCVPixelBufferWithPool(CVPixelBufferPoolRef pool, CFDictionaryRef auxiliary_attributes,
                                     const std::function<void()>& flush, CVPixelBufferRef* out) {
  CVReturn err = CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(kCFAllocatorDefault, pool,
                                                                     auxiliary_attributes, out);
  if (err != kCVReturnWouldExceedAllocationThreshold) return err;
  if (flush) {
    // Textures of a texture cache may be what keeps the pool's buffers in use.
    flush();
    err = CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(kCFAllocatorDefault, pool,
                                                              auxiliary_attributes, out);
    if (err != kCVReturnWouldExceedAllocationThreshold) return err;
  }
  // Past the threshold: let the pool grow.
  return CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(kCFAllocatorDefault, pool, nullptr,
                                                             out);
}

CVReturn CreateCVPixelBufferWithPool(CVPixelBufferPoolRef pool, CFDictionaryRef auxiliary_attributes,
                                     CVOpenGLESTextureCacheRef cache, CVPixelBufferRef* out) {
  return CreateCVPixelBufferWithPool(
      pool, auxiliary_attributes, [cache] { CVOpenGLESTextureCacheFlush(cache, 0); }, out);
}

CVReturn CreateCVPixelBufferWithoutPool(int width, int height, OSType pixel_format,
                                        CVPixelBufferRef* out) {
  return CVPixelBufferCreate(kCFAllocatorDefault, width, height, pixel_format,
                             *GlCompatibleAttributes(), out);
}

}  // namespace pellumo
