// Flag-file text, FLAGS_ environment variables, command lines, usage help and flag
// descriptions.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "absl/flags/commandlineflag.h"
#include "absl/flags/flag.h"
#include "absl/flags/internal/commandlineflag.h"
#include "absl/flags/internal/parse.h"
#include "absl/flags/internal/private_handle_accessor.h"
#include "absl/flags/internal/program_name.h"
#include "absl/flags/internal/registry.h"
#include "absl/flags/internal/usage.h"
#include "absl/flags/parse.h"
#include "absl/flags/reflection.h"
#include "absl/flags/usage.h"
#include "absl/flags/usage_config.h"
#include "absl/strings/match.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "absl/strings/str_split.h"
#include "base/build_data.h"
#include "base/commandlineflags.h"
#include "base/logging.h"

namespace {

using absl::flags_internal::PrivateHandleAccessor;

bool ignore_undefined_flags = false;

// Never fails when called with only the given name: glob patterns are not supported.
bool MatchPath(absl::string_view, absl::string_view) {
  LOG(INFO) << "MatchPath called when not supported";
  return false;
}

// Records the state of every registered flag; restores it on destruction unless kept.
class FlagStateSaver {
 public:
  FlagStateSaver() {
    absl::flags_internal::ForEachFlag([this](absl::CommandLineFlag& flag) {
      if (auto state = PrivateHandleAccessor::SaveState(flag)) states_.push_back(std::move(state));
    });
  }
  ~FlagStateSaver() {
    if (keep_) return;
    for (const auto& state : states_) state->Restore();
  }
  void KeepNewValues() { keep_ = true; }

 private:
  std::vector<std::unique_ptr<absl::flags_internal::FlagStateInterface>> states_;
  bool keep_ = false;
};

// The state of one parse of flag-file text or environment variables.
class CommandLineFlagParser {
 public:
  explicit CommandLineFlagParser(absl::flags_internal::ValueSource source) : source_(source) {}

  std::string ProcessOptionsFromString(const std::string& text, const char* source_name);
  std::string ProcessSingleOption(absl::CommandLineFlag* flag, absl::string_view value);
  std::string ProcessFromenv(const std::vector<std::string>& names, bool errors_are_fatal);

  // Flag name -> error text, ordered by name.
  std::map<std::string, std::string> errors;
  // Names that no flag has.
  std::map<std::string, std::string> undefined_names;

