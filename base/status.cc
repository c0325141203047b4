#include "base/status.h"

#include <utility>

#include "absl/container/inlined_vector.h"
#include "absl/strings/str_cat.h"

namespace absl {

struct Status::Payload {
  std::string type_url;
  absl::Cord value;
};

// Room for one entry without a separate allocation.
struct Status::PayloadList : absl::InlinedVector<Status::Payload, 1> {};

struct Status::Record {
  std::atomic<int32_t> ref{1};
  int32_t code;
  std::string message;
  std::unique_ptr<PayloadList> payloads;
};

namespace {

std::atomic<bool> g_save_stack_trace{false};

}  // namespace

uintptr_t Status::NewRecord(int code, absl::string_view message, PayloadList* payloads) {
  Record* record = new Record;
  record->code = code;
  record->message.assign(message.data(), message.size());
  record->payloads.reset(payloads);
  return reinterpret_cast<uintptr_t>(record) + 1;
}

Status::Status(StatusCode code, absl::string_view message) {
  const int raw = static_cast<int>(code);
  if (raw == 0) {
    rep_ = kOkRep;
  } else if (message.empty()) {
    rep_ = InlineRep(raw);
  } else {
    rep_ = NewRecord(raw, message, nullptr);
  }
}

Status& Status::operator=(const Status& other) noexcept {
  if (rep_ != other.rep_) {
    Ref(other.rep_);
    Unref(rep_);
    rep_ = other.rep_;
  }
  return *this;
}

Status& Status::operator=(Status&& other) noexcept {
  if (this != &other) {
    const uintptr_t old = rep_;
    rep_ = other.rep_;
    other.rep_ = kMovedFromRep;
    Unref(old);
  }
  return *this;
}

void Status::Update(const Status& new_status) {
  if (ok()) *this = new_status;
}

void Status::Ref(uintptr_t rep) {
  if (IsRecord(rep)) RecordOf(rep)->ref.fetch_add(1, std::memory_order_relaxed);
}

void Status::UnrefRecord(uintptr_t rep) {
  Record* record = RecordOf(rep);
  // The last reference frees the record without a read-modify-write.
  if (record->ref.load(std::memory_order_acquire) == 1 ||
      record->ref.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete record;
  }
}

int Status::raw_code() const {
  if (IsRecord(rep_)) return RecordOf(rep_)->code;
  if (rep_ == kMovedFromRep) return static_cast<int>(StatusCode::kInternal);
  return static_cast<int>(static_cast<intptr_t>(rep_) >> 2);
}

StatusCode Status::code() const {
  const int raw = raw_code();
  return static_cast<unsigned>(raw) <= 16 ? static_cast<StatusCode>(raw) : StatusCode::kUnknown;
}

const std::string& Status::EmptyString() {
  static const std::string* const empty = new std::string;
  return *empty;
}

const std::string& Status::MovedFromString() {
  static const std::string* const moved_from = new std::string(kMovedFromString);
  return *moved_from;
}

absl::string_view Status::message() const {
  if (IsRecord(rep_)) return RecordOf(rep_)->message;
  if (rep_ == kMovedFromRep) return MovedFromString();
  return EmptyString();
}

Status::Record* Status::PrepareToModify() {
  if (!IsRecord(rep_)) {
    // Inline and moved-from statuses become a record of their code; the
    // moved-from text is not carried over.
    rep_ = NewRecord(raw_code(), absl::string_view(), nullptr);
    return RecordOf(rep_);
  }
  Record* record = RecordOf(rep_);
  if (record->ref.load(std::memory_order_acquire) == 1) return record;
  PayloadList* payloads = record->payloads ? new PayloadList(*record->payloads) : nullptr;
  const uintptr_t own = NewRecord(record->code, record->message, payloads);
  UnrefRecord(rep_);
  rep_ = own;
  return RecordOf(rep_);
}

absl::optional<absl::Cord> Status::GetPayload(absl::string_view type_url) const {
  if (!IsRecord(rep_)) return absl::nullopt;
  const PayloadList* payloads = RecordOf(rep_)->payloads.get();
  if (payloads == nullptr) return absl::nullopt;
  for (const Payload& p : *payloads) {
    if (p.type_url == type_url) return p.value;
  }
  return absl::nullopt;
}

void Status::SetPayload(absl::string_view type_url, absl::Cord payload) {
  if (ok()) return;
  Record* record = PrepareToModify();
  if (!record->payloads) record->payloads = std::make_unique<PayloadList>();
  for (Payload& p : *record->payloads) {
    if (p.type_url == type_url) {
      p.value = std::move(payload);
      return;
    }
  }
  record->payloads->push_back(Payload{std::string(type_url), std::move(payload)});
}

bool Status::ErasePayload(absl::string_view type_url) {
  if (!GetPayload(type_url).has_value()) return false;
  PayloadList& payloads = *PrepareToModify()->payloads;
  for (auto it = payloads.begin(); it != payloads.end(); ++it) {
    if (it->type_url == type_url) {
      payloads.erase(it);
      break;
    }
  }
  return true;
}

void Status::ForEachPayload(
    absl::FunctionRef<void(absl::string_view, const absl::Cord&)> visitor) const {
  if (!IsRecord(rep_)) return;
  const PayloadList* payloads = RecordOf(rep_)->payloads.get();
  if (payloads == nullptr) return;
  // The order depends on an address, so that callers cannot come to rely on it.
  const bool backwards =
      payloads->size() > 1 && reinterpret_cast<uintptr_t>(payloads) % 13 > 6;
  const size_t n = payloads->size();
  for (size_t i = 0; i < n; ++i) {
    const Payload& p = (*payloads)[backwards ? n - 1 - i : i];
    if (p.type_url == kStackTracePayloadKey) continue;
    visitor(p.type_url, p.value);
  }
}

bool Status::EqualsSlow(const Status& a, const Status& b) {
  if (IsRecord(a.rep_) != IsRecord(b.rep_)) return false;
  if (a.message() != b.message() || a.raw_code() != b.raw_code()) return false;
  static const PayloadList kNoPayloads;
  const PayloadList* pa = IsRecord(a.rep_) ? RecordOf(a.rep_)->payloads.get() : nullptr;
  const PayloadList* pb = IsRecord(b.rep_) ? RecordOf(b.rep_)->payloads.get() : nullptr;
  if (pa == nullptr && pb == nullptr) return true;
  if (pa == nullptr) pa = &kNoPayloads;
  if (pb == nullptr) pb = &kNoPayloads;
  const PayloadList& larger = pa->size() >= pb->size() ? *pa : *pb;
  const PayloadList& smaller = pa->size() >= pb->size() ? *pb : *pa;
  if (larger.size() - smaller.size() > 1) return false;
  // A stack trace present on one side only may account for the one extra entry.
  for (const Payload& p : larger) {
    const bool is_stack_trace = p.type_url == kStackTracePayloadKey;
    if (is_stack_trace && larger.size() > smaller.size()) continue;
    bool found = false;
    for (const Payload& q : smaller) {
      if (q.type_url != p.type_url) continue;
      found = is_stack_trace || q.value == p.value;
      break;
    }
    if (!found) return false;
  }
  return true;
}

std::string Status::ToStringSlow() const {
  const util::status_internal::ErrorSpaceAndCode decoded =
      util::status_internal::ErrorSpacePayload::Retrieve(*this);
  const util::ErrorSpace* space = decoded.GetErrorSpace();
  if (space == nullptr) {
    // Only a foreign or damaged payload names no known space.
    std::string name = decoded.GetErrorSpaceName();
    return absl::StrCat(name.empty() ? "unknown_space" : name, "::", decoded.code(), ": ",
                        message());
  }
  return absl::StrCat(space->SpaceName(), "::", space->String(decoded.code()), ": ", message());
}

std::ostream& operator<<(std::ostream& os, const Status& status) {
  return os << status.ToString();
}

Status CancelledError(absl::string_view m) { return Status(StatusCode::kCancelled, m); }
Status UnknownError(absl::string_view m) { return Status(StatusCode::kUnknown, m); }
Status InvalidArgumentError(absl::string_view m) {
  return Status(StatusCode::kInvalidArgument, m);
}
Status DeadlineExceededError(absl::string_view m) {
  return Status(StatusCode::kDeadlineExceeded, m);
}
Status NotFoundError(absl::string_view m) { return Status(StatusCode::kNotFound, m); }
Status AlreadyExistsError(absl::string_view m) { return Status(StatusCode::kAlreadyExists, m); }
Status PermissionDeniedError(absl::string_view m) {
  return Status(StatusCode::kPermissionDenied, m);
}
Status ResourceExhaustedError(absl::string_view m) {
  return Status(StatusCode::kResourceExhausted, m);
}
Status FailedPreconditionError(absl::string_view m) {
  return Status(StatusCode::kFailedPrecondition, m);
}
Status AbortedError(absl::string_view m) { return Status(StatusCode::kAborted, m); }
Status OutOfRangeError(absl::string_view m) { return Status(StatusCode::kOutOfRange, m); }
Status UnimplementedError(absl::string_view m) { return Status(StatusCode::kUnimplemented, m); }
Status InternalError(absl::string_view m) { return Status(StatusCode::kInternal, m); }
Status UnavailableError(absl::string_view m) { return Status(StatusCode::kUnavailable, m); }
Status DataLossError(absl::string_view m) { return Status(StatusCode::kDataLoss, m); }
Status UnauthenticatedError(absl::string_view m) {
  return Status(StatusCode::kUnauthenticated, m);
}

bool DoesStatusSaveStackTrace() { return g_save_stack_trace.load(std::memory_order_relaxed); }
void StatusSavesStackTrace(bool on) { g_save_stack_trace.store(on, std::memory_order_relaxed); }

}  // namespace absl

namespace util {
namespace status_internal {

absl::Status MakeNonOkStatusWithOkCode(absl::string_view message) {
  absl::Status status;
  status.rep_ = absl::Status::NewRecord(0, message, nullptr);
  return status;
}

}  // namespace status_internal
}  // namespace util
