#include "usage_log/trassen_uploader.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/local_http_server.h"
#include "platform/uikit/ui_application.h"
#include "platform/utility/base_logger.h"
#include "usage_log/uploader_test_util.h"

extern char** environ;

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr int64_t kMinute = 60 * 1000;

TEST_F(UploaderTest, ARunSendsEveryFinishedFileAndDeletesWhatWasAccepted) {
  std::string folder = ContextFolder("0", "a", Context(700));
  std::string file = WriteLog(folder, "1", "\x02\x08\x01");
  auto uploader = Make();
  UploadOutcome outcome = Upload(uploader);
  EXPECT_TRUE(outcome.success);
  EXPECT_EQ(outcome.error, nullptr);
  EXPECT_FALSE(Exists(file));
  EXPECT_THAT(Bodies("/log/batch"), SizeIs(1));
  // The run refreshed the settings and, once per period, the flag store's registration.
  EXPECT_EQ(fake_->updates.load(), 1);
  EXPECT_THAT(marovic_->sources, ElementsAre(103));
  EXPECT_THAT(marovic_->versions, ElementsAre(1));
  EXPECT_EQ(marovic_->syncs.load(), 1);
  Upload(uploader);
  EXPECT_EQ(marovic_->syncs.load(), 1);
}

// Which calls become runs, by the state file's times and the period of the call.
TEST_F(UploaderTest, RunsStartOnlyWhenBackOffAndPeriodAllow) {
  const int64_t now = clock_->currentTimeMilliseconds();
  struct Case {
    const char* name;
    int64_t next_upload;        // state: the service's back-off
    int64_t last_default;       // state: last upload of a default-tier context
    bool foreground;
    bool fast_tier_file;        // an eligible file waits in tier folder "2"
    bool collect_for_debug;
    bool runs;
  } cases[] = {
      {"no state", 0, 0, false, false, false, true},
      {"15 min passed", 0, now - 15 * kMinute - 1, false, false, false, true},
      {"15 min exactly", 0, now - 15 * kMinute, false, false, false, false},
      {"foreground waits 4 h", 0, now - 15 * kMinute - 1, true, false, false, false},
      {"4 h passed in the foreground", 0, now - 240 * kMinute - 1, true, false, false, true},
      {"fast tier does not wait", 0, now - kMinute, false, true, false, true},
      {"back-off holds", now + 1, 0, false, true, false, false},
      {"back-off over", now, 0, false, false, false, true},
      {"collect for debug ignores back-off", now + 1, now, false, false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NSFileManager::defaultManager()->removeItemAtPath(dir_->path(), nullptr);
    std::string file = WriteLog(ContextFolder("0", "a", Context(700, 0)), "1", "\x02\x08\x01");
    if (c.fast_tier_file) WriteLog(ContextFolder("2", "f", Context(701, 2)), "1", "\x02\x08\x02");
    JQXUploaderState state;
    if (c.next_upload != 0) state.set_next_upload_time_milliseconds(c.next_upload);
    if (c.last_default != 0) state.set_last_default_upload_time_milliseconds(c.last_default);
    if (c.collect_for_debug) {
      state.set_collect_for_debug_start_time_milliseconds(now - 1);
      state.set_collect_for_debug_expiry_time_milliseconds(now + kMinute);
    }
    WriteState(state);
    auto uploader = Make();
    if (c.collect_for_debug) dispatch_sync(uploader->queue(), [&] { uploader->checkCollectForDebug(); });
    UploadOutcome outcome = Upload(uploader, c.foreground);
    EXPECT_EQ(outcome.success, c.runs);
    EXPECT_EQ(outcome.error, nullptr);
    EXPECT_EQ(Exists(file), !c.runs);
    if (c.collect_for_debug) dispatch_sync(uploader->queue(), [&] {
      uploader->stopCollectForDebugPeriodicUpload();
    });
  }
}

TEST_F(UploaderTest, EligibilityByAgeAndName) {
  std::string folder = ContextFolder("0", "a", Context(700));
  std::string young_tmp = WriteLog(folder, "young.tmp", "\x02\x08\x01");
  std::string old = WriteLog(folder, "old", "\x02\x08\x01");
  const int64_t created = CreationMs(old);
  auto uploader = Make();
  auto eligible = [&](const std::string& path, int64_t now) {
    clock_->set(now);
    std::shared_ptr<JQXLogFile> file;
    dispatch_sync(uploader->queue(), [&] {
      file = uploader->logFileIfEligibleForUpload(NSURL::fileURLWithPath(path),
                                                  std::make_shared<JQXLogContext>(Context(700)));
    });
    return file != nullptr;
  };
  const int64_t tmp_created = CreationMs(young_tmp);
  EXPECT_FALSE(eligible(young_tmp, tmp_created + 19 * kMinute));
  EXPECT_FALSE(eligible(young_tmp, tmp_created + 20 * kMinute));
  EXPECT_TRUE(eligible(young_tmp, tmp_created + 21 * kMinute));
  EXPECT_FALSE(eligible(folder + "/context", created));
  EXPECT_FALSE(eligible(folder + "/missing", created));

  const int64_t cutoff = 7 * 24 * 60 * kMinute;
  EXPECT_TRUE(eligible(old, created + cutoff));
  EXPECT_TRUE(Exists(old));
  EXPECT_FALSE(eligible(old, created + cutoff + 1));  // past the cutoff: deleted and reported
  EXPECT_FALSE(Exists(old));
  dispatch_sync(uploader->metaLogger()->autoCounters()->queue(), [] {});
  uploader->metaLogger()->flushCountersToLogger();
  ASSERT_THAT(meta_->logEvents(), SizeIs(2));  // the count without, the age with a dimension

  // A cutoff of 0 deletes nothing for age.
  fake_->setNumber("log_file_age_cutoff_milliseconds", ZQLMarovicNumber::Integer(0));
  std::string kept = WriteLog(folder, "kept", "\x02\x08\x01");
  EXPECT_TRUE(eligible(kept, CreationMs(kept) + 100 * cutoff));
}

TEST_F(UploaderTest, MetaCounterFilesNeverMakeARunAlone) {
  std::string meta_file = WriteLog(ContextFolder("0", "m", Context(103)), "1", "\x02\x08\x01");
  auto uploader = Make();
  UploadOutcome alone = Upload(uploader);
  EXPECT_TRUE(alone.success);  // a run, with nothing to send
  EXPECT_THAT(server_.Requests(), IsEmpty());
  EXPECT_TRUE(Exists(meta_file));

  std::string other = WriteLog(ContextFolder("0", "o", Context(700)), "1", "\x02\x08\x01");
  Upload(uploader);
  EXPECT_FALSE(Exists(meta_file));  // travels with the other source's file
  EXPECT_FALSE(Exists(other));
}

TEST_F(UploaderTest, BatchContextsKeepIdentityAndTierButNotTheSource) {
  JQXLogContext context = Context(700, 2);
  context.set_obfuscated_hollin_id("acct");
  context.set_pseudonymous_id("nid");
  context.set_is_anonymous(false);
  context.mutable_client_info()->set_client_type(static_cast<ClientInfo_ClientType>(1));
  context.set_app_quendal_id_code(9);
  auto batch = JQXTrassenUploader::batchContextFromContext(context);
  EXPECT_EQ(batch->log_source(), 357);
  EXPECT_EQ(batch->qos_tier(), 0);
  EXPECT_EQ(batch->obfuscated_hollin_id(), "acct");
  EXPECT_EQ(batch->pseudonymous_id(), "nid");
  EXPECT_FALSE(batch->has_client_info());
  EXPECT_FALSE(batch->has_app_quendal_id_code());
  EXPECT_EQ(JQXTrassenUploader::batchContextFromContext(Context(700, 1))->qos_tier(), 1);

  // Files of sources 700 and 701 share one group; an anonymous context makes another.
  auto a = JQXLogFile::initWithContext(std::make_shared<JQXLogContext>(Context(700)),
                                       NSURL::fileURLWithPath(WriteLog(folder_.path(), "a", "x")));
  auto b = JQXLogFile::initWithContext(std::make_shared<JQXLogContext>(Context(701)),
                                       NSURL::fileURLWithPath(WriteLog(folder_.path(), "b", "x")));
  JQXLogContext anonymous = Context(700);
  anonymous.set_is_anonymous(true);
  auto c = JQXLogFile::initWithContext(std::make_shared<JQXLogContext>(anonymous),
                                       NSURL::fileURLWithPath(WriteLog(folder_.path(), "c", "x")));
  auto groups = JQXTrassenUploader::groupLogFiles({a, c, b});
  ASSERT_THAT(groups, SizeIs(2));
  EXPECT_THAT(groups[0].second, ElementsAre(a, b));
  EXPECT_THAT(groups[1].second, ElementsAre(c));
}

TEST_F(UploaderTest, ACallDuringARunIsAnsweredWhenTheRunEnds) {
  // The first request waits at the server until the second call has joined.
  server_.Script("/log/batch", {404, "gone"});
  WriteLog(ContextFolder("0", "a", Context(700)), "1", "\x02\x08\x01");
  auto uploader = Make();
  dispatch_suspend(uploader->queue());
  std::promise<UploadOutcome> first, second;
  uploader->uploadWithCompletionHandler([&](bool s, std::shared_ptr<NSError> e) {
    first.set_value({s, e});
  });
  uploader->uploadWithCompletionHandler([&](bool s, std::shared_ptr<NSError> e) {
    second.set_value({s, e});
  });
  dispatch_resume(uploader->queue());
  UploadOutcome a = first.get_future().get(), b = second.get_future().get();
  EXPECT_TRUE(a.success);
  EXPECT_TRUE(b.success);
  ASSERT_NE(b.error, nullptr);
  EXPECT_EQ(b.error->code(), 404);  // the run's last error, for both
  EXPECT_EQ(a.error, b.error);
  EXPECT_THAT(server_.Requests(), SizeIs(1));  // one run
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), IsEmpty());
}

