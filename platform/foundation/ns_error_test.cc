#include "platform/foundation/ns_error.h"

#include "gtest/gtest.h"

namespace {

TEST(NSErrorTest, DescriptionFromUserInfoOrDomainAndCode) {
  auto plain = NSError::errorWithDomain("QVXAugmentedFaceSession", -1);
  EXPECT_EQ(plain->domain(), "QVXAugmentedFaceSession");
  EXPECT_EQ(plain->code(), -1);
  EXPECT_TRUE(plain->userInfo().empty());
  EXPECT_EQ(plain->localizedDescription(),
            "The operation couldn\u2019t be completed. (QVXAugmentedFaceSession error -1.)");
  EXPECT_EQ(plain->description(),
            "Error Domain=QVXAugmentedFaceSession Code=-1 \"The operation couldn\u2019t be "
            "completed. (QVXAugmentedFaceSession error -1.)\"");

  auto described = NSError::errorWithDomain(
      NSURLErrorDomain, NSURLErrorNotConnectedToInternet,
      {{NSLocalizedDescriptionKey, std::string("offline")}, {"count", 3}});
  EXPECT_EQ(described->localizedDescription(), "offline");
  EXPECT_EQ(described->description(),
            "Error Domain=NSURLErrorDomain Code=-1009 \"offline\" UserInfo={NSLocalizedDescription, "
            "count}");
  // A description key of another type does not count as text.
  EXPECT_EQ(NSError::errorWithDomain("d", 1, {{NSLocalizedDescriptionKey, 7}})
                ->localizedDescription(),
            "The operation couldn\u2019t be completed. (d error 1.)");
}

TEST(NSErrorTest, TypedUserInfoAndUnderlyingError) {
  auto cause = NSError::errorWithDomain(NSPOSIXErrorDomain, 2);
  auto error = NSError::errorWithDomain(NSCocoaErrorDomain, NSFileNoSuchFileError,
                                        {{NSUnderlyingErrorKey, cause},
                                         {NSFilePathErrorKey, std::string("/x")}});
  EXPECT_EQ(error->underlyingError(), cause);
  ASSERT_NE(error->userInfoValue<std::string>(NSFilePathErrorKey), nullptr);
  EXPECT_EQ(*error->userInfoValue<std::string>(NSFilePathErrorKey), "/x");
  EXPECT_EQ(error->userInfoValue<int>(NSFilePathErrorKey), nullptr);
  EXPECT_EQ(error->userInfoValue<int>("missing"), nullptr);
  EXPECT_EQ(cause->underlyingError(), nullptr);
}

TEST(NSErrorTest, FailureReasonAndRecoverySuggestionWhenGiven) {
  auto error = NSError::errorWithDomain(
      "d", 1, {{NSLocalizedFailureReasonErrorKey, std::string("no camera")},
               {NSLocalizedRecoverySuggestionErrorKey, std::string("use another device")}});
  EXPECT_EQ(error->localizedFailureReason(), "no camera");
  EXPECT_EQ(error->localizedRecoverySuggestion(), "use another device");
  auto bare = NSError::errorWithDomain("d", 1);
  EXPECT_EQ(bare->localizedFailureReason(), std::nullopt);
  EXPECT_EQ(bare->localizedRecoverySuggestion(), std::nullopt);
}

TEST(NSErrorTest, AssignFillsOnlyRequestedOutParameters) {
  NSErrorAssign(nullptr, NSError::errorWithDomain("d", 1));
  std::shared_ptr<NSError> out;
  NSErrorAssign(&out, NSError::errorWithDomain("d", 2));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->code(), 2);
}

}  // namespace
