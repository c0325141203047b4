// The calls the face SDK's usage logger (logger.h) makes into the usage-logging library and the
// experiment-flag library, and no more.
//
// Those libraries do not exist yet, so this is a stand-in under their names: a library logger
// keeps every event handed to `log` in memory instead of writing it to its log directory, the
// uploader only remembers that it was started, and the flag store only remembers its default
// directory. The directories themselves are made as the libraries would make them. The real
// libraries replace this file; the face SDK relies only on what is declared here.
//
//   auto logger = JQXTrassenLogger::initWithLogSource(700, kJQXTrassenNoAccount, directory);
//   auto event = logger->newEvent();
//   event->setIsAnonymousLog(true);
//   event->setExtension(std::make_shared<QVXLOGOstrellLog>(message));
//   logger->log(event);
//   logger->loggedEvents();   // {event}
//
// Loggers and the class-wide state may be used from any thread. An event must not be changed
// after it was passed to `log`.
#ifndef FACE_SDK_USAGE_LOGGING_STAND_IN_H_
#define FACE_SDK_USAGE_LOGGING_STAND_IN_H_

#include <google/protobuf/message_lite.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "experiment_flags/marovic.h"
#include "platform/foundation/ns_url.h"

// The account identifier meaning "no account".
inline constexpr char kJQXTrassenNoAccount[] = "";

// One usage event before it is written.
class JQXTrassenLogEvent {
 public:
  static std::shared_ptr<JQXTrassenLogEvent> initWithLogSource(int64_t logSource,
                                                               bool isAnonymous);

  int64_t logSource() const { return log_source_; }
  bool isAnonymousLog() const { return is_anonymous_log_; }
  // An anonymous event carries no account identifier.
  void setIsAnonymousLog(bool isAnonymousLog);
  const std::string& obfuscatedHollinID() const { return obfuscated_hollin_id_; }
  // Ignored on an anonymous event, unless empty.
  void setObfuscatedHollinID(const std::string& obfuscatedHollinID);
  int64_t qosTier() const { return qos_tier_; }
  void setQosTier(int64_t qosTier) { qos_tier_ = qosTier; }
  int32_t eventCode() const { return event_code_; }
  void setEventCode(int32_t eventCode) { event_code_ = eventCode; }
  // The payload, serialised into the written event.
  const std::shared_ptr<const google::protobuf::MessageLite>& extension() const {
    return extension_;
  }
  void setExtension(std::shared_ptr<const google::protobuf::MessageLite> extension) {
    extension_ = std::move(extension);
  }

  // Use the factory above.
  JQXTrassenLogEvent(int64_t logSource, bool isAnonymous)
      : log_source_(logSource), is_anonymous_log_(isAnonymous) {}

 private:
  int64_t log_source_;
  bool is_anonymous_log_;
  std::string obfuscated_hollin_id_;
  int64_t qos_tier_ = 0;
  int32_t event_code_ = 0;
  std::shared_ptr<const google::protobuf::MessageLite> extension_;
};

// A usage logger of one log source writing to one log directory.
class JQXTrassenLogger {
 public:
  // A logger with an account (kJQXTrassenNoAccount for none) that writes to `logDirectory`.
  static std::shared_ptr<JQXTrassenLogger> initWithLogSource(
      int64_t logSource, const std::string& obfuscatedHollinID,
      std::shared_ptr<NSURL> logDirectory);
  // The same, writing to the default log directory.
  static std::shared_ptr<JQXTrassenLogger> initWithLogSource(
      int64_t logSource, const std::string& obfuscatedHollinID);

  // Makes Caches/"JQXTrassenLogger" (created when missing) the base of the default log
  // directory; when the Caches folder cannot be had, nothing changes.
  static void useLocalCachesDirectory();
  // The base given by useLocalCachesDirectory (else the maker's shared app-group container)
  // plus "JQXTrassenLogger"; null when there is neither.
  static std::shared_ptr<NSURL> defaultLogDirectory();

  virtual ~JQXTrassenLogger() = default;

  bool isAnonymous() const { return false; }
  int64_t logSource() const { return log_source_; }
  const std::string& obfuscatedHollinID() const { return obfuscated_hollin_id_; }
  const std::shared_ptr<NSURL>& logDirectory() const { return log_directory_; }
  int64_t qosTier() const { return 0; }

  // A new event of this logger's source, anonymity, account and tier.
  std::shared_ptr<JQXTrassenLogEvent> newEvent() const;
  // Accepts the event for writing.
  virtual void log(std::shared_ptr<JQXTrassenLogEvent> event);

  // The events accepted so far, in order (what the writer would have written).
  std::vector<std::shared_ptr<JQXTrassenLogEvent>> loggedEvents() const;

  // Use the factories above.
  JQXTrassenLogger(int64_t logSource, std::string obfuscatedHollinID,
                   std::shared_ptr<NSURL> logDirectory)
      : log_source_(logSource),
        obfuscated_hollin_id_(std::move(obfuscatedHollinID)),
        log_directory_(std::move(logDirectory)) {}

 protected:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<JQXTrassenLogEvent>> events_;

 private:
  const int64_t log_source_;
  const std::string obfuscated_hollin_id_;
  const std::shared_ptr<NSURL> log_directory_;
};

// A logger that only collects its events in memory, for tests.
class JQXFakeTrassenLogger : public JQXTrassenLogger {
 public:
  static std::shared_ptr<JQXFakeTrassenLogger> initWithLogSource(
      int64_t logSource, const std::string& obfuscatedHollinID,
      std::shared_ptr<NSURL> logDirectory);
  static std::shared_ptr<JQXFakeTrassenLogger> initWithLogSource(
      int64_t logSource, const std::string& obfuscatedHollinID);

  std::vector<std::shared_ptr<JQXTrassenLogEvent>> logEvents() const { return loggedEvents(); }
  std::vector<std::shared_ptr<JQXTrassenLogEvent>> logEventsWithEventCode(
      int32_t eventCode) const;
  void clearLoggedEvents();

  using JQXTrassenLogger::JQXTrassenLogger;
};

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
