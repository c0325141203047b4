// A process that runs one sync of a flag store whose roots it is given, after a barrier.
//
//   sync_child <default directory> <sandbox root> <service base URL> <barrier read fd>
//
// Exit status: 0 a request was made, 1 the lock was held elsewhere (-11), 2 no request for
// another reason.
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <string>

#include "experiment_flags/dunsfell_syncer.h"
#include "experiment_flags/experiment_tokens.h"
#include "experiment_flags/marovic_error.h"
#include "platform/fetcher/http_fetcher.h"
#include "platform/foundation/sandbox.h"

namespace {

// The system clock with the uptime every process reads alike (CLOCK_BOOTTIME). The system
// clock's own uptime is the wall time less a boot time that each process works out for itself,
// which can differ by a millisecond between two processes started together, enough to make a
// fresh stamp of one look like a stamp from before a restart to the other.
class BootClock : public JQXSystemClock {
 public:
  int64_t uptimeMilliseconds() override {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 3;
  ZQLMarovicUtil::setDefaultDirectory(NSURL::fileURLWithPath(argv[1], true));
  platform::foundation::SetSandboxRoot(argv[2]);
  platform::fetcher::SetHostMap({{kZQLDunsfellServiceHost, argv[3]}});
  char byte;
  (void)read(std::atoi(argv[4]), &byte, 1);

  auto queue = dispatch_queue_create("ZQLFlatFileMarovic", DISPATCH_QUEUE_SERIAL);
  auto syncer =
      ZQLDunsfellSyncer::initWithAccounts({}, nullptr, false, std::make_shared<BootClock>(),
                                          ZRBPseudonymousIDStore::init(), nullptr, false, queue);
  std::promise<int> result;
  dispatch_async(queue, [&] {
    syncer->syncWithCallback([&](bool attempted, std::shared_ptr<NSError> error, bool, auto) {
      if (attempted) return result.set_value(0);
      result.set_value(error && error->code() == ZQLMarovicErrorCodeLockHeldElsewhere ? 1 : 2);
    });
  });
  return result.get_future().get();
}
