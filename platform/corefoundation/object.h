#ifndef PLATFORM_COREFOUNDATION_OBJECT_H_
#define PLATFORM_COREFOUNDATION_OBJECT_H_

// Core Foundation objects: reference-counted values behind untyped references.
//
//   CFMutableDictionaryRef d = CFDictionaryCreateMutable(kCFAllocatorDefault, 0,
//       &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);  // count 1
//   CFRetain(d);                 // count 2, safe from any thread
//   CFRelease(d); CFRelease(d);  // the last release destroys it
//
// Every Create/Copy function returns a reference the caller owns (+1); Get functions return
// references the caller does not own. Counts are atomic, so retain and release may race
// freely; everything else about an object is as thread-safe as its own header says.
//
// Misuse that the platform punishes with a crash is a failed CHECK here: retaining or
// releasing NULL, releasing an object whose count is already zero, and handing a pointer
// that is not a Core Foundation object to these functions (objects carry a tag that is
// checked on every retain and release).
//
// Constants (kCFBooleanTrue, CFSTR strings, the attribute keys) are immortal: retain and
// release leave them alone and CFGetRetainCount reports kImmortalRetainCount.
//
// Other stand-ins define their own object types by deriving from
// platform::corefoundation::Object (below) with a type id from RegisterTypeID().

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

using Boolean = unsigned char;
using CFIndex = long;
using CFTypeID = unsigned long;
using CFHashCode = unsigned long;
using OSType = uint32_t;
using CFTypeRef = const void*;

// Allocators are accepted everywhere the platform takes one and ignored: all memory comes
// from the C++ heap. Pass kCFAllocatorDefault (NULL).
using CFAllocatorRef = const struct CFAllocatorObject*;
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

// Adds one reference and returns `object`.
CFTypeRef CFRetain(CFTypeRef object);
// Drops one reference; the last one destroys the object.
void CFRelease(CFTypeRef object);
// The current count (a snapshot when other threads retain and release concurrently).
CFIndex CFGetRetainCount(CFTypeRef object);
CFTypeID CFGetTypeID(CFTypeRef object);
// Value equality for strings, numbers and booleans (a number equals another number of the
// same value, whatever their types); identity for every other type. NULL equals nothing.
Boolean CFEqual(CFTypeRef a, CFTypeRef b);
// Consistent with CFEqual.
CFHashCode CFHash(CFTypeRef object);
// CFCopyDescription and CFShow (the text of an object) are in cf_string.h.

namespace platform::corefoundation {

inline constexpr CFIndex kImmortalRetainCount = 0x7fffffff;

// Hands out a new type id for a stand-in's own object type; thread-safe.
CFTypeID RegisterTypeID();

// Fixed type ids of the types defined in this folder.
enum : CFTypeID {
  kDictionaryTypeID = 1,
  kNumberTypeID = 2,
  kBooleanTypeID = 3,
  kStringTypeID = 4,
  kArrayTypeID = 5,
};

// Base of every Core Foundation object. A derived type passes its type id, overrides Equals
// and Hash when it has value semantics, and may override LastRelease to take over an object
// whose count has just reached zero (a pool keeping its buffers) instead of deleting it.
class Object {
 public:
  // A new object with count 1, or an immortal one (constants, which may then be constant-
  // initialised globals).
  constexpr explicit Object(CFTypeID type_id, bool immortal = false)
      : tag_(kTag), type_id_(type_id), count_(immortal ? kImmortalRetainCount : 1) {}
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  CFTypeID type_id() const { return type_id_; }
  bool immortal() const { return count_.load(std::memory_order_relaxed) == kImmortalRetainCount; }

  virtual bool Equals(const Object& other) const { return this == &other; }
  virtual CFHashCode Hash() const;
  // The text of CFCopyDescription; by default "<CFType 0x...: type id N>".
  virtual std::string Description() const;

  // The object behind a reference; CHECK-fails when `ref` is NULL or not a live object.
  static Object* FromRef(CFTypeRef ref);

  void Retain();
  void Release();
  CFIndex retain_count() const { return count_.load(std::memory_order_acquire); }

 protected:
  virtual ~Object();
  // Called once the count has dropped to zero, on the releasing thread. The default deletes
  // the object. An override that keeps the object alive brings it back with Revive().
  virtual void LastRelease();
  // Sets the count of an object that LastRelease kept back to 1. The caller must make sure
  // no other thread can see the object yet (for example by handing it out under a mutex).
  void Revive() { count_.store(1, std::memory_order_release); }

 private:
  static constexpr uint32_t kTag = 0x43464f42;  // "CFOB"

  uint32_t tag_;
  CFTypeID type_id_;
  std::atomic<CFIndex> count_;
};

// Storage for a constant object that is never destroyed, not even at exit, so that other
// static destructors may still use it:
//   constinit Immortal<StringObject> kName{"Name"};   // &kName.value is the object
template <typename T>
union Immortal {
  template <typename... Args>
  constexpr explicit Immortal(Args&&... args) : value(std::forward<Args>(args)...) {}
  ~Immortal() {}
  T value;
};

}  // namespace platform::corefoundation

#endif  // PLATFORM_COREFOUNDATION_OBJECT_H_
