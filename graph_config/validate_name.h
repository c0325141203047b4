// Syntax of stream and side-packet entries: names, tags, indexes and the "TAG:index:name"
// forms of configuration lists.
//
//   name   [a-z_][a-z0-9_]*
//   tag    [A-Z_][A-Z0-9_]*
//   index  (0|[1-9][0-9]*), at most internal::kMaxCollectionItemId
//
// An entry is "TAG:index:name", "TAG:name" (index 0) or "name" (index -1: the next free
// index under the empty tag, assigned by the tag map).

#ifndef GRAPH_CONFIG_VALIDATE_NAME_H_
#define GRAPH_CONFIG_VALIDATE_NAME_H_

#include <string>
#include <vector>

#include "absl/strings/string_view.h"
#include "base/status.h"
#include "google/protobuf/repeated_ptr_field.h"

namespace kaldren {
namespace tool {

// An entry list in two-list form: either `tags` is empty and the names are addressed by
// position, or there is one tag per name, in the same order.
struct TagAndNameInfo {
  std::vector<std::string> tags;
  std::vector<std::string> names;
};

// Each returns OK or INVALID_ARGUMENT naming the rule the text breaks.
absl::Status ValidateName(absl::string_view name);
absl::Status ValidateTag(absl::string_view tag);
absl::Status ValidateNumber(absl::string_view number);

// Parses "TAG:index:name", "TAG:name" or "name". On failure the outputs are unchanged.
absl::Status ParseTagIndexName(absl::string_view tag_index_name, std::string* tag, int* index,
                               std::string* name);

// Parses "TAG:index", "TAG", ":index" or "" (empty tag, index 0). On failure the outputs
// are unchanged.
absl::Status ParseTagIndex(absl::string_view tag_index, std::string* tag, int* index);

// Parses "TAG:name" or "name". On failure both outputs are cleared.
absl::Status ParseTagAndName(absl::string_view tag_and_name, std::string* tag,
                             std::string* name);

// Converts an entry list of "TAG:name" or "name" entries (not mixed) to the two-list form.
absl::Status GetTagAndNameInfo(
    const google::protobuf::RepeatedPtrField<std::string>& tags_and_names,
    TagAndNameInfo* info);

// Replaces the entries of `tags_and_names` by those of `info`.
absl::Status SetFromTagAndNameInfo(
    const TagAndNameInfo& info, google::protobuf::RepeatedPtrField<std::string>* tags_and_names);

}  // namespace tool
}  // namespace kaldren

#endif  // GRAPH_CONFIG_VALIDATE_NAME_H_
