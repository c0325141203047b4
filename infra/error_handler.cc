#include "infra/error_handler.h"

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_exception.h"
#include "platform/utility/format.h"

namespace {

// "(•̀_•́)"
#define XLM_FACE "(\xE2\x80\xA2\xCC\x80_\xE2\x80\xA2\xCC\x81)"

constexpr char kBanner[] =
    "\n\n\n   <<< ERROR!    <" XLM_FACE ">    ERROR! >>>\n\n   in %@\n   in %@\n   Line %tu says:"
    "\n\n   %@\n\n\n";
constexpr char kExpectedError[] = "\n\n     <" XLM_FACE ">     Expected block to report an error!\n\n";
constexpr char kExpectedNoError[] = "\n\n     <" XLM_FACE ">     Expected block to report no errors!\n\n";
constexpr char kAssertionFailed[] = "Assertion Failed!";

std::optional<std::string> LastPathPiece(const std::optional<std::string>& path) {
  if (!path) return std::nullopt;
  size_t slash = path->rfind('/');
  return slash == std::string::npos ? *path : path->substr(slash + 1);
}

void ReportAssertion(const std::shared_ptr<XLMErrorDescription>& error) {
  std::string banner = platform::utility::StringWithFormat(
      kBanner, {LastPathPiece(error->filePath()), error->functionName(), error->lineNumber(),
                error->rawFormatString()});
  NSAssertionHandler::currentHandler()->handleFailureInFunction(
      "XLMErrorHandler::defaultErrorHandlerBlock", __FILE__, __LINE__, banner);
}

}  // namespace

std::shared_ptr<XLMErrorHandler> XLMErrorHandler::sharedInstance() {
  static auto* shared = new std::shared_ptr<XLMErrorHandler>(init());
  return *shared;
}

void XLMErrorHandler::registerHandler() {
  static std::once_flag once;
  std::call_once(once, [] { ZRBLogMultiplexer::sharedInstance()->addSyncLogger(sharedInstance()); });
}

XLMErrorHandler::XLMErrorHandler() : filter_(ZRBLogMininumLevelFilter::initWithMinimumLevel(4)) {}

const XLMErrorHandlerBlock& XLMErrorHandler::defaultErrorHandlerBlock() const {
  static const XLMErrorHandlerBlock block = ReportAssertion;
  return block;
}

XLMErrorHandlerBlock XLMErrorHandler::errorHandlerBlock() const {
  std::lock_guard<std::mutex> lock(block_mutex_);
  return block_;
}

void XLMErrorHandler::setErrorHandlerBlock(XLMErrorHandlerBlock block) {
  std::lock_guard<std::mutex> lock(block_mutex_);
  block_ = std::move(block);
}

void XLMErrorHandler::logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) {
  if (message == nullptr) return;
  auto error = XLMErrorDescription::init();
  error->setFilePath(message->file());
  error->setFunctionName(message->function());
  error->setLineNumber(message->line());
  error->setRawFormatString(message->format());
  error->setErrorMessage(message->formattedString());

  std::lock_guard<std::recursive_mutex> lock(mutex_);
  XLMErrorHandlerBlock block = errorHandlerBlock();
  if (block) {
    block(error);
  } else {
    defaultErrorHandlerBlock()(error);
  }
  ++error_count_;
}

void XLMErrorHandler::registerErrorHandlerBlock(XLMErrorHandlerBlock block) {
  if (!block) {
    XLM_REPORT_FAULT("|errorHandlerBlock| cannot be nil!.");
    return;
  }
  bool installed = false;
  {
    std::lock_guard<std::mutex> lock(block_mutex_);
    if (!block_) {
      block_ = std::move(block);
      installed = true;
    }
  }
  // Reported outside the block lock: the report reaches this handler and reads the block.
  if (!installed) XLM_REPORT_FAULT("An ErrorHandlerBlock was already set!.");
}

void XLMErrorHandler::resetAfterTest() {
  auto shared = sharedInstance();
  shared->setErrorHandlerBlock(nullptr);
  shared->setErrorCount(0);
}

int32_t XLMErrorHandler::errorCountInBlock(const std::function<void()>& block) {
  auto shared = sharedInstance();
  int32_t before = shared->errorCount();
  XLMErrorHandlerBlock installed = shared->errorHandlerBlock();
  shared->setErrorHandlerBlock([](const std::shared_ptr<XLMErrorDescription>&) {});
  block();
  shared->setErrorHandlerBlock(std::move(installed));
  return shared->errorCount() - before;
}

void XLMErrorHandler::assertBlockReportsError(const std::function<void()>& block) {
  if (errorCountInBlock(block) == 0) NSException::raise(kAssertionFailed, kExpectedError);
}

void XLMErrorHandler::assertBlockDoesNotReportError(const std::function<void()>& block) {
  if (errorCountInBlock(block) > 0) NSException::raise(kAssertionFailed, kExpectedNoError);
}
