// Binary data as text: Base64 (web-safe alphabet), Base32 and Base32-hex (RFC 4648),
// hexadecimal and binary digit strings.
//
// Hex output is lower case, two digits per byte; hex input is read in either case.
// The raw hex converters (a2b_hex, the Base32 group converters) do not validate: a
// character that is not a digit counts as 0. Functions that validate say so and report
// failure through their result.

#ifndef BASE_STRINGS_ENCODINGS_H_
#define BASE_STRINGS_ENCODINGS_H_

#include <cstddef>
#include <string>

#include "absl/strings/string_view.h"

namespace strings {

// Length of the Base64 text of `input_len` bytes, at most 2147483647.
int CalculateBase64EscapedLen(int input_len, bool do_padding);
int CalculateBase64EscapedLen(int input_len);

// Replaces `*dest` with the Base64 text of `src` in the URL- and file-name-safe
// alphabet ("-" and "_" for 62 and 63), padded with "=". A negative length gives an
// empty text.
void WebSafeBase64EscapeWithPadding(const unsigned char* src, int szsrc, std::string* dest);

// Base32 (alphabet A-Z2-7) and Base32-hex (0-9A-V) with "=" padding. The buffer
// forms return the number of characters written, or 0 when the input is empty or
// `dest` cannot hold the text (CalculateBase32EscapedLen bytes). No zero is added.
int Base32Escape(const unsigned char* src, size_t szsrc, char* dest, size_t szdest);
int Base32HexEscape(const unsigned char* src, size_t szsrc, char* dest, size_t szdest);
bool Base32Escape(const std::string& src, std::string* dest);
bool Base32HexEscape(const std::string& src, std::string* dest);

// Decoding reads groups of 8 characters in either case ("=" pads a short last
// group); any other character fails. The number of bytes a group yields follows from
// where its padding starts. The buffer form returns the number of bytes written, or
// -1 on a bad character or when they do not fit in `szdest`; the string forms empty
// `*dest` and return false on failure.
int Base32Unescape(const char* src, int slen, char* dest, int szdest);
bool Base32Unescape(const char* src, int slen, std::string* dest);
bool Base32HexUnescape(const std::string& src, std::string* dest);

// Base32 text length of `len` bytes: 8 per started group of 5 bytes.
size_t CalculateBase32EscapedLen(size_t len);

// One Base32 group each way (no padding handling; decoding does not validate).
void FiveBytesToEightBase32Digits(const unsigned char* in, char* out);
void EightBase32DigitsToFiveBytes(const char* in, unsigned char* out);
// Ten hex digits to one Base32 group and back, through the five bytes they spell.
void TenHexDigitsToEightBase32Digits(const char* in, char* out);
void EightBase32DigitsToTenHexDigits(const char* in, char* out);

// Two hex digits per byte for `num` bytes. The string forms replace the string.
void b2a_hex(const unsigned char* from, char* to, size_t num);
void b2a_hex(const unsigned char* from, std::string* result, size_t num);
std::string b2a_hex(const char* from, size_t num);

// Reads 2 * `num` hex digits into `num` bytes (not validated).
void a2b_hex(const char* from, unsigned char* to, size_t num);
void a2b_hex(const char* from, std::string* to, size_t num);

// Replaces `*out` with the hex of the first min(bytes.size(), bytes_to_read) bytes. A
// negative `bytes_to_read` is a fatal error.
void ByteStringToAscii(absl::string_view bytes, int bytes_to_read, std::string* out);
// Replaces `*bytes` with the bytes the hex text spells. Fails on an odd length (with
// `*bytes` empty) or at the first pair that is not two hex digits (keeping the bytes
// decoded before it).
bool ByteStringFromAscii(absl::string_view hex, std::string* bytes);

// Binary digits, eight per byte, most or least significant bit first. a2b_bin sets a
// bit for every character other than "0" and reads no further than a zero character;
// its result has (length + 7) / 8 bytes.
std::string a2b_bin(absl::string_view bits, bool msb_first);
std::string b2a_bin(absl::string_view bytes, bool msb_first);

}  // namespace strings

#endif  // BASE_STRINGS_ENCODINGS_H_
