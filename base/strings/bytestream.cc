#include "base/strings/bytestream.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/raw_logging.h"

namespace strings {
namespace {

void CheckAppendBufferArguments(size_t min_capacity, size_t scratch_capacity) {
  RAW_CHECK(min_capacity >= 1, "");
  RAW_CHECK(scratch_capacity >= min_capacity, "");
}

// Copies unless the writer produced the bytes in place already.
void CopyUnlessInPlace(char* dest, const char* bytes, size_t n) {
  if (dest != bytes && n > 0) std::memcpy(dest, bytes, n);
}

}  // namespace

void ByteSink::AppendExternalMemory(absl::string_view data, void* deleter_arg,
                                    void (*deleter)(void*)) {
  Append(data.data(), data.size());
  deleter(deleter_arg);
}

size_t ByteSink::MinAppendExternalMemoryLength() { return std::numeric_limits<size_t>::max(); }

char* ByteSink::GetAppendBuffer(size_t min_capacity, size_t /*desired_capacity_hint*/,
                                char* scratch, size_t scratch_capacity,
                                size_t* allocated_size) {
  CheckAppendBufferArguments(min_capacity, scratch_capacity);
  *allocated_size = scratch_capacity;
  return scratch;
}

void ByteSource::CopyTo(ByteSink* sink, size_t n) {
  while (n > 0) {
    const absl::string_view piece = Peek();
    if (piece.empty()) {
      RAW_LOG(ERROR, "ByteSource::CopyTo() overran input.");
      return;
    }
    const size_t take = std::min(piece.size(), n);
    sink->Append(piece.data(), take);
    Skip(take);
    n -= take;
  }
}

void UncheckedArrayByteSink::Append(const char* bytes, size_t n) {
  CopyUnlessInPlace(dest_, bytes, n);
  dest_ += n;
}

char* UncheckedArrayByteSink::GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint,
                                              char* /*scratch*/, size_t scratch_capacity,
                                              size_t* allocated_size) {
  CheckAppendBufferArguments(min_capacity, scratch_capacity);
  *allocated_size = std::max(min_capacity, desired_capacity_hint);
  return dest_;
}

void CheckedArrayByteSink::Append(const char* bytes, size_t n) {
  const size_t fits = std::min(n, capacity_ - size_);
  if (fits < n) overflowed_ = true;
  CopyUnlessInPlace(outbuf_ + size_, bytes, fits);
  size_ += fits;
}

char* CheckedArrayByteSink::GetAppendBuffer(size_t min_capacity,
                                            size_t /*desired_capacity_hint*/, char* scratch,
                                            size_t scratch_capacity, size_t* allocated_size) {
  CheckAppendBufferArguments(min_capacity, scratch_capacity);
  const size_t room = capacity_ - size_;
  if (room >= min_capacity) {
    *allocated_size = room;
    return outbuf_ + size_;
  }
  *allocated_size = scratch_capacity;
  return scratch;
}

GrowingArrayByteSink::GrowingArrayByteSink(size_t estimated_size)
    : capacity_(estimated_size), buf_(new char[estimated_size]()) {}

void GrowingArrayByteSink::Append(const char* bytes, size_t n) {
  const size_t room = capacity_ - size_;
  if (n > room) Expand(n - room);
  CopyUnlessInPlace(buf_.get() + size_, bytes, n);
  size_ += n;
}

char* GrowingArrayByteSink::GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint,
                                            char* /*scratch*/, size_t scratch_capacity,
                                            size_t* allocated_size) {
  CheckAppendBufferArguments(min_capacity, scratch_capacity);
  const size_t room = capacity_ - size_;
  if (room < min_capacity) Expand(std::max(min_capacity, desired_capacity_hint) - room);
  *allocated_size = capacity_ - size_;
  return buf_.get() + size_;
}

char* GrowingArrayByteSink::GetBuffer(size_t* nbytes) {
  ShrinkToFit();
  *nbytes = size_;
  capacity_ = 0;
  size_ = 0;
  return buf_.release();
}

void GrowingArrayByteSink::Expand(size_t amount) {
  const size_t new_capacity = std::max(capacity_ + amount, capacity_ * 3 / 2);
  std::unique_ptr<char[]> bigger(new char[new_capacity]());
  if (size_ > 0) std::memcpy(bigger.get(), buf_.get(), size_);
  buf_ = std::move(bigger);
  capacity_ = new_capacity;
}

void GrowingArrayByteSink::ShrinkToFit() {
  if (capacity_ <= 256 || size_ >= capacity_ * 3 / 4) return;
  std::unique_ptr<char[]> exact(new char[size_]);
  if (size_ > 0) std::memcpy(exact.get(), buf_.get(), size_);
  buf_ = std::move(exact);
  capacity_ = size_;
}

void StringByteSink::Append(const char* bytes, size_t n) {
  if (n == 0) return;
  if (bytes == dest_->data() + dest_->size()) {
    // Written into the room GetAppendBuffer lent; growing the string in place would
    // fill that room with zeros first, so take the bytes out before appending them.
    const std::string written(bytes, n);
    dest_->append(written);
    return;
  }
  dest_->append(bytes, n);
}

char* StringByteSink::GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint,
                                      char* /*scratch*/, size_t /*scratch_capacity*/,
                                      size_t* allocated_size) {
  dest_->reserve(dest_->size() + std::max(min_capacity, desired_capacity_hint));
  *allocated_size = dest_->capacity() - dest_->size();
  return dest_->data() + dest_->size();
}

void ArrayByteSource::Skip(size_t n) { input_.remove_prefix(std::min(n, input_.size())); }

size_t LimitByteSource::Available() const { return std::min(source_->Available(), limit_); }

absl::string_view LimitByteSource::Peek() {
  const absl::string_view piece = source_->Peek();
  return piece.substr(0, std::min(piece.size(), limit_));
}

void LimitByteSource::Skip(size_t n) {
  n = std::min(n, limit_);
  source_->Skip(n);
  limit_ -= n;
}

void LimitByteSource::CopyTo(ByteSink* sink, size_t n) {
  if (n > limit_) {
    // Copy piece by piece through this source, which stops at the limit.
    ByteSource::CopyTo(sink, n);
    return;
  }
  source_->CopyTo(sink, n);
  limit_ -= n;
}

}  // namespace strings
