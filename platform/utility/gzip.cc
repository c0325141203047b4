#include "platform/utility/gzip.h"

#include <zlib.h>

#include <climits>

namespace platform::utility {
namespace {

constexpr int kGzipWindowBits = 15 + 16;  // the largest window, gzip framing

std::optional<std::vector<uint8_t>> Fail(int code, std::shared_ptr<NSError>* error) {
  if (error != nullptr) *error = NSError::errorWithDomain(kGzipErrorDomain, code);
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<uint8_t>> GzipData(const std::vector<uint8_t>& data,
                                             std::shared_ptr<NSError>* error) {
  if (data.size() > UINT_MAX) return Fail(Z_BUF_ERROR, error);
  z_stream stream{};
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8,
                            Z_DEFAULT_STRATEGY);
  if (status != Z_OK) return Fail(status, error);
  std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(data.size())));
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  status = deflate(&stream, Z_FINISH);
  const size_t written = stream.total_out;
  deflateEnd(&stream);
  if (status != Z_STREAM_END) return Fail(status, error);
  out.resize(written);
  return out;
}

std::optional<std::vector<uint8_t>> GunzipData(const std::vector<uint8_t>& data,
                                               std::shared_ptr<NSError>* error) {
  if (data.size() > UINT_MAX) return Fail(Z_BUF_ERROR, error);
  z_stream stream{};
  int status = inflateInit2(&stream, kGzipWindowBits);
  if (status != Z_OK) return Fail(status, error);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  std::vector<uint8_t> out;
  uint8_t chunk[16384];
  do {
    stream.next_out = chunk;
    stream.avail_out = sizeof(chunk);
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) break;
    out.insert(out.end(), chunk, chunk + (sizeof(chunk) - stream.avail_out));
  } while (status != Z_STREAM_END && (stream.avail_in > 0 || stream.avail_out == 0));
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return Fail(status == Z_OK ? Z_DATA_ERROR : status, error);
  return out;
}

}  // namespace platform::utility
