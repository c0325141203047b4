// Finding, setting, validating, saving, listing and describing flags by name, and parsing
// command lines, flag files and FLAGS_ environment variables.
//
// This is a layer over Abseil's flag library. Old-style flags (plain FLAGS_<name> variables)
// join its registry through FlagRegisterer; the library's own typed flags are found as they
// are. The typed flags of this system have their names stripped and never register, so
// nothing here can reach them.
//
//   int32_t FLAGS_port = 80, FLAGS_noport = 80;
//   static FlagRegisterer port_flag("port", "int32", "listening port", __FILE__,
//                                   &FLAGS_port, &FLAGS_noport);
//   RegisterFlagValidator(&FLAGS_port, [](const char*, int32_t v) { return v > 0; });
//   SetCommandLineOption("port", "8080");   // "port set to 8080\n"
//   SetCommandLineOption("port", "-1");     // "" (the validator refused), FLAGS_port stays
//
// Only the process start-up routine parses; the library itself reads no command line, file
// or environment variable.

#ifndef BASE_COMMANDLINEFLAGS_H_
#define BASE_COMMANDLINEFLAGS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "absl/flags/commandlineflag.h"
#include "absl/strings/string_view.h"

enum FlagSettingMode {
  // Set the value.
  SET_FLAGS_VALUE = 0,
  // Set the value only when it was never set (or assigned) before.
  SET_FLAG_IF_DEFAULT = 1,
  // Set the default; also the value when it was never set before.
  SET_FLAGS_DEFAULT = 2,
};

// The listing record of one flag.
struct CommandLineFlagInfo {
  std::string name;
  // "bool", "int32", "int64", "uint64", "double" or "string" for an old-style flag; empty
  // for a typed or retired one.
  std::string type;
  std::string description;
  std::string current_value;
  std::string default_value;
  std::string filename;
  bool has_validator_fn = false;
  bool is_default = true;
  // The FLAGS_<name> variable of an old-style flag; null for a typed flag.
  const void* flag_ptr = nullptr;
};

// Registers one old-style flag whose value lives in `current_storage` and whose default in
// `default_storage`. An unknown type name is logged and registered with a value that has no
// text form.
class FlagRegisterer {
 public:
  FlagRegisterer(const char* name, const char* type, const char* help, const char* filename,
                 void* current_storage, void* default_storage);
};

// "<name> set to <value>\n", or "" when no flag has the name or the value is refused.
std::string SetCommandLineOptionWithMode(absl::string_view name, absl::string_view value,
                                         FlagSettingMode mode);
std::string SetCommandLineOption(absl::string_view name, absl::string_view value);

bool GetCommandLineFlagInfo(absl::string_view name, CommandLineFlagInfo* info);
// Dies with "Flag '<name>' does not exist" when there is no such flag.
CommandLineFlagInfo GetCommandLineFlagInfoOrDie(absl::string_view name);
// Appends every flag that is not retired, then sorts by file name and flag name. The flags
// that the flag library registers for its own parsing (flagfile, fromenv, tryfromenv,
// undefok) are left out: a program that registers none of its own lists nothing.
void GetAllFlags(std::vector<CommandLineFlagInfo>* flags);
// "--<name>=<value>\n" per flag.
std::string CommandlineFlagsIntoString();
std::string TheseCommandlineFlagsIntoString(const std::vector<CommandLineFlagInfo>& flags);

// Flag-file text: "--name=value" lines, "#" comments, and lines of program names that make
// the flags after them apply only to those programs. Errors are written to standard error;
// then the process exits (errors_are_fatal) or every flag is restored and the answer is false.
bool ReadFlagsFromString(const std::string& text, const char* prog_name, bool errors_are_fatal);
bool ReadFromFlagsFile(const std::string& filename, const char* prog_name,
                       bool errors_are_fatal);
bool AppendFlagsIntoFile(const std::string& filename, const char* prog_name);
// The whole file; an unreadable file ends the process with code 1.
std::string ReadFileIntoString(const char* filename);

// `flag` is the address of the FLAGS_<name> variable. False (and a warning) when no
// old-style flag lives there or a different validator is installed already; a null
// validator removes the installed one.
bool RegisterFlagValidator(const bool* flag, bool (*validate_fn)(const char*, bool));
bool RegisterFlagValidator(const int32_t* flag, bool (*validate_fn)(const char*, int32_t));
bool RegisterFlagValidator(const int64_t* flag, bool (*validate_fn)(const char*, int64_t));
bool RegisterFlagValidator(const uint64_t* flag, bool (*validate_fn)(const char*, uint64_t));
bool RegisterFlagValidator(const double* flag, bool (*validate_fn)(const char*, double));
bool RegisterFlagValidator(const std::string* flag,
                           bool (*validate_fn)(const char*, const std::string&));

// Parses with help flags acted on (or, NonHelp, only parsed) and rewrites argv; see the
// definitions for the two layouts.
uint32_t ParseCommandLineFlags(int* argc, char*** argv, bool remove_flags);
uint32_t ParseCommandLineNonHelpFlags(int* argc, char*** argv, bool remove_flags);
// Undefined flags are ignored by every later parse.
void IgnoreUndefinedCommandLineFlags();

void ShowUsageWithFlags(const char* argv0);
void ShowUsageWithFlagsRestrict(const char* argv0, const char* restriction);
// Acts on --help and its relatives; exits when one was given.
void HandleCommandLineHelpFlags();
// The flag's name and description wrapped at 80 columns, then its type, default and (when
// changed) current value.
std::string DescribeOneFlag(const CommandLineFlagInfo& flag);

// The usage configuration this layer installs into the flag library.
std::string CleanFileName(absl::string_view path);
bool ContainsHelpshortFlags(absl::string_view filename);
bool ContainsHelppackageFlags(absl::string_view filename);
std::string VersionString();

namespace base {

void SetArgv(int argc, const char** argv);
void ResetArgv(int argc, const char** argv);
const std::vector<std::string>& GetArgvs();
std::string GetArgv();
const char* GetArgv0();
const char* ProgramInvocationName();
const char* ProgramInvocationShortName();
int32_t GetArgvSum();

bool SpecifiedOnCommandLine(absl::string_view name);
void ParseCommandLine(int* argc, char*** argv);

// Registers a retired flag: parsing accepts and ignores its name.
void RetiredFlag_bool(const char* name);
void RetiredFlag_int32(const char* name);
void RetiredFlag_int64(const char* name);
void RetiredFlag_uint64(const char* name);
void RetiredFlag_double(const char* name);
void RetiredFlag_string(const char* name);

class CommandLineFlagHolder {
 public:
  explicit CommandLineFlagHolder(const absl::CommandLineFlag* flag) : flag_(flag) {}
  // False for a typed flag.
  bool HasValidatorFn() const;

 private:
  const absl::CommandLineFlag* flag_;
};

}  // namespace base

#endif  // BASE_COMMANDLINEFLAGS_H_
