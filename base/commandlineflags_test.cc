#include "base/commandlineflags.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "absl/flags/reflection.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

// Old-style flags of this test, registered as a program would register its own.
bool FLAGS_verbose_mode = false, FLAGS_noverbose_mode = false;
int32_t FLAGS_port = 80, FLAGS_noport = 80;
int64_t FLAGS_big = 1, FLAGS_nobig = 1;
double FLAGS_ratio = 0.5, FLAGS_noratio = 0.5;
std::string FLAGS_label = "plain", FLAGS_nolabel = "plain";
int32_t FLAGS_checked = 10, FLAGS_nochecked = 10;
int32_t FLAGS_assigned = 1, FLAGS_noassigned = 1;
int32_t FLAGS_a = 0, FLAGS_noa = 0;
std::string FLAGS_b = "", FLAGS_nob = "";
char FLAGS_odd = 0, FLAGS_noodd = 0;
bool FLAGS_pkg = false, FLAGS_nopkg = false;

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

std::string StderrOf(const std::function<void()>& statement) {
  testing::internal::CaptureStderr();
  statement();
  return testing::internal::GetCapturedStderr();
}

const FlagRegisterer kFlags[] = {
    {"verbose_mode", "bool", "talk more", "tools/brenvik3/server/main.cc", &FLAGS_verbose_mode,
     &FLAGS_noverbose_mode},
    {"port", "int32", "listening port", "server/net.cc", &FLAGS_port, &FLAGS_noport},
    {"big", "int64", "a large number", "server/net.cc", &FLAGS_big, &FLAGS_nobig},
    {"ratio", "double", nullptr, "server/net.cc", &FLAGS_ratio, &FLAGS_noratio},
    {"label", "std::string", "a name", "server/net.cc", &FLAGS_label, &FLAGS_nolabel},
    {"checked", "int32", "validated", "server/net.cc", &FLAGS_checked, &FLAGS_nochecked},
    {"assigned", "int32", "set directly", "server/net.cc", &FLAGS_assigned, &FLAGS_noassigned},
    {"a", "int32", "", "args.cc", &FLAGS_a, &FLAGS_noa},
    {"b", "string", "", "args.cc", &FLAGS_b, &FLAGS_nob},
    {"pkg", "bool", "", "server/prog.cc", &FLAGS_pkg, &FLAGS_nopkg},
};

bool PositiveBelowThousand(const char*, int32_t value) { return value > 0 && value < 1000; }
bool AnyValue(const char*, int32_t) { return true; }

TEST(CommandLineFlagsTest, LookupsByName) {
  CommandLineFlagInfo info;
  EXPECT_FALSE(GetCommandLineFlagInfo("no_such_flag", &info));
  EXPECT_FALSE(GetCommandLineFlagInfo("port", nullptr));
  EXPECT_EQ(SetCommandLineOption("no_such_flag", "1"), "");
  EXPECT_FALSE(base::SpecifiedOnCommandLine("no_such_flag"));
  // The typed flags of this system carry no name.
  EXPECT_FALSE(GetCommandLineFlagInfo("minloglevel", &info));

  ASSERT_TRUE(GetCommandLineFlagInfo("label", &info));
  EXPECT_EQ(info.type, "string");
  EXPECT_EQ(info.description, "a name");
  EXPECT_EQ(info.current_value, "plain");
  EXPECT_EQ(info.filename, "server/net.cc");
  EXPECT_TRUE(info.is_default);
  EXPECT_EQ(info.flag_ptr, &FLAGS_label);
  ASSERT_TRUE(GetCommandLineFlagInfo("verbose_mode", &info));
  EXPECT_EQ(info.filename, "server/main.cc");
  ASSERT_TRUE(GetCommandLineFlagInfo("ratio", &info));
  EXPECT_EQ(info.description, "");

  std::vector<CommandLineFlagInfo> all;
  GetAllFlags(&all);
  std::vector<std::string> ours;
  for (const auto& flag : all) {
    if (!flag.type.empty()) ours.push_back(flag.filename + ":" + flag.name);
  }
  EXPECT_THAT(ours, ::testing::ElementsAre("args.cc:a", "args.cc:b", "server/main.cc:verbose_mode",
                                           "server/net.cc:assigned", "server/net.cc:big",
                                           "server/net.cc:checked", "server/net.cc:label",
                                           "server/net.cc:port", "server/net.cc:ratio",
                                           "server/prog.cc:pkg"));
  EXPECT_THAT(CommandlineFlagsIntoString(), HasSubstr("--port=80\n--ratio=0.5\n"));
}

