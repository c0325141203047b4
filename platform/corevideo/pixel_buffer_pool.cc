#include "platform/corevideo/pixel_buffer_pool.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "platform/corefoundation/number.h"
#include "platform/corevideo/failure_injection.h"
#include "platform/corevideo/pixel_buffer_internal.h"

using platform::corefoundation::Immortal;
using platform::corefoundation::Object;

namespace {

constinit Immortal<CFStringObject> minimum_count_key{"MinimumBufferCount"};
constinit Immortal<CFStringObject> maximum_age_key{"MaximumBufferAge"};
constinit Immortal<CFStringObject> threshold_key{"AllocationThreshold"};

constexpr double kDefaultMaximumAge = 1.0;

struct Clock {
  std::mutex mutex;
  std::shared_ptr<const std::function<double()>> now;  // empty: the steady clock
};

Clock& GetClock() {
  static Clock* clock = new Clock;
  return *clock;
}

double Now() {
  std::shared_ptr<const std::function<double()>> now;
  {
    Clock& clock = GetClock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    now = clock.now;
  }
  if (now != nullptr) return (*now)();
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The number under `key` as a 64-bit integer; false when absent or not a whole number.
bool GetInteger(CFDictionaryRef dictionary, CFStringRef key, int64_t* value) {
  const void* number = dictionary != nullptr ? CFDictionaryGetValue(dictionary, key) : nullptr;
  return number != nullptr && CFGetTypeID(number) == CFNumberGetTypeID() &&
         CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt64Type, value);
}

void Destroy(const std::vector<CVPixelBufferObject*>& buffers) {
  for (CVPixelBufferObject* buffer : buffers) delete buffer;
}

}  // namespace

const CFStringRef kCVPixelBufferPoolMinimumBufferCountKey = &minimum_count_key.value;
const CFStringRef kCVPixelBufferPoolMaximumBufferAgeKey = &maximum_age_key.value;
const CFStringRef kCVPixelBufferPoolAllocationThresholdKey = &threshold_key.value;

namespace platform::corevideo::internal {

// The state of a pool that its buffers share: it outlives the pool object for as long as
// buffers of the pool are in use.
class PoolCore : public std::enable_shared_from_this<PoolCore> {
 public:
  PoolCore(const BufferSpec& spec, int minimum, double maximum_age)
      : spec_(spec), minimum_(minimum), maximum_age_(maximum_age) {}

  CVReturn Request(int64_t threshold, CVPixelBufferRef* out) {
    std::vector<CVPixelBufferObject*> doomed;
    CVReturn result = kCVReturnSuccess;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      AgeOut(Now(), /*excess=*/false, &doomed);
      if (!free_.empty()) {
        CVPixelBufferObject* buffer = free_.back().first;
        free_.pop_back();
        {
          std::lock_guard<std::mutex> buffer_lock(buffer->lock_mutex);
          buffer->locks = {};
        }
        buffer->Reuse();
        ++in_use_;
        *out = buffer;
      } else if (threshold > 0 && in_use_ >= threshold) {
        result = kCVReturnWouldExceedAllocationThreshold;
      } else if (CVPixelBufferObject* buffer = AllocateBuffer(spec_)) {
        buffer->pool = shared_from_this();
        ++in_use_;
        *out = buffer;
      } else {
        result = kCVReturnAllocationFailed;
      }
    }
    Destroy(doomed);
    return result;
  }

