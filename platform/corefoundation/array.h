#ifndef PLATFORM_COREFOUNDATION_ARRAY_H_
#define PLATFORM_COREFOUNDATION_ARRAY_H_

// Immutable Core Foundation arrays of Core Foundation objects (the list of pixel-format
// descriptions is one).
//
//   const void* items[] = {a, b};
//   CFArrayRef list = CFArrayCreate(kCFAllocatorDefault, items, 2, &kCFTypeArrayCallBacks);
//   CFArrayGetValueAtIndex(list, 1);   // b, not retained for the caller
//
// The array retains its items until it goes. As with dictionaries only the Core Foundation
// callbacks exist: NULL is treated as kCFTypeArrayCallBacks. An index outside the array is a
// failed CHECK. Thread-safe (immutable).

#include "platform/corefoundation/object.h"

using CFArrayRef = const struct CFArrayObject*;

struct CFArrayCallBacks {
  CFIndex version;
};
extern const CFArrayCallBacks kCFTypeArrayCallBacks;

CFTypeID CFArrayGetTypeID();
// `count` non-NULL items.
CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex count,
                         const CFArrayCallBacks* callbacks);
CFIndex CFArrayGetCount(CFArrayRef array);
const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index);

#endif  // PLATFORM_COREFOUNDATION_ARRAY_H_
