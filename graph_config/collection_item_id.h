// The dense number of one entry of a tag map.

#ifndef GRAPH_CONFIG_COLLECTION_ITEM_ID_H_
#define GRAPH_CONFIG_COLLECTION_ITEM_ID_H_

#include <ostream>

namespace kaldren {
namespace internal {

// The largest index an entry may give ("TAG:10000:name").
constexpr int kMaxCollectionItemId = 10000;

}  // namespace internal

// Valid ids run from 0 to the number of entries minus 1; the invalid id is -1. Ids convert
// from int and compare and do arithmetic like ints.
class CollectionItemId {
 public:
  constexpr CollectionItemId() = default;
  constexpr CollectionItemId(int value) : value_(value) {}  // NOLINT: implicit by design

  static constexpr CollectionItemId GetInvalid() { return CollectionItemId(); }

  constexpr bool IsValid() const { return value_ >= 0; }
  constexpr int Value() const { return value_; }

  CollectionItemId& operator++() {
    ++value_;
    return *this;
  }
  CollectionItemId operator++(int) { return CollectionItemId(value_++); }
  CollectionItemId& operator--() {
    --value_;
    return *this;
  }
  CollectionItemId operator--(int) { return CollectionItemId(value_--); }
  CollectionItemId& operator+=(CollectionItemId other) {
    value_ += other.value_;
    return *this;
  }
  CollectionItemId& operator-=(CollectionItemId other) {
    value_ -= other.value_;
    return *this;
  }

  friend constexpr CollectionItemId operator+(CollectionItemId a, CollectionItemId b) {
    return CollectionItemId(a.value_ + b.value_);
  }
  friend constexpr CollectionItemId operator-(CollectionItemId a, CollectionItemId b) {
    return CollectionItemId(a.value_ - b.value_);
  }
  friend constexpr CollectionItemId operator*(CollectionItemId a, CollectionItemId b) {
    return CollectionItemId(a.value_ * b.value_);
  }
  friend constexpr auto operator<=>(const CollectionItemId&, const CollectionItemId&) = default;

 private:
  int value_ = -1;
};

inline std::ostream& operator<<(std::ostream& out, CollectionItemId id) {
  return out << id.Value();
}

}  // namespace kaldren

#endif  // GRAPH_CONFIG_COLLECTION_ITEM_ID_H_
