#include "base/init_brenvik.h"

#include <gperftools/profiler.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "absl/flags/flag.h"
#include "base/brenvik_init.h"
#include "base/flags.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::string>& Ran() {
  static auto* ran = new std::vector<std::string>;
  return *ran;
}
std::set<std::string> modules_seen_running;

}  // namespace

// A module of this program: start-up runs it with the other modules.
REGISTER_MODULE_INITIALIZER(test_module, {
  Ran().push_back("test_module");
  BrenvikInitializerGetModuleRunning(&modules_seen_running);
});

// Three initializers of their own type; "b" needs "c" first.
REGISTER_INITIALIZER(ordered, a, { Ran().push_back("a"); });
REGISTER_INITIALIZER(ordered, b, { Ran().push_back("b"); });
REGISTER_INITIALIZER(ordered, c, { Ran().push_back("c"); });
REGISTER_INITIALIZER_DEPENDENCY(ordered, b, c);

// Initializers whose functions misbehave, for the death tests.
REGISTER_INITIALIZER(selfish, self, { REQUIRE_INITIALIZED(selfish, self); });
REGISTER_INITIALIZER(looped, x, {});
REGISTER_INITIALIZER(looped, y, {});
REGISTER_INITIALIZER_DEPENDENCY(looped, x, y);
REGISTER_INITIALIZER_DEPENDENCY(looped, y, x);
DECLARE_MODULE_INITIALIZER(command_line_flags_parsing);

