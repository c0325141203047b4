#include "graph_config/tag_map.h"

#include <string>
#include <vector>

#include "base/logging.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

google::protobuf::RepeatedPtrField<std::string> Entries(std::vector<std::string> entries) {
  return {entries.begin(), entries.end()};
}

std::shared_ptr<TagMap> MakeTagMap(std::vector<std::string> entries) {
  auto tag_map = TagMap::Create(Entries(std::move(entries)));
  CHECK(tag_map.ok()) << tag_map.status();
  return tag_map.value();
}

TEST(TagMapTest, NumbersEntriesByTagThenIndex) {
  auto tag_map = MakeTagMap({"b", "a", "VIDEO:1:right", "VIDEO:0:left", "AUDIO:mic"});
  EXPECT_EQ(tag_map->NumEntries(), 5);
  EXPECT_THAT(tag_map->Names(), ElementsAre("b", "a", "mic", "left", "right"));
  EXPECT_THAT(tag_map->CanonicalEntries(),
              ElementsAre("b", "a", "AUDIO:mic", "VIDEO:0:left", "VIDEO:1:right"));
  EXPECT_EQ(tag_map->DebugString(), "b\na\nAUDIO:mic\nVIDEO:0:left\nVIDEO:1:right");
  EXPECT_EQ(tag_map->ShortDebugString(), "{\"\", 2}, {\"AUDIO\", 1}, {\"VIDEO\", 2}");
  EXPECT_THAT(tag_map->GetTags(), ElementsAre("", "AUDIO", "VIDEO"));

  EXPECT_EQ(tag_map->NumEntries("VIDEO"), 2);
  EXPECT_EQ(tag_map->NumEntries("NONE"), 0);
  EXPECT_TRUE(tag_map->HasTag(""));
  EXPECT_FALSE(tag_map->HasTag("NONE"));
  EXPECT_EQ(tag_map->GetId("VIDEO", 1), 4);
  EXPECT_EQ(tag_map->GetId("", 1), 1);
  EXPECT_FALSE(tag_map->GetId("VIDEO", 2).IsValid());
  EXPECT_FALSE(tag_map->GetId("VIDEO", -1).IsValid());
  EXPECT_FALSE(tag_map->GetId("NONE", 0).IsValid());
  EXPECT_EQ(tag_map->BeginId("VIDEO"), 3);
  EXPECT_EQ(tag_map->EndId("VIDEO"), 5);
  EXPECT_FALSE(tag_map->BeginId("NONE").IsValid());
  EXPECT_FALSE(tag_map->EndId("NONE").IsValid());
  EXPECT_THAT(tag_map->TagAndIndexFromId(4), Pair("VIDEO", 1));
  EXPECT_THAT(tag_map->TagAndIndexFromId(2), Pair("AUDIO", 0));
  EXPECT_THAT(tag_map->TagAndIndexFromId(5), Pair("", -1));
  EXPECT_THAT(tag_map->TagAndIndexFromId(-1), Pair("", -1));
}

TEST(TagMapTest, IndexesMayComeInAnyOrder) {
  auto tag_map = MakeTagMap({"VIDEO:1:b", "VIDEO:a", "SINGLE:0:s"});
  EXPECT_THAT(tag_map->CanonicalEntries(), ElementsAre("SINGLE:s", "VIDEO:0:a", "VIDEO:1:b"));
}

TEST(TagMapTest, DuplicateAndMissingIndexes) {
  auto duplicate = TagMap::Create(Entries({"VIDEO:a", "VIDEO:b"}));
  EXPECT_EQ(duplicate.status().code(), absl::StatusCode::kFailedPrecondition);
  EXPECT_EQ(duplicate.status().message(),
            "tag \"VIDEO\" index 0 already had a name \"a\" but is being reassigned a name "
            "\"b\"");

  auto missing = TagMap::Create(Entries({"VIDEO:2:c"}));
  EXPECT_EQ(missing.status().code(), absl::StatusCode::kFailedPrecondition);
  EXPECT_EQ(missing.status().message(),
            "Not all indexes were assigned names.  Tag \"VIDEO\" has the following:\n"
            "index 0 name <missing>\nindex 1 name <missing>\nindex 2 name \"c\"\n");

  // Entry syntax failures pass through unchanged.
  auto bad = TagMap::Create(Entries({"a", "Bad"}));
  EXPECT_EQ(bad.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_THAT(std::string(bad.status().message()),
              ::testing::StartsWith("TAG:index:name is invalid, \"Bad\""));
}

TEST(TagMapTest, EmptyMapAndSameAs) {
  auto empty = MakeTagMap({});
  EXPECT_EQ(empty->NumEntries(), 0);
  EXPECT_TRUE(empty->Mapping().empty());
  EXPECT_EQ(empty->DebugString(), "empty");
  EXPECT_EQ(empty->ShortDebugString(), "empty");

  auto ab = MakeTagMap({"a", "b"});
  EXPECT_TRUE(ab->SameAs(*MakeTagMap({"c", "d"})));
  EXPECT_TRUE(ab->SameAs(*ab));
  EXPECT_FALSE(ab->SameAs(*MakeTagMap({"c"})));
  EXPECT_FALSE(ab->SameAs(*MakeTagMap({"A:c", "d"})));
  EXPECT_FALSE(ab->SameAs(*empty));
}

TEST(TagMapTest, FromTagAndNameInfo) {
  auto untagged = TagMap::Create(TagAndNameInfo{{}, {"x", "y"}});
  ASSERT_TRUE(untagged.ok());
  EXPECT_THAT(untagged.value()->CanonicalEntries(), ElementsAre("x", "y"));

  auto tagged = TagMap::Create(TagAndNameInfo{{"B", "A"}, {"x", "y"}});
  ASSERT_TRUE(tagged.ok());
  EXPECT_THAT(tagged.value()->CanonicalEntries(), ElementsAre("A:y", "B:x"));

  EXPECT_EQ(TagMap::Create(TagAndNameInfo{{"A"}, {"x", "y"}}).status(),
            absl::FailedPreconditionError("Expected info.tags.size() == info.names.size()"));
  auto twice = TagMap::Create(TagAndNameInfo{{"A", "A"}, {"x", "y"}});
  EXPECT_EQ(twice.status().code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(twice.status().message()), ::testing::HasSubstr("Tag was used twice."));

  EXPECT_EQ(TagMap::Create(TagAndNameInfo{}).value()->NumEntries(), 0);
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
