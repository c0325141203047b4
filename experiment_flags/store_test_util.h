// A flag store's file roots for one test: a sandbox (Caches holds the local root) and a default
// directory (holding the shared root), both in a fresh folder.
#ifndef EXPERIMENT_FLAGS_STORE_TEST_UTIL_H_
#define EXPERIMENT_FLAGS_STORE_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <string>

#include "experiment_flags/experiment_tokens.h"
#include "experiment_flags/zql_url.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"

class StoreFolderTest : public ::testing::Test {

 public:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    ZQLMarovicUtil::setDefaultDirectory(NSURL::fileURLWithPath(folder_.Path("default"), true));
    ZQLURL::resetBackupExclusionForTesting();
  }
  void TearDown() override { ZQLMarovicUtil::setDefaultDirectory(nullptr); }

  std::string Shared(const std::string& name = "") const {
    return folder_.Path("default/ZQLMarovic/flat_file") + (name.empty() ? "" : "/" + name);
  }
  std::string Local(const std::string& name = "") const {
    return folder_.Path("sandbox/Library/Caches/ZQLMarovic/flat_file_local") +
           (name.empty() ? "" : "/" + name);
  }
  static void Write(const std::string& path, const std::string& bytes) {
    auto folder = NSURL::fileURLWithPath(path)->URLByDeletingLastPathComponent();
    NSFileManager::defaultManager()->createDirectoryAtURL(*folder, true, {}, nullptr);
    ASSERT_TRUE(NSDataWriteToFile(std::vector<uint8_t>(bytes.begin(), bytes.end()), path, true))
        << path;
  }
  static bool Exists(const std::string& path) {
    return NSFileManager::defaultManager()->fileExistsAtPath(path);
  }
  static std::string Read(const std::string& path) {
    auto bytes = NSFileManager::defaultManager()->contentsAtPath(path);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<missing>");
  }

  platform::foundation::ScopedTestFolder folder_;
};

#endif  // EXPERIMENT_FLAGS_STORE_TEST_UTIL_H_
