#include "platform/foundation/ns_file_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using platform::foundation::ScopedTestFolder;
using ::testing::ElementsAre;

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::string Text(const std::string& path) {
  auto bytes = NSFileManager::defaultManager()->contentsAtPath(path);
  return bytes.has_value() ? std::string(bytes->begin(), bytes->end()) : "<missing>";
}

void Write(const std::string& path, const std::string& text) {
  ASSERT_TRUE(NSDataWriteToFile(Bytes(text), path, false)) << path;
}

// The POSIX cause carried by a file error.
long Cause(const std::shared_ptr<NSError>& error) {
  auto underlying = error == nullptr ? nullptr : error->underlyingError();
  return underlying == nullptr ? 0 : underlying->code();
}

class NSFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.path().empty()); }

  std::shared_ptr<NSFileManager> manager_ = NSFileManager::defaultManager();
  ScopedTestFolder folder_;
  std::shared_ptr<NSError> error_;
};

TEST_F(NSFileManagerTest, CreateDirectoryWithAndWithoutIntermediates) {
  std::string deep = folder_.Path("a/b/c");
  EXPECT_FALSE(manager_->createDirectoryAtPath(deep, false, {}, &error_));
  EXPECT_EQ(error_->code(), NSFileNoSuchFileError);
  EXPECT_EQ(Cause(error_), ENOENT);

  ASSERT_TRUE(manager_->createDirectoryAtPath(deep, true, {}, &error_));
  bool is_directory = false;
  EXPECT_TRUE(manager_->fileExistsAtPath(deep, &is_directory));
  EXPECT_TRUE(is_directory);
  // An existing folder is fine with intermediates, an error without.
  EXPECT_TRUE(manager_->createDirectoryAtURL(
      *NSURL::fileURLWithPath(deep, true), true,
      {{NSFileProtectionKey, std::string(NSFileProtectionNone)}}, &error_));
  EXPECT_FALSE(manager_->createDirectoryAtPath(deep, false, {}, &error_));
  EXPECT_EQ(error_->code(), NSFileWriteFileExistsError);

  // A file in the way is an error either way.
  Write(folder_.Path("file"), "x");
  EXPECT_FALSE(manager_->createDirectoryAtPath(folder_.Path("file"), true, {}, &error_));
  EXPECT_EQ(error_->code(), NSFileWriteFileExistsError);
  EXPECT_FALSE(manager_->createDirectoryAtPath(folder_.Path("file/sub"), true, {}, &error_));
  is_directory = true;
  EXPECT_TRUE(manager_->fileExistsAtPath(folder_.Path("file"), &is_directory));
  EXPECT_FALSE(is_directory);
  EXPECT_FALSE(manager_->fileExistsAtPath(folder_.Path("missing")));
}

TEST_F(NSFileManagerTest, ConcurrentCreationOfOneTreeSucceedsEverywhere) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      if (!manager_->createDirectoryAtPath(folder_.Path("x/y/z"), true, {}, nullptr)) ++failures;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(NSFileManagerTest, ListingSortsAndSkipsHiddenOnRequest) {
  Write(folder_.Path("b.scn"), "");
  Write(folder_.Path(".hidden"), "");
  Write(folder_.Path("a.zip"), "");
  ASSERT_TRUE(manager_->createDirectoryAtPath(folder_.Path("sub/inner"), true, {}, nullptr));

  EXPECT_THAT(*manager_->contentsOfDirectoryAtPath(folder_.path(), &error_),
              ElementsAre(".hidden", "a.zip", "b.scn", "sub"));
  auto url = NSURL::fileURLWithPath(folder_.path(), true);
  auto all = manager_->contentsOfDirectoryAtURL(*url, 0, &error_);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->size(), 4u);
  auto visible =
      manager_->contentsOfDirectoryAtURL(*url, NSDirectoryEnumerationSkipsHiddenFiles, &error_);
  ASSERT_TRUE(visible.has_value());
  std::vector<std::string> names;
  for (const auto& entry : *visible) names.push_back(entry->lastPathComponent());
  EXPECT_THAT(names, ElementsAre("a.zip", "b.scn", "sub"));
  EXPECT_EQ((*visible)[0]->path(), folder_.Path("a.zip"));
  EXPECT_TRUE((*visible)[2]->hasDirectoryPath());

  EXPECT_FALSE(manager_->contentsOfDirectoryAtPath(folder_.Path("missing"), &error_).has_value());
  EXPECT_EQ(error_->code(), NSFileReadNoSuchFileError);
  EXPECT_FALSE(manager_->contentsOfDirectoryAtPath(folder_.Path("a.zip"), &error_).has_value());
}