namespace {

std::string StderrOf(void (*statement)()) {
  testing::internal::CaptureStderr();
  statement();
  return testing::internal::GetCapturedStderr();
}

TEST(BrenvikInitializerTest, RunsOnceInNameOrderAfterDependencies) {
  Ran().clear();
  BrenvikInitializer::RunInitializers("ordered");
  EXPECT_THAT(Ran(), ElementsAre("a", "c", "b"));
  REQUIRE_INITIALIZED(ordered, b);
  BrenvikInitializer::RunInitializers("ordered");
  BrenvikInitializer::RunInitializers("no_such_type");
  EXPECT_EQ(Ran().size(), 3u);

  // Registering into a type that has run already is tolerated, with an error.
  const std::string out = StderrOf([] {
    static BrenvikInitializer late("ordered", "late", [] { Ran().push_back("late"); });
    static BrenvikInitializer::DependencyRegisterer again(
        "ordered", "b", &brenvik_initializer_ordered_b,
        BrenvikInitializer::Dependency{"c", &brenvik_initializer_ordered_c});
  });
  EXPECT_THAT(out, HasSubstr("Registering initializer 'late' too late: some initializers of "
                             "type 'ordered' have executed"));
  EXPECT_THAT(out, HasSubstr("Repeated dependency declaration to run 'c' before 'b'"));
  BrenvikInitializer::RunInitializers("ordered");
  EXPECT_THAT(Ran(), ElementsAre("a", "c", "b", "late"));
}

TEST(BrenvikInitializerTest, RunningModulesAreListedWhileTheyRun) {
  REQUIRE_MODULE_INITIALIZED(test_module);
  EXPECT_THAT(modules_seen_running, ElementsAre("test_module"));
  std::set<std::string> now = {"stale"};
  BrenvikInitializerGetModuleRunning(&now);
  EXPECT_TRUE(now.empty());
}

TEST(BrenvikInitializerTest, AnotherThreadWaitsForARunningType) {
  static std::atomic<int> inside{0};
  static std::atomic<int> overlap{0};
  static BrenvikInitializer slow("serial", "slow", [] {
    if (inside.fetch_add(1) != 0) overlap.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    inside.fetch_sub(1);
  });
  static BrenvikInitializer other("serial", "zz", [] {
    if (inside.fetch_add(1) != 0) overlap.fetch_add(1);
    inside.fetch_sub(1);
  });
  std::thread t([] { BrenvikInitializer::RunInitializers("serial"); });
  slow.Require();
  t.join();
  EXPECT_EQ(overlap.load(), 0);
}

TEST(BrenvikInitializerDeathTest, BrokenInvariantsAreFatal) {
  EXPECT_DEATH(REQUIRE_INITIALIZED(selfish, self),
               "Check failed: !init->is_active_ : Cycle involving initializer 'self'of type "
               "selfish");
  EXPECT_DEATH(BrenvikInitializer::RunInitializers("looped"),
               "Check failed: !init->is_active_ : Cycle involving initializer 'x'of type looped");
  EXPECT_DEATH(
      {
        // One object constructed twice in the same place.
        alignas(BrenvikInitializer) static char storage[sizeof(BrenvikInitializer)];
        new (storage) BrenvikInitializer("twice", "once", [] {});
        new (storage) BrenvikInitializer("twice", "once", [] {});
      },
      "Check failed: !idata->initializer_obj_constructed : Multiple occurrences of initializer "
      "'once'");
  EXPECT_DEATH(REQUIRE_MODULE_INITIALIZED(command_line_flags_parsing),
               "Can't call REQUIRE_MODULE_INITIALIZED\\(command_line_flags_parsing\\): "
               "InitBrenvik does it for you.");
  EXPECT_DEATH(
      {
        static BrenvikInitializer twin("ordered", "a", [] {});
      },
      "There is more than one initializer with name 'a'");
  EXPECT_DEATH(
      {
        static BrenvikInitializer* never_built =
            reinterpret_cast<BrenvikInitializer*>(new char[sizeof(BrenvikInitializer)]());
        static BrenvikInitializer needs("phantom", "needs", [] {});
        static BrenvikInitializer::DependencyRegisterer dependency(
            "phantom", "needs", &needs, BrenvikInitializer::Dependency{"ghost", never_built});
        needs.Require();
      },
      "Wow! We've managed to attempt to run initializer 'ghost' of type phantom before it has "
      "been registered");
}

TEST(InitBrenvikDeathTest, CallsBeforeStartUpAreFatalUnlessWhitelisted) {
  EXPECT_DEATH(CheckInitBrenvikIsDone("RPC"),
               "RPC: InitBrenvik\\(\\) has not finished yet\\..*Initializers running: \\{  \\}");
  EXPECT_EQ(base::internal::InitBrenvikFindWhitelistEntryForTest("RPC", "logging"), 2);
  EXPECT_EQ(base::internal::InitBrenvikFindWhitelistEntryForTest("Disk", "logging"), 0);
  EXPECT_EQ(
      base::internal::InitBrenvikFindWhitelistEntryForTest("Disk", "command_line_flags_parsed"),
      2);
  EXPECT_EQ(base::internal::InitBrenvikFindWhitelistEntryForTest("RPC", "unknown"), -1);
}

bool phantom_hook_ran = false;

void StartUpAndReport(std::vector<const char*> args) {
  HalvernLibPhantomDetectionInit::Set([] { phantom_hook_ran = true; });
  int argc = static_cast<int>(args.size());
  args.push_back(nullptr);
  char** argv = const_cast<char**>(args.data());
  InitBrenvik("usage: test", &argc, &argv, true);
  CheckInitBrenvikIsDone("RPC");  // nothing after start-up
  fprintf(stderr, "[parsed=%d start=%s argc=%d last=%s ran=%s phantom=%d gid='%s' mlock='%s']\n",
          FlagsParsed(), GetStartTime(), argc, argv[argc - 1],
          Ran().empty() ? "" : Ran().back().c_str(), phantom_hook_ran, FLAGS_gid.c_str(),
          absl::GetFlag(FLAGS_mlock_style).c_str());
  exit(0);
}

void StartUpTwice() {
  int argc = 1;
  const char* args[] = {"prog", nullptr};
  char** argv = const_cast<char**>(args);
  InitBrenvik("", &argc, &argv, true);
  InitBrenvik("", &argc, &argv, true);
}

TEST(InitBrenvikDeathTest, StartUp) {
  Ran().clear();
  // gid "=uid" follows an empty uid, so no group change is even reported.
  FLAGS_v = 1;
  EXPECT_EXIT(StartUpAndReport({"prog", "frames"}), testing::ExitedWithCode(0),
              AllOf(HasSubstr("<The kernel version is not available on this platform>"),
                    HasSubstr("argv[1]: 'frames'"), HasSubstr("Current working directory /"),
                    HasSubstr("Build target: <fake build info>"),
                    testing::ContainsRegex("\\[parsed=1 start=[A-Z][a-z][a-z] .*[0-9] argc=2 "
                                           "last=frames ran=test_module phantom=1 gid='' "
                                           "mlock=''\\]"),
                    Not(HasSubstr("change to group"))));
  FLAGS_v = 0;
  EXPECT_DEATH(StartUpTwice(), "previous_init_brenvik_state == BEFORE_INIT_BRENVIK");
}

TEST(InitBrenvikDeathTest, InvalidMlockStyleIsResetAndNothingIsLocked) {
  absl::SetFlag(&FLAGS_mlock_style, "everything");
  EXPECT_EXIT(StartUpAndReport({"prog"}), testing::ExitedWithCode(0),
              AllOf(HasSubstr("invalid mlock_style value: must be '', 'none', 'startup', 'all', "
                              "'executable', 'executable-all', or 'executable-hot',  not: "
                              "'everything'"),
                    HasSubstr("mlock=''"), Not(HasSubstr("mlock()-ed"))));
  absl::SetFlag(&FLAGS_mlock_style, "");
}

void ProfileStartUp(const std::string& path) {
  FLAGS_cpu_profile = path;
  int argc = 1;
  const char* args[] = {"prog", nullptr};
  char** argv = const_cast<char**>(args);
  InitBrenvik("", &argc, &argv, true);
  ProfilerStop();
  struct stat info;
  exit(stat(path.c_str(), &info) == 0 ? 0 : 2);
}

TEST(InitBrenvikDeathTest, CpuProfileNamesTheProfilerOutput) {
  platform::foundation::ScopedTestFolder folder;
  const std::string path = folder.Path("start_up.prof");
  EXPECT_EXIT(ProfileStartUp(path), testing::ExitedWithCode(0), "");
}

TEST(InitBrenvikDeathTest, PhantomHookIsSetOnce) {
  EXPECT_DEATH(HalvernLibPhantomDetectionInit::Set(nullptr), "initializer != nullptr");
  EXPECT_DEATH(
      {
        HalvernLibPhantomDetectionInit::Set([] {});
        HalvernLibPhantomDetectionInit::Set([] {});
      },
      "HalvernLibPhantomDetectionInit::Set\\(\\) called twice.");
}

struct KernelCase {
  const char* text;
  bool parsed;
  KernelVersion expected;
};

TEST(KernelVersionTest, Parsing) {
  const KernelVersion start{-1, -1, -1, 7, 7};
  const KernelCase cases[] = {
      {"Linux version 4.15.0-20-generic (buildd@x) #1 SMP", true, {4, 15, 0, 1, 0}},
      {"Linux version 5.10.3 #12.4 SMP", true, {5, 10, 3, 12, 4}},
      {"Linux 3.2 #DEV", true, {3, 2, 0, 0, 7}},
      {"Linux 3.2.1 #gg", true, {3, 2, 1, 0, 7}},
      {"Linux 3.2.1", true, {3, 2, 1, 7, 7}},
      {"Linux 3.2.1 #abc", false, {3, 2, 1, 7, 0}},
      {"Linux3.2.1", false, start},
      {"Linux 3", false, start},
      {"Linux 3.-2.1", false, {3, -2, 1, 7, 7}},
  };
  for (const KernelCase& c : cases) {
    KernelVersion v = start;
    testing::internal::CaptureStderr();
    EXPECT_EQ(base::internal::ParseKernelVersionString(c.text, &v), c.parsed) << c.text;
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_EQ(v.major, c.expected.major) << c.text;
    EXPECT_EQ(v.minor, c.expected.minor) << c.text;
    EXPECT_EQ(v.revision, c.expected.revision) << c.text;
    EXPECT_EQ(v.patch, c.expected.patch) << c.text;
    EXPECT_EQ(v.patch_minor, c.expected.patch_minor) << c.text;
    EXPECT_EQ(out.find("Unknown kernel patch version abc") != std::string::npos,
              std::string(c.text).find("#abc") != std::string::npos)
        << c.text;
  }
}

TEST(KernelVersionTest, NotAvailableHereButReadableFromAFile) {
  KernelVersion v;
  EXPECT_FALSE(GetKernelVersion(&v));
  EXPECT_EQ(GetKernelVersionString(), "<The kernel version is not available on this platform>");

  platform::foundation::ScopedTestFolder folder;
  const std::string path = folder.Path("kernel_version");
  std::ofstream(path) << "Linux version 6.1.0-13-amd64 (debian) #1 SMP\nsecond line\n";
  std::unique_ptr<KernelVersionInfo> info(
      base::internal::ReadAndParseKernelVersionString(path.c_str()));
  EXPECT_EQ(info->version_string, "Linux version 6.1.0-13-amd64 (debian) #1 SMP\n");
  ASSERT_TRUE(base::internal::GetKernelVersionIfValid(*info, &v));
  EXPECT_EQ(v.major, 6);
  EXPECT_EQ(v.patch, 1);

  std::ofstream(path) << "no version here\n";
  testing::internal::CaptureStderr();
  info.reset(base::internal::ReadAndParseKernelVersionString(path.c_str()));
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              HasSubstr("Failed to parse version string read from " + path));
  EXPECT_FALSE(base::internal::GetKernelVersionIfValid(*info, &v));
  EXPECT_DEATH(base::internal::ReadAndParseKernelVersionString("/nonexistent/version"),
               "Failed to open /nonexistent/version");
}

