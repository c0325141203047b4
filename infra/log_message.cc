#include "infra/log_message.h"

#include "infra/log_equality.h"
#include "platform/dispatch/dispatch.h"

using infra::internal::HashOf;
using infra::internal::HashOfObject;
using infra::internal::ObjectsEqual;

std::shared_ptr<ZRBLogMessage> ZRBLogMessage::initWithLevel(
    uint64_t level, OptionalString format, OptionalString formattedString, OptionalString file,
    OptionalString function, uint64_t line, OptionalString threadName,
    OptionalString dispatchQueueLabel, std::shared_ptr<ZRBLogCallstack> callstack,
    std::optional<ZRBSafeParameters> safeParameters, std::shared_ptr<ZRBLogMetadata> logMetadata) {
  auto message = std::make_shared<ZRBLogMessage>();
  message->level_ = level;
  message->format_ = std::move(format);
  message->formatted_string_ = std::move(formattedString);
  message->file_ = std::move(file);
  message->function_ = std::move(function);
  message->line_ = line;
  message->thread_name_ = std::move(threadName);
  message->dispatch_queue_label_ = std::move(dispatchQueueLabel);
  message->callstack_ = std::move(callstack);
  message->safe_parameters_ = std::move(safeParameters);
  message->log_metadata_ = std::move(logMetadata);
  return message;
}

namespace {

bool SafeParametersEqual(const std::optional<ZRBSafeParameters>& a,
                         const std::optional<ZRBSafeParameters>& b) {
  if (!a || !b) return !a && !b;
  if (a->size() != b->size()) return false;
  for (auto i = a->begin(), j = b->begin(); i != a->end(); ++i, ++j) {
    if (i->first != j->first || !ObjectsEqual(i->second, j->second)) return false;
  }
  return true;
}

uint64_t HashOfSafeParameters(const std::optional<ZRBSafeParameters>& parameters) {
  if (!parameters) return 0;
  uint64_t hash = parameters->size();
  for (const auto& [position, parameter] : *parameters) {
    hash = hash * 31 + position + HashOfObject(parameter);
  }
  return hash;
}

}  // namespace

bool ZRBLogMessage::isEqual(const ZRBLogMessage* other) const {
  if (other == this) return true;
  if (other == nullptr) return false;
  return level_ == other->level_ && line_ == other->line_ && format_ == other->format_ &&
         formatted_string_ == other->formatted_string_ && file_ == other->file_ &&
         function_ == other->function_ && thread_name_ == other->thread_name_ &&
         dispatch_queue_label_ == other->dispatch_queue_label_ &&
         ObjectsEqual(callstack_, other->callstack_) &&
         SafeParametersEqual(safe_parameters_, other->safe_parameters_) &&
         ObjectsEqual(log_metadata_, other->log_metadata_);
}

uint64_t ZRBLogMessage::hash() const {
  return level_ + line_ + HashOf(format_) + HashOf(formatted_string_) + HashOf(file_) +
         HashOf(function_) + HashOf(thread_name_) + HashOf(dispatch_queue_label_) +
         HashOfObject(callstack_) + HashOfSafeParameters(safe_parameters_) +
         HashOfObject(log_metadata_);
}

std::optional<std::string> ZRBCurrentDispatchQueueLabel() {
  const char* label = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
  if (label == nullptr) return std::nullopt;
  return std::string(label);
}
