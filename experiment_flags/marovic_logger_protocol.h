// How the flag store reports its operations: one usage-log event per operation and named
// counters.
//
// The flag store sits below usage logging and does not know how events are written. Usage
// logging implements this class with `ZQLMarovicLogger` (usage_log/marovic_logger.h) and installs
// a maker with `setMaker` from a static initialiser, so the shared store of every binary that
// links usage logging logs its operations. This class itself is the logger that drops
// everything, which is what a store gets when no maker is installed:
//
//   auto logger = ZQLMarovicLoggerProtocol::loggerWithClock(clock, pseudonymousIDStore);
//   logger->increaseCounterWithName("FlatFile-Commit");
#ifndef EXPERIMENT_FLAGS_MAROVIC_LOGGER_PROTOCOL_H_
#define EXPERIMENT_FLAGS_MAROVIC_LOGGER_PROTOCOL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "experiment_flags/flag_store_log_event.pb.h"
#include "experiment_flags/marovic_flags.h"
#include "usage_base/pseudonymous_id_store.h"
#include "usage_base/system_clock.h"

// The log sources of the store's operation events and of its counter sets.
inline constexpr int64_t kZQLMarovicOperationLogSource = 69;
inline constexpr int64_t kZQLMarovicCountersLogSource = 70;

class ZQLMarovicLoggerProtocol {
 public:
  using Maker = std::function<std::shared_ptr<ZQLMarovicLoggerProtocol>(
      std::shared_ptr<JQXClockProtocol> clock,
      std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore)>;

  virtual ~ZQLMarovicLoggerProtocol() = default;

  virtual void logOperationEventWithExtension(std::shared_ptr<const ZQLMarovicLogEvent> event,
                                              int32_t eventCode) {}
  void increaseCounterWithName(const std::string& name) { increaseCounterWithName(name, 0, 1); }
  virtual void increaseCounterWithName(const std::string& name, int64_t bucket, int64_t amount) {}
  virtual void flushCountersToLogger() {}

  // The flags whose switches the logger reads; a store hands its own flags to a logger that has
  // none.
  virtual std::shared_ptr<ZQLMarovicFlagsProtocol> flags() const { return nullptr; }
  virtual void setFlags(std::shared_ptr<ZQLMarovicFlagsProtocol> flags) {}

  // The logger of a store: made by the installed maker, else one that drops everything.
  static std::shared_ptr<ZQLMarovicLoggerProtocol> loggerWithClock(
      std::shared_ptr<JQXClockProtocol> clock,
      std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore);
  // Installs the maker behind `loggerWithClock` and returns the one installed before (empty when
  // none), so that a test can put it back.
  static Maker setMaker(Maker maker);
};

#endif  // EXPERIMENT_FLAGS_MAROVIC_LOGGER_PROTOCOL_H_
