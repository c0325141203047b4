#ifndef PLATFORM_COREFOUNDATION_NUMBER_H_
#define PLATFORM_COREFOUNDATION_NUMBER_H_

// Core Foundation numbers and booleans, the values of attribute dictionaries.
//
//   int32_t width = 640;
//   CFNumberRef n = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &width);
//   int64_t wide;
//   CFNumberGetValue(n, kCFNumberSInt64Type, &wide);   // true: 640 fits
//   CFRelease(n);
//
// A number keeps an integer (up to 64 bits) or a floating-point value (up to double), and
// remembers the type it was made with. CFNumberGetValue converts to the asked type and
// returns false when the conversion loses anything (a fraction, a value out of range), after
// storing the converted value as the platform does. Numbers are immutable and thread-safe.

#include "platform/corefoundation/object.h"

using CFNumberRef = const struct CFNumberObject*;
using CFBooleanRef = const struct CFBooleanObject*;

enum CFNumberType : CFIndex {
  kCFNumberSInt8Type = 1,
  kCFNumberSInt16Type = 2,
  kCFNumberSInt32Type = 3,
  kCFNumberSInt64Type = 4,
  kCFNumberFloat32Type = 5,
  kCFNumberFloat64Type = 6,
  kCFNumberCharType = 7,
  kCFNumberShortType = 8,
  kCFNumberIntType = 9,
  kCFNumberLongType = 10,
  kCFNumberLongLongType = 11,
  kCFNumberFloatType = 12,
  kCFNumberDoubleType = 13,
  kCFNumberCFIndexType = 14,
};

CFTypeID CFNumberGetTypeID();
// NULL when `type` is not one of the types above or `value` is NULL.
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType type, const void* value);
CFNumberType CFNumberGetType(CFNumberRef number);
Boolean CFNumberIsFloatType(CFNumberRef number);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* value);

CFTypeID CFBooleanGetTypeID();
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
Boolean CFBooleanGetValue(CFBooleanRef boolean);

#endif  // PLATFORM_COREFOUNDATION_NUMBER_H_
