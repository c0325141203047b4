#include "platform/foundation/sandbox.h"

#include <unistd.h>

#include "gtest/gtest.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

TEST(SandboxTest, DefaultRootIsAFolderOfThisProcessWithTheStandardFolders) {
  platform::foundation::SetSandboxRoot("");
  std::string root = "/tmp/quillmere-sandbox." + std::to_string(getpid());
  EXPECT_EQ(NSHomeDirectory(), root);
  auto manager = NSFileManager::defaultManager();
  for (const char* folder : {"/Documents", "/Library/Caches", "/Library/Preferences", "/tmp"}) {
    bool is_directory = false;
    EXPECT_TRUE(manager->fileExistsAtPath(root + folder, &is_directory) && is_directory) << folder;
  }
  EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSLibraryDirectory, NSUserDomainMask, true),
            std::vector<std::string>{root + "/Library"});
  EXPECT_TRUE(
      NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSLocalDomainMask, true).empty());
  EXPECT_TRUE(
      NSSearchPathForDirectoriesInDomains(NSItemReplacementDirectory, NSUserDomainMask, true)
          .empty());
  EXPECT_TRUE(manager->removeItemAtPath(root, nullptr));
}

TEST(SandboxTest, RootsAreTakenWithoutTrailingSlashes) {
  platform::foundation::ScopedTestFolder folder;
  platform::foundation::SetSandboxRoot(folder.Path("root///"));
  EXPECT_EQ(platform::foundation::SandboxDirectory(NSDocumentDirectory),
            folder.Path("root/Documents"));
  EXPECT_EQ(platform::foundation::SandboxPreferencesDirectory(),
            folder.Path("root/Library/Preferences"));
  platform::foundation::SetSandboxRoot("");
}

}  // namespace