TEST_F(NSFileManagerTest, RemoveTakesFoldersWithEverythingButNotLinkTargets) {
  ASSERT_TRUE(manager_->createDirectoryAtPath(folder_.Path("keep"), true, {}, nullptr));
  Write(folder_.Path("keep/precious"), "p");
  ASSERT_TRUE(manager_->createDirectoryAtPath(folder_.Path("tree/a/b"), true, {}, nullptr));
  Write(folder_.Path("tree/a/b/file"), "x");
  Write(folder_.Path("tree/.hidden"), "x");
  ASSERT_EQ(symlink(folder_.Path("keep").c_str(), folder_.Path("tree/link").c_str()), 0);

  ASSERT_TRUE(manager_->removeItemAtURL(*NSURL::fileURLWithPath(folder_.Path("tree")), &error_));
  EXPECT_FALSE(manager_->fileExistsAtPath(folder_.Path("tree")));
  EXPECT_EQ(Text(folder_.Path("keep/precious")), "p");

  EXPECT_FALSE(manager_->removeItemAtPath(folder_.Path("tree"), &error_));
  EXPECT_EQ(error_->code(), NSFileNoSuchFileError);
  EXPECT_EQ(*error_->userInfoValue<std::string>(NSFilePathErrorKey), folder_.Path("tree"));
  EXPECT_EQ(Cause(error_), ENOENT);
}

TEST_F(NSFileManagerTest, CopyRefusesAnExistingDestination) {
  Write(folder_.Path("download.tmp"), "archive");
  Write(folder_.Path("existing.zip"), "older");
  EXPECT_FALSE(manager_->copyItemAtPath(folder_.Path("download.tmp"), folder_.Path("existing.zip"),
                                        &error_));
  EXPECT_EQ(error_->code(), NSFileWriteFileExistsError);
  EXPECT_EQ(Text(folder_.Path("existing.zip")), "older");

  ASSERT_TRUE(manager_->copyItemAtURL(*NSURL::fileURLWithPath(folder_.Path("download.tmp")),
                                      *NSURL::fileURLWithPath(folder_.Path("copy.zip")), &error_));
  EXPECT_EQ(Text(folder_.Path("copy.zip")), "archive");
  EXPECT_EQ(Text(folder_.Path("download.tmp")), "archive");

  EXPECT_FALSE(manager_->copyItemAtPath(folder_.Path("missing"), folder_.Path("m2"), &error_));
  EXPECT_EQ(error_->code(), NSFileNoSuchFileError);
  EXPECT_FALSE(manager_->fileExistsAtPath(folder_.Path("m2")));
}

