#include "infra/error_handler.h"

#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "infra/provider.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_exception.h"
#include "platform/utility/base_logger.h"

namespace {

using platform::foundation::RecordingAssertionHandler;
using platform::foundation::ScopedAssertionHandler;

class ErrorHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XLMErrorHandler::registerHandler();
    XLMErrorHandler::resetAfterTest();
  }
  void TearDown() override { XLMErrorHandler::resetAfterTest(); }

  // Collects the descriptions the installed block receives.
  XLMErrorHandlerBlock Collector() {
    return [this](const std::shared_ptr<XLMErrorDescription>& error) { errors_.push_back(error); };
  }

  std::shared_ptr<XLMErrorHandler> handler_ = XLMErrorHandler::sharedInstance();
  std::vector<std::shared_ptr<XLMErrorDescription>> errors_;
  std::shared_ptr<RecordingAssertionHandler> assertions_ =
      std::make_shared<RecordingAssertionHandler>();
  ScopedAssertionHandler scoped_{assertions_};
  platform::utility::BaseLoggerCapture base_log_;  // keeps forwarded reports off stderr
};

void ReportFault() { XLM_REPORT_FAULT("Something broke"); }

TEST_F(ErrorHandlerTest, OnlyFaultsReachTheHandler) {
  handler_->setErrorHandlerBlock(Collector());
  ZRB_LOG_MESSAGE(3, "level three");
  EXPECT_EQ(handler_->errorCount(), 0);
  ZRB_LOG_MESSAGE(4, "%@ of %d", "fault", 4);
  ASSERT_EQ(handler_->errorCount(), 1);
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0]->errorMessage(), "fault of 4");
  EXPECT_EQ(errors_[0]->rawFormatString(), "%@ of %d");
  EXPECT_EQ(errors_[0]->filePath(), "infra/error_handler_test.cc");
  EXPECT_EQ(errors_[0]->functionName(), "{anonymous}::ErrorHandlerTest_OnlyFaultsReachTheHandler_Test::TestBody");
  EXPECT_TRUE(assertions_->failures().empty()) << "an installed block replaces the built-in one";
}

TEST_F(ErrorHandlerTest, RegisteringABlockTwiceOrNoneIsAFault) {
  std::vector<std::string> seen_by_c;
  handler_->registerErrorHandlerBlock(Collector());
  handler_->registerErrorHandlerBlock(
      [&](const std::shared_ptr<XLMErrorDescription>& error) { seen_by_c.push_back("C"); });
  handler_->registerErrorHandlerBlock(nullptr);
  ASSERT_EQ(errors_.size(), 2u);
  EXPECT_EQ(errors_[0]->errorMessage(), "An ErrorHandlerBlock was already set!.");
  EXPECT_EQ(errors_[0]->functionName(), "XLMErrorHandler::registerErrorHandlerBlock");
  EXPECT_EQ(errors_[0]->filePath(), "infra/error_handler.cc");
  EXPECT_GT(errors_[0]->lineNumber(), 0u);
  EXPECT_EQ(errors_[1]->errorMessage(), "|errorHandlerBlock| cannot be nil!.");
  EXPECT_TRUE(seen_by_c.empty());
  EXPECT_EQ(handler_->errorCount(), 2);
}

TEST_F(ErrorHandlerTest, BuiltInBlockReportsTheBannerToTheAssertionHandler) {
  handler_->logWithMessage(ZRBGenerateLogMessage(4, "infra/accounts/hollin_account.cc",
                                                 "XLMHollinAccountId::initWithCoder", 43, nullptr,
                                                 "Invalid %@", 1, {1}, {"id"}));
  ASSERT_EQ(assertions_->failures().size(), 1u);
  const auto failure = assertions_->failures()[0];
  EXPECT_FALSE(failure.in_method);
  EXPECT_EQ(failure.name, "XLMErrorHandler::defaultErrorHandlerBlock");
  EXPECT_EQ(failure.file, "infra/error_handler.cc");
  // The raw format, not the expanded message; the file's last path piece.
  EXPECT_EQ(failure.description,
            "\n\n\n   <<< ERROR!    <(\u2022\u0300_\u2022\u0301)>    ERROR! >>>\n\n"
            "   in hollin_account.cc\n   in XLMHollinAccountId::initWithCoder\n   Line 43 says:"
            "\n\n   Invalid %@\n\n\n");
  EXPECT_EQ(handler_->errorCount(), 1);
}

TEST_F(ErrorHandlerTest, CountingInABlockSilencesAndRestores) {
  handler_->setErrorHandlerBlock(Collector());
  EXPECT_EQ(XLMErrorHandler::errorCountInBlock([] {
              ReportFault();
              ReportFault();
            }),
            2);
  EXPECT_TRUE(errors_.empty());
  EXPECT_TRUE(assertions_->failures().empty());
  ReportFault();
  EXPECT_EQ(errors_.size(), 1u) << "the installed block is back";

  XLMErrorHandler::assertBlockDoesNotReportError([] {});
  XLMErrorHandler::assertBlockReportsError(ReportFault);
  const struct {
    const char* name;
    std::function<void()> check;
    const char* reason;
  } raises[] = {
      {"reports_nothing", [] { XLMErrorHandler::assertBlockReportsError([] {}); },
       "\n\n     <(\u2022\u0300_\u2022\u0301)>     Expected block to report an error!\n\n"},
      {"reports_something", [] { XLMErrorHandler::assertBlockDoesNotReportError(ReportFault); },
       "\n\n     <(\u2022\u0300_\u2022\u0301)>     Expected block to report no errors!\n\n"},
  };
  for (const auto& row : raises) {
    try {
      row.check();
      ADD_FAILURE() << row.name << " did not raise";
    } catch (const NSException& exception) {
      EXPECT_EQ(exception.name(), "Assertion Failed!") << row.name;
      EXPECT_EQ(exception.reason(), row.reason) << row.name;
    }
  }
  XLMErrorHandler::resetAfterTest();
  EXPECT_EQ(handler_->errorCount(), 0);
  EXPECT_FALSE(handler_->errorHandlerBlock());
}

TEST_F(ErrorHandlerTest, ReportsFromHandlerBlocksAndOtherThreads) {
  int depth = 0;
  handler_->setErrorHandlerBlock([&](const std::shared_ptr<XLMErrorDescription>&) {
    if (depth++ == 0) ReportFault();  // re-enters on the same thread
  });
  ReportFault();
  EXPECT_EQ(handler_->errorCount(), 2);

  handler_->setErrorHandlerBlock([](const std::shared_ptr<XLMErrorDescription>&) {});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) ReportFault();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(handler_->errorCount(), 202);
}

TEST_F(ErrorHandlerTest, ProviderRunsItsBlockOnEveryGet) {
  int calls = 0;
  auto provider = KJPProvider<int>::providerWithBlock([&] { return ++calls; });
  ASSERT_NE(provider, nullptr);
  EXPECT_EQ(provider->get(), 1);
  EXPECT_EQ(provider->get(), 2);
  EXPECT_EQ(provider->get(), 3);

  handler_->setErrorHandlerBlock(Collector());
  EXPECT_EQ(KJPProvider<int>::initWithBlock(nullptr), nullptr);
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0]->errorMessage(), "KJPProvider expects a block.");
  EXPECT_EQ(errors_[0]->functionName(), "KJPProvider::initWithBlock");
}

}  // namespace
