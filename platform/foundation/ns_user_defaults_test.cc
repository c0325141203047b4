#include "platform/foundation/ns_user_defaults.h"

#include <thread>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using platform::foundation::ResetUserDefaults;
using platform::foundation::ScopedTestFolder;

std::string FileText(const std::string& path) {
  auto bytes = NSDataWithContentsOfFile(path, nullptr);
  return bytes.has_value() ? std::string(bytes->begin(), bytes->end()) : "<missing>";
}

class NSUserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetSandboxRoot(folder_.Path("home"));
    ResetUserDefaults();
  }
  void TearDown() override {
    ResetUserDefaults();
    platform::foundation::SetSandboxRoot("");
  }
  std::string SuiteFile(const std::string& suite) {
    return folder_.Path("home/Library/Preferences/" + suite + ".defaults");
  }

  ScopedTestFolder folder_;
};

TEST_F(NSUserDefaultsTest, ValuesPersistAcrossObjectsAndRestarts) {
  const std::string key = "com.example seed\n%";  // escaped in the file
  auto writer = NSUserDefaults::initWithSuiteName("group.com.example");
  ASSERT_NE(writer, nullptr);
  writer->setObject("seed value with spaces", key);
  writer->setObject(std::vector<uint8_t>{0, 255, 16}, "data");
  writer->setObject(std::vector<uint8_t>{}, "empty");
  writer->setObject(NSDate::dateWithTimeIntervalSince1970(1234.5), "date");
  writer->setInteger(-9000000000L, "integer");
  writer->setDouble(0.1, "double");
  writer->setBool(true, "bool");

  // Another object of the suite sees every value at once.
  auto reader = NSUserDefaults::initWithSuiteName("group.com.example");
  EXPECT_EQ(reader->stringForKey(key), "seed value with spaces");
  reader->removeObjectForKey("bool");
  EXPECT_FALSE(writer->objectForKey("bool").has_value());

  // A new process (in-memory state forgotten) reads the file.
  ResetUserDefaults();
  auto restarted = NSUserDefaults::initWithSuiteName("group.com.example");
  EXPECT_EQ(restarted->stringForKey(key), "seed value with spaces");
  EXPECT_EQ(restarted->dataForKey("data"), (std::vector<uint8_t>{0, 255, 16}));
  EXPECT_EQ(restarted->dataForKey("empty"), std::vector<uint8_t>());
  auto date = std::any_cast<std::shared_ptr<NSDate>>(restarted->objectForKey("date"));
  EXPECT_EQ(date->timeIntervalSince1970(), 1234.5);
  EXPECT_EQ(restarted->integerForKey("integer"), -9000000000L);
  EXPECT_EQ(restarted->doubleForKey("double"), 0.1);
  EXPECT_FALSE(restarted->objectForKey("bool").has_value());
  restarted->setObject(std::shared_ptr<NSDate>(), "date");  // a null date removes
  EXPECT_FALSE(restarted->objectForKey("date").has_value());

  // Suites are separate files.
  EXPECT_FALSE(NSUserDefaults::initWithSuiteName("other")->stringForKey(key).has_value());
  EXPECT_THAT(FileText(SuiteFile("group.com.example")),
              ::testing::StartsWith("quillmere-defaults 1\n"));
  EXPECT_THAT(FileText(SuiteFile("group.com.example")),
              ::testing::HasSubstr("s com.example%20seed%0A%25 seed%20value%20with%20spaces\n"));
}

TEST_F(NSUserDefaultsTest, StandardSuiteIsNamedAfterTheMainBundle) {
  NSUserDefaults::standardUserDefaults()->setBool(true, "flag");
  EXPECT_EQ(NSUserDefaults::standardUserDefaults(), NSUserDefaults::standardUserDefaults());
  EXPECT_THAT(FileText(SuiteFile("standard")), ::testing::HasSubstr("b flag 1\n"));

  ScopedTestFolder app;
  platform::foundation::SetMainBundlePath(app.path());
  platform::foundation::SetInfoDictionary(
      *NSBundle::mainBundle(), {{kCFBundleIdentifierKey, std::string("com.example.app")}});
  ResetUserDefaults();
  NSUserDefaults::standardUserDefaults()->setInteger(3, "count");
  EXPECT_THAT(FileText(SuiteFile("com.example.app")), ::testing::HasSubstr("i count 3\n"));
  platform::foundation::SetMainBundlePath("");
}

