// Hands arbitrary answers of the usage-logging service (any status, any body) to the uploader's
// response processing for a request of one to three log files. Any crash or sanitizer report is
// a fault; so is a deleted file where the answer could not have accepted it (a status of 500 or
// more other than 507, or no answer at all) and a kept file after a success that was no 207.
//
// Input: two bytes of status (big-endian, taken modulo 1000), one byte of file count, the body.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/fetcher/http_fetcher.h"
#include "platform/foundation/ns_date.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "usage_log/trassen_uploader.h"

namespace {

struct Setup {
  platform::foundation::ScopedTestFolder root;
  std::string directory;
  std::shared_ptr<JQXTrassenUploader> uploader;
  std::shared_ptr<JQXLogContext> context = std::make_shared<JQXLogContext>();
};

Setup& TheSetup() {
  static Setup* setup = [] {
    auto* s = new Setup;
    s->directory = s->root.path();
    s->context->set_log_source(LogRequest_LogSource_Unknown);
    // The meta counters' logger writes into the default log directory.
    JQXTrassenLogger::setDefaultDirectory(NSURL::fileURLWithPath(s->directory + "/meta", true));
    s->uploader = JQXTrassenUploader::initWithAuthorizer(
        nullptr, std::nullopt, NSURL::fileURLWithPath(s->directory + "/D", true), false,
        NSURL::URLWithString("https://x/log"), NSURL::URLWithString("https://x/log/batch"),
        nullptr);
    return s;
  }();
  return *setup;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  Setup& setup = TheSetup();
  const long status = ((data[0] << 8) | data[1]) % 1000;
  const size_t count = 1 + data[2] % 3;
  const std::vector<uint8_t> body(data + 3, data + size);

  JQXLogFiles files;
  for (size_t i = 0; i < count; ++i) {
    const std::string path = setup.directory + "/f" + std::to_string(i);
    std::ofstream(path) << "x";
    files.push_back(JQXLogFile::initWithContext(setup.context, NSURL::fileURLWithPath(path)));
  }
  std::shared_ptr<NSError> error;
  if (status == 0) {
    error = NSError::errorWithDomain(NSURLErrorDomain, NSURLErrorTimedOut);
  } else if (status < 200 || status > 299) {
    error = NSError::errorWithDomain(platform::fetcher::kFetcherStatusDomain, status);
  }
  std::optional<std::vector<uint8_t>> answer;
  if (status != 0) answer = body;
  dispatch_sync(setup.uploader->queue(), [&] {
    setup.uploader->processResponse(answer, setup.context, files, 1, count > 1, error, status,
                                    /*isCurrent=*/false);
  });

  auto manager = NSFileManager::defaultManager();
  for (const auto& file : files) {
    const bool kept = manager->fileExistsAtPath(file->url()->path());
    if (!kept && (status == 0 || (status >= 500 && status != 507))) std::abort();
    if (kept && error == nullptr && status != 207) std::abort();
    manager->removeItemAtPath(file->url()->path(), nullptr);
  }
  return 0;
}
