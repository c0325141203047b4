// Usage events per second from a logger's `log` to a record in a log file on disk, against the
// floor of one raw write() per record of the same size and one write() plus fdatasync() per
// record. The logger's time includes its queue hop, the transformers (sampler with default
// settings), the context build and the record write, up to the last record of each batch.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "benchmark/benchmark.h"
#include "experiment_flags/experiment_tokens.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "usage_base/client_info.h"
#include "usage_log/log_writer.h"
#include "usage_log/trassen_logger.h"

namespace {

// The process's sandbox and flag store, in a folder of the run's own: the logger reads its
// settings from the flag store, whose default home is an app-group container this process
// does not have.
const platform::foundation::ScopedTestFolder& BenchFolder() {
  static const platform::foundation::ScopedTestFolder* folder = [] {
    auto* made = new platform::foundation::ScopedTestFolder;
    platform::foundation::SetSandboxRoot(made->Path("sandbox"));
    ZQLMarovicUtil::setDefaultDirectory(NSURL::fileURLWithPath(made->Path("flags"), true));
    return made;
  }();
  return *folder;
}

// A new folder for one benchmark's files.
std::string TempFolder() {
  static int count = 0;
  const std::string folder = BenchFolder().Path("run" + std::to_string(count++));
  std::filesystem::create_directories(folder);
  return folder;
}

// The record the logger writes for the events below.
std::string Record() {
  LogEvent event;
  event.set_event_time_ms(1700000000000);
  event.set_event_uptime_ms(1000000);
  event.set_timezone_offset_seconds(-18000);
  event.set_event_code(3);
  event.set_source_extension(std::string(60, 'x'));
  std::string bytes = event.SerializeAsString();
  return std::string(1, static_cast<char>(bytes.size())) + bytes;
}

void BM_LoggerToDisk(benchmark::State& state) {
  JQXUIKitAXUtils::sharedInstance()->isCacheInitialized();
  const std::string folder = TempFolder();
  auto logger = JQXTrassenLogger::initWithLogSource(
      700, "", true, NSURL::fileURLWithPath(folder, true), JQXTrassenLogTransformers());
  auto writer = JQXLogWriter::sharedInstance();
  const std::string payload(60, 'x');
  // Batches of events, each waited for, so that the time runs to the last record on disk.
  constexpr int kBatch = 1000;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      auto event = logger->newEvent();
      event->setEventCode(3);
      event->setExtensionData(payload);
      logger->log(event);
    }
    writer->waitForQueueToFinish();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  writer->flush();
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_LoggerToDisk)->UseRealTime();

void BM_RawWrite(benchmark::State& state, bool sync) {
  const std::string folder = TempFolder();
  int fd = open((folder + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const std::string record = Record();
  for (auto _ : state) {
    benchmark::DoNotOptimize(write(fd, record.data(), record.size()));
    if (sync) fdatasync(fd);
  }
  state.SetItemsProcessed(state.iterations());
  close(fd);
  std::filesystem::remove_all(folder);
}
BENCHMARK_CAPTURE(BM_RawWrite, write, false)->UseRealTime();
BENCHMARK_CAPTURE(BM_RawWrite, write_fdatasync, true)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
