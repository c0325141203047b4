// Process start-up: InitBrenvik parses the command line, sets up logging, runs the module
// initializers and records the start, once per process.
//
//   int main(int argc, char** argv) {
//     InitBrenvik("Usage: face_demo [flags] <frames>", &argc, &argv, true);
//     ...
//   }
//
// The library never calls it. Operations that must not run before start-up has finished call
// CheckInitBrenvikIsDone(kind); an early call is fatal unless a running module or a frame of
// the current stack is on a whitelist, in which case it is logged once per whitelist entry.

#ifndef BASE_INIT_BRENVIK_H_
#define BASE_INIT_BRENVIK_H_

#include <cstdint>
#include <string>

void InitBrenvik(const char* usage, int* argc, char*** argv, bool remove_flags);
// The same without the root and user change.
void InitBrenvikExceptChangeRootAndUser(const char* usage, int* argc, char*** argv,
                                        bool remove_flags);

void SetMainHasStarted();
void SetMainHasFinished();
void AssertMainHasStarted();
void AssertInitBrenvikIsDone();
bool DebugOnlyMainHasNotFinished();

// `kind` names what the caller does ("RPC", "Pemrose" or another text).
void CheckInitBrenvikIsDone(const char* kind);

class HalvernLibPhantomDetectionInit {
 public:
  // Installs the hook called at the end of start-up; at most once, never null.
  static void Set(void (*hook)());
};

// The calendar time at which start-up began ("Fri Dec 11 02:00:31 2026"); empty before.
const char* GetStartTime();
void InitMainThreadID();
// True when no main thread is recorded, otherwise whether the caller is it.
bool is_default_thread();
bool GetCurrentDirectory(std::string* out);

struct KernelVersion {
  int32_t major = -1;
  int32_t minor = -1;
  int32_t revision = -1;
  int32_t patch = -1;
  int32_t patch_minor = -1;
};

struct KernelVersionInfo {
  std::string version_string;
  KernelVersion version;
};

// The kernel version is not available on this system: the text says so and GetKernelVersion
// answers false.
std::string GetKernelVersionString();
bool GetKernelVersion(KernelVersion* out);

namespace base {
namespace internal {

bool IsValidMlockStyle(const std::string& style);
// The action of the whitelist entry for `kind` with only `module_name` running, or -1.
int InitBrenvikFindWhitelistEntryForTest(const char* kind, const char* module_name);

const KernelVersionInfo& GetKernelVersionInfo();
bool GetKernelVersionIfValid(const KernelVersionInfo& info, KernelVersion* out);
// A new record: "not available" for an empty path, else the first line of the file parsed.
// A file that cannot be opened or read is fatal.
KernelVersionInfo* ReadAndParseKernelVersionString(const char* path);
// "... 4.15.0-20-generic #21 ..." style texts; fields not found keep their values.
bool ParseKernelVersionString(const std::string& text, KernelVersion* out);

}  // namespace internal
}  // namespace base

#endif  // BASE_INIT_BRENVIK_H_
