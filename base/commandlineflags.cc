// Old-style flags in Abseil's registry, lookups by name and address, validators, listings
// and the recorded command line.

#include "base/commandlineflags.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <shared_mutex>

#include "absl/flags/commandlineflag.h"
#include "absl/flags/internal/commandlineflag.h"
#include "absl/flags/internal/flag.h"
#include "absl/flags/internal/private_handle_accessor.h"
#include "absl/flags/internal/program_name.h"
#include "absl/flags/internal/registry.h"
#include "absl/flags/reflection.h"
#include "absl/strings/str_cat.h"
#include "base/logging.h"
#include "base/raw_logging.h"

namespace base {
namespace {

using absl::flags_internal::FlagOpFn;
using absl::flags_internal::PrivateHandleAccessor;

enum class ValueType { kBool, kInt32, kInt64, kUint64, kDouble, kString, kOpaque };

// The value of a flag whose type name is unknown: one byte with no text form.
struct OpaqueValue {
  char byte;
};

void* OpaqueOps(absl::flags_internal::FlagOp op, const void* v1, void* v2, void*) {
  using absl::flags_internal::FlagOp;
  static const char type_id = 0;
  switch (op) {
    case FlagOp::kAlloc:
      return new OpaqueValue{};
    case FlagOp::kDelete:
      delete static_cast<OpaqueValue*>(v2);
      return nullptr;
    case FlagOp::kCopy:
    case FlagOp::kCopyConstruct:
      *static_cast<OpaqueValue*>(v2) = *static_cast<const OpaqueValue*>(v1);
      return nullptr;
    case FlagOp::kSizeof:
      return reinterpret_cast<void*>(sizeof(OpaqueValue));
    case FlagOp::kFastTypeId:
      return const_cast<char*>(&type_id);
    default:
      // No text conversion: parsing fails, unparsing leaves the text empty.
      return nullptr;
  }
}

struct TypeDescription {
  const char* name;
  ValueType type;
  FlagOpFn ops;
};

constexpr TypeDescription kTypes[] = {
    {"bool", ValueType::kBool, &absl::flags_internal::FlagOps<bool>},
    {"int32", ValueType::kInt32, &absl::flags_internal::FlagOps<int32_t>},
    {"int64", ValueType::kInt64, &absl::flags_internal::FlagOps<int64_t>},
    {"uint64", ValueType::kUint64, &absl::flags_internal::FlagOps<uint64_t>},
    {"double", ValueType::kDouble, &absl::flags_internal::FlagOps<double>},
    {"string", ValueType::kString, &absl::flags_internal::FlagOps<std::string>},
};

// Compares two cells of a type; values of an opaque type always compare equal.
bool SameValue(ValueType type, const void* a, const void* b) {
  switch (type) {
    case ValueType::kBool:
      return *static_cast<const bool*>(a) == *static_cast<const bool*>(b);
    case ValueType::kInt32:
      return *static_cast<const int32_t*>(a) == *static_cast<const int32_t*>(b);
    case ValueType::kInt64:
      return *static_cast<const int64_t*>(a) == *static_cast<const int64_t*>(b);
    case ValueType::kUint64:
      return *static_cast<const uint64_t*>(a) == *static_cast<const uint64_t*>(b);
    case ValueType::kDouble:
      return *static_cast<const double*>(a) == *static_cast<const double*>(b);
    case ValueType::kString:
      return *static_cast<const std::string*>(a) == *static_cast<const std::string*>(b);
    case ValueType::kOpaque:
      return true;
  }
  return true;
}

std::mutex data_guard_init_mutex;

class CommandLineV1Flag final : public absl::CommandLineFlag {
 public:
  CommandLineV1Flag(const char* name, const char* help, const char* filename,
                    const TypeDescription& type, void* current, void* def)
      : name_(name),
        help_(help != nullptr ? help : ""),
        filename_(filename),
        type_(type),
        current_(current),
        default_(def) {}