TEST(CommandLineFlagsDeathTest, UnknownNameIsFatalForOrDie) {
  EXPECT_DEATH(GetCommandLineFlagInfoOrDie("no_such_flag"), "Flag 'no_such_flag' does not exist");
  EXPECT_EQ(GetCommandLineFlagInfoOrDie("port").name, "port");
}

TEST(CommandLineFlagsTest, SetModesAndErrorTexts) {
  absl::FlagSaver saver;
  EXPECT_EQ(SetCommandLineOption("port", "8080"), "port set to 8080\n");
  EXPECT_EQ(FLAGS_port, 8080);
  EXPECT_FALSE(base::SpecifiedOnCommandLine("port"));  // a programmatic change
  // Once modified, "set if default" leaves the value alone but succeeds.
  EXPECT_EQ(SetCommandLineOptionWithMode("port", "9", SET_FLAG_IF_DEFAULT), "port set to 8080\n");
  // "Set the default" changes the default; the modified value stays.
  EXPECT_EQ(SetCommandLineOptionWithMode("port", "81", SET_FLAGS_DEFAULT), "port set to 8080\n");
  EXPECT_EQ(FLAGS_noport, 81);
  // On an unmodified flag both apply to the value.
  EXPECT_EQ(SetCommandLineOptionWithMode("big", "5", SET_FLAGS_DEFAULT), "big set to 5\n");
  EXPECT_EQ(FLAGS_big, 5);
  EXPECT_EQ(SetCommandLineOptionWithMode("ratio", "2.5", SET_FLAG_IF_DEFAULT),
            "ratio set to 2.5\n");
  EXPECT_EQ(SetCommandLineOption("port", "x"), "");
  EXPECT_EQ(FLAGS_port, 8080);

  // The error texts reach the user through flag-file parsing.
  const std::string out = StderrOf([] {
    EXPECT_FALSE(ReadFlagsFromString("--port=x\n--label=ok\n", "prog", false));
  });
  EXPECT_EQ(out.substr(0, out.find("NOTE")),
            "ERROR: Illegal value 'x' specified for int32 flag 'port'");
  EXPECT_THAT(out, HasSubstr("NOTE: command line flags are disabled in this build\n"));
  // A failed read restores every flag, including the one it did set.
  EXPECT_EQ(FLAGS_label, "plain");
}

TEST(CommandLineFlagsTest, DirectAssignmentCountsAsModified) {
  absl::FlagSaver saver;
  FLAGS_assigned = 7;
  CommandLineFlagInfo info;
  ASSERT_TRUE(GetCommandLineFlagInfo("assigned", &info));
  EXPECT_FALSE(info.is_default);
  EXPECT_EQ(SetCommandLineOptionWithMode("assigned", "3", SET_FLAG_IF_DEFAULT),
            "assigned set to 7\n");
}

TEST(CommandLineFlagsTest, Validators) {
  absl::FlagSaver saver;
  EXPECT_TRUE(RegisterFlagValidator(&FLAGS_checked, &PositiveBelowThousand));
  EXPECT_TRUE(RegisterFlagValidator(&FLAGS_checked, &PositiveBelowThousand));  // same again
  EXPECT_THAT(StderrOf([] { EXPECT_FALSE(RegisterFlagValidator(&FLAGS_checked, &AnyValue)); }),
              HasSubstr("Ignoring SetValidator() for flag 'checked': validate-fn already "
                        "registered"));
  int32_t stray = 0;
  EXPECT_THAT(StderrOf([&] { EXPECT_FALSE(RegisterFlagValidator(&stray, &AnyValue)); }),
              HasSubstr(": no flag found at that address"));

  CommandLineFlagInfo info;
  ASSERT_TRUE(GetCommandLineFlagInfo("checked", &info));
  EXPECT_TRUE(info.has_validator_fn);
  EXPECT_TRUE(base::CommandLineFlagHolder(absl::FindCommandLineFlag("checked")).HasValidatorFn());
  EXPECT_FALSE(base::CommandLineFlagHolder(absl::FindCommandLineFlag("port")).HasValidatorFn());

  EXPECT_EQ(SetCommandLineOption("checked", "5000"), "");
  EXPECT_EQ(FLAGS_checked, 10);
  const std::string out = StderrOf([] { ReadFlagsFromString("--checked=5000\n", "prog", false); });
  EXPECT_THAT(out, HasSubstr("ERROR: Failed validation of new value '5000' for flag 'checked'"));
  EXPECT_EQ(SetCommandLineOption("checked", "500"), "checked set to 500\n");

  // A null validator removes it.
  EXPECT_TRUE(RegisterFlagValidator(&FLAGS_checked, nullptr));
  EXPECT_EQ(SetCommandLineOption("checked", "5000"), "checked set to 5000\n");
}

