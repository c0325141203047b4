// A fresh, empty folder for one test, removed with everything in it when the object ends.
//
//   platform::foundation::ScopedTestFolder folder;
//   platform::foundation::SetSandboxRoot(folder.path() + "/sandbox");
//
// The folder is made with mkdtemp below /tmp, which is a disk file system on the machines we
// build on, so extended attributes and birth times are available there.
#ifndef PLATFORM_FOUNDATION_SCOPED_TEST_FOLDER_H_
#define PLATFORM_FOUNDATION_SCOPED_TEST_FOLDER_H_

#include <stdlib.h>

#include <string>

#include "platform/foundation/ns_file_manager.h"

namespace platform::foundation {

class ScopedTestFolder {
 public:
  ScopedTestFolder() {
    char pattern[] = "/tmp/qm-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~ScopedTestFolder() {
    if (!path_.empty()) NSFileManager::defaultManager()->removeItemAtPath(path_, nullptr);
  }
  ScopedTestFolder(const ScopedTestFolder&) = delete;
  ScopedTestFolder& operator=(const ScopedTestFolder&) = delete;

  // The folder's absolute path, without a trailing "/"; empty when it could not be made.
  const std::string& path() const { return path_; }
  // The path of `name` inside the folder.
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_SCOPED_TEST_FOLDER_H_
