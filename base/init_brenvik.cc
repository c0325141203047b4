#include "base/init_brenvik.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "absl/debugging/symbolize.h"
#include "absl/flags/flag.h"
#include "absl/flags/usage.h"
#include "absl/strings/match.h"
#include "absl/strings/str_join.h"
#include "absl/time/clock.h"
#include "base/brenvik_init.h"
#include "base/build_data.h"
#include "base/commandlineflags.h"
#include "base/flags.h"
#include "base/logging.h"
#include "base/mlock.h"
#include "base/process_state.h"
#include "base/raw_logging.h"
#include "base/vlog.h"

DECLARE_MODULE_INITIALIZER(command_line_flags_parsing);
DECLARE_MODULE_INITIALIZER(command_line_flags_parsed);

namespace {

// The gperftools CPU profiler is loaded only by a start-up that asks for a profile: linking it
// would run its own load-time set-up, which reads the environment, in every program that links
// the framework. `load` false finds it only when something else already loaded it.
template <typename Function>
Function CpuProfilerFunction(const char* name, bool load) {
  void* library = dlopen("libprofiler.so.0", RTLD_NOW | RTLD_GLOBAL | (load ? 0 : RTLD_NOLOAD));
  if (library == nullptr) {
    if (load) LOG(ERROR) << "Cannot load the CPU profiler: " << dlerror();
    return nullptr;
  }
  return reinterpret_cast<Function>(dlsym(library, name));
}

constexpr int BEFORE_INIT_BRENVIK = 0;
constexpr int DURING_INIT_BRENVIK = 1;
constexpr int AFTER_INIT_BRENVIK = 2;

// The start-up lock guards the state and the phantom-detection hook.
std::mutex init_brenvik_lock;
int init_brenvik_state = BEFORE_INIT_BRENVIK;
void (*phantom_detection_hook)() = nullptr;

char start_time_text[64] = "";
std::atomic<bool> main_thread_recorded{false};
std::thread::id main_thread_id;
bool doing_command_line_flags_parsing = false;
bool after_command_line_flags_parsing = false;
std::terminate_handler previous_terminate_handler = nullptr;

constexpr char kPlatform[] = "Linux";
constexpr char kNoKernelVersion[] = "<The kernel version is not available on this platform>";

// One row of a pre-start-up whitelist: calls made while the named module runs (or, for
// stack fragments, from a frame whose name contains it) are logged instead of fatal.
struct WhitelistEntry {
  const char* name;
  int8_t action;  // 0 nothing, 1 INFO, 2 ERROR, other FATAL
  bool reported;
};

std::mutex whitelist_mutex;
// For the kinds "RPC" and "Pemrose".
WhitelistEntry rpc_whitelist[] = {
    {"logging", 2, false},
};
// For every other kind.
WhitelistEntry other_whitelist[] = {
    {"logging", 0, false},
    {"command_line_flags_parsing", 2, false},
    {"command_line_flags_parsed", 2, false},
};
// Fragments of function names looked for in the current stack.
WhitelistEntry stack_whitelist[] = {
    {"__static_initialization_and_destruction", 2, false},
};

void SortWhitelists() {
  auto by_name = [](const WhitelistEntry& a, const WhitelistEntry& b) {
    return strcmp(a.name, b.name) < 0;
  };
  std::sort(std::begin(rpc_whitelist), std::end(rpc_whitelist), by_name);
  std::sort(std::begin(other_whitelist), std::end(other_whitelist), by_name);
}

template <size_t N>
WhitelistEntry* FindByName(WhitelistEntry (&table)[N], const std::string& name) {
  WhitelistEntry* found =
      std::lower_bound(std::begin(table), std::end(table), name,
                       [](const WhitelistEntry& e, const std::string& n) { return e.name < n; });
  return found != std::end(table) && found->name == name ? found : nullptr;
}

WhitelistEntry* FindWhitelistEntry(const char* kind, const std::set<std::string>& running) {
  static std::once_flag sorted;
  std::call_once(sorted, &SortWhitelists);
  const bool rpc = strcmp(kind, "RPC") == 0 || strcmp(kind, "Pemrose") == 0;
  WhitelistEntry* entry = nullptr;
  for (const std::string& name : running) {
    WhitelistEntry* found =
        rpc ? FindByName(rpc_whitelist, name) : FindByName(other_whitelist, name);
    if (found != nullptr) entry = found;
  }
  if (entry == nullptr && !rpc) {
    const std::string stack = CurrentStackTrace();
    for (WhitelistEntry& fragment : stack_whitelist) {
      if (fragment.name[0] == '\0' || absl::StrContains(stack, fragment.name)) return &fragment;
    }
  }
  return entry;
}

// Opens one of the two flag-parsing modules for the start-up routine alone.
void RunFlagModule(bool* marker, void (*require)()) {
  *marker = true;
  require();
  *marker = false;
}

void BrenvikTerminateHandler() {
  if (previous_terminate_handler != nullptr) previous_terminate_handler();
  abort();
}

void SwitchGroup(const std::string& group, const std::string&) {
  if (!FLAGS_silent_init) {
    VLOG(1) << "Running on " << kPlatform << ".  No attempt to change to group " << group;
  }
}

void ChangeRootAndUser() {
  const std::string root = absl::GetFlag(FLAGS_chroot);
  if (!root.empty() && !FLAGS_silent_init) {
    VLOG(1) << "Running on " << kPlatform << ".  No attempt to chroot to " << root;
  }
  const bool gid_from_uid = FLAGS_gid == "=uid";
  if (gid_from_uid) FLAGS_gid = FLAGS_uid;
  if (!FLAGS_gid.empty()) SwitchGroup(FLAGS_gid, gid_from_uid ? FLAGS_uid : "");
  if (!FLAGS_uid.empty() && !FLAGS_silent_init) {
    VLOG(1) << "Running on " << kPlatform << ".  No attempt to setuid to user " << FLAGS_uid;
  }
}

void LockMemory() {
  std::string style = absl::GetFlag(FLAGS_mlock_style);
  if (style.empty()) {
    const char* hint = getenv("BRENVIK_MLOCK_HINT");
    if (hint != nullptr && hint[0] != '\0') style = hint;
  }
  if (!base::internal::IsValidMlockStyle(style)) {
    LOG(ERROR) << "invalid mlock_style value: must be '', 'none', 'startup', "
               << "'all', 'executable', 'executable-all', or 'executable-hot', "
               << " not: '" << style << "'";
    style.clear();
  }
  absl::SetFlag(&FLAGS_mlock_style, style);
  if (style == "executable" || style == "executable-hot") {
    base::LockHotExecutablePages(nullptr);
  } else if (style == "executable-all") {
    base::LockAllExecutablePages(nullptr);
  } else if (style == "startup" || style == "all") {
    if (mlockall(style == "startup" ? MCL_CURRENT : MCL_CURRENT | MCL_FUTURE) != 0) {
      PLOG(ERROR) << "mlockall() failed";
    }
  }
}

void LogStartUp() {
  if (FLAGS_silent_init) return;
  LOG(INFO) << "Command line arguments:";
  const std::vector<std::string>& args = base::GetArgvs();
  for (size_t i = 0; i < args.size(); ++i) LOG(INFO) << "argv[" << i << "]: '" << args[i] << "'";
  LOG(INFO) << "Process id " << getpid();
  std::string directory;
  if (!GetCurrentDirectory(&directory)) PLOG(WARNING) << "getcwd() failed";
  LOG(INFO) << "Current working directory " << directory;
  LOG(INFO) << BuildData::Timestamp();
  LOG(INFO) << " at " << BuildData::BuildInfo();
  LOG(INFO) << " as " << BuildData::TargetName();
  LOG(INFO) << " for " << BuildData::BuildPlatform();
  if (!BuildData::ClientInfo().empty()) LOG(INFO) << " from " << BuildData::ClientInfo();
  if (!BuildData::BuildLabel().empty()) LOG(INFO) << "Build label: " << BuildData::BuildLabel();
  LOG(INFO) << "Build tool: " << BuildData::BuildTool();
  LOG(INFO) << "Build target: " << BuildData::BuildTarget();
}

void RealInitBrenvik(const char* usage, int* argc, char*** argv, bool remove_flags,
                     bool change_root_and_user) {
  absl::InitializeSymbolizer(*argc > 0 ? (*argv)[0] : nullptr);
  SetMainHasStarted();
  int previous_init_brenvik_state;
  {
    std::lock_guard<std::mutex> lock(init_brenvik_lock);
    previous_init_brenvik_state = init_brenvik_state;
    init_brenvik_state = DURING_INIT_BRENVIK;
  }
  CHECK(previous_init_brenvik_state == BEFORE_INIT_BRENVIK);
  if (usage != nullptr && usage[0] != '\0') absl::SetProgramUsageMessage(usage);
  InitMainThreadID();

  StartUpWallTimer();
  const time_t now = absl::ToTimeT(GetInitBrenvikTime());
  char start_time[64];
  CHECK(start_time == ctime_r(&now, start_time));
  snprintf(start_time_text, sizeof(start_time_text), "%s", start_time);
  const size_t len = strlen(start_time_text);
  CHECK(len > 0);
  start_time_text[len - 1] = '\0';

  const char* test_tmpdir = getenv("TEST_TMPDIR");
  if (test_tmpdir != nullptr && test_tmpdir[0] != '\0') {
    SetCommandLineOption("datadir", test_tmpdir);
  }

  RunFlagModule(&doing_command_line_flags_parsing,
                [] { REQUIRE_MODULE_INITIALIZED(command_line_flags_parsing); });
  ParseCommandLineNonHelpFlags(argc, argv, remove_flags);
  base_flags_internal::MarkFlagsParsed();

  base_raw_logging::InitRawLog();
  base_logging::Initialize();
  HandleCommandLineHelpFlags();
  InvokeDebugger("InitBrenvik");
  RunFlagModule(&after_command_line_flags_parsing,
                [] { REQUIRE_MODULE_INITIALIZED(command_line_flags_parsed); });

  const KernelVersionInfo& kernel = base::internal::GetKernelVersionInfo();
  if (!FLAGS_silent_init) {
    LOG(INFO) << kernel.version_string;
    if (FLAGS_nice_priority_level != 0 && VLOG_IS_ON(1)) {
      VLOG(1) << "Running on " << kPlatform << ".  No attempt to set nice to "
              << FLAGS_nice_priority_level;
    }
  }
  if (change_root_and_user) ChangeRootAndUser();
  LockMemory();
  LogStartUp();

  previous_terminate_handler = std::set_terminate(&BrenvikTerminateHandler);
  FlushLogFiles(absl::LogSeverity::kInfo);
  if (!FLAGS_cpu_profile.empty()) {
    if (auto start = CpuProfilerFunction<int (*)(const char*)>("ProfilerStart", true)) {
      start(FLAGS_cpu_profile.c_str());
    }
  }
  if (auto register_thread = CpuProfilerFunction<void (*)()>("ProfilerRegisterThread", false)) {
    register_thread();
  }

  BrenvikInitializer::RunInitializers("module");
  FLAGS_silent_init = false;
  atexit(&SetMainHasFinished);

  void (*hook)() = nullptr;
  {
    std::lock_guard<std::mutex> lock(init_brenvik_lock);
    init_brenvik_state = AFTER_INIT_BRENVIK;
    hook = phantom_detection_hook;
  }
  if (hook != nullptr) hook();
  static const base::process_state::NotificationMessage kInitBrenvikDone{"InitBrenvikDone"};
  base::process_state::ReportChange(&kInitBrenvikDone, nullptr);
}

}  // namespace

