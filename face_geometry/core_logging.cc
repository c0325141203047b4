#include "face_geometry/core_logging.h"

#include <cstdio>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <map>
#include <thread>

#include "face_geometry/high_res_timer.h"

namespace vrk {

std::atomic<LogLevel> g_LogLevel{INFO};
std::atomic<LogLevel> g_LogAbortLevel{CRITICAL};
LogMessageFn LogMessage = &LogMessageDefault;
AssertFn OnAssertFailed = &OnAssertFailedDefault;
std::mutex g_logMutex;

namespace {

constexpr int kLevelCount = 5;
constexpr const char* kLevelNames[kLevelCount] = {"DEBUG", "INFO", "WARNING", "ERROR",
                                                  "CRITICAL"};
// The level name and the seconds field together take this many columns.
constexpr int kPrologColumns = 16;

// State of the default log function. Only touched under g_logMutex.
class LogHelper {
 public:
  LogHelper() : timer_(true) {}

  // 1 for the first thread that logs, 2 for the next new one, and so on; a thread
  // keeps its number for the life of the process.
  int GetThreadID() {
    int& id = thread_ids_[std::this_thread::get_id()];
    if (id == 0) id = ++last_thread_id_;
    return id;
  }

  double ElapsedSeconds() const { return timer_.ElapsedSeconds(); }

 private:
  int last_thread_id_ = 0;
  std::map<std::thread::id, int> thread_ids_;
  HighResTimer timer_;
};

// The printed name of a level; a value outside the defined levels prints as its number.
std::string LevelName(LogLevel level) {
  if (level >= 0 && level < kLevelCount) return kLevelNames[level];
  return DebugPrint(level);
}

// Calls the assert function when `level` reaches the abort level. `src` names the
// calling log function.
void CheckAbortLevel(LogLevel level, const SrcPoint& src) {
  const LogLevel abort_level = g_LogAbortLevel.load(std::memory_order_acquire);
  if (level < abort_level) return;
  OnAssertFailed(src, impl::Message("VRK_CHECK(level < g_LogAbortLevel)",
                                    impl::Message(level, abort_level),
                                    impl::Message("Abort. Log level is too serious", level)));
}

}  // namespace

void SrcPoint::TruncateFileName() {
  constexpr int kMaxScan = 10000;
  const char* last = nullptr;
  const char* second_to_last = nullptr;
  for (int i = 0; i < kMaxScan && file[i] != '\0'; ++i) {
    if (file[i] == '/' || file[i] == '\\') {
      second_to_last = last;
      last = file + i + 1;
    }
  }
  if (second_to_last != nullptr) file = second_to_last;
}

std::string DebugPrint(LogLevel level) { return std::to_string(static_cast<int32_t>(level)); }

std::string DebugPrint(const std::atomic<LogLevel>& level) {
  return DebugPrint(level.load(std::memory_order_acquire));
}

std::string DebugPrint(const SrcPoint& src) {
  if (src.line <= 0) return "";
  std::ostringstream os;
  os << src.file << ":" << src.line << " " << src.function << src.args << " ";
  return os.str();
}

void LogMessageDefault(LogLevel level, const SrcPoint& src, const std::string& message) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  static LogHelper* const logger = new LogHelper();

  const std::string name = LevelName(level);
  std::ostringstream os;
  os << "LOG" << " TID(" << logger->GetThreadID() << ")" << " " << name << " "
     << std::setw(std::max<int>(0, kPrologColumns - static_cast<int>(name.size())))
     << logger->ElapsedSeconds() << std::setw(0) << " ";
  os << DebugPrint(src);
  os << message << "\n";
  const std::string line = os.str();
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);

  SrcPoint check_point{__FILE__, __LINE__, "LogMessageDefault", "()"};
  check_point.TruncateFileName();
  CheckAbortLevel(level, check_point);
}

void LogMessageTests(LogLevel level, const SrcPoint& src, const std::string& message) {
  std::lock_guard<std::mutex> lock(g_logMutex);
  const std::string line = message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);

  SrcPoint check_point{__FILE__, __LINE__, "LogMessageTests", "()"};
  check_point.TruncateFileName();
  CheckAbortLevel(level, check_point);
}

void OnAssertFailedDefault(const SrcPoint& src, const std::string& text) {
  std::cerr << "ASSERT FAILED" << std::endl;
  std::cerr << src.file << ":" << src.line << std::endl;
  std::cerr << text << std::endl;
}

LogMessageFn SetLogMessageFn(LogMessageFn fn) {
  LogMessageFn previous = LogMessage;
  LogMessage = fn;
  return previous;
}

AssertFn SetAssertFunction(AssertFn fn) {
  AssertFn previous = OnAssertFailed;
  OnAssertFailed = fn;
  return previous;
}

}  // namespace vrk
