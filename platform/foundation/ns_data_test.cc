#include "platform/foundation/ns_data.h"

#include <sys/stat.h>

#include <cerrno>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using platform::foundation::AtomicWriteStep;
using platform::foundation::ScopedTestFolder;
using platform::foundation::SetAtomicWriteFaultHook;
using ::testing::ElementsAre;

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::string Text(const std::optional<std::vector<uint8_t>>& bytes) {
  return bytes.has_value() ? std::string(bytes->begin(), bytes->end()) : "<missing>";
}

struct StopCase {
  AtomicWriteStep step;
  bool replaced;  // whether the destination holds the new contents after the stop
  const char* name;
};
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class AtomicWriteStopTest : public ::testing::TestWithParam<StopCase> {
 protected:
  void TearDown() override { SetAtomicWriteFaultHook(nullptr); }
};

// A write stopped at any step (as a killed process would stop) leaves the destination with the
// whole old contents or the whole new contents, never a part; the leftovers are hidden files.
TEST_P(AtomicWriteStopTest, NoPartialFileIsEverVisible) {
  ScopedTestFolder folder;
  std::string path = folder.Path("state");
  const std::string old_text = "old state, fully written";
  const std::string new_text = "the new state record, longer than the old one";
  ASSERT_TRUE(NSDataWriteToFile(Bytes(old_text), path, NSDataWritingAtomic, nullptr));

  std::vector<AtomicWriteStep> seen;
  std::string seen_at_stop;
  SetAtomicWriteFaultHook([&](AtomicWriteStep step, const std::string& file) {
    seen.push_back(step);
    if (step != GetParam().step) return false;
    seen_at_stop = Text(NSDataWithContentsOfFile(path, nullptr));
    // The file being written at this point holds nothing beyond what the step says.
    if (step == AtomicWriteStep::kHalfWritten) {
      EXPECT_EQ(Text(NSDataWithContentsOfFile(file, nullptr)),
                new_text.substr(0, new_text.size() / 2));
    }
    return true;
  });
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(NSDataWriteToFile(Bytes(new_text), path, NSDataWritingAtomic, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), NSFileWriteUnknownError);
  EXPECT_EQ(seen.back(), GetParam().step);

  const std::string& expected = GetParam().replaced ? new_text : old_text;
  EXPECT_EQ(seen_at_stop, expected);
  EXPECT_EQ(Text(NSDataWithContentsOfFile(path, nullptr)), expected);
  auto visible = NSFileManager::defaultManager()->contentsOfDirectoryAtURL(
      *NSURL::fileURLWithPath(folder.path(), true), NSDirectoryEnumerationSkipsHiddenFiles,
      nullptr);
  ASSERT_TRUE(visible.has_value());
  ASSERT_EQ(visible->size(), 1u);
  EXPECT_EQ((*visible)[0]->lastPathComponent(), "state");
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, AtomicWriteStopTest,
    ::testing::Values(StopCase{AtomicWriteStep::kTemporaryFileCreated, false,
                               "TemporaryFileCreated"},
                      StopCase{AtomicWriteStep::kHalfWritten, false, "HalfWritten"},
                      StopCase{AtomicWriteStep::kWritten, false, "Written"},
                      StopCase{AtomicWriteStep::kFlushed, false, "Flushed"},
                      StopCase{AtomicWriteStep::kRenamed, true, "Renamed"},
                      StopCase{AtomicWriteStep::kFolderFlushed, true, "FolderFlushed"}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

TEST(NSDataTest, AtomicWriteWalksEveryStepAndLeavesNothingBehind) {
  ScopedTestFolder folder;
  std::vector<AtomicWriteStep> seen;
  SetAtomicWriteFaultHook([&](AtomicWriteStep step, const std::string&) {
    seen.push_back(step);
    return false;
  });
  ASSERT_TRUE(NSDataWriteToURL(Bytes("value"), *NSURL::fileURLWithPath(folder.Path("value.txt")),
                               NSDataWritingAtomic, nullptr));
  SetAtomicWriteFaultHook(nullptr);
  EXPECT_THAT(seen,
              ElementsAre(AtomicWriteStep::kTemporaryFileCreated, AtomicWriteStep::kHalfWritten,
                          AtomicWriteStep::kWritten, AtomicWriteStep::kFlushed,
                          AtomicWriteStep::kRenamed, AtomicWriteStep::kFolderFlushed));
  EXPECT_THAT(*NSFileManager::defaultManager()->contentsOfDirectoryAtPath(folder.path(), nullptr),
              ElementsAre("value.txt"));
  // Like any new file, the result is readable by others (umask permitting), unlike a mkstemp file.
  struct stat status {};
  ASSERT_EQ(stat(folder.Path("value.txt").c_str(), &status), 0);
  EXPECT_NE(status.st_mode & 0044, 0u);
}

TEST(NSDataTest, FailedWritesReportTheCauseAndCleanUp) {
  ScopedTestFolder folder;
  std::shared_ptr<NSError> error;
  // Into a missing folder.
  EXPECT_FALSE(
      NSDataWriteToFile(Bytes("x"), folder.Path("missing/file"), NSDataWritingAtomic, &error));
  EXPECT_EQ(error->code(), NSFileNoSuchFileError);
  // Onto a folder: the rename fails and the temporary file goes away.
  ASSERT_TRUE(NSFileManager::defaultManager()->createDirectoryAtPath(folder.Path("dir"), false, {},
                                                                     nullptr));
  EXPECT_FALSE(NSDataWriteToFile(Bytes("x"), folder.Path("dir"), NSDataWritingAtomic, &error));
  EXPECT_THAT(*NSFileManager::defaultManager()->contentsOfDirectoryAtPath(folder.path(), nullptr),
              ElementsAre("dir"));
  EXPECT_FALSE(
      NSDataWriteToURL(Bytes("x"), *NSURL::URLWithString("https://example.com/f"), 0, &error));
}

TEST(NSDataTest, WithoutOverwritingRefusesAnExistingFileInBothModes) {
  ScopedTestFolder folder;
  std::string path = folder.Path("lock");
  for (unsigned long options : {0UL, static_cast<unsigned long>(NSDataWritingAtomic)}) {
    ASSERT_TRUE(NSDataWriteToFile(Bytes("first"), path, false));
    std::shared_ptr<NSError> error;
    EXPECT_FALSE(NSDataWriteToFile(Bytes("second"), path, options | NSDataWritingWithoutOverwriting,
                                   &error));
    EXPECT_EQ(error->code(), NSFileWriteFileExistsError);
    EXPECT_EQ(Text(NSDataWithContentsOfFile(path, nullptr)), "first");
    ASSERT_TRUE(NSFileManager::defaultManager()->removeItemAtPath(path, nullptr));
    EXPECT_TRUE(NSDataWriteToFile(Bytes("second"), path, options | NSDataWritingWithoutOverwriting,
                                  &error));
    EXPECT_EQ(Text(NSDataWithContentsOfFile(path, nullptr)), "second");
    ASSERT_TRUE(NSFileManager::defaultManager()->removeItemAtPath(path, nullptr));
  }
  EXPECT_THAT(*NSFileManager::defaultManager()->contentsOfDirectoryAtPath(folder.path(), nullptr),
              ElementsAre());
}

TEST(NSDataTest, ReadingGivesBytesOrTheError) {
  ScopedTestFolder folder;
  std::vector<uint8_t> bytes = {0, 1, 2, 255, 0};
  ASSERT_TRUE(NSDataWriteToFile(bytes, folder.Path("bin"), false));
  EXPECT_EQ(NSDataWithContentsOfURL(*NSURL::fileURLWithPath(folder.Path("bin")), nullptr), bytes);
  ASSERT_TRUE(NSDataWriteToFile({}, folder.Path("empty"), true));
  EXPECT_EQ(NSDataWithContentsOfFile(folder.Path("empty"), nullptr), std::vector<uint8_t>());

  std::shared_ptr<NSError> error;
  EXPECT_EQ(NSDataWithContentsOfFile(folder.Path("missing"), &error), std::nullopt);
  EXPECT_EQ(error->code(), NSFileReadNoSuchFileError);
  EXPECT_EQ(error->underlyingError()->code(), ENOENT);
  EXPECT_EQ(NSDataWithContentsOfFile(folder.path(), &error), std::nullopt);  // a folder
  EXPECT_EQ(NSDataWithContentsOfURL(*NSURL::URLWithString("https://example.com/f"), &error),
            std::nullopt);
  EXPECT_EQ(error->code(), NSFileReadUnsupportedSchemeError);
}

TEST(NSDataTest, TextReadsAcceptOnlyUTF8) {
  ScopedTestFolder folder;
  struct Case {
    std::vector<uint8_t> bytes;
    bool valid;
    const char* what;
  };
  for (const Case& c : {
           Case{{}, true, "empty"},
           Case{{'i', 'd', '-', '1'}, true, "ASCII"},
           Case{{0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}, true, "2, 3 and 4 bytes"},
           Case{{0xC3}, false, "cut short"},
           Case{{0x80}, false, "lone continuation"},
           Case{{0xC0, 0xAF}, false, "overlong"},
           Case{{0xED, 0xA0, 0x80}, false, "surrogate"},
           Case{{0xF4, 0x90, 0x80, 0x80}, false, "past U+10FFFF"},
           Case{{0xFF}, false, "invalid lead"},
       }) {
    ASSERT_TRUE(NSDataWriteToFile(c.bytes, folder.Path("value.txt"), true));
    std::shared_ptr<NSError> error;
    auto text =
        NSStringWithContentsOfURL(*NSURL::fileURLWithPath(folder.Path("value.txt")), &error);
    EXPECT_EQ(text.has_value(), c.valid) << c.what;
    if (c.valid) {
      EXPECT_EQ(*text, std::string(c.bytes.begin(), c.bytes.end())) << c.what;
    } else {
      EXPECT_EQ(error->code(), NSFileReadInapplicableStringEncodingError) << c.what;
    }
  }
  std::shared_ptr<NSError> error;
  EXPECT_EQ(NSStringWithContentsOfFile(folder.Path("missing"), &error), std::nullopt);
  EXPECT_EQ(error->code(), NSFileReadNoSuchFileError);
}

}  // namespace
