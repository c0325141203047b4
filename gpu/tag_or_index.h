// The entry of a tagged collection (streams, side packets, their packet types) by tag when
// the node lists its entries with tags, and by position when it does not.
//
//   // "VIDEO:frames" or, in a node with untagged streams, the first stream.
//   const auto& frame = pellumo::TagOrIndex(&cc->Inputs(), "VIDEO", 0).Get<GpuBuffer>();
//   if (pellumo::HasTagOrIndex(cc->InputSidePackets(), "OUTPUT_DIMENSIONS", 1)) { ... }
//
// A collection uses tags when any of its entries has a non-empty tag; then the entry is
// TAG:0, present when the tag is. Otherwise it is the untagged entry at `index`, present when
// the collection has more entries than that.

#ifndef GPU_TAG_OR_INDEX_H_
#define GPU_TAG_OR_INDEX_H_

#include <string>

namespace pellumo {

template <typename Collection>
auto& TagOrIndex(Collection* collection, const std::string& tag, int index) {
  return collection->UsesTags() ? collection->Tag(tag) : collection->Index(index);
}

template <typename Collection>
const auto& TagOrIndex(const Collection& collection, const std::string& tag, int index) {
  return collection.UsesTags() ? collection.Tag(tag) : collection.Index(index);
}

template <typename Collection>
bool HasTagOrIndex(const Collection& collection, const std::string& tag, int index) {
  return collection.UsesTags() ? collection.HasTag(tag) : index < collection.NumEntries();
}

}  // namespace pellumo

#endif  // GPU_TAG_OR_INDEX_H_