  // Takes back a buffer of this pool whose count reached zero. Destroying a buffer may drop
  // the last reference to this core, so nothing touches the core after Destroy.
  void Return(CVPixelBufferObject* buffer) {
    std::vector<CVPixelBufferObject*> doomed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --in_use_;
      if (open_) {
        double now = Now();
        free_.emplace_back(buffer, now);
        AgeOut(now, /*excess=*/false, &doomed);
      } else {
        doomed.push_back(buffer);
      }
    }
    Destroy(doomed);
  }

  void Flush(bool excess) {
    std::vector<CVPixelBufferObject*> doomed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      AgeOut(Now(), excess, &doomed);
    }
    Destroy(doomed);
  }

  // The pool object is going: free buffers go now, buffers in use when they return.
  void Close() {
    std::vector<CVPixelBufferObject*> doomed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = false;
      for (auto& entry : free_) doomed.push_back(entry.first);
      free_.clear();
    }
    Destroy(doomed);
  }

  PoolCounts Counts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return {static_cast<int>(free_.size()), in_use_};
  }

 private:
  // Moves free buffers beyond the minimum count that are too old (or, with `excess`, all of
  // them) to `doomed`, oldest first.
  void AgeOut(double now, bool excess, std::vector<CVPixelBufferObject*>* doomed) {
    while (free_.size() > static_cast<size_t>(minimum_)) {
      bool aged = maximum_age_ > 0 && now - free_.front().second > maximum_age_;
      if (!aged && !excess) break;
      doomed->push_back(free_.front().first);
      free_.pop_front();
    }
  }

  const BufferSpec spec_;
  const int minimum_;
  const double maximum_age_;  // 0: no ageing

  std::mutex mutex_;
  // Free buffers with the time they came back, oldest first.
  std::deque<std::pair<CVPixelBufferObject*, double>> free_;
  int in_use_ = 0;
  bool open_ = true;
};

void ReturnToPool(PoolCore& pool, CVPixelBufferObject* buffer) { pool.Return(buffer); }

}  // namespace platform::corevideo::internal

struct CVPixelBufferPoolObject final : Object {
  CVPixelBufferPoolObject(std::shared_ptr<platform::corevideo::internal::PoolCore> core,
                          CFDictionaryRef pool_attributes, CFDictionaryRef pixel_buffer_attributes)
      : Object(CVPixelBufferPoolGetTypeID()),
        core(std::move(core)),
        pool_attributes(pool_attributes),
        pixel_buffer_attributes(pixel_buffer_attributes) {
    if (pool_attributes != nullptr) CFRetain(pool_attributes);
    CFRetain(pixel_buffer_attributes);
  }
  ~CVPixelBufferPoolObject() override {
    core->Close();
    if (pool_attributes != nullptr) CFRelease(pool_attributes);
    CFRelease(pixel_buffer_attributes);
  }

  const std::shared_ptr<platform::corevideo::internal::PoolCore> core;
  const CFDictionaryRef pool_attributes;
  const CFDictionaryRef pixel_buffer_attributes;
};

namespace {

CVPixelBufferPoolObject* PoolOf(CVPixelBufferPoolRef pool) {
  if (pool == nullptr) return nullptr;
  CHECK(Object::FromRef(pool)->type_id() == CVPixelBufferPoolGetTypeID()) << "not a CVPixelBufferPool";
  return pool;
}

}  // namespace

CFTypeID CVPixelBufferPoolGetTypeID() {
  static const CFTypeID type_id = platform::corefoundation::RegisterTypeID();
  return type_id;
}

