// CFHolder<T>: owns one retained Core Foundation reference.
//
// The GPU layer keeps pixel buffers, pools, texture caches and images in holders so that every
// retain is balanced by exactly one release:
//
//   CFHolder<CVPixelBufferRef> buffer;
//   CVPixelBufferRef raw = nullptr;
//   if (CVPixelBufferCreate(kCFAllocatorDefault, w, h, format, attrs, &raw) == kCVReturnSuccess) {
//     buffer = MakeCFHolderAdopting(raw);   // takes over the +1 of the create call
//   }
//   CFHolder<CVPixelBufferRef> copy = buffer;  // retains again
//
// Copying retains, moving transfers, destroying releases. `reset` retains the new reference
// before it releases the old one, so resetting to the reference already held is safe.
#ifndef GPU_CF_HOLDER_H_
#define GPU_CF_HOLDER_H_

#include <utility>

#include "platform/corefoundation/object.h"

template <typename T>
class CFHolder {
 public:
  CFHolder() = default;
  // Retains `ref` when it is not null.
  explicit CFHolder(T ref) : ref_(ref) {
    if (ref_ != nullptr) CFRetain(ref_);
  }
  CFHolder(const CFHolder& other) : CFHolder(other.ref_) {}
  CFHolder(CFHolder&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  CFHolder& operator=(const CFHolder& other) {
    reset(other.ref_);
    return *this;
  }
  CFHolder& operator=(CFHolder&& other) noexcept {
    if (this != &other) {
      T old = std::exchange(ref_, std::exchange(other.ref_, nullptr));
      if (old != nullptr) CFRelease(old);
    }
    return *this;
  }
  ~CFHolder() {
    if (ref_ != nullptr) CFRelease(ref_);
  }

  // Holds `ref` (retained when not null) in place of the previous reference.
  void reset(T ref = nullptr) {
    if (ref != nullptr) CFRetain(ref);
    T old = std::exchange(ref_, ref);
    if (old != nullptr) CFRelease(old);
  }

  // The held reference; its count is not changed.
  T get() const { return ref_; }
  T operator*() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }
  // Whether the holder holds `ref` (lets std::find search a list of holders for a reference).
  friend bool operator==(const CFHolder& holder, T ref) { return holder.ref_ == ref; }

  // Takes over a reference the caller owns (no retain); used by MakeCFHolderAdopting.
  static CFHolder Adopting(T ref) {
    CFHolder holder;
    holder.ref_ = ref;
    return holder;
  }

 private:
  T ref_ = nullptr;
};

// A holder that takes over `ref`, which the caller already owns (typically the +1 of a Create
// call): no extra retain, and the holder's release balances the caller's ownership.
template <typename T>
CFHolder<T> MakeCFHolderAdopting(T ref) {
  return CFHolder<T>::Adopting(ref);
}

#endif  // GPU_CF_HOLDER_H_
