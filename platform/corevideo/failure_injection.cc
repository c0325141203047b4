#include "platform/corevideo/failure_injection.h"

#include <mutex>

namespace platform::corevideo {
namespace {

constexpr int kOperations = 4;

struct Injection {
  int count = 0;
  CVReturn code = kCVReturnSuccess;
};

struct Injections {
  std::mutex mutex;
  Injection by_operation[kOperations];
};

Injections& GetInjections() {
  static Injections* injections = new Injections;
  return *injections;
}

}  // namespace

void InjectFailures(Operation operation, int count, CVReturn code) {
  Injections& injections = GetInjections();
  std::lock_guard<std::mutex> lock(injections.mutex);
  injections.by_operation[static_cast<int>(operation)] = {count > 0 ? count : 0, code};
}

void ClearInjectedFailures() {
  Injections& injections = GetInjections();
  std::lock_guard<std::mutex> lock(injections.mutex);
  for (Injection& injection : injections.by_operation) injection = {};
}

CVReturn TakeInjectedFailure(Operation operation) {
  Injections& injections = GetInjections();
  std::lock_guard<std::mutex> lock(injections.mutex);
  Injection& injection = injections.by_operation[static_cast<int>(operation)];
  if (injection.count == 0) return kCVReturnSuccess;
  --injection.count;
  return injection.code;
}

}  // namespace platform::corevideo