 private:
  absl::flags_internal::ValueSource source_;
  std::set<std::string> files_being_read_;
};

std::string CommandLineFlagParser::ProcessOptionsFromString(const std::string& text,
                                                            const char* source_name) {
  std::string result;
  bool flags_relevant = true;
  bool in_filename_section = false;
  const std::string full_name = base::ProgramInvocationName();
  const std::string short_name = base::ProgramInvocationShortName();
  size_t position = 0;
  while (position < text.size()) {
    const size_t newline = text.find('\n', position);
    const size_t line_end = newline == std::string::npos ? text.size() : newline;
    absl::string_view line(text.data() + position, line_end - position);
    position = line_end + 1;
    while (!line.empty() && strchr(" \t\n\v\f\r", line.front()) != nullptr) line.remove_prefix(1);
    if (line.empty() || line.front() == '#') continue;

    if (line.front() != '-') {
      // A list of program names: the flags that follow apply only to those programs.
      if (!in_filename_section) {
        in_filename_section = true;
        flags_relevant = false;
      }
      if (flags_relevant) continue;
      for (absl::string_view word : absl::StrSplit(line, ' ')) {
        if (word == full_name || word == short_name) {
          flags_relevant = true;
          break;
        }
        MatchPath(full_name, word);
        MatchPath(short_name, word);
      }
      continue;
    }

    in_filename_section = false;
    if (!flags_relevant) continue;
    line.remove_prefix(1);
    if (!line.empty() && line.front() == '-') line.remove_prefix(1);
    const size_t equals = line.find('=');
    const std::string key(line.substr(0, equals));
    bool has_value = equals != absl::string_view::npos;
    std::string value = has_value ? std::string(line.substr(equals + 1)) : "";

    absl::CommandLineFlag* flag = absl::FindCommandLineFlag(key);
    if (flag == nullptr && absl::StartsWith(key, "no")) {
      absl::CommandLineFlag* negated = absl::FindCommandLineFlag(key.substr(2));
      if (negated != nullptr && negated->IsOfType<bool>()) {
        flag = negated;
        value = "0";
        has_value = true;
      }
    }
    if (flag == nullptr) {
      char message[255];
      snprintf(message, sizeof(message), "ERROR: flag '%s' specified in %s does not exist\n",
               key.c_str(), source_name);
      fputs(message, stderr);
      continue;
    }
    if (!has_value) {
      if (!flag->IsOfType<bool>()) continue;
      value = "1";
    }
    if (flag->IsRetired()) continue;
    result += ProcessSingleOption(flag, value);
  }
  return result;
}

std::string CommandLineFlagParser::ProcessSingleOption(absl::CommandLineFlag* flag,
                                                       absl::string_view value) {
  std::string error;
  if (!PrivateHandleAccessor::ParseFrom(*flag, value, absl::flags_internal::SET_FLAGS_VALUE,
                                        source_, error)) {
    errors[std::string(flag->Name())] = "ERROR: " + error;
    return "";
  }
  std::string result = absl::StrCat(flag->Name(), " set to ", flag->CurrentValue(), "\n");
  if (flag->Name() == "flagfile") {
    for (const std::string& file : absl::GetFlag(FLAGS_flagfile)) {
      // A file that names itself, directly or through others, would recurse without end.
      if (!files_being_read_.insert(file).second) {
        errors["flagfile"] = "ERROR: flag file '" + file + "' is read again from itself\n";
        continue;
      }
      const std::string contents = ReadFileIntoString(file.c_str());
      result += ProcessOptionsFromString(contents, file.c_str());
      files_being_read_.erase(file);
    }
  } else if (flag->Name() == "fromenv") {
    result += ProcessFromenv(absl::GetFlag(FLAGS_fromenv), true);
  } else if (flag->Name() == "tryfromenv") {
    result += ProcessFromenv(absl::GetFlag(FLAGS_tryfromenv), false);
  }
  return result;
}

std::string CommandLineFlagParser::ProcessFromenv(const std::vector<std::string>& names,
                                                  bool errors_are_fatal) {
  std::string result;
  for (const std::string& name : names) {
    absl::CommandLineFlag* flag = absl::FindCommandLineFlag(name);
    if (flag == nullptr) {
      errors[name] = absl::StrFormat(
          "%sUnknown command line flag '%s' (via --fromenv or --tryfromenv)\n", "ERROR: ", name);
      undefined_names[name] = "";
      continue;
    }
    const std::string variable = "FLAGS_" + name;
    const char* value = getenv(variable.c_str());
    if (value == nullptr) {
      if (errors_are_fatal) errors[name] = "ERROR: " + variable + " not found in environment\n";
      continue;
    }
    if (strcmp(value, "fromenv") == 0 || strcmp(value, "tryfromenv") == 0) {
      errors[name] =
          absl::StrFormat("%sinfinite recursion on environment flag '%s'\n", "ERROR: ", value);
      continue;
    }
    if (!flag->IsRetired()) result += ProcessSingleOption(flag, value);
  }
  return result;
}

// Directories whose flags --helppackage lists; built once. The flag library asks for them
// while it holds its registry lock, so they must exist before it first asks.
const std::set<std::string>& HelpPackageDirectories() {
  static const std::set<std::string>* directories = [] {
    auto* dirs = new std::set<std::string>;
    const absl::string_view target = BuildData::BuildTarget();
    if (target.size() > 1 && absl::StartsWith(target, "//")) {
      const size_t colon = target.find(':');
      if (colon != absl::string_view::npos) {
        dirs->insert(absl::StrCat(target.substr(2, colon - 2), "/"));
      }
    }
    absl::flags_internal::ForEachFlag([dirs](absl::CommandLineFlag& flag) {
      if (flag.IsRetired()) return;
      const std::string file = flag.Filename();
      if (!ContainsHelpshortFlags(file)) return;
      const size_t slash = file.find_last_of("/\\");
      dirs->insert(slash == std::string::npos ? "" : file.substr(0, slash + 1));
    });
    return dirs;
  }();
  return *directories;
}

void InstallFlagsUsageConfig() {
  absl::FlagsUsageConfig config;
  config.contains_helpshort_flags = &ContainsHelpshortFlags;
  config.contains_help_flags = &ContainsHelppackageFlags;
  config.contains_helppackage_flags = &ContainsHelppackageFlags;
  config.version_string = &VersionString;
  config.normalize_filename = &CleanFileName;
  absl::SetFlagsUsageConfig(config);
}

// Records the arguments unless that was done, then builds the help-package directories,
// which depend on the program name, before the flag library can ask for them.
void RecordArgvOnce(int argc, char** argv) {
  base::SetArgv(argc, const_cast<const char**>(argv));
  HelpPackageDirectories();
}

// Puts the library's result back into the caller's array. Removing flags leaves only the
// positional arguments (program name first) and answers 1; keeping them moves the flags and
// their values right after the program name, followed by the positional arguments, and
// answers the index of the first positional one.
uint32_t RewriteArgv(int* argc, char*** argv, const std::vector<char*>& positional,
                     bool remove_flags) {
  char** array = *argv;
  const int count = static_cast<int>(positional.size());
  if (remove_flags) {
    for (int i = 0; i < count; ++i) array[*argc - count + i] = positional[i];
    *argv = array + (*argc - count);
    *argc = count;
    return 1;
  }
  const std::set<char*> is_positional(positional.begin() + 1, positional.end());
  std::vector<char*> rewritten = {array[0]};
  for (int i = 1; i < *argc; ++i) {
    if (is_positional.count(array[i]) == 0) rewritten.push_back(array[i]);
  }
  const uint32_t first_positional = static_cast<uint32_t>(rewritten.size());
  rewritten.insert(rewritten.end(), positional.begin() + 1, positional.end());
  std::copy(rewritten.begin(), rewritten.end(), array);
  *argc = static_cast<int>(rewritten.size());
  return first_positional;
}

uint32_t ParseFlags(int* argc, char*** argv, bool remove_flags,
                    absl::flags_internal::UsageFlagsAction usage) {
  InstallFlagsUsageConfig();
  RecordArgvOnce(*argc, *argv);
  const std::vector<char*> positional = absl::flags_internal::ParseCommandLineImpl(
      *argc, *argv, absl::flags_internal::ArgvListAction::kRemoveParsedArgs, usage,
      ignore_undefined_flags ? absl::flags_internal::OnUndefinedFlag::kIgnoreUndefined
                             : absl::flags_internal::OnUndefinedFlag::kAbortIfUndefined);
  return RewriteArgv(argc, argv, positional, remove_flags);
}

void AddString(const std::string& item, std::string* out, int* columns) {
  if (*columns + 1 + static_cast<int>(item.size()) < 80) {
    *out += ' ';
    *columns += 1;
  } else {
    *out += "\n      ";
    *columns = 6;
  }
  *out += item;
  *columns += static_cast<int>(item.size());
}

std::string PrintStringFlagsWithQuotes(const CommandLineFlagInfo& flag, const char* label,
                                       const std::string& value) {
  if (flag.type == "string") return absl::StrFormat("%s: \"%s\"", label, value);
  return absl::StrFormat("%s: %s", label, value);
}

}  // namespace

