// Escaping text for other readers: CSV fields, C string literals, quoted-printable
// and RFC 2047 Q-encoded mail text, file names and shell words, and line endings.
//
// Functions report failure through their result (-1, false, or an emptied output)
// and never throw. Binary-to-text encodings (Base64, Base32, hex) are in encodings.h.

#ifndef BASE_STRINGS_ESCAPING_H_
#define BASE_STRINGS_ESCAPING_H_

#include <string>

#include "absl/strings/string_view.h"

namespace strings {

// Copies the zero-terminated `src` into `dest` with every double quote doubled, and
// a terminating zero. Returns the length written without the zero, or -1 when the
// text and its zero do not fit in `dest_len` bytes.
int EscapeStrForCSV(const char* src, char* dest, int dest_len);

// Appends the C-escaped form of `src` (as absl::CEscape writes it) to `*dest`.
void CEscapeAndAppend(absl::string_view src, std::string* dest);

// Unescapes C escape sequences as absl::CUnescape does, except that a sequence whose
// value is 0 ("\0", "\x00", "\u0000", ...) is copied as it stands, so the result
// never holds a zero byte and can be used as a C string. On a malformed escape
// returns false and, when `error` is not null, stores Abseil's description there.
// The buffer form needs room for `source.size()` bytes and sets `*dest_len`.
bool CUnescapeForNullTerminatedString(absl::string_view source, char* dest, int* dest_len,
                                      std::string* error);
bool CUnescapeForNullTerminatedString(absl::string_view source, std::string* dest,
                                      std::string* error);

// Quoted-printable decoding (RFC 2045): "=XX" gives byte XX and "=" before a line end
// is a soft break; any other "=" is dropped. Stops at a zero byte.
// "a=3Db=\r\nc" gives "a=bc".
std::string QuotedPrintableUnescape(absl::string_view src);

// Q-encoding decoding (RFC 2047 encoded words): as quoted-printable, but "_" is a
// blank and "=" before a lone line feed is not a soft break. "a_b=41" gives "a bA".
std::string QEncodingUnescape(absl::string_view src);

// Appends `src` to `*dst` with "/" as "~", the characters "-._0-9A-Za-z" as they are
// and every other byte as "%XX". UnescapeFileName appends the reverse; a "%" without
// two characters after it is copied.
void EscapeFileName(absl::string_view src, std::string* dst);
void UnescapeFileName(absl::string_view src, std::string* dst);

// Quotes `src` as one word for a POSIX shell: unchanged when it is not empty and
// holds only [A-Za-z0-9+-_.=/:,@]; else in single quotes when it holds none; else in
// double quotes with \ before every ", $, \ and `.
std::string ShellEscape(absl::string_view src);

// Turns "\r\n" and lone "\r" into "\n". With `auto_end_last_line`, a text that is not
// empty and does not end in "\n" gets one. The copying form appends the cleaned
// `src` to `*dst`.
void CleanStringLineEndings(std::string* str, bool auto_end_last_line);
void CleanStringLineEndings(const std::string& src, std::string* dst, bool auto_end_last_line);

}  // namespace strings

#endif  // BASE_STRINGS_ESCAPING_H_
