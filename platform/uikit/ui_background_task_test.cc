#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/foundation/ns_locale.h"
#include "platform/foundation/ns_notification_center.h"
#include "platform/uikit/ui_accessibility.h"
#include "platform/uikit/ui_application.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(BackgroundTaskTest, BeginEndRefuseAndExpire) {
  auto app = UIApplication::sharedApplication();
  UIBackgroundTaskIdentifier a = app->beginBackgroundTaskWithName("a", nullptr);
  UIBackgroundTaskIdentifier b = 0;
  b = app->beginBackgroundTaskWithName("b", [&] { app->endBackgroundTask(b); });
  EXPECT_NE(a, UIBackgroundTaskInvalid);
  EXPECT_NE(a, b);
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), ElementsAre("a", "b"));
  platform::uikit::ExpireBackgroundTasks();
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), ElementsAre("a"));
  app->endBackgroundTask(a);
  app->endBackgroundTask(a);
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), IsEmpty());

  platform::uikit::SetRefusesBackgroundTasks(true);
  EXPECT_EQ(app->beginBackgroundTaskWithName("c", nullptr), UIBackgroundTaskInvalid);
  platform::uikit::SetRefusesBackgroundTasks(false);
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), IsEmpty());
}

TEST(ApplicationStateTest, MovesPostTheirNotifications) {
  auto center = NSNotificationCenter::defaultCenter();
  std::vector<std::string> seen;
  std::vector<std::shared_ptr<NSNotificationObserverToken>> tokens;
  for (const char* name :
       {UIApplicationDidEnterBackgroundNotification, UIApplicationWillEnterForegroundNotification,
        UIApplicationWillTerminateNotification, UIAccessibilityBoldTextStatusDidChangeNotification}) {
    tokens.push_back(center->addObserverForName(
        name, nullptr, [&seen](const std::shared_ptr<NSNotification>& n) {
          seen.push_back(n->name());
        }));
  }
  platform::uikit::MoveApplicationToState(UIApplicationStateBackground);
  platform::uikit::MoveApplicationToState(UIApplicationStateBackground);
  platform::uikit::MoveApplicationToState(UIApplicationStateActive);
  platform::uikit::TerminateApplication();
  platform::uikit::SetAccessibilityFeature(UIAccessibilityFeature::kBoldText, true);
  EXPECT_TRUE(UIAccessibilityIsBoldTextEnabled());
  EXPECT_FALSE(UIAccessibilityIsVoiceOverRunning());
  platform::uikit::ResetAccessibilityFeatures();
  EXPECT_FALSE(UIAccessibilityIsBoldTextEnabled());
  for (const auto& token : tokens) center->removeObserver(token);
  EXPECT_THAT(seen, ElementsAre(UIApplicationDidEnterBackgroundNotification,
                                UIApplicationWillEnterForegroundNotification,
                                UIApplicationWillTerminateNotification,
                                UIAccessibilityBoldTextStatusDidChangeNotification));
}

TEST(LocaleTest, CountryCodeIsTheRegion) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"de_CH", "CH"}, {"en-US", "US"}, {"zh_Hans_CN", "CN"}, {"es_419", "419"},
      {"en", std::nullopt}, {"sr_Latn", std::nullopt}, {"fr_FR@calendar=x", "FR"}};
  for (const auto& [id, country] : cases) {
    EXPECT_EQ(NSLocale(id).countryCode(), country) << id;
  }
  platform::foundation::SetCurrentLocaleIdentifier("it_IT");
  EXPECT_EQ(NSLocale::currentLocale()->countryCode(), "IT");
  platform::foundation::SetCurrentLocaleIdentifier("en_US");
}

}  // namespace
