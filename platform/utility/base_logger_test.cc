#include "platform/utility/base_logger.h"

#include <memory>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/system_log.h"

namespace {

using platform::utility::BaseLogger;
using platform::utility::BaseLoggerCapture;
using platform::utility::FormatArguments;
using ::testing::ElementsAre;

TEST(BaseLoggerTest, CaptureReceivesFunctionMessageAndLevel) {
  BaseLoggerCapture capture;
  platform::utility::LogError("Uploader::upload", "File missing at %@", {"/x"});
  platform::utility::Log(0, nullptr, "%@", {"plain"});
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 3u);
  EXPECT_EQ(lines[0].function, "Uploader::upload");
  EXPECT_EQ(lines[0].message, "File missing at /x");
  EXPECT_EQ(lines[1].function, std::nullopt);
  EXPECT_EQ(lines[1].message, "plain");
}

TEST(BaseLoggerTest, FilterFormatterAndWriter) {
  class Writer : public platform::utility::LogWriter {
   public:
    void writeLine(const std::string& line, unsigned level) override { lines.push_back(line); }
    std::vector<std::string> lines;
  };
  auto logger = std::make_shared<BaseLogger>();
  auto writer = std::make_shared<Writer>();
  logger->setWriter(writer);
  logger->setFilter(std::make_shared<platform::utility::MinimumLevelFilter>(3));
  logger->logInternal("f", "kept %d", {3}, 3);
  logger->logInternal("f", "dropped", {}, 2);
  logger->logInternal(nullptr, "fault", {}, 4);
  logger->logInternal(nullptr, "odd", {}, 9);
  EXPECT_THAT(writer->lines, ElementsAre("ERROR f: kept 3", "FAULT fault", "LEVEL 9 odd"));

  // Without a writer the lines reach the system log.
  logger->setWriter(nullptr);
  platform::foundation::SystemLogCapture system_log;
  logger->logInternal("g", "%@", {"to the system log"}, 3);
  EXPECT_THAT(system_log.messages(), ElementsAre("ERROR g: to the system log"));
}

TEST(BaseLoggerTest, SharedInstanceIsReplaceable) {
  class Recording : public BaseLogger {
   public:
    void logInternal(const char* function, const std::string& format,
                     const FormatArguments& arguments, unsigned level) override {
      formats.push_back(format);
    }
    std::vector<std::string> formats;
  };
  auto original = BaseLogger::sharedLogger();
  auto recording = std::make_shared<Recording>();
  BaseLogger::setSharedLogger(recording);
  platform::utility::LogError("f", "%@", {"x"});
  BaseLogger::setSharedLogger(nullptr);
  EXPECT_THAT(recording->formats, ElementsAre("%@"));
  auto fresh = BaseLogger::sharedLogger();
  EXPECT_NE(fresh, recording);
  EXPECT_NE(fresh, nullptr);
  BaseLogger::setSharedLogger(original);
}

}  // namespace
