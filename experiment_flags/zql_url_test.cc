#include "experiment_flags/zql_url.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <any>
#include <string>

#include "experiment_flags/marovic_error.h"
#include "experiment_flags/store_test_util.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/utility/base_logger.h"

namespace {

using ZQLURLTest = StoreFolderTest;

std::string PathOf(const std::shared_ptr<NSURL>& url) { return url ? url->path() : "<none>"; }

TEST_F(ZQLURLTest, RecordFilesLandWhereEveryReaderLooks) {
  std::shared_ptr<NSError> error;
  struct Case {
    std::shared_ptr<NSURL> url;
    std::string path;
  } cases[] = {
      {ZQLURL::sharedSubDirectoryWithName("registration", "com.a#b", &error),
       Shared("registration/com.a#b.pb")},
      {ZQLURL::localSubDirectory("log_sources", "all", &error), Local("log_sources/all.pb")},
      {ZQLURL::uncommittedURLForPackage("p", "", &error), Shared("uncommitted/logged_out/p.pb")},
      {ZQLURL::uncommittedURLForPackage("p", "acct", &error), Shared("uncommitted/acct/p.pb")},
      {ZQLURL::sharedSubDirectoryWithName("cross", "q-p", &error), Shared("cross/q-p.pb")},
      {ZQLURL::localSubDirectory("committed", "p-acct", &error), Local("committed/p-acct.pb")},
      {ZQLURL::sharedSubDirectoryWithName("global", "lock", &error), Shared("global/lock.pb")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PathOf(c.url), c.path);
    // The folder is made, the file is not.
    EXPECT_TRUE(Exists(c.url->URLByDeletingLastPathComponent()->path()));
    EXPECT_FALSE(Exists(c.path));
  }
  EXPECT_EQ(error, nullptr);

  // The shared root is excluded from backup once per process: a later loss of the mark is not
  // repaired by the next call.
  std::any excluded;
  ASSERT_TRUE(NSURL::fileURLWithPath(Shared(), true)
                  ->getResourceValue(&excluded, NSURLIsExcludedFromBackupKey, &error));
  EXPECT_TRUE(std::any_cast<bool>(excluded));
  NSURL::fileURLWithPath(Shared(), true)
      ->setResourceValue(false, NSURLIsExcludedFromBackupKey, &error);
  ZQLURL::sharedDirectoryWithError(&error);
  NSURL::fileURLWithPath(Shared(), true)
      ->getResourceValue(&excluded, NSURLIsExcludedFromBackupKey, &error);
  EXPECT_FALSE(std::any_cast<bool>(excluded));
}

// Sets or clears the immutable flag of a folder; false where the file system or the process's
// rights do not allow it. An immutable folder refuses even root's attribute writes.
bool SetImmutable(const std::string& path, bool immutable) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return done;
}

// A failed marking of the shared root is tried again at the next call.
TEST_F(ZQLURLTest, AFailedBackupExclusionIsTriedAgain) {
  ZQLURL::resetBackupExclusionForTesting();
  ASSERT_TRUE(NSFileManager::defaultManager()->createDirectoryAtPath(Shared(), true, {}, nullptr));
  if (!SetImmutable(Shared(), true)) GTEST_SKIP() << "folders cannot be made immutable here";
  struct Mutable {
    std::string path;
    ~Mutable() { SetImmutable(path, false); }
  } restore{Shared()};
  auto excluded = [&] {
    std::any value;
    NSURL::fileURLWithPath(Shared(), true)
        ->getResourceValue(&value, NSURLIsExcludedFromBackupKey, nullptr);
    const bool* flag = std::any_cast<bool>(&value);
    return flag != nullptr && *flag;
  };
  platform::utility::BaseLoggerCapture capture;
  std::shared_ptr<NSError> error;
  EXPECT_NE(ZQLURL::sharedDirectoryWithError(&error), nullptr);
  EXPECT_FALSE(excluded());
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0].rfind(
                "Failed to exclude existing Marovic flat file folder from back up: ", 0),
            0u)
      << capture.messages()[0];

  ASSERT_TRUE(SetImmutable(Shared(), false));
  EXPECT_NE(ZQLURL::sharedDirectoryWithError(&error), nullptr);
  EXPECT_TRUE(excluded());
  EXPECT_EQ(capture.messages().size(), 1u);
}

