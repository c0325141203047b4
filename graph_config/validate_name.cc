#include "graph_config/validate_name.h"

#include <cstdint>

#include "absl/strings/escaping.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "absl/strings/str_split.h"
#include "base/status_macros.h"
#include "graph_config/collection_item_id.h"

namespace kaldren {
namespace tool {
namespace {

constexpr char kNameRegex[] = "[a-z_][a-z0-9_]*";
constexpr char kTagRegex[] = "[A-Z_][A-Z0-9_]*";
constexpr char kNumberRegex[] = "(0|[1-9][0-9]*)";
constexpr char kTagIndexNameRegex[] =
    "([A-Z_][A-Z0-9_]*:((0|[1-9][0-9]*):)?)?[a-z_][a-z0-9_]*";
constexpr char kTagIndexRegex[] = "([A-Z_][A-Z0-9_]*)?(:(0|[1-9][0-9]*))?";
constexpr char kTagAndNameRegex[] = "([A-Z_][A-Z0-9_]*:)?[a-z_][a-z0-9_]*";

bool IsLower(char c) { return c >= 'a' && c <= 'z'; }
bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether `text` is one `first` character followed by any number of `rest` characters.
template <typename First, typename Rest>
bool Matches(absl::string_view text, First first, Rest rest) {
  if (text.empty() || !first(text[0])) return false;
  for (char c : text.substr(1)) {
    if (!rest(c)) return false;
  }
  return true;
}

// Converts the index piece v[1], which passed ValidateNumber, and bounds it by the largest
// index.
absl::Status ParseIndex(const std::vector<std::string>& v, int* index) {
  int64_t index64;
  RET_CHECK(absl::SimpleAtoi(v[1], &index64));
  RET_CHECK_LE(index64, internal::kMaxCollectionItemId);
  *index = static_cast<int>(index64);
  return absl::OkStatus();
}

}  // namespace

absl::Status ValidateName(absl::string_view name) {
  if (Matches(
          name, [](char c) { return IsLower(c) || c == '_'; },
          [](char c) { return IsLower(c) || IsDigit(c) || c == '_'; })) {
    return absl::OkStatus();
  }
  return absl::InvalidArgumentError(absl::StrCat("Name \"", absl::CEscape(name),
                                                 "\" does not match \"", kNameRegex, "\"."));
}

absl::Status ValidateTag(absl::string_view tag) {
  if (Matches(
          tag, [](char c) { return IsUpper(c) || c == '_'; },
          [](char c) { return IsUpper(c) || IsDigit(c) || c == '_'; })) {
    return absl::OkStatus();
  }
  return absl::InvalidArgumentError(absl::StrCat("Tag \"", absl::CEscape(tag),
                                                 "\" does not match \"", kTagRegex, "\"."));
}

absl::Status ValidateNumber(absl::string_view number) {
  if (number == "0" || Matches(
                           number, [](char c) { return c >= '1' && c <= '9'; }, IsDigit)) {
    return absl::OkStatus();
  }
  return absl::InvalidArgumentError(absl::StrCat(
      "Number \"", absl::CEscape(number), "\" does not match \"", kNumberRegex, "\"."));
}

absl::Status ParseTagIndexName(absl::string_view tag_index_name, std::string* tag, int* index,
                               std::string* name) {
  RET_CHECK(tag);
  RET_CHECK(index);
  RET_CHECK(name);
  const std::vector<std::string> v = absl::StrSplit(tag_index_name, ':');
  std::string the_tag;
  int the_index = -1;
  bool valid = false;
  if (v.size() == 3) {
    const bool tag_ok = ValidateTag(v[0]).ok();
    const bool number_ok = ValidateNumber(v[1]).ok();
    if (number_ok) {
      RETURN_IF_ERROR(ParseIndex(v, &the_index));
    }
    valid = tag_ok && number_ok && ValidateName(v[2]).ok();
    the_tag = v[0];
  } else if (v.size() == 2) {
    valid = ValidateTag(v[0]).ok() && ValidateName(v[1]).ok();
    the_tag = v[0];
    the_index = 0;
  } else if (v.size() == 1) {
    valid = ValidateName(v[0]).ok();
  }
  if (!valid) {
    return absl::InvalidArgumentError(
        absl::StrCat("TAG:index:name is invalid, \"", tag_index_name, "\" does not match \"",
                     kTagIndexNameRegex,
                     "\" (examples: \"TAG:name\" \"VIDEO:2:name_b\", \"longer_name\")."));
  }
  *tag = std::move(the_tag);
  *index = the_index;
  *name = v.back();
  return absl::OkStatus();
}

absl::Status ParseTagIndex(absl::string_view tag_index, std::string* tag, int* index) {
  RET_CHECK(tag);
  RET_CHECK(index);
  const std::vector<std::string> v = absl::StrSplit(tag_index, ':');
  int the_index = 0;
  bool valid = false;
  if (v.size() == 1) {
    valid = v[0].empty() || ValidateTag(v[0]).ok();
  } else if (v.size() == 2) {
    const bool tag_ok = v[0].empty() || ValidateTag(v[0]).ok();
    const bool number_ok = ValidateNumber(v[1]).ok();
    if (number_ok) {
      RETURN_IF_ERROR(ParseIndex(v, &the_index));
    }
    valid = tag_ok && number_ok;
  }
  if (!valid) {
    return absl::InvalidArgumentError(
        absl::StrCat("TAG:index is invalid, \"", tag_index, "\" does not match \"",
                     kTagIndexRegex, "\" (examples: \"TAG\" \"VIDEO:2\")."));
  }
  *tag = v[0];
  *index = the_index;
  return absl::OkStatus();
}

absl::Status ParseTagAndName(absl::string_view tag_and_name, std::string* tag,
                             std::string* name) {
  RET_CHECK(tag);
  RET_CHECK(name);
  const std::vector<std::string> v = absl::StrSplit(tag_and_name, ':');
  bool valid = false;
  if (v.size() == 2) {
    valid = ValidateTag(v[0]).ok() && ValidateName(v[1]).ok();
  } else if (v.size() == 1) {
    valid = ValidateName(v[0]).ok();
  }
  if (!valid) {
    tag->clear();
    name->clear();
    return absl::InvalidArgumentError(
        absl::StrCat("\"tag and name\" is invalid, \"", tag_and_name, "\" does not match \"",
                     kTagAndNameRegex, "\" (examples: \"TAG:name\", \"longer_name\")."));
  }
  *tag = v.size() == 2 ? v[0] : "";
  *name = v.back();
  return absl::OkStatus();
}

absl::Status GetTagAndNameInfo(
    const google::protobuf::RepeatedPtrField<std::string>& tags_and_names,
    TagAndNameInfo* info) {
  RET_CHECK(info);
  info->tags.clear();
  info->names.clear();
  for (const std::string& tag_and_name : tags_and_names) {
    std::string tag;
    std::string name;
    RETURN_IF_ERROR(ParseTagAndName(tag_and_name, &tag, &name));
    if (!tag.empty()) info->tags.push_back(tag);
    info->names.push_back(name);
  }
  if (!info->tags.empty() && info->names.size() != info->tags.size()) {
    info->tags.clear();
    info->names.clear();
    return absl::InvalidArgumentError(absl::StrCat(
        "Each set of names must use exclusively either tags or indexes.  Encountered: \"",
        absl::StrJoin(tags_and_names, "\", \""), "\""));
  }
  return absl::OkStatus();
}

absl::Status SetFromTagAndNameInfo(
    const TagAndNameInfo& info, google::protobuf::RepeatedPtrField<std::string>* tags_and_names) {
  tags_and_names->Clear();
  if (info.tags.empty()) {
    for (const std::string& name : info.names) {
      RETURN_IF_ERROR(ValidateName(name));
      *tags_and_names->Add() = name;
    }
  } else if (info.tags.size() == info.names.size()) {
    for (size_t i = 0; i < info.tags.size(); ++i) {
      RETURN_IF_ERROR(ValidateTag(info.tags[i]));
      RETURN_IF_ERROR(ValidateName(info.names[i]));
      *tags_and_names->Add() = absl::StrCat(info.tags[i], ":", info.names[i]);
    }
  } else {
    return absl::InvalidArgumentError(
        absl::StrCat("Number of names ", info.names.size(),
                     " does not match the number of tags ", info.tags.size(), "."));
  }
  return absl::OkStatus();
}

}  // namespace tool
}  // namespace kaldren
