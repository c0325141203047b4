#ifndef BASE_STATUSOR_H_
#define BASE_STATUSOR_H_

// util::StatusOr<T>: a value, or the error that stopped it from being made.
//
//   util::StatusOr<Image> LoadImage(const std::string& path);
//
//   util::StatusOr<Image> image = LoadImage(path);
//   if (!image.ok()) return image.status();
//   Use(*image);
//
// Reading the value of an error ends the process with the error's text. An OK
// status is no error: given one, the status-or logs that at ERROR and holds
// INTERNAL instead.

#include <new>
#include <type_traits>
#include <utility>

#include "base/status.h"
#include "base/status_builder.h"

namespace util {

template <typename T>
class [[nodiscard]] StatusOr;

namespace internal_statusor {

struct Helper {
  // Logs the misuse and turns `*status` into an INTERNAL error.
  static void HandleInvalidStatusCtorArg(absl::Status* status);
  [[noreturn]] static void Crash(const absl::Status& status);
};

template <typename T, typename U>
inline constexpr bool kIsValueSource =
    std::is_constructible_v<T, U&&> && !std::is_same_v<std::decay_t<U>, StatusOr<T>> &&
    !std::is_same_v<std::decay_t<U>, absl::Status> &&
    !std::is_same_v<std::decay_t<U>, StatusBuilder> &&
    !std::is_same_v<std::decay_t<U>, std::in_place_t>;

// The status, then room for one T that holds a value exactly when the status
// is OK.
template <typename T>
class StatusOrData {
 public:
  StatusOrData() : status_(absl::StatusCode::kUnknown, absl::string_view()) {}
  ~StatusOrData() {
    if (status_.ok()) value_.~T();
  }

 protected:
  template <typename... Args>
  void MakeValue(Args&&... args) {
    ::new (static_cast<void*>(&value_)) T(std::forward<Args>(args)...);
  }
  // Leaves the object without a value, holding UNKNOWN.
  void ClearValue() {
    if (status_.ok()) value_.~T();
    status_ = absl::Status(absl::StatusCode::kUnknown, absl::string_view());
  }

  absl::Status status_;
  union {
    T value_;
  };
};

}  // namespace internal_statusor

template <typename T>
class [[nodiscard]] StatusOr : private internal_statusor::StatusOrData<T> {
  using Base = internal_statusor::StatusOrData<T>;
  using Base::status_;
  using Base::value_;

 public:
  using value_type = T;

  // UNKNOWN, without a value.
  StatusOr() = default;

  // An error. An OK status is refused (see above).
  StatusOr(const absl::Status& status) { SetStatus(status); }  // NOLINT
  StatusOr(absl::Status&& status) { SetStatus(std::move(status)); }  // NOLINT
  StatusOr(const StatusBuilder& builder) { SetStatus(absl::Status(builder)); }  // NOLINT
  StatusOr(StatusBuilder&& builder) { SetStatus(absl::Status(std::move(builder))); }  // NOLINT

  // A value.
  template <typename U = T,
            typename = std::enable_if_t<internal_statusor::kIsValueSource<T, U>>>
  StatusOr(U&& value) {  // NOLINT
    this->MakeValue(std::forward<U>(value));
    status_ = absl::OkStatus();
  }
  template <typename... Args>
  explicit StatusOr(std::in_place_t, Args&&... args) {
    this->MakeValue(std::forward<Args>(args)...);
    status_ = absl::OkStatus();
  }

  StatusOr(const StatusOr& other) { CopyFrom(other); }
  StatusOr(StatusOr&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    MoveFrom(std::move(other));
  }
  // From a status-or of a type convertible to T.
  template <typename U, typename = std::enable_if_t<!std::is_same_v<T, U> &&
                                                    std::is_constructible_v<T, const U&>>>
  StatusOr(const StatusOr<U>& other) {  // NOLINT
    if (other.ok()) {
      this->MakeValue(*other);
      status_ = absl::OkStatus();
    } else {
      status_ = other.status();
    }
  }
  template <typename U, typename = std::enable_if_t<!std::is_same_v<T, U> &&
                                                    std::is_constructible_v<T, U&&>>>
  StatusOr(StatusOr<U>&& other) {  // NOLINT
    if (other.ok()) {
      this->MakeValue(*std::move(other));
      status_ = absl::OkStatus();
    } else {
      status_ = std::move(other).status();
    }
  }

  StatusOr& operator=(const StatusOr& other) {
    if (this != &other) {
      this->ClearValue();
      CopyFrom(other);
    }
    return *this;
  }
  StatusOr& operator=(StatusOr&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    if (this != &other) {
      this->ClearValue();
      MoveFrom(std::move(other));
    }
    return *this;
  }
  template <typename U = T,
            typename = std::enable_if_t<internal_statusor::kIsValueSource<T, U>>>
  StatusOr& operator=(U&& value) {
    this->ClearValue();
    this->MakeValue(std::forward<U>(value));
    status_ = absl::OkStatus();
    return *this;
  }

  bool ok() const { return status_.ok(); }
  const absl::Status& status() const& { return status_; }
  absl::Status status() && { return ok() ? absl::OkStatus() : std::move(status_); }

  // The value; on an error the process ends with the error's text.
  const T& value() const& {
    EnsureOk();
    return value_;
  }
  T& value() & {
    EnsureOk();
    return value_;
  }
  T&& value() && {
    EnsureOk();
    return std::move(value_);
  }
  const T& ValueOrDie() const& { return value(); }
  T& ValueOrDie() & { return value(); }
  T&& ValueOrDie() && { return std::move(*this).value(); }
  const T& operator*() const& { return value(); }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }

  template <typename U>
  T value_or(U&& fallback) const& {
    return ok() ? value_ : static_cast<T>(std::forward<U>(fallback));
  }
  template <typename U>
  T value_or(U&& fallback) && {
    return ok() ? std::move(value_) : static_cast<T>(std::forward<U>(fallback));
  }

  void IgnoreError() const {}

 private:
  template <typename S>
  void SetStatus(S&& status) {
    status_ = std::forward<S>(status);
    if (status_.ok()) internal_statusor::Helper::HandleInvalidStatusCtorArg(&status_);
  }
  void CopyFrom(const StatusOr& other) {
    if (other.ok()) {
      this->MakeValue(other.value_);
      status_ = absl::OkStatus();
    } else {
      status_ = other.status_;
    }
  }
  // An OK source keeps its (moved-from) value and its OK status, so that it
  // still destroys the value it holds.
  void MoveFrom(StatusOr&& other) {
    if (other.ok()) {
      this->MakeValue(std::move(other.value_));
      status_ = absl::OkStatus();
    } else {
      status_ = std::move(other.status_);
    }
  }
  void EnsureOk() const {
    if (!ok()) internal_statusor::Helper::Crash(status_);
  }
};

}  // namespace util

#endif  // BASE_STATUSOR_H_
