#ifndef BASE_ERROR_SPACE_H_
#define BASE_ERROR_SPACE_H_

// Error spaces give a status its printed family name and the text of its
// code. The generic space ("generic") is the one every status uses; another
// space is made from a class with three static functions:
//
//   struct MySpace {
//     static std::string space_name();
//     static std::string code_to_string(int code);
//     static int canonical_code(int code);
//   };
//   const util::ErrorSpace* space = util::ErrorSpace::GetBase<util::ErrorSpaceImpl<MySpace>>();
//
// Including base/status.h is the usual way to get these declarations.

#include <string>

#include "absl/strings/string_view.h"
#include "absl/types/variant.h"

namespace absl {
class Status;
}  // namespace absl

namespace util {

namespace error {

// The canonical codes, plus one reserved value.
enum Code : int {
  OK = 0,
  CANCELLED = 1,
  UNKNOWN = 2,
  INVALID_ARGUMENT = 3,
  DEADLINE_EXCEEDED = 4,
  NOT_FOUND = 5,
  ALREADY_EXISTS = 6,
  PERMISSION_DENIED = 7,
  RESOURCE_EXHAUSTED = 8,
  FAILED_PRECONDITION = 9,
  ABORTED = 10,
  OUT_OF_RANGE = 11,
  UNIMPLEMENTED = 12,
  INTERNAL = 13,
  UNAVAILABLE = 14,
  DATA_LOSS = 15,
  UNAUTHENTICATED = 16,
  DO_NOT_USE_RESERVED_FOR_FUTURE_EXPANSION_USE_DEFAULT_IN_SWITCH_INSTEAD_ = 20,
};

// True for 0 to 16 and 20.
bool Code_IsValid(int value);
// The enum name, or "" for a value that is not a Code.
const std::string& Code_Name(Code code);
// Sets `*out` only when `name` is an enum name.
bool Code_Parse(absl::string_view name, Code* out);
// The upper-case name of a canonical code; "UNKNOWN" for anything else.
std::string CodeEnumToString(Code code);

}  // namespace error

class ErrorSpace {
 public:
  using SpaceNameFn = std::string (*)(const ErrorSpace*);
  using StringFn = std::string (*)(const ErrorSpace*, int);
  using CanonicalCodeFn = int (*)(const ErrorSpace*, int);

  ErrorSpace(const ErrorSpace&) = delete;
  ErrorSpace& operator=(const ErrorSpace&) = delete;

  std::string SpaceName() const { return space_name_(this); }
  std::string String(int code) const { return string_(this, code); }
  int CanonicalCode(int code) const { return canonical_code_(this, code); }

  // Queues a space for the registry; it is created and named at the next
  // Find. Returns true, so that it can initialise a static token.
  static bool Register(const ErrorSpace* (*space_fn)());
  // Stores `space` under `name`, replacing an earlier entry.
  static void Register(const std::string& name, const ErrorSpace* space);
  // The space registered under `name`, or null.
  static const ErrorSpace* Find(const std::string& name);

  // The single object of the space `ImplT` (an ErrorSpaceImpl<T>).
  template <typename ImplT>
  static const ErrorSpace* GetBase();

  // register_token is true once the space is queued for the registry.
  template <typename ImplT>
  struct Registerer {
    static const bool register_token;
  };

 protected:
  constexpr ErrorSpace(SpaceNameFn space_name, StringFn string, CanonicalCodeFn canonical_code)
      : space_name_(space_name), string_(string), canonical_code_(canonical_code) {}

 private:
  static const ErrorSpace* FindFast_Locked(const std::string& name);

  const SpaceNameFn space_name_;
  const StringFn string_;
  const CanonicalCodeFn canonical_code_;
};

// An error space built from a class `T` with static space_name(),
// code_to_string(int) and canonical_code(int).
template <typename T>
class ErrorSpaceImpl : public ErrorSpace {
 public:
  using Domain = T;

  constexpr ErrorSpaceImpl() : ErrorSpace(&SpaceNameOf, &StringOf, &CanonicalCodeOf) {}

 private:
  static std::string SpaceNameOf(const ErrorSpace*) { return T::space_name(); }
  static std::string StringOf(const ErrorSpace*, int code) { return T::code_to_string(code); }
  static int CanonicalCodeOf(const ErrorSpace*, int code) { return T::canonical_code(code); }
};

namespace internal_status {

template <typename T>
struct ErrorSpaceInstance {
  static const ErrorSpaceImpl<T> value;
};

template <typename T>
const ErrorSpaceImpl<T> ErrorSpaceInstance<T>::value;

}  // namespace internal_status

template <typename ImplT>
const ErrorSpace* ErrorSpace::GetBase() {
  return &internal_status::ErrorSpaceInstance<typename ImplT::Domain>::value;
}

template <typename ImplT>
const bool ErrorSpace::Registerer<ImplT>::register_token =
    ErrorSpace::Register(&ErrorSpace::GetBase<ImplT>);

// The generic space: "generic", code texts are the lower-case code names
// ("not_found"), or the decimal value for a code outside the enum.
struct GenericErrorSpace {
  static std::string space_name();
  static std::string code_to_string(int code);
  static int canonical_code(int code);
};

const ErrorSpace* CanonicalErrorSpace();

namespace status_internal {

// What a status says about its space: a pointer to the space (possibly
// null) or the name it carries, and the code within that space.
class ErrorSpaceAndCode {
 public:
  ErrorSpaceAndCode(const ErrorSpace* space, int code) : space_(space), code_(code) {}
  ErrorSpaceAndCode(std::string space_name, int code)
      : space_(std::move(space_name)), code_(code) {}

  // The space itself, a name looked up in the registry, or null.
  const ErrorSpace* GetErrorSpace() const;
  std::string GetErrorSpaceName() const;
  bool MatchErrorSpace(const ErrorSpace* space) const;
  int code() const { return code_; }

 private:
  absl::variant<std::string, const ErrorSpace*> space_;
  int code_;
};

// The payload under ErrorSpacePayload::kTypeUrl records the space and code of
// a status made in a non-generic space: protocol-buffer wire format with
// field 1 the code (always a 32-bit varint) and field 2 the space name.
struct ErrorSpacePayload {
  static constexpr char kTypeUrl[] = "type.quillmere.dev/util.ErrorSpacePayload";

  // Records `space` and `code` on `*status`; nothing for the generic space.
  static void Set(const ErrorSpace* space, int code, absl::Status* status);
  // The generic space and the raw code when the status has no such payload.
  static ErrorSpaceAndCode Retrieve(const absl::Status& status);
};

// A status that is not OK although its raw code is 0.
absl::Status MakeNonOkStatusWithOkCode(absl::string_view message);

}  // namespace status_internal

}  // namespace util

#endif  // BASE_ERROR_SPACE_H_
