#include "experiment_flags/experiment_tokens.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "experiment_flags/marovic_error.h"
#include "platform/foundation/assertion_handler.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Tokens = ZQLMarovicExperimentTokens;

std::shared_ptr<const YRXExperimentIds> External(const std::string& clear, bool match) {
  auto ids = std::make_shared<YRXExperimentIds>();
  if (!clear.empty()) ids->set_clear_blob(clear);
  ids->set_users_match(match);
  return ids;
}

TEST(ExperimentTokensTest, EqualityTreatsTokenListsAsSets) {
  auto a = Tokens::initWithUser("u", {"x", "y"}, {{1, {"c"}}});
  auto b = Tokens::initWithUser("u", {"y", "x", "y"}, {{1, {"c", "c"}}});
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());
  // Records without a clear blob count as absent, whatever else they hold.
  auto c = Tokens::initWithUser("u", {"x", "y"}, {{1, {"c"}}}, External("", true));
  auto d = Tokens::initWithUser("u", {"x", "y"}, {{1, {"c"}}}, External("", false));
  EXPECT_TRUE(c->isEqual(*d));
  EXPECT_TRUE(a->isEqual(*c));

  const std::shared_ptr<Tokens> different[] = {
      Tokens::initWithUser("v", {"x", "y"}, {{1, {"c"}}}),
      Tokens::initWithUser(std::nullopt, {"x", "y"}, {{1, {"c"}}}),
      Tokens::initWithUser("u", {"x"}, {{1, {"c"}}}),
      Tokens::initWithUser("u", {"x", "y"}, {{1, {"d"}}}),
      Tokens::initWithUser("u", {"x", "y"}, {}),
      Tokens::initWithUser("u", {"x", "y"}, {{1, {"c"}}}, External("blob", true)),
  };
  for (const auto& other : different) {
    SCOPED_TRACE(other->description());
    EXPECT_FALSE(a->isEqual(*other));
  }
  EXPECT_THAT(a->description(), HasSubstr("ExperimentToken: user:\"u\" tokens:"));
}

TEST(ExperimentTokensTest, EventRecordCollectsTokensOfTheEventsUser) {
  EXPECT_EQ(Tokens::experimentIDsWithTokensArray({}, "u"), nullptr);
  EXPECT_EQ(Tokens::experimentIDsWithTokensArray({Tokens::initWithUser("u", {}, {})}, "u"),
            nullptr);
  EXPECT_EQ(Tokens::experimentIDsStringWithTokensArray({}, "u"), std::nullopt);

  auto mine = Tokens::initWithUser("u", {"t1"}, {{0, {"m0"}}, {2, {"m2"}}, {1, {"m1"}}},
                                   External("C1", false));
  auto theirs = Tokens::initWithUser("w", {"t2"}, {{0, {"w0"}}, {3, {"w3"}}}, External("C2", true));
  auto ids = Tokens::experimentIDsWithTokensArray({mine, theirs}, "u");
  ASSERT_NE(ids, nullptr);
  EXPECT_THAT(ids->encrypted_blob(), ElementsAre("t1", "m0", "m1", "m2", "t2", "w3"));
  EXPECT_FALSE(ids->users_match());
  EXPECT_EQ(ids->clear_blob(), "C1C2");

  auto only_mine = Tokens::experimentIDsWithTokensArray({mine}, "u");
  EXPECT_TRUE(only_mine->users_match());
  // An absent user never matches.
  EXPECT_FALSE(Tokens::experimentIDsWithTokensArray({mine}, std::nullopt)->users_match());

  // The text form is standard Base64 of the encoded record; python decodes it independently.
  auto text = Tokens::experimentIDsStringWithTokensArray({mine}, "u");
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->find('\n'), std::string::npos);
  std::string command = "python3 -c 'import base64,sys; sys.stdout.write(base64.b64decode(\"" +
                        *text + "\").hex())'";
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[512] = {};
  size_t n = fread(buffer, 1, sizeof buffer - 1, pipe);
  ASSERT_EQ(pclose(pipe), 0);
  std::string hex;
  for (unsigned char c : only_mine->SerializeAsString()) {
    char two[3];
    snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  EXPECT_EQ(std::string(buffer, n), hex);
}

TEST(MarovicUtilTest, VersionTextsAsIntegers) {
  struct Case {
    const char* version;
    long major, minor, patch;
    uint64_t expected;
    size_t reports;
  };
  const Case cases[] = {
      {"1.2.3", 6, 6, 6, 1000002000003ull, 0},
      {"4", 6, 6, 6, 4000000000000ull, 0},
      {"1.2", 6, 6, 6, 1000002000000ull, 0},
      {"1.2.3.9", 2, 2, 2, 10203ull, 0},
      {"1234567", 6, 6, 6, 999999000000000000ull, 1},
      {"1.100.3", 2, 2, 2, 19903ull, 1},
      {"-1.0", 2, 2, 2, 990000ull, 1},  // a negative part counts as too large
      {"x.7", 2, 2, 2, 700ull, 0},
      {"1.2.3", 7, 6, 6, 0, 1},          // 19 digits do not fit
      {"1.2.3", 0, 0, 6, 0, 2},          // every zero width is reported
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
    platform::foundation::ScopedAssertionHandler scoped(handler);
    EXPECT_EQ(ZQLMarovicUtil::appVersionAsInteger(c.version, c.major, c.minor, c.patch),
              c.expected);
    EXPECT_EQ(handler->failures().size(), c.reports);
  }
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  ZQLMarovicUtil::appVersionAsInteger("1234567", 6);
  ASSERT_EQ(handler->failures().size(), 1u);
  EXPECT_EQ(handler->failures()[0].description,
            "Your Major version number (1234567) does not fit into 6 digits. Cannot generate an "
            "integer version code.");
  EXPECT_EQ(ZQLMarovicUtil::intPow(10, 20), 7766279631452241920ull);  // wraps
}

TEST(MarovicUtilTest, PackageNames) {
  EXPECT_TRUE(ZQLMarovicUtil::isMultiCommitPackage("pkg#@x"));
  for (const char* name : {"pkg#x", "pkg@x", "pkg#", "pkg"}) {
    EXPECT_FALSE(ZQLMarovicUtil::isMultiCommitPackage(name)) << name;
  }
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  EXPECT_FALSE(ZQLMarovicUtil::isMultiCommitPackage(std::nullopt));
  ASSERT_EQ(handler->failures().size(), 1u);
  EXPECT_EQ(handler->failures()[0].description, "Must pass a non-nil packageName");

  std::string uuid = ZQLMarovicUtil::uuid();
  EXPECT_EQ(uuid.size(), 36u);
  EXPECT_NE(uuid, ZQLMarovicUtil::uuid());
  EXPECT_EQ(ZQLStandardZRBLogMetadata(), ZQLStandardZRBLogMetadata());
}

}  // namespace
