#include "views/virtual_object_loader.h"

#include <algorithm>
#include <utility>

#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/ns_url_response.h"
#include "platform/foundation/ns_url_session.h"
#include "platform/uikit/console.h"
#include "platform/zipfoundation/unzip.h"

std::shared_ptr<VirtualObjectLoader> VirtualObjectLoader::init() {
  return std::make_shared<VirtualObjectLoader>();
}

std::shared_ptr<VirtualObject> VirtualObjectLoader::loadObject(const std::string& itemName,
                                                               const std::string& directory) {
  return loadObjectFromLocal(itemName, "scn", directory);
}

std::shared_ptr<VirtualObject> VirtualObjectLoader::loadObjectFromLocal(const std::string& name,
                                                                        const std::string& type,
                                                                        const std::string& path) {
  const std::optional<std::string> file = NSBundle::mainBundle()->pathForResource(name, type, path);
  if (!file.has_value()) {
    print("file not found");
    return nullptr;
  }
  return getObject(NSURL::fileURLWithPath(*file));
}

std::shared_ptr<VirtualObject> VirtualObjectLoader::getObject(
    const std::shared_ptr<NSURL>& fullPath) {
  std::shared_ptr<VirtualObject> object = VirtualObject::initWithURL(fullPath);
  if (object == nullptr) {
    print("wasn't able to create object");
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    currently_loaded_objects_.push_back(object);
  }
  object->load();
  return object;
}

void VirtualObjectLoader::loadObjectFromURL(const std::string& url, Finished finished) {
  std::shared_ptr<VirtualObject> known;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = used_temporary_urls_.find(url);
    if (it != used_temporary_urls_.end()) known = it->second;
  }
  if (known != nullptr) {
    print("we have same object loaded");
    finished(known, true);
    return;
  }
  if (NSURL::URLWithString(url) == nullptr) return;

  auto session = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::defaultSessionConfiguration());
  auto request =
      NSURLRequest::requestWithURL(url, NSURLRequestUseProtocolCachePolicy, /*timeoutInterval=*/60);
  auto task = session->downloadTaskWithRequest(
      request, [self = shared_from_this(), url, finished = std::move(finished)](
                   const std::string& location, std::shared_ptr<NSURLResponse> response,
                   std::shared_ptr<NSError> error) {
        self->DidDownload(url, location, response, error, finished);
      });
  task->resume();
}

void VirtualObjectLoader::DidDownload(const std::string& url, const std::string& location,
                                      const std::shared_ptr<NSURLResponse>& response,
                                      const std::shared_ptr<NSError>& error,
                                      const Finished& finished) {
  if (location.empty() || error != nullptr) {
    print("Error took place while downloading a file. Error description: " +
          (error != nullptr ? error->localizedDescription() : std::string()));
    finished(nullptr, false);
    return;
  }
  if (auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response)) {
    print("Successfully downloaded. Status code: " + std::to_string(http->statusCode()));
  }
  const std::shared_ptr<NSURL> archive = saveObjectInOwnFolder(NSURL::fileURLWithPath(location));
  if (archive == nullptr) {
    print("Failed to move object to temp folder");
    finished(nullptr, false);
    return;
  }
  if (unzipObject(archive)) {
    if (auto object = getObjectFromFolder(archive->URLByDeletingLastPathComponent())) {
      // Recorded before `finished` runs, so that a completion asking for the same address
      // again is answered from memory instead of downloading it a second time.
      {
        std::lock_guard<std::mutex> lock(mutex_);
        used_temporary_urls_[url] = object;
      }
      finished(object, true);
      return;
    }
  }
  print("Failed to get 3d object from folder");
  finished(nullptr, false);
}

std::shared_ptr<NSURL> VirtualObjectLoader::TemporaryFolderURL() const {
  const auto documents = file_manager_->URLsForDirectory(NSDocumentDirectory, NSUserDomainMask);
  if (documents.empty()) return nullptr;
  return documents.front()->URLByAppendingPathComponent(temporary_folder_, true);
}

std::shared_ptr<NSURL> VirtualObjectLoader::saveObjectInOwnFolder(
    const std::shared_ptr<NSURL>& tempFilePath) {
  const std::string name = tempFilePath->URLByDeletingPathExtension()->lastPathComponent();
  const std::shared_ptr<NSURL> temporary = TemporaryFolderURL();
  if (temporary == nullptr) {
    print("Unable to create directory: no Documents folder");
    return nullptr;
  }
  const std::shared_ptr<NSURL> folder = temporary->URLByAppendingPathComponent(name, true);
  const std::shared_ptr<NSURL> destination = folder->URLByAppendingPathComponent(name + ".zip");
  std::shared_ptr<NSError> error;
  if (!file_manager_->createDirectoryAtPath(folder->path(), true, {}, &error) ||
      !file_manager_->copyItemAtURL(*tempFilePath, *destination, &error)) {
    print("Unable to create directory " + (error != nullptr ? error->description() : std::string()));
    return nullptr;
  }
  return destination;
}

bool VirtualObjectLoader::unzipObject(const std::shared_ptr<NSURL>& zippedFileURL) {
  const std::shared_ptr<NSURL> destination = zippedFileURL->URLByDeletingLastPathComponent();
  std::shared_ptr<NSError> error;
  if (!unzipItem(*file_manager_, *zippedFileURL, *destination, /*skipCRC32=*/true, &error)) {
    print("Extraction of ZIP archive failed with error:" + error->description());
    return false;
  }
  return true;
}

std::shared_ptr<VirtualObject> VirtualObjectLoader::getObjectFromFolder(
    const std::shared_ptr<NSURL>& folderURL) {
  std::shared_ptr<NSError> error;
  const auto contents = file_manager_->contentsOfDirectoryAtURL(*folderURL, 0, &error);
  if (!contents.has_value()) {
    print("Error while enumerating files " + folderURL->absoluteString() + ": " +
          error->localizedDescription());
    return nullptr;
  }
  for (const std::shared_ptr<NSURL>& entry : *contents) {
    if (entry->pathExtension() == "scn") return getObject(entry);
  }
  return nullptr;
}

void VirtualObjectLoader::unloadObject(const std::string& withName) {
  std::vector<std::shared_ptr<VirtualObject>> matching;  // last recorded first
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& objects = currently_loaded_objects_;
    for (size_t i = objects.size(); i-- > 0;) {
      if (objects[i] != nullptr && objects[i]->modelName() == withName) {
        matching.push_back(objects[i]);
        objects.erase(objects.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  for (const auto& object : matching) object->unload();
}

void VirtualObjectLoader::deleteTempFolder() {
  const std::shared_ptr<NSURL> folder = TemporaryFolderURL();
  std::shared_ptr<NSError> error;
  if (folder != nullptr && file_manager_->removeItemAtURL(*folder, &error)) {
    print("temp folder is removed");
  } else {
    print("Folder was not deleted: " +
          (error != nullptr ? error->description() : std::string("no Documents folder")));
  }
}

std::vector<std::shared_ptr<VirtualObject>> VirtualObjectLoader::currentlyLoadedObjects() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currently_loaded_objects_;
}