TEST(CommandLineFlagsTest, FlagSaverRestoresValuesAndValidators) {
  {
    absl::FlagSaver saver;
    SetCommandLineOption("label", "changed");
    FLAGS_port = 1234;
    RegisterFlagValidator(&FLAGS_checked, &PositiveBelowThousand);
  }
  EXPECT_EQ(FLAGS_label, "plain");
  EXPECT_EQ(FLAGS_port, 80);
  CommandLineFlagInfo info;
  ASSERT_TRUE(GetCommandLineFlagInfo("label", &info));
  EXPECT_TRUE(info.is_default);
  ASSERT_TRUE(GetCommandLineFlagInfo("checked", &info));
  EXPECT_FALSE(info.has_validator_fn);
}

struct FlagFileCase {
  const char* name;
  const char* text;
  bool start_verbose;
  bool verbose_mode;
  int32_t port;
};

TEST(CommandLineFlagsTest, FlagFileText) {
  const char* argv[] = {"/usr/bin/myprog"};
  base::ResetArgv(1, argv);
  const FlagFileCase cases[] = {
      {"no before a bool flag", "--noverbose_mode\n", true, false, 80},
      {"bool flag alone", "  \t--verbose_mode\n", false, true, 80},
      {"one dash, comment, blank", "# c\n\n-verbose_mode=true\n--port=81\n", false, true, 81},
      {"int flag without value is ignored", "--port\n", false, false, 80},
      {"other program skipped", "otherprog\n--port=81\n", false, false, 80},
      {"later section names the short name", "otherprog\n--port=81\nfoo myprog\n--port=82\n",
       false, false, 82},
      {"full name matches", "/usr/bin/myprog\n--verbose_mode\n", false, true, 80},
  };
  for (const FlagFileCase& c : cases) {
    absl::FlagSaver saver;
    FLAGS_verbose_mode = c.start_verbose;
    FLAGS_noverbose_mode = c.start_verbose;
    std::string out;
    out = StderrOf([&] { EXPECT_TRUE(ReadFlagsFromString(c.text, "ignored", false)) << c.name; });
    EXPECT_EQ(FLAGS_verbose_mode, c.verbose_mode) << c.name;
    EXPECT_EQ(FLAGS_port, c.port) << c.name;
    EXPECT_THAT(out, Not(HasSubstr("ERROR"))) << c.name;
    FLAGS_noverbose_mode = false;
  }
  FLAGS_verbose_mode = false;
}

TEST(CommandLineFlagsTest, UnknownKeysAreReportedAtOnceButDoNotFail) {
  absl::FlagSaver saver;
  const std::string out = StderrOf([] {
    EXPECT_TRUE(ReadFlagsFromString("--nosuch=1\n--noport\n--port=90\n", "prog", false));
  });
  EXPECT_EQ(out,
            "ERROR: flag 'nosuch' specified in user-provided string does not exist\n"
            "ERROR: flag 'noport' specified in user-provided string does not exist\n");
  EXPECT_EQ(FLAGS_port, 90);
}

