// Log files per second from disk to a loopback server through the uploader, one file per
// request against batches, and the gzip routine's throughput on log-like bytes. Each upload
// round writes its files first (not timed) and removes the state file, so that the service's
// answer never holds the next round back.
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "benchmark/benchmark.h"
#include "experiment_flags/marovic_stub_test_util.h"
#include "platform/fetcher/recording_http_server_test_util.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/utility/gzip.h"
#include "experiment_flags/fake_flags_test_util.h"
#include "usage_log/trassen_uploader.h"

namespace {

constexpr int kFilesPerRound = 64;

// A log file's worth of length-prefixed records.
std::string LogBytes(size_t records) {
  std::string bytes;
  for (size_t i = 0; i < records; ++i) {
    LogEvent event;
    event.set_event_time_ms(1700000000000 + static_cast<int64_t>(i));
    event.set_event_code(static_cast<int32_t>(i % 7));
    event.set_source_extension(std::string(60, static_cast<char>('a' + i % 26)));
    std::string record = event.SerializeAsString();
    bytes.push_back(static_cast<char>(record.size()));
    bytes += record;
  }
  return bytes;
}

void BM_UploadFiles(benchmark::State& state, bool batch) {
  RecordingHttpServer server;
  server.Script("/log", {200, ""});
  server.Script("/log/batch", {200, ""});
  platform::foundation::ScopedTestFolder folder;
  const std::string root = folder.path();
  auto flags = std::make_shared<FakeMarovicFlags>();
  flags->setNumber("batch_upload_v2", ZQLMarovicNumber::Boolean(batch));
  auto directory = NSURL::fileURLWithPath(root + "/D", true);
  auto uploader = JQXTrassenUploader::initWithAuthorizer(
      nullptr, std::nullopt, directory, NSURL::URLWithString(server.Base() + "/log"),
      NSURL::URLWithString(server.Base() + "/log/batch"), nullptr, ZRBPseudonymousIDStore::init(),
      JQXSystemClock::systemClock(), std::make_shared<JQXNoOpLockProvider>(),
      JQXTrassenFlags::initWithMarovicFlags(flags), std::make_shared<ZQLMarovicStub>(),
      JQXFakeTrassenLogger::initWithLogSource(103, "", NSURL::fileURLWithPath(root + "/meta")));
  const std::string content = LogBytes(40);
  JQXLogContext context;
  context.set_log_source(static_cast<LogRequest_LogSource>(700));
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(root + "/D/state");
    std::filesystem::create_directories(root + "/D/0/a");
    std::ofstream(root + "/D/0/a/context", std::ios::binary) << context.SerializeAsString();
    for (int i = 0; i < kFilesPerRound; ++i) {
      std::ofstream(root + "/D/0/a/" + std::to_string(i), std::ios::binary) << content;
    }
    state.ResumeTiming();
    std::promise<void> done;
    uploader->uploadWithCompletionHandler([&done](bool, std::shared_ptr<NSError>) {
      done.set_value();
    });
    done.get_future().get();
  }
  state.SetItemsProcessed(state.iterations() * kFilesPerRound);
  state.SetBytesProcessed(state.iterations() * kFilesPerRound * static_cast<int64_t>(content.size()));
}

void BM_Gzip(benchmark::State& state) {
  const std::string text = LogBytes(20000);
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  for (auto _ : state) {
    auto packed = platform::utility::GzipData(bytes, nullptr);
    benchmark::DoNotOptimize(packed);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

BENCHMARK_CAPTURE(BM_UploadFiles, single, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_UploadFiles, batch, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Gzip)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
