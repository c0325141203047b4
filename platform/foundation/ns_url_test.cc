#include "platform/foundation/ns_url.h"

#include "gtest/gtest.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

TEST(NSURLTest, FileURLPathOperations) {
  auto folder = NSURL::fileURLWithPath("/data/Documents", true);
  EXPECT_TRUE(folder->isFileURL());
  EXPECT_TRUE(folder->hasDirectoryPath());
  EXPECT_EQ(folder->absoluteString(), "file:///data/Documents/");
  EXPECT_EQ(folder->path(), "/data/Documents");

  auto file = folder->URLByAppendingPathComponent("VirtualObjects_temp")
                  ->URLByAppendingPathComponent("model v1.tar.zip");
  EXPECT_EQ(file->absoluteString(),
            "file:///data/Documents/VirtualObjects_temp/model%20v1.tar.zip");
  EXPECT_EQ(file->path(), "/data/Documents/VirtualObjects_temp/model v1.tar.zip");
  EXPECT_EQ(file->lastPathComponent(), "model v1.tar.zip");
  EXPECT_EQ(file->pathExtension(), "zip");
  EXPECT_FALSE(file->hasDirectoryPath());
  EXPECT_EQ(file->URLByDeletingPathExtension()->lastPathComponent(), "model v1.tar");
  EXPECT_EQ(file->URLByDeletingLastPathComponent()->absoluteString(),
            "file:///data/Documents/VirtualObjects_temp/");
  EXPECT_EQ(file->URLByDeletingLastPathComponent()->path(), "/data/Documents/VirtualObjects_temp");
  EXPECT_EQ(file->URLByAppendingPathExtension("tmp")->path(),
            "/data/Documents/VirtualObjects_temp/model v1.tar.zip.tmp");
  EXPECT_TRUE(folder->URLByAppendingPathComponent("sub", true)->hasDirectoryPath());

  auto root = NSURL::fileURLWithPath("/", true);
  EXPECT_EQ(root->path(), "/");
  EXPECT_EQ(root->lastPathComponent(), "/");
  EXPECT_EQ(root->URLByDeletingLastPathComponent()->path(), "/");
  EXPECT_EQ(root->URLByAppendingPathComponent("etc")->path(), "/etc");
  EXPECT_EQ(NSURL::fileURLWithPath(""), nullptr);
}

TEST(NSURLTest, PathExtensionRules) {
  struct Case {
    const char* path;
    const char* extension;
  };
  for (const Case& c :
       {Case{"/a/state", ""}, Case{"/a/.hidden", ""}, Case{"/a/name.", ""},
        Case{"/a/log.tmp", "tmp"}, Case{"/a.b/file", ""}, Case{"/a/art.scnassets/", "scnassets"}}) {
    EXPECT_EQ(NSURL::fileURLWithPath(c.path, false)->pathExtension(), c.extension) << c.path;
  }
}

TEST(NSURLTest, FileURLWithoutFlagAsksTheFileSystemAndMakesRelativePathsAbsolute) {
  platform::foundation::ScopedTestFolder folder;
  EXPECT_TRUE(NSURL::fileURLWithPath(folder.path())->hasDirectoryPath());
  EXPECT_FALSE(NSURL::fileURLWithPath(folder.Path("missing"))->hasDirectoryPath());
  auto relative = NSURL::fileURLWithPath("relative/file.txt", false);
  EXPECT_EQ(relative->path()[0], '/');
  EXPECT_EQ(relative->lastPathComponent(), "file.txt");
}

TEST(NSURLTest, URLWithStringParsesOrRefuses) {
  auto url = NSURL::URLWithString("HTTPS://user@example.com:8443/models/face%20mesh.zip?v=2#top");
  ASSERT_NE(url, nullptr);
  EXPECT_EQ(url->scheme(), "https");
  EXPECT_FALSE(url->isFileURL());
  EXPECT_EQ(url->host(), "example.com");
  EXPECT_EQ(url->port(), 8443);
  EXPECT_EQ(url->query(), "v=2");
  EXPECT_EQ(url->path(), "/models/face mesh.zip");
  EXPECT_EQ(url->lastPathComponent(), "face mesh.zip");
  EXPECT_EQ(url->absoluteString(),
            "HTTPS://user@example.com:8443/models/face%20mesh.zip?v=2#top");  // kept as given
  EXPECT_EQ(url->URLByDeletingLastPathComponent()->absoluteString(),
            "HTTPS://user@example.com:8443/models/?v=2#top");

  auto file = NSURL::URLWithString("file:///tmp/a%2Fb");
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->isFileURL());
  EXPECT_EQ(file->path(), "/tmp/a/b");

  auto plain = NSURL::URLWithString("http://127.0.0.1");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->port(), std::nullopt);
  EXPECT_EQ(plain->URLByAppendingPathComponent("x.zip")->absoluteString(),
            "http://127.0.0.1/x.zip");

  auto relative = NSURL::URLWithString("models/face.zip");
  ASSERT_NE(relative, nullptr);
  EXPECT_EQ(relative->scheme(), "");

  for (const char* bad :
       {"", "not a url", "http://host/a b", "http://host/%zz", "http://host/%4", "1http://host",
        "http://host:port/", "http://h\xc3\xa9.com/", "http://host/\n"}) {
    EXPECT_EQ(NSURL::URLWithString(bad), nullptr) << bad;
  }
}

}  // namespace