TEST(CommandLineFlagsTest, FromEnvironment) {
  absl::FlagSaver saver;
  setenv("FLAGS_port", "123", 1);
  setenv("FLAGS_label", "tryfromenv", 1);
  unsetenv("FLAGS_big");
  std::string out = StderrOf([] { EXPECT_TRUE(ReadFlagsFromString("--fromenv=port\n", "", false)); });
  EXPECT_EQ(FLAGS_port, 123);

  out = StderrOf([] {
    EXPECT_FALSE(ReadFlagsFromString("--fromenv=big,label,nosuch\n", "", false));
  });
  EXPECT_THAT(out,
            HasSubstr("ERROR: FLAGS_big not found in environment\n"
            "ERROR: infinite recursion on environment flag 'tryfromenv'\n"
            "ERROR: Unknown command line flag 'nosuch' (via --fromenv or --tryfromenv)\n"
            "NOTE: command line flags are disabled in this build\n"));

  // tryfromenv ignores missing variables; undefok forgives unknown names.
  out = StderrOf([] {
    EXPECT_TRUE(ReadFlagsFromString("--undefok=nosuch\n--tryfromenv=big,nosuch\n", "", false));
  });
  EXPECT_THAT(out, Not(HasSubstr("ERROR")));
  unsetenv("FLAGS_port");
  unsetenv("FLAGS_label");
}

TEST(CommandLineFlagsDeathTest, FatalFlagErrorsExitWithCodeOne) {
  EXPECT_EXIT(ReadFlagsFromString("--port=x\n", "prog", true), testing::ExitedWithCode(1),
              "Illegal value 'x'");
  EXPECT_EXIT(ReadFileIntoString("/nonexistent/flags"), testing::ExitedWithCode(1),
              "/nonexistent/flags: No such file or directory");
}

TEST(CommandLineFlagsTest, FlagFilesRoundTrip) {
  absl::FlagSaver saver;
  platform::foundation::ScopedTestFolder folder;
  const std::string path = folder.Path("flags_round_trip");
  SetCommandLineOption("label", "from file");
  SetCommandLineOption("port", "4242");
  ASSERT_TRUE(AppendFlagsIntoFile(path, "myprog"));
  const std::string written = ReadFileIntoString(path.c_str());
  EXPECT_EQ(written.substr(0, 7), "myprog\n");
  EXPECT_THAT(written, HasSubstr("--label=from file\n"));
  EXPECT_THAT(written, Not(HasSubstr("--flagfile=")));
  SetCommandLineOption("label", "x");
  SetCommandLineOption("port", "1");
  const char* argv[] = {"myprog"};
  base::ResetArgv(1, argv);
  EXPECT_TRUE(ReadFromFlagsFile(path, "myprog", false));
  EXPECT_EQ(FLAGS_label, "from file");
  EXPECT_EQ(FLAGS_port, 4242);

  // A file larger than one read chunk comes back whole; --flagfile reads it too.
  std::string large = "# " + std::string(20000, 'x') + "\n--port=77\n";
  const std::string large_path = folder.Path("flags_large");
  std::ofstream(large_path) << large;
  EXPECT_EQ(ReadFileIntoString(large_path.c_str()), large);
  EXPECT_TRUE(ReadFlagsFromString("--flagfile=" + large_path + "\n", "", false));
  EXPECT_EQ(FLAGS_port, 77);
}

TEST(CommandLineFlagsTest, AFlagFileThatReadsItselfIsAnErrorNotARecursion) {
  absl::FlagSaver saver;
  platform::foundation::ScopedTestFolder folder;
  const std::string path = folder.Path("flags_loop");
  std::ofstream(path) << "--port=55\n--flagfile=" << path << "\n";
  const std::string out = StderrOf([&] {
    EXPECT_FALSE(ReadFlagsFromString("--flagfile=" + path + "\n", "", false));
  });
  EXPECT_THAT(out, HasSubstr("ERROR: flag file '" + path + "' is read again from itself\n"));
  EXPECT_EQ(FLAGS_port, 80);
}

void ShowHelp(const char* program, const char* help_flag) {
  dup2(STDERR_FILENO, STDOUT_FILENO);
  const char* args[] = {program, help_flag, nullptr};
  int argc = 2;
  char** argv = const_cast<char**>(args);
  ParseCommandLineNonHelpFlags(&argc, &argv, true);
  HandleCommandLineHelpFlags();
  exit(7);  // not reached: the help flag ends the process
}

