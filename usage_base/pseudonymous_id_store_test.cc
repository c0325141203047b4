#include "usage_base/pseudonymous_id_store.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/ns_user_defaults.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/utility/base_logger.h"
#include "usage_base/app_groups.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using platform::foundation::ScopedTestFolder;
using platform::foundation::SetAppGroupContainer;

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A sandbox and an app-group container of the maker's common group for each test.
class PseudonymousIDStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    platform::foundation::ResetUserDefaults();
    GiveContainer();
  }
  void TearDown() override {
    SetAppGroupContainer(ZRBAppGroups::sharedAppGroupName(), "");
    ZRBPseudonymousIDStore::disableForTest();
    platform::foundation::ResetUserDefaults();
    platform::foundation::SetSandboxRoot("");
  }

  void GiveContainer() {
    NSFileManager::defaultManager()->createDirectoryAtPath(folder_.Path("group"), true, {},
                                                           nullptr);
    SetAppGroupContainer(ZRBAppGroups::sharedAppGroupName(), folder_.Path("group"));
  }
  std::string FilePath() const { return folder_.Path("group/ZRBPseudonymousID/value.txt"); }

  ScopedTestFolder folder_;
  std::shared_ptr<ZRBPseudonymousIDStore> store_ = ZRBPseudonymousIDStore::init();
};

