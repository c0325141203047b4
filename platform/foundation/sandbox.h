// The application sandbox: where the standard folders of this process live.
//
// An app on the platform owns a home folder with fixed sub-folders. Here the home folder is set
// by the host or the test, never read from the environment:
//
//   platform::foundation::SetSandboxRoot("/var/lib/face_demo");
//   NSSearchPathForDirectoriesInDomains(NSCachesDirectory, NSUserDomainMask, true);
//   // {"/var/lib/face_demo/Library/Caches"}
//
// Layout below the root:
//   Documents/                        NSDocumentDirectory
//   Library/                          NSLibraryDirectory
//   Library/Caches/                   NSCachesDirectory
//   Library/Application Support/      NSApplicationSupportDirectory (made only when asked for)
//   Library/Preferences/              user-defaults files (ns_user_defaults.h)
//   tmp/                              NSTemporaryDirectory()
//
// Until a root is set the root is "/tmp/quillmere-sandbox.<pid>", a folder of this process
// alone (nothing removes it at exit). Documents, Library/Caches, Library/Preferences and tmp are
// created, as far as possible, the first time a folder of a root is asked for; a failure there
// is not reported until a caller uses the folder.
//
// Only the user domain has folders: other domain masks answer nothing.
//
// App-group containers (folders shared between the apps of one maker) exist only when set with
// SetAppGroupContainer; without one the process lacks the entitlement for that group.
#ifndef PLATFORM_FOUNDATION_SANDBOX_H_
#define PLATFORM_FOUNDATION_SANDBOX_H_

#include <optional>
#include <string>
#include <vector>

enum NSSearchPathDirectory : unsigned long {
  NSLibraryDirectory = 5,
  NSDocumentDirectory = 9,
  NSCachesDirectory = 13,
  NSApplicationSupportDirectory = 14,
  NSItemReplacementDirectory = 99,
};

enum NSSearchPathDomainMask : unsigned long {
  NSUserDomainMask = 1,
  NSLocalDomainMask = 2,
  NSNetworkDomainMask = 4,
  NSSystemDomainMask = 8,
  NSAllDomainsMask = 0x0ffff,
};

// The folders of `directory` in the domains of `domainMask`: one path for the user domain,
// none otherwise (also none for NSItemReplacementDirectory, which exists only per call of
// NSFileManager::URLForDirectory). `expandTilde` is accepted for the platform's shape; paths
// here never start with "~".
std::vector<std::string> NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                             unsigned long domainMask,
                                                             bool expandTilde);

// The sandbox's root folder.
std::string NSHomeDirectory();

// The sandbox's temporary folder, ending with "/".
std::string NSTemporaryDirectory();

namespace platform::foundation {

// Makes `root` the sandbox's root folder (an absolute path); an empty string restores the
// per-process default. Folders already handed out keep their old paths.
void SetSandboxRoot(const std::string& root);

// The folder of `directory` below the current root, with no trailing "/" (empty for
// NSItemReplacementDirectory). Makes the standard folders of a new root first.
std::string SandboxDirectory(NSSearchPathDirectory directory);

// The folder that holds one file per user-defaults suite.
std::string SandboxPreferencesDirectory();

// Gives the process the container folder `path` for the app group `groupIdentifier`; an empty
// path takes it away again.
void SetAppGroupContainer(const std::string& groupIdentifier, const std::string& path);

// The container of an app group, or none when the process has no container for it.
std::optional<std::string> AppGroupContainer(const std::string& groupIdentifier);

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_SANDBOX_H_
