#include "graph_config/validate_name.h"

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using ::testing::HasSubstr;

google::protobuf::RepeatedPtrField<std::string> Entries(std::vector<std::string> entries) {
  return {entries.begin(), entries.end()};
}

std::string EntryError(const std::string& entry) {
  return "TAG:index:name is invalid, \"" + entry +
         "\" does not match \"([A-Z_][A-Z0-9_]*:((0|[1-9][0-9]*):)?)?[a-z_][a-z0-9_]*\" "
         "(examples: \"TAG:name\" \"VIDEO:2:name_b\", \"longer_name\").";
}

TEST(ValidateNameTest, CharacterRules) {
  EXPECT_TRUE(ValidateName("_").ok());
  EXPECT_TRUE(ValidateName("input_video_2").ok());
  EXPECT_TRUE(ValidateTag("_").ok());
  EXPECT_TRUE(ValidateTag("VIDEO_2").ok());
  EXPECT_TRUE(ValidateNumber("0").ok());
  EXPECT_TRUE(ValidateNumber("10").ok());

  struct Case {
    absl::Status status;
    std::string message;
  };
  const std::vector<Case> failures = {
      {ValidateName("9a"), "Name \"9a\" does not match \"[a-z_][a-z0-9_]*\"."},
      {ValidateName(""), "Name \"\" does not match \"[a-z_][a-z0-9_]*\"."},
      {ValidateName("a\xC3"), "Name \"a\\303\" does not match \"[a-z_][a-z0-9_]*\"."},
      {ValidateName("a\"b\n"), "Name \"a\\\"b\\n\" does not match \"[a-z_][a-z0-9_]*\"."},
      {ValidateTag("Video"), "Tag \"Video\" does not match \"[A-Z_][A-Z0-9_]*\"."},
      {ValidateTag("1A"), "Tag \"1A\" does not match \"[A-Z_][A-Z0-9_]*\"."},
      {ValidateNumber("01"), "Number \"01\" does not match \"(0|[1-9][0-9]*)\"."},
      {ValidateNumber("-1"), "Number \"-1\" does not match \"(0|[1-9][0-9]*)\"."},
      {ValidateNumber(""), "Number \"\" does not match \"(0|[1-9][0-9]*)\"."},
  };
  for (const Case& c : failures) {
    EXPECT_EQ(c.status.code(), absl::StatusCode::kInvalidArgument) << c.message;
    EXPECT_EQ(c.status.message(), c.message);
  }
}

TEST(ParseTagIndexNameTest, ThreeForms) {
  struct Case {
    std::string entry, tag;
    int index;
    std::string name;
  };
  for (const Case& c : std::vector<Case>{{"input_video", "", -1, "input_video"},
                                         {"VIDEO:input_video", "VIDEO", 0, "input_video"},
                                         {"VIDEO:2:input_video", "VIDEO", 2, "input_video"},
                                         {"VIDEO:10000:x", "VIDEO", 10000, "x"},
                                         {"_:0:_", "_", 0, "_"}}) {
    std::string tag = "unset", name;
    int index = 99;
    ASSERT_TRUE(ParseTagIndexName(c.entry, &tag, &index, &name).ok()) << c.entry;
    EXPECT_EQ(tag, c.tag);
    EXPECT_EQ(index, c.index);
    EXPECT_EQ(name, c.name);
  }
}

TEST(ParseTagIndexNameTest, InvalidEntriesLeaveOutputsAlone) {
  for (const std::string entry :
       {"VIDEO:02:x", "video:x", "VIDEO:X", "A::b", "a:b:c:d", "", ":", "VIDEO:-1:x"}) {
    std::string tag = "t", name = "n";
    int index = 5;
    absl::Status status = ParseTagIndexName(entry, &tag, &index, &name);
    EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument) << entry;
    EXPECT_EQ(status.message(), EntryError(entry));
    EXPECT_EQ(tag, "t");
    EXPECT_EQ(index, 5);
    EXPECT_EQ(name, "n");
  }
}

TEST(ParseTagIndexNameTest, IndexBoundIsAnInternalCheck) {
  std::string tag, name;
  int index = 0;
  // The bound is checked before the tag's result is looked at.
  for (const std::string entry : {"VIDEO:10001:x", "video:10001:x"}) {
    absl::Status status = ParseTagIndexName(entry, &tag, &index, &name);
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(status.message(), HasSubstr("(index64)<=(internal::kMaxCollectionItemId)"));
  }
  absl::Status status = ParseTagIndexName("VIDEO:99999999999999999999:x", &tag, &index, &name);
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(status.message(), HasSubstr("absl::SimpleAtoi(v[1], &index64)"));
  EXPECT_EQ(index, 0);

  status = ParseTagIndexName("x", nullptr, &index, &name);
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(status.message(), HasSubstr(") tag"));
}

