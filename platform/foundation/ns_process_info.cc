#include "platform/foundation/ns_process_info.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <random>

std::shared_ptr<NSProcessInfo> NSProcessInfo::processInfo() {
  static const auto* info = new std::shared_ptr<NSProcessInfo>(std::make_shared<NSProcessInfo>());
  return *info;
}

NSProcessInfo::NSProcessInfo() : process_name_(program_invocation_short_name) {}

int NSProcessInfo::processIdentifier() const { return static_cast<int>(getpid()); }

std::string NSProcessInfo::globallyUniqueString() const {
  // One generator per thread, seeded from the system's entropy source.
  thread_local std::mt19937_64 generator([] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }());
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char text[96];
  snprintf(text, sizeof(text), "%016llX%016llX-%d-%llX",
           static_cast<unsigned long long>(generator()),
           static_cast<unsigned long long>(generator()), processIdentifier(),
           static_cast<unsigned long long>(now.tv_sec) * 1000000000ULL +
               static_cast<unsigned long long>(now.tv_nsec));
  return text;
}