TEST_F(NSUserDefaultsTest, TypedReadsConvertLikeThePlatform) {
  auto defaults = NSUserDefaults::initWithSuiteName("conversions");
  defaults->setObject("42", "numeric text");
  defaults->setObject("YES", "yes text");
  defaults->setObject("hello", "text");
  defaults->setDouble(2.75, "double");
  defaults->setInteger(7, "integer");
  defaults->setBool(true, "bool");
  defaults->setObject(std::vector<uint8_t>{1}, "data");
  struct Case {
    const char* key;
    long integer;
    double real;
    bool flag;
    std::optional<std::string> text;
  };
  for (const Case& c :
       {Case{"numeric text", 42, 42, true, "42"}, Case{"yes text", 0, 0, true, "YES"},
        Case{"text", 0, 0, false, "hello"}, Case{"double", 2, 2.75, true, "2.75"},
        Case{"integer", 7, 7, true, "7"}, Case{"bool", 1, 1, true, "1"},
        Case{"data", 0, 0, false, std::nullopt}, Case{"missing", 0, 0, false, std::nullopt}}) {
    EXPECT_EQ(defaults->integerForKey(c.key), c.integer) << c.key;
    EXPECT_EQ(defaults->doubleForKey(c.key), c.real) << c.key;
    EXPECT_EQ(defaults->boolForKey(c.key), c.flag) << c.key;
    EXPECT_EQ(defaults->stringForKey(c.key), c.text) << c.key;
  }
  EXPECT_EQ(defaults->dataForKey("text"), std::nullopt);
}

TEST_F(NSUserDefaultsTest, DamagedFilesAndBadNamesAreHandled) {
  for (const char* name : {"", ".hidden", "a/b", "NSGlobalDomain"}) {
    EXPECT_EQ(NSUserDefaults::initWithSuiteName(name), nullptr) << name;
  }
  ASSERT_EQ(platform::foundation::SandboxPreferencesDirectory(),
            folder_.Path("home/Library/Preferences"));  // made on first use
  std::string damaged =
      "quillmere-defaults 1\n"
      "s good text\n"
      "i bad 12x\n"
      "x odd abc\n"
      "s bad%zz value\n"
      "q unknown 1\n"
      "b nospace\n"
      "b flag 1\n";
  ASSERT_TRUE(NSDataWriteToFile(std::vector<uint8_t>(damaged.begin(), damaged.end()),
                                SuiteFile("damaged"), false));
  auto defaults = NSUserDefaults::initWithSuiteName("damaged");
  EXPECT_EQ(defaults->stringForKey("good"), "text");
  EXPECT_TRUE(defaults->boolForKey("flag"));
  for (const char* key : {"bad", "odd", "unknown", "nospace"}) {
    EXPECT_FALSE(defaults->objectForKey(key).has_value()) << key;
  }

  std::string foreign = "<plist>\ns key value\n";
  ASSERT_TRUE(NSDataWriteToFile(std::vector<uint8_t>(foreign.begin(), foreign.end()),
                                SuiteFile("foreign"), false));
  EXPECT_FALSE(NSUserDefaults::initWithSuiteName("foreign")->objectForKey("key").has_value());
}

TEST_F(NSUserDefaultsTest, SynchronizeReadsChangesOfOtherProcessesAndRetriesFailedWrites) {
  auto defaults = NSUserDefaults::initWithSuiteName("shared");
  defaults->setObject("mine", "key");
  // Another process rewrites the file.
  std::string theirs = "quillmere-defaults 1\ns key theirs\n";
  ASSERT_TRUE(NSDataWriteToFile(std::vector<uint8_t>(theirs.begin(), theirs.end()),
                                SuiteFile("shared"), true));
  EXPECT_EQ(defaults->stringForKey("key"), "mine");
  EXPECT_TRUE(defaults->synchronize());
  EXPECT_EQ(defaults->stringForKey("key"), "theirs");

  // While the folder cannot be written (a file stands in its place) the value lives in memory;
  // synchronize reports the failure, and succeeds once the folder can be made again.
  auto manager = NSFileManager::defaultManager();
  std::string preferences = folder_.Path("home/Library/Preferences");
  ASSERT_TRUE(manager->removeItemAtPath(preferences, nullptr));
  ASSERT_TRUE(NSDataWriteToFile(std::vector<uint8_t>{1}, preferences, false));
  defaults->setObject("pending", "key");
  EXPECT_EQ(defaults->stringForKey("key"), "pending");
  EXPECT_FALSE(defaults->synchronize());
  EXPECT_EQ(defaults->stringForKey("key"), "pending");
  ASSERT_TRUE(manager->removeItemAtPath(preferences, nullptr));
  EXPECT_TRUE(defaults->synchronize());
  ResetUserDefaults();
  EXPECT_EQ(NSUserDefaults::initWithSuiteName("shared")->stringForKey("key"), "pending");
}

TEST_F(NSUserDefaultsTest, ConcurrentWritersOfOneSuiteLoseNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      auto defaults = NSUserDefaults::initWithSuiteName("concurrent");
      for (int i = 0; i < 20; ++i) {
        defaults->setInteger(i, "t" + std::to_string(t) + "-" + std::to_string(i));
        defaults->integerForKey("t0-0");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ResetUserDefaults();
  auto defaults = NSUserDefaults::initWithSuiteName("concurrent");
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(defaults->integerForKey("t" + std::to_string(t) + "-" + std::to_string(i)), i);
    }
  }
}

}  // namespace
