#include "platform/foundation/ns_bundle.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <utility>

#include "platform/foundation/ns_file_manager.h"

const char* const kCFBundleIdentifierKey = "CFBundleIdentifier";
const char* const kCFBundleVersionKey = "CFBundleVersion";

namespace {

struct BundleRegistry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<NSBundle>> bundles;  // by cleaned folder path
  std::string main_path;                                     // empty: the executable's folder
  std::string code_path;                                     // empty: ask dladdr
};

BundleRegistry& Registry() {
  static auto* registry = new BundleRegistry();
  return *registry;
}

std::string FolderOf(const std::string& file) {
  size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

std::string ExecutableFolder() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  return FolderOf(std::string(path, static_cast<size_t>(length)));
}

// An absolute path without "." and ".." components or symbolic links, when it exists.
std::string CleanPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) return resolved;
  std::string cleaned = path;
  while (cleaned.size() > 1 && cleaned.back() == '/') cleaned.pop_back();
  return cleaned;
}

std::shared_ptr<NSBundle> SharedBundle(const std::string& path) {
  struct stat status {};
  if (path.empty() || stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return nullptr;
  }
  std::string key = CleanPath(path);
  BundleRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto& bundle = registry.bundles[key];
  if (bundle == nullptr) bundle = std::make_shared<NSBundle>(key);
  return bundle;
}

}  // namespace

std::shared_ptr<NSBundle> NSBundle::mainBundle() {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(Registry().mutex);
    path = Registry().main_path;
  }
  return SharedBundle(path.empty() ? ExecutableFolder() : path);
}

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(const std::string& path) {
  return SharedBundle(path);
}

std::shared_ptr<NSBundle> NSBundle::bundleWithURL(const NSURL& url) {
  return url.isFileURL() ? SharedBundle(url.path()) : nullptr;
}

std::shared_ptr<NSBundle> NSBundle::bundleForAddress(const void* address) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(Registry().mutex);
    path = Registry().code_path;
  }
  if (path.empty()) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return nullptr;
    std::string image = info.dli_fname;
    // The main program may be reported by the name it was started with.
    path = image.find('/') == std::string::npos ? ExecutableFolder() : FolderOf(image);
  }
  return SharedBundle(path);
}

std::shared_ptr<NSURL> NSBundle::bundleURL() const { return NSURL::fileURLWithPath(path_, true); }

std::optional<std::string> NSBundle::pathForResource(const std::string& name,
                                                     const std::string& extension,
                                                     const std::string& subdirectory) const {
  if (name.empty()) return std::nullopt;
  std::string folder = path_;
  if (!subdirectory.empty()) folder += "/" + subdirectory;
  std::string path = folder + "/" + name + (extension.empty() ? "" : "." + extension);
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::nullopt;
  return path;
}

std::optional<std::string> NSBundle::pathForResource(const std::string& name,
                                                     const std::string& extension) const {
  return pathForResource(name, extension, "");
}

std::shared_ptr<NSURL> NSBundle::URLForResource(const std::string& name,
                                                const std::string& extension,
                                                const std::string& subdirectory) const {
  auto path = pathForResource(name, extension, subdirectory);
  return path.has_value() ? NSURL::fileURLWithPath(*path) : nullptr;
}

std::shared_ptr<NSURL> NSBundle::URLForResource(const std::string& name,
                                                const std::string& extension) const {
  return URLForResource(name, extension, "");
}

std::vector<std::string> NSBundle::preferredLocalizations() const {
  std::vector<std::string> localizations;
  auto entries = NSFileManager::defaultManager()->contentsOfDirectoryAtPath(path_, nullptr);
  for (const std::string& entry : entries.value_or(std::vector<std::string>())) {
    constexpr std::string_view kSuffix = ".lproj";
    if (entry.size() <= kSuffix.size() ||
        entry.compare(entry.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
      continue;
    }
    std::string name = entry.substr(0, entry.size() - kSuffix.size());
    if (name != "Base") localizations.push_back(name);
  }
  return localizations;
}

NSInfoDictionary NSBundle::infoDictionary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return info_;
}

std::any NSBundle::objectForInfoDictionaryKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = info_.find(key);
  return it == info_.end() ? std::any() : it->second;
}

std::string NSBundle::bundleIdentifier() const {
  std::any value = objectForInfoDictionaryKey(kCFBundleIdentifierKey);
  const auto* identifier = std::any_cast<std::string>(&value);
  return identifier == nullptr ? std::string() : *identifier;
}

namespace platform::foundation {

void SetMainBundlePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(Registry().mutex);
  Registry().main_path = path;
}

void SetCodeBundlePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(Registry().mutex);
  Registry().code_path = path;
}

void SetInfoDictionary(NSBundle& bundle, NSInfoDictionary info) {
  std::lock_guard<std::mutex> lock(bundle.mutex_);
  bundle.info_ = std::move(info);
}

}  // namespace platform::foundation
