// Unpacks arbitrary bytes as a downloaded model archive, into the archive's own folder as the
// model loader does. Any crash, hang or sanitizer report is a fault, and so is a file written
// outside that folder; refusing the bytes is expected.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/zipfoundation/unzip.h"

#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace fs = std::filesystem;
  static const platform::foundation::ScopedTestFolder scratch;
  const fs::path root = scratch.Path("root");
  const fs::path folder = root / "NAME";
  fs::remove_all(root);
  fs::create_directories(folder);
  const fs::path archive = folder / "NAME.zip";
  std::ofstream(archive, std::ios::binary).write(reinterpret_cast<const char*>(data),
                                                 static_cast<std::streamsize>(size));
  std::shared_ptr<NSError> error;
  unzipItem(*NSFileManager::defaultManager(), *NSURL::fileURLWithPath(archive.string()),
            *NSURL::fileURLWithPath(folder.string(), true), true, &error);
  for (const auto& entry : fs::directory_iterator(root)) {
    if (entry.path() != folder) std::abort();  // something escaped the folder
  }
  fs::remove_all(root);
  return 0;
}
