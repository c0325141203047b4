#include "graph_config/collection.h"

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace internal {
namespace {

using ::testing::ElementsAre;

std::shared_ptr<tool::TagMap> MakeTagMap(std::vector<std::string> entries) {
  auto tag_map = tool::TagMap::Create({entries.begin(), entries.end()});
  CHECK(tag_map.ok()) << tag_map.status();
  return tag_map.value();
}

TEST(CollectionTest, AddressesElementsByTagIndexAndId) {
  Collection<int> collection(MakeTagMap({"x", "y", "VIDEO:1:right", "VIDEO:0:left"}));
  EXPECT_EQ(collection.NumEntries(), 4);
  EXPECT_THAT(collection, ElementsAre(0, 0, 0, 0));
  collection.Index(1) = 11;
  collection.Tag("VIDEO") = 20;
  collection.Get("VIDEO", 1) = 21;
  collection.Get(CollectionItemId(0)) = 10;
  EXPECT_THAT(collection, ElementsAre(10, 11, 20, 21));
  EXPECT_EQ(collection.Get(collection.GetId("VIDEO", 1)), 21);
  EXPECT_EQ(collection.BeginId("VIDEO"), 2);
  EXPECT_EQ(collection.EndId(), 4);
  EXPECT_TRUE(collection.UsesTags());

  const Collection<int>& view = collection;
  EXPECT_EQ(view.Tag("VIDEO"), 20);
  int sum = 0;
  for (int value : view) sum += value;
  EXPECT_EQ(sum, 62);
}

TEST(CollectionTest, UsesTags) {
  EXPECT_FALSE(Collection<int>(MakeTagMap({})).UsesTags());
  EXPECT_FALSE(Collection<int>(MakeTagMap({"a", "b"})).UsesTags());
  EXPECT_TRUE(Collection<int>(MakeTagMap({"A:a"})).UsesTags());
  EXPECT_TRUE(Collection<int>(MakeTagMap({"a", "A:b"})).UsesTags());
}

TEST(CollectionTest, PointerStorageDereferencesSlots) {
  Collection<std::string, CollectionStorage::kPointers> collection(MakeTagMap({"a", "B:b"}));
  EXPECT_EQ(collection.GetPtr(0), nullptr);
  std::string first = "first", second = "second";
  collection.GetPtr(0) = &first;
  collection.GetPtr(1) = &second;
  EXPECT_EQ(&collection.Tag("B"), &second);
  collection.Index(0) += "!";
  EXPECT_EQ(first, "first!");
  EXPECT_THAT(collection, ElementsAre("first!", "second"));
}

// Hands out one recorded fallback element for every missing entry.
struct RecordingErrorHandler {
  int& GetFallback(const std::string& tag, int index) {
    misses.push_back(tag + ":" + std::to_string(index));
    return fallback;
  }
  std::vector<std::string> misses;
  int fallback = -1;
};

TEST(CollectionTest, MissingEntriesGoToTheErrorHandler) {
  Collection<int, CollectionStorage::kValues, RecordingErrorHandler> collection(
      MakeTagMap({"A:a"}));
  EXPECT_EQ(collection.Get("B", 0), -1);
  EXPECT_EQ(collection.Get("A", 1), -1);
  EXPECT_THAT(collection.GetErrorHandler().misses, ElementsAre("B:0", "A:1"));
}

TEST(CollectionDeathTest, FatalLookups) {
  Collection<int> collection(MakeTagMap({"a", "b"}));
  EXPECT_DEATH(collection.Get(CollectionItemId(-1)), "BeginId\\(\\) <= id");
  EXPECT_DEATH(collection.Get(CollectionItemId(2)), "id < EndId\\(\\)");
  EXPECT_DEATH(collection.Get("VIDEO", 3), "Failed to get tag \"VIDEO\" index 3");
  EXPECT_DEATH(collection.Index(2), "Failed to get tag \"\" index 2");
}

}  // namespace
}  // namespace internal
}  // namespace kaldren
