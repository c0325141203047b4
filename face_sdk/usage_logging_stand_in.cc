#include "face_sdk/usage_logging_stand_in.h"

#include <mutex>
#include <utility>

#include "platform/foundation/ns_file_manager.h"
#include "usage_log/app_groups.h"

namespace {

std::mutex& ClassMutex() {
  static std::mutex mutex;
  return mutex;
}

// Guarded by ClassMutex().
std::shared_ptr<NSURL>& TrassenDefaultDirectory() {
  static auto* directory = new std::shared_ptr<NSURL>();
  return *directory;
}
std::vector<std::shared_ptr<JQXTrassenUploader>>& StartedUploaders() {
  static auto* uploaders = new std::vector<std::shared_ptr<JQXTrassenUploader>>();
  return *uploaders;
}

// Caches/`name`, made when missing; null when the Caches folder cannot be had.
std::shared_ptr<NSURL> CachesSubfolder(const std::string& name) {
  auto manager = NSFileManager::defaultManager();
  std::shared_ptr<NSError> error;
  auto caches = manager->URLForDirectory(NSCachesDirectory, NSUserDomainMask, nullptr, true,
                                         &error);
  if (caches == nullptr) return nullptr;
  auto folder = caches->URLByAppendingPathComponent(name, true);
  manager->createDirectoryAtURL(*folder, true, {}, &error);
  return folder;
}

// A logger of class T; a null directory is the default log directory.
template <typename T>
std::shared_ptr<T> MakeLogger(int64_t logSource, const std::string& obfuscatedHollinID,
                              std::shared_ptr<NSURL> logDirectory) {
  if (logDirectory == nullptr) logDirectory = JQXTrassenLogger::defaultLogDirectory();
  return std::make_shared<T>(logSource, obfuscatedHollinID, std::move(logDirectory));
}

}  // namespace

// ---- JQXTrassenLogEvent

std::shared_ptr<JQXTrassenLogEvent> JQXTrassenLogEvent::initWithLogSource(int64_t logSource,
                                                                          bool isAnonymous) {
  return std::make_shared<JQXTrassenLogEvent>(logSource, isAnonymous);
}

void JQXTrassenLogEvent::setIsAnonymousLog(bool isAnonymousLog) {
  is_anonymous_log_ = isAnonymousLog;
  if (isAnonymousLog) obfuscated_hollin_id_.clear();
}

void JQXTrassenLogEvent::setObfuscatedHollinID(const std::string& obfuscatedHollinID) {
  if (is_anonymous_log_ && !obfuscatedHollinID.empty()) return;
  obfuscated_hollin_id_ = obfuscatedHollinID == "none" ? "" : obfuscatedHollinID;
}

// ---- JQXTrassenLogger

std::shared_ptr<JQXTrassenLogger> JQXTrassenLogger::initWithLogSource(
    int64_t logSource, const std::string& obfuscatedHollinID,
    std::shared_ptr<NSURL> logDirectory) {
  return MakeLogger<JQXTrassenLogger>(logSource, obfuscatedHollinID, std::move(logDirectory));
}

std::shared_ptr<JQXTrassenLogger> JQXTrassenLogger::initWithLogSource(
    int64_t logSource, const std::string& obfuscatedHollinID) {
  return initWithLogSource(logSource, obfuscatedHollinID, nullptr);
}

void JQXTrassenLogger::useLocalCachesDirectory() {
  auto folder = CachesSubfolder("JQXTrassenLogger");
  if (folder == nullptr) return;
  std::lock_guard<std::mutex> lock(ClassMutex());
  TrassenDefaultDirectory() = folder;
}

std::shared_ptr<NSURL> JQXTrassenLogger::defaultLogDirectory() {
  std::shared_ptr<NSURL> base;
  {
    std::lock_guard<std::mutex> lock(ClassMutex());
    base = TrassenDefaultDirectory();
  }
  if (base == nullptr) base = zrb_brenvikSharedAppGroupContainer();
  if (base == nullptr) return nullptr;
  return base->URLByAppendingPathComponent("JQXTrassenLogger", true);
}

std::shared_ptr<JQXTrassenLogEvent> JQXTrassenLogger::newEvent() const {
  auto event = JQXTrassenLogEvent::initWithLogSource(log_source_, isAnonymous());
  event->setObfuscatedHollinID(obfuscated_hollin_id_);
  event->setQosTier(qosTier());
  return event;
}

void JQXTrassenLogger::log(std::shared_ptr<JQXTrassenLogEvent> event) {
  if (event == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<std::shared_ptr<JQXTrassenLogEvent>> JQXTrassenLogger::loggedEvents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

// ---- JQXFakeTrassenLogger

std::shared_ptr<JQXFakeTrassenLogger> JQXFakeTrassenLogger::initWithLogSource(
    int64_t logSource, const std::string& obfuscatedHollinID,
    std::shared_ptr<NSURL> logDirectory) {
  return MakeLogger<JQXFakeTrassenLogger>(logSource, obfuscatedHollinID,
                                          std::move(logDirectory));
}

std::shared_ptr<JQXFakeTrassenLogger> JQXFakeTrassenLogger::initWithLogSource(
    int64_t logSource, const std::string& obfuscatedHollinID) {
  return initWithLogSource(logSource, obfuscatedHollinID, nullptr);
}

std::vector<std::shared_ptr<JQXTrassenLogEvent>> JQXFakeTrassenLogger::logEventsWithEventCode(
    int32_t eventCode) const {
  std::vector<std::shared_ptr<JQXTrassenLogEvent>> matching;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& event : events_) {
    if (event->eventCode() == eventCode) matching.push_back(event);
  }
  return matching;
}

void JQXFakeTrassenLogger::clearLoggedEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

// ---- JQXTrassenUploader

std::shared_ptr<JQXTrassenUploader> JQXTrassenUploader::initWithAuthorizer(
    std::nullptr_t, std::nullptr_t, std::shared_ptr<NSURL> logDirectory, bool isSharedDirectory) {
  if (logDirectory == nullptr) logDirectory = JQXTrassenLogger::defaultLogDirectory();
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
