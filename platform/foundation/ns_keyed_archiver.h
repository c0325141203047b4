// Keyed archives: objects written to bytes as named, typed values and read back, with secure
// decoding that refuses classes the reader did not ask for.
//
// A class takes part by deriving from NSCoding (or NSSecureCoding, which also lets it be read
// by secure decoding) and providing:
//
//   static std::string className();                                  // its archived name
//   static std::shared_ptr<T> initWithCoder(NSCoder* coder);         // null when it cannot
//   void encodeWithCoder(NSCoder* coder) const override;
//   std::string classForCoder() const override { return className(); }
//
// Reading an object needs its class registered under its name: `decodeObjectOfClass<T>` and
// `unarchivedObjectOfClass<T>` register T themselves; classes read only through a set of names
// (or without secure decoding) are registered with `platform::foundation::RegisterCodingClass<T>`.
//
// Example:
//
//   void QVXPseudonymousID::encodeWithCoder(NSCoder* coder) const {
//     coder->encodeObject(uuid_, "uuid");
//     coder->encodeObject(last_activity_, "lastActivity");
//   }
//   std::shared_ptr<QVXPseudonymousID> QVXPseudonymousID::initWithCoder(NSCoder* coder) {
//     auto uuid = coder->decodeObjectOfClass<std::string>("uuid");
//     auto last_activity = coder->decodeObjectOfClass<NSCodingDate>("lastActivity");
//     ...
//   }
//
//   std::shared_ptr<NSError> error;
//   auto data = NSKeyedArchiver::archivedDataWithRootObject(id, true, &error);
//   auto back = NSKeyedUnarchiver::unarchivedObjectOfClass<QVXPseudonymousID>(*data, &error);
//
// Value kinds and the calls that write and read them:
//   string       encodeObject(std::string)                decodeObjectOfClass<std::string>
//   data         encodeObject(std::vector<uint8_t>),      decodeObjectOfClass<NSCodingData>,
//                encodeBytes                              decodeBytesForKey
//   date         encodeObject(NSCodingDate)               decodeObjectOfClass<NSCodingDate>
//   object       encodeObject(std::shared_ptr<NSCoding>)  decodeObjectOfClass<T>,
//                                                         decodeObjectOfClasses, decodeObjectForKey
//   array        encodeObject(std::vector<T>) for T a     decodeArrayOfObjectsOfClass<T>
//                string, date, data or object
//   integer      encodeInt64, encodeInteger               decodeInt64ForKey, decodeIntegerForKey
//   double       encodeDouble                             decodeDoubleForKey
//   boolean      encodeBool                               decodeBoolForKey
// A missing key, or one holding null, reads as absent (null, nullopt, 0, false) without an
// error. A key holding another kind than the one asked for, an object of a class not asked for,
// a class that is not registered, and (under secure decoding) a class without secure coding
// fail the decoding: the read answers absent, `error()` is set, and the top-level call answers
// null with that error.
// A class may also give up with `failWithError`. Objects are written as a tree: an object
// referenced twice is written twice and read back as two objects; a cycle is refused (it
// exceeds the nesting limit).
//
// Byte format (all integers little-endian):
//   archive  = "QMKA" version:u8(=1) value          the root value is an object or null
//   value    = kind:u8 payload
//     0 null     (no payload)
//     1 string   len:u32 bytes[len]                 UTF-8, not checked
//     2 integer  i64
//     3 double   f64 (IEEE 754 binary64)
//     4 boolean  u8, 0 or 1
//     5 data     len:u32 bytes[len]
//     6 date     f64, seconds since 1970-01-01 00:00 UTC
//     7 object   class:(len:u32 bytes[len]) count:u32 (key:(len:u32 bytes[len]) value)[count]
//     8 array    count:u32 value[count]
// Class names are not empty; keys of one object are distinct; objects and arrays nest at most
// 64 deep; nothing follows the root value. Anything else is refused with NSCoderReadCorruptError
// (NSCocoaErrorDomain) whose NSDebugDescriptionErrorKey says what and at which byte.
#ifndef PLATFORM_FOUNDATION_NS_KEYED_ARCHIVER_H_
#define PLATFORM_FOUNDATION_NS_KEYED_ARCHIVER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/foundation/keyed_archive_format.h"
#include "platform/foundation/ns_error.h"

class NSCoder;

// Dates are system-clock time points (nanoseconds; the years 1678 to 2262), written as seconds
// since 1970 in a double: finer parts than the double holds are lost, and an archived date more
// than 9e9 seconds from 1970 is refused when read.
using NSCodingDate = std::chrono::system_clock::time_point;
using NSCodingData = std::vector<uint8_t>;

class NSCoding {
 public:
  virtual ~NSCoding() = default;
  virtual void encodeWithCoder(NSCoder* coder) const = 0;
  // The registered name of the object's class.
  virtual std::string classForCoder() const = 0;
};

// A class whose decoding checks what it reads, and so may be read by secure decoding.
class NSSecureCoding : public NSCoding {};

