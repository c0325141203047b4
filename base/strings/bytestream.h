// Moving bytes without committing to a container.
//
// A ByteSink is something bytes are appended to; a ByteSource is something bytes are
// read from in contiguous pieces. Code written against the two works over arrays,
// growing buffers and strings alike:
//
//   strings::ArrayByteSource source(data);
//   std::string out;
//   strings::StringByteSink sink(&out);
//   source.CopyTo(&sink, source.Available());
//
// A sink may lend the writer its own memory through GetAppendBuffer, so that bytes are
// produced in place; the writer then passes that same pointer to Append, which only
// accounts for the bytes. Broken preconditions are fatal.

#ifndef BASE_STRINGS_BYTESTREAM_H_
#define BASE_STRINGS_BYTESTREAM_H_

#include <cstddef>
#include <memory>
#include <string>

#include "absl/strings/string_view.h"

namespace strings {

class ByteSink {
 public:
  ByteSink() = default;
  ByteSink(const ByteSink&) = delete;
  ByteSink& operator=(const ByteSink&) = delete;
  virtual ~ByteSink() = default;

  // Appends `n` bytes. `bytes` may be the buffer GetAppendBuffer returned.
  virtual void Append(const char* bytes, size_t n) = 0;

  // Appends `data`, then calls `deleter(deleter_arg)`: the memory is never kept.
  virtual void AppendExternalMemory(absl::string_view data, void* deleter_arg,
                                    void (*deleter)(void*));
  // Smallest piece worth handing over as external memory: never.
  virtual size_t MinAppendExternalMemoryLength();

  // A buffer of at least `min_capacity` bytes to write the next bytes into, with its
  // size in `*allocated_size`. This default hands back `scratch`, which must hold at
  // least `min_capacity` (at least 1) bytes.
  virtual char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint,
                                char* scratch, size_t scratch_capacity,
                                size_t* allocated_size);

  // Pushes buffered bytes on; nothing to do here.
  virtual void Flush() {}

  // Identifies the implementation for callers that special-case one; none here.
  virtual const void* GetTypeId() const { return nullptr; }
};

class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;

  // Bytes left.
  virtual size_t Available() const = 0;
  // The next contiguous piece; empty only when nothing is left.
  virtual absl::string_view Peek() = 0;
  // Drops `n` bytes, at most Available().
  virtual void Skip(size_t n) = 0;
  // Appends the next `n` bytes to `sink` and skips them. A source that runs dry first
  // logs an ERROR and stops; what was copied stays in the sink.
  virtual void CopyTo(ByteSink* sink, size_t n);
};

// Writes to caller memory without bounds: the caller guarantees the room.
class UncheckedArrayByteSink : public ByteSink {
 public:
  explicit UncheckedArrayByteSink(char* dest) : dest_(dest) {}

  void Append(const char* bytes, size_t n) override;
  char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint, char* scratch,
                        size_t scratch_capacity, size_t* allocated_size) override;

  // Where the next byte goes.
  char* CurrentDestination() const { return dest_; }

 private:
  char* dest_;
};

// Writes to caller memory of a fixed capacity: bytes beyond it are dropped and
// recorded as an overflow.
class CheckedArrayByteSink : public ByteSink {
 public:
  CheckedArrayByteSink(char* outbuf, size_t capacity)
      : outbuf_(outbuf), capacity_(capacity) {}

  void Append(const char* bytes, size_t n) override;
  char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint, char* scratch,
                        size_t scratch_capacity, size_t* allocated_size) override;

  size_t NumberOfBytesWritten() const { return size_; }
  // True once some appended byte did not fit.
  bool Overflowed() const { return overflowed_; }

 private:
  char* outbuf_;
  size_t capacity_;
  size_t size_ = 0;
  bool overflowed_ = false;
};

// Writes to a heap array that grows by at least half each time it is short.
class GrowingArrayByteSink : public ByteSink {
 public:
  // Starts with a zero-filled buffer of `estimated_size` bytes.
  explicit GrowingArrayByteSink(size_t estimated_size);

  void Append(const char* bytes, size_t n) override;
  char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint, char* scratch,
                        size_t scratch_capacity, size_t* allocated_size) override;

  // Hands over the bytes written (the caller frees them with delete[]) and their
  // number, and leaves the sink empty. A buffer much larger than its contents is
  // first cut to size.
  char* GetBuffer(size_t* nbytes);

 private:
  void Expand(size_t amount);
  void ShrinkToFit();

  size_t capacity_;
  std::unique_ptr<char[]> buf_;
  size_t size_ = 0;
};

// Appends to a caller-owned string.
class StringByteSink : public ByteSink {
 public:
  explicit StringByteSink(std::string* dest) : dest_(dest) {}

  void Append(const char* bytes, size_t n) override;
  // Reserves room after the string's end without changing its size and lends it.
  char* GetAppendBuffer(size_t min_capacity, size_t desired_capacity_hint, char* scratch,
                        size_t scratch_capacity, size_t* allocated_size) override;

 private:
  std::string* dest_;
};

// Discards everything.
class NullByteSink : public ByteSink {
 public:
  void Append(const char*, size_t) override {}
};

// Reads from caller memory.
class ArrayByteSource : public ByteSource {
 public:
  explicit ArrayByteSource(absl::string_view s) : input_(s) {}

  size_t Available() const override { return input_.size(); }
  absl::string_view Peek() override { return input_; }
  void Skip(size_t n) override;

 private:
  absl::string_view input_;
};

// Reads at most `limit` bytes of another source.
class LimitByteSource : public ByteSource {
 public:
  LimitByteSource(ByteSource* source, size_t limit) : source_(source), limit_(limit) {}

  size_t Available() const override;
  absl::string_view Peek() override;
  // Skipping or copying never passes the limit: a larger count stops at it (CopyTo
  // then logs that it overran its input).
  void Skip(size_t n) override;
  void CopyTo(ByteSink* sink, size_t n) override;

 private:
  ByteSource* source_;
  size_t limit_;
};

}  // namespace strings

#endif  // BASE_STRINGS_BYTESTREAM_H_
