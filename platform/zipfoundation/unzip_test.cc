#include "platform/zipfoundation/unzip.h"

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

namespace fs = std::filesystem;

struct ZipEntry {
  std::string name;
  std::string data;
  bool symlink = false;
  bool stored = false;  // no compression, so a test can corrupt the bytes in place
};

void WriteZip(const fs::path& path, const std::vector<ZipEntry>& entries) {
  zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(zip, nullptr);
  for (const ZipEntry& e : entries) {
    zip_fileinfo info = {};
    if (e.symlink) info.external_fa = static_cast<uLong>(S_IFLNK | 0777) << 16;
    ASSERT_EQ(zipOpenNewFileInZip4(zip, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                   e.stored ? 0 : Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0,
                                   -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                   /*versionMadeBy=*/3 << 8, 0),
              ZIP_OK);
    ASSERT_EQ(zipWriteInFileInZip(zip, e.data.data(), static_cast<unsigned>(e.data.size())),
              ZIP_OK);
    ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
  }
  ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class UnzipTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    root_ = folder_.path();
    fs::create_directories(root_ / "NAME");
    archive_ = root_ / "NAME" / "NAME.zip";
  }

  // Unpacks the archive into its own folder, as the loader does.
  bool Unzip(bool skip_crc, std::shared_ptr<NSError>* error) {
    return unzipItem(*NSFileManager::defaultManager(), *NSURL::fileURLWithPath(archive_.string()),
                     *NSURL::fileURLWithPath((root_ / "NAME").string(), true), skip_crc, error);
  }
  // What the folder holds besides the archive.
  std::vector<std::string> Unpacked() {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root_ / "NAME")) {
      if (e.path() != archive_) names.push_back(fs::relative(e.path(), root_ / "NAME").string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  platform::foundation::ScopedTestFolder folder_;
  fs::path root_;
  fs::path archive_;
};

TEST_F(UnzipTest, WritesEveryEntryBelowTheDestination) {
  WriteZip(archive_, {{"a.scn", "quillmere-scene 1\n"}, {"textures/", ""},
                      {"textures/wood.png", std::string(5000, 'w')}, {"sub/b.scn", "x"}});
  std::shared_ptr<NSError> error;
  ASSERT_TRUE(Unzip(true, &error)) << error->localizedDescription();
  EXPECT_EQ(Unpacked(), (std::vector<std::string>{"a.scn", "sub", "sub/b.scn", "textures",
                                                  "textures/wood.png"}));
  EXPECT_EQ(Read(root_ / "NAME" / "textures" / "wood.png"), std::string(5000, 'w'));
}

struct RefusedCase {
  std::string label;
  std::vector<ZipEntry> entries;
  ZIPArchiveError code;
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.label; }

class UnzipRefuses : public UnzipTest, public testing::WithParamInterface<RefusedCase> {};

TEST_P(UnzipRefuses, WholeArchiveBeforeWritingAnything) {
  // A harmless first entry shows that nothing at all is written.
  std::vector<ZipEntry> entries = {{"a.scn", "ok"}};
  for (const auto& e : GetParam().entries) entries.push_back(e);
  WriteZip(archive_, entries);
  fs::create_directories(root_ / "NAME" / "existing");
  std::ofstream(root_ / "NAME" / "existing" / "taken.txt") << "mine";
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(Unzip(true, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), ZIPArchiveErrorDomain);
  EXPECT_EQ(error->code(), GetParam().code) << error->localizedDescription();
  EXPECT_EQ(Unpacked(), (std::vector<std::string>{"existing", "existing/taken.txt"}));
  EXPECT_EQ(Read(root_ / "NAME" / "existing" / "taken.txt"), "mine");
  EXPECT_FALSE(fs::exists(root_ / "outside.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, UnzipRefuses,
    testing::Values(
        RefusedCase{"ParentComponent", {{"../outside.txt", "x"}}, ZIPArchiveErrorInvalidEntryPath},
        RefusedCase{"NestedParent", {{"sub/../../outside.txt", "x"}},
                    ZIPArchiveErrorInvalidEntryPath},
        RefusedCase{"Absolute", {{"/tmp/outside.txt", "x"}}, ZIPArchiveErrorInvalidEntryPath},
        RefusedCase{"Backslash", {{"..\\outside.txt", "x"}}, ZIPArchiveErrorInvalidEntryPath},
        RefusedCase{"SymbolicLink", {{"link", "/etc/passwd", true}},
                    ZIPArchiveErrorSymbolicLinkEntry},
        RefusedCase{"ArchiveItself", {{"NAME.zip", "x"}}, ZIPArchiveErrorInvalidEntryPath},
        RefusedCase{"ExistingFile", {{"existing/taken.txt", "theirs"}},
                    ZIPArchiveErrorEntryExists}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.label; });

// Sizes an archive declares are read before anything is written: entries that together would
// pass the limit are refused, though each alone would not, and the destination is not even made.
TEST_F(UnzipTest, ArchivesDeclaringMoreThanTheLimitAreRefused) {
  WriteZip(archive_, {{"a.bin", "small", false, true}, {"b.bin", "small", false, true}});
  std::string bytes = Read(archive_);
  const uint32_t declared = static_cast<uint32_t>(kZIPArchiveMaxUncompressedBytes / 2 + 1);
  // The uncompressed size sits 22 bytes into a local header and 24 into a central one.
  auto patch = [&](const std::string& signature, size_t offset) {
    int patched = 0;
    for (size_t at = bytes.find(signature); at != std::string::npos;
         at = bytes.find(signature, at + 4), ++patched) {
      for (int i = 0; i < 4; ++i) bytes[at + offset + i] = static_cast<char>(declared >> (8 * i));
    }
    EXPECT_EQ(patched, 2) << "headers " << testing::PrintToString(signature);
  };
  patch(std::string("PK\x03\x04", 4), 22);
  patch(std::string("PK\x01\x02", 4), 24);
  std::ofstream(archive_, std::ios::binary | std::ios::trunc) << bytes;

  const fs::path destination = root_ / "unpacked";
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(unzipItem(*NSFileManager::defaultManager(),
                         *NSURL::fileURLWithPath(archive_.string()),
                         *NSURL::fileURLWithPath(destination.string(), true), true, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), ZIPArchiveErrorDomain);
  EXPECT_EQ(error->code(), ZIPArchiveErrorTooLarge);
  EXPECT_NE(error->localizedDescription().find("more than 536870912 bytes"), std::string::npos)
      << error->localizedDescription();
  EXPECT_FALSE(fs::exists(destination));
}

TEST_F(UnzipTest, NotAnArchiveAndChecksums) {
  std::ofstream(archive_) << "<html><body>404 Not Found</body></html>";
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(Unzip(true, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), ZIPArchiveErrorUnreadableArchive);

  fs::remove(archive_);
  WriteZip(archive_, {{"a.scn", "ORIGINAL-CONTENT", false, true}});
  std::string bytes = Read(archive_);
  const size_t at = bytes.find("ORIGINAL-CONTENT");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = 'X';
  std::ofstream(archive_, std::ios::binary | std::ios::trunc) << bytes;

  error = nullptr;
  EXPECT_FALSE(Unzip(false, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), ZIPArchiveErrorInvalidCRC32);
  fs::remove(root_ / "NAME" / "a.scn");
  EXPECT_TRUE(Unzip(true, &error));  // the loader skips the check
  EXPECT_EQ(Read(root_ / "NAME" / "a.scn"), "XRIGINAL-CONTENT");
}

}  // namespace
