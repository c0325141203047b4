#include "platform/uikit/view_coding.h"

#include <memory>
#include <string>

#include "gtest/gtest.h"

namespace {

// A stand-in for an archived view: what a coder initialiser reads back.
class ArchivedFrame : public NSSecureCoding {
 public:
  static std::string className() { return "ArchivedFrame"; }
  static std::shared_ptr<ArchivedFrame> initWithCoder(NSCoder* coder) {
    auto frame = platform::uikit::DecodeViewFrame(coder);
    if (!frame.has_value()) return nullptr;
    auto archived = std::make_shared<ArchivedFrame>();
    archived->frame = *frame;
    return archived;
  }
  void encodeWithCoder(NSCoder* coder) const override {
    platform::uikit::EncodeViewFrame(coder, frame);
  }
  std::string classForCoder() const override { return className(); }
  CGRect frame = CGRectZero;
};

TEST(ViewCoding, FrameRoundTripsAndFailedCodersMakeNoView) {
  auto original = std::make_shared<ArchivedFrame>();
  original->frame = CGRectMake(1, 2, 320, 640);
  std::shared_ptr<NSError> error;
  auto data = NSKeyedArchiver::archivedDataWithRootObject(original, true, &error);
  ASSERT_TRUE(data.has_value());
  auto back = NSKeyedUnarchiver::unarchivedObjectOfClass<ArchivedFrame>(*data, &error);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->frame, original->frame);

  NSKeyedUnarchiver empty(true);
  EXPECT_EQ(platform::uikit::DecodeViewFrame(&empty), CGRectZero);
  EXPECT_FALSE(platform::uikit::DecodeViewFrame(nullptr).has_value());
  NSKeyedUnarchiver failed(true);
  failed.failWithError(NSError::errorWithDomain(NSCocoaErrorDomain, NSCoderReadCorruptError));
  EXPECT_FALSE(platform::uikit::DecodeViewFrame(&failed).has_value());
}

}  // namespace