TEST_F(PseudonymousIDStoreTest, StoresValidValuesAsRawBytesAndRefusesTheRest) {
  struct Case {
    std::string value;
    bool valid;
  };
  const Case cases[] = {
      {"abc", true},
      {"!~AZaz09-_.:/?=&%", true},
      {"\"abc\"", true},  // kept with its quotes
      {"\"\"", true},
      {"\"", false},
      {"\"abc", false},
      {"\"a\"b\"", false},
      {"a b", false},
      {"a,b", false},
      {"a;b", false},
      {"a\\b", false},
      {"\"a b\"", false},
      {"a\x7f", false},
      {"a\tb", false},
      {"caf\xc3\xa9", false},
      {"", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(ZRBPseudonymousIDStore::isValidPseudonymousID(c.value), c.valid);
    store_->setPseudonymousIDWithoutCheckingEnabledStatus("prior");
    platform::utility::BaseLoggerCapture capture;
    store_->setPseudonymousIDWithoutCheckingEnabledStatus(c.value);
    if (c.valid) {
      EXPECT_EQ(ReadFile(FilePath()), c.value);
      EXPECT_THAT(capture.messages(), IsEmpty());
      EXPECT_EQ(store_->pseudonymousIDWithoutCheckingEnabledStatus(),
                c.value.empty() ? std::nullopt : std::optional<std::string>(c.value));
    } else {
      EXPECT_EQ(ReadFile(FilePath()), "prior");
      ASSERT_EQ(capture.lines().size(), 1u);
      EXPECT_EQ(capture.lines()[0].level, platform::utility::kLogLevelError);
      EXPECT_EQ(capture.lines()[0].function,
                "ZRBPseudonymousIDStore::setPseudonymousIDWithoutCheckingEnabledStatus");
      EXPECT_EQ(capture.lines()[0].message, "Skipped setting invalid pseudonymous ID: " + c.value);
    }
  }
}

class CountingObserver : public ZRBPseudonymousIDObserver {
 public:
  void pseudonymousIDDidReset(const std::shared_ptr<ZRBPseudonymousIDStore>& store) override {
    ++resets;
    if (on_reset) on_reset(store);
  }
  int resets = 0;
  std::function<void(const std::shared_ptr<ZRBPseudonymousIDStore>&)> on_reset;
};

TEST_F(PseudonymousIDStoreTest, ResetTellsEachLiveObserverOnce) {
  auto calling_back = std::make_shared<CountingObserver>();
  auto plain = std::make_shared<CountingObserver>();
  auto released = std::make_shared<CountingObserver>();
  std::optional<std::string> read_during_reset = "not called";
  calling_back->on_reset = [&](const std::shared_ptr<ZRBPseudonymousIDStore>& store) {
    EXPECT_EQ(store, store_);
    read_during_reset = store->pseudonymousIDWithoutCheckingEnabledStatus();
    store->setPseudonymousIDWithoutCheckingEnabledStatus("after-reset");
    store->addObserver(std::make_shared<CountingObserver>());
  };
  store_->addObserver(calling_back);
  store_->addObserver(plain);
  store_->addObserver(plain);
  store_->addObserver(released);
  std::weak_ptr<CountingObserver> released_weak = released;
  released.reset();

  store_->setPseudonymousIDWithoutCheckingEnabledStatus("abc");
  EXPECT_EQ(plain->resets, 0) << "a non-empty value notifies nobody";
  store_->setPseudonymousIDWithoutCheckingEnabledStatus(std::nullopt);
  EXPECT_EQ(calling_back->resets, 1);
  EXPECT_EQ(plain->resets, 1);
  EXPECT_TRUE(released_weak.expired());
  EXPECT_EQ(read_during_reset, std::nullopt);
  EXPECT_EQ(store_->pseudonymousIDWithoutCheckingEnabledStatus(), "after-reset");

  store_->removeObserver(calling_back);
  store_->setPseudonymousIDWithoutCheckingEnabledStatus("");
  EXPECT_EQ(calling_back->resets, 1);
  EXPECT_EQ(plain->resets, 2);
  EXPECT_EQ(ReadFile(FilePath()), "");
}

TEST_F(PseudonymousIDStoreTest, CookieExchangeOnlyWhileEnabled) {
  const std::string url = "https://log.example.com/log";
  auto two_cookies = NSHTTPURLResponse::initWithURL(
      url, 200, {{"Set-Cookie", "NID=first; Path=/; HttpOnly, NID=second; Path=/"}});
  auto request = NSMutableURLRequest::requestWithURL(url);

  // Off: nothing is sent or taken, but the unchecked forms work.
  store_->updateRequestWithPseudonymousID(*request);
  EXPECT_EQ(request->valueForHTTPHeaderField("Cookie"), std::nullopt);
  EXPECT_EQ(store_->setPseudonymousIDFromResponse(*two_cookies), std::nullopt);
  store_->setPseudonymousID("ignored");
  EXPECT_EQ(store_->pseudonymousIDWithoutCheckingEnabledStatus(), std::nullopt);
  store_->setPseudonymousIDWithoutCheckingEnabledStatus("kept");
  EXPECT_EQ(store_->pseudonymousID(), std::nullopt);

  ZRBPseudonymousIDStore::enable();
  store_->setPseudonymousID("");
  store_->updateRequestWithPseudonymousID(*request);
  EXPECT_EQ(request->valueForHTTPHeaderField("Cookie"), "NID=");

  EXPECT_EQ(store_->setPseudonymousIDFromResponse(*two_cookies), "second");
  EXPECT_EQ(ReadFile(FilePath()), "second");
  store_->updateRequestWithPseudonymousID(*request);
  EXPECT_EQ(request->valueForHTTPHeaderField("Cookie"), "NID=second");

  // An invalid cookie value is not stored; other fields are not cookies.
  {
    platform::utility::BaseLoggerCapture capture;
    EXPECT_EQ(store_->setPseudonymousIDFromResponse(*NSHTTPURLResponse::initWithURL(
                  url, 200, {{"Set-Cookie", "NID=a\\b"}, {"X", "NID=x"}})),
              "second");
    EXPECT_THAT(capture.messages(),
                ElementsAre("Skipped setting invalid pseudonymous ID: a\\b"));
  }

  // Another app wrote a value that must not go into a header.
  WriteFile(FilePath(), "evil\r\nX-Injected: 1");
  auto fresh = NSMutableURLRequest::requestWithURL(url);
  platform::utility::BaseLoggerCapture capture;
  store_->updateRequestWithPseudonymousID(*fresh);
  EXPECT_EQ(fresh->valueForHTTPHeaderField("Cookie"), std::nullopt);
  EXPECT_THAT(capture.messages(),
              Contains("Skipped sending invalid pseudonymous ID: evil\r\nX-Injected: 1"));
}

TEST_F(PseudonymousIDStoreTest, NewFileTakesTheSeedUnchecked) {
  zrb_brenvikCommonDefaults()->setObject("seed;not valid", kZRBPseudonymousIDSeedKey);
  EXPECT_TRUE(store_->initializeStorage());
  EXPECT_EQ(ReadFile(FilePath()), "seed;not valid");
  EXPECT_EQ(store_->pseudonymousIDWithoutCheckingEnabledStatus(), "seed;not valid");
  // The new folder and file are excluded from backup.
  for (const std::string& path : {folder_.Path("group/ZRBPseudonymousID"), FilePath()}) {
    std::any excluded;
    ASSERT_TRUE(NSURL::fileURLWithPath(path)->getResourceValue(
        &excluded, NSURLIsExcludedFromBackupKey, nullptr));
    EXPECT_TRUE(std::any_cast<bool>(excluded)) << path;
  }

  // An existing file is never seeded again.
  auto other = ZRBPseudonymousIDStore::init();
  zrb_brenvikCommonDefaults()->setObject("other", kZRBPseudonymousIDSeedKey);
  other->setPseudonymousIDWithoutCheckingEnabledStatus("abc");
  EXPECT_EQ(ReadFile(FilePath()), "abc");
}

TEST_F(PseudonymousIDStoreTest, WithoutTheEntitlementNothingIsStoredUntilItArrives) {
  SetAppGroupContainer(ZRBAppGroups::sharedAppGroupName(), "");
  {
    platform::utility::BaseLoggerCapture capture;
    EXPECT_EQ(store_->pseudonymousIDURL(), nullptr);
    store_->setPseudonymousIDWithoutCheckingEnabledStatus("abc");
    EXPECT_EQ(store_->pseudonymousIDWithoutCheckingEnabledStatus(), std::nullopt);
    EXPECT_THAT(capture.messages(), ElementsAre("Shared App Groups unavailable",
                                                "Shared App Groups unavailable"));
  }
  GiveContainer();
  store_->setPseudonymousIDWithoutCheckingEnabledStatus("abc");
  EXPECT_EQ(store_->pseudonymousIDWithoutCheckingEnabledStatus(), "abc");
}

TEST_F(PseudonymousIDStoreTest, StorageFailuresAreLoggedAndRetried) {
  // A file where the folder should be.
  WriteFile(folder_.Path("group/ZRBPseudonymousID"), "");
  platform::utility::BaseLoggerCapture capture;
  EXPECT_FALSE(store_->initializeStorage());
  EXPECT_THAT(capture.messages(),
              ElementsAre(::testing::StartsWith("Could not create Pseudonymous ID Directory: ")));
  unlink(folder_.Path("group/ZRBPseudonymousID").c_str());
  EXPECT_TRUE(store_->initializeStorage());
}

TEST_F(PseudonymousIDStoreTest, ThreadsWritingReadingAndObservingShareOneStore) {
  auto observer = std::make_shared<CountingObserver>();
  std::atomic<int> resets{0};
  observer->on_reset = [&](const std::shared_ptr<ZRBPseudonymousIDStore>& store) {
    ++resets;
    store->pseudonymousIDWithoutCheckingEnabledStatus();
  };
  store_->addObserver(observer);
  const std::set<std::optional<std::string>> known = {std::nullopt, "t0", "t1", "t2", "t3"};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        store_->setPseudonymousIDWithoutCheckingEnabledStatus(i % 5 == 0 ? std::string()
                                                                          : "t" + std::to_string(t));
        EXPECT_TRUE(known.count(store_->pseudonymousIDWithoutCheckingEnabledStatus()));
        if (i % 10 == 0) store_->addObserver(std::make_shared<CountingObserver>());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(resets.load(), 4 * 5);
}

TEST_F(PseudonymousIDStoreTest, KilledWriterLeavesOneWholeValue) {
  const std::string old_value(3000, 'o');
  const std::string first(3000, 'a');
  const std::string second(5000, 'b');
  store_->setPseudonymousIDWithoutCheckingEnabledStatus(old_value);
  for (int round = 0; round < 40; ++round) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[0]);
      auto writer = ZRBPseudonymousIDStore::init();
      for (long i = 0;; ++i) {
        writer->setPseudonymousIDWithoutCheckingEnabledStatus(i % 2 == 0 ? first : second);
        if (i == 0 && write(ready[1], "x", 1) != 1) _exit(1);
      }
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    usleep((round * 397) % 4000);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    std::string stored = ReadFile(FilePath());
    ASSERT_TRUE(stored == first || stored == second) << "round " << round << ": " << stored.size()
                                                     << " bytes";
    EXPECT_EQ(store_->pseudonymousIDWithoutCheckingEnabledStatus(), stored);
  }
}

