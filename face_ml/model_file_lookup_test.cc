#include "face_ml/model_file_lookup.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "face_ml/asset_registry.h"
#include "face_ml/embedded_files.h"
#include "face_ml/resource_util.h"
#include "face_ml/testing/log_capture.h"
#include "gmock/gmock.h"
#include "graph/calculator_context.h"
#include "graph/calculator_contract.h"
#include "graph/calculator_state.h"
#include "graph/legacy_calculator_support.h"
#include "graph/packet.h"
#include "graph_config/calculator.pb.h"
#include "gtest/gtest.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/scoped_test_folder.h"

namespace pellumo {
namespace sorvanti {
namespace {

using ::quorrel::effect::AssetRegistry;
using ::quorrel::effect::AssetRegistryServiceHelper;
using ::research::sorvanti::testing::LogCapture;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

// A bundle folder holding name.bin, models/face.tflite and an empty folder, made the bundle
// of the framework's code for the test.
class ModelFileLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    bundle_ = fs::path(folder_.Path("bundle"));
    fs::create_directories(bundle_ / "models");
    fs::create_directories(bundle_ / "folder.bin");
    Write(bundle_ / "name.bin", std::string("top\0level", 9));
    Write(bundle_ / "models" / "face.tflite", "face model");
    platform::foundation::SetCodeBundlePath(bundle_.string());
  }
  void TearDown() override { platform::foundation::SetCodeBundlePath(""); }

  static void Write(const fs::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
  }

  platform::foundation::ScopedTestFolder folder_;
  fs::path bundle_;
};

// The number of ERROR lines that contain `text`.
int ErrorLinesWith(const LogCapture& log, const std::string& text) {
  int n = 0;
  for (const LogCapture::Line& l : log.lines()) {
    n += l.severity == absl::LogSeverity::kError && l.text.find(text) != std::string::npos;
  }
  return n;
}

TEST_F(ModelFileLookupTest, RelativePathsResolveInTheBundle) {
  std::string contents;
  // The asset base and the configured path meet with one slash.
  for (auto [base, path] : {std::pair("models", "face.tflite"), {"models/", "/face.tflite"},
                            {"", "models/face.tflite"}}) {
    contents.clear();
    ASSERT_TRUE(ReadModelFile(base, path, nullptr, &contents).ok()) << base << " " << path;
    EXPECT_EQ(contents, "face model");
  }
  // Binary contents arrive whole.
  ASSERT_TRUE(ReadModelFile("", "name.bin", nullptr, &contents).ok());
  EXPECT_EQ(contents, std::string("top\0level", 9));
}

TEST_F(ModelFileLookupTest, MissingPathIsRetriedWithItsLastComponent) {
  for (const std::string path : {"dir/name.bin", "a\\b/c\\name.bin"}) {
    LogCapture log;
    util::StatusOr<std::string> found = kaldren::PathToResourceAsFile(path);
    ASSERT_TRUE(found.ok()) << found.status();
    EXPECT_EQ(*found, (bundle_ / "name.bin").string());
    EXPECT_EQ(log.Count(absl::LogSeverity::kInfo, "Successfully loaded: name.bin"), 1);
    // The first try's miss is logged although the retry recovers it.
    EXPECT_EQ(ErrorLinesWith(log, "[[NSFileManager defaultManager] fileExistsAtPath:"
                                  "resolved_ns_path] cannot find file: " +
                                      (bundle_ / path).string()),
              1);
  }
  LogCapture log;
  ASSERT_TRUE(kaldren::PathToResourceAsFile("models/face.tflite").ok());
  EXPECT_EQ(log.Count(absl::LogSeverity::kInfo, "Successfully loaded: models/face.tflite"), 1);
}

TEST_F(ModelFileLookupTest, MissesNameTheFullPathTriedLast) {
  struct Case {
    std::string path;
    std::string tried;  // below the bundle
  } cases[] = {{"absent.bin", "absent.bin"}, {"models/absent.bin", "absent.bin"}};
  for (const Case& c : cases) {
    LogCapture log;
    std::string contents = "kept";
    absl::Status status = ReadModelFile("", c.path, nullptr, &contents);
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(status.message()),
                testing::EndsWith("cannot find file: " + (bundle_ / c.tried).string()));
    EXPECT_EQ(contents, "kept");
    EXPECT_EQ(ErrorLinesWith(log, "cannot find file: " + (bundle_ / c.tried).string()), 1);
  }
}

TEST_F(ModelFileLookupTest, UnreadableFilesAreErrorsNotEmptyContents) {
  // An absolute path is not tested for existence by the lookup, but reading it fails.
  const std::string absent = (bundle_ / "absent.bin").string();
  util::StatusOr<std::string> path = kaldren::PathToResourceAsFile(absent);
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(*path, absent);

  const std::string unreadable = (bundle_ / "locked.bin").string();
  Write(unreadable, "secret");
  chmod(unreadable.c_str(), 0);
  const bool can_bypass_permissions = std::ifstream(unreadable).good();  // running as root

  std::string contents = "kept";
  for (const std::string& file : {absent, (bundle_ / "folder.bin").string(), unreadable}) {
    if (file == unreadable && can_bypass_permissions) continue;
    absl::Status status = kaldren::GetResourceContents(file, &contents);
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal) << file;
    EXPECT_EQ(status.message(), "cannot open file: " + file);
  }
  EXPECT_EQ(contents, "kept");

  // An empty file is read as empty contents.
  Write(bundle_ / "empty.bin", "");
  ASSERT_TRUE(ReadModelFile("", "empty.bin", nullptr, &contents).ok());
  EXPECT_EQ(contents, "");
}