  absl::string_view Name() const override { return name_; }
  std::string Filename() const override { return filename_; }
  std::string Help() const override { return help_; }
  std::string DefaultValue() const override {
    std::lock_guard<std::shared_mutex> lock(Guard());
    return Unparse(default_);
  }
  std::string CurrentValue() const override {
    std::lock_guard<std::shared_mutex> lock(Guard());
    return Unparse(current_);
  }

  const char* type_name() const { return type_.name; }
  void* current_storage() const { return current_; }

  bool IsModified() const {
    std::lock_guard<std::shared_mutex> lock(Guard());
    return modified_;
  }

  // Marks the flag modified when its variable was assigned directly.
  void CheckDirectAssignment() {
    std::lock_guard<std::shared_mutex> lock(Guard());
    CheckDirectAssignmentLocked();
  }

  bool HasValidator() const {
    std::lock_guard<std::shared_mutex> lock(Guard());
    return validator_ != nullptr;
  }

  bool SetValidator(void* fn) {
    std::lock_guard<std::shared_mutex> lock(Guard());
    return SetValidatorLocked(fn);
  }

  bool ValidateDefaultValue() const {
    std::lock_guard<std::shared_mutex> lock(Guard());
    return InvokeValidator(default_);
  }

 private:
  class V1FlagState : public absl::flags_internal::FlagStateInterface {
   public:
    V1FlagState(CommandLineV1Flag* flag, uint64_t counter, void* validator, bool modified,
                bool on_command_line, void* value, FlagOpFn ops)
        : flag_(flag),
          counter_(counter),
          validator_(validator),
          modified_(modified),
          on_command_line_(on_command_line),
          value_(value),
          ops_(ops) {}
    ~V1FlagState() override { absl::flags_internal::Delete(ops_, value_); }
    void Restore() const override { flag_->Restore(*this); }

   private:
    friend class CommandLineV1Flag;
    CommandLineV1Flag* flag_;
    uint64_t counter_;
    void* validator_;
    bool modified_;
    bool on_command_line_;
    void* value_;
    FlagOpFn ops_;
  };

  bool ParseFrom(absl::string_view value, absl::flags_internal::FlagSettingMode mode,
                 absl::flags_internal::ValueSource source, std::string& error) override {
    std::lock_guard<std::shared_mutex> lock(Guard());
    CheckDirectAssignmentLocked();
    switch (static_cast<int>(mode)) {
      case SET_FLAGS_VALUE:
        if (!TryParseLocked(current_, value, &error)) return false;
        modified_ = true;
        if (source == absl::flags_internal::kCommandLine) on_command_line_ = true;
        return true;
      case SET_FLAG_IF_DEFAULT:
        if (modified_) return true;
        if (!TryParseLocked(current_, value, &error)) return false;
        modified_ = true;
        return true;
      case SET_FLAGS_DEFAULT:
        if (!TryParseLocked(default_, value, &error)) return false;
        if (!modified_) absl::flags_internal::Copy(type_.ops, default_, current_);
        return true;
      default:
        return true;
    }
  }

  absl::flags_internal::FlagFastTypeId TypeId() const override {
    return absl::flags_internal::FastTypeId(type_.ops);
  }

  std::unique_ptr<absl::flags_internal::FlagStateInterface> SaveState() override {
    std::lock_guard<std::shared_mutex> lock(Guard());
    return std::make_unique<V1FlagState>(this, counter_, validator_, modified_, on_command_line_,
                                         absl::flags_internal::Clone(type_.ops, current_),
                                         type_.ops);
  }

  void Read(void* dst) const override {
    std::shared_lock<std::shared_mutex> lock(Guard());
    absl::flags_internal::CopyConstruct(type_.ops, current_, dst);
  }

  bool IsSpecifiedOnCommandLine() const override {
    std::lock_guard<std::shared_mutex> lock(Guard());
    return on_command_line_;
  }

