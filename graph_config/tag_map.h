// A tag map numbers the entries of one stream or side-packet list ("TAG:index:name")
// densely and answers lookups by tag and index, by id, and by id back to tag and index.
//
// Ids are assigned tag by tag, tags in byte order (the empty tag first), and within a tag by
// index: the entries b, a, VIDEO:1:right, VIDEO:0:left, AUDIO:mic get the ids
// 0 b, 1 a, 2 mic, 3 left, 4 right.

#ifndef GRAPH_CONFIG_TAG_MAP_H_
#define GRAPH_CONFIG_TAG_MAP_H_

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/status.h"
#include "base/statusor.h"
#include "google/protobuf/repeated_ptr_field.h"
#include "graph_config/collection_item_id.h"
#include "graph_config/validate_name.h"

namespace kaldren {
namespace tool {

// Immutable once created; shared by everything that refers to it.
class TagMap {
 public:
  // The ids of one tag: `id` is the first, `count` the number of entries.
  struct TagData {
    TagData() = default;
    TagData(CollectionItemId id, int count) : id(id), count(count) {}

    CollectionItemId id;
    int count = 0;
  };

  TagMap(const TagMap&) = delete;
  TagMap& operator=(const TagMap&) = delete;

  // A tag map of "TAG:index:name" entries. Fails on an entry that does not parse, on two
  // entries with one tag and index, and on a tag whose indexes leave a gap.
  static util::StatusOr<std::shared_ptr<TagMap>> Create(
      const google::protobuf::RepeatedPtrField<std::string>& tag_index_names);

  // A tag map of an entry list in two-list form: without tags the names are numbered in
  // order; with tags each tag gets one entry.
  static util::StatusOr<std::shared_ptr<TagMap>> Create(const TagAndNameInfo& info);

  // The per-tag records in tag order.
  const std::map<std::string, TagData>& Mapping() const { return mapping_; }
  // The names, at the position of their ids.
  const std::vector<std::string>& Names() const { return names_; }

  int NumEntries() const { return num_entries_; }
  // The number of entries of `tag`; 0 for a tag the map lacks.
  int NumEntries(const std::string& tag) const;
  bool HasTag(const std::string& tag) const { return mapping_.count(tag) > 0; }

  // The id of TAG:index, or the invalid id when the map has no such entry.
  CollectionItemId GetId(const std::string& tag, int index) const;
  // The first id of `tag`, or the invalid id when the tag is missing or has no entries.
  CollectionItemId BeginId(const std::string& tag) const;
  // One past the last id of `tag`, or the invalid id when the tag is missing.
  CollectionItemId EndId(const std::string& tag) const;
  // The tag and index of `id`; the empty tag and -1 for an id outside every tag.
  std::pair<std::string, int> TagAndIndexFromId(CollectionItemId id) const;

  std::set<std::string> GetTags() const;

  // The entries in canonical form and id order: "name" under the empty tag, "TAG:name"
  // for a tag with one entry, "TAG:index:name" for a tag with more.
  google::protobuf::RepeatedPtrField<std::string> CanonicalEntries() const;

  // The canonical entries, one per line; "empty" for a map without entries.
  std::string DebugString() const;
  // The tags with their counts, {"TAG", 2}, ...; "empty" for a map without entries.
  std::string ShortDebugString() const;

  // Whether both maps have the same tags with the same counts (names are not compared).
  bool SameAs(const TagMap& other) const;

 private:
  TagMap() = default;

  absl::Status Initialize(const google::protobuf::RepeatedPtrField<std::string>& tag_index_names);
  absl::Status Initialize(const TagAndNameInfo& info);

  int num_entries_ = 0;
  std::map<std::string, TagData> mapping_;
  std::vector<std::string> names_;
};

}  // namespace tool
}  // namespace kaldren

#endif  // GRAPH_CONFIG_TAG_MAP_H_
