#include "platform/foundation/ns_bundle.h"

#include <limits.h>
#include <unistd.h>

#include "gtest/gtest.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using platform::foundation::ScopedTestFolder;

int symbol_in_this_program = 0;

std::string ExecutableFolder() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  std::string file(path, length > 0 ? static_cast<size_t>(length) : 0);
  return file.substr(0, file.rfind('/'));
}

class NSBundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto manager = NSFileManager::defaultManager();
    ASSERT_TRUE(
        manager->createDirectoryAtPath(folder_.Path("App/art.scnassets"), true, {}, nullptr));
    ASSERT_TRUE(manager->createDirectoryAtPath(folder_.Path("App/OstrellFaceResources.bundle"),
                                               true, {}, nullptr));
    for (const char* file : {"App/art.scnassets/cup.scn", "App/shaders.metallib", "App/LICENSE",
                             "App/OstrellFaceResources.bundle/sorvanti_mesh_468_video.binarypb"}) {
      ASSERT_TRUE(NSDataWriteToFile({1, 2, 3}, folder_.Path(file), false));
    }
  }
  void TearDown() override {
    platform::foundation::SetMainBundlePath("");
    platform::foundation::SetCodeBundlePath("");
  }

  ScopedTestFolder folder_;
};

TEST_F(NSBundleTest, ResourcesAreFilesOfTheFolderAndItsSubfolders) {
  auto app = NSBundle::bundleWithPath(folder_.Path("App"));
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->bundlePath(), folder_.Path("App"));
  EXPECT_EQ(app->resourcePath(), folder_.Path("App"));
  EXPECT_EQ(app->pathForResource("cup", "scn", "art.scnassets"),
            folder_.Path("App/art.scnassets/cup.scn"));
  EXPECT_EQ(app->pathForResource("shaders", "metallib"), folder_.Path("App/shaders.metallib"));
  EXPECT_EQ(app->pathForResource("LICENSE", ""), folder_.Path("App/LICENSE"));
  EXPECT_EQ(app->pathForResource("cup", "scn"), std::nullopt);  // not in the top folder
  EXPECT_EQ(app->pathForResource("cup", "dae", "art.scnassets"), std::nullopt);
  EXPECT_EQ(app->pathForResource("", "scn", "art.scnassets"), std::nullopt);

  // A bundle inside a bundle, as the face SDK finds its resources.
  auto nested_url = app->URLForResource("OstrellFaceResources", "bundle");
  ASSERT_NE(nested_url, nullptr);
  EXPECT_TRUE(nested_url->hasDirectoryPath());
  auto nested = NSBundle::bundleWithURL(*nested_url);
  ASSERT_NE(nested, nullptr);
  auto graph = nested->URLForResource("sorvanti_mesh_468_video", "binarypb");
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(graph->path(),
            folder_.Path("App/OstrellFaceResources.bundle/sorvanti_mesh_468_video.binarypb"));
  EXPECT_EQ(nested->URLForResource("missing", "binarypb", "x"), nullptr);

  EXPECT_EQ(NSBundle::bundleWithPath(folder_.Path("Missing")), nullptr);
  EXPECT_EQ(NSBundle::bundleWithPath(folder_.Path("App/LICENSE")), nullptr);  // not a folder
}

TEST_F(NSBundleTest, OneObjectPerFolderCarriesItsInfoDictionary) {
  auto app = NSBundle::bundleWithPath(folder_.Path("App"));
  EXPECT_EQ(app->bundleIdentifier(), "");
  EXPECT_FALSE(app->objectForInfoDictionaryKey("CFBundleShortVersionString").has_value());
  platform::foundation::SetInfoDictionary(
      *app, {{kCFBundleIdentifierKey, std::string("com.example.face")},
             {"CFBundleShortVersionString", std::string("1.2.3")},
             {"QDLQuendalIDCode", 4711LL}});
  // The same folder, spelt differently, is the same bundle.
  auto again = NSBundle::bundleWithPath(folder_.Path("App/art.scnassets/../"));
  EXPECT_EQ(again, app);
  EXPECT_EQ(again->bundleIdentifier(), "com.example.face");
  EXPECT_EQ(
      std::any_cast<std::string>(again->objectForInfoDictionaryKey("CFBundleShortVersionString")),
      "1.2.3");
  EXPECT_EQ(std::any_cast<long long>(again->infoDictionary().at("QDLQuendalIDCode")), 4711);
}

TEST_F(NSBundleTest, LocalizationsAreTheLprojFolders) {
  auto app = NSBundle::bundleWithPath(folder_.Path("App"));
  EXPECT_TRUE(app->preferredLocalizations().empty());
  for (const char* folder : {"App/fr.lproj", "App/Base.lproj", "App/en.lproj"}) {
    ASSERT_TRUE(NSFileManager::defaultManager()->createDirectoryAtPath(folder_.Path(folder), false,
                                                                       {}, nullptr));
  }
  EXPECT_EQ(app->preferredLocalizations(), (std::vector<std::string>{"en", "fr"}));
}

TEST_F(NSBundleTest, MainAndCodeBundlesDefaultToTheExecutablesFolder) {
  auto main = NSBundle::mainBundle();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->bundlePath(), ExecutableFolder());
  auto code = NSBundle::bundleForAddress(&symbol_in_this_program);
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(code, main);

  platform::foundation::SetMainBundlePath(folder_.Path("App"));
  platform::foundation::SetCodeBundlePath(folder_.Path("App/OstrellFaceResources.bundle"));
  EXPECT_NE(NSBundle::mainBundle()->pathForResource("cup", "scn", "art.scnassets"), std::nullopt);
  EXPECT_NE(NSBundle::bundleForAddress(&symbol_in_this_program)
                ->pathForResource("sorvanti_mesh_468_video", "binarypb"),
            std::nullopt);
}

}  // namespace
