#ifndef PLATFORM_COREFOUNDATION_DICTIONARY_H_
#define PLATFORM_COREFOUNDATION_DICTIONARY_H_

// Core Foundation dictionaries: small maps from Core Foundation keys to Core Foundation
// values, used for attribute dictionaries.
//
//   CFMutableDictionaryRef attrs = CFDictionaryCreateMutable(kCFAllocatorDefault, 0,
//       &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
//   CFDictionarySetValue(attrs, kCVPixelBufferWidthKey, width_number);
//   CFNumberRef w = (CFNumberRef)CFDictionaryGetValue(attrs, kCVPixelBufferWidthKey);
//   CFRelease(attrs);
//
// Keys and values are retained while they are in the dictionary and released when replaced
// or when the dictionary goes. Entries keep the order in which their keys were first added. Keys are found by CFEqual, so any string of the same text
// finds an entry. Only the Core Foundation callbacks exist here: NULL callback pointers are
// treated as kCFTypeDictionaryKeyCallBacks / kCFTypeDictionaryValueCallBacks. Lookups are a
// linear scan: attribute dictionaries hold a handful of entries.
//
// Threads: any number of threads may read a dictionary that nobody changes; changing a
// mutable dictionary while another thread uses it is a race, as on the platform. Changing a
// dictionary made immutable (CFDictionaryCreate) is a failed CHECK.

#include "platform/corefoundation/object.h"

using CFDictionaryRef = const struct CFDictionaryObject*;
using CFMutableDictionaryRef = struct CFDictionaryObject*;

struct CFDictionaryKeyCallBacks {
  CFIndex version;
};
struct CFDictionaryValueCallBacks {
  CFIndex version;
};
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

CFTypeID CFDictionaryGetTypeID();

// An immutable dictionary of `count` entries (a later key replaces an equal earlier one).
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys,
                                   const void** values, CFIndex count,
                                   const CFDictionaryKeyCallBacks* key_callbacks,
                                   const CFDictionaryValueCallBacks* value_callbacks);
// An empty mutable dictionary; `capacity` is a hint (0: no limit).
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* key_callbacks,
                                                 const CFDictionaryValueCallBacks* value_callbacks);

CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary);
// The value of `key` (not retained for the caller), or NULL.
const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key);
Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef dictionary, const void* key,
                                      const void** value);
Boolean CFDictionaryContainsKey(CFDictionaryRef dictionary, const void* key);
// Copies the keys and values, in the dictionary's order, into arrays of its count (either
// may be NULL).
void CFDictionaryGetKeysAndValues(CFDictionaryRef dictionary, const void** keys, const void** values);
// Adds the entry or replaces the value of an equal key; key and value must not be NULL.
void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value);

#endif  // PLATFORM_COREFOUNDATION_DICTIONARY_H_
