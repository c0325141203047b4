#include "usage_base/client_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <thread>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/device.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/ns_locale.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/uikit/ui_accessibility.h"

namespace {

using platform::foundation::ScopedTestFolder;

class ClientInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetMainBundlePath(folder_.path());
    platform::uikit::ResetAccessibilityFeatures();
    platform::foundation::SetCurrentLocaleIdentifier("en_US");
  }
  void TearDown() override {
    platform::foundation::SetMainBundlePath("");
    platform::uikit::ResetAccessibilityFeatures();
    platform::foundation::SetCurrentLocaleIdentifier("en_US");
    platform::foundation::ResetDevice();
  }

  ScopedTestFolder folder_;
};

// The cached fields are gathered at the first call of the process (each test runs in a process
// of its own), so this test sets the bundle and the device before its first call.
TEST_F(ClientInfoTest, CachedFieldsComeFromTheBundleAndTheDevice) {
  platform::foundation::SetInfoDictionary(
      *NSBundle::mainBundle(), {{kCFBundleVersionKey, std::string("77")},
                                {"CFBundleShortVersionString", std::string("1.4")},
                                {kCFBundleIdentifierKey, std::string("com.example.app")}});
  auto device = platform::foundation::CurrentDevice();
  device.systemVersion = "16.4.1";
  platform::foundation::SetDevice(device);

  auto info = JQXClientInfoMaker().makeClientInfo();
  EXPECT_EQ(info->client_type(), ClientInfo::Ios);
  const IosClientInfo& ios = info->ios_client_info();
  EXPECT_EQ(ios.application_build(), "77");
  EXPECT_EQ(ios.application_version(), "1.4");
  EXPECT_EQ(ios.os_full_version(), "16.4.1");
  EXPECT_EQ(ios.os_major_version(), "16");
  EXPECT_EQ(ios.application_build_cl(), 280981321);
  EXPECT_EQ(ios.trassen_version(), 2);
  EXPECT_EQ(ios.application_bundle_id(), "com.example.app");
  struct utsname name;
  ASSERT_EQ(uname(&name), 0);
  EXPECT_EQ(ios.model(), name.machine);
  EXPECT_FALSE(ios.has_client_id());
  EXPECT_FALSE(ios.has_logging_id());
  EXPECT_FALSE(info->has_desktop_client_info());

  // Every call is a message of its own; changes reach neither the cache nor another message.
  auto second = JQXClientInfoMaker().makeClientInfo();
  info->mutable_ios_client_info()->set_model("changed");
  EXPECT_EQ(second->ios_client_info().model(), name.machine);
  EXPECT_EQ(JQXClientInfoMaker::makeClientInfoInternal()->ios_client_info().model(),
            name.machine);
}

// The cached fields are made once per process, so these run in a process of their own.
TEST_F(ClientInfoTest, SystemVersionWithoutPointIsTheMajorVersion) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto device = platform::foundation::CurrentDevice();
        device.systemVersion = "17";
        platform::foundation::SetDevice(device);
        std::string major = JQXClientInfoMaker().makeClientInfo()->ios_client_info().os_major_version();
        std::exit(major == "17" ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ClientInfoTest, CountryAndLanguageFollowEveryCall) {
  JQXClientInfoMaker maker;
  auto info = maker.makeClientInfo();
  EXPECT_EQ(info->ios_client_info().country(), "US");
  EXPECT_EQ(info->ios_client_info().language_code(), "en");  // no localization

  platform::foundation::SetCurrentLocaleIdentifier("de");
  ASSERT_TRUE(NSFileManager::defaultManager()->createDirectoryAtPath(folder_.path() + "/de.lproj",
                                                                     true, {}, nullptr));
  info = maker.makeClientInfo();
  EXPECT_FALSE(info->ios_client_info().has_country());
  EXPECT_EQ(info->ios_client_info().language_code(), "de");
}

TEST_F(ClientInfoTest, AccessibilityStateOnlyWhenAFeatureIsOn) {
  auto ax = JQXUIKitAXUtils::sharedInstance();
  EXPECT_TRUE(ax->isCacheInitialized());  // the main thread fills it
  JQXClientInfoMaker maker;
  EXPECT_FALSE(maker.makeClientInfo()->ios_client_info().has_accessibility_state());

  platform::uikit::SetAccessibilityFeature(UIAccessibilityFeature::kVoiceOver, true);
  auto info = maker.makeClientInfo();
  ASSERT_TRUE(info->ios_client_info().has_accessibility_state());
  IosAccessibilityState only_voice_over;
  only_voice_over.set_voice_over_running(true);
  EXPECT_EQ(info->ios_client_info().accessibility_state().SerializeAsString(),
            only_voice_over.SerializeAsString());
}

// Off the main thread the filled cache answers; a change there reaches the cache through the
// main queue.
TEST_F(ClientInfoTest, AccessibilityCacheOffTheMainThread) {
  auto ax = JQXUIKitAXUtils::sharedInstance();
  ASSERT_TRUE(ax->isCacheInitialized());
  platform::uikit::SetAccessibilityFeature(UIAccessibilityFeature::kGrayscale, true);
  bool off_main = true;
  std::thread([&] { off_main = ax->isGrayscaleEnabled(); }).join();
  EXPECT_TRUE(off_main);

  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  std::thread([&] {
    ax->initializeCache();
    // A change noticed off the main thread is applied there later.
    platform::uikit::SetAccessibilityFeature(UIAccessibilityFeature::kGrayscale, false);
    off_main = ax->isGrayscaleEnabled();
  }).join();
  EXPECT_TRUE(off_main);  // still the cached value
  platform::dispatch::RunUntilIdle();
  std::thread([&] { off_main = ax->isGrayscaleEnabled(); }).join();
  EXPECT_FALSE(off_main);
  ASSERT_EQ(handler->failures().size(), 1u);
  EXPECT_EQ(handler->failures()[0].description,
            "JQXUIKitAXUtils cache can only initialize from main thread.");
}

TEST_F(ClientInfoTest, RegistryCodeFromTheInfoDictionary) {
  ScopedTestFolder other;
  auto bundle = NSBundle::bundleWithPath(other.path());
  EXPECT_EQ(QDLInfoPlistQuendalIDCodeForBundle(*bundle), 0u);
  platform::foundation::SetInfoDictionary(*bundle, {{"QDLQuendalIDCode", std::string("4001")}});
  EXPECT_EQ(QDLInfoPlistQuendalIDCodeForBundle(*bundle), 4001u);
  platform::foundation::SetInfoDictionary(*bundle, {{"QDLQuendalIDCode", 12}});
  EXPECT_EQ(QDLInfoPlistQuendalIDCodeForBundle(*bundle), 12u);
}

TEST(DeviceModelTest, EmptyWhenTheMachineQueryFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto device = platform::foundation::CurrentDevice();
        device.unameFails = true;
        platform::foundation::SetDevice(device);
        std::exit(JQXDeviceModel().empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