TEST_F(ZQLURLTest, WritesAreWholeRecordsAndListingsSkipOtherFiles) {
  std::shared_ptr<NSError> error;
  ASSERT_TRUE(ZQLURL::writeDataToSharedDirectory("one", "cross", "a", &error));
  ASSERT_TRUE(ZQLURL::writeDataToSharedDirectory("two", "cross", "a", &error));
  ASSERT_TRUE(ZQLURL::writeDataToLocalDirectory("three", "committed", "p", &error));
  EXPECT_EQ(Read(Shared("cross/a.pb")), "two");
  EXPECT_EQ(Read(Local("committed/p.pb")), "three");
  Write(Shared("cross/b.txt"), "x");
  Write(Shared("cross/.c.pb"), "x");
  Write(Shared("cross/d.pb.tmp"), "x");
  auto listed = ZQLURL::crossExperimentTokenURLsWithError(&error);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]->lastPathComponent(), "a.pb");

  // The sync metadata sits beside the account folders and is in no listing.
  ASSERT_TRUE(ZQLURL::writeDataToSharedDirectory("m", "uncommitted", "sync_metadata", &error));
  EXPECT_TRUE(ZQLURL::registrationURLsWithError(&error).empty());
  EXPECT_EQ(error, nullptr);

  // A listing that fails answers an empty list and a file error.
  Write(folder_.Path("plain"), "x");
  EXPECT_TRUE(
      ZQLURL::protoFilesAtURL(*NSURL::fileURLWithPath(folder_.Path("plain/")), &error).empty());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), ZQLMarovicErrorCodeFileError);
  EXPECT_NE(error->underlyingError(), nullptr);
}

TEST_F(ZQLURLTest, NamesThatLeaveTheirFolderAreRefused) {
  const std::string names[] = {
      "", ".", "..", "a/b", "../x", "../../escape", std::string("n\0ul", 4)};
  for (const std::string& name : names) {
    SCOPED_TRACE("name \"" + name + "\"");
    std::shared_ptr<NSError> error;
    EXPECT_EQ(ZQLURL::sharedSubDirectoryWithName("cross", name, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), kZQLMarovicErrorDomain);
    EXPECT_EQ(error->code(), ZQLMarovicErrorCodeFileError);
    error = nullptr;
    EXPECT_FALSE(ZQLURL::writeDataToLocalDirectory("x", "committed", name, &error));
    EXPECT_EQ(error->code(), ZQLMarovicErrorCodeFileError);
    if (!name.empty()) {  // "" names the logged-out folder
      error = nullptr;
      EXPECT_EQ(ZQLURL::uncommittedURLForPackage("p", name, &error), nullptr);
      EXPECT_EQ(error->code(), ZQLMarovicErrorCodeFileError);
    }
  }
  // Nothing was written anywhere outside the folders the store made.
  EXPECT_FALSE(Exists(folder_.Path("escape.pb")));
  EXPECT_FALSE(Exists(Shared("x.pb")));
  EXPECT_TRUE(ZQLURL::crossExperimentTokenURLsWithError(nullptr).empty());
}

TEST_F(ZQLURLTest, WithoutDefaultDirectorySharedPathsFailButLocalOnesWork) {
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  ZQLMarovicUtil::setDefaultDirectory(nullptr);

  std::shared_ptr<NSError> error;
  EXPECT_EQ(ZQLURL::sharedDirectoryWithError(&error), nullptr);
  EXPECT_EQ(error->code(), ZQLMarovicErrorCodeNoDefaultDirectory);
  error = nullptr;
  EXPECT_FALSE(ZQLURL::writeDataToSharedDirectory("x", "registration", "p", &error));
  EXPECT_EQ(error->code(), ZQLMarovicErrorCodeNoDefaultDirectory);
  error = nullptr;
  EXPECT_TRUE(ZQLURL::registrationURLsWithError(&error).empty());
  EXPECT_EQ(error->code(), ZQLMarovicErrorCodeNoDefaultDirectory);
  EXPECT_FALSE(handler->failures().empty());

  error = nullptr;
  EXPECT_TRUE(ZQLURL::writeDataToLocalDirectory("x", "log_sources", "all", &error));
  EXPECT_EQ(Read(Local("log_sources/all.pb")), "x");
}

}  // namespace