TEST_F(NSFileManagerTest, CopyTakesFoldersRecursivelyWithModesAndLinks) {
  ASSERT_TRUE(manager_->createDirectoryAtPath(folder_.Path("src/sub"), true, {}, nullptr));
  Write(folder_.Path("src/sub/run.sh"), "#!/bin/sh\n");
  ASSERT_EQ(chmod(folder_.Path("src/sub/run.sh").c_str(), 0750), 0);
  ASSERT_EQ(symlink("sub/run.sh", folder_.Path("src/link").c_str()), 0);

  ASSERT_TRUE(manager_->copyItemAtPath(folder_.Path("src"), folder_.Path("dst"), &error_));
  EXPECT_EQ(Text(folder_.Path("dst/sub/run.sh")), "#!/bin/sh\n");
  struct stat status {};
  ASSERT_EQ(stat(folder_.Path("dst/sub/run.sh").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0750u);
  char target[64] = {};
  ASSERT_GT(readlink(folder_.Path("dst/link").c_str(), target, sizeof(target) - 1), 0);
  EXPECT_STREQ(target, "sub/run.sh");

  EXPECT_FALSE(manager_->copyItemAtPath(folder_.Path("src"), folder_.Path("dst"), &error_));
  EXPECT_EQ(error_->code(), NSFileWriteFileExistsError);
}

TEST_F(NSFileManagerTest, MoveNeverReplacesItsDestination) {
  Write(folder_.Path("log.tmp"), "new events");
  Write(folder_.Path("log"), "someone else's file");
  EXPECT_FALSE(manager_->moveItemAtPath(folder_.Path("log.tmp"), folder_.Path("log"), &error_));
  EXPECT_EQ(error_->code(), NSFileWriteFileExistsError);
  EXPECT_EQ(Cause(error_), EEXIST);
  EXPECT_EQ(Text(folder_.Path("log")), "someone else's file");
  EXPECT_EQ(Text(folder_.Path("log.tmp")), "new events");

  ASSERT_TRUE(manager_->moveItemAtURL(*NSURL::fileURLWithPath(folder_.Path("log.tmp")),
                                      *NSURL::fileURLWithPath(folder_.Path("log2")), &error_));
  EXPECT_EQ(Text(folder_.Path("log2")), "new events");
  EXPECT_FALSE(manager_->fileExistsAtPath(folder_.Path("log.tmp")));

  EXPECT_FALSE(manager_->moveItemAtPath(folder_.Path("log.tmp"), folder_.Path("log3"), &error_));
  EXPECT_EQ(error_->code(), NSFileNoSuchFileError);
}

TEST_F(NSFileManagerTest, RacingMovesToOneDestinationHaveOneWinner) {
  constexpr int kMovers = 8;
  for (int i = 0; i < kMovers; ++i)
    Write(folder_.Path("lock." + std::to_string(i)), std::to_string(i));
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kMovers; ++i) {
    threads.emplace_back([&, i] {
      if (manager_->moveItemAtPath(folder_.Path("lock." + std::to_string(i)), folder_.Path("lock"),
                                   nullptr)) {
        ++winners;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(winners.load(), 1);
  EXPECT_EQ(manager_->contentsOfDirectoryAtPath(folder_.path(), nullptr)->size(),
            static_cast<size_t>(kMovers));
}

TEST_F(NSFileManagerTest, AttributesGiveSizeTimesAndBirthTime) {
  double before = static_cast<double>(time(nullptr)) - 2;
  Write(folder_.Path("file"), "12345");
  auto attributes = manager_->attributesOfItemAtPath(folder_.Path("file"), &error_);
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ(attributes->fileSize(), 5u);
  EXPECT_EQ(attributes->fileType(), NSFileTypeRegular);
  ASSERT_NE(attributes->fileModificationDate(), nullptr);
  EXPECT_GE(attributes->fileModificationDate()->timeIntervalSince1970(), before);

  // Birth time: the file system of the test folder may not record it; then there is no date
  // at all rather than a wrong one.
  auto url = NSURL::fileURLWithPath(folder_.Path("file"));
  std::any created;
  ASSERT_TRUE(url->getResourceValue(&created, NSURLCreationDateKey, &error_));
  if (attributes->fileCreationDate() == nullptr) {
    EXPECT_FALSE(created.has_value());
    GTEST_SKIP() << "the file system of " << folder_.path() << " records no birth time";
  }
  double birth = attributes->fileCreationDate()->timeIntervalSince1970();
  EXPECT_GE(birth, before);
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(std::any_cast<std::shared_ptr<NSDate>>(created)->timeIntervalSince1970(), birth);

  // Rewriting the contents in place moves the modification time, never the birth time.
  struct timespec old_times[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, folder_.Path("file").c_str(), old_times, 0), 0);
  Write(folder_.Path("file"), "123456789");
  attributes = manager_->attributesOfItemAtPath(folder_.Path("file"), &error_);
  EXPECT_EQ(attributes->fileSize(), 9u);
  EXPECT_GT(attributes->fileModificationDate()->timeIntervalSince1970(), 1000);
  EXPECT_EQ(attributes->fileCreationDate()->timeIntervalSince1970(), birth);
}

TEST_F(NSFileManagerTest, SetAttributesChangesModeAndModificationDate) {
  Write(folder_.Path("context"), "c");
  auto two_weeks_ago = NSDate::dateWithTimeIntervalSince1970(1700000000.25);
  ASSERT_TRUE(manager_->setAttributes({{NSFileModificationDate, two_weeks_ago},
                                       {NSFilePosixPermissions, 0600UL},
                                       {NSFileProtectionKey, std::string(NSFileProtectionNone)}},
                                      folder_.Path("context"), &error_));
  auto attributes = manager_->attributesOfItemAtPath(folder_.Path("context"), &error_);
  ASSERT_TRUE(attributes.has_value());
  EXPECT_NEAR(attributes->fileModificationDate()->timeIntervalSince1970(), 1700000000.25, 1e-6);
  EXPECT_EQ(std::any_cast<unsigned long>(attributes->at(NSFilePosixPermissions)), 0600UL);

  EXPECT_FALSE(manager_->setAttributes({{NSFileSize, 3ULL}}, folder_.Path("context"), &error_));
  EXPECT_EQ(error_->code(), NSFileWriteUnknownError);
  EXPECT_FALSE(
      manager_->setAttributes({{NSFilePosixPermissions, 0600}},  // an int, not unsigned long
                              folder_.Path("context"), &error_));
  EXPECT_FALSE(manager_->setAttributes({{NSFileProtectionKey, std::string(NSFileProtectionNone)}},
                                       folder_.Path("missing"), &error_));
  EXPECT_EQ(Cause(error_), ENOENT);
}

TEST_F(NSFileManagerTest, ResourceValuesOfFolders) {
  auto url = NSURL::fileURLWithPath(folder_.path(), true);
  std::any value;
  ASSERT_TRUE(url->getResourceValue(&value, NSURLIsDirectoryKey, &error_));
  EXPECT_TRUE(std::any_cast<bool>(value));
  ASSERT_TRUE(url->getResourceValue(&value, NSURLContentModificationDateKey, &error_));
  EXPECT_NE(std::any_cast<std::shared_ptr<NSDate>>(value), nullptr);

  auto missing = NSURL::fileURLWithPath(folder_.Path("missing"), true);
  EXPECT_FALSE(missing->getResourceValue(&value, NSURLContentModificationDateKey, &error_));
  EXPECT_EQ(error_->code(), NSFileReadNoSuchFileError);
  EXPECT_FALSE(url->getResourceValue(&value, "NSURLUnknownKey", &error_));
  EXPECT_FALSE(NSURL::URLWithString("https://example.com/x")
                   ->getResourceValue(&value, NSURLIsDirectoryKey, &error_));
}

TEST_F(NSFileManagerTest, ExcludedFromBackupRoundTrip) {
  auto url = NSURL::fileURLWithPath(folder_.path(), true);
  std::any value;
  if (!url->getResourceValue(&value, NSURLIsExcludedFromBackupKey, &error_)) {
    ASSERT_EQ(Cause(error_), ENOTSUP) << error_->description();
    GTEST_SKIP() << "no user extended attributes on " << folder_.path();
  }
  EXPECT_FALSE(std::any_cast<bool>(value));
  ASSERT_TRUE(url->setResourceValue(true, NSURLIsExcludedFromBackupKey, &error_));
  ASSERT_TRUE(url->getResourceValue(&value, NSURLIsExcludedFromBackupKey, &error_));
  EXPECT_TRUE(std::any_cast<bool>(value));
  // A fresh URL object of the same folder reads it from the file system.
  ASSERT_TRUE(NSURL::fileURLWithPath(folder_.path())
                  ->getResourceValue(&value, NSURLIsExcludedFromBackupKey, &error_));
  EXPECT_TRUE(std::any_cast<bool>(value));

  ASSERT_TRUE(url->setResourceValue(false, NSURLIsExcludedFromBackupKey, &error_));
  ASSERT_TRUE(url->getResourceValue(&value, NSURLIsExcludedFromBackupKey, &error_));
  EXPECT_FALSE(std::any_cast<bool>(value));
  EXPECT_TRUE(url->setResourceValue(false, NSURLIsExcludedFromBackupKey, &error_));

  auto missing = NSURL::fileURLWithPath(folder_.Path("missing"));
  EXPECT_FALSE(missing->setResourceValue(true, NSURLIsExcludedFromBackupKey, &error_));
  EXPECT_EQ(Cause(error_), ENOENT);
  EXPECT_FALSE(url->setResourceValue(std::string("YES"), NSURLIsExcludedFromBackupKey, &error_));
  EXPECT_FALSE(url->setResourceValue(true, NSURLFileSizeKey, &error_));
}

TEST_F(NSFileManagerTest, StandardFoldersComeFromTheSandbox) {
  platform::foundation::SetSandboxRoot(folder_.Path("home"));
  auto caches = manager_->URLsForDirectory(NSCachesDirectory, NSUserDomainMask);
  ASSERT_EQ(caches.size(), 1u);
  EXPECT_EQ(caches[0]->path(), folder_.Path("home/Library/Caches"));
  EXPECT_TRUE(manager_->fileExistsAtPath(caches[0]->path()));
  EXPECT_TRUE(manager_->URLsForDirectory(NSCachesDirectory, NSSystemDomainMask).empty());
  EXPECT_EQ(NSSearchPathForDirectoriesInDomains(NSDocumentDirectory, NSUserDomainMask, true),
            std::vector<std::string>{folder_.Path("home/Documents")});
  EXPECT_EQ(NSTemporaryDirectory(), folder_.Path("home/tmp/"));
  EXPECT_EQ(manager_->temporaryDirectory()->path(), folder_.Path("home/tmp"));

  // Application Support exists only once asked for with creation.
  std::string support = folder_.Path("home/Library/Application Support");
  EXPECT_FALSE(manager_->fileExistsAtPath(support));
  auto url = manager_->URLForDirectory(NSApplicationSupportDirectory, NSUserDomainMask, nullptr,
                                       true, &error_);
  ASSERT_NE(url, nullptr);
  EXPECT_EQ(url->path(), support);
  EXPECT_TRUE(manager_->fileExistsAtPath(support));

  // A sandbox that cannot be made leaves the caller without the folder and with the cause.
  Write(folder_.Path("blocker"), "");
  platform::foundation::SetSandboxRoot(folder_.Path("blocker/home"));
  EXPECT_EQ(manager_->URLForDirectory(NSCachesDirectory, NSUserDomainMask, nullptr, true, &error_),
            nullptr);
  EXPECT_EQ(Cause(error_), ENOTDIR);
  platform::foundation::SetSandboxRoot("");
}

TEST_F(NSFileManagerTest, ItemReplacementFoldersAreNewAndOnTheItemsFileSystem) {
  platform::foundation::SetSandboxRoot(folder_.Path("home"));
  auto lock = NSURL::fileURLWithPath(folder_.Path("home/Library/Caches/lock"));
  auto first = manager_->URLForDirectory(NSItemReplacementDirectory, NSUserDomainMask, lock.get(),
                                         true, &error_);
  auto second = manager_->URLForDirectory(NSItemReplacementDirectory, NSUserDomainMask, lock.get(),
                                          true, &error_);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first->path(), second->path());
  EXPECT_TRUE(manager_->contentsOfDirectoryAtPath(first->path(), nullptr)->empty());
  // A file made there moves onto the item's name with a rename.
  Write(first->URLByAppendingPathComponent("stamp")->path(), "stamp");
  EXPECT_TRUE(
      manager_->moveItemAtURL(*first->URLByAppendingPathComponent("stamp"), *lock, &error_));
  EXPECT_EQ(Text(lock->path()), "stamp");

  EXPECT_EQ(manager_->URLForDirectory(NSItemReplacementDirectory, NSUserDomainMask, nullptr, true,
                                      &error_),
            nullptr);
  platform::foundation::SetSandboxRoot("");
}

TEST_F(NSFileManagerTest, AppGroupContainersExistOnlyWhenGiven) {
  EXPECT_EQ(manager_->containerURLForSecurityApplicationGroupIdentifier("group.com.example"),
            nullptr);
  platform::foundation::SetAppGroupContainer("group.com.example", folder_.path());
  auto container = manager_->containerURLForSecurityApplicationGroupIdentifier("group.com.example");
  ASSERT_NE(container, nullptr);
  EXPECT_EQ(container->path(), folder_.path());
  platform::foundation::SetAppGroupContainer("group.com.example", "");
  EXPECT_EQ(manager_->containerURLForSecurityApplicationGroupIdentifier("group.com.example"),
            nullptr);
}

}  // namespace
