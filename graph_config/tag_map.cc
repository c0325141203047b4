#include "graph_config/tag_map.h"

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "base/status_macros.h"

namespace kaldren {
namespace tool {

util::StatusOr<std::shared_ptr<TagMap>> TagMap::Create(
    const google::protobuf::RepeatedPtrField<std::string>& tag_index_names) {
  std::shared_ptr<TagMap> tag_map(new TagMap());
  RETURN_IF_ERROR(tag_map->Initialize(tag_index_names));
  return tag_map;
}

util::StatusOr<std::shared_ptr<TagMap>> TagMap::Create(const TagAndNameInfo& info) {
  std::shared_ptr<TagMap> tag_map(new TagMap());
  RETURN_IF_ERROR(tag_map->Initialize(info));
  return tag_map;
}

absl::Status TagMap::Initialize(
    const google::protobuf::RepeatedPtrField<std::string>& tag_index_names) {
  std::map<std::string, std::vector<std::string>> tag_to_names;
  for (const std::string& tag_index_name : tag_index_names) {
    std::string tag;
    int index;
    std::string name;
    RETURN_IF_ERROR(ParseTagIndexName(tag_index_name, &tag, &index, &name));
    TagData& tag_data = mapping_[tag];
    // An untagged entry takes the next index of the empty tag.
    if (index == -1) index = tag_data.count;
    ++tag_data.count;
    std::vector<std::string>& names = tag_to_names[tag];
    if (names.size() <= static_cast<size_t>(index)) names.resize(index + 1);
    if (!names[index].empty()) {
      return absl::Status(
          absl::StatusCode::kFailedPrecondition,
          absl::StrCat("tag \"", tag, "\" index ", index, " already had a name \"",
                       names[index], "\" but is being reassigned a name \"", name, "\""));
    }
    names[index] = name;
  }

  int running_id = 0;
  for (auto& [tag, tag_data] : mapping_) {
    const std::vector<std::string>& names = tag_to_names[tag];
    if (static_cast<int>(names.size()) != tag_data.count) {
      std::string message = absl::StrCat("Not all indexes were assigned names.  Tag \"", tag,
                                         "\" has the following:\n");
      for (size_t i = 0; i < names.size(); ++i) {
        if (names[i].empty()) {
          absl::StrAppend(&message, "index ", i, " name <missing>\n");
        } else {
          absl::StrAppend(&message, "index ", i, " name \"", names[i], "\"\n");
        }
      }
      return absl::Status(absl::StatusCode::kFailedPrecondition, message);
    }
    tag_data.id = running_id;
    running_id += tag_data.count;
  }
  num_entries_ = running_id;

  names_.reserve(num_entries_);
  for (const auto& [tag, names] : tag_to_names) {
    names_.insert(names_.end(), names.begin(), names.end());
  }
  return absl::OkStatus();
}

absl::Status TagMap::Initialize(const TagAndNameInfo& info) {
  if (info.tags.empty()) {
    if (!info.names.empty()) {
      mapping_.emplace("", TagData(0, static_cast<int>(info.names.size())));
      names_ = info.names;
    }
    num_entries_ = static_cast<int>(info.names.size());
    return absl::OkStatus();
  }
  if (info.tags.size() != info.names.size()) {
    return absl::Status(absl::StatusCode::kFailedPrecondition,
                        "Expected info.tags.size() == info.names.size()");
  }
  std::map<std::string, std::string> tag_to_name;
  for (size_t i = 0; i < info.tags.size(); ++i) {
    auto item = tag_to_name.emplace(info.tags[i], info.names[i]);
    RET_CHECK(item.second) << "Tag was used twice.";
  }
  int running_id = 0;
  for (const auto& [tag, name] : tag_to_name) {
    mapping_.emplace(tag, TagData(running_id, 1));
    names_.push_back(name);
    ++running_id;
  }
  num_entries_ = running_id;
  return absl::OkStatus();
}

int TagMap::NumEntries(const std::string& tag) const {
  auto it = mapping_.find(tag);
  return it == mapping_.end() ? 0 : it->second.count;
}

CollectionItemId TagMap::GetId(const std::string& tag, int index) const {
  auto it = mapping_.find(tag);
  if (it == mapping_.end() || index < 0 || index >= it->second.count) {
    return CollectionItemId::GetInvalid();
  }
  return it->second.id + index;
}

CollectionItemId TagMap::BeginId(const std::string& tag) const {
  auto it = mapping_.find(tag);
  if (it == mapping_.end() || it->second.count < 1) return CollectionItemId::GetInvalid();
  return it->second.id;
}

CollectionItemId TagMap::EndId(const std::string& tag) const {
  auto it = mapping_.find(tag);
  if (it == mapping_.end()) return CollectionItemId::GetInvalid();
  return it->second.id + it->second.count;
}

std::pair<std::string, int> TagMap::TagAndIndexFromId(CollectionItemId id) const {
  for (const auto& [tag, tag_data] : mapping_) {
    if (id >= tag_data.id && id < tag_data.id + tag_data.count) {
      return {tag, (id - tag_data.id).Value()};
    }
  }
  return {"", -1};
}

std::set<std::string> TagMap::GetTags() const {
  std::set<std::string> tags;
  for (const auto& [tag, tag_data] : mapping_) tags.insert(tag);
  return tags;
}

google::protobuf::RepeatedPtrField<std::string> TagMap::CanonicalEntries() const {
  google::protobuf::RepeatedPtrField<std::string> entries;
  for (const auto& [tag, tag_data] : mapping_) {
    for (int i = 0; i < tag_data.count; ++i) {
      const std::string& name = names_[(tag_data.id + i).Value()];
      if (tag.empty()) {
        *entries.Add() = name;
      } else if (tag_data.count == 1) {
        *entries.Add() = absl::StrCat(tag, ":", name);
      } else {
        *entries.Add() = absl::StrCat(tag, ":", i, ":", name);
      }
    }
  }
  return entries;
}

std::string TagMap::DebugString() const {
  if (num_entries_ == 0) return "empty";
  return absl::StrJoin(CanonicalEntries(), "\n");
}

std::string TagMap::ShortDebugString() const {
  if (num_entries_ == 0) return "empty";
  std::vector<std::string> groups;
  for (const auto& [tag, tag_data] : mapping_) {
    groups.push_back(absl::StrCat("{\"", tag, "\", ", tag_data.count, "}"));
  }
  return absl::StrJoin(groups, ", ");
}

bool TagMap::SameAs(const TagMap& other) const {
  return this == &other || ShortDebugString() == other.ShortDebugString();
}

}  // namespace tool
}  // namespace kaldren