TEST(ParseTagIndexTest, Forms) {
  struct Case {
    std::string text, tag;
    int index;
  };
  for (const Case& c : std::vector<Case>{
           {"", "", 0}, {":3", "", 3}, {"TAG", "TAG", 0}, {"VIDEO:2", "VIDEO", 2}}) {
    std::string tag = "unset";
    int index = -7;
    ASSERT_TRUE(ParseTagIndex(c.text, &tag, &index).ok()) << c.text;
    EXPECT_EQ(tag, c.tag);
    EXPECT_EQ(index, c.index);
  }
  for (const std::string text : {"TAG:", "TAG:1:2", "tag", "TAG:01"}) {
    std::string tag = "t";
    int index = 5;
    absl::Status status = ParseTagIndex(text, &tag, &index);
    EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(status.message(),
              "TAG:index is invalid, \"" + text +
                  "\" does not match \"([A-Z_][A-Z0-9_]*)?(:(0|[1-9][0-9]*))?\" (examples: "
                  "\"TAG\" \"VIDEO:2\").");
    EXPECT_EQ(tag, "t");
    EXPECT_EQ(index, 5);
  }
  std::string tag;
  int index;
  EXPECT_EQ(ParseTagIndex("A:10001", &tag, &index).code(), absl::StatusCode::kInternal);
}

TEST(ParseTagAndNameTest, FormsAndClearedOutputsOnFailure) {
  std::string tag, name;
  ASSERT_TRUE(ParseTagAndName("VIDEO:frames", &tag, &name).ok());
  EXPECT_EQ(tag, "VIDEO");
  EXPECT_EQ(name, "frames");
  ASSERT_TRUE(ParseTagAndName("frames", &tag, &name).ok());
  EXPECT_EQ(tag, "");
  EXPECT_EQ(name, "frames");

  tag = "t";
  name = "n";
  absl::Status status = ParseTagAndName("VIDEO:1:frames", &tag, &name);
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(),
            "\"tag and name\" is invalid, \"VIDEO:1:frames\" does not match "
            "\"([A-Z_][A-Z0-9_]*:)?[a-z_][a-z0-9_]*\" (examples: \"TAG:name\", "
            "\"longer_name\").");
  EXPECT_EQ(tag, "");
  EXPECT_EQ(name, "");
}

TEST(TagAndNameInfoTest, ConversionBothWays) {
  TagAndNameInfo info;
  ASSERT_TRUE(GetTagAndNameInfo(Entries({"A:x", "A:y"}), &info).ok());
  EXPECT_THAT(info.tags, ::testing::ElementsAre("A", "A"));
  EXPECT_THAT(info.names, ::testing::ElementsAre("x", "y"));

  google::protobuf::RepeatedPtrField<std::string> field = Entries({"old"});
  ASSERT_TRUE(SetFromTagAndNameInfo(info, &field).ok());
  EXPECT_THAT(field, ::testing::ElementsAre("A:x", "A:y"));
  ASSERT_TRUE(SetFromTagAndNameInfo({{}, {"p", "q"}}, &field).ok());
  EXPECT_THAT(field, ::testing::ElementsAre("p", "q"));

  // Mixed tagged and untagged entries.
  absl::Status status = GetTagAndNameInfo(Entries({"A:x", "y"}), &info);
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(status.message(),
            "Each set of names must use exclusively either tags or indexes.  Encountered: "
            "\"A:x\", \"y\"");
  EXPECT_TRUE(info.tags.empty());
  EXPECT_TRUE(info.names.empty());

  // A bad entry stops the conversion; earlier entries stay.
  EXPECT_FALSE(GetTagAndNameInfo(Entries({"x", "Bad"}), &info).ok());
  EXPECT_THAT(info.names, ::testing::ElementsAre("x"));

  // Invalid infos: a bad name keeps the entries written before it; a length mismatch fails.
  EXPECT_EQ(SetFromTagAndNameInfo({{}, {"p", "Q", "r"}}, &field).code(),
            absl::StatusCode::kInvalidArgument);
  EXPECT_THAT(field, ::testing::ElementsAre("p"));
  status = SetFromTagAndNameInfo({{"A"}, {"p", "q"}}, &field);
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_THAT(status.message(), HasSubstr("names 2"));
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
