#ifndef VIEWS_VIRTUAL_OBJECT_LOADER_H_
#define VIEWS_VIRTUAL_OBJECT_LOADER_H_

// VirtualObjectLoader turns a model name or a download address into a loaded VirtualObject.
//
//   auto loader = VirtualObjectLoader::init();
//   auto chair = loader->loadObject("chair", "art.scnassets");   // main bundle, type "scn"
//   loader->loadObjectFromURL("https://example.com/chair.zip",
//                             [](std::shared_ptr<VirtualObject> object, bool ok) { ... });
//   loader->unloadObject("chair");                                // every recorded "chair"
//   loader->deleteTempFolder();                                   // Documents/VirtualObjects_temp
//
// A download goes through a URL session of its own into Documents/"VirtualObjects_temp"/NAME,
// NAME being the name of the session's temporary file without extension: the archive is copied
// there as NAME.zip, unpacked beside itself (CRC not checked; unsafe entry names refuse the
// whole archive), and the first top-level ".scn" file in listing order is loaded. The address
// text, exactly as given, then maps to the object: asking for it again answers at once, on the
// caller's thread, with the same object (also after the folder was deleted). Text that does not
// form a URL is ignored silently; any other failure calls `finished` with no object and false
// on the session's callback queue, after one console line saying why. The HTTP status is not
// examined: an error page fails at unpacking. Two calls for one address made before the first
// download ended both download; the later success wins the map entry.
//
// Thread-safe: the list of loaded objects and the address map sit behind one lock, and
// `finished`, loading and unloading run outside it, so a completion may call the loader again.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/ns_url_response.h"
#include "platform/foundation/ns_url.h"
#include "views/virtual_object.h"

class VirtualObjectLoader : public std::enable_shared_from_this<VirtualObjectLoader> {
 public:
  using Finished = std::function<void(std::shared_ptr<VirtualObject> object, bool success)>;

  static std::shared_ptr<VirtualObjectLoader> init();

  // The main bundle's `itemName`.scn in `directory`, loaded; null (and "file not found") when
  // the bundle has no such file.
  std::shared_ptr<VirtualObject> loadObject(const std::string& itemName,
                                            const std::string& directory);
  std::shared_ptr<VirtualObject> loadObjectFromLocal(const std::string& name,
                                                     const std::string& type,
                                                     const std::string& path);
  // Makes an object from the scene file, records it and loads it.
  std::shared_ptr<VirtualObject> getObject(const std::shared_ptr<NSURL>& fullPath);
  void loadObjectFromURL(const std::string& url, Finished finished);
  // Unloads and forgets every recorded object of that model name, last recorded first.
  void unloadObject(const std::string& withName);
  void deleteTempFolder();

  // The recorded objects, in the order they were made.
  std::vector<std::shared_ptr<VirtualObject>> currentlyLoadedObjects() const;

  VirtualObjectLoader() = default;

 private:
  void DidDownload(const std::string& url, const std::string& location,
                   const std::shared_ptr<NSURLResponse>& response,
                   const std::shared_ptr<NSError>& error, const Finished& finished);
  std::shared_ptr<NSURL> TemporaryFolderURL() const;
  std::shared_ptr<NSURL> saveObjectInOwnFolder(const std::shared_ptr<NSURL>& tempFilePath);
  bool unzipObject(const std::shared_ptr<NSURL>& zippedFileURL);
  std::shared_ptr<VirtualObject> getObjectFromFolder(const std::shared_ptr<NSURL>& folderURL);

  const std::shared_ptr<NSFileManager> file_manager_ = std::make_shared<NSFileManager>();
  const std::string temporary_folder_ = "VirtualObjects_temp";
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<VirtualObject>> currently_loaded_objects_;
  std::map<std::string, std::shared_ptr<VirtualObject>> used_temporary_urls_;
};

#endif  // VIEWS_VIRTUAL_OBJECT_LOADER_H_