TEST(PseudonymousIDStoreDeathTest, DefaultDirectoryComesBeforeTheSharedInstance) {
  ScopedTestFolder folder;
  EXPECT_DEATH(
      {
        ZRBPseudonymousIDStore::setDefaultDirectory(NSURL::fileURLWithPath(folder.path(), true));
        ZRBPseudonymousIDStore::sharedInstance()->setPseudonymousIDWithoutCheckingEnabledStatus(
            "abc");
        if (ReadFile(folder.Path("ZRBPseudonymousID/value.txt")) != "abc") _exit(0);
        auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
        {
          platform::foundation::ScopedAssertionHandler scoped(handler);
          ZRBPseudonymousIDStore::setDefaultDirectory(NSURL::fileURLWithPath("/elsewhere", true));
        }
        if (handler->failures().size() != 1 ||
            handler->failures()[0].name != "ZRBPseudonymousIDStore::setDefaultDirectory" ||
            ZRBPseudonymousIDStore::sharedInstance()->pseudonymousIDURL()->path() !=
                folder.Path("ZRBPseudonymousID/value.txt")) {
          _exit(0);
        }
        ZRBPseudonymousIDStore::setDefaultDirectory(nullptr);  // default handler: ends here
      },
      "Assertion failure in ZRBPseudonymousIDStore::setDefaultDirectory, "
      "usage_base/pseudonymous_id_store.cc:[0-9]+: setDefaultDirectory should be called before "
      "sharedInstance is initialized\\.");
}

