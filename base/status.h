#ifndef BASE_STATUS_H_
#define BASE_STATUS_H_

// The status value every fallible operation returns: OK, or a canonical error
// code with a message and optional keyed payloads.
//
// These are our own declarations, placed directly in namespace `absl` (the
// system's Abseil lives in an inline namespace of its own, so there is no
// clash). Never include Abseil's status headers next to this one.

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>

#include "absl/functional/function_ref.h"
#include "absl/strings/cord.h"
#include "absl/strings/string_view.h"
#include "absl/types/optional.h"
#include "base/error_space.h"

namespace absl {

enum class StatusCode : int {
  kOk = 0,
  kCancelled = 1,
  kUnknown = 2,
  kInvalidArgument = 3,
  kDeadlineExceeded = 4,
  kNotFound = 5,
  kAlreadyExists = 6,
  kPermissionDenied = 7,
  kResourceExhausted = 8,
  kFailedPrecondition = 9,
  kAborted = 10,
  kOutOfRange = 11,
  kUnimplemented = 12,
  kInternal = 13,
  kUnavailable = 14,
  kDataLoss = 15,
  kUnauthenticated = 16,
};

// One machine word:
//   0                   OK;
//   code << 2           an error without message or payloads (no allocation);
//   kMovedFromRep       what a move leaves behind: INTERNAL, "Status accessed after move.";
//   record address + 1  a shared, reference-counted record (code, message, payloads),
//                       copied on write.
//
// Returned Status objects may not be ignored: handle them, or call IgnoreError() and say why.
class [[nodiscard]] Status final {
 public:
  // OK.
  Status() noexcept : rep_(kOkRep) {}

  // OK discards `message`. An error with an empty message stays inline. Codes
  // outside the canonical range are kept as raw codes; code() reads them as
  // kUnknown.
  Status(StatusCode code, absl::string_view message);

  Status(const Status& other) noexcept : rep_(other.rep_) { Ref(rep_); }
  Status& operator=(const Status& other) noexcept;
  // The source is left moved-from (see message()).
  Status(Status&& other) noexcept : rep_(other.rep_) { other.rep_ = kMovedFromRep; }
  Status& operator=(Status&& other) noexcept;
  ~Status() { Unref(rep_); }

  // Keeps this status if it is an error, else takes `new_status`.
  void Update(const Status& new_status);

  bool ok() const { return rep_ == kOkRep; }

  // The canonical code: the raw code when it lies in [0, 16], else kUnknown.
  StatusCode code() const;
  // The stored code, unchanged.
  int raw_code() const;

  // Empty for OK and inline errors; "Status accessed after move." for a
  // moved-from status.
  absl::string_view message() const;

  // "OK", or "<space>::<code text>: <message>" (payloads are not printed).
  std::string ToString() const { return ok() ? "OK" : ToStringSlow(); }

  // Payloads are keyed by a type URL. Writes to an OK status are ignored.
  absl::optional<absl::Cord> GetPayload(absl::string_view type_url) const;
  void SetPayload(absl::string_view type_url, absl::Cord payload);
  bool ErasePayload(absl::string_view type_url);
  // Visits every payload but the stack-trace one; the order is unspecified.
  void ForEachPayload(
      absl::FunctionRef<void(absl::string_view, const absl::Cord&)> visitor) const;

  void IgnoreError() const {}

  friend bool operator==(const Status& a, const Status& b) {
    return a.rep_ == b.rep_ || EqualsSlow(a, b);
  }
  friend bool operator!=(const Status& a, const Status& b) { return !(a == b); }
  friend void swap(Status& a, Status& b) noexcept {
    const uintptr_t t = a.rep_;
    a.rep_ = b.rep_;
    b.rep_ = t;
  }

  static constexpr char kMovedFromString[] = "Status accessed after move.";
  // Payload key of a saved stack trace; skipped by ForEachPayload.
  static constexpr char kStackTracePayloadKey[] = "AbslStatusStackTracePayload";

 private:
  friend Status util::status_internal::MakeNonOkStatusWithOkCode(absl::string_view message);

  struct Payload;
  struct PayloadList;
  struct Record;

  static constexpr uintptr_t kOkRep = 0;
  static constexpr uintptr_t kMovedFromRep = (13 << 2) | 2;

  static bool IsRecord(uintptr_t rep) { return (rep & 1) != 0; }
  static Record* RecordOf(uintptr_t rep) { return reinterpret_cast<Record*>(rep - 1); }
  static uintptr_t InlineRep(int code) {
    return static_cast<uintptr_t>(static_cast<intptr_t>(code) * 4);
  }
  static uintptr_t NewRecord(int code, absl::string_view message, PayloadList* payloads);

  static void Ref(uintptr_t rep);
  static void Unref(uintptr_t rep) {
    if (IsRecord(rep)) UnrefRecord(rep);
  }
  static void UnrefRecord(uintptr_t rep);