bool ReadFlagsFromString(const std::string& text, const char*, bool errors_are_fatal) {
  FlagStateSaver saver;
  CommandLineFlagParser parser(absl::flags_internal::kProgrammaticChange);
  parser.ProcessOptionsFromString(text, "user-provided string");
  HandleCommandLineHelpFlags();
  for (const std::string& name : absl::GetFlag(FLAGS_undefok)) {
    if (parser.undefined_names.count(name) != 0) parser.errors[name] = "";
    if (parser.undefined_names.count("no" + name) != 0) parser.errors["no" + name] = "";
  }
  if (ignore_undefined_flags) {
    for (const auto& [name, unused] : parser.undefined_names) parser.errors[name] = "";
  }
  std::string report;
  for (const auto& [name, error] : parser.errors) report += error;
  if (!report.empty()) {
    report += "NOTE: command line flags are disabled in this build\n";
    fputs(report.c_str(), stderr);
    fflush(stderr);
    if (errors_are_fatal) exit(1);
    return false;
  }
  saver.KeepNewValues();
  return true;
}

bool ReadFromFlagsFile(const std::string& filename, const char* prog_name,
                       bool errors_are_fatal) {
  return ReadFlagsFromString(ReadFileIntoString(filename.c_str()), prog_name, errors_are_fatal);
}

