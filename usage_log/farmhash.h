// FarmHash's 64-bit fingerprint: a hash of a byte string that never changes between releases,
// machines or runs, so values computed on one device match those computed anywhere else.
//
//   util::Fingerprint64("hello", 5);   // 0xb48be5a931380ce8
#ifndef USAGE_LOG_FARMHASH_H_
#define USAGE_LOG_FARMHASH_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace util {

uint64_t Fingerprint64(const char* s, size_t len);
inline uint64_t Fingerprint64(std::string_view s) { return Fingerprint64(s.data(), s.size()); }

}  // namespace util

#endif  // USAGE_LOG_FARMHASH_H_
