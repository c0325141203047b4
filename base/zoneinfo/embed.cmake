# cmake -DINPUT=<compiled zone> -DOUTPUT=<.cc> -P embed.cmake
# Writes the compiled zone as a byte array with its length and MD5 digest.
file(READ ${INPUT} bytes HEX)
string(LENGTH "${bytes}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," array "${bytes}")
file(MD5 ${INPUT} md5)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," digest "${md5}")
file(WRITE ${OUTPUT}
"// Generated at build time from base/zoneinfo/america_los_angeles.zi; do not edit.
#include <cstddef>
#include <cstdint>

namespace brenvikdata_third_party_tz {
namespace internal {
extern const unsigned char kLosAngelesZone[] = {
    ${array}};
extern const uint64_t kLosAngelesZoneSize = ${size};
extern const unsigned char kLosAngelesZoneMd5[16] = {${digest}};
}  // namespace internal
}  // namespace brenvikdata_third_party_tz
")