// The two flag-parsing modules: other modules may depend on them, only start-up runs them.
REGISTER_MODULE_INITIALIZER(command_line_flags_parsing, {
  CHECK(doing_command_line_flags_parsing)
      << "Can't call REQUIRE_MODULE_INITIALIZED(command_line_flags_parsing): InitBrenvik does "
         "it for you.";
});
REGISTER_MODULE_INITIALIZER(command_line_flags_parsed, {
  CHECK(after_command_line_flags_parsing)
      << "Can't call REQUIRE_MODULE_INITIALIZED(command_line_flags_parsed): InitBrenvik does "
         "it for you.";
});
REGISTER_MODULE_INITIALIZER(logging, { ParseVModuleFlag(); });

void InitBrenvik(const char* usage, int* argc, char*** argv, bool remove_flags) {
  RealInitBrenvik(usage, argc, argv, remove_flags, true);
}

void InitBrenvikExceptChangeRootAndUser(const char* usage, int* argc, char*** argv,
                                        bool remove_flags) {
  RealInitBrenvik(usage, argc, argv, remove_flags, false);
}

void SetMainHasStarted() { std::lock_guard<std::mutex> lock(init_brenvik_lock); }
void SetMainHasFinished() { std::lock_guard<std::mutex> lock(init_brenvik_lock); }
void AssertMainHasStarted() {}
void AssertInitBrenvikIsDone() {}
bool DebugOnlyMainHasNotFinished() { return true; }