std::string ReadFileIntoString(const char* filename) {
  FILE* file = fopen(filename, "r");
  if (file == nullptr) {
    perror(filename);
    exit(1);
  }
  std::string contents;
  char chunk[8092];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) contents.append(chunk, n);
  if (ferror(file)) {
    perror(filename);
    exit(1);
  }
  fclose(file);
  return contents;
}

bool AppendFlagsIntoFile(const std::string& filename, const char* prog_name) {
  FILE* file = fopen(filename.c_str(), "a");
  if (file == nullptr) return false;
  if (prog_name != nullptr) fprintf(file, "%s\n", prog_name);
  std::vector<CommandLineFlagInfo> flags;
  GetAllFlags(&flags);
  for (auto it = flags.begin(); it != flags.end(); ++it) {
    if (it->name == "flagfile") {
      flags.erase(it);
      break;
    }
  }
  fputs(TheseCommandlineFlagsIntoString(flags).c_str(), file);
  fclose(file);
  return true;
}

uint32_t ParseCommandLineFlags(int* argc, char*** argv, bool remove_flags) {
  return ParseFlags(argc, argv, remove_flags,
                    absl::flags_internal::UsageFlagsAction::kHandleUsage);
}

uint32_t ParseCommandLineNonHelpFlags(int* argc, char*** argv, bool remove_flags) {
  return ParseFlags(argc, argv, remove_flags,
                    absl::flags_internal::UsageFlagsAction::kIgnoreUsage);
}

void IgnoreUndefinedCommandLineFlags() { ignore_undefined_flags = true; }

namespace base {
void ParseCommandLine(int* argc, char*** argv) {
  InstallFlagsUsageConfig();
  RecordArgvOnce(*argc, *argv);
  RewriteArgv(argc, argv, absl::ParseCommandLine(*argc, *argv), true);
}
}  // namespace base

void ShowUsageWithFlags(const char*) {
  absl::flags_internal::FlagsHelp(std::cout, "", absl::flags_internal::HelpFormat::kHumanReadable,
                                  absl::ProgramUsageMessage());
}

void ShowUsageWithFlagsRestrict(const char*, const char* restriction) {
  absl::flags_internal::FlagsHelp(std::cout, restriction,
                                  absl::flags_internal::HelpFormat::kHumanReadable,
                                  absl::ProgramUsageMessage());
}

void HandleCommandLineHelpFlags() {
  const int code = absl::flags_internal::HandleUsageFlags(std::cout, absl::ProgramUsageMessage());
  if (code != -1) exit(code);
}

