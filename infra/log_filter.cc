#include "infra/log_filter.h"

bool ZRBLogMininumLevelFilter::allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) {
  return message != nullptr && message->level() >= minimum_level_;
}

bool ZRBLogComponentFilter::allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) {
  if (message == nullptr || message->logMetadata() == nullptr) return false;
  auto component = message->logMetadata()->component();
  return component.has_value() && *component == component_;
}

bool ZRBLogLogicalOrFilter::allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) {
  for (const auto& filter : filters_) {
    if (filter != nullptr && filter->allowLogMessage(message)) return true;
  }
  return false;
}

bool ZRBLogLogicalAndFilter::allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) {
  if (filters_.empty()) return false;
  for (const auto& filter : filters_) {
    if (filter == nullptr || !filter->allowLogMessage(message)) return false;
  }
  return true;
}
