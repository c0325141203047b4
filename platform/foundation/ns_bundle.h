// NSBundle: a folder of resources with a dictionary of facts about it (its Info.plist values).
//
// A bundle here is just a folder; its resources are the files below it, and the resource
// folder is the bundle folder itself (the flat layout of the platform's app bundles). Bundles
// are shared per folder: asking twice for the same path gives the same object, so values set on
// its info dictionary are seen by every user.
//
//   auto resources = NSBundle::bundleWithPath("/opt/app/OstrellFaceResources.bundle");
//   auto graph = resources->URLForResource("sorvanti_mesh_468_video", "binarypb");
//   auto model = resources->pathForResource("face", "tflite", "models");   // models/face.tflite
//
// Which folder is which bundle:
//   - the main bundle is the folder set with platform::foundation::SetMainBundlePath, by
//     default the folder that holds the running executable;
//   - `bundleForAddress(&symbol)` stands in for "the bundle that contains this class": the
//     folder that holds the executable or shared library whose code or data contains the
//     address (found with dladdr), unless platform::foundation::SetCodeBundlePath names a
//     folder for every such question (tests point it at a folder of generated resources).
//
// Info.plist values come from platform::foundation::SetInfoDictionary; a bundle starts with an
// empty dictionary. Every method may be called from any thread.
#ifndef PLATFORM_FOUNDATION_NS_BUNDLE_H_
#define PLATFORM_FOUNDATION_NS_BUNDLE_H_

#include <any>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ns_url.h"

// Info-dictionary keys.
extern const char* const kCFBundleIdentifierKey;  // "CFBundleIdentifier"
extern const char* const kCFBundleVersionKey;     // "CFBundleVersion"

using NSInfoDictionary = std::map<std::string, std::any>;

class NSBundle;

namespace platform::foundation {
// Replaces the bundle's Info.plist values.
void SetInfoDictionary(NSBundle& bundle, NSInfoDictionary info);
}  // namespace platform::foundation

class NSBundle {
 public:
  static std::shared_ptr<NSBundle> mainBundle();
  // Null when `path` is not an existing folder.
  static std::shared_ptr<NSBundle> bundleWithPath(const std::string& path);
  static std::shared_ptr<NSBundle> bundleWithURL(const NSURL& url);
  // The bundle of the code image that contains `address` (see above); null when none is found.
  static std::shared_ptr<NSBundle> bundleForAddress(const void* address);

  const std::string& bundlePath() const { return path_; }
  const std::string& resourcePath() const { return path_; }
  std::shared_ptr<NSURL> bundleURL() const;
  std::shared_ptr<NSURL> resourceURL() const { return bundleURL(); }

  // The path of the file "<name>.<extension>" (just "<name>" for an empty extension) in the
  // resource folder or in its sub-folder `subdirectory`; none when no such item exists.
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& extension) const;
  std::optional<std::string> pathForResource(const std::string& name, const std::string& extension,
                                             const std::string& subdirectory) const;
  std::shared_ptr<NSURL> URLForResource(const std::string& name,
                                        const std::string& extension) const;
  std::shared_ptr<NSURL> URLForResource(const std::string& name, const std::string& extension,
                                        const std::string& subdirectory) const;

  // The localizations the bundle has, from its "<name>.lproj" folders ("Base" left out),
  // sorted by name; empty when it has none.
  std::vector<std::string> preferredLocalizations() const;

  NSInfoDictionary infoDictionary() const;
  // The value under `key`, or an empty std::any.
  std::any objectForInfoDictionaryKey(const std::string& key) const;
  // The CFBundleIdentifier string; empty when the bundle has none.
  std::string bundleIdentifier() const;

  // Use the factories above.
  explicit NSBundle(std::string path) : path_(std::move(path)) {}

 private:
  friend void platform::foundation::SetInfoDictionary(NSBundle& bundle, NSInfoDictionary info);
  const std::string path_;
  mutable std::mutex mutex_;
  NSInfoDictionary info_;
};

namespace platform::foundation {

// Makes `path` the main bundle's folder; an empty path restores the executable's folder.
void SetMainBundlePath(const std::string& path);

// Makes `path` the answer of every NSBundle::bundleForAddress; empty restores dladdr.
void SetCodeBundlePath(const std::string& path);

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_NS_BUNDLE_H_