  bool ValidateInputValue(absl::string_view value) const override {
    std::lock_guard<std::shared_mutex> lock(Guard());
    void* clone = absl::flags_internal::Clone(type_.ops, default_);
    std::string error;
    const bool valid =
        absl::flags_internal::Parse(type_.ops, value, clone, &error) && InvokeValidator(clone);
    absl::flags_internal::Delete(type_.ops, clone);
    return valid;
  }

  void CheckDefaultValueParsingRoundtrip() const override {}

  std::shared_mutex& Guard() const {
    if (!guard_exists_.load(std::memory_order_acquire)) {
      std::lock_guard<std::mutex> lock(data_guard_init_mutex);
      if (guard_ == nullptr) guard_ = new std::shared_mutex;
      guard_exists_.store(true, std::memory_order_release);
    }
    return *guard_;
  }

  std::string Unparse(const void* cell) const {
    return absl::flags_internal::Unparse(type_.ops, cell);
  }

  void CheckDirectAssignmentLocked() {
    if (!modified_ && !SameValue(type_.type, current_, default_)) modified_ = true;
  }

  bool TryParseLocked(void* destination, absl::string_view value, std::string* error) {
    void* clone = absl::flags_internal::Clone(type_.ops, default_);
    std::string parse_error;
    bool ok = false;
    if (!absl::flags_internal::Parse(type_.ops, value, clone, &parse_error)) {
      *error = absl::StrCat("Illegal value '", value, "' specified for",
                            type_.type == ValueType::kOpaque ? "" : " ",
                            type_.type == ValueType::kOpaque ? "" : type_.name, " flag '", name_,
                            "'", parse_error.empty() ? "" : "; ", parse_error);
    } else if (!InvokeValidator(clone)) {
      *error = absl::StrCat("Failed validation of new value '", Unparse(clone), "' for flag '",
                            name_, "'");
    } else {
      ++counter_;
      absl::flags_internal::Copy(type_.ops, clone, destination);
      ok = true;
    }
    absl::flags_internal::Delete(type_.ops, clone);
    return ok;
  }

  bool InvokeValidator(const void* value) const {
    if (validator_ == nullptr) return true;
    switch (type_.type) {
      case ValueType::kBool:
        return reinterpret_cast<bool (*)(const char*, bool)>(validator_)(
            name_, *static_cast<const bool*>(value));
      case ValueType::kInt32:
        return reinterpret_cast<bool (*)(const char*, int32_t)>(validator_)(
            name_, *static_cast<const int32_t*>(value));
      case ValueType::kInt64:
        return reinterpret_cast<bool (*)(const char*, int64_t)>(validator_)(
            name_, *static_cast<const int64_t*>(value));
      case ValueType::kUint64:
        return reinterpret_cast<bool (*)(const char*, uint64_t)>(validator_)(
            name_, *static_cast<const uint64_t*>(value));
      case ValueType::kDouble:
        return reinterpret_cast<bool (*)(const char*, double)>(validator_)(
            name_, *static_cast<const double*>(value));
      case ValueType::kString:
        return reinterpret_cast<bool (*)(const char*, const std::string&)>(validator_)(
            name_, *static_cast<const std::string*>(value));
      case ValueType::kOpaque:
        break;
    }
    ABSL_INTERNAL_LOG(FATAL, absl::StrCat("Flag '", name_,
                                          "' of encapsulated type should not have a validator"));
    return false;
  }

  bool SetValidatorLocked(void* fn) {
    if (fn == validator_) return true;
    if (fn != nullptr && validator_ != nullptr) {
      ABSL_INTERNAL_LOG(WARNING, absl::StrCat("Ignoring SetValidator() for flag '", name_,
                                              "': validate-fn already registered"));
      return false;
    }
    ++counter_;
    validator_ = fn;
    return true;
  }

