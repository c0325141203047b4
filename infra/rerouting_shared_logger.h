// ZRBReroutingSharedLogger: a base logger that feeds the log multiplexer instead of writing,
// for apps that want every base-logger report routed like the infrastructure's own reports.
//
//   ZRBAppSwitchFromSharedLoggerToZRBLogger();
//   platform::utility::LogError("f", "Could not %@", {"x"});  // now a ZRBLogMessage
//
// Making one stops the multiplexer's forwarding to the base logger (which would send every
// report round in a circle). Reports at levels 1 to 4 keep their level, any other becomes 4. A
// call stack is captured only when the stack-trace filter allows the text at its level (by
// default: levels 3 and up) and the multiplexer's switch asks for one. The logger writes
// nothing itself: its writer, formatter and filter read as none, and setting one is an
// assertion failure.
#ifndef INFRA_REROUTING_SHARED_LOGGER_H_
#define INFRA_REROUTING_SHARED_LOGGER_H_

#include <memory>
#include <string>

#include "infra/log_multiplexer.h"
#include "platform/utility/base_logger.h"

class ZRBReroutingSharedLogger : public platform::utility::BaseLogger {
 public:
  // Null without a multiplexer.
  static std::shared_ptr<ZRBReroutingSharedLogger> initWithLogMultiplexer(
      std::shared_ptr<ZRBLogMultiplexer> multiplexer,
      std::shared_ptr<platform::utility::LogFilter> stackTraceFilter);
  // With a minimum-level filter of level 3 as the stack-trace filter.
  static std::shared_ptr<ZRBReroutingSharedLogger> initWithLogMultiplexer(
      std::shared_ptr<ZRBLogMultiplexer> multiplexer);

  void logInternal(const char* function, const std::string& format,
                   const platform::utility::FormatArguments& arguments, unsigned level) override;

  std::shared_ptr<platform::utility::LogFilter> filter() const override { return nullptr; }
  void setFilter(std::shared_ptr<platform::utility::LogFilter> filter) override;
  std::shared_ptr<platform::utility::LogFormatter> formatter() const override { return nullptr; }
  void setFormatter(std::shared_ptr<platform::utility::LogFormatter> formatter) override;
  std::shared_ptr<platform::utility::LogWriter> writer() const override { return nullptr; }
  void setWriter(std::shared_ptr<platform::utility::LogWriter> writer) override;

  ZRBReroutingSharedLogger(std::shared_ptr<ZRBLogMultiplexer> multiplexer,
                           std::shared_ptr<platform::utility::LogFilter> stackTraceFilter)
      : multiplexer_(std::move(multiplexer)), stack_trace_filter_(std::move(stackTraceFilter)) {}

 private:
  std::shared_ptr<ZRBLogMultiplexer> multiplexer_;
  std::shared_ptr<platform::utility::LogFilter> stack_trace_filter_;
};

// Make a rerouting logger over the shared multiplexer the base logger's shared instance.
void ZRBAppSwitchFromSharedLoggerToZRBLogger();
void ZRBAppSwitchFromSharedLoggerToZRBLoggerWithStackTraceFilter(
    std::shared_ptr<platform::utility::LogFilter> stackTraceFilter);

#endif  // INFRA_REROUTING_SHARED_LOGGER_H_