std::string DescribeOneFlag(const CommandLineFlagInfo& flag) {
  const std::string main_part = absl::StrFormat("    -%s (%s)", flag.name, flag.description);
  absl::string_view rest = main_part;
  std::string out;
  int columns = 0;
  while (true) {
    const size_t newline = rest.find('\n');
    if (newline != absl::string_view::npos && static_cast<int>(newline) < 80 - columns) {
      out.append(rest.data(), newline);
      rest.remove_prefix(newline + 1);
      if (rest.empty()) break;
    } else if (newline == absl::string_view::npos &&
               columns + static_cast<int>(rest.size()) < 80) {
      out.append(rest.data(), rest.size());
      break;
    } else {
      int space = 79 - columns;
      while (space > 0 && !isspace(static_cast<unsigned char>(rest[space]))) --space;
      if (space <= 0) {
        out.append(rest.data(), rest.size());
        columns = 80;
        break;
      }
      out.append(rest.data(), space);
      columns += space;
      while (space < static_cast<int>(rest.size()) &&
             isspace(static_cast<unsigned char>(rest[space]))) {
        ++space;
      }
      rest.remove_prefix(space);
      if (rest.empty()) break;
    }
    out += "\n      ";
    columns = 6;
  }
  if (!flag.type.empty()) AddString("type: " + flag.type, &out, &columns);
  AddString(PrintStringFlagsWithQuotes(flag, "default", flag.default_value), &out, &columns);
  if (!flag.is_default) {
    AddString(PrintStringFlagsWithQuotes(flag, "currently", flag.current_value), &out, &columns);
  }
  out += '\n';
  return out;
}

std::string CleanFileName(absl::string_view path) {
  static constexpr absl::string_view kMarker = "/brenvik3/";
  const size_t at = path.rfind(kMarker);
  if (at != absl::string_view::npos) path.remove_prefix(at + kMarker.size());
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  return std::string(path);
}

bool ContainsHelpshortFlags(absl::string_view filename) {
  const size_t slash = filename.find_last_of("/\\");
  if (slash != absl::string_view::npos) filename.remove_prefix(slash + 1);
  const std::string program = absl::flags_internal::ShortProgramInvocationName();
  if (!absl::StartsWith(filename, program)) return false;
  filename.remove_prefix(program.size());
  if (absl::StartsWith(filename, ".")) return true;
  return filename.size() >= 6 &&
         (absl::StartsWith(filename, "-main.") || absl::StartsWith(filename, "_main."));
}

bool ContainsHelppackageFlags(absl::string_view filename) {
  const size_t slash = filename.find_last_of("/\\");
  const absl::string_view directory =
      slash == absl::string_view::npos ? absl::string_view() : filename.substr(0, slash + 1);
  for (const std::string& candidate : HelpPackageDirectories()) {
    if (candidate.empty() || absl::StartsWith(directory, candidate)) return true;
  }
  return false;
}

std::string VersionString() {
  std::string version = absl::StrCat(absl::flags_internal::ShortProgramInvocationName(), "\n",
                                     BuildData::Timestamp(), "\nBuilt by ", BuildData::BuildInfo(),
                                     "\nBuilt as ", BuildData::TargetName());
  if (!BuildData::ClientInfo().empty()) {
    absl::StrAppend(&version, "\nBuilt from ", BuildData::ClientInfo());
  }
  if (!BuildData::BuildLabel().empty()) {
    absl::StrAppend(&version, "\nBuild label: ", BuildData::BuildLabel());
  }
  absl::StrAppend(&version, "\nBuild tool: ", BuildData::BuildTool(), "\nBuild target ",
                  BuildData::BuildTarget(), "\nBuilt with --verifiable=",
                  BuildData::IsVerifiable() ? "true" : "false", "\nBuild FDO type: ",
                  BuildData::FdoType(), "\nBuild LTO type: ", BuildData::LtoType(),
                  "\nNo package-manager version information is available.", "\n");
  return version;
}