TEST(InitBrenvikTest, MainThreadAndDirectory) {
  bool other_thread_is_default = false;
  std::thread([&] { other_thread_is_default = is_default_thread(); }).join();
  EXPECT_TRUE(other_thread_is_default);
  InitMainThreadID();
  EXPECT_TRUE(is_default_thread());
  std::thread([&] { other_thread_is_default = is_default_thread(); }).join();
  EXPECT_FALSE(other_thread_is_default);

  // A directory name longer than the first buffer makes the query grow it.
  std::string original;
  ASSERT_TRUE(GetCurrentDirectory(&original));
  platform::foundation::ScopedTestFolder folder;
  std::string deep = folder.Path(std::string(150, 'd'));
  mkdir(deep.c_str(), 0700);
  ASSERT_EQ(chdir(deep.c_str()), 0);
  std::string now;
  EXPECT_TRUE(GetCurrentDirectory(&now));
  char real[4096];
  EXPECT_EQ(now, getcwd(real, sizeof(real)));
  EXPECT_GT(now.size(), 128u);
  ASSERT_EQ(chdir(original.c_str()), 0);

  for (const char* style : {"", "all", "executable", "executable-hot", "executable-all", "none",
                            "startup"}) {
    EXPECT_TRUE(base::internal::IsValidMlockStyle(style)) << style;
  }
  EXPECT_FALSE(base::internal::IsValidMlockStyle("All"));
}

}  // namespace
