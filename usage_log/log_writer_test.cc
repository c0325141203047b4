#include "usage_log/log_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/uikit/ui_application.h"
#include "platform/utility/base_logger.h"
#include "usage_log/log_transformers.h"
#include "usage_base/manual_clock_test_util.h"
#include "usage_base/wire_test_util.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using platform::foundation::ScopedTestFolder;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The records of a log file; `torn` tells whether bytes after the last whole record remain.
struct Split {
  std::vector<std::string> records;
  bool torn = false;
};
Split SplitRecords(const std::string& bytes) {
  Split split;
  size_t i = 0;
  while (i < bytes.size()) {
    uint64_t length = 0;
    int shift = 0;
    bool complete = false;
    while (i < bytes.size() && shift < 64) {
      auto b = static_cast<unsigned char>(bytes[i++]);
      length |= static_cast<uint64_t>(b & 0x7f) << shift;
      shift += 7;
      if (b < 0x80) {
        complete = true;
        break;
      }
    }
    if (!complete || length > bytes.size() - i) {
      split.torn = true;
      break;
    }
    split.records.push_back(bytes.substr(i, length));
    i += length;
  }
  return split;
}

// The log files below `directory` ("context" and "state" left out), sorted.
std::vector<std::string> LogFiles(const std::string& directory) {
  std::vector<std::string> files;
  if (!fs::exists(directory)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    std::string name = entry.path().filename();
    if (entry.is_regular_file() && name != "context" && name != "state") {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> ContextFolders(const std::string& directory) {
  std::vector<std::string> folders;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    if (entry.is_regular_file() && entry.path().filename() == "context") {
      folders.push_back(entry.path().parent_path());
    }
  }
  std::sort(folders.begin(), folders.end());
  return folders;
}

bool EndsWithTmp(const std::string& path) {
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".tmp") == 0;
}

// The writer reads the bundle identifier once per process, so the whole process has this one.
class BundleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    platform::foundation::SetMainBundlePath(folder_.path());
    platform::foundation::SetInfoDictionary(
        *NSBundle::mainBundle(), {{kCFBundleIdentifierKey, std::string("com.example.app")}});
  }
  void TearDown() override { platform::foundation::SetMainBundlePath(""); }

 private:
  ScopedTestFolder folder_;
};
const auto* const bundle_environment =
    ::testing::AddGlobalTestEnvironment(new BundleEnvironment);

class LogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(JQXUIKitAXUtils::sharedInstance()->isCacheInitialized());
  }

  std::shared_ptr<NSURL> Directory() { return NSURL::fileURLWithPath(folder_.Path("logs"), true); }
  std::string DirectoryPath() { return folder_.Path("logs"); }

  std::shared_ptr<JQXTrassenLogEvent> Event(int64_t source = 700, bool anonymous = true) {
    auto event = JQXTrassenLogEvent::initWithLogSource(source, anonymous, clock_);
    if (!anonymous) event->setObfuscatedHollinID("acct");
    return event;
  }
  void Write(std::shared_ptr<JQXTrassenLogEvent> event, JQXTrassenLogTransformers list = {}) {
    writer_->writeLog(std::move(event), nullptr, Directory(), clock_, list);
    writer_->waitForQueueToFinish();
  }

  ScopedTestFolder folder_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<JQXLogWriter> writer_ = JQXLogWriter::init();
};