void CheckInitBrenvikIsDone(const char* kind) {
  {
    std::lock_guard<std::mutex> lock(init_brenvik_lock);
    if (init_brenvik_state == AFTER_INIT_BRENVIK) return;
  }
  if (FLAGS_temp_bad_calls_before_init_brenvik_returns_action == 0 &&
      FLAGS_temp_grandfathered_bad_calls_before_init_brenvik_returns_action == 0) {
    return;
  }
  std::set<std::string> running;
  BrenvikInitializerGetModuleRunning(&running);
  WhitelistEntry* entry = FindWhitelistEntry(kind, running);
  int action = FLAGS_temp_bad_calls_before_init_brenvik_returns_action;
  if (entry != nullptr) {
    std::lock_guard<std::mutex> lock(whitelist_mutex);
    action = entry->reported ? 0 : FLAGS_temp_grandfathered_bad_calls_before_init_brenvik_returns_action;
    entry->reported = true;
    if (action == -1) action = entry->action;
  }
  if (action == 0) return;
  std::string text = std::string(kind) + ": InitBrenvik() has not finished yet.  " +
                     "See base/init_brenvik.h: call it first thing in main()." + "    " +
                     "Initializers running: { " + absl::StrJoin(running, " ") + " }   ";
  if (entry != nullptr) text += std::string("grandfathered: ") + entry->name + "  ";
  text += CurrentStackTrace();
  if (action == 1) {
    LOG(INFO) << text;
  } else if (action == 2) {
    LOG(ERROR) << text;
  } else {
    LOG(FATAL) << text;
  }
}

