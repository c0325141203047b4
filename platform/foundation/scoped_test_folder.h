// A fresh, empty folder for one test, removed with everything in it when the object ends.
//
//   platform::foundation::ScopedTestFolder folder;
//   platform::foundation::SetSandboxRoot(folder.path() + "/sandbox");
//
// Every test, benchmark and fuzz target that needs a folder takes it from here, so nothing
// depends on a name another run may have left behind. The folder is made with mkdtemp under the
// test temporary folder: $TEST_TMPDIR when set, else $TMPDIR, else /tmp. When it cannot be made
// the process stops at once with a message that names the parent folder and the reason: a test
// that carried on without its folder would fail later in ways that hide the cause.
//
// Header only and built on the standard library alone, so tests of every layer can use it.
#ifndef PLATFORM_FOUNDATION_SCOPED_TEST_FOLDER_H_
#define PLATFORM_FOUNDATION_SCOPED_TEST_FOLDER_H_

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>

namespace platform::foundation {

class ScopedTestFolder {
 public:
  ScopedTestFolder() {
    std::string pattern = TestTemporaryRoot() + "/qm-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      const int error = errno;
      fprintf(stderr, "ScopedTestFolder: cannot make a folder %s: %s\n", pattern.c_str(),
              strerror(error));
      abort();
    }
    path_ = pattern;
  }
  // Removes the folder even where a test took away its own write or search permissions.
  ~ScopedTestFolder() {
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      }
    }
    fs::remove_all(path_, ignored);
  }
  ScopedTestFolder(const ScopedTestFolder&) = delete;
  ScopedTestFolder& operator=(const ScopedTestFolder&) = delete;

  // The folder's absolute path, without a trailing "/".
  const std::string& path() const { return path_; }
  // The path of `name` inside the folder.
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

  // The folder new test folders go in: $TEST_TMPDIR, else $TMPDIR, else "/tmp"; an empty
  // variable counts as unset. Without a trailing "/" (except for "/" itself).
  static std::string TestTemporaryRoot() {
    for (const char* name : {"TEST_TMPDIR", "TMPDIR"}) {
      const char* value = getenv(name);
      if (value == nullptr || *value == '\0') continue;
      std::string root = value;
      while (root.size() > 1 && root.back() == '/') root.pop_back();
      return root;
    }
    return "/tmp";
  }

 private:
  std::string path_;
};

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_SCOPED_TEST_FOLDER_H_
