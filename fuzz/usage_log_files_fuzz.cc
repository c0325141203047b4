// Reads arbitrary bytes as the two files of a usage-log directory that come from outside the
// writer: a context folder's "context" file and the uploader's "state" file (the first byte
// chooses where the input is cut in two). Each input then goes through a write of one event.
// Any crash or sanitizer report is a fault; so is a log file that does not split into whole
// records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/foundation/ns_url.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/utility/base_logger.h"
#include "usage_base/client_info.h"
#include "usage_log/log_writer.h"

namespace {

namespace fs = std::filesystem;

struct Setup {
  platform::foundation::ScopedTestFolder root;
  Setup() {
    directory = root.Path("logs");
    url = NSURL::fileURLWithPath(directory, true);
    JQXUIKitAXUtils::sharedInstance()->isCacheInitialized();
    writer = JQXLogWriter::init();
    clock = JQXSystemClock::systemClock();
    // The folder of the fuzzed context: the one the first event makes.
    Write();
    for (const auto& entry : fs::recursive_directory_iterator(directory)) {
      if (entry.path().filename() == "context") folder = entry.path().parent_path();
    }
  }
  void Write() {
    auto event = JQXTrassenLogEvent::initWithLogSource(700, true, clock);
    event->setEventCode(1);
    writer->writeLog(event, nullptr, url, clock, {});
    writer->waitForQueueToFinish();
  }

  std::string directory;
  std::string folder;
  std::shared_ptr<NSURL> url;
  std::shared_ptr<JQXLogWriter> writer;
  std::shared_ptr<JQXClockProtocol> clock;
};

// Aborts unless every log file splits into whole records.
void CheckWholeRecords(const std::string& directory) {
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    std::string name = entry.path().filename();
    if (!entry.is_regular_file() || name == "context" || name == "state") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t i = 0;
    while (i < bytes.size()) {
      uint64_t length = 0;
      int shift = 0;
      unsigned char b = 0x80;
      while (i < bytes.size() && (b & 0x80) && shift < 64) {
        b = static_cast<unsigned char>(bytes[i++]);
        length |= static_cast<uint64_t>(b & 0x7f) << shift;
        shift += 7;
      }
      if ((b & 0x80) || length > bytes.size() - i) std::abort();
      i += length;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup* setup = new Setup;
  static platform::utility::BaseLoggerCapture* quiet = new platform::utility::BaseLoggerCapture;
  (void)quiet;
  if (size == 0 || setup->folder.empty()) return 0;
  size_t cut = data[0] % size;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  setup->writer->flush();  // the next event reads the context file again
  std::ofstream(setup->folder + "/context", std::ios::binary | std::ios::trunc)
      << bytes.substr(0, cut);
  std::ofstream(setup->directory + "/state", std::ios::binary | std::ios::trunc)
      << bytes.substr(cut);
  setup->writer->invalidateOverridesInLogDirectory(setup->url);
  setup->Write();
  setup->writer->flush();
  CheckWholeRecords(setup->directory);
  return 0;
}