CVReturn CVPixelBufferPoolCreate(CFAllocatorRef allocator, CFDictionaryRef pool_attributes,
                                 CFDictionaryRef pixel_buffer_attributes, CVPixelBufferPoolRef* out) {
  using namespace platform::corevideo;
  if (out == nullptr) return kCVReturnInvalidArgument;

  int64_t format, width, height;
  if (!GetInteger(pixel_buffer_attributes, kCVPixelBufferPixelFormatTypeKey, &format) ||
      !GetInteger(pixel_buffer_attributes, kCVPixelBufferWidthKey, &width) ||
      !GetInteger(pixel_buffer_attributes, kCVPixelBufferHeightKey, &height)) {
    return kCVReturnInvalidPixelBufferAttributes;
  }
  // A code stored as a signed 32-bit number reads back negative from the high bit on.
  if (format < 0 && format >= std::numeric_limits<int32_t>::min()) format += int64_t{1} << 32;
  if (format < 0 || format > std::numeric_limits<OSType>::max()) return kCVReturnInvalidPixelBufferAttributes;
  if (width < 1 || height < 1) return kCVReturnInvalidSize;
  internal::BufferSpec spec{static_cast<size_t>(width), static_cast<size_t>(height),
                            static_cast<OSType>(format)};
  CVReturn err = internal::ValidateBufferSpec(spec);
  if (err == kCVReturnSuccess) err = internal::ReadBufferAttributes(pixel_buffer_attributes, &spec);
  if (err != kCVReturnSuccess) return err;

  int64_t minimum = 0;
  double maximum_age = kDefaultMaximumAge;
  if (pool_attributes != nullptr) {
    if (CFDictionaryContainsKey(pool_attributes, kCVPixelBufferPoolMinimumBufferCountKey) &&
        (!GetInteger(pool_attributes, kCVPixelBufferPoolMinimumBufferCountKey, &minimum) || minimum < 0 ||
         minimum > std::numeric_limits<int>::max())) {
      return kCVReturnInvalidPoolAttributes;
    }
    const void* age = CFDictionaryGetValue(pool_attributes, kCVPixelBufferPoolMaximumBufferAgeKey);
    if (age != nullptr) {
      if (CFGetTypeID(age) != CFNumberGetTypeID()) return kCVReturnInvalidPoolAttributes;
      CFNumberGetValue(static_cast<CFNumberRef>(age), kCFNumberDoubleType, &maximum_age);
      if (!(maximum_age >= 0)) return kCVReturnInvalidPoolAttributes;
    }
  }

  err = TakeInjectedFailure(Operation::kCreatePool);
  if (err != kCVReturnSuccess) return err;
  auto core = std::make_shared<internal::PoolCore>(spec, static_cast<int>(minimum), maximum_age);
  *out = new CVPixelBufferPoolObject(std::move(core), pool_attributes, pixel_buffer_attributes);
  return kCVReturnSuccess;
}

CVPixelBufferPoolRef CVPixelBufferPoolRetain(CVPixelBufferPoolRef pool) {
  if (PoolOf(pool) != nullptr) pool->Retain();
  return pool;
}

void CVPixelBufferPoolRelease(CVPixelBufferPoolRef pool) {
  if (PoolOf(pool) != nullptr) pool->Release();
}

CVReturn CVPixelBufferPoolCreatePixelBuffer(CFAllocatorRef allocator, CVPixelBufferPoolRef pool,
                                            CVPixelBufferRef* out) {
  return CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(allocator, pool, nullptr, out);
}

CVReturn CVPixelBufferPoolCreatePixelBufferWithAuxAttributes(CFAllocatorRef allocator,
                                                             CVPixelBufferPoolRef pool,
                                                             CFDictionaryRef auxiliary_attributes,
                                                             CVPixelBufferRef* out) {
  using namespace platform::corevideo;
  if (PoolOf(pool) == nullptr || out == nullptr) return kCVReturnInvalidArgument;
  int64_t threshold = 0;
  GetInteger(auxiliary_attributes, kCVPixelBufferPoolAllocationThresholdKey, &threshold);
  CVReturn err = TakeInjectedFailure(Operation::kCreatePixelBuffer);
  if (err != kCVReturnSuccess) return err;
  return pool->core->Request(threshold, out);
}

void CVPixelBufferPoolFlush(CVPixelBufferPoolRef pool, CVPixelBufferPoolFlushFlags options) {
  if (PoolOf(pool) == nullptr) return;
  pool->core->Flush((options & kCVPixelBufferPoolFlushExcessBuffers) != 0);
}

CFDictionaryRef CVPixelBufferPoolGetAttributes(CVPixelBufferPoolRef pool) {
  return PoolOf(pool) != nullptr ? pool->pool_attributes : nullptr;
}

CFDictionaryRef CVPixelBufferPoolGetPixelBufferAttributes(CVPixelBufferPoolRef pool) {
  return PoolOf(pool) != nullptr ? pool->pixel_buffer_attributes : nullptr;
}

namespace platform::corevideo {

void SetPoolClock(std::function<double()> now_seconds) {
  Clock& clock = GetClock();
  std::lock_guard<std::mutex> lock(clock.mutex);
  clock.now = now_seconds ? std::make_shared<const std::function<double()>>(std::move(now_seconds))
                          : nullptr;
}

PoolCounts GetPoolCounts(CVPixelBufferPoolRef pool) {
  return PoolOf(pool) != nullptr ? pool->core->Counts() : PoolCounts{};
}

}  // namespace platform::corevideo
