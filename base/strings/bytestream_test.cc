#include "base/strings/bytestream.h"

#include <cstring>
#include <memory>
#include <string>

#include "gtest/gtest.h"

namespace {

using strings::ArrayByteSource;
using strings::CheckedArrayByteSink;
using strings::GrowingArrayByteSink;
using strings::LimitByteSource;
using strings::StringByteSink;
using strings::UncheckedArrayByteSink;

TEST(CheckedArrayByteSinkTest, KeepsWhatFitsAndReportsOverflow) {
  char buffer[8] = "-------";
  CheckedArrayByteSink sink(buffer, 4);
  sink.Append("abc", 3);
  EXPECT_FALSE(sink.Overflowed());
  sink.Append("def", 3);
  EXPECT_TRUE(sink.Overflowed());
  EXPECT_EQ(sink.NumberOfBytesWritten(), 4u);
  EXPECT_EQ(std::string(buffer, 7), "abcd---");
  sink.Append("g", 1);
  EXPECT_EQ(std::string(buffer, 7), "abcd---");
}

TEST(CheckedArrayByteSinkTest, LendsItsRoomOnlyWhenItIsEnough) {
  char buffer[6];
  char scratch[16];
  CheckedArrayByteSink sink(buffer, sizeof(buffer));
  size_t size = 0;
  char* room = sink.GetAppendBuffer(4, 100, scratch, sizeof(scratch), &size);
  ASSERT_EQ(room, buffer);
  EXPECT_EQ(size, 6u);
  std::memcpy(room, "wxyz", 4);
  sink.Append(room, 4);  // written in place
  EXPECT_EQ(std::string(buffer, 4), "wxyz");
  EXPECT_EQ(sink.GetAppendBuffer(3, 3, scratch, sizeof(scratch), &size), scratch);
  EXPECT_EQ(size, sizeof(scratch));
}

TEST(UncheckedArrayByteSinkTest, AppendsAndLendsItsDestination) {
  char buffer[16] = {};
  UncheckedArrayByteSink sink(buffer);
  sink.Append("ab", 2);
  char scratch[4];
  size_t size = 0;
  char* room = sink.GetAppendBuffer(2, 9, scratch, sizeof(scratch), &size);
  EXPECT_EQ(room, buffer + 2);
  EXPECT_EQ(size, 9u);
  std::memcpy(room, "cd", 2);
  sink.Append(room, 2);
  sink.Append("e", 1);
  EXPECT_STREQ(buffer, "abcde");
  EXPECT_EQ(sink.CurrentDestination(), buffer + 5);
}

TEST(GrowingArrayByteSinkTest, GrowsByAtLeastHalf) {
  GrowingArrayByteSink sink(10);
  sink.Append("0123456789ab", 12);  // 2 short: max(10 + 2, 10 * 3 / 2) = 15
  char scratch[8];
  size_t room = 0;
  char* next = sink.GetAppendBuffer(1, 1, scratch, sizeof(scratch), &room);
  EXPECT_EQ(room, 3u);
  EXPECT_EQ(next[0], '\0');  // new room is zero-filled

  // Asking for more room than is left grows by the desired amount.
  next = sink.GetAppendBuffer(5, 40, scratch, sizeof(scratch), &room);
  EXPECT_EQ(room, 40u);  // max(15 + 37, 22) - 12
  std::memcpy(next, "cd", 2);
  sink.Append(next, 2);

  size_t n = 0;
  std::unique_ptr<char[]> bytes(sink.GetBuffer(&n));
  EXPECT_EQ(std::string(bytes.get(), n), "0123456789abcd");
  // The sink starts over empty.
  sink.Append("z", 1);
  std::unique_ptr<char[]> again(sink.GetBuffer(&n));
  EXPECT_EQ(std::string(again.get(), n), "z");
}

TEST(GrowingArrayByteSinkTest, GetBufferCutsOnlyLargeMostlyEmptyBuffers) {
  const std::string hundred(100, 'h');
  char scratch[1];
  size_t room = 0;
  for (size_t capacity : {1000u, 200u}) {
    SCOPED_TRACE(capacity);
    GrowingArrayByteSink sink(capacity);
    const char* original = sink.GetAppendBuffer(1, 1, scratch, 1, &room);
    sink.Append(hundred.data(), hundred.size());
    size_t n = 0;
    std::unique_ptr<char[]> bytes(sink.GetBuffer(&n));
    EXPECT_EQ(std::string(bytes.get(), n), hundred);
    // Cut to size means a new allocation of exactly 100 bytes.
    EXPECT_EQ(bytes.get() != original, capacity == 1000u);
  }
}

TEST(StringByteSinkTest, AppendsAndLendsRoomAfterTheEnd) {
  std::string out = "ab";
  StringByteSink sink(&out);
  sink.Append("cd", 2);
  size_t room = 0;
  char scratch[1];
  char* next = sink.GetAppendBuffer(3, 10, scratch, sizeof(scratch), &room);
  EXPECT_EQ(out, "abcd");  // lending does not change the size
  EXPECT_GE(room, 10u);
  EXPECT_EQ(next, out.data() + out.size());
  std::memcpy(next, "efg", 3);
  sink.Append(next, 3);
  EXPECT_EQ(out, "abcdefg");
}

TEST(ByteSinkTest, ExternalMemoryIsCopiedThenReleased) {
  std::string out;
  StringByteSink sink(&out);
  std::string seen_at_release;
  struct Release {
    std::string* out;
    std::string* seen;
  } release{&out, &seen_at_release};
  sink.AppendExternalMemory("data", &release, [](void* arg) {
    auto* r = static_cast<Release*>(arg);
    *r->seen = *r->out;
  });
  EXPECT_EQ(seen_at_release, "data");
  EXPECT_EQ(sink.MinAppendExternalMemoryLength(), SIZE_MAX);
  EXPECT_EQ(sink.GetTypeId(), nullptr);

  strings::NullByteSink null_sink;
  null_sink.Append("ignored", 7);
  char scratch[4];
  size_t room = 0;
  EXPECT_EQ(null_sink.GetAppendBuffer(2, 8, scratch, sizeof(scratch), &room), scratch);
  EXPECT_EQ(room, sizeof(scratch));
}

TEST(ByteSinkDeathTest, AppendBufferPreconditions) {
  char buffer[8];
  char scratch[4];
  size_t room = 0;
  CheckedArrayByteSink sink(buffer, sizeof(buffer));
  EXPECT_DEATH(sink.GetAppendBuffer(0, 1, scratch, sizeof(scratch), &room),
               "Check min_capacity >= 1 failed");
  EXPECT_DEATH(sink.GetAppendBuffer(5, 5, scratch, sizeof(scratch), &room),
               "Check scratch_capacity >= min_capacity failed");
  GrowingArrayByteSink growing(4);
  EXPECT_DEATH(growing.GetAppendBuffer(0, 1, scratch, sizeof(scratch), &room),
               "Check min_capacity >= 1 failed");
}

TEST(ByteSourceTest, CopyToStopsWhenTheSourceRunsDry) {
  ArrayByteSource source("hello");
  std::string out;
  StringByteSink sink(&out);
  source.CopyTo(&sink, 2);
  EXPECT_EQ(out, "he");
  EXPECT_EQ(source.Available(), 3u);
  testing::internal::CaptureStderr();
  source.CopyTo(&sink, 10);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("ByteSource::CopyTo() overran input."), std::string::npos) << log;
  EXPECT_EQ(out, "hello");
  EXPECT_EQ(source.Available(), 0u);
}

