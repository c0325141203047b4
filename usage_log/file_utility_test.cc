#include "usage_log/file_utility.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <thread>

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/utility/base_logger.h"
#include "usage_base/app_groups.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using platform::foundation::ScopedTestFolder;

std::shared_ptr<NSURL> Folder(const std::string& path) { return NSURL::fileURLWithPath(path, true); }

TEST(FileUtilityTest, DefaultLogDirectoryNeedsABase) {
  ScopedTestFolder folder;
  {
    platform::utility::BaseLoggerCapture capture;
    EXPECT_EQ(JQXTrassenFileUtility::defaultLogDirectory(), nullptr);
    EXPECT_THAT(capture.messages(),
                ElementsAre("Trassen could not access Shared App Group: " +
                            ZRBAppGroups::sharedAppGroupName()));
  }
  JQXTrassenFileUtility::setDefaultDirectory(Folder(folder.path() + "/JQXTrassenLogger"));
  EXPECT_EQ(JQXTrassenFileUtility::defaultLogDirectory()->path(),
            folder.path() + "/JQXTrassenLogger/JQXTrassenLogger");
  JQXTrassenFileUtility::setDefaultDirectory(nullptr);
}

TEST(FileUtilityTest, EnsureLogDirectoryMakesAndExcludes) {
  ScopedTestFolder folder;
  auto directory = Folder(folder.path() + "/a/b");
  platform::utility::BaseLoggerCapture capture;
  ASSERT_TRUE(JQXTrassenFileUtility::ensureLogDirectory(directory));
  std::any excluded;
  ASSERT_TRUE(directory->getResourceValue(&excluded, NSURLIsExcludedFromBackupKey, nullptr));
  EXPECT_TRUE(std::any_cast<bool>(excluded));
  EXPECT_TRUE(JQXTrassenFileUtility::ensureLogDirectory(directory));  // again: fine
  EXPECT_THAT(capture.messages(), IsEmpty());

  EXPECT_FALSE(JQXTrassenFileUtility::ensureLogDirectory(NSURL::URLWithString("https://x/y")));
  EXPECT_THAT(capture.messages(), IsEmpty());
  std::ofstream(folder.path() + "/file") << "x";
  EXPECT_FALSE(JQXTrassenFileUtility::ensureLogDirectory(Folder(folder.path() + "/file/sub")));
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_THAT(capture.messages()[0], ::testing::StartsWith("Failed to create Trassen log directory: "));
}

// The folder's status-change time, which every attribute write moves on.
timespec ChangeTime(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_ctim;
}
bool Later(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// A folder that is already excluded from backup keeps its attribute as it is.
TEST(FileUtilityTest, TheBackupAttributeIsNotWrittenAgain) {
  ScopedTestFolder folder;
  auto directory = Folder(folder.path() + "/logs");
  ASSERT_TRUE(JQXTrassenFileUtility::ensureLogDirectory(directory));
  const timespec marked = ChangeTime(directory->path());
  // The file system's clock is coarse: wait until a change now would carry a later time.
  const std::string probe = folder.path() + "/probe";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    std::ofstream(probe) << "x";
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the change time never moved on";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (!Later(ChangeTime(probe), marked));
  ASSERT_TRUE(JQXTrassenFileUtility::ensureLogDirectory(directory));
  const timespec after = ChangeTime(directory->path());
  EXPECT_FALSE(Later(after, marked)) << "the attribute was written again";
}

TEST(FileUtilityTest, UploaderStateFromTheStateFile) {
  ScopedTestFolder folder;
  auto directory = Folder(folder.path());
  EXPECT_EQ(JQXTrassenFileUtility::uploaderStateFileInLogDirectory(*directory)->path(),
            folder.path() + "/state");
  EXPECT_EQ(JQXTrassenFileUtility::uploaderLockFileInLogDirectory(*directory)->path(),
            folder.path() + "/uploader.lock");
  platform::utility::BaseLoggerCapture capture;
  EXPECT_EQ(JQXTrassenFileUtility::uploaderStateInLogDirectory(*directory)->ByteSizeLong(), 0u);
  EXPECT_THAT(capture.messages(), IsEmpty());

  JQXUploaderState state;
  state.set_last_upload_time_milliseconds(42);
  std::ofstream(folder.path() + "/state") << state.SerializeAsString();
  EXPECT_EQ(JQXTrassenFileUtility::uploaderStateInLogDirectory(*directory)
                ->last_upload_time_milliseconds(),
            42);
  std::ofstream(folder.path() + "/state") << "\xff\xff\xff";
  EXPECT_EQ(JQXTrassenFileUtility::uploaderStateInLogDirectory(*directory)->ByteSizeLong(), 0u);
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_THAT(capture.messages()[0], ::testing::StartsWith("Could not read Trassen state file: "));

  EXPECT_FALSE(JQXTrassenFileUtility::directoryContents(*Folder(folder.path() + "/none")));
  EXPECT_EQ(capture.messages().size(), 2u);
  EXPECT_EQ(JQXTrassenFileUtility::directoryContents(*directory)->size(), 1u);
}

TEST(LogFileTest, StatusOfAFileOnDisk) {
  ScopedTestFolder folder;
  const std::string path = folder.path() + "/log";
  std::ofstream(path) << "12345";
  auto context = std::make_shared<JQXLogContext>();
  auto file = JQXLogFile::initWithContext(context, NSURL::fileURLWithPath(path));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->fileSize(), 5u);
  EXPECT_EQ(file->context(), context);
  int64_t now = static_cast<int64_t>(time(nullptr)) * 1000;
  EXPECT_LE(file->creationTimeMilliseconds(), now + 1000);
  EXPECT_GE(file->creationTimeMilliseconds(), now - 60000);
  std::remove(path.c_str());
  EXPECT_EQ(JQXLogFile::initWithContext(context, NSURL::fileURLWithPath(path)), nullptr);
}

// The lock excludes other open files of the path: a second lock object here and flock(1) in
// another process.
TEST(FileLockTest, OneHolderAtATime) {
  ScopedTestFolder folder;
  auto file = NSURL::fileURLWithPath(folder.path() + "/uploader.lock");
  JQXFileLockProvider provider;
  auto first = provider.makeUploaderLockForFile(*file);
  auto second = provider.makeUploaderLockForFile(*file);
  const std::string flock_n = "flock -n " + file->path() + " true";

  std::shared_ptr<NSError> error;
  ASSERT_TRUE(first->lock(&error));
  EXPECT_EQ(error, nullptr);
  EXPECT_FALSE(second->lock(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), kJQXTrassenErrorDomain);
  EXPECT_EQ(error->code(), -2);
  EXPECT_NE(std::system(flock_n.c_str()), 0);

  {
    auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
    platform::foundation::ScopedAssertionHandler scoped(handler);
    EXPECT_TRUE(first->lock(nullptr));
    ASSERT_EQ(handler->failures().size(), 1u);
    EXPECT_EQ(handler->failures()[0].description, "Trassen uploader lock already locked.");
  }

  first->unlock();
  EXPECT_EQ(std::system(flock_n.c_str()), 0);
  EXPECT_TRUE(second->lock(nullptr));
  second->unlock();

  auto no_op = JQXNoOpLockProvider().makeUploaderLockForFile(*file);
  EXPECT_TRUE(no_op->lock(nullptr));
  EXPECT_TRUE(no_op->lock(nullptr));
}

}  // namespace