namespace platform::foundation {

// How to make an object of one archived class.
struct CodingClass {
  std::string name;
  bool supportsSecureCoding = false;
  std::function<std::shared_ptr<NSCoding>(NSCoder* coder)> initWithCoder;
};

// Registers a class for decoding (replacing one of the same name). Thread-safe.
void RegisterCodingClass(CodingClass codingClass);

template <typename T>
void RegisterCodingClass() {
  static_assert(std::is_base_of_v<NSCoding, T>, "archived classes derive from NSCoding");
  RegisterCodingClass(CodingClass{T::className(), std::is_base_of_v<NSSecureCoding, T>,
                                  [](NSCoder* coder) -> std::shared_ptr<NSCoding> {
                                    return T::initWithCoder(coder);
                                  }});
}

}  // namespace platform::foundation

// Writes or reads the keyed values of one object. Writing calls on a reader, or reading calls on
// a writer, are failed checks.
class NSCoder {
 public:
  virtual ~NSCoder() = default;

  // Writing. A later value under the same key replaces the earlier one.
  void encodeObject(const std::shared_ptr<NSCoding>& object, const std::string& key);
  void encodeObject(const std::string& value, const std::string& key);
  void encodeObject(const char* value, const std::string& key) {
    encodeObject(std::string(value), key);
  }
  void encodeObject(const NSCodingData& value, const std::string& key);
  void encodeObject(NSCodingDate value, const std::string& key);
  // An array of strings, data, dates or objects (std::shared_ptr of an NSCoding class).
  template <typename T>
  void encodeObject(const std::vector<T>& values, const std::string& key);
  void encodeBytes(const uint8_t* bytes, size_t length, const std::string& key);
  void encodeInt64(int64_t value, const std::string& key);
  void encodeInteger(long value, const std::string& key) { encodeInt64(value, key); }
  void encodeDouble(double value, const std::string& key);
  void encodeBool(bool value, const std::string& key);

  // Reading.
  bool containsValueForKey(const std::string& key);
  // std::optional<std::string>, std::optional<NSCodingData> or std::optional<NSCodingDate> for
  // those kinds; std::shared_ptr<T> for an NSCoding class T.
  template <typename T>
  auto decodeObjectOfClass(const std::string& key);
  // An object of any of the named classes.
  std::shared_ptr<NSCoding> decodeObjectOfClasses(const std::set<std::string>& classNames,
                                                  const std::string& key);
  // An object of any registered class; fails under secure decoding.
  std::shared_ptr<NSCoding> decodeObjectForKey(const std::string& key);
  // std::optional<std::vector<E>> where E is what decodeObjectOfClass<T> gives without the
  // optional (for value kinds) or std::shared_ptr<T> (for classes; null elements stay null).
  template <typename T>
  auto decodeArrayOfObjectsOfClass(const std::string& key);
  NSCodingData decodeBytesForKey(const std::string& key);
  int64_t decodeInt64ForKey(const std::string& key);
  long decodeIntegerForKey(const std::string& key) {
    return static_cast<long>(decodeInt64ForKey(key));
  }
  // Integers are read as doubles too.
  double decodeDoubleForKey(const std::string& key);
  bool decodeBoolForKey(const std::string& key);

  // Ends the decoding with `error` (the first error given is kept).
  void failWithError(std::shared_ptr<NSError> error);
  // The error that ended the decoding (or the writing), or null.
  const std::shared_ptr<NSError>& error() const { return error_; }
  bool requiresSecureCoding() const { return requires_secure_coding_; }

 protected:
  using Value = platform::foundation::keyed_archive::Value;
  using Kind = platform::foundation::keyed_archive::Kind;

  explicit NSCoder(bool requiresSecureCoding) : requires_secure_coding_(requiresSecureCoding) {}

  // The writer's and the reader's halves.
  virtual void Put(const std::string& key, Value value);
  virtual Value ObjectValue(const std::shared_ptr<NSCoding>& object);
  virtual const Value* Get(const std::string& key);
  virtual std::shared_ptr<NSCoding> MakeObject(const Value& value,
                                               const std::set<std::string>* classNames,
                                               const std::string& key);

  // The value under `key` when it is of `kind`; null reads as absent and another kind fails
  // the decoding.
  const Value* GetOfKind(const std::string& key, Kind kind);
  void FailCorrupt(const std::string& problem);

  std::shared_ptr<NSError> error_;

 private:
  static Value ValueOf(const std::string& value);
  static Value ValueOf(const NSCodingData& value);
  static Value ValueOf(NSCodingDate value);
  template <typename T>
  Value ValueOf(const std::shared_ptr<T>& object) {
    return object == nullptr ? Value() : ObjectValue(object);
  }

  // True when `value` is of `kind`; null reads as absent and another kind fails the decoding.
  bool HoldsKind(const Value& value, Kind kind, const std::string& key);
  std::optional<std::string> StringFrom(const Value& value, const std::string& key);
  std::optional<NSCodingData> DataFrom(const Value& value, const std::string& key);
  std::optional<NSCodingDate> DateFrom(const Value& value, const std::string& key);
  // Strings, data and dates.
  template <typename T>
  std::optional<T> FromValue(const Value& value, const std::string& key);

  template <typename T>
  static constexpr bool kIsObjectClass = std::is_base_of_v<NSCoding, T>;

