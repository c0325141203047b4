#include "usage_log/marovic_logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <google/protobuf/io/coded_stream.h>

#include "experiment_flags/flat_file_marovic.h"
#include "experiment_flags/marovic_error.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "usage_base/client_info.h"
#include "experiment_flags/fake_flags_test_util.h"
#include "usage_log/log_local.pb.h"
#include "usage_base/log_wire.pb.h"
#include "usage_log/log_writer.h"
#include "usage_base/manual_clock_test_util.h"
#include "usage_base/wire_test_util.h"

namespace {

using ::testing::HasSubstr;
using ::testing::SizeIs;

class MarovicLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    // The first write would otherwise wait for the main thread to fill the accessibility cache.
    JQXUIKitAXUtils::sharedInstance()->isCacheInitialized();
    logger_ = ZQLMarovicLogger::initWithClock(std::make_shared<ManualClock>(),
                                              NSURL::fileURLWithPath(folder_.Path("logs"), true),
                                              ZRBPseudonymousIDStore::init(), flags_);
  }
  void TearDown() override { platform::foundation::SetSandboxRoot(""); }

  // Every record written so far: operation events (with an event code) and counter events.
  std::vector<LogEvent> Written() {
    // The counters' queue has handled every increment; the writer has written every event.
    dispatch_sync(logger_->autoCounters()->queue(), [] {});
    JQXLogWriter::sharedInstance()->flush();
    std::vector<LogEvent> events;
    if (!std::filesystem::exists(folder_.Path("logs"))) return events;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_.Path("logs"))) {
      if (!entry.is_regular_file() || entry.path().filename() == "context") continue;
      std::string bytes = Read(entry.path());
      google::protobuf::io::CodedInputStream input(
          reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
      uint32_t length = 0;
      while (input.ReadVarint32(&length)) {
        std::string record;
        if (!input.ReadString(&record, static_cast<int>(length))) break;
        events.emplace_back();
        EXPECT_TRUE(events.back().ParseFromString(record));
      }
    }
    return events;
  }
  static std::string Read(const std::filesystem::path& path) {
    auto bytes = NSFileManager::defaultManager()->contentsAtPath(path.string());
    return bytes ? std::string(bytes->begin(), bytes->end()) : "";
  }
  static size_t Count(const std::vector<LogEvent>& events, bool operations) {
    return std::count_if(events.begin(), events.end(), [operations](const LogEvent& event) {
      return event.has_event_code() == operations;
    });
  }

  platform::foundation::ScopedTestFolder folder_;
  std::shared_ptr<FakeMarovicFlags> flags_ = std::make_shared<FakeMarovicFlags>();
  std::shared_ptr<ZQLMarovicLogger> logger_;
};

TEST_F(MarovicLoggerTest, OperationEventCarriesTheErrorOfTheStore) {
  auto event = ZQLFlatFileMarovic::marovicLogEventWithApplicationInfo(
      nullptr, NSError::errorWithDomain(kZQLMarovicErrorDomain, ZQLMarovicErrorCodeNotCommitted));
  logger_->logOperationEventWithExtension(event, ZQLMarovicLogEvent::ExperimentToken);
  auto events = Written();
  ASSERT_THAT(events, SizeIs(1));
  EXPECT_EQ(events[0].event_code(), ZQLMarovicLogEvent::ExperimentToken);
  // Field 7: the domain, then -3 as a ten-byte varint.
  const std::string hex = qm_wire_test::Hex(events[0].source_extension());
  EXPECT_EQ(hex.substr(0, 2), "3A");
  EXPECT_THAT(hex, HasSubstr(qm_wire_test::Hex(kZQLMarovicErrorDomain)));
  EXPECT_THAT(hex, HasSubstr("10 FD FF FF FF FF FF FF FF FF 01"));
}

TEST_F(MarovicLoggerTest, SwitchesOfTheStoresOwnPackage) {
  struct Case {
    const char* name;
    bool log_events;
    bool log_counters;
    int64_t max_count;
    size_t operation_events;
    size_t counter_events;
  } cases[] = {
      {"defaults: counters wait for 200 increments", true, true, 200, 1, 0},
      {"a limit of 1 writes a counter event per increment", true, true, 1, 1, 3},
      {"no events, still counted", false, true, 1, 0, 3},
      {"no counters", true, false, 1, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    logger_->flushCountersToLogger();  // what an earlier case kept back
    Written();
    std::filesystem::remove_all(folder_.Path("logs"));
    flags_->setNumber("log_events", ZQLMarovicNumber::Boolean(c.log_events));
    flags_->setNumber("log_counters", ZQLMarovicNumber::Boolean(c.log_counters));
    flags_->setNumber("api_counters_max_count", ZQLMarovicNumber::Integer(c.max_count));
    logger_->logOperationEventWithExtension(std::make_shared<ZQLMarovicLogEvent>(), 1);
    for (int i = 0; i < 3; ++i) logger_->increaseCounterWithName("FlatFile-Register");
    auto events = Written();
    EXPECT_EQ(Count(events, true), c.operation_events);
    EXPECT_EQ(Count(events, false), c.counter_events);
    for (const LogEvent& event : events) {
      if (event.has_event_code()) continue;
      ZVKCCounters counters;
      EXPECT_TRUE(counters.ParseFromString(event.source_extension()));
      EXPECT_EQ(counters.counter_size(), 1);
    }
  }
}

}  // namespace
