#include "platform/utility/format.h"

#include <cinttypes>
#include <cstdio>

namespace platform::utility {

std::string AddressText(const void* address) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(address));
  return text;
}

std::string FormatArgument::description() const {
  switch (kind_) {
    case Kind::kObject:
      return has_text_ ? text_ : "(null)";
    case Kind::kSigned:
      return std::to_string(signedValue());
    case Kind::kUnsigned:
      return std::to_string(unsignedValue());
    case Kind::kPointer:
      return AddressText(reinterpret_cast<const void*>(static_cast<uintptr_t>(integer_)));
  }
  return std::string();
}

namespace {

enum class Conversion { kNone, kObject, kSigned, kUnsigned, kPointer };

// The conversion at `format[at]` (just after '%'), and its length through `length`.
Conversion ParseConversion(std::string_view format, size_t at, size_t* length) {
  std::string_view rest = format.substr(at);
  if (rest.starts_with("@")) {
    *length = 1;
    return Conversion::kObject;
  }
  if (rest.starts_with("p")) {
    *length = 1;
    return Conversion::kPointer;
  }
  size_t modifier = 0;
  if (rest.starts_with("ll")) {
    modifier = 2;
  } else if (rest.starts_with("l")) {
    modifier = 1;
  } else if (rest.starts_with("t")) {
    modifier = 1;
  }
  if (modifier >= rest.size()) return Conversion::kNone;
  char type = rest[modifier];
  bool size_only = rest[0] == 't';
  *length = modifier + 1;
  if ((type == 'd' || type == 'i') && !size_only) return Conversion::kSigned;
  if (type == 'u' && modifier > 0) return Conversion::kUnsigned;
  return Conversion::kNone;
}

std::string Convert(Conversion conversion, const FormatArgument& argument) {
  using Kind = FormatArgument::Kind;
  bool integer = argument.kind() == Kind::kSigned || argument.kind() == Kind::kUnsigned;
  switch (conversion) {
    case Conversion::kSigned:
      if (integer) return std::to_string(argument.signedValue());
      break;
    case Conversion::kUnsigned:
      if (integer) return std::to_string(argument.unsignedValue());
      break;
    case Conversion::kPointer:
      if (argument.kind() == Kind::kPointer) return argument.description();
      break;
    default:
      break;
  }
  return argument.description();
}

}  // namespace

std::string StringWithFormat(std::string_view format, const FormatArguments& arguments) {
  std::string text;
  text.reserve(format.size());
  size_t next_argument = 0;
  size_t i = 0;
  while (i < format.size()) {
    size_t percent = format.find('%', i);
    if (percent == std::string_view::npos) {
      text.append(format.substr(i));
      break;
    }
    text.append(format.substr(i, percent - i));
    if (percent + 1 < format.size() && format[percent + 1] == '%') {
      text.push_back('%');
      i = percent + 2;
      continue;
    }
    size_t length = 0;
    Conversion conversion = ParseConversion(format, percent + 1, &length);
    if (conversion == Conversion::kNone) {
      text.push_back('%');
      i = percent + 1;
      continue;
    }
    if (next_argument < arguments.size()) {
      text.append(Convert(conversion, arguments[next_argument++]));
    } else {
      text.append(format.substr(percent, length + 1));
    }
    i = percent + 1 + length;
  }
  return text;
}

}  // namespace platform::utility
