#include "face_ml/resource_util.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "base/logging.h"
#include "base/status_macros.h"
#include "face_ml/file_path.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/ns_file_manager.h"

namespace kaldren {
namespace {

// Appends `component` to `directory` as the platform's path rules do: one slash between them,
// runs of slashes collapsed, no trailing slash.
std::string AppendPathComponent(const std::string& directory, const std::string& component) {
  std::string path = file::CollapseSlashes(file::JoinPath(directory, component));
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The file `path` names in the resource folder of the bundle holding this code.
util::StatusOr<std::string> LookUpInBundle(const std::string& path) {
  std::shared_ptr<NSBundle> bundle =
      NSBundle::bundleForAddress(reinterpret_cast<const void*>(&PathToResourceAsFile));
  RET_CHECK(bundle != nullptr) << "cannot find file: " << path;
  const std::string resolved_ns_path = AppendPathComponent(bundle->resourcePath(), path);
  // Every miss writes its ERROR line, also one that the retry with the last path component
  // then recovers.
  RET_CHECK_AS(NSFileManager::defaultManager()->fileExistsAtPath(resolved_ns_path),
               "[[NSFileManager defaultManager] fileExistsAtPath:resolved_ns_path]")
      << "cannot find file: " << resolved_ns_path;
  return resolved_ns_path;
}

}  // namespace

util::StatusOr<std::string> PathToResourceAsFile(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  util::StatusOr<std::string> found = LookUpInBundle(path);
  if (found.ok()) {
    LOG(INFO) << "Successfully loaded: " << path;
    return found;
  }
  const size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return found;
  const std::string last_component = path.substr(separator + 1);
  found = LookUpInBundle(last_component);
  if (found.ok()) LOG(INFO) << "Successfully loaded: " << last_component;
  return found;
}

absl::Status GetResourceContents(const std::string& path, std::string* output) {
  ASSIGN_OR_RETURN(std::string full_path, PathToResourceAsFile(path));
  std::unique_ptr<FILE, int (*)(FILE*)> stream(std::fopen(full_path.c_str(), "r"), &std::fclose);
  const absl::Status cannot_open = absl::InternalError("cannot open file: " + full_path);
  if (stream == nullptr) return cannot_open;
  std::string contents;
  char buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), stream.get())) > 0) contents.append(buffer, n);
  // A directory opens but does not read; a device error stops the read early.
  if (std::ferror(stream.get())) return cannot_open;
  *output = std::move(contents);
  return absl::OkStatus();
}

}  // namespace kaldren
