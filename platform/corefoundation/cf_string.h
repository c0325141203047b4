#ifndef PLATFORM_COREFOUNDATION_CF_STRING_H_
#define PLATFORM_COREFOUNDATION_CF_STRING_H_

// Core Foundation strings, as far as the system uses them: constant strings that name
// dictionary keys, and the text of objects.
//
//   CFDictionarySetValue(d, CFSTR("Width"), number);
//   CFShow(d);   // standard error: {Width = 640}
//
// CFSTR("text") returns an immortal string; every use of the same text returns the same
// object, from any thread. Strings compare by text (CFEqual), so a CFSTR string finds an
// entry stored under a framework's key constant of the same text.

#include <string_view>

#include "platform/corefoundation/object.h"

using CFStringRef = const struct CFStringObject*;
using CFStringEncoding = uint32_t;
inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;

CFTypeID CFStringGetTypeID();
// A new string holding a copy of the NUL-terminated `text` (NULL for NULL text).
CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* text,
                                      CFStringEncoding encoding);
CFIndex CFStringGetLength(CFStringRef string);
// The text, NUL-terminated, for every string here (any encoding argument is accepted).
const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding);

// A new string describing `object`: a string's own text; a number in decimal; "true" or
// "false"; "(a, b)" for arrays and "{key = value; ...}" for dictionaries, in their order;
// "<CFType 0x...: type id N>" for other types.
CFStringRef CFCopyDescription(CFTypeRef object);
// Writes the description of `object` and a newline to standard error ("(null)" for NULL).
void CFShow(CFTypeRef object);

namespace platform::corefoundation {

// The interned string of `text`; what CFSTR expands to.
CFStringRef InternString(std::string_view text);

}  // namespace platform::corefoundation

#define CFSTR(literal) (::platform::corefoundation::InternString("" literal ""))

// A string object. Frameworks define their key constants as constant-initialised immortal
// strings:
//   constinit platform::corefoundation::Immortal<CFStringObject> kKey{"Key"};
//   const CFStringRef kSomeKey = &kKey.value;
// `text` must outlive the object and be NUL-terminated (a literal).
struct CFStringObject : platform::corefoundation::Object {
  constexpr explicit CFStringObject(std::string_view text, bool immortal = true)
      : Object(platform::corefoundation::kStringTypeID, immortal), text(text) {}

  bool Equals(const Object& other) const override;
  CFHashCode Hash() const override;
  std::string Description() const override { return std::string(text); }

  std::string_view text;
};

#endif  // PLATFORM_COREFOUNDATION_CF_STRING_H_
