#include "graph/calculators/callback_packet_target.h"

#include <mutex>
#include <set>
#include <utility>

#include "base/logging.h"

namespace kaldren {
namespace {

using Target = std::pair<int, const void*>;

struct Targets {
  std::mutex mutex;
  std::set<Target> registered;
};

// Lives for the process: registrations are never undone.
Targets& GetTargets() {
  static Targets* const targets = new Targets;
  return *targets;
}

}  // namespace

void RegisterCallbackPacketTarget(pellumo::CallbackPacketCalculatorOptions::PointerType type,
                                  const void* target) {
  CHECK(target != nullptr);
  Targets& targets = GetTargets();
  std::lock_guard<std::mutex> lock(targets.mutex);
  targets.registered.emplace(type, target);
}

bool IsRegisteredCallbackPacketTarget(
    pellumo::CallbackPacketCalculatorOptions::PointerType type, const void* target) {
  Targets& targets = GetTargets();
  std::lock_guard<std::mutex> lock(targets.mutex);
  return targets.registered.count({type, target}) > 0;
}

}  // namespace kaldren