TEST(CommandLineFlagsDeathTest, HelpFlagsEndTheProcessWithTheInstalledTexts) {
  EXPECT_EXIT(ShowHelp("/bin/quill", "--version"), testing::ExitedWithCode(0),
              "quill\n<fake build info>\nBuilt by <fake build info>@");
  // The package of "prog" is server/: its flags are listed, those of args.cc are not.
  EXPECT_EXIT(ShowHelp("/bin/prog", "--helppackage"), testing::ExitedWithCode(1),
              AllOf(HasSubstr("server/prog.cc"), HasSubstr("listening port"),
                    Not(HasSubstr("args.cc"))));
}

TEST(CommandLineFlagsTest, ArgvBookkeeping) {
  const char* first[] = {"/bin/tool", "-x", "é"};
  base::ResetArgv(3, first);
  EXPECT_STREQ(base::GetArgv0(), "/bin/tool");
  EXPECT_STREQ(base::ProgramInvocationShortName(), "tool");
  EXPECT_EQ(base::GetArgv(), "/bin/tool -x é");
  EXPECT_THAT(base::GetArgvs(), ::testing::ElementsAre("/bin/tool", "-x", "é"));
  int32_t sum = 0;
  for (char c : std::string("/bin/tool -x é")) sum += static_cast<signed char>(c);
  EXPECT_EQ(base::GetArgvSum(), sum);
  EXPECT_LT(sum, std::string("/bin/tool -x ").size() * 127);  // the é bytes count negative

  // SetArgv records only once; ResetArgv always replaces.
  const char* second[] = {"other"};
  base::SetArgv(1, second);
  base::SetArgv(1, first);
  EXPECT_STREQ(base::GetArgv0(), "other");
  base::ResetArgv(3, first);
  EXPECT_STREQ(base::GetArgv0(), "/bin/tool");
}

// Parses prog --a=1 x --b y and prints what the caller's array holds afterwards.
void ParseExampleAndReport(bool remove_flags) {
  char prog[] = "prog", a[] = "--a=1", x[] = "x", b[] = "--b", y[] = "y";
  char* args[] = {prog, a, x, b, y, nullptr};
  int argc = 5;
  char** argv = args;
  const uint32_t first = remove_flags ? ParseCommandLineNonHelpFlags(&argc, &argv, true)
                                      : ParseCommandLineFlags(&argc, &argv, false);
  std::string seen;
  for (int i = 0; i < argc; ++i) seen += std::string(argv[i]) + " ";
  fprintf(stderr, "[%u|%s|at %d|a=%d b=%s|%d]", first, seen.c_str(),
          static_cast<int>(argv - args), FLAGS_a, FLAGS_b.c_str(),
          base::SpecifiedOnCommandLine("a"));
  exit(0);
}

TEST(CommandLineFlagsDeathTest, ArgvRewrite) {
  // Parsing marks the flag library's registry, so each layout runs in its own process.
  EXPECT_EXIT(ParseExampleAndReport(false), testing::ExitedWithCode(0),
              "\\[4\\|prog --a=1 --b y x \\|at 0\\|a=1 b=y\\|1\\]");
  EXPECT_EXIT(ParseExampleAndReport(true), testing::ExitedWithCode(0),
              "\\[1\\|prog x \\|at 3\\|a=1 b=y\\|1\\]");
}

TEST(CommandLineFlagsTest, DescribeOneFlagWraps) {
  CommandLineFlagInfo flag;
  flag.name = "port";
  flag.description = "the port this server listens on for incoming requests from clients of all "
                     "kinds";
  flag.type = "int32";
  flag.default_value = "80";
  flag.current_value = "81";
  flag.is_default = false;
  EXPECT_EQ(DescribeOneFlag(flag),
            "    -port (the port this server listens on for incoming requests from clients\n"
            "      of all kinds) type: int32 default: 80 currently: 81\n");

  // A word longer than a continuation line is printed unbroken and the items start on a new
  // line.
  flag.name = "path";
  flag.description = "short " + std::string(90, 'p');
  flag.type = "string";
  flag.default_value = "/tmp";
  flag.is_default = true;
  EXPECT_EQ(DescribeOneFlag(flag),
            "    -path (short\n      " + std::string(90, 'p') +
                ")\n      type: string default: \"/tmp\"\n");

  // Newlines in the description are kept as line breaks.
  flag.description = "first\nsecond";
  flag.type = "";
  EXPECT_EQ(DescribeOneFlag(flag), "    -path (first\n      second) default: /tmp\n");
}