// The file read by an independent reader: Python splits the varint-prefixed records and protoc
// decodes each one without our schema.
TEST_F(LogWriterTest, RecordBytes) {
  Write(Event(700, false));
  auto full = Event(700, false);
  full->setEventCode(3);
  full->addTestCodes({7, 8});
  full->setExtensionData(std::string("\x08\x05", 2));
  full->setComponentID("component");
  full->setEventFlowID(12);
  full->setIsUserInitiated(true);
  full->setTestID("test");
  full->setTovrickOverride("cookie");
  full->addExperimentID(21);
  Write(full);
  writer_->flush();

  auto files = LogFiles(DirectoryPath());
  ASSERT_THAT(files, SizeIs(1));
  EXPECT_FALSE(EndsWithTmp(files[0]));
  const std::string script = folder_.Path("split.py");
  std::ofstream(script) << "import sys\n"
                           "data = open(sys.argv[1], 'rb').read()\n"
                           "i = 0\n"
                           "while i < len(data):\n"
                           "    n = shift = 0\n"
                           "    while True:\n"
                           "        b = data[i]; i += 1; n |= (b & 0x7f) << shift; shift += 7\n"
                           "        if b < 0x80: break\n"
                           "    print(data[i:i + n].hex()); i += n\n";
  FILE* pipe = popen(("python3 " + script + " " + files[0]).c_str(), "r");
  std::vector<std::string> records;
  char line[4096];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string hex(line);
    while (!hex.empty() && hex.back() == '\n') hex.pop_back();
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    records.push_back(bytes);
  }
  ASSERT_EQ(pclose(pipe), 0);
  ASSERT_THAT(records, SizeIs(2));

  auto top_level_fields = [](const std::string& decoded) {
    std::set<int> fields;
    std::istringstream lines(decoded);
    std::string text;
    while (std::getline(lines, text)) {
      if (!text.empty() && isdigit(static_cast<unsigned char>(text[0]))) {
        fields.insert(std::stoi(text));
      }
    }
    return fields;
  };
  const std::string minimal = qm_wire_test::DecodeRaw(records[0]);
  EXPECT_EQ(top_level_fields(minimal), (std::set<int>{1, 15, 17}));
  EXPECT_THAT(minimal, HasSubstr("1: 1700000000000\n"));
  EXPECT_THAT(minimal, HasSubstr("15: 35999\n"));  // -18000, zigzag
  EXPECT_THAT(minimal, HasSubstr("17: 1000000\n"));

  const std::string decoded = qm_wire_test::DecodeRaw(records[1]);
  std::set<int> fields = top_level_fields(decoded);
  EXPECT_EQ(fields, (std::set<int>{1, 6, 10, 11, 12, 14, 15, 16, 17, 20, 26, 28}));
  for (int never : {2, 4, 8, 13, 21, 22, 24, 25, 27, 29}) EXPECT_EQ(fields.count(never), 0u);
  // One tag per test code.
  EXPECT_THAT(qm_wire_test::Hex(records[1]), HasSubstr("A0 01 07 A0 01 08"));
  LogEvent parsed;
  ASSERT_TRUE(parsed.ParseFromString(records[1]));
  EXPECT_THAT(parsed.test_code(), ElementsAre(7, 8));
}

