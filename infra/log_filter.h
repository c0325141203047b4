// Filters of internal log reports. The multiplexer asks its filters, and each sink's own
// filter, whether a message may pass; these are the six built-in ones:
//
//   auto faults = ZRBLogMininumLevelFilter::initWithMinimumLevel(4);
//   auto flagStore = ZRBLogComponentFilter::initWithComponent("ZQLFlatFileMarovic");
//   auto either = ZRBLogLogicalOrFilter::initWithFilters({faults, flagStore});
//
// An And or Or filter of no members refuses every message. Filters are immutable and may be
// shared between threads.
#ifndef INFRA_LOG_FILTER_H_
#define INFRA_LOG_FILTER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "infra/log_message.h"

class ZRBLogFilter {
 public:
  virtual ~ZRBLogFilter() = default;
  virtual bool allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) = 0;
};

class ZRBLogNoFilter : public ZRBLogFilter {
 public:
  static std::shared_ptr<ZRBLogNoFilter> init() { return std::make_shared<ZRBLogNoFilter>(); }
  bool allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) override { return true; }
};

class ZRBLogDropAllFilter : public ZRBLogFilter {
 public:
  static std::shared_ptr<ZRBLogDropAllFilter> init() {
    return std::make_shared<ZRBLogDropAllFilter>();
  }
  bool allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) override { return false; }
};

// Allows messages whose level is at least the minimum.
class ZRBLogMininumLevelFilter : public ZRBLogFilter {
 public:
  static std::shared_ptr<ZRBLogMininumLevelFilter> initWithMinimumLevel(uint64_t minimumLevel) {
    return std::make_shared<ZRBLogMininumLevelFilter>(minimumLevel);
  }
  explicit ZRBLogMininumLevelFilter(uint64_t minimumLevel) : minimum_level_(minimumLevel) {}
  uint64_t minimumLevel() const { return minimum_level_; }
  bool allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) override;

 private:
  uint64_t minimum_level_;
};

// Allows messages whose metadata names the component; refuses those without one.
class ZRBLogComponentFilter : public ZRBLogFilter {
 public:
  static std::shared_ptr<ZRBLogComponentFilter> initWithComponent(std::string component) {
    return std::make_shared<ZRBLogComponentFilter>(std::move(component));
  }
  explicit ZRBLogComponentFilter(std::string component) : component_(std::move(component)) {}
  bool allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) override;

 private:
  std::string component_;
};

using ZRBLogFilters = std::vector<std::shared_ptr<ZRBLogFilter>>;

// Asks its members in order; the first that allows decides.
class ZRBLogLogicalOrFilter : public ZRBLogFilter {
 public:
  static std::shared_ptr<ZRBLogLogicalOrFilter> initWithFilters(ZRBLogFilters filters) {
    return std::make_shared<ZRBLogLogicalOrFilter>(std::move(filters));
  }
  explicit ZRBLogLogicalOrFilter(ZRBLogFilters filters) : filters_(std::move(filters)) {}
  bool allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) override;

 private:
  ZRBLogFilters filters_;
};

// Asks its members in order; the first that refuses decides. No members refuse.
class ZRBLogLogicalAndFilter : public ZRBLogFilter {
 public:
  static std::shared_ptr<ZRBLogLogicalAndFilter> initWithFilters(ZRBLogFilters filters) {
    return std::make_shared<ZRBLogLogicalAndFilter>(std::move(filters));
  }
  explicit ZRBLogLogicalAndFilter(ZRBLogFilters filters) : filters_(std::move(filters)) {}
  bool allowLogMessage(const std::shared_ptr<ZRBLogMessage>& message) override;

 private:
  ZRBLogFilters filters_;
};

#endif  // INFRA_LOG_FILTER_H_
