#include "usage_log/meta_logger.h"

#include <fstream>
#include <map>
#include <optional>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/device.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/uikit/ui_application.h"
#include "platform/utility/base_logger.h"
#include "experiment_flags/fake_flags_test_util.h"
#include "usage_base/manual_clock_test_util.h"
#include "usage_log/log_writer.h"

namespace {

using platform::foundation::ScopedTestFolder;
using Buckets = std::map<int64_t, int64_t>;

// Every bucket of the counter `name` in the logged sets of `dimension` (none: no dimension).
Buckets LoggedBuckets(const JQXFakeTrassenLogger& logger, const std::string& name,
                      const std::optional<std::string>& dimension = std::nullopt) {
  Buckets buckets;
  const uint64_t hash = JQXTrassenCountersNRWMetricHashForString(name);
  for (const auto& event : logger.logEvents()) {
    auto set = std::static_pointer_cast<const ZVKCCounters>(event->extension());
    if (set->has_dimensions_instance() != dimension.has_value()) continue;
    if (dimension.has_value() && set->dimensions_instance() != *dimension) continue;
    for (const auto& counter : set->counter()) {
      if (counter.hashed_name() != hash) continue;
      for (const auto& bucket : counter.bucket()) buckets[bucket.key()] += bucket.count();
    }
  }
  return buckets;
}

JQXLogContext Context(int64_t logSource, std::optional<int32_t> tier = std::nullopt) {
  JQXLogContext context;
  context.set_log_source(static_cast<LogRequest_LogSource>(logSource));
  if (tier.has_value()) context.set_qos_tier(*tier);
  return context;
}

std::string DimensionBytes(const JQXLogContext& context) {
  return JQXTrassenMetaLogger::dimensionsOfContext(context)->SerializeAsString();
}

class MetaLoggerTest : public ::testing::Test {
 protected:
  std::shared_ptr<JQXLogFile> File(const std::string& folder, const std::string& name,
                                   const JQXLogContext& context, size_t size) {
    std::string directory = folder_.Path(folder);
    NSFileManager::defaultManager()->createDirectoryAtPath(directory, true, {}, nullptr);
    std::ofstream(directory + "/" + name) << std::string(size, 'x');
    return JQXLogFile::initWithContext(std::make_shared<JQXLogContext>(context),
                                       NSURL::fileURLWithPath(directory + "/" + name));
  }