void HalvernLibPhantomDetectionInit::Set(void (*initializer)()) {
  CHECK(initializer != nullptr);
  void (*previous_phantom_init)();
  {
    std::lock_guard<std::mutex> lock(init_brenvik_lock);
    previous_phantom_init = phantom_detection_hook;
    phantom_detection_hook = initializer;
  }
  CHECK(previous_phantom_init == nullptr) << "HalvernLibPhantomDetectionInit::Set() called twice.";
}

const char* GetStartTime() { return start_time_text; }

void InitMainThreadID() {
  main_thread_id = std::this_thread::get_id();
  main_thread_recorded.store(true);
}

bool is_default_thread() {
  return !main_thread_recorded.load() || main_thread_id == std::this_thread::get_id();
}

bool GetCurrentDirectory(std::string* out) {
  size_t size = 128;
  while (true) {
    std::vector<char> buffer(size, '\0');
    if (getcwd(buffer.data(), size) != nullptr) {
      out->assign(buffer.data());
      return true;
    }
    if (errno != ERANGE) return false;
    size *= 2;
  }
}

std::string GetKernelVersionString() {
  return base::internal::GetKernelVersionInfo().version_string;
}

bool GetKernelVersion(KernelVersion* out) {
  return base::internal::GetKernelVersionIfValid(base::internal::GetKernelVersionInfo(), out);
}

