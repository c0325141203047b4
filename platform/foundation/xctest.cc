#include "platform/foundation/xctest.h"

#include <atomic>

namespace platform::foundation {
namespace {
std::atomic<bool> xctest_loaded{false};
}  // namespace

void SetXCTestLoaded(bool loaded) { xctest_loaded.store(loaded); }
bool IsXCTestLoaded() { return xctest_loaded.load(); }

}  // namespace platform::foundation
