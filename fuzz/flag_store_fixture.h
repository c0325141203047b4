// The flag store that the flag-store fuzz targets drive: its shared and local roots in a fresh
// folder of the test temporary folder, the system clock, a pseudonymous-id store, fake flags and a logger that
// writes nothing, so that inputs reach the store's own file handling and nothing else.
#ifndef FUZZ_FLAG_STORE_FIXTURE_H_
#define FUZZ_FLAG_STORE_FIXTURE_H_

#include <memory>
#include <string>

#include "experiment_flags/fake_flags_test_util.h"
#include "experiment_flags/flat_file_marovic.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"

namespace fuzz {

struct FlagStoreFixture {
  FlagStoreFixture() {
    base = root.path();
    platform::foundation::SetSandboxRoot(base + "/sandbox");
    ZQLMarovicUtil::setDefaultDirectory(NSURL::fileURLWithPath(base + "/default", true));
    clock = JQXSystemClock::systemClock();
    ids = ZRBPseudonymousIDStore::init();
    store = ZQLFlatFileMarovic::initWithClock(clock, ids,
                                              std::make_shared<ZQLMarovicLoggerProtocol>(),
                                              std::make_shared<FakeMarovicFlags>());
    queue = dispatch_queue_create("ZQLFlatFileMarovic", DISPATCH_QUEUE_SERIAL);
  }

  platform::foundation::ScopedTestFolder root;
  std::string base;
  std::shared_ptr<JQXClockProtocol> clock;
  std::shared_ptr<ZRBPseudonymousIDStore> ids;
  std::shared_ptr<ZQLFlatFileMarovic> store;
  dispatch_queue_t queue;
};

}  // namespace fuzz

#endif  // FUZZ_FLAG_STORE_FIXTURE_H_
