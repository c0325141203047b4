// A process that logs usage events for the log writer's durability tests.
//
//   log_writer_child <directory> <events> <batch> [<file size limit>]
//
// Logs events with codes 1, 2, ... through an anonymous logger of log source 700 into
// <directory>, in batches; after each batch it waits for the writer and prints one line
// "<events logged> <writes that failed>" to stdout. With a file size limit, SIGXFSZ is ignored
// and RLIMIT_FSIZE is set, so writes past the limit fail instead of killing the process.
// <events> 0 logs forever. Ends by closing the log files.
//
//   log_writer_child --hash-at-exit
//
// Hashes log contexts on a thread of its own and meanwhile returns from main, so that the
// process exits while a digest is being computed.
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "experiment_flags/experiment_tokens.h"
#include "platform/foundation/sandbox.h"
#include "platform/utility/base_logger.h"
#include "usage_base/client_info.h"
#include "usage_log/log_writer.h"
#include "usage_log/trassen_logger.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--hash-at-exit") {
    std::thread([] {
      JQXLogContext context;
      context.set_log_source(static_cast<LogRequest_LogSource>(1));
      while (true) JQXLogContextHashForFilePath(context);
    }).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return 0;
  }
  if (argc < 4) return 2;
  auto directory = NSURL::fileURLWithPath(argv[1], true);
  // Settings come from an empty flag store beside the log folder.
  auto beside = directory->URLByDeletingLastPathComponent();
  platform::foundation::SetSandboxRoot(beside->path() + "/child-sandbox");
  ZQLMarovicUtil::setDefaultDirectory(beside->URLByAppendingPathComponent("child-marovic", true));
  const long events = std::atol(argv[2]);
  const long batch = std::atol(argv[3]);
  if (argc > 4) {
    signal(SIGXFSZ, SIG_IGN);
    rlim_t limit = std::strtoull(argv[4], nullptr, 10);
    struct rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return 3;
  }
  // The first write would otherwise wait for this thread to fill the accessibility cache.
  JQXUIKitAXUtils::sharedInstance()->isCacheInitialized();
  // Counts the writes the writer reports as failed.
  platform::utility::BaseLoggerCapture capture;

  auto logger = JQXTrassenLogger::initWithLogSource(700, "", true, directory, {});
  auto writer = JQXLogWriter::sharedInstance();
  for (long logged = 0; events == 0 || logged < events;) {
    for (long i = 0; i < batch && (events == 0 || logged < events); ++i) {
      auto event = logger->newEvent();
      event->setEventCode(static_cast<int32_t>(++logged));
      event->setExtensionData(std::string(40, 'x'));
      logger->log(event);
    }
    writer->waitForQueueToFinish();
    long failed = 0;
    for (const auto& line : capture.lines()) {
      if (line.message.rfind("Could not write log", 0) == 0) ++failed;
    }
    std::printf("%ld %ld\n", logged, failed);
    std::fflush(stdout);
  }
  writer->flush();
  return 0;
}
