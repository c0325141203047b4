// Reports per second from a call site through the shared log multiplexer to one no-op
// synchronous sink, with the call stack captured as raw addresses, as symbols, or not at all,
// beside a direct call of the base logger's internal entry (also writing nowhere). The
// multiplexer's forwarding to the base logger is stopped, so only routing and capture count.
#include <memory>

#include "benchmark/benchmark.h"
#include "infra/log_multiplexer.h"
#include "platform/utility/base_logger.h"

namespace {

class NoOpSink : public ZRBSyncLogger {
 public:
  void logWithMessage(const std::shared_ptr<ZRBLogMessage>& message) override {
    benchmark::DoNotOptimize(message.get());
  }
};

class NoOpWriter : public platform::utility::LogWriter {
 public:
  void writeLine(const std::string& line, unsigned) override { benchmark::DoNotOptimize(line); }
};

enum class Capture { kAddresses, kSymbols, kNone };

void Setup(Capture capture) {
  static bool once = [] {
    auto shared = ZRBLogMultiplexer::sharedInstance();
    shared->stopForwardingMessagesToSharedLogger();
    shared->addSyncLogger(std::make_shared<NoOpSink>());
    return true;
  }();
  (void)once;
  auto shared = ZRBLogMultiplexer::sharedInstance();
  shared->setCaptureCallStack(capture != Capture::kNone);
  shared->setCaptureCallStackAddresses(capture == Capture::kAddresses);
}

void BM_MultiplexerReport(benchmark::State& state, Capture capture) {
  Setup(capture);
  auto metadata = ZRBLogMetadata::metadataWithComponent("bench");
  for (auto _ : state) {
    ZRB_LOG_MESSAGE(3, metadata, "Could not commit %@: %d", "package", 7);
  }
  state.SetItemsProcessed(state.iterations());
  // The asynchronous half (one hop per report onto the logging queue) finishes before the next run.
  dispatch_sync(ZRBLogMultiplexer::sharedInstance()->loggingQueue(), [] {});
}
BENCHMARK_CAPTURE(BM_MultiplexerReport, addresses, Capture::kAddresses);
BENCHMARK_CAPTURE(BM_MultiplexerReport, symbols, Capture::kSymbols);
BENCHMARK_CAPTURE(BM_MultiplexerReport, no_capture, Capture::kNone);

void BM_BaseLoggerDirect(benchmark::State& state) {
  auto logger = std::make_shared<platform::utility::BaseLogger>();
  logger->setWriter(std::make_shared<NoOpWriter>());
  for (auto _ : state) {
    logger->logInternal("Owner::method", "Could not commit %@: %d", {"package", 7}, 3);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaseLoggerDirect);

}  // namespace

BENCHMARK_MAIN();
