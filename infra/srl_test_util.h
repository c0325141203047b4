// Test helpers of the service registry: the fault reports a block makes, as texts.
#ifndef INFRA_SRL_TEST_UTIL_H_
#define INFRA_SRL_TEST_UTIL_H_

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "infra/error_handler.h"
#include "platform/utility/base_logger.h"

namespace infra::testing {

// Runs `block` with a handler block installed that records each report's message, and answers
// the messages in order (reports of other threads meanwhile are recorded too).
inline std::vector<std::string> ReportsIn(const std::function<void()>& block) {
  platform::utility::BaseLoggerCapture quiet;  // keeps forwarded reports off stderr
  XLMErrorHandler::registerHandler();
  auto handler = XLMErrorHandler::sharedInstance();
  auto previous = handler->errorHandlerBlock();
  std::mutex mutex;
  std::vector<std::string> texts;
  handler->setErrorHandlerBlock([&](const std::shared_ptr<XLMErrorDescription>& error) {
    std::lock_guard<std::mutex> lock(mutex);
    texts.push_back(error->errorMessage().value_or("(none)"));
  });
  block();
  handler->setErrorHandlerBlock(previous);
  return texts;
}

}  // namespace infra::testing

#endif  // INFRA_SRL_TEST_UTIL_H_