TEST_F(ModelFileLookupTest, AssetRegistryReplacesTheConfiguredPath) {
  const std::string face = (bundle_ / "models" / "face.tflite").string();
  AssetRegistry registry({{"face", face}, {"in_bundle", "name.bin"}});
  std::string contents;
  // The asset base is ignored for a known asset, and a registry path is resolved as usual.
  ASSERT_TRUE(ReadModelFile("ignored", "face", &registry, &contents).ok());
  EXPECT_EQ(contents, "face model");
  ASSERT_TRUE(ReadModelFile("", "in_bundle", &registry, &contents).ok());
  EXPECT_EQ(contents.size(), 9u);

  // A file the registry does not name fails even though it exists.
  absl::Status status = ReadModelFile("", "models/face.tflite", &registry, &contents);
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(status.message()),
              HasSubstr("resolved_path Could not get path for asset: models/face.tflite"));
}

TEST_F(ModelFileLookupTest, EmbeddedPathsMissTheEmptyTable) {
  using research::sorvanti::api::EmbeddedFiles;
  EXPECT_TRUE(EmbeddedFiles::IsEmbeddedPath("embedded:"));
  EXPECT_FALSE(EmbeddedFiles::IsEmbeddedPath("embedded"));
  EXPECT_FALSE(EmbeddedFiles::IsEmbeddedPath("models/embedded:x"));
  EXPECT_FALSE(EmbeddedFiles::Get("name.bin").has_value());

  for (const std::string path : {"embedded:name.bin", "embedded:"}) {
    std::string contents;
    absl::Status status = ReadModelFile("", path, nullptr, &contents);
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(status.message()),
                HasSubstr("span Can't find embedded file with path " + path));
  }
  // An asset base in front of the prefix makes the path an ordinary one.
  std::string contents;
  absl::Status status = ReadModelFile("models", "embedded:x", nullptr, &contents);
  EXPECT_THAT(std::string(status.message()), HasSubstr("cannot find file: "));
  EXPECT_DEATH(EmbeddedFiles::GetOrDie("embedded:x"),
               "File with path embedded:x not found in embedded map. Forgot to link embedded "
               "data library\\?");
}

TEST(EmbeddedFilesTest, RegisteredFilesAreFoundAndDuplicatesAreFatal) {
  using research::sorvanti::api::EmbeddedFiles;
  using research::sorvanti::api::FileToc;
  static const FileToc toc[] = {{"test/a.bin", "abc", 3, {}}, {nullptr, nullptr, 0, {}}};
  EmbeddedFiles::TocInserter inserter(toc, "//test:a");
  ASSERT_TRUE(EmbeddedFiles::Get("embedded:test/a.bin").has_value());
  EXPECT_EQ(*EmbeddedFiles::Get("embedded:test/a.bin"), "abc");
  EXPECT_EQ(EmbeddedFiles::GetMap().at("test/a.bin").rule, "//test:a");
  EXPECT_DEATH(EmbeddedFiles::TocInserter(toc, "//test:b"),
               "Trying to insert duplicate value for test/a.bin original rule is //test:a new "
               "rule is //test:b");
}

TEST(AssetRegistryServiceTest, RequestedAsOptionalAndReadFromTheCurrentCall) {
  EXPECT_FALSE(AssetRegistryServiceHelper::UpdateContract().ok());
  kaldren::CalculatorContract contract;
  {
    kaldren::LegacyCalculatorSupport::Scoped<kaldren::CalculatorContract> scoped(&contract);
    ASSERT_TRUE(AssetRegistryServiceHelper::UpdateContract().ok());
  }
  const auto& requests = contract.ServiceRequests();
  ASSERT_EQ(requests.count("quorrel::effect::AssetRegistryService"), 1u);
  EXPECT_TRUE(requests.at("quorrel::effect::AssetRegistryService").IsOptional());

  EXPECT_EQ(AssetRegistryServiceHelper::GetAssetRegistry(), nullptr);
  pellumo::CalculatorGraphConfig_Node node;
  kaldren::CalculatorState state("landmarks", 0, "LandmarksDetectorCalculatorMetal", node, nullptr);
  google::protobuf::RepeatedPtrField<std::string> none;
  kaldren::CalculatorContext context(&state, kaldren::tool::TagMap::Create(none).value(),
                                     kaldren::tool::TagMap::Create(none).value());
  kaldren::LegacyCalculatorSupport::Scoped<kaldren::CalculatorContext> scoped(&context);
  EXPECT_EQ(AssetRegistryServiceHelper::GetAssetRegistry(), nullptr);

  auto registry = std::make_shared<AssetRegistry>(std::map<std::string, std::string>{{"a", "b"}});
  state.SetServicePacket("quorrel::effect::AssetRegistryService",
                         kaldren::MakePacket<std::shared_ptr<AssetRegistry>>(registry));
  EXPECT_EQ(AssetRegistryServiceHelper::GetAssetRegistry(), registry.get());
  EXPECT_EQ(registry->GetPathForAsset("a"), "b");
  EXPECT_FALSE(registry->GetPathForAsset("A").has_value());
}

}  // namespace
}  // namespace sorvanti
}  // namespace pellumo