TEST_F(LogWriterTest, FoldersOfContextsAndTierOverrides) {
  // Two events of one context share a folder and a file.
  Write(Event());
  Write(Event());
  auto folders = ContextFolders(DirectoryPath());
  ASSERT_THAT(folders, SizeIs(1));
  const std::string prefix = DirectoryPath() + "/0/com.example.app-";
  ASSERT_EQ(folders[0].rfind(prefix, 0), 0u) << folders[0];
  const std::string digest = folders[0].substr(prefix.size());
  EXPECT_EQ(digest.size(), 32u);
  FILE* pipe = popen(("md5sum " + folders[0] + "/context").c_str(), "r");
  char sum[33] = {};
  ASSERT_EQ(fread(sum, 1, 32, pipe), 32u);
  pclose(pipe);
  EXPECT_EQ(std::string(sum), digest);
  auto files = LogFiles(DirectoryPath());
  ASSERT_THAT(files, SizeIs(1));
  EXPECT_THAT(SplitRecords(ReadFile(files[0])).records, SizeIs(2));

  JQXLogContext context;
  ASSERT_TRUE(context.ParseFromString(ReadFile(folders[0] + "/context")));
  EXPECT_EQ(context.log_source(), 700);
  EXPECT_TRUE(context.is_anonymous());
  EXPECT_EQ(context.client_info().client_type(), ClientInfo::IosV2);
  EXPECT_FALSE(context.has_pseudonymous_id());
  EXPECT_FALSE(context.has_app_quendal_id_code());

  // The uploader stores an override; later events of the source go to tier 2.
  JQXUploaderState state;
  auto* entry = state.mutable_qos_tier()->add_qos_tier_configuration();
  entry->set_log_source(static_cast<LogRequest_LogSource>(700));
  entry->set_qos_tier(QosTierConfiguration::UnmeteredOrDaily);
  std::ofstream(DirectoryPath() + "/state") << state.SerializeAsString();
  Write(Event());
  EXPECT_THAT(ContextFolders(DirectoryPath()), SizeIs(1));  // overrides are read once
  writer_->invalidateOverridesInLogDirectory(Directory());
  Write(Event());
  folders = ContextFolders(DirectoryPath());
  ASSERT_THAT(folders, SizeIs(2));
  EXPECT_EQ(folders[1].rfind(DirectoryPath() + "/2/com.example.app-", 0), 0u) << folders[1];
}

TEST_F(LogWriterTest, FilesRotateAfterTenMinutes) {
  const int64_t start = clock_->currentTimeMilliseconds();
  Write(Event());
  clock_->set(start + 600000);
  Write(Event());
  auto files = LogFiles(DirectoryPath());
  ASSERT_THAT(files, SizeIs(1));
  EXPECT_TRUE(EndsWithTmp(files[0]));

  clock_->set(start + 600001);
  Write(Event());
  files = LogFiles(DirectoryPath());
  ASSERT_THAT(files, SizeIs(2));
  int finished = 0;
  for (const auto& file : files) {
    if (!EndsWithTmp(file)) {
      ++finished;
      EXPECT_THAT(SplitRecords(ReadFile(file)).records, SizeIs(2));
    }
  }
  EXPECT_EQ(finished, 1);
}

TEST(LogOutputStreamTest, OldFilesKeepTheirTemporaryName) {
  ScopedTestFolder folder;
  auto clock = std::make_shared<ManualClock>();
  const int64_t start = clock->currentTimeMilliseconds();
  for (auto [age, renamed] : {std::pair<int64_t, bool>{1199999, true}, {1200000, false}}) {
    clock->set(start);
    auto url = NSURL::fileURLWithPath(folder.path() + "/log" + std::to_string(age));
    auto stream = JQXLogOutputStream::initWithURL(url, clock);
    ASSERT_NE(stream, nullptr);
    LogEvent event;
    event.set_event_time_ms(1);
    ASSERT_TRUE(stream->writeLogEvent(event));
    EXPECT_EQ(stream->bytesWritten(), event.ByteSizeLong());
    clock->set(start + age);
    stream->closeAndMaybeRename();
    EXPECT_EQ(fs::exists(url->path()), renamed) << age;
    EXPECT_EQ(fs::exists(url->path() + ".tmp"), !renamed) << age;

    auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
    platform::foundation::ScopedAssertionHandler scoped(handler);
    EXPECT_FALSE(stream->writeLogEvent(event));
    EXPECT_EQ(handler->failures().size(), 1u);
  }
}

// On a full disk the first record of a new file fails: the file it would have started goes.
TEST(LogOutputStreamTest, AFileWithoutARecordIsRemovedWhenClosed) {
  ScopedTestFolder folder;
  auto clock = std::make_shared<ManualClock>();
  auto url = NSURL::fileURLWithPath(folder.Path("log"));
  // Every write to the file fails as on a full disk.
  ASSERT_EQ(symlink("/dev/full", (url->path() + ".tmp").c_str()), 0);
  auto stream = JQXLogOutputStream::initWithURL(url, clock);
  ASSERT_NE(stream, nullptr);
  platform::utility::BaseLoggerCapture capture;
  LogEvent event;
  event.set_event_time_ms(1);
  EXPECT_FALSE(stream->writeLogEvent(event));
  stream->closeAndMaybeRename();
  EXPECT_FALSE(fs::exists(fs::symlink_status(url->path())));
  EXPECT_FALSE(fs::exists(fs::symlink_status(url->path() + ".tmp")));
}