  void Restore(const V1FlagState& state) {
    {
      std::lock_guard<std::shared_mutex> lock(Guard());
      modified_ = state.modified_;
      on_command_line_ = state.on_command_line_;
      if (counter_ == state.counter_ && SameValue(type_.type, state.value_, current_)) return;
      absl::flags_internal::Copy(type_.ops, state.value_, current_);
      ++counter_;
      SetValidatorLocked(state.validator_);
    }
    const std::string value = CurrentValue();
    if (!ValidateInputValue(value)) {
      LOG(WARNING) << "Saved value " << value << " did not pass validation for flag " << name_;
    }
    LOG(INFO) << "Restore saved value of " << name_ << " to: " << value;
  }

  const char* name_;
  const char* help_;
  const char* filename_;
  const TypeDescription& type_;
  mutable std::shared_mutex* guard_ = nullptr;
  mutable std::atomic<bool> guard_exists_{false};
  bool modified_ = false;
  bool on_command_line_ = false;
  void* current_;
  void* default_;
  uint64_t counter_ = 0;
  void* validator_ = nullptr;
};

// Old-style flags by the address of their current value.
class FlagAddressIndex {
 public:
  static constexpr size_t kBuckets = 163;

  void Add(CommandLineV1Flag* flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CommandLineV1Flag*>& bucket = buckets_[BucketOf(flag->current_storage())];
    if (bucket.size() == bucket.capacity()) {
      bucket.reserve(static_cast<size_t>(std::lround(bucket.size() * 1.25)));
    }
    bucket.push_back(flag);
  }

  CommandLineV1Flag* Find(const void* address) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (CommandLineV1Flag* flag : buckets_[BucketOf(address)]) {
      if (flag->current_storage() == address) return flag;
    }
    return nullptr;
  }

 private:
  static size_t BucketOf(const void* address) {
    return reinterpret_cast<uintptr_t>(address) % kBuckets;
  }

  std::mutex mutex_;
  std::vector<CommandLineV1Flag*> buckets_[kBuckets];
};

FlagAddressIndex& GlobalFlagAddressToFlagMap() {
  static auto* index = new FlagAddressIndex;
  return *index;
}

bool AddFlagValidator(const void* address, void* fn) {
  CommandLineV1Flag* flag = GlobalFlagAddressToFlagMap().Find(address);
  if (flag == nullptr) {
    LOG(WARNING) << "Ignoring RegisterValidateFunction() for flag address " << address
                 << ": no flag found at that address";
    return false;
  }
  return flag->SetValidator(fn);
}

CommandLineV1Flag* AsV1Flag(const absl::CommandLineFlag* flag) {
  return dynamic_cast<CommandLineV1Flag*>(const_cast<absl::CommandLineFlag*>(flag));
}

void FillCommandLineFlagInfo(const absl::CommandLineFlag& flag, CommandLineFlagInfo* info) {
  CommandLineV1Flag* v1 = AsV1Flag(&flag);
  info->name = std::string(flag.Name());
  info->type = v1 != nullptr ? v1->type_name() : "";
  info->description = flag.Help();
  info->filename = CleanFileName(flag.Filename());
  if (v1 != nullptr) {
    v1->CheckDirectAssignment();
    info->has_validator_fn = v1->HasValidator();
  } else {
    info->has_validator_fn = false;
  }
  info->current_value = flag.CurrentValue();
  info->default_value = flag.DefaultValue();
  info->is_default =
      v1 != nullptr ? !v1->IsModified() : info->current_value == info->default_value;
  info->flag_ptr = v1 != nullptr ? v1->current_storage() : nullptr;
}

// The recorded command line.
struct ArgvRecord {
  char* program_name = const_cast<char*>("UNKNOWN");
  bool program_name_owned = false;
  char* command_line = const_cast<char*>("");
  bool command_line_owned = false;
  std::vector<std::string>* arguments = nullptr;
  int32_t sum = 0;
  bool set_argv_ran = false;
};

ArgvRecord& Argv() {
  static auto* record = new ArgvRecord;
  return *record;
}

char* HeapCopy(const std::string& text) {
  char* copy = new char[text.size() + 1];
  std::copy(text.begin(), text.end(), copy);
  copy[text.size()] = '\0';
  return copy;
}

}  // namespace

