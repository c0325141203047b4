#include "experiment_flags/marovic_logger_protocol.h"

#include <mutex>
#include <utility>

namespace {

std::mutex& MakerMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}

ZQLMarovicLoggerProtocol::Maker& MakerSlot() {
  static auto* const maker = new ZQLMarovicLoggerProtocol::Maker;
  return *maker;
}

}  // namespace

std::shared_ptr<ZQLMarovicLoggerProtocol> ZQLMarovicLoggerProtocol::loggerWithClock(
    std::shared_ptr<JQXClockProtocol> clock,
    std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousIDStore) {
  Maker maker;
  {
    std::lock_guard<std::mutex> lock(MakerMutex());
    maker = MakerSlot();
  }
  if (!maker) return std::make_shared<ZQLMarovicLoggerProtocol>();
  return maker(std::move(clock), std::move(pseudonymousIDStore));
}

ZQLMarovicLoggerProtocol::Maker ZQLMarovicLoggerProtocol::setMaker(Maker maker) {
  std::lock_guard<std::mutex> lock(MakerMutex());
  std::swap(MakerSlot(), maker);
  return maker;
}