TEST(CommandLineFlagsTest, UsageConfiguration) {
  EXPECT_EQ(CleanFileName("/home/x/brenvik3/a/brenvik3/base/flags.cc"), "base/flags.cc");
  EXPECT_EQ(CleanFileName("//abs/path.cc"), "abs/path.cc");
  EXPECT_EQ(CleanFileName("/"), "");

  const char* argv[] = {"/usr/bin/prog"};
  base::ResetArgv(1, argv);
  struct {
    const char* file;
    bool passes;
  } cases[] = {{"dir/prog.src", true},      {"dir/prog_main.src", true},
               {"dir/prog-main.src", true}, {"dir\\prog.cc", true},
               {"dir/prog", false},         {"dir/programs.src", false},
               {"dir/prog_main", false},    {"dir/other.cc", false}};
  for (const auto& c : cases) EXPECT_EQ(ContainsHelpshortFlags(c.file), c.passes) << c.file;

  const std::string version = VersionString();
  EXPECT_EQ(version.substr(0, 5), "prog\n");
  EXPECT_THAT(version, HasSubstr("\nBuilt by <fake build info>@<fake build info>:<fake build "
                                 "info>\nBuilt as <fake build info>\n"));
  EXPECT_THAT(version, HasSubstr("\nBuild target <fake build info>\nBuilt with "
                                 "--verifiable=false\n"));
  EXPECT_EQ(version.back(), '\n');
}

void RegisterOddFlagAndReport() {
  FlagRegisterer odd("odd", "MyType", "", "odd.cc", &FLAGS_odd, &FLAGS_noodd);
  CommandLineFlagInfo info;
  const bool listed = GetCommandLineFlagInfo("odd", &info) && info.type.empty();
  exit(listed && SetCommandLineOption("odd", "1").empty() ? 0 : 2);
}

TEST(CommandLineFlagsTest, UsageListsTheFlagsOfMatchingFiles) {
  testing::internal::CaptureStdout();
  ShowUsageWithFlagsRestrict("prog", "server/net");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_THAT(out, HasSubstr("listening port"));
  EXPECT_THAT(out, Not(HasSubstr("talk more")));
}

void ReportHelpPackages() {
  const char* args[] = {"/bin/prog", nullptr};
  int argc = 1;
  char** argv = const_cast<char**>(args);
  ParseCommandLineNonHelpFlags(&argc, &argv, true);
  // The main file of "prog" is server/prog.cc, so the package is server/.
  fprintf(stderr, "[%d%d%d%d]", ContainsHelppackageFlags("server/net.cc"),
          ContainsHelppackageFlags("server/sub/x.cc"), ContainsHelppackageFlags("args.cc"),
          ContainsHelppackageFlags("other/server/x.cc"));
  exit(0);
}

TEST(CommandLineFlagsDeathTest, HelpPackageIsTheDirectoryOfTheMainFile) {
  EXPECT_EXIT(ReportHelpPackages(), testing::ExitedWithCode(0), "\\[1100\\]");
}

TEST(CommandLineFlagsDeathTest, RegistrationOfAnUnknownTypeIsLoggedAndKept) {
  EXPECT_EXIT(RegisterOddFlagAndReport(), testing::ExitedWithCode(0),
              "Unknown flag type 'MyType'");
}

void RetireFlagAndReport() {
  base::RetiredFlag_int32("old_knob");
  CommandLineFlagInfo info;
  const bool hidden = !GetCommandLineFlagInfo("old_knob", &info);
  const bool accepted = ReadFlagsFromString("--old_knob=3\n", "", false);
  exit(hidden && accepted ? 0 : 2);
}

TEST(CommandLineFlagsDeathTest, RetiredFlagsAreAcceptedAndIgnored) {
  EXPECT_EXIT(RetireFlagAndReport(), testing::ExitedWithCode(0), "");
}

}  // namespace
