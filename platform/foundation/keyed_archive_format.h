// The byte format of keyed archives, below NSKeyedArchiver and NSKeyedUnarchiver: a tree of
// typed values written to bytes and read back with every length checked. The format itself is
// described in ns_keyed_archiver.h.
#ifndef PLATFORM_FOUNDATION_KEYED_ARCHIVE_FORMAT_H_
#define PLATFORM_FOUNDATION_KEYED_ARCHIVE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform::foundation::keyed_archive {

// "QMKA" and the format version.
inline constexpr char kMagic[4] = {'Q', 'M', 'K', 'A'};
inline constexpr uint8_t kVersion = 1;
// Objects and arrays nest at most this deep; deeper archives are refused when written and when
// read, so that neither recursion can exhaust the stack.
inline constexpr int kMaxDepth = 64;

enum class Kind : uint8_t {
  kNull = 0,
  kString = 1,
  kInteger = 2,
  kDouble = 3,
  kBool = 4,
  kData = 5,
  kDate = 6,
  kObject = 7,
  kArray = 8,
};

struct Field;

struct Value {
  Kind kind = Kind::kNull;
  std::string text;                // kString: the string; kObject: the class name
  int64_t integer = 0;             // kInteger
  double number = 0;               // kDouble; kDate: seconds since 1970-01-01 00:00 UTC
  bool boolean = false;            // kBool
  std::vector<uint8_t> data;       // kData
  std::vector<Field> fields;       // kObject, in the order written
  std::vector<Value> elements;     // kArray

  // The field named `key` of an object, or null.
  const Value* Find(const std::string& key) const;
};

struct Field {
  std::string key;
  Value value;
};

// The archive bytes of `root` (which the caller keeps within kMaxDepth).
std::vector<uint8_t> Write(const Value& root);

// Reads an archive. On failure returns false and says where and why in `problem`.
bool Read(const uint8_t* data, size_t size, Value* root, std::string* problem);

}  // namespace platform::foundation::keyed_archive

#endif  // PLATFORM_FOUNDATION_KEYED_ARCHIVE_FORMAT_H_