TEST_F(UploaderTest, ExpiryEndsTheRunAndAnswersEveryHandlerOnce) {
  platform::foundation::LocalHttpServer stalling({});
  WriteLog(ContextFolder("0", "a", Context(700)), "1", "\x02\x08\x01");
  auto uploader = JQXTrassenUploader::initWithAuthorizer(
      nullptr, std::nullopt, dir_, NSURL::URLWithString(stalling.URL("/stall")),
      NSURL::URLWithString(stalling.URL("/stall")), nullptr, ids_, clock_,
      std::make_shared<JQXNoOpLockProvider>(), flags_, marovic_, meta_);
  std::atomic<int> answers{0};
  auto count = [&](bool success, std::shared_ptr<NSError>) {
    EXPECT_TRUE(success);
    ++answers;
  };
  uploader->uploadWithCompletionHandler(count);
  while (stalling.RequestCount("/stall") == 0) std::this_thread::yield();
  uploader->uploadWithCompletionHandler(count);
  dispatch_sync(uploader->queue(), [] {});
  platform::uikit::ExpireBackgroundTasks();
  dispatch_sync(uploader->queue(), [] {});
  EXPECT_EQ(answers.load(), 2);
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), IsEmpty());
  EXPECT_TRUE(Exists(dir_->path() + "/0/a/1"));
}

