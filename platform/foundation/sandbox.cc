#include "platform/foundation/sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace platform::foundation {
namespace {

struct SandboxState {
  std::mutex mutex;
  std::string root;  // empty: the default root
  bool standard_folders_made = false;
  std::map<std::string, std::string> app_groups;
};

SandboxState& State() {
  static auto* state = new SandboxState();
  return *state;
}

std::string DefaultRoot() { return "/tmp/quillmere-sandbox." + std::to_string(getpid()); }

void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
    if (slash == std::string::npos) break;
  }
}

// The current root; makes its standard folders the first time. Call under the state's mutex.
std::string CurrentRootLocked(SandboxState& state) {
  std::string root = state.root.empty() ? DefaultRoot() : state.root;
  if (!state.standard_folders_made) {
    state.standard_folders_made = true;
    for (const char* folder : {"/Documents", "/Library/Caches", "/Library/Preferences", "/tmp"}) {
      MakeFolders(root + folder);
    }
  }
  return root;
}

std::string CurrentRoot() {
  SandboxState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return CurrentRootLocked(state);
}

}  // namespace

void SetSandboxRoot(const std::string& root) {
  SandboxState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::string cleaned = root;
  while (cleaned.size() > 1 && cleaned.back() == '/') cleaned.pop_back();
  state.root = cleaned;
  state.standard_folders_made = false;
}

std::string SandboxDirectory(NSSearchPathDirectory directory) {
  switch (directory) {
    case NSLibraryDirectory:
      return CurrentRoot() + "/Library";
    case NSDocumentDirectory:
      return CurrentRoot() + "/Documents";
    case NSCachesDirectory:
      return CurrentRoot() + "/Library/Caches";
    case NSApplicationSupportDirectory:
      return CurrentRoot() + "/Library/Application Support";
    case NSItemReplacementDirectory:
      break;
  }
  return std::string();
}

std::string SandboxPreferencesDirectory() { return CurrentRoot() + "/Library/Preferences"; }

void SetAppGroupContainer(const std::string& groupIdentifier, const std::string& path) {
  SandboxState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (path.empty()) {
    state.app_groups.erase(groupIdentifier);
  } else {
    state.app_groups[groupIdentifier] = path;
  }
}

std::optional<std::string> AppGroupContainer(const std::string& groupIdentifier) {
  SandboxState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  auto it = state.app_groups.find(groupIdentifier);
  if (it == state.app_groups.end()) return std::nullopt;
  return it->second;
}

}  // namespace platform::foundation

std::vector<std::string> NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                             unsigned long domainMask,
                                                             bool /*expandTilde*/) {
  if ((domainMask & NSUserDomainMask) == 0) return {};
  std::string path = platform::foundation::SandboxDirectory(directory);
  if (path.empty()) return {};
  return {path};
}

std::string NSHomeDirectory() { return platform::foundation::CurrentRoot(); }

std::string NSTemporaryDirectory() { return platform::foundation::CurrentRoot() + "/tmp/"; }
