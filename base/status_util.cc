// The util helpers that rewrite a status's message, code and space.

#include <string>

#include "absl/strings/str_cat.h"
#include "base/status.h"

namespace util {
namespace {

using status_internal::ErrorSpaceAndCode;
using status_internal::ErrorSpacePayload;

// Copies the payloads of `from` (but its error-space payload) into `*to`; a
// stack trace of `from` goes in front of one `*to` already has.
void CopyPayloads(absl::Status* to, const absl::Status& from) {
  from.ForEachPayload([to](absl::string_view key, const absl::Cord& value) {
    if (key != ErrorSpacePayload::kTypeUrl) to->SetPayload(key, value);
  });
  absl::optional<absl::Cord> trace = from.GetPayload(absl::Status::kStackTracePayloadKey);
  if (!trace.has_value()) return;
  absl::optional<absl::Cord> existing = to->GetPayload(absl::Status::kStackTracePayloadKey);
  if (existing.has_value()) trace->Append(*existing);
  to->SetPayload(absl::Status::kStackTracePayloadKey, *std::move(trace));
}

}  // namespace

std::string StatusToString(const absl::Status& status) { return status.ToString(); }

absl::Status MakeStatus(const ErrorSpace* space, int code, absl::string_view message) {
  // A null space (a status whose space is unknown here) counts as generic.
  if (space == nullptr || space == CanonicalErrorSpace() || code == 0) {
    return absl::Status(static_cast<absl::StatusCode>(code), message);
  }
  const int canonical = space->CanonicalCode(code);
  absl::Status status = canonical == 0
                            ? status_internal::MakeNonOkStatusWithOkCode(message)
                            : absl::Status(static_cast<absl::StatusCode>(canonical), message);
  ErrorSpacePayload::Set(space, code, &status);
  return status;
}

absl::Status SetMessage(const absl::Status& status, absl::string_view message) {
  const ErrorSpaceAndCode decoded = ErrorSpacePayload::Retrieve(status);
  absl::Status result = MakeStatus(decoded.GetErrorSpace(), decoded.code(), message);
  CopyPayloads(&result, status);
  return result;
}

absl::Status StripMessage(const absl::Status& status) {
  const ErrorSpaceAndCode decoded = ErrorSpacePayload::Retrieve(status);
  return MakeStatus(decoded.GetErrorSpace(), decoded.code(), absl::string_view());
}

void SetCanonicalCode(absl::StatusCode code, absl::Status* status) {
  if (status->code() == code) return;
  const ErrorSpaceAndCode decoded = ErrorSpacePayload::Retrieve(*status);
  if (decoded.MatchErrorSpace(CanonicalErrorSpace())) return;
  if (code == absl::StatusCode::kOk) {
    const ErrorSpace* space = decoded.GetErrorSpace();
    if (space == nullptr) return;
    code = static_cast<absl::StatusCode>(space->CanonicalCode(decoded.code()));
  }
  absl::Status result(code, status->message());
  status->ForEachPayload([&result](absl::string_view key, const absl::Cord& value) {
    result.SetPayload(key, value);
  });
  *status = std::move(result);
}

absl::Status Annotate(const absl::Status& status, absl::string_view message) {
  if (status.ok()) return absl::OkStatus();
  if (message.empty()) return status;
  const std::string text = status.message().empty()
                               ? std::string(message)
                               : absl::StrCat(status.message(), "; ", message);
  absl::Status result = SetMessage(status, text);
  SetCanonicalCode(status.code(), &result);
  return result;
}

absl::Status SetErrorSpaceAndCode(const absl::Status& status, const ErrorSpace* space,
                                  int code) {
  absl::Status result = MakeStatus(space, code, status.message());
  CopyPayloads(&result, status);
  return result;
}

absl::Status ToCanonical(const absl::Status& status) {
  return SetErrorSpaceAndCode(status, CanonicalErrorSpace(), status.raw_code());
}

bool HasErrorCode(const absl::Status& status, const ErrorSpace* space, int code) {
  if (code == 0) return status.ok();
  const ErrorSpaceAndCode decoded = ErrorSpacePayload::Retrieve(status);
  return decoded.code() == code && decoded.MatchErrorSpace(space);
}

bool HasErrorSpace(const absl::Status& status, const ErrorSpace* space) {
  return ErrorSpacePayload::Retrieve(status).MatchErrorSpace(space);
}

}  // namespace util