  ScopedTestFolder folder_;
  std::shared_ptr<FakeMarovicFlags> fake_ = std::make_shared<FakeMarovicFlags>();
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<JQXFakeTrassenLogger> logger_ =
      JQXFakeTrassenLogger::initWithLogSource(103, "", NSURL::fileURLWithPath(folder_.Path("d")));
  std::shared_ptr<JQXTrassenMetaLogger> meta_ = JQXTrassenMetaLogger::initWithLogger(
      logger_, JQXTrassenFlags::initWithMarovicFlags(fake_), clock_);
};

TEST_F(MetaLoggerTest, StartOfRunCountsPerContextPerFolderAndInTotal) {
  JQXLogContext context = Context(700, 1);
  JQXLogFiles files = {File("a", "1", context, 10), File("a", "2", context, 20),
                       File("b", "3", context, 30)};
  meta_->logFilesWillBeUploaded(files);
  meta_->flushCountersToLogger();

  EXPECT_EQ(LoggedBuckets(*logger_, "StoragePerLogSource", DimensionBytes(context)),
            (Buckets{{60, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "FileUploadCountPerLogSource", DimensionBytes(context)),
            (Buckets{{3, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "FileCountInSameFolder"), (Buckets{{2, 1}, {1, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "TotalStorage"), (Buckets{{60, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "TotalFileUploadCount"), (Buckets{{3, 1}}));
  // One event per dimension, each of the meta logger's own source.
  ASSERT_EQ(logger_->logEvents().size(), 2u);
  EXPECT_EQ(logger_->logEvents()[0]->logSource(), 103);
  EXPECT_EQ(logger_->logEvents()[0]->eventCode(), 0);
}

TEST_F(MetaLoggerTest, RunsCountEventsRefusedForAnUnknownLogSource) {
  JQXLogWriter::takeRefusedEventCounts();
  JQXLogWriter::countRefusedEvent(298);
  JQXLogWriter::countRefusedEvent(298);
  JQXLogWriter::countRefusedEvent(5000);
  meta_->logFilesWillBeUploaded({});
  meta_->logFilesWillBeUploaded({});  // taken once
  meta_->flushCountersToLogger();
  EXPECT_EQ(LoggedBuckets(*logger_, "DroppedEventUnknownLogSource"),
            (Buckets{{298, 2}, {5000, 1}}));
}

TEST_F(MetaLoggerTest, RequestsResponsesAndDelaysCountUnderTheContext) {
  JQXLogContext context = Context(700);
  auto request = NSMutableURLRequest::requestWithURL("https://x/log");
  request->setValue("gzip", "Content-Encoding");  // 16 + 4 + 3
  request->setHTTPBody(std::vector<uint8_t>(77));
  meta_->logRequestContentLength(context, *request);
  auto response = NSHTTPURLResponse::initWithURL("https://x/log", 207, {});
  meta_->logResponse(response.get(), context, 1000, 1250);
  meta_->logResponse(nullptr, context, 1000, 1000);
  auto file = File("a", "1", context, 5);
  meta_->logRequestUploadDelayWithCurrentTime(file->creationTimeMilliseconds() + 900, *file);
  meta_->flushCountersToLogger();

  std::string dimension = DimensionBytes(context);
  EXPECT_EQ(LoggedBuckets(*logger_, "RequestSize", dimension), (Buckets{{77, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "RequestHeaderSize", dimension), (Buckets{{23, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "RequestLatency", dimension), (Buckets{{250, 1}, {0, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "ResponseStatus", dimension), (Buckets{{207, 1}, {0, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "RequestUploadDelay", dimension), (Buckets{{900, 1}}));
}

TEST_F(MetaLoggerTest, RunDurationsAreTakenApartByTheirError) {
  meta_->logUploadTime(100, 150, nullptr);
  meta_->logUploadTime(100, 160, NSError::errorWithDomain(NSURLErrorDomain, -1009));
  meta_->logUploadTime(100, 170, NSError::errorWithDomain("other", -1009));
  meta_->logUploadTime(100, 180, NSError::errorWithDomain(NSURLErrorDomain, -1001));
  meta_->flushCountersToLogger();
  EXPECT_EQ(LoggedBuckets(*logger_, "UploadSuccessDuration"), (Buckets{{50, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "UploadNoInternetDuration"), (Buckets{{60, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "UploadFailedDuration"), (Buckets{{70, 1}, {80, 1}}));
}

TEST_F(MetaLoggerTest, CleanUpsCountFilesOrSayThereWereNone) {
  JQXLogContext context = Context(700);
  auto file = File("a", "1", context, 40);
  clock_->set(file->creationTimeMilliseconds() + 5000);
  platform::utility::BaseLoggerCapture capture;
  meta_->logDeletingOverTTLLogFiles({});
  meta_->logDeletingOverSizeLogFiles({});
  meta_->logDeletingOverTTLLogFiles({file});
  meta_->logDeletingOverSizeLogFiles({file, file});
  meta_->flushCountersToLogger();

  ASSERT_EQ(capture.lines().size(), 2u);
  EXPECT_EQ(capture.lines()[0].message, "Could not log 0 deleted files.");
  std::string dimension = DimensionBytes(context);
  EXPECT_EQ(LoggedBuckets(*logger_, "CleanupNumFilesDeletedTTLExpired"), (Buckets{{1, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "CleanupAgeOfFilesDeletedTTLExpired", dimension),
            (Buckets{{5000, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "CleanupNumFilesDeletedOversize"), (Buckets{{2, 1}}));
  EXPECT_EQ(LoggedBuckets(*logger_, "CleanupSizeofFilesDeletedOversize", dimension),
            (Buckets{{40, 2}}));
}

TEST_F(MetaLoggerTest, TheLimitOfIncrementsFlushesAndOnlyWantedIncrementsCount) {
  fake_->setNumber("log_meta_counters", ZQLMarovicNumber::Boolean(false));
  for (int i = 0; i < 150; ++i) meta_->logUploadTime(0, 1, nullptr);
  meta_->flushCountersToLogger();
  EXPECT_TRUE(logger_->logEvents().empty());

  fake_->setNumber("log_meta_counters", ZQLMarovicNumber::Boolean(true));
  for (int i = 0; i < 199; ++i) meta_->logUploadTime(0, 1, nullptr);
  dispatch_sync(meta_->autoCounters()->queue(), [] {});
  EXPECT_TRUE(logger_->logEvents().empty());
  meta_->logUploadTime(0, 1, nullptr);  // the 200th
  meta_->logUploadTime(0, 2, nullptr);
  dispatch_sync(meta_->autoCounters()->queue(), [] {});
  ASSERT_EQ(logger_->logEvents().size(), 1u);
  EXPECT_EQ(LoggedBuckets(*logger_, "UploadSuccessDuration"), (Buckets{{1, 200}}));

  // Termination flushes what is left; a flush with nothing new logs nothing.
  platform::uikit::TerminateApplication();
  meta_->flushCountersToLogger();
  EXPECT_EQ(logger_->logEvents().size(), 2u);
  EXPECT_EQ(LoggedBuckets(*logger_, "UploadSuccessDuration"), (Buckets{{1, 200}, {2, 1}}));
}

TEST_F(MetaLoggerTest, EnteringTheBackgroundFlushesOnlyCountersThatAskedForIt) {
  meta_->logUploadTime(0, 1, nullptr);
  platform::uikit::MoveApplicationToState(UIApplicationStateBackground);
  dispatch_sync(meta_->autoCounters()->queue(), [] {});
  EXPECT_TRUE(logger_->logEvents().empty());

  struct Delegate : JQXTrassenAutoCountersDelegate {
    void logCounters(const std::shared_ptr<JQXTrassenCounters>& counters) override {
      ++flushes;
      counters->reset();
    }
    bool shouldLogCounters() override { return true; }
    int64_t maxCounterCount() override { return 1000; }
    int flushes = 0;
  };
  auto delegate = std::make_shared<Delegate>();
  auto regular = JQXTrassenAutoCounters::initWithDelegate(delegate, clock_, true);
  regular->increaseCounterWithName("x", nullptr, 0, 1);
  dispatch_sync(regular->queue(), [] {});
  platform::uikit::MoveApplicationToState(UIApplicationStateActive);
  platform::uikit::MoveApplicationToState(UIApplicationStateBackground);
  platform::uikit::MoveApplicationToState(UIApplicationStateActive);
  EXPECT_EQ(delegate->flushes, 1);
}

TEST(MetaLoggerDimensionTest, TiersAndChargingAsTheCountersNameThem) {
  struct Case {
    std::optional<int32_t> tier;
    QosTierConfiguration_QosTier expected;
  };
  for (const Case& c : std::vector<Case>{{std::nullopt, QosTierConfiguration_QosTier_Default},
                                         {0, QosTierConfiguration_QosTier_Default},
                                         {1, QosTierConfiguration_QosTier_UnmeteredOrDaily},
                                         {2, QosTierConfiguration_QosTier_FastIfRadioAwake},
                                         {3, QosTierConfiguration_QosTier_Default},
                                         {4, QosTierConfiguration_QosTier_Default}}) {
    auto dimension = JQXTrassenMetaLogger::dimensionsOfContext(Context(357, c.tier));
    EXPECT_EQ(dimension->qos_tier(), c.expected) << c.tier.value_or(-1);
    EXPECT_EQ(dimension->log_source(), 357);
  }
  for (auto [state, charging] : std::vector<std::pair<UIDeviceBatteryState, bool>>{
           {UIDeviceBatteryStateUnknown, true},
           {UIDeviceBatteryStateUnplugged, false},
           {UIDeviceBatteryStateCharging, true},
           {UIDeviceBatteryStateFull, true}}) {
    auto device = platform::foundation::CurrentDevice();
    device.batteryState = state;
    platform::foundation::SetDevice(device);
    EXPECT_EQ(JQXTrassenMetaLogger::dimensionsOfContext(Context(700))->is_charging(), charging);
  }
  platform::foundation::ResetDevice();
}

}  // namespace