TEST(LimitByteSourceTest, NeverReadsPastTheLimit) {
  ArrayByteSource inner("0123456789");
  LimitByteSource limited(&inner, 3);
  EXPECT_EQ(limited.Available(), 3u);
  EXPECT_EQ(limited.Peek(), "012");

  std::string out;
  StringByteSink sink(&out);
  limited.CopyTo(&sink, 2);
  EXPECT_EQ(out, "01");
  EXPECT_EQ(limited.Available(), 1u);

  // Asking for more than the limit copies up to it and reports the overrun.
  testing::internal::CaptureStderr();
  limited.CopyTo(&sink, 5);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("overran input"), std::string::npos);
  EXPECT_EQ(out, "012");
  EXPECT_EQ(limited.Available(), 0u);
  EXPECT_EQ(limited.Peek(), "");
  EXPECT_EQ(inner.Available(), 7u);

  // Skipping past the limit stops at it too.
  ArrayByteSource inner2("abcdef");
  LimitByteSource limited2(&inner2, 2);
  limited2.Skip(5);
  EXPECT_EQ(inner2.Peek(), "cdef");
  EXPECT_EQ(limited2.Available(), 0u);
  // A limit beyond the inner source is bounded by it.
  LimitByteSource wide(&inner2, 100);
  EXPECT_EQ(wide.Available(), 4u);
}

}  // namespace