// A failed move keeps the ".tmp" file and its events for the uploader.
TEST_F(LogWriterTest, FailedMoveKeepsTheTemporaryFile) {
  Write(Event());
  auto files = LogFiles(DirectoryPath());
  ASSERT_THAT(files, SizeIs(1));
  const std::string destination = files[0].substr(0, files[0].size() - 4);
  fs::create_directory(destination);  // in the way
  platform::utility::BaseLoggerCapture capture;
  writer_->flush();
  EXPECT_TRUE(fs::exists(files[0]));
  ASSERT_THAT(capture.messages(), SizeIs(1));
  EXPECT_THAT(capture.messages()[0], HasSubstr("Could not move file from "));
  EXPECT_THAT(capture.messages()[0], HasSubstr(". Dropping logs"));
}

TEST_F(LogWriterTest, UnusableContextFoldersDropTheirEventsEveryTime) {
  Write(Event(700));
  Write(Event(327));
  writer_->flush();
  for (const auto& folder : ContextFolders(DirectoryPath())) {
    JQXLogContext other;
    other.set_log_source(static_cast<LogRequest_LogSource>(1));
    std::ofstream(folder + "/context", std::ios::trunc) << other.SerializeAsString();
  }
  platform::utility::BaseLoggerCapture capture;
  Write(Event(327));  // silent
  EXPECT_THAT(capture.messages(), IsEmpty());
  Write(Event(700));
  Write(Event(700));
  Write(Event(701));  // another context is unaffected
  EXPECT_THAT(capture.messages(),
              ElementsAre("JQXLogContext hash collision. This should be rare. Dropping log.",
                          "Could not write log for log source 700 to disk, dropping log.",
                          "JQXLogContext hash collision. This should be rare. Dropping log.",
                          "Could not write log for log source 700 to disk, dropping log."));

  writer_->flush();
  for (const auto& folder : ContextFolders(DirectoryPath())) {
    std::ofstream(folder + "/context", std::ios::trunc) << "\xff\xff";
  }
  platform::utility::BaseLoggerCapture garbage;
  Write(Event(700));
  Write(Event(327));
  ASSERT_THAT(garbage.messages(), SizeIs(2));
  EXPECT_THAT(garbage.messages()[0], ::testing::StartsWith("Failed to read JQXLogContext file: "));
}

class Dropper : public JQXTrassenLogTransformer {
 public:
  std::shared_ptr<JQXTrassenLogEvent> transform(std::shared_ptr<JQXTrassenLogEvent>) override {
    return nullptr;
  }
};

