#include "face_sdk/usage_logging_stand_in.h"

#include <mutex>
#include <utility>

#include "platform/foundation/ns_file_manager.h"
#include "usage_log/file_utility.h"

namespace {

std::mutex& ClassMutex() {
  static std::mutex mutex;
  return mutex;
}

// Guarded by ClassMutex().
std::vector<std::shared_ptr<JQXTrassenUploader>>& StartedUploaders() {
  static auto* uploaders = new std::vector<std::shared_ptr<JQXTrassenUploader>>();
  return *uploaders;
}

}  // namespace

// ---- JQXTrassenUploader

std::shared_ptr<JQXTrassenUploader> JQXTrassenUploader::initWithAuthorizer(
    std::nullptr_t, std::nullptr_t, std::shared_ptr<NSURL> logDirectory, bool isSharedDirectory) {
  if (logDirectory == nullptr) logDirectory = JQXTrassenFileUtility::defaultLogDirectory();
  return std::make_shared<JQXTrassenUploader>(std::move(logDirectory), isSharedDirectory);
}

void JQXTrassenUploader::startAutoUpload() {
  std::lock_guard<std::mutex> lock(ClassMutex());
  StartedUploaders().push_back(shared_from_this());
}

std::vector<std::shared_ptr<JQXTrassenUploader>> JQXTrassenUploader::startedUploaders() {
  std::lock_guard<std::mutex> lock(ClassMutex());
  return StartedUploaders();
}
