// Number parsing and formatting.
//
// Parsers report failure through their result (false, or the caller's default) and
// never throw. The ParseLeading* family reads a number at the start of a text the way
// the C library's strto* functions do (leading whitespace and a sign allowed) and
// returns the caller's default when no number is there. Formatters write plain ASCII.

#ifndef BASE_STRINGS_NUMBERS_H_
#define BASE_STRINGS_NUMBERS_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "absl/numeric/int128.h"
#include "absl/strings/string_view.h"

namespace strings {

// Smallest buffer DoubleToBuffer and FloatToBuffer accept.
inline constexpr int kFastToBufferSize = 32;

// The shortest "%g" text of 15 (float: 6) significant digits that reads back
// to exactly `value`, else the text of 17 (float: 9) digits, which always
// does. 0.1 gives "0.1", 1e100 gives "1e+100".
std::string RoundTripDtoa(double value);
std::string RoundTripFtoa(float value);

// The same texts, written into `buffer` (at least kFastToBufferSize bytes,
// zero-terminated). Return `buffer`.
char* DoubleToBuffer(double value, char* buffer);
char* FloatToBuffer(float value, char* buffer);

// "true" or "false".
inline std::string SimpleBtoa(bool value) { return value ? "true" : "false"; }

// Fingerprints as hex text: 16 (FpToString) or 32 (Uint128ToHexString, high half
// first) lower-case digits, zero-padded.
std::string FpToString(uint64_t fp);
std::string Uint128ToHexString(absl::uint128 value);

// Inverse of FpToString: true only for exactly 16 hex digits (either case).
bool StringToFp(absl::string_view text, uint64_t* fp);
// Sets `*value` to 0, then reads 1 to 32 hex digits as one number; false for any
// other text.
bool HexStringToUint128(absl::string_view text, absl::uint128* value);

// The number at the start of `str`, or `deflt` when there is none. strtod's rules;
// an out-of-range value (errno set) also gives the default.
double ParseLeadingDoubleValue(const char* str, double deflt);

// After leading whitespace, the run of letters and digits decides: "1", "y", "yes",
// "true" are true and "0", "n", "no", "false" false (letters in any case); any other
// word gives `deflt`. "  Yes!" is true, "yess" the default.
bool ParseLeadingBoolValue(const char* str, bool deflt);

// Base 0 (a "0x" prefix reads hex, a leading "0" octal), clamped to the int32 range.
int32_t ParseLeadingInt32Value(const char* str, int32_t deflt);
// Base 0; a value within +-(2^32 - 1) is reduced to 32 bits ("-1" gives 4294967295),
// anything further out gives 4294967295.
uint32_t ParseLeadingUInt32Value(const char* str, uint32_t deflt);
// As the two above, in base 10.
int32_t ParseLeadingDec32Value(const char* str, int32_t deflt);
uint32_t ParseLeadingUDec32Value(const char* str, uint32_t deflt);
// strtoll / strtoull in base 0, 10 or 16.
int64_t ParseLeadingInt64Value(const char* str, int64_t deflt);
uint64_t ParseLeadingUInt64Value(const char* str, uint64_t deflt);
int64_t ParseLeadingDec64Value(const char* str, int64_t deflt);
uint64_t ParseLeadingUDec64Value(const char* str, uint64_t deflt);
uint64_t ParseLeadingHex64Value(const char* str, uint64_t deflt);

// A decimal number with an optional binary-multiple suffix of either case: "4K" is
// 4096, "3m" 3 << 20, then G and T. Any other letter after the digits is a fatal
// error; other trailing characters are ignored.
uint64_t atoi_kmgt(const char* s);

// The short form of a size: "-" for a negative value, then the magnitude truncated to
// the largest unit it holds at least twice (K = 1024 up to T = 2^40). 2047 gives
// "2047", 2048 "2K", -5000 "-4K".
std::string ItoaKMGT(int64_t value);

// Reads a size in `base` (0: chosen by the prefix as C does; 16 also takes "0x").
// Surrounding whitespace and a "+" are allowed, a "-" is not. On overflow stores the
// largest size and fails; at the first character that is not a digit of the base,
// stores the value read so far and fails. `*value` is 0 when nothing was read.
bool safe_strtosize_t_base(absl::string_view text, size_t* value, int base);

// Writes `value` in base 36 (digits 0-9 then a-z) and a terminating zero at `buffer`.
// Returns the number of digits, or 0 when they and the zero do not fit in
// `buf_size`. A zero `buf_size` or a null buffer is a fatal error.
size_t u64tostr_base36(uint64_t value, size_t buf_size, char* buffer);

// Size of the buffer FastTimeToBuffer needs: 29 characters and a zero.
inline constexpr int kFastTimeToBufferSize = 30;
// Writes `seconds` since the epoch (0: now) as an HTTP date in UTC,
// "Sun, 06 Nov 1994 08:49:37 GMT". A time that cannot be converted, or falls in the
// year 10000 or later, is written "Invalid:<seconds>". Returns `buffer`, which must
// hold at least kFastTimeToBufferSize bytes.
char* FastTimeToBuffer(time_t seconds, char* buffer);

// Compares texts the way people order numbered names: digit runs compare by value,
// so "a2" < "a10". With `strict`, runs of equal value are ordered by their leading
// zeros, more zeros first ("a01" < "a1"); without, they are equal. Other bytes
// compare as signed chars; a text that ends first is smaller. Returns -1, 0 or 1.
int AutoDigitStrCmp(absl::string_view a, absl::string_view b, bool strict);
int AutoDigitStrCmpZ(const char* a, const char* b, bool strict);

// True when the first `len` characters of `buf` are all hex digits.
bool HexDigitsPrefix(const char* buf, size_t len);

// Drops the leading zeros of a string of two or more characters that starts with "0",
// keeping at least its last character: "000" becomes "0", "0012" becomes "12".
void ConsumeStrayLeadingZeroes(std::string* str);

}  // namespace strings

#endif  // BASE_STRINGS_NUMBERS_H_
