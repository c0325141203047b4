// Text formatting in the object runtime's manner: a format string with "%@" for objects and the
// C integer conversions, filled from a vector of typed arguments instead of C varargs.
//
//   std::string text = platform::utility::StringWithFormat(
//       "Could not delete %@ (%d of %lu)", {path, index, count});
//
// Conversions: %@ (an object's description; "(null)" for none), %d %i %ld %li %lld (signed),
// %lu %llu %tu (unsigned), %p (an address as "0x" and lowercase hex) and %% (a percent sign).
// Flags, widths and other conversions are not understood: such a "%" is copied as written and
// takes no argument. A conversion without an argument left is copied as written. An argument
// of another kind than its conversion expects prints as %@ would print it, so nothing is read
// out of range and no value is lost.
#ifndef PLATFORM_UTILITY_FORMAT_H_
#define PLATFORM_UTILITY_FORMAT_H_

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace platform::utility {

// An object that prints itself for "%@" and stays reachable through its format argument, so
// that code receiving the arguments can ask what the object is (dynamic_pointer_cast).
class Describing {
 public:
  virtual ~Describing() = default;
  virtual std::string description() const = 0;
};

template <typename T>
concept HasDescription = requires(const T& value) {
  { value.description() } -> std::convertible_to<std::string>;
};

// One argument of a format: an object (text, described object or none), a signed or unsigned
// integer, or a raw address.
class FormatArgument {
 public:
  enum class Kind { kObject, kSigned, kUnsigned, kPointer };

  FormatArgument(std::nullptr_t) {}  // NOLINT: none
  FormatArgument(const char* text) {  // NOLINT: null is none
    if (text != nullptr) SetText(text);
  }
  FormatArgument(std::string text) { SetText(std::move(text)); }  // NOLINT
  FormatArgument(std::string_view text) { SetText(std::string(text)); }  // NOLINT
  FormatArgument(const std::optional<std::string>& text) {  // NOLINT
    if (text) SetText(*text);
  }
  template <std::signed_integral T>
  FormatArgument(T value) : kind_(Kind::kSigned), integer_(static_cast<int64_t>(value)) {}  // NOLINT
  template <std::unsigned_integral T>
    requires(!std::is_same_v<T, bool>)
  FormatArgument(T value)  // NOLINT
      : kind_(Kind::kUnsigned), integer_(static_cast<int64_t>(static_cast<uint64_t>(value))) {}
  FormatArgument(bool value) : kind_(Kind::kSigned), integer_(value ? 1 : 0) {}  // NOLINT
  FormatArgument(const void* address)  // NOLINT
      : kind_(Kind::kPointer), integer_(static_cast<int64_t>(reinterpret_cast<uintptr_t>(address))) {}
  // An object that has a description(); none when null. Describing objects are kept.
  template <HasDescription T>
  FormatArgument(const std::shared_ptr<T>& object) {  // NOLINT
    if (object == nullptr) return;
    SetText(object->description());
    address_ = object.get();
    if constexpr (std::is_base_of_v<Describing, T>) object_ = object;
  }
  template <HasDescription T>
    requires(!std::is_pointer_v<T>)
  FormatArgument(const T& value) {  // NOLINT
    SetText(value.description());
  }

  Kind kind() const { return kind_; }
  // An object argument that is none.
  bool isNull() const { return kind_ == Kind::kObject && !has_text_; }
  // The text "%@" prints for this argument.
  std::string description() const;
  int64_t signedValue() const { return integer_; }
  uint64_t unsignedValue() const { return static_cast<uint64_t>(integer_); }
  // The described object, when the argument was made from a Describing object.
  const std::shared_ptr<const Describing>& object() const { return object_; }

 private:
  void SetText(std::string text) {
    text_ = std::move(text);
    has_text_ = true;
  }

  Kind kind_ = Kind::kObject;
  int64_t integer_ = 0;
  bool has_text_ = false;
  std::string text_;
  const void* address_ = nullptr;  // an object argument's object, for %p
  std::shared_ptr<const Describing> object_;
};

using FormatArguments = std::vector<FormatArgument>;

// `format` filled with `arguments` in order (see above).
std::string StringWithFormat(std::string_view format, const FormatArguments& arguments);

// "0x" followed by the address in lowercase hex ("0x0" for null).
std::string AddressText(const void* address);

}  // namespace platform::utility

#endif  // PLATFORM_UTILITY_FORMAT_H_