// Holds every event until released.
class Gate : public JQXTrassenLogTransformer {
 public:
  std::shared_ptr<JQXTrassenLogEvent> transform(std::shared_ptr<JQXTrassenLogEvent> e) override {
    std::unique_lock<std::mutex> lock(mutex_);
    open_condition_.wait(lock, [this] { return open_; });
    return e;
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    open_condition_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable open_condition_;
  bool open_ = false;
};

TEST_F(LogWriterTest, DroppedEventsLeaveNoTraceAndGlobalTransformersAreRefused) {
  platform::utility::BaseLoggerCapture capture;
  Write(Event(), {std::make_shared<Dropper>()});
  EXPECT_FALSE(fs::exists(DirectoryPath() + "/0"));
  EXPECT_THAT(capture.messages(), IsEmpty());
  JQXTrassenLogger::addGlobalLogTransformer(std::make_shared<Dropper>());
  EXPECT_THAT(capture.messages(),
              ElementsAre("Cannot add a global log transformer after logs have already been "
                          "written."));
}

TEST_F(LogWriterTest, OneBackgroundTaskSpansOverlappingWrites) {
  auto gate = std::make_shared<Gate>();
  const unsigned long begun = platform::uikit::BackgroundTasksBegun();
  for (int i = 0; i < 3; ++i) writer_->writeLog(Event(), nullptr, Directory(), clock_, {gate});
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), ElementsAre("JQXLogWriter"));
  gate->open();
  writer_->waitForQueueToFinish();
  EXPECT_EQ(platform::uikit::BackgroundTasksBegun(), begun + 1);
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), IsEmpty());

  // Entering the background closes every file.
  ASSERT_TRUE(EndsWithTmp(LogFiles(DirectoryPath())[0]));
  platform::uikit::MoveApplicationToState(UIApplicationStateBackground);
  writer_->waitForQueueToFinish();
  for (const auto& file : LogFiles(DirectoryPath())) EXPECT_FALSE(EndsWithTmp(file)) << file;
  platform::uikit::MoveApplicationToState(UIApplicationStateActive);
  writer_->waitForQueueToFinish();

  // When time runs out the task ends, and the writes still finish.
  auto slow = std::make_shared<Gate>();
  writer_->writeLog(Event(), nullptr, Directory(), clock_, {slow});
  platform::uikit::ExpireBackgroundTasks();
  EXPECT_THAT(platform::uikit::RunningBackgroundTasks(), IsEmpty());
  slow->open();
  writer_->waitForQueueToFinish();
  EXPECT_THAT(LogFiles(DirectoryPath()), SizeIs(2));
}

