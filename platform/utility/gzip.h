// The utility package's gzip routine: whole buffers in gzip framing (RFC 1952), over zlib.
//
//   std::shared_ptr<NSError> error;
//   auto body = platform::utility::GzipData(request_bytes, &error);   // none on failure
//
// Failures are errors of kGzipErrorDomain whose code is zlib's (Z_MEM_ERROR, Z_DATA_ERROR, ...).
#ifndef PLATFORM_UTILITY_GZIP_H_
#define PLATFORM_UTILITY_GZIP_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/ns_error.h"

namespace platform::utility {

inline constexpr char kGzipErrorDomain[] = "com.quillmere.gzip";

std::optional<std::vector<uint8_t>> GzipData(const std::vector<uint8_t>& data,
                                             std::shared_ptr<NSError>* error);
// The bytes of one gzip stream; none for data that is not whole gzip.
std::optional<std::vector<uint8_t>> GunzipData(const std::vector<uint8_t>& data,
                                               std::shared_ptr<NSError>* error);

}  // namespace platform::utility

#endif  // PLATFORM_UTILITY_GZIP_H_
