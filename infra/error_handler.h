// XLMErrorHandler: the process-wide receiver of the infrastructure libraries' fault reports
// (level 4). Once registered it is a synchronous sink of the shared log multiplexer; it turns
// each fault into an XLMErrorDescription, hands it to one replaceable handler block and counts
// it. Without an installed block, the built-in one reports an assertion failure to the
// platform's assertion handler with a banner naming the reporting file, function and line.
//
//   XLMErrorHandler::sharedInstance()->registerErrorHandlerBlock(
//       [](const std::shared_ptr<XLMErrorDescription>& error) { Crashlog(error->errorMessage()); });
//
// Library code reports a fault with XLM_REPORT_FAULT("text"), which registers the handler first.
// Tests count reports with the class operations of the test section below.
//
// Reports are handled one at a time under the handler's recursive lock; a report made from
// inside a handler block on the same thread re-enters safely.
#ifndef INFRA_ERROR_HANDLER_H_
#define INFRA_ERROR_HANDLER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "infra/log_multiplexer.h"

class XLMErrorDescription {
 public:
  using OptionalString = std::optional<std::string>;

  static std::shared_ptr<XLMErrorDescription> init() {
    return std::make_shared<XLMErrorDescription>();
  }

  const OptionalString& filePath() const { return file_path_; }
  void setFilePath(OptionalString value) { file_path_ = std::move(value); }
  const OptionalString& functionName() const { return function_name_; }
  void setFunctionName(OptionalString value) { function_name_ = std::move(value); }
  uint64_t lineNumber() const { return line_number_; }
  void setLineNumber(uint64_t value) { line_number_ = value; }
  const OptionalString& rawFormatString() const { return raw_format_string_; }
  void setRawFormatString(OptionalString value) { raw_format_string_ = std::move(value); }
  const OptionalString& errorMessage() const { return error_message_; }
  void setErrorMessage(OptionalString value) { error_message_ = std::move(value); }

 private:
  OptionalString file_path_;
  OptionalString function_name_;
  uint64_t line_number_ = 0;
  OptionalString raw_format_string_;
  OptionalString error_message_;
};

using XLMErrorHandlerBlock = std::function<void(const std::shared_ptr<XLMErrorDescription>&)>;

class XLMErrorHandler : public ZRBSyncLogger {
 public:
  static std::shared_ptr<XLMErrorHandler> sharedInstance();
  // Adds the shared handler to the shared multiplexer's synchronous sinks, the first time only.
  // (The object runtime calls this `register`, a reserved word here.)
  static void registerHandler();
  static std::shared_ptr<XLMErrorHandler> init() { return std::make_shared<XLMErrorHandler>(); }

  // A minimum-level filter of level 4.
  std::shared_ptr<ZRBLogFilter> filter() override { return filter_; }
  // Describes the message, calls the installed (or the built-in) block and counts the report.
  void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) override;

  // Installs `block` when none is installed. A second block is refused with the fault "An
  // ErrorHandlerBlock was already set!.", none with "|errorHandlerBlock| cannot be nil!.".
  void registerErrorHandlerBlock(XLMErrorHandlerBlock block);

  // The installed block (empty: none). The setter replaces it without any check.
  XLMErrorHandlerBlock errorHandlerBlock() const;
  void setErrorHandlerBlock(XLMErrorHandlerBlock block);
  int32_t errorCount() const { return error_count_.load(); }
  void setErrorCount(int32_t count) { error_count_.store(count); }
  // The built-in block (the same one each time).
  const XLMErrorHandlerBlock& defaultErrorHandlerBlock() const;

  // ---- For tests; each works on the shared handler.
  // Removes the installed block and sets the count to 0.
  static void resetAfterTest();
  // Runs `block` with a block installed that does nothing and answers how many reports it made
  // (reports of other threads meanwhile count too). The installed block is put back afterwards.
  static int32_t errorCountInBlock(const std::function<void()>& block);
  // Raise NSException "Assertion Failed!" when `block` reports no error, or some errors.
  static void assertBlockReportsError(const std::function<void()>& block);
  static void assertBlockDoesNotReportError(const std::function<void()>& block);

  XLMErrorHandler();

 private:
  std::shared_ptr<ZRBLogFilter> filter_;
  std::recursive_mutex mutex_;       // held while one report is handled
  mutable std::mutex block_mutex_;   // guards block_ only, so setters never wait for a report
  XLMErrorHandlerBlock block_;
  std::atomic<int32_t> error_count_{0};
};

// Reports `text` (a fixed text: it is the format and the message) as a fault of the enclosing
// function, after registering the error handler.
#define XLM_REPORT_FAULT(text)            \
  do {                                    \
    XLMErrorHandler::registerHandler();   \
    ZRB_LOG_MESSAGE(4, std::string(text)); \
  } while (false)

#endif  // INFRA_ERROR_HANDLER_H_