namespace base {
namespace internal {

bool IsValidMlockStyle(const std::string& style) {
  return style.empty() || style == "all" || style == "executable" || style == "executable-hot" ||
         style == "executable-all" || style == "none" || style == "startup";
}

int InitBrenvikFindWhitelistEntryForTest(const char* kind, const char* module_name) {
  const WhitelistEntry* entry = FindWhitelistEntry(kind, {module_name});
  return entry != nullptr ? entry->action : -1;
}

const KernelVersionInfo& GetKernelVersionInfo() {
  static const KernelVersionInfo* info = ReadAndParseKernelVersionString("");
  return *info;
}

bool GetKernelVersionIfValid(const KernelVersionInfo& info, KernelVersion* out) {
  if (info.version.major < 0) return false;
  *out = info.version;
  return true;
}

KernelVersionInfo* ReadAndParseKernelVersionString(const char* path) {
  auto* info = new KernelVersionInfo{kNoKernelVersion, KernelVersion()};
  if (path[0] == '\0') return info;
  FILE* fp = fopen(path, "r");
  if (fp == nullptr) {
    absl::logging_internal::LogMessageFatal(__FILE__, __LINE__, "fp != nullptr").WithPerror()
        << "Failed to open " << path;
  }
  constexpr int kBufferSize = 1024;
  char buffer[kBufferSize];
  if (fgets(buffer, kBufferSize, fp) == nullptr) {
    absl::logging_internal::LogMessageFatal(__FILE__, __LINE__,
                                            "fgets(buffer, kBufferSize, fp) != nullptr")
            .WithPerror()
        << "Failed to read kernel version string from " << path;
  }
  fclose(fp);
  info->version_string = buffer;
  if (!ParseKernelVersionString(info->version_string, &info->version)) {
    info->version = KernelVersion();
    LOG(ERROR) << "Failed to parse version string read from " << path << ": "
               << info->version_string;
  }
  return info;
}

bool ParseKernelVersionString(const std::string& text, KernelVersion* out) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return false;
  const size_t blank = text.rfind(' ', dot);
  if (blank == std::string::npos) return false;
  const char* numbers = text.c_str() + blank + 1;
  const int read = sscanf(numbers, "%d.%d.%d", &out->major, &out->minor, &out->revision);
  if (read < 2) return false;
  if (read == 3 && (out->major < 0 || out->minor < 0 || out->revision < 0)) return false;
  if (read == 2) {
    if (out->major < 0 || out->minor < 0) return false;
    out->revision = 0;
  }
  const size_t hash = text.find('#', blank);
  if (hash == std::string::npos) return true;
  const char* patch = text.c_str() + hash + 1;
  if (strncmp(patch, "DEV", 3) == 0 || strncmp(patch, "gg", 2) == 0) {
    out->patch = 0;
    return true;
  }
  if (sscanf(patch, "%d.%d", &out->patch, &out->patch_minor) == 2) return true;
  out->patch_minor = 0;
  if (sscanf(patch, "%d", &out->patch) == 1) return true;
  LOG(WARNING) << "Unknown kernel patch version " << patch;
  return false;
}

}  // namespace internal
}  // namespace base
