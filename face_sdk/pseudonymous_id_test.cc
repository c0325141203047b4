#include "face_sdk/pseudonymous_id.h"

#include <atomic>
#include <fstream>
#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_date.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/foundation/system_log.h"

namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

constexpr double kStart = 1700000000.0;

// A sandbox of its own and a wall clock the test moves.
class PseudonymousIDTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    now_ = kStart;
    platform::foundation::SetWallClock([this] { return now_.load(); });
  }
  void TearDown() override {
    platform::foundation::SetWallClock(nullptr);
    platform::foundation::SetSandboxRoot("");
  }

  std::string SupportFolder() const {
    return platform::foundation::SandboxDirectory(NSApplicationSupportDirectory);
  }
  std::string FilePath() const {
    return SupportFolder() + "/Brenvik/Ostrell/PseudonymousID/value.txt";
  }
  // The identifier in the file, read independently of the store.
  std::shared_ptr<QVXPseudonymousID> Stored() const {
    auto bytes = NSDataWithContentsOfFile(FilePath(), nullptr);
    if (!bytes.has_value()) return nullptr;
    return NSKeyedUnarchiver::unarchivedObjectOfClass<QVXPseudonymousID>(*bytes, nullptr);
  }

  platform::foundation::ScopedTestFolder folder_;
  std::atomic<double> now_{kStart};
};

TEST_F(PseudonymousIDTest, FirstLoadWritesANewIdentifierStampedNow) {
  auto id = QVXPseudonymousIDStore::loadPseudonymousID();
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->size(), 36u);  // a UUID's text form
  auto stored = Stored();
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->uuid(), *id);
  ASSERT_NE(stored->lastActivity(), nullptr);
  EXPECT_EQ(stored->lastActivity()->timeIntervalSince1970(), kStart);
  EXPECT_EQ(QVXPseudonymousIDStore::fileSavePath(), FilePath());
}

// Each step moves the clock from the previous load; every load restarts the 180 days.
TEST_F(PseudonymousIDTest, ValidUpTo180DaysAfterTheLastLoad) {
  struct Step {
    double seconds_after_last_load;
    bool kept;
  };
  const Step steps[] = {
      {0, true},
      {15552000, true},  // exactly 180 days: still valid
      {15552000, true},  // valid again, because the previous load refreshed the date
      {15552001, false},  // one second more: renewed
      {1, true},
  };
  auto previous = QVXPseudonymousIDStore::loadPseudonymousID();
  ASSERT_TRUE(previous.has_value());
  for (const Step& step : steps) {
    SCOPED_TRACE(step.seconds_after_last_load);
    now_ = now_.load() + step.seconds_after_last_load;
    auto id = QVXPseudonymousIDStore::loadPseudonymousID();
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(*id == *previous, step.kept);
    auto stored = Stored();
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->uuid(), *id);
    EXPECT_EQ(stored->lastActivity()->timeIntervalSince1970(), now_.load());
    previous = id;
  }
}

TEST_F(PseudonymousIDTest, IdentifierWithoutLastActivityIsNotValid) {
  auto id = QVXPseudonymousID::init();
  EXPECT_FALSE(id->isValid());
  EXPECT_TRUE(QVXPseudonymousID::supportsSecureCoding());
}

// Files the store did not write, or that are not an identifier, count as no file: the load
// makes a new identifier and replaces the file.
TEST_F(PseudonymousIDTest, UnreadableFileGivesANewIdentifier) {
  auto other = std::make_shared<QVXPseudonymousID>("not-a-uuid");  // no lastActivity
  auto other_archive = NSKeyedArchiver::archivedDataWithRootObject(other, true, nullptr);
  ASSERT_TRUE(other_archive.has_value());
  const std::string contents[] = {
      "garbage",
      "QMKA",  // a truncated archive
      std::string(other_archive->begin(), other_archive->end()),
  };
  ASSERT_TRUE(QVXPseudonymousIDStore::fileSavePath().has_value());
  for (const std::string& content : contents) {
    SCOPED_TRACE(content);
    std::ofstream(FilePath(), std::ios::binary | std::ios::trunc) << content;
    auto id = QVXPseudonymousIDStore::loadPseudonymousID();
    ASSERT_TRUE(id.has_value());
    EXPECT_NE(*id, "not-a-uuid");
    auto stored = Stored();
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->uuid(), *id);
  }
}

TEST_F(PseudonymousIDTest, FolderThatCannotBeMadeGivesNoIdentifier) {
  // A file where the folder "Brenvik" should be.
  ASSERT_TRUE(NSFileManager::defaultManager()->createDirectoryAtPath(SupportFolder(), true, {},
                                                                     nullptr));
  std::ofstream(SupportFolder() + "/Brenvik") << "in the way";
  platform::foundation::SystemLogCapture capture;
  EXPECT_EQ(QVXPseudonymousIDStore::fileSavePath(), std::nullopt);
  EXPECT_EQ(QVXPseudonymousIDStore::loadPseudonymousID(), std::nullopt);
  EXPECT_THAT(capture.messages(),
              ElementsAre(StartsWith("Unable to create internal state storage: "),
                          StartsWith("Unable to create internal state storage: ")));
}

TEST_F(PseudonymousIDTest, FileThatCannotBeWrittenGivesNoIdentifier) {
  // A folder named like the file: it can be neither read as an identifier nor replaced.
  ASSERT_TRUE(NSFileManager::defaultManager()->createDirectoryAtPath(FilePath(), true, {},
                                                                     nullptr));
  EXPECT_EQ(QVXPseudonymousIDStore::loadPseudonymousID(), std::nullopt);
}

// A write that dies midway leaves the previous file whole, so the identifier survives.
TEST_F(PseudonymousIDTest, InterruptedWriteKeepsThePreviousFile) {
  auto first = QVXPseudonymousIDStore::loadPseudonymousID();
  ASSERT_TRUE(first.has_value());
  now_ = kStart + 60;
  platform::foundation::SetAtomicWriteFaultHook(
      [](platform::foundation::AtomicWriteStep step, const std::string&) {
        return step == platform::foundation::AtomicWriteStep::kHalfWritten;
      });
  EXPECT_EQ(QVXPseudonymousIDStore::loadPseudonymousID(), std::nullopt);
  platform::foundation::SetAtomicWriteFaultHook(nullptr);
  auto stored = Stored();
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->uuid(), *first);
  EXPECT_EQ(stored->lastActivity()->timeIntervalSince1970(), kStart);
  EXPECT_EQ(QVXPseudonymousIDStore::loadPseudonymousID(), first);
}

}  // namespace