// The first write of a process waits for the main thread to fill the accessibility cache; a
// write asked for meanwhile still lands after it, even once the cache is full. Runs in a process
// of its own, whose cache starts empty.
TEST(LogWriterCacheTest, WritesKeepTheirOrderAcrossTheFirstDetour) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ScopedTestFolder folder;
        auto directory = NSURL::fileURLWithPath(folder.path(), true);
        auto clock = std::make_shared<ManualClock>();
        auto writer = JQXLogWriter::init();
        auto event = [&](int code) {
          auto e = JQXTrassenLogEvent::initWithLogSource(700, true, clock);
          e->setEventCode(code);
          return e;
        };
        writer->writeLog(event(1), nullptr, directory, clock, {});
        // Let the writer's queue take the first write to the main queue.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        JQXUIKitAXUtils::sharedInstance()->isCacheInitialized();  // full from now on
        writer->writeLog(event(2), nullptr, directory, clock, {});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        platform::dispatch::RunUntilIdle();
        writer->waitForQueueToFinish();
        auto files = LogFiles(folder.path());
        if (files.size() != 1) std::exit(2);
        std::vector<int> codes;
        for (const auto& record : SplitRecords(ReadFile(files[0])).records) {
          LogEvent parsed;
          parsed.ParseFromString(record);
          codes.push_back(parsed.event_code());
        }
        std::exit(codes == std::vector<int>{1, 2} ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// --- Child processes -----------------------------------------------------------------------------

struct Child {
  pid_t pid = -1;
  FILE* out = nullptr;
};

Child StartChild(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    std::string program = QM_LOG_WRITER_CHILD;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  return {pid, fdopen(fds[0], "r")};
}

// The event codes of every whole record below `directory`, and how many files end torn.
std::multiset<int> EventCodes(const std::string& directory, int* torn_files) {
  std::multiset<int> codes;
  *torn_files = 0;
  for (const auto& file : LogFiles(directory)) {
    Split split = SplitRecords(ReadFile(file));
    if (split.torn) ++*torn_files;
    for (const auto& record : split.records) {
      LogEvent event;
      EXPECT_TRUE(event.ParseFromString(record)) << file;
      codes.insert(event.event_code());
    }
  }
  return codes;
}

TEST_F(LogWriterTest, ChildOverItsFileSizeLimitKeepsWholeRecords) {
  Child child = StartChild({DirectoryPath(), "200", "10", "2000"});
  ASSERT_GT(child.pid, 0);
  long logged = 0;
  long failed = 0;
  char line[128];
  while (fgets(line, sizeof line, child.out) != nullptr) sscanf(line, "%ld %ld", &logged, &failed);
  fclose(child.out);
  int status = 0;
  ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(logged, 200);
  EXPECT_GT(failed, 0);  // the limit was reached

  int torn = 0;
  std::multiset<int> codes = EventCodes(DirectoryPath(), &torn);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(static_cast<long>(codes.size()), logged - failed);
  EXPECT_EQ(std::set<int>(codes.begin(), codes.end()).size(), codes.size());
  EXPECT_GT(LogFiles(DirectoryPath()).size(), 1u);
  for (const auto& file : LogFiles(DirectoryPath())) EXPECT_LE(fs::file_size(file), 2000u);
}

TEST_F(LogWriterTest, KilledChildKeepsEveryReportedEvent) {
  Child child = StartChild({DirectoryPath(), "0", "7"});
  ASSERT_GT(child.pid, 0);
  long reported = 0;
  long failed = 0;
  char line[128];
  while (reported < 500 && fgets(line, sizeof line, child.out) != nullptr) {
    sscanf(line, "%ld %ld", &reported, &failed);
  }
  kill(child.pid, SIGKILL);
  // Lines written before the kill may still be in the pipe.
  while (fgets(line, sizeof line, child.out) != nullptr) sscanf(line, "%ld %ld", &reported, &failed);
  fclose(child.out);
  int status = 0;
  waitpid(child.pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(failed, 0);

  int torn = 0;
  std::multiset<int> codes = EventCodes(DirectoryPath(), &torn);
  EXPECT_LE(torn, 1);
  for (int code = 1; code <= reported; ++code) {
    ASSERT_EQ(codes.count(code), 1u) << "event " << code << " of " << reported;
  }
}

TEST_F(LogWriterTest, TwoProcessesShareOneContextFolder) {
  Child first = StartChild({DirectoryPath(), "300", "50"});
  Child second = StartChild({DirectoryPath(), "300", "50"});
  for (Child* child : {&first, &second}) {
    char line[128];
    while (fgets(line, sizeof line, child->out) != nullptr) {
    }
    fclose(child->out);
    int status = 0;
    waitpid(child->pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto folders = ContextFolders(DirectoryPath());
  ASSERT_THAT(folders, SizeIs(1));
  auto files = LogFiles(DirectoryPath());
  EXPECT_THAT(files, SizeIs(2));
  int torn = 0;
  std::multiset<int> codes = EventCodes(DirectoryPath(), &torn);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(codes.size(), 600u);
  for (int code = 1; code <= 300; ++code) EXPECT_EQ(codes.count(code), 2u) << code;
  // The folder's name is the digest of its "context" file.
  JQXLogContext context;
  ASSERT_TRUE(context.ParseFromString(ReadFile(folders[0] + "/context")));
  EXPECT_EQ("-" + JQXLogContextHashForFilePath(context),
            folders[0].substr(folders[0].rfind('-')));
}

// Events are hashed on background queues, which may still be busy while the process exits:
// the exit must not tear the digest down under them.
TEST(LogWriterExitTest, HashingWhileTheProcessExitsDoesNotCrash) {
  for (int round = 0; round < 50; ++round) {
    Child child = StartChild({"--hash-at-exit"});
    ASSERT_GT(child.pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child.pid, &status, 0), child.pid);
    if (child.out != nullptr) fclose(child.out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "round " << round << ", status " << status;
  }
}

}  // namespace