  static const std::string& EmptyString();
  static const std::string& MovedFromString();
  static bool EqualsSlow(const Status& a, const Status& b);

  std::string ToStringSlow() const;
  // Makes the record this status's own, turning an inline or moved-from
  // status into a record first.
  Record* PrepareToModify();

  uintptr_t rep_;
};

inline Status OkStatus() { return Status(); }

std::ostream& operator<<(std::ostream& os, const Status& status);

Status CancelledError(absl::string_view message);
Status UnknownError(absl::string_view message);
Status InvalidArgumentError(absl::string_view message);
Status DeadlineExceededError(absl::string_view message);
Status NotFoundError(absl::string_view message);
Status AlreadyExistsError(absl::string_view message);
Status PermissionDeniedError(absl::string_view message);
Status ResourceExhaustedError(absl::string_view message);
Status FailedPreconditionError(absl::string_view message);
Status AbortedError(absl::string_view message);
Status OutOfRangeError(absl::string_view message);
Status UnimplementedError(absl::string_view message);
Status InternalError(absl::string_view message);
Status UnavailableError(absl::string_view message);
Status DataLossError(absl::string_view message);
Status UnauthenticatedError(absl::string_view message);

inline bool IsCancelled(const Status& s) { return s.code() == StatusCode::kCancelled; }
inline bool IsUnknown(const Status& s) { return s.code() == StatusCode::kUnknown; }
inline bool IsInvalidArgument(const Status& s) { return s.code() == StatusCode::kInvalidArgument; }
inline bool IsDeadlineExceeded(const Status& s) { return s.code() == StatusCode::kDeadlineExceeded; }
inline bool IsNotFound(const Status& s) { return s.code() == StatusCode::kNotFound; }
inline bool IsAlreadyExists(const Status& s) { return s.code() == StatusCode::kAlreadyExists; }
inline bool IsPermissionDenied(const Status& s) { return s.code() == StatusCode::kPermissionDenied; }
inline bool IsResourceExhausted(const Status& s) { return s.code() == StatusCode::kResourceExhausted; }
inline bool IsFailedPrecondition(const Status& s) {
  return s.code() == StatusCode::kFailedPrecondition;
}
inline bool IsAborted(const Status& s) { return s.code() == StatusCode::kAborted; }
inline bool IsOutOfRange(const Status& s) { return s.code() == StatusCode::kOutOfRange; }
inline bool IsUnimplemented(const Status& s) { return s.code() == StatusCode::kUnimplemented; }
inline bool IsInternal(const Status& s) { return s.code() == StatusCode::kInternal; }
inline bool IsUnavailable(const Status& s) { return s.code() == StatusCode::kUnavailable; }
inline bool IsDataLoss(const Status& s) { return s.code() == StatusCode::kDataLoss; }
inline bool IsUnauthenticated(const Status& s) { return s.code() == StatusCode::kUnauthenticated; }

// The process-wide switch for saving stack traces into statuses (false unless
// the flag util_status_save_stack_trace sets it). Nothing acts on it.
bool DoesStatusSaveStackTrace();
void StatusSavesStackTrace(bool on);

}  // namespace absl

namespace util {

inline absl::Status OkStatus() { return absl::Status(); }

// Same as status.ToString().
std::string StatusToString(const absl::Status& status);

// A status of `code` in `space`. The generic space (and code 0) give a plain
// status whose raw code is `code`; any other space records itself in an
// error-space payload and takes its canonical code from the space.
absl::Status MakeStatus(const ErrorSpace* space, int code, absl::string_view message);

// The status with its message replaced (payloads kept) or removed (payloads
// dropped).
absl::Status SetMessage(const absl::Status& status, absl::string_view message);
absl::Status StripMessage(const absl::Status& status);

// Appends `message` to the status's message, joined by "; " when both are
// non-empty. OK stays OK; an empty `message` returns `status` itself.
absl::Status Annotate(const absl::Status& status, absl::string_view message);

// Gives `*status` the canonical code `code` where its error space allows.
void SetCanonicalCode(absl::StatusCode code, absl::Status* status);

absl::Status SetErrorSpaceAndCode(const absl::Status& status, const ErrorSpace* space, int code);
absl::Status ToCanonical(const absl::Status& status);

bool HasErrorCode(const absl::Status& status, const ErrorSpace* space, int code);
bool HasErrorSpace(const absl::Status& status, const ErrorSpace* space);

inline absl::StatusCode ToAbslStatusCode(error::Code code) {
  return static_cast<absl::StatusCode>(code);
}
inline error::Code ToUtilErrorCode(absl::StatusCode code) {
  return static_cast<error::Code>(code);
}

}  // namespace util

#endif  // BASE_STATUS_H_
