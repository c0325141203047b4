#ifndef VIEWS_TEST_ARCHIVE_H_
#define VIEWS_TEST_ARCHIVE_H_

// Test helpers for the views: scene-file text and small ZIP archives of our own, built with
// minizip.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"
#include "zip.h"

namespace views_testing {

// A scene with one unit box named `node` at the origin.
inline std::string Scene(const std::string& node) {
  return "quillmere-scene 1\nnode " + node + " position 0 0 0 box 1 1 1\n";
}

// The bytes of a .zip file holding `entries` (name, content), in that order.
inline std::string MakeZip(const platform::foundation::ScopedTestFolder& folder,
                           const std::vector<std::pair<std::string, std::string>>& entries) {
  const std::string path = folder.Path("archive-" + std::to_string(entries.size()) + ".zip");
  std::filesystem::remove(path);
  zipFile zip = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
  EXPECT_NE(zip, nullptr);
  for (const auto& [name, content] : entries) {
    EXPECT_EQ(zipOpenNewFileInZip(zip, name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr,
                                  Z_DEFLATED, Z_DEFAULT_COMPRESSION),
              ZIP_OK);
    EXPECT_EQ(zipWriteInFileInZip(zip, content.data(), static_cast<unsigned>(content.size())),
              ZIP_OK);
    EXPECT_EQ(zipCloseFileInZip(zip), ZIP_OK);
  }
  EXPECT_EQ(zipClose(zip, nullptr), ZIP_OK);
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace views_testing

#endif  // VIEWS_TEST_ARCHIVE_H_