TEST(ZRBAppGroupsTest, ProductionThenEnterpriseThenProduction) {
  ScopedTestFolder folder;
  struct Case {
    bool production;
    bool enterprise;
    const char* expected;
  };
  const Case cases[] = {
      {true, true, "group.test.prod"},
      {true, false, "group.test.prod"},
      {false, true, "group.test.prod.enterprise"},
      {false, false, "group.test.prod"},
  };
  for (const Case& c : cases) {
    SetAppGroupContainer("group.test.prod", c.production ? folder.path() : "");
    SetAppGroupContainer("group.test.prod.enterprise", c.enterprise ? folder.path() : "");
    EXPECT_EQ(ZRBAppGroups::determineAppGroupWithProdAppGroup("group.test.prod",
                                                              "group.test.prod.enterprise"),
              c.expected)
        << c.production << c.enterprise;
  }
  SetAppGroupContainer("group.test.prod", "");
  SetAppGroupContainer("group.test.prod.enterprise", "");
}

TEST(ZRBAppGroupsDeathTest, SharedNamesAreDecidedOnceFromTheContainersAtFirstUse) {
  // A fresh process: this one may have decided the names already.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScopedTestFolder folder;
  EXPECT_EXIT(
      {
        SetAppGroupContainer(std::string(kZRBSharedAppGroup) + ".enterprise", folder.path());
        bool ok = ZRBAppGroups::sharedAppGroupName() == "group.com.brenvik.common.enterprise" &&
                  zrb_brenvikSharedAppGroupContainer()->path() == folder.path() &&
                  ZRBAppGroups::sharedQuenbyAppGroupName() == "group.com.brenvik.quenby" &&
                  zrb_brenvikSharedQuenbyAppGroupContainer() == nullptr;
        SetAppGroupContainer(kZRBSharedAppGroup, folder.path());
        ok = ok && ZRBAppGroups::sharedAppGroupName() == "group.com.brenvik.common.enterprise";
        _exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
