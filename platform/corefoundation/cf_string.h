#ifndef PLATFORM_COREFOUNDATION_CF_STRING_H_
#define PLATFORM_COREFOUNDATION_CF_STRING_H_

// Core Foundation strings, as far as the system uses them: constant strings that name
// dictionary keys.
//
//   CFDictionarySetValue(d, CFSTR("Width"), number);
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
CFIndex CFStringGetLength(CFStringRef string);
// The text, NUL-terminated, for every string here (any encoding argument is accepted).
const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding);

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
struct CFStringObject final : platform::corefoundation::Object {
  constexpr explicit CFStringObject(std::string_view text)
      : Object(platform::corefoundation::kStringTypeID, /*immortal=*/true), text(text) {}

  bool Equals(const Object& other) const override;
  CFHashCode Hash() const override;

  std::string_view text;
};

#endif  // PLATFORM_COREFOUNDATION_CF_STRING_H_
