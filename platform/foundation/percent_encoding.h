// Percent-encoding of bytes ("%XX", upper-case hex) as URLs and the user-defaults files use it.
// Internal to this folder.
#ifndef PLATFORM_FOUNDATION_PERCENT_ENCODING_H_
#define PLATFORM_FOUNDATION_PERCENT_ENCODING_H_

#include <optional>
#include <string>

namespace platform::foundation::internal {

// The value of a hex digit of either case, or -1.
int HexDigitValue(char c);

// `text` with every byte for which `keep` is false written as "%XX".
std::string PercentEncode(const std::string& text, bool (*keep)(unsigned char));

// `text` with every "%XX" turned back into its byte; none when a "%" is not followed by two hex
// digits.
std::optional<std::string> PercentDecode(const std::string& text);

}  // namespace platform::foundation::internal

#endif  // PLATFORM_FOUNDATION_PERCENT_ENCODING_H_