void SetArgv(int argc, const char** argv) {
  if (Argv().set_argv_ran) return;
  Argv().set_argv_ran = true;
  ResetArgv(argc, argv);
}

void ResetArgv(int argc, const char** argv) {
  ArgvRecord& record = Argv();
  const std::string first = argc > 0 ? argv[0] : "";
  absl::flags_internal::SetProgramInvocationName(first);
  if (record.program_name_owned) delete[] record.program_name;
  record.program_name = HeapCopy(first);
  record.program_name_owned = true;
  if (record.arguments == nullptr) record.arguments = new std::vector<std::string>;
  record.arguments->assign(argv, argv + argc);
  std::string joined;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) joined += ' ';
    joined += argv[i];
  }
  if (record.command_line_owned) delete[] record.command_line;
  record.command_line = HeapCopy(joined);
  record.command_line_owned = true;
  int32_t sum = 0;
  for (const char c : joined) sum += static_cast<signed char>(c);
  record.sum = sum;
}

const std::vector<std::string>& GetArgvs() {
  if (Argv().arguments == nullptr) Argv().arguments = new std::vector<std::string>;
  return *Argv().arguments;
}

std::string GetArgv() { return Argv().command_line; }
const char* GetArgv0() { return Argv().program_name; }
const char* ProgramInvocationName() { return Argv().program_name; }

const char* ProgramInvocationShortName() {
  const char* slash = strrchr(Argv().program_name, '/');
  return slash != nullptr ? slash + 1 : Argv().program_name;
}

int32_t GetArgvSum() { return Argv().sum; }

bool SpecifiedOnCommandLine(absl::string_view name) {
  const absl::CommandLineFlag* flag = absl::FindCommandLineFlag(name);
  return flag != nullptr && PrivateHandleAccessor::IsSpecifiedOnCommandLine(*flag);
}

namespace {
template <typename T>
void Retire(const char* name) {
  (new absl::flags_internal::RetiredFlag<T>)->Retire(name);
}
}  // namespace

void RetiredFlag_bool(const char* name) { Retire<bool>(name); }
void RetiredFlag_int32(const char* name) { Retire<int32_t>(name); }
void RetiredFlag_int64(const char* name) { Retire<int64_t>(name); }
void RetiredFlag_uint64(const char* name) { Retire<uint64_t>(name); }
void RetiredFlag_double(const char* name) { Retire<double>(name); }
void RetiredFlag_string(const char* name) { Retire<std::string>(name); }

bool CommandLineFlagHolder::HasValidatorFn() const {
  const CommandLineV1Flag* v1 = AsV1Flag(flag_);
  return v1 != nullptr && v1->HasValidator();
}

}  // namespace base

FlagRegisterer::FlagRegisterer(const char* name, const char* type, const char* help,
                               const char* filename, void* current_storage,
                               void* default_storage) {
  absl::string_view type_name = type;
  const size_t colon = type_name.rfind(':');
  if (colon != absl::string_view::npos) type_name.remove_prefix(colon + 1);
  static constexpr base::TypeDescription kOpaque = {"", base::ValueType::kOpaque,
                                                    &base::OpaqueOps};
  const base::TypeDescription* description = &kOpaque;
  for (const base::TypeDescription& known : base::kTypes) {
    if (type_name == known.name) description = &known;
  }
  if (description == &kOpaque) LOG(ERROR) << "Unknown flag type '" << type << "'";
  auto* flag = new base::CommandLineV1Flag(name, help, filename, *description, current_storage,
                                           default_storage);
  absl::flags_internal::RegisterCommandLineFlag(*flag, nullptr);
  base::GlobalFlagAddressToFlagMap().Add(flag);
}