TEST_F(UploaderTest, RefusedPreconditionsAnswerNoWithTheirError) {
  WriteLog(ContextFolder("0", "a", Context(700)), "1", "\x02\x08\x01");
  platform::uikit::SetRefusesBackgroundTasks(true);
  UploadOutcome refused = Upload(Make());
  platform::uikit::SetRefusesBackgroundTasks(false);
  EXPECT_FALSE(refused.success);
  ASSERT_NE(refused.error, nullptr);
  EXPECT_EQ(refused.error->domain(), kJQXTrassenErrorDomain);
  EXPECT_EQ(refused.error->code(), -4);

  // A log directory below a file cannot be made.
  std::ofstream(folder_.Path("file")) << "x";
  auto uploader = JQXTrassenUploader::initWithAuthorizer(
      nullptr, std::nullopt, NSURL::fileURLWithPath(folder_.Path("file/D"), true),
      NSURL::URLWithString(server_.Base() + "/log"),
      NSURL::URLWithString(server_.Base() + "/log/batch"), nullptr, ids_, clock_,
      std::make_shared<JQXNoOpLockProvider>(), flags_, marovic_, meta_);
  UploadOutcome no_directory = Upload(uploader);
  EXPECT_FALSE(no_directory.success);
  EXPECT_EQ(no_directory.error->code(), -3);
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), IsEmpty());
}

TEST_F(UploaderTest, ALockHeldByAnotherProcessRefusesASharedDirectory) {
  std::string file = WriteLog(ContextFolder("0", "a", Context(700)), "1", "\x02\x08\x01");
  const std::string lock_file = dir_->path() + "/uploader.lock";
  pid_t pid;
  // -o: the lock stays with flock itself, not with its sleep.
  std::string command = "exec flock -o '" + lock_file + "' sleep 30";
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  // In a process group of its own, so that the holder and its sleep end together.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  ASSERT_EQ(posix_spawnp(&pid, "sh", nullptr, &attributes, const_cast<char**>(argv), environ), 0);
  posix_spawnattr_destroy(&attributes);
  // Held once a non-blocking attempt of our own fails.
  while (std::system(("flock -n '" + lock_file + "' true").c_str()) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto uploader = Make(std::make_shared<JQXFileLockProvider>());
  UploadOutcome held = Upload(uploader);
  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  // The group's other member (the sleep) may still be exiting; the lock is free once it is gone.
  for (int i = 0; i < 2000 && std::system(("flock -n '" + lock_file + "' true").c_str()) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(held.success);
  ASSERT_NE(held.error, nullptr);
  EXPECT_EQ(held.error->code(), -2);
  EXPECT_TRUE(Exists(file));
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), IsEmpty());

  UploadOutcome free = Upload(uploader);  // the lock went with the other process
  EXPECT_TRUE(free.success);
  EXPECT_FALSE(Exists(file));
}

