#include "usage_log/trassen_flags.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "experiment_flags/marovic.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "experiment_flags/fake_flags_test_util.h"
#include "usage_log/log_local.pb.h"

namespace {

// With nothing in the store, every setting is its default.
TEST(TrassenFlagsTest, DefaultsOfAnEmptyStore) {
  platform::foundation::ScopedTestFolder folder;
  platform::foundation::SetSandboxRoot(folder.path());
  ZQLMarovic::useLocalCachesDirectory();
  auto flags = JQXTrassenFlags::sharedInstance();
  EXPECT_EQ(flags->autoUploadPeriodSeconds(), 900);
  EXPECT_EQ(flags->autoUploadLeewaySeconds(), 300);
  EXPECT_EQ(flags->autoUploadOnForegroundDelaySeconds(), 45);
  EXPECT_EQ(flags->defaultUploadPeriodMilliseconds(), 900000);
  EXPECT_EQ(flags->onForegroundUploadPeriodMilliseconds(), 14400000);
  EXPECT_EQ(flags->unmeteredOrDailyPeriodMilliseconds(), 86400000);
  EXPECT_EQ(flags->marovicUpdatePeriodMilliseconds(), 7200000);
  EXPECT_EQ(flags->directoryConsideredOldPeriodMilliseconds(), 1209600000);
  EXPECT_EQ(flags->logFileAgeCutoffMilliseconds(), 604800000);
  EXPECT_EQ(flags->maxMetaCountersCount(), 200);
  EXPECT_EQ(flags->maxStorageSizeBytes(), 10485760);
  EXPECT_TRUE(flags->shouldLogMetaCounters());
  EXPECT_TRUE(flags->shouldFlushMetaCounters());
  EXPECT_TRUE(flags->shouldLogMetaEvents());
  EXPECT_TRUE(flags->batchUpload());
  EXPECT_FALSE(flags->shouldSampleAllLogSources());
  EXPECT_EQ(flags->collectForDebugUploadIntervalSeconds(), 5u);
  EXPECT_EQ(flags->collectForDebugCheckOnForegroundDelaySeconds(), 10u);
  EXPECT_FALSE(flags->logSamplingRulesEnabled());
  EXPECT_EQ(flags->logSamplingRulesForLogSource(700), nullptr);
  EXPECT_EQ(flags->serverToken(), std::nullopt);
  EXPECT_EQ(flags->marovicPackageName().rfind(std::string(kJQXTrassenFlagsPackagePrefix) + "#", 0),
            0u);
  EXPECT_NE(flags->marovicPackageName(), ZQLMarovicUtil::marovicPackageName());
}

TEST(TrassenFlagsTest, SettingsReadTheFlagsAtEveryCall) {
  auto fake = std::make_shared<FakeMarovicFlags>();
  auto flags = JQXTrassenFlags::initWithMarovicFlags(fake);
  fake->setNumber("auto_upload_period_seconds", ZQLMarovicNumber::Integer(60));
  fake->setNumber("collect_for_debug_check_on_forground_delay_seconds",
                  ZQLMarovicNumber::Integer(3));
  fake->setNumber("sample_all_log_sources", ZQLMarovicNumber::Boolean(true));
  EXPECT_EQ(flags->autoUploadPeriodSeconds(), 60);
  EXPECT_EQ(flags->collectForDebugCheckOnForegroundDelaySeconds(), 3u);
  EXPECT_TRUE(flags->shouldSampleAllLogSources());
  fake->setNumber("auto_upload_period_seconds", ZQLMarovicNumber::Integer(61));
  EXPECT_EQ(flags->autoUploadPeriodSeconds(), 61);
}

TEST(TrassenFlagsTest, SamplingRulesOfALogSource) {
  auto fake = std::make_shared<FakeMarovicFlags>();
  auto flags = JQXTrassenFlags::initWithMarovicFlags(fake);
  LogSamplingRules rules;
  rules.add_rules()->set_keep_denominator(4);
  fake->setData("sampling_rules_for_log_source_700", rules.SerializeAsString());
  fake->setData("sampling_rules_for_log_source_701", "\x0a\x05\x18");  // cut short

  auto first = flags->logSamplingRulesForLogSource(700);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->rules(0).keep_denominator(), 4);
  // One flag per source: the same bytes are parsed once.
  EXPECT_EQ(flags->logSamplingRulesForLogSource(700), first);
  EXPECT_EQ(flags->logSamplingRulesForLogSource(701), nullptr);
  EXPECT_EQ(flags->logSamplingRulesForLogSource(702), nullptr);
}

TEST(QosTierOverridesTest, LaterEntriesWin) {
  platform::foundation::ScopedTestFolder folder;
  auto directory = NSURL::fileURLWithPath(folder.path(), true);
  EXPECT_TRUE(JQXQosTierOverrides::initWithLogDirectory(directory)->overrides().empty());

  JQXUploaderState state;
  std::ofstream(folder.path() + "/state") << state.SerializeAsString();
  EXPECT_TRUE(JQXQosTierOverrides::initWithLogDirectory(directory)->overrides().empty());

  auto* list = state.mutable_qos_tier();
  for (auto [source, tier] : {std::pair{700, 1}, {103, 3}, {700, 2}}) {
    auto* entry = list->add_qos_tier_configuration();
    entry->set_log_source(static_cast<LogRequest_LogSource>(source));
    entry->set_qos_tier(static_cast<QosTierConfiguration::QosTier>(tier));
    entry->set_log_source_name("ignored");
  }
  std::ofstream(folder.path() + "/state", std::ios::trunc) << state.SerializeAsString();
  auto overrides = JQXQosTierOverrides::initWithLogDirectory(directory);
  EXPECT_EQ(overrides->overrideForLogSource(700), 2);
  EXPECT_EQ(overrides->overrideForLogSource(103), 3);
  EXPECT_EQ(overrides->overrideForLogSource(69), std::nullopt);
}

}  // namespace
