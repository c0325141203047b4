// SRL_REPORT: the service registry's fault report. Registers the error handler, then logs a
// level-4 message from the calling function to the shared multiplexer with `format` and the
// arguments that follow, each with type code 0 (never taken as a safe parameter).
#ifndef INFRA_SRL_REPORT_H_
#define INFRA_SRL_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "infra/error_handler.h"
#include "infra/log_multiplexer.h"
#include "platform/utility/format.h"

#define SRL_REPORT(format, ...)                                                              \
  do {                                                                                       \
    XLMErrorHandler::registerHandler();                                                      \
    ::platform::utility::FormatArguments srl_report_arguments{__VA_ARGS__};                  \
    ZRBLogFromCallSite(4, __FILE__,                                                          \
                       ::infra::internal::FunctionName(__PRETTY_FUNCTION__).c_str(), __LINE__, \
                       std::string(format),                                                  \
                       std::vector<uint32_t>(srl_report_arguments.size(),                    \
                                             kZRBLogArgumentUnexamined),                     \
                       srl_report_arguments);                                                \
  } while (false)

#endif  // INFRA_SRL_REPORT_H_