TEST_F(UploaderTest, FlagStoreRefreshLogsARefusedRegistration) {
  marovic_->registration_error = NSError::errorWithDomain("store", -2);
  platform::utility::BaseLoggerCapture capture;
  auto uploader = Make();
  Upload(uploader);
  EXPECT_EQ(marovic_->syncs.load(), 0);
  bool logged = false;
  for (const auto& line : capture.lines()) {
    logged |= line.message.rfind("Error registering to marovic for package ", 0) == 0;
  }
  EXPECT_TRUE(logged);
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), IsEmpty());
}

TEST_F(UploaderTest, CollectForDebugWindowIsKeptInTheStateFile) {
  auto uploader = Make();
  const int64_t now = clock_->currentTimeMilliseconds();
  uploader->setCollectForDebugExpiryTimeMilliseconds(now + 10 * kMinute);
  EXPECT_EQ(State()->collect_for_debug_start_time_milliseconds(), now);
  EXPECT_EQ(State()->collect_for_debug_expiry_time_milliseconds(), now + 10 * kMinute);
  clock_->advance(kMinute);
  uploader->setCollectForDebugExpiryTimeMilliseconds(now + 20 * kMinute);  // extends, same start
  EXPECT_EQ(State()->collect_for_debug_start_time_milliseconds(), now);
  EXPECT_TRUE(JQXUploaderStateIsCollectForDebugEnabled(*State(), now + kMinute));
  EXPECT_FALSE(JQXUploaderStateIsCollectForDebugEnabled(*State(), now - 1));
  EXPECT_FALSE(JQXUploaderStateIsCollectForDebugEnabled(*State(), now + 20 * kMinute));
  uploader->setCollectForDebugExpiryTimeMilliseconds(0);
  EXPECT_EQ(State()->collect_for_debug_start_time_milliseconds(), 0);
  EXPECT_FALSE(JQXUploaderStateIsCollectForDebugEnabled(*State(), now + kMinute));
}

TEST_F(UploaderTest, ExtraInstancesAreReportedOrFatalWhenAsked) {
  platform::utility::BaseLoggerCapture capture;
  const int64_t before = JQXTrassenUploader::totalUploaderInstanceCount();
  Make();
  Make();
  int reports = 0;
  for (const auto& line : capture.lines()) {
    reports += line.message.find("Multiple uploaders function correctly but have an adverse "
                                 "affect on battery performance") != std::string::npos;
  }
  EXPECT_EQ(reports, before == 0 ? 1 : 2);  // once per uploader beyond the first
  // Asking for the fatal form with extra instances about ends the process (in a child here, as
  // the switch stays on for the process).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(JQXTrassenUploader::crashIfMultipleUploadersInstantiated(),
               "Assertion failure in JQXTrassenUploader::crashIfNecessary, "
               "usage_log/trassen_uploader.cc:[0-9]+: Multiple instances of JQXTrassenUploader "
               "were instantiated, and \\[JQXTrassenUploader "
               "crashIfMultipleUploadersInstantiated\\] was enabled");
}

}  // namespace

namespace {

// Waits (real time) until `done` holds; false when it never did.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

TEST_F(UploaderTest, AutomaticUploadWaitsForTheForegroundDelayAndSkipsInactivePeriods) {
  platform::dispatch::UseVirtualTime(true);
  std::string first = WriteLog(ContextFolder("0", "a", Context(700)), "1", "\x02\x08\x01");
  auto uploader = Make();
  uploader->startAutoUpload();  // while active: counts as entering the foreground
  platform::dispatch::AdvanceVirtualTime(std::chrono::seconds(44));
  dispatch_sync(uploader->queue(), [] {});
  EXPECT_THAT(server_.Requests(), IsEmpty());
  platform::dispatch::AdvanceVirtualTime(std::chrono::seconds(1));
  EXPECT_TRUE(Eventually([&] { return !Exists(first); }));
  EXPECT_THAT(server_.Requests(), SizeIs(1));

  // Periodic firings while the app is not active do nothing, however many pass.
  platform::uikit::SetApplicationState(UIApplicationStateInactive);
  std::string second = WriteLog(ContextFolder("0", "a", Context(700)), "2", "\x02\x08\x02");
  clock_->advance(16 * kMinute);
  platform::dispatch::AdvanceVirtualTime(std::chrono::seconds(3 * 900));
  dispatch_sync(uploader->queue(), [] {});
  EXPECT_TRUE(Exists(second));
  // Active again, the next firing uploads.
  platform::uikit::SetApplicationState(UIApplicationStateActive);
  platform::dispatch::AdvanceVirtualTime(std::chrono::seconds(900));
  EXPECT_TRUE(Eventually([&] { return !Exists(second); }));

  uploader->stopAutoUpload();
  platform::dispatch::UseVirtualTime(false);
}

}  // namespace
