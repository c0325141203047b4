// ZRBLogMessage: one internal log report as it travels through the log multiplexer. Reports
// are built at call sites by ZRBGenerateLogMessage (log_multiplexer.h); every object field may
// be none. Messages are immutable and the multiplexer hands the same object to all its sinks.
#ifndef INFRA_LOG_MESSAGE_H_
#define INFRA_LOG_MESSAGE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "infra/log_callstack.h"
#include "infra/log_metadata.h"
#include "infra/log_safe_parameter.h"

// Safe parameters of a report by argument position (counted from 0 after the format).
using ZRBSafeParameters = std::map<uint64_t, std::shared_ptr<ZRBSafeParameter>>;

class ZRBLogMessage {
 public:
  using OptionalString = std::optional<std::string>;

  static std::shared_ptr<ZRBLogMessage> initWithLevel(
      uint64_t level, OptionalString format, OptionalString formattedString, OptionalString file,
      OptionalString function, uint64_t line, OptionalString threadName,
      OptionalString dispatchQueueLabel, std::shared_ptr<ZRBLogCallstack> callstack,
      std::optional<ZRBSafeParameters> safeParameters, std::shared_ptr<ZRBLogMetadata> logMetadata);

  uint64_t level() const { return level_; }
  const OptionalString& format() const { return format_; }
  const OptionalString& formattedString() const { return formatted_string_; }
  const OptionalString& file() const { return file_; }
  const OptionalString& function() const { return function_; }
  uint64_t line() const { return line_; }
  const OptionalString& threadName() const { return thread_name_; }
  const OptionalString& dispatchQueueLabel() const { return dispatch_queue_label_; }
  const std::shared_ptr<ZRBLogCallstack>& callstack() const { return callstack_; }
  // None when the report marked no argument safe (never an empty dictionary).
  const std::optional<ZRBSafeParameters>& safeParameters() const { return safe_parameters_; }
  const std::shared_ptr<ZRBLogMetadata>& logMetadata() const { return log_metadata_; }

  // Equal level and line, and every object field equal or both none.
  bool isEqual(const ZRBLogMessage* other) const;
  // The wrapping sum of level, line and the fields' hashes (none adds 0).
  uint64_t hash() const;

  ZRBLogMessage() = default;

 private:
  uint64_t level_ = 0;
  OptionalString format_;
  OptionalString formatted_string_;
  OptionalString file_;
  OptionalString function_;
  uint64_t line_ = 0;
  OptionalString thread_name_;
  OptionalString dispatch_queue_label_;
  std::shared_ptr<ZRBLogCallstack> callstack_;
  std::optional<ZRBSafeParameters> safe_parameters_;
  std::shared_ptr<ZRBLogMetadata> log_metadata_;
};

// The label of the dispatch queue the caller runs on; none when there is none.
std::optional<std::string> ZRBCurrentDispatchQueueLabel();

#endif  // INFRA_LOG_MESSAGE_H_
