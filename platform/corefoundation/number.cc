#include "platform/corefoundation/number.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "base/logging.h"

using platform::corefoundation::Immortal;
using platform::corefoundation::kBooleanTypeID;
using platform::corefoundation::kNumberTypeID;
using platform::corefoundation::Object;

namespace {

enum class Kind { kNone, kInt8, kInt16, kInt32, kInt64, kFloat32, kFloat64 };

Kind KindOf(CFNumberType type) {
  switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
      return Kind::kInt8;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
      return Kind::kInt16;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
      return Kind::kInt32;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
      return Kind::kInt64;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType:
      return Kind::kFloat32;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
      return Kind::kFloat64;
  }
  return Kind::kNone;
}

bool IsFloat(Kind kind) { return kind == Kind::kFloat32 || kind == Kind::kFloat64; }

template <typename T>
T Load(const void* value) {
  T v;
  std::memcpy(&v, value, sizeof(T));
  return v;
}

template <typename T>
void Store(T v, void* value) {
  std::memcpy(value, &v, sizeof(T));
}

// Stores integer `v` as the integer type T; true when it fits.
template <typename T>
bool StoreInteger(int64_t v, void* value) {
  Store(static_cast<T>(v), value);
  return v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max();
}

// Stores `v` truncated toward zero (saturated when out of range) as the integer type T;
// true when that is exact.
template <typename T>
bool StoreTruncated(double v, void* value) {
  constexpr double kMin = static_cast<double>(std::numeric_limits<T>::min());
  constexpr double kMax = static_cast<double>(std::numeric_limits<T>::max());
  T t;
  if (std::isnan(v)) {
    t = 0;
  } else if (v <= kMin) {
    t = std::numeric_limits<T>::min();
  } else if (v >= kMax) {
    t = std::numeric_limits<T>::max();
  } else {
    t = static_cast<T>(v);
  }
  Store(t, value);
  return !std::isnan(v) && static_cast<double>(t) == v && v < kMax + 1.0;
}

}  // namespace

struct CFNumberObject final : Object {
  CFNumberObject(CFNumberType type, int64_t i) : Object(kNumberTypeID), type(type), integer(i) {}
  CFNumberObject(CFNumberType type, double f)
      : Object(kNumberTypeID), type(type), is_float(true), floating(f) {}

  double AsDouble() const { return is_float ? floating : static_cast<double>(integer); }

  bool Equals(const Object& other) const override {
    if (other.type_id() != kNumberTypeID) return false;
    const auto& o = static_cast<const CFNumberObject&>(other);
    if (!is_float && !o.is_float) return integer == o.integer;
    return AsDouble() == o.AsDouble();
  }
  CFHashCode Hash() const override {
    // Integral values hash as integers whatever their type, so that 2 and 2.0 agree.
    double d = AsDouble();
    if (!is_float || (std::trunc(d) == d && std::fabs(d) < 9.2e18)) {
      return std::hash<int64_t>()(is_float ? static_cast<int64_t>(d) : integer);
    }
    return std::hash<double>()(d);
  }

  std::string Description() const override {
    if (!is_float) return std::to_string(integer);
    char text[32];
    auto result = std::to_chars(text, text + sizeof(text), floating);
    return std::string(text, result.ptr);
  }

  CFNumberType type;
  bool is_float = false;
  int64_t integer = 0;
  double floating = 0;
};

CFTypeID CFNumberGetTypeID() { return kNumberTypeID; }

CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType type, const void* value) {
  if (value == nullptr) return nullptr;
  switch (KindOf(type)) {
    case Kind::kNone:
      return nullptr;
    case Kind::kInt8:
      return new CFNumberObject(type, static_cast<int64_t>(Load<int8_t>(value)));
    case Kind::kInt16:
      return new CFNumberObject(type, static_cast<int64_t>(Load<int16_t>(value)));
    case Kind::kInt32:
      return new CFNumberObject(type, static_cast<int64_t>(Load<int32_t>(value)));
    case Kind::kInt64:
      return new CFNumberObject(type, Load<int64_t>(value));
    case Kind::kFloat32:
      return new CFNumberObject(type, static_cast<double>(Load<float>(value)));
    case Kind::kFloat64:
      return new CFNumberObject(type, Load<double>(value));
  }
  return nullptr;
}

namespace {

const CFNumberObject& NumberOf(CFNumberRef number) {
  CHECK(Object::FromRef(number)->type_id() == kNumberTypeID) << "not a CFNumber";
  return *number;
}

}  // namespace

CFNumberType CFNumberGetType(CFNumberRef number) { return NumberOf(number).type; }

Boolean CFNumberIsFloatType(CFNumberRef number) { return NumberOf(number).is_float; }

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* value) {
  const CFNumberObject& n = NumberOf(number);
  if (value == nullptr) return false;
  Kind kind = KindOf(type);
  if (IsFloat(kind)) {
    double d = n.AsDouble();
    // An integer converts exactly when the double holds it (2^63 itself is out of range).
    bool exact = n.is_float || (d < 9223372036854775808.0 && static_cast<int64_t>(d) == n.integer);
    if (kind == Kind::kFloat64) {
      Store(d, value);
      return exact;
    }
    auto f = static_cast<float>(d);
    Store(f, value);
    return exact && (std::isnan(d) || static_cast<double>(f) == d);
  }
  if (n.is_float) {
    switch (kind) {
      case Kind::kInt8: return StoreTruncated<int8_t>(n.floating, value);
      case Kind::kInt16: return StoreTruncated<int16_t>(n.floating, value);
      case Kind::kInt32: return StoreTruncated<int32_t>(n.floating, value);
      case Kind::kInt64: return StoreTruncated<int64_t>(n.floating, value);
      default: return false;
    }
  }
  switch (kind) {
    case Kind::kInt8: return StoreInteger<int8_t>(n.integer, value);
    case Kind::kInt16: return StoreInteger<int16_t>(n.integer, value);
    case Kind::kInt32: return StoreInteger<int32_t>(n.integer, value);
    case Kind::kInt64: return StoreInteger<int64_t>(n.integer, value);
    default: return false;
  }
}

struct CFBooleanObject final : Object {
  constexpr explicit CFBooleanObject(bool value)
      : Object(kBooleanTypeID, /*immortal=*/true), value(value) {}
  bool Equals(const Object& other) const override { return &other == this; }
  std::string Description() const override { return value ? "true" : "false"; }
  bool value;
};

namespace {
constinit Immortal<CFBooleanObject> true_storage{true};
constinit Immortal<CFBooleanObject> false_storage{false};
}  // namespace

const CFBooleanRef kCFBooleanTrue = &true_storage.value;
const CFBooleanRef kCFBooleanFalse = &false_storage.value;

CFTypeID CFBooleanGetTypeID() { return kBooleanTypeID; }

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  CHECK(Object::FromRef(boolean)->type_id() == kBooleanTypeID) << "not a CFBoolean";
  return boolean->value;
}
