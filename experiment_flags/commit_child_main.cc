// A process that commits one package of a flag store whose roots it is given.
//
//   commit_child <default directory> <sandbox root> loop          commits until killed, printing
//                                                                  the count after each commit
//   commit_child <default directory> <sandbox root> limit <bytes>  one commit under a file-size
//                                                                  limit; prints the error code
//                                                                  the committer got (0: none)
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>

#include "experiment_flags/flat_file_marovic.h"
#include "platform/foundation/sandbox.h"
#include "experiment_flags/fake_flags_test_util.h"

int main(int argc, char** argv) {
  if (argc < 4) return 3;
  ZQLMarovicUtil::setDefaultDirectory(NSURL::fileURLWithPath(argv[1], true));
  platform::foundation::SetSandboxRoot(argv[2]);
  const std::string mode = argv[3];
  if (mode == "limit") {
    if (argc < 5) return 3;
    signal(SIGXFSZ, SIG_IGN);
    const rlim_t limit = std::strtoull(argv[4], nullptr, 10);
    struct rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 4;
  }
  auto clock = JQXSystemClock::systemClock();
  auto ids = ZRBPseudonymousIDStore::init();
  auto flags = std::make_shared<FakeMarovicFlags>();
  auto logger = std::make_shared<ZQLMarovicLoggerProtocol>();  // writes nothing
  auto store = ZQLFlatFileMarovic::initWithClock(clock, ids, logger, flags);

  for (long count = 1;; ++count) {
    std::promise<long> done;
    store->commitConfiguration("p", "", std::nullopt, [&](auto, std::shared_ptr<NSError> error) {
      done.set_value(error ? error->code() : 0);
      return true;
    });
    const long code = done.get_future().get();
    if (mode == "limit") {
      std::printf("%ld\n", code);
      return 0;
    }
    std::printf("%ld\n", count);
    std::fflush(stdout);
  }
}
