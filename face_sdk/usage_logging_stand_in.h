// The calls the face SDK's usage logger (logger.h) makes into the usage-logging library and the
// experiment-flag library.
//
// Loggers, events and the flag store's facade are the libraries' own (usage_log/trassen_logger.h,
// experiment_flags/marovic.h). The uploader does not exist yet, so this is a stand-in under its
// name: it only remembers that it was started.
//
//   JQXTrassenUploader::initWithAuthorizer(nullptr, nullptr, directory, false)->startAutoUpload();
//   JQXTrassenUploader::startedUploaders();   // {that uploader}
#ifndef FACE_SDK_USAGE_LOGGING_STAND_IN_H_
#define FACE_SDK_USAGE_LOGGING_STAND_IN_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "experiment_flags/marovic.h"
#include "platform/foundation/ns_url.h"
#include "usage_log/trassen_logger.h"

// Uploads the log files of one directory to the usage-logging service.
class JQXTrassenUploader : public std::enable_shared_from_this<JQXTrassenUploader> {
 public:
  // Authorizers and listeners are not modelled here; the face SDK passes none.
  static std::shared_ptr<JQXTrassenUploader> initWithAuthorizer(
      std::nullptr_t authorizer, std::nullptr_t listeners, std::shared_ptr<NSURL> logDirectory,
      bool isSharedDirectory);

  // Starts uploading for the rest of the process: a started uploader keeps itself alive.
  void startAutoUpload();

  const std::shared_ptr<NSURL>& logDirectory() const { return log_directory_; }
  bool isSharedDirectory() const { return is_shared_directory_; }

  // The uploaders started in this process, in order of starting.
  static std::vector<std::shared_ptr<JQXTrassenUploader>> startedUploaders();

  // Use the factory above.
  JQXTrassenUploader(std::shared_ptr<NSURL> logDirectory, bool isSharedDirectory)
      : log_directory_(std::move(logDirectory)), is_shared_directory_(isSharedDirectory) {}

 private:
  const std::shared_ptr<NSURL> log_directory_;
  const bool is_shared_directory_;
};

#endif  // FACE_SDK_USAGE_LOGGING_STAND_IN_H_
