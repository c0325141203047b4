#include "platform/quartzcore/media_time.h"

#include <time.h>

#include <memory>
#include <mutex>

namespace {

std::mutex& SourceMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::shared_ptr<std::function<double()>>& Source() {
  static auto* source = new std::shared_ptr<std::function<double()>>;
  return *source;
}

}  // namespace

double CACurrentMediaTime() {
  std::shared_ptr<std::function<double()>> source;
  {
    std::lock_guard<std::mutex> lock(SourceMutex());
    source = Source();
  }
  if (source != nullptr) return (*source)();
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

namespace platform::quartzcore {

void SetMediaTimeSource(std::function<double()> source) {
  std::lock_guard<std::mutex> lock(SourceMutex());
  Source() = source ? std::make_shared<std::function<double()>>(std::move(source)) : nullptr;
}

}  // namespace platform::quartzcore