  const bool requires_secure_coding_;
};

class NSKeyedArchiver : public NSCoder {
 public:
  // The archive of `object` (null makes an archive of nothing). With `requiringSecureCoding`,
  // every object in the tree must be of an NSSecureCoding class. Fails with
  // NSCoderInvalidValueError when an object may not be written or the tree nests too deeply.
  static std::optional<std::vector<uint8_t>> archivedDataWithRootObject(
      const std::shared_ptr<NSCoding>& object, bool requiringSecureCoding,
      std::shared_ptr<NSError>* error);

  explicit NSKeyedArchiver(bool requiringSecureCoding) : NSCoder(requiringSecureCoding) {}

 protected:
  void Put(const std::string& key, Value value) override;
  Value ObjectValue(const std::shared_ptr<NSCoding>& object) override;

 private:
  void FailInvalid(const std::string& problem);

  Value* current_ = nullptr;  // the object being written
  int depth_ = 0;
};

class NSKeyedUnarchiver : public NSCoder {
 public:
  // Secure decoding of a root object of class T (registered on the way). Null with an error for
  // malformed data, a root of another class and any failure of the decoding; null without an
  // error for an archive of nothing or an `initWithCoder` that answered null without failing.
  template <typename T>
  static std::shared_ptr<T> unarchivedObjectOfClass(const std::vector<uint8_t>& data,
                                                    std::shared_ptr<NSError>* error) {
    platform::foundation::RegisterCodingClass<T>();
    return std::dynamic_pointer_cast<T>(
        unarchivedObjectOfClasses({T::className()}, data, error));
  }
  // Secure decoding of a root object of any of the named (registered) classes.
  static std::shared_ptr<NSCoding> unarchivedObjectOfClasses(
      const std::set<std::string>& classNames, const std::vector<uint8_t>& data,
      std::shared_ptr<NSError>* error);
  // Decoding without secure coding: a root object of any registered class.
  static std::shared_ptr<NSCoding> unarchiveTopLevelObjectWithData(
      const std::vector<uint8_t>& data, std::shared_ptr<NSError>* error);

  explicit NSKeyedUnarchiver(bool requiresSecureCoding) : NSCoder(requiresSecureCoding) {}

 protected:
  const Value* Get(const std::string& key) override;
  std::shared_ptr<NSCoding> MakeObject(const Value& value,
                                       const std::set<std::string>* classNames,
                                       const std::string& key) override;

 private:
  static std::shared_ptr<NSCoding> Unarchive(const std::set<std::string>* classNames,
                                             const std::vector<uint8_t>& data,
                                             std::shared_ptr<NSError>* error);

  const Value* current_ = nullptr;  // the object being read
};

// ---- Template definitions.

template <typename T>
void NSCoder::encodeObject(const std::vector<T>& values, const std::string& key) {
  Value array;
  array.kind = Kind::kArray;
  for (const T& element : values) array.elements.push_back(ValueOf(element));
  Put(key, std::move(array));
}

template <typename T>
std::optional<T> NSCoder::FromValue(const Value& value, const std::string& key) {
  if constexpr (std::is_same_v<T, std::string>) {
    return StringFrom(value, key);
  } else if constexpr (std::is_same_v<T, NSCodingData>) {
    return DataFrom(value, key);
  } else {
    static_assert(std::is_same_v<T, NSCodingDate>,
                  "decodable kinds: std::string, NSCodingData, NSCodingDate, NSCoding classes");
    return DateFrom(value, key);
  }
}

template <typename T>
auto NSCoder::decodeObjectOfClass(const std::string& key) {
  if constexpr (kIsObjectClass<T>) {
    platform::foundation::RegisterCodingClass<T>();
    return std::dynamic_pointer_cast<T>(decodeObjectOfClasses({T::className()}, key));
  } else {
    const Value* value = Get(key);
    return value == nullptr ? std::optional<T>() : FromValue<T>(*value, key);
  }
}

template <typename T>
auto NSCoder::decodeArrayOfObjectsOfClass(const std::string& key) {
  using Item = std::conditional_t<kIsObjectClass<T>, std::shared_ptr<T>, T>;
  std::optional<std::vector<Item>> result;
  const Value* array = GetOfKind(key, Kind::kArray);
  if (array == nullptr) return result;
  std::set<std::string> class_names;
  if constexpr (kIsObjectClass<T>) {
    platform::foundation::RegisterCodingClass<T>();
    class_names.insert(T::className());
  }
  std::vector<Item> items;
  for (const Value& element : array->elements) {
    if constexpr (kIsObjectClass<T>) {
      items.push_back(std::dynamic_pointer_cast<T>(MakeObject(element, &class_names, key)));
    } else {
      auto item = FromValue<T>(element, key);
      if (!item.has_value()) FailCorrupt("array for key '" + key + "' holds a null element");
      if (error_ != nullptr) return result;
      items.push_back(std::move(*item));
    }
    if (error_ != nullptr) return result;
  }
  result = std::move(items);
  return result;
}

#endif  // PLATFORM_FOUNDATION_NS_KEYED_ARCHIVER_H_
