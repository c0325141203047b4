#include "face_sdk/logger.h"

#include <mutex>
#include <utility>

#include "face_sdk/pseudonymous_id.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/ns_date.h"
#include "platform/foundation/ns_file_manager.h"

std::shared_ptr<NSURL> QVXLogger::logDirectory() {
  auto caches = NSFileManager::defaultManager()->URLsForDirectory(NSCachesDirectory,
                                                                  NSUserDomainMask);
  if (caches.empty()) return nullptr;
  return caches.front()->URLByAppendingPathComponent("OstrellLogger", true);
}

void QVXLogger::setUpForThirdPartyLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    ZQLMarovic::useLocalCachesDirectory();
    JQXTrassenLogger::useLocalCachesDirectory();
    auto directory = logDirectory();
    if (directory != nullptr) {
      std::shared_ptr<NSError> error;
      NSFileManager::defaultManager()->createDirectoryAtPath(directory->path(), true, {},
                                                             &error);
    }
    // Starting reads the uploader's settings from the flag store, which may wait for a load on
    // another thread; the set-up can run while the library itself is being loaded, when such a
    // wait never ends. So the uploader is started off this thread. The started uploader keeps
    // itself alive.
    auto uploader = JQXTrassenUploader::initWithAuthorizer(nullptr, std::nullopt, directory, false);
    dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0),
                   [uploader] { uploader->startAutoUpload(); });
  });
}

namespace {

// A library logger of the face SDK's source: the fake one or the real one, writing to
// `directory` (null for the library's default).
std::shared_ptr<JQXTrassenLogger> LibraryLogger(bool fake, const std::string& account,
                                                std::shared_ptr<NSURL> directory) {
  if (fake) {
    return JQXFakeTrassenLogger::initWithLogSource(kQVXLoggerLogSource, account,
                                                   std::move(directory));
  }
  return JQXTrassenLogger::initWithLogSource(kQVXLoggerLogSource, account, std::move(directory));
}

}  // namespace

std::shared_ptr<QVXLogger> QVXLogger::thirdPartyLogger() {
  return initWithLogger(LibraryLogger(false, kJQXTrassenNoAccount, logDirectory()),
                        kLoggerIDTypeAnonymous);
}

std::shared_ptr<QVXLogger> QVXLogger::thirdPartyLoggerWithPseudonymousID() {
  return initWithLogger(LibraryLogger(false, kJQXTrassenNoAccount, logDirectory()),
                        kLoggerIDTypePseudonymous);
}

std::shared_ptr<QVXLogger> QVXLogger::firstPartyLogger(
    const std::optional<std::string>& accountID) {
  return initWithLogger(LibraryLogger(false, accountID.value_or(kJQXTrassenNoAccount), nullptr),
                        kLoggerIDTypeAccount);
}

std::shared_ptr<QVXLogger> QVXLogger::fakeThirdPartyLogger() {
  return initWithLogger(LibraryLogger(true, kJQXTrassenNoAccount, logDirectory()),
                        kLoggerIDTypeAnonymous);
}

std::shared_ptr<QVXLogger> QVXLogger::fakeThirdPartyLoggerWithPseudonymousID() {
  return initWithLogger(LibraryLogger(true, kJQXTrassenNoAccount, logDirectory()),
                        kLoggerIDTypePseudonymous);
}

std::shared_ptr<QVXLogger> QVXLogger::fakeFirstPartyLogger(
    const std::optional<std::string>& accountID) {
  return initWithLogger(LibraryLogger(true, accountID.value_or(kJQXTrassenNoAccount), nullptr),
                        kLoggerIDTypeAccount);
}

std::shared_ptr<QVXLogger> QVXLogger::incognitoLogger() {
  return initWithLogger(nullptr, kLoggerIDTypeAnonymous);
}

std::shared_ptr<QVXLogger> QVXLogger::initWithLogger(std::shared_ptr<JQXTrassenLogger> logger,
                                                     unsigned long loggerIdType) {
  return std::make_shared<QVXLogger>(std::move(logger), loggerIdType);
}

QVXLogger::QVXLogger(std::shared_ptr<JQXTrassenLogger> logger, unsigned long loggerIdType)
    : session_id_(NSUUID::UUID()), logger_(std::move(logger)), logger_id_type_(loggerIdType) {
  if (logger_id_type_ == kLoggerIDTypePseudonymous) {
    pseudonymous_id_ = QVXPseudonymousIDStore::loadPseudonymousID();
  }
}

uint64_t QVXLogger::unixTimeNanos() const {
  return QVXUnixTimeNanosFromSeconds(NSDate::date()->timeIntervalSince1970());
}

void QVXLogger::logEvent(const std::shared_ptr<QVXLOGOstrellLog>& event) const {
  if (event == nullptr) return;
  event->set_session_id(session_id_->UUIDString());
  event->set_timestamp(unixTimeNanos());
  if (logger_id_type_ == kLoggerIDTypePseudonymous) {
    if (pseudonymous_id_.has_value()) {
      event->set_ios_pseudonymous_id(*pseudonymous_id_);
    } else {
      event->clear_ios_pseudonymous_id();
    }
  }
  if (logger_ == nullptr) return;
  auto library_event = logger_->newEvent();
  library_event->setIsAnonymousLog(logger_id_type_ != kLoggerIDTypeAccount);
  // The library serialises the payload later, maybe on another thread: give it a snapshot.
  library_event->setExtension(std::make_shared<QVXLOGOstrellLog>(*event));
  logger_->log(std::move(library_event));
}
