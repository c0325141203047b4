// A tagged collection: one element per entry of a tag map, addressed by TAG:index or by id.

#ifndef GRAPH_CONFIG_COLLECTION_H_
#define GRAPH_CONFIG_COLLECTION_H_

#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "base/logging.h"
#include "graph_config/collection_item_id.h"
#include "graph_config/tag_map.h"

namespace kaldren {
namespace internal {

// How a collection holds its elements.
enum class CollectionStorage {
  // One default-constructed T per entry, owned by the collection.
  kValues = 0,
  // One pointer to T per entry, null at first; the elements are owned elsewhere.
  kPointers = 1,
};

// The error policy of collections whose lookups of missing entries are programming errors.
// A policy answers a lookup by tag and index that names no entry with GetFallback, in a
// const and a non-const form.
template <typename T>
struct CollectionErrorHandlerFatal {
  T& GetFallback(const std::string& tag, int index) const {
    LOG(FATAL) << "Failed to get tag \"" << tag << "\" index " << index;
    std::abort();
  }
};

template <typename T, CollectionStorage storage = CollectionStorage::kValues,
          typename ErrorHandler = CollectionErrorHandlerFatal<T>>
class Collection {
 private:
  using Slot = std::conditional_t<storage == CollectionStorage::kPointers, T*, T>;

  // Iterates over the elements in id order; dereferences the slots of kPointers.
  template <typename Element, typename SlotPtr>
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::remove_const_t<Element>;
    using difference_type = std::ptrdiff_t;
    using pointer = Element*;
    using reference = Element&;

    Iterator() = default;
    explicit Iterator(SlotPtr slot) : slot_(slot) {}

    reference operator*() const {
      if constexpr (storage == CollectionStorage::kPointers) {
        return **slot_;
      } else {
        return *slot_;
      }
    }
    pointer operator->() const { return &**this; }
    Iterator& operator++() {
      ++slot_;
      return *this;
    }
    Iterator operator++(int) { return Iterator(slot_++); }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.slot_ == b.slot_; }

   private:
    SlotPtr slot_ = nullptr;
  };

 public:
  using value_type = T;
  using iterator = Iterator<T, Slot*>;
  using const_iterator = Iterator<const T, const Slot*>;

  explicit Collection(std::shared_ptr<tool::TagMap> tag_map)
      : tag_map_(std::move(tag_map)), num_entries_(tag_map_->NumEntries()) {
    if (num_entries_ > 0) data_ = std::make_unique<Slot[]>(num_entries_);
    auto untagged = tag_map_->Mapping().find("");
    if (untagged != tag_map_->Mapping().end()) {
      untagged_begin_ = untagged->second.id.Value();
      untagged_count_ = untagged->second.count;
    }
  }

  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  // The element of `id`, which must be in [BeginId(), EndId()).
  T& Get(CollectionItemId id) { return Deref(SlotOf(id)); }
  const T& Get(CollectionItemId id) const {
    return Deref(const_cast<Collection*>(this)->SlotOf(id));
  }

  // The pointer slot of `id`, for the owner of the pointed-to element to fill.
  T*& GetPtr(CollectionItemId id)
    requires(storage == CollectionStorage::kPointers)
  {
    return SlotOf(id);
  }
  const T* GetPtr(CollectionItemId id) const
    requires(storage == CollectionStorage::kPointers)
  {
    return const_cast<Collection*>(this)->SlotOf(id);
  }

  // The element of TAG:index, or the error handler's fallback when there is none.
  T& Get(const std::string& tag, int index) {
    CollectionItemId id = tag_map_->GetId(tag, index);
    if (!id.IsValid()) return error_handler_.GetFallback(tag, index);
    return Get(id);
  }
  const T& Get(const std::string& tag, int index) const {
    CollectionItemId id = tag_map_->GetId(tag, index);
    if (!id.IsValid()) return error_handler_.GetFallback(tag, index);
    return Get(id);
  }

  // TAG:0.
  T& Tag(const std::string& tag) { return Get(tag, 0); }
  const T& Tag(const std::string& tag) const { return Get(tag, 0); }

  // The untagged entry `index`. Calculators ask for it on every packet, so this is one
  // bounds test and an array index; the error handler is reached out of line.
  T& Index(int index) {
    if (static_cast<unsigned>(index) < static_cast<unsigned>(untagged_count_)) [[likely]] {
      return Deref(data_[untagged_begin_ + index]);
    }
    return MissingIndex(index);
  }
  const T& Index(int index) const { return const_cast<Collection*>(this)->Index(index); }

  // Whether any entry has a non-empty tag.
  bool UsesTags() const {
    const auto& mapping = tag_map_->Mapping();
    return mapping.size() > 1 || (mapping.size() == 1 && !mapping.begin()->first.empty());
  }

  const std::shared_ptr<tool::TagMap>& GetTagMap() const { return tag_map_; }

  bool HasTag(const std::string& tag) const { return tag_map_->HasTag(tag); }
  int NumEntries() const { return num_entries_; }
  int NumEntries(const std::string& tag) const { return tag_map_->NumEntries(tag); }
  CollectionItemId BeginId() const { return CollectionItemId(0); }
  CollectionItemId EndId() const { return CollectionItemId(NumEntries()); }
  CollectionItemId BeginId(const std::string& tag) const { return tag_map_->BeginId(tag); }
  CollectionItemId EndId(const std::string& tag) const { return tag_map_->EndId(tag); }
  CollectionItemId GetId(const std::string& tag, int index) const {
    return tag_map_->GetId(tag, index);
  }
  std::pair<std::string, int> TagAndIndexFromId(CollectionItemId id) const {
    return tag_map_->TagAndIndexFromId(id);
  }

  ErrorHandler& GetErrorHandler() { return error_handler_; }
  const ErrorHandler& GetErrorHandler() const { return error_handler_; }

  iterator begin() { return iterator(data_.get()); }
  iterator end() { return iterator(data_.get() + NumEntries()); }
  const_iterator begin() const { return const_iterator(data_.get()); }
  const_iterator end() const { return const_iterator(data_.get() + NumEntries()); }

 private:
  [[gnu::noinline, gnu::cold]] T& MissingIndex(int index) {
    return error_handler_.GetFallback("", index);
  }

  Slot& SlotOf(CollectionItemId id) {
    // One unsigned comparison covers both ends; the checks and their texts are out of line.
    if (static_cast<unsigned>(id.Value()) >= static_cast<unsigned>(num_entries_)) [[unlikely]] {
      IdOutOfRange(id);
    }
    return data_[id.Value()];
  }
  [[gnu::noinline, gnu::cold]] void IdOutOfRange(CollectionItemId id) const {
    CHECK_LE(BeginId(), id);
    CHECK_LT(id, EndId());
  }

  static T& Deref(Slot& slot) {
    if constexpr (storage == CollectionStorage::kPointers) {
      return *slot;
    } else {
      return slot;
    }
  }

  std::shared_ptr<tool::TagMap> tag_map_;
  // Copies of what the (immutable) tag map says, kept here so that the lookups calculators
  // make on every packet read no second object.
  const int num_entries_;
  int untagged_begin_ = 0;
  int untagged_count_ = 0;
  std::unique_ptr<Slot[]> data_;
  mutable ErrorHandler error_handler_;
};

}  // namespace internal
}  // namespace kaldren

#endif  // GRAPH_CONFIG_COLLECTION_H_
