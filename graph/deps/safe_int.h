// Checked integer arithmetic for strong integer types.
//
// A `StrongInt<Tag, T, Validator>` wraps one integer of type T; its arithmetic asks the
// validator first, and `SafeIntStrongIntValidator<ErrorHandler>` hands every overflow,
// underflow or out-of-range initialisation to the error handler before the operation
// would wrap. `LogFatalOnError` ends the process with a message that names the
// operands and the operator, for example "SafeInt: overflow: (9223372036854775807 + 1)".

#ifndef QUILLMERE_GRAPH_DEPS_SAFE_INT_H_
#define QUILLMERE_GRAPH_DEPS_SAFE_INT_H_

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <type_traits>

#include "base/logging.h"

namespace kaldren {
namespace intops {

// Error policy: logs at FATAL, so the process ends.
class LogFatalOnError {
 public:
  template <typename T, typename U>
  static void Error(const char* error, T lhs, U rhs, const char* op) {
    LOG(FATAL) << error << ": (" << lhs << " " << op << " " << rhs << ")";
  }
  template <typename T>
  static void Error(const char* error, T value, const char* op) {
    LOG(FATAL) << error << ": (" << op << value << ")";
  }
};

// Checks signed integer arithmetic before it is done. Each Validate* returns true
// when the operation is safe; otherwise it reports to ErrorHandler and returns false.
template <typename ErrorHandler>
class SafeIntStrongIntValidator {
 public:
  // Initialisation from a floating-point value: it must lie within [min, 2^N] where N is
  // the number of value bits of T; the upper bound itself is allowed (it saturates).
  template <typename T, typename U>
  static bool ValidateInit(U arg) {
    if constexpr (std::is_floating_point_v<U>) {
      constexpr long double kMin = static_cast<long double>(std::numeric_limits<T>::min());
      constexpr long double kMax =
          static_cast<long double>(std::numeric_limits<T>::max()) + 1.0L;
      if (std::isnan(arg) || arg < kMin || arg > kMax) {
        ErrorHandler::Error("SafeInt: init from out of bounds float", arg, "=");
        return false;
      }
    }
    return true;
  }

  template <typename T>
  static bool ValidateAdd(T lhs, T rhs) {
    if (rhs > 0 && lhs > std::numeric_limits<T>::max() - rhs) {
      ErrorHandler::Error("SafeInt: overflow", lhs, rhs, "+");
      return false;
    }
    if (rhs < 0 && lhs < std::numeric_limits<T>::min() - rhs) {
      ErrorHandler::Error("SafeInt: underflow", lhs, rhs, "+");
      return false;
    }
    return true;
  }

  template <typename T>
  static bool ValidateSubtract(T lhs, T rhs) {
    if (rhs > 0 && lhs < std::numeric_limits<T>::min() + rhs) {
      ErrorHandler::Error("SafeInt: underflow", lhs, rhs, "-");
      return false;
    }
    if (rhs < 0 && lhs > std::numeric_limits<T>::max() + rhs) {
      ErrorHandler::Error("SafeInt: overflow", lhs, rhs, "-");
      return false;
    }
    return true;
  }

  // Only the negation case (multiplication by -1) is needed by this runtime.
  template <typename T>
  static bool ValidateNegate(T value) {
    if (value == std::numeric_limits<T>::min()) {
      ErrorHandler::Error("SafeInt: overflow", value, T{-1}, "*");
      return false;
    }
    return true;
  }
};

// An integer of its own type: it neither mixes with other strong integers nor with
// plain integers except through explicit construction.
template <typename Tag, typename T, typename Validator>
class StrongInt {
 public:
  using ValueType = T;

  constexpr StrongInt() : value_(0) {}
  constexpr explicit StrongInt(T value) : value_(value) {}

  // From a floating-point value, rounded toward zero; the upper bound 2^N saturates to
  // the largest T.
  template <typename F, typename = std::enable_if_t<std::is_floating_point_v<F>>>
  static StrongInt FromFloat(F value) {
    if (!Validator::template ValidateInit<T>(value)) return StrongInt();
    if (value >= static_cast<F>(std::numeric_limits<T>::max())) {
      return StrongInt(std::numeric_limits<T>::max());
    }
    return StrongInt(static_cast<T>(value));
  }

  constexpr T value() const { return value_; }

  // When the validator's error handler returns instead of ending the process, the
  // result wraps around rather than being undefined.
  StrongInt operator+(StrongInt other) const {
    Validator::ValidateAdd(value_, other.value_);
    return StrongInt(static_cast<T>(Unsigned(value_) + Unsigned(other.value_)));
  }
  StrongInt operator-(StrongInt other) const {
    Validator::ValidateSubtract(value_, other.value_);
    return StrongInt(static_cast<T>(Unsigned(value_) - Unsigned(other.value_)));
  }
  StrongInt operator-() const {
    Validator::ValidateNegate(value_);
    return StrongInt(static_cast<T>(Unsigned(0) - Unsigned(value_)));
  }

  friend constexpr auto operator<=>(StrongInt a, StrongInt b) = default;

  friend std::ostream& operator<<(std::ostream& os, StrongInt v) { return os << v.value_; }

 private:
  static constexpr std::make_unsigned_t<T> Unsigned(T v) {
    return static_cast<std::make_unsigned_t<T>>(v);
  }

  T value_;
};

}  // namespace intops
}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_DEPS_SAFE_INT_H_
