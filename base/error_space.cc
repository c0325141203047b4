#include "base/error_space.h"

#include <cstdio>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/strings/ascii.h"
#include <mutex>
#include <shared_mutex>
#include "base/status.h"
#include "base/strings/varint.h"

namespace util {

namespace error {
namespace {

struct CodeName {
  Code code;
  const char* name;
};

constexpr CodeName kCodeNames[] = {
    {OK, "OK"},
    {CANCELLED, "CANCELLED"},
    {UNKNOWN, "UNKNOWN"},
    {INVALID_ARGUMENT, "INVALID_ARGUMENT"},
    {DEADLINE_EXCEEDED, "DEADLINE_EXCEEDED"},
    {NOT_FOUND, "NOT_FOUND"},
    {ALREADY_EXISTS, "ALREADY_EXISTS"},
    {PERMISSION_DENIED, "PERMISSION_DENIED"},
    {RESOURCE_EXHAUSTED, "RESOURCE_EXHAUSTED"},
    {FAILED_PRECONDITION, "FAILED_PRECONDITION"},
    {ABORTED, "ABORTED"},
    {OUT_OF_RANGE, "OUT_OF_RANGE"},
    {UNIMPLEMENTED, "UNIMPLEMENTED"},
    {INTERNAL, "INTERNAL"},
    {UNAVAILABLE, "UNAVAILABLE"},
    {DATA_LOSS, "DATA_LOSS"},
    {UNAUTHENTICATED, "UNAUTHENTICATED"},
    {DO_NOT_USE_RESERVED_FOR_FUTURE_EXPANSION_USE_DEFAULT_IN_SWITCH_INSTEAD_,
     "DO_NOT_USE_RESERVED_FOR_FUTURE_EXPANSION_USE_DEFAULT_IN_SWITCH_INSTEAD_"},
};

}  // namespace

bool Code_IsValid(int value) { return (value >= 0 && value <= 16) || value == 20; }

const std::string& Code_Name(Code code) {
  static const auto* const names = [] {
    auto* names = new std::vector<std::string>;
    for (const CodeName& entry : kCodeNames) names->emplace_back(entry.name);
    return names;
  }();
  static const std::string* const empty = new std::string;
  for (size_t i = 0; i < std::size(kCodeNames); ++i) {
    if (kCodeNames[i].code == code) return (*names)[i];
  }
  return *empty;
}

bool Code_Parse(absl::string_view name, Code* out) {
  for (const CodeName& entry : kCodeNames) {
    if (name == entry.name) {
      *out = entry.code;
      return true;
    }
  }
  return false;
}

std::string CodeEnumToString(Code code) {
  if (code == DO_NOT_USE_RESERVED_FOR_FUTURE_EXPANSION_USE_DEFAULT_IN_SWITCH_INSTEAD_ ||
      !Code_IsValid(code)) {
    return "UNKNOWN";
  }
  return Code_Name(code);
}

}  // namespace error

// ---------------------------------------------------------------------------
// Registry

namespace {

constinit std::shared_mutex registry_mutex;

using SpaceFn = const ErrorSpace* (*)();

std::vector<SpaceFn>*& PendingSpaces() {
  static std::vector<SpaceFn>* pending = nullptr;
  return pending;
}

using SpaceMap = absl::flat_hash_map<std::string, const ErrorSpace*>;

// Both guarded by registry_mutex; created on first use, never freed.
SpaceMap*& SpacesByName() {
  static SpaceMap* spaces = nullptr;
  return spaces;
}

}  // namespace

bool ErrorSpace::Register(const ErrorSpace* (*space_fn)()) {
  std::lock_guard<std::shared_mutex> lock(registry_mutex);
  std::vector<SpaceFn>*& pending = PendingSpaces();
  if (pending == nullptr) pending = new std::vector<SpaceFn>;
  pending->push_back(space_fn);
  return true;
}

void ErrorSpace::Register(const std::string& name, const ErrorSpace* space) {
  std::lock_guard<std::shared_mutex> lock(registry_mutex);
  auto*& spaces = SpacesByName();
  if (spaces == nullptr) spaces = new SpaceMap;
  (*spaces)[name] = space;
}

const ErrorSpace* ErrorSpace::FindFast_Locked(const std::string& name) {
  const auto* spaces = SpacesByName();
  if (spaces == nullptr) return nullptr;
  auto it = spaces->find(name);
  return it == spaces->end() ? nullptr : it->second;
}

const ErrorSpace* ErrorSpace::Find(const std::string& name) {
  {
    std::shared_lock<std::shared_mutex> lock(registry_mutex);
    if (SpacesByName() != nullptr && PendingSpaces() == nullptr) return FindFast_Locked(name);
  }
  std::lock_guard<std::shared_mutex> lock(registry_mutex);
  auto*& spaces = SpacesByName();
  if (spaces == nullptr) spaces = new SpaceMap;
  std::vector<SpaceFn>*& pending = PendingSpaces();
  if (pending != nullptr) {
    for (SpaceFn fn : *pending) {
      const ErrorSpace* space = fn();
      (*spaces)[space->SpaceName()] = space;
    }
    delete pending;
    pending = nullptr;
  }
  return FindFast_Locked(name);
}

// ---------------------------------------------------------------------------
// The generic space

std::string GenericErrorSpace::space_name() { return "generic"; }

std::string GenericErrorSpace::code_to_string(int code) {
  if (code == 0) return "OK";
  if (error::Code_IsValid(code)) {
    return absl::AsciiStrToLower(error::CodeEnumToString(static_cast<error::Code>(code)));
  }
  char buffer[30];
  std::snprintf(buffer, sizeof(buffer), "%d", code);
  return buffer;
}

int GenericErrorSpace::canonical_code(int code) {
  return static_cast<unsigned>(code) <= 16 ? code : error::UNKNOWN;
}

const ErrorSpace* CanonicalErrorSpace() {
  return ErrorSpace::GetBase<ErrorSpaceImpl<GenericErrorSpace>>();
}

template struct ErrorSpace::Registerer<ErrorSpaceImpl<GenericErrorSpace>>;

// ---------------------------------------------------------------------------
// Decoding and encoding a status's space

namespace status_internal {

const ErrorSpace* ErrorSpaceAndCode::GetErrorSpace() const {
  if (const auto* space = absl::get_if<const ErrorSpace*>(&space_)) return *space;
  return ErrorSpace::Find(absl::get<std::string>(space_));
}

std::string ErrorSpaceAndCode::GetErrorSpaceName() const {
  if (const auto* name = absl::get_if<std::string>(&space_)) return *name;
  const ErrorSpace* space = absl::get<const ErrorSpace*>(space_);
  return space == nullptr ? std::string() : space->SpaceName();
}

bool ErrorSpaceAndCode::MatchErrorSpace(const ErrorSpace* space) const {
  if (const auto* own = absl::get_if<const ErrorSpace*>(&space_)) return *own == space;
  return space != nullptr && absl::get<std::string>(space_) == space->SpaceName();
}

void ErrorSpacePayload::Set(const ErrorSpace* space, int code, absl::Status* status) {
  if (space == CanonicalErrorSpace()) return;
  const std::string name = space->SpaceName();
  const uint32_t code_bits = static_cast<uint32_t>(code);
  const uint32_t name_size = static_cast<uint32_t>(name.size());
  const size_t size = name.size() + Varint::Length32(code_bits) + Varint::Length32(name_size) + 2;
  char local[128];
  std::unique_ptr<char[]> heap;
  char* const start = size <= sizeof(local) ? local : (heap.reset(new char[size]), heap.get());
  char* p = start;
  *p++ = 0x08;
  p = Varint::Encode32(p, code_bits);
  *p++ = 0x12;
  p = Varint::Encode32(p, name_size);
  name.copy(p, name.size());
  status->SetPayload(kTypeUrl, absl::Cord(absl::string_view(start, size)));
}

ErrorSpaceAndCode ErrorSpacePayload::Retrieve(const absl::Status& status) {
  absl::optional<absl::Cord> payload = status.GetPayload(kTypeUrl);
  if (!payload.has_value()) return ErrorSpaceAndCode(CanonicalErrorSpace(), status.raw_code());
  const std::string bytes(*payload);
  if (bytes.empty()) return ErrorSpaceAndCode(nullptr, error::UNKNOWN);

  // Fields we don't know are skipped a byte at a time; a varint or a name that
  // runs past the end stops the walk with what was read so far.
  bool has_name = false;
  std::string name;
  int code = error::UNKNOWN;
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p < end) {
    const char tag = *p++;
    uint32_t value;
    if (tag == 0x08) {
      p = Varint::Parse32WithLimit(p, end, &value);
      if (p == nullptr) break;
      code = static_cast<int>(value);
    } else if (tag == 0x12) {
      p = Varint::Parse32WithLimit(p, end, &value);
      if (p == nullptr || value > static_cast<size_t>(end - p)) break;
      name.assign(p, value);
      has_name = true;
      p += value;
    }
  }
  if (!has_name) return ErrorSpaceAndCode(nullptr, code);
  return ErrorSpaceAndCode(std::move(name), code);
}

}  // namespace status_internal
}  // namespace util