std::string SetCommandLineOptionWithMode(absl::string_view name, absl::string_view value,
                                         FlagSettingMode mode) {
  absl::CommandLineFlag* flag = absl::FindCommandLineFlag(name);
  if (flag == nullptr) return "";
  std::string error;
  if (!absl::flags_internal::PrivateHandleAccessor::ParseFrom(
          *flag, value, static_cast<absl::flags_internal::FlagSettingMode>(mode),
          absl::flags_internal::kProgrammaticChange, error)) {
    return "";
  }
  return absl::StrCat(flag->Name(), " set to ", flag->CurrentValue(), "\n");
}

std::string SetCommandLineOption(absl::string_view name, absl::string_view value) {
  return SetCommandLineOptionWithMode(name, value, SET_FLAGS_VALUE);
}

namespace {

bool IsFlagLibraryParsingFlag(absl::string_view name) {
  return name == "flagfile" || name == "fromenv" || name == "tryfromenv" || name == "undefok";
}

}  // namespace

bool GetCommandLineFlagInfo(absl::string_view name, CommandLineFlagInfo* info) {
  if (info == nullptr) return false;
  const absl::CommandLineFlag* flag = absl::FindCommandLineFlag(name);
  if (flag == nullptr || flag->IsRetired()) return false;
  base::FillCommandLineFlagInfo(*flag, info);
  return true;
}

CommandLineFlagInfo GetCommandLineFlagInfoOrDie(absl::string_view name) {
  CommandLineFlagInfo info;
  if (!GetCommandLineFlagInfo(name, &info)) {
    LOG(FATAL) << "Flag '" << name << "' does not exist";
  }
  return info;
}

void GetAllFlags(std::vector<CommandLineFlagInfo>* flags) {
  absl::flags_internal::ForEachFlag([flags](absl::CommandLineFlag& flag) {
    if (flag.IsRetired()) return;
    CommandLineFlagInfo info;
    base::FillCommandLineFlagInfo(flag, &info);
    // The flag library registers the typed flags that steer its own parsing; they stay
    // reachable by name but are not the program's flags, so the listing leaves them out.
    if (info.type.empty() && IsFlagLibraryParsingFlag(info.name)) return;
    flags->push_back(std::move(info));
  });
  std::sort(flags->begin(), flags->end(),
            [](const CommandLineFlagInfo& a, const CommandLineFlagInfo& b) {
              return a.filename != b.filename ? a.filename < b.filename : a.name < b.name;
            });
}

std::string TheseCommandlineFlagsIntoString(const std::vector<CommandLineFlagInfo>& flags) {
  std::string out;
  for (const CommandLineFlagInfo& flag : flags) {
    absl::StrAppend(&out, "--", flag.name, "=", flag.current_value, "\n");
  }
  return out;
}

std::string CommandlineFlagsIntoString() {
  std::vector<CommandLineFlagInfo> flags;
  GetAllFlags(&flags);
  return TheseCommandlineFlagsIntoString(flags);
}

#define QM_REGISTER_FLAG_VALIDATOR_(type, value_arg)                               \
  bool RegisterFlagValidator(const type* flag, bool (*fn)(const char*, value_arg)) { \
    return base::AddFlagValidator(flag, reinterpret_cast<void*>(fn));               \
  }
QM_REGISTER_FLAG_VALIDATOR_(bool, bool)
QM_REGISTER_FLAG_VALIDATOR_(int32_t, int32_t)
QM_REGISTER_FLAG_VALIDATOR_(int64_t, int64_t)
QM_REGISTER_FLAG_VALIDATOR_(uint64_t, uint64_t)
QM_REGISTER_FLAG_VALIDATOR_(double, double)
QM_REGISTER_FLAG_VALIDATOR_(std::string, const std::string&)
#undef QM_REGISTER_FLAG_VALIDATOR_
