// QVXLogger: the face SDK's usage events, stamped and handed to the usage-logging library.
//
// A logger belongs to one session: it makes a new session identifier and stamps every event
// with it, with the current time in nanoseconds since 1970 and, for pseudonymous loggers, with
// the identifier of pseudonymous_id.h (loaded once, when the logger is made). Events go to a
// library logger of log source 700; the incognito logger has none and drops every event.
//
//   QVXLogger::setUpForThirdPartyLogging();              // once per process, at start-up
//   auto logger = QVXLogger::thirdPartyLoggerWithPseudonymousID();
//   auto event = std::make_shared<QVXLOGOstrellLog>();
//   event->mutable_facemesh_faces_lost();
//   logger->logEvent(event);
//
// The three kinds of identity (`loggerIDType`):
//   0  anonymous: events carry no identifier                     thirdPartyLogger, incognitoLogger
//   1  anonymous, with the pseudonymous identifier               thirdPartyLoggerWithPseudonymousID
//   2  identified by an account: events are not anonymous        firstPartyLogger
// Third-party loggers write to `logDirectory()`, first-party ones to the library's default log
// directory. The fake... factories make the same loggers over a library logger that only
// collects its events in memory.
//
// `logEvent` may be called from any thread; the event belongs to the caller, who must not
// change it while it is being logged.
#ifndef FACE_SDK_LOGGER_H_
#define FACE_SDK_LOGGER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "face_sdk/ostrell_log_events.h"
#include "experiment_flags/marovic.h"
#include "usage_log/trassen_logger.h"
#include "usage_log/trassen_uploader.h"
#include "platform/foundation/ns_url.h"
#include "platform/foundation/ns_uuid.h"

// The usage-log source of the face SDK.
inline constexpr int32_t kQVXLoggerLogSource = 700;

class QVXLogger {
 public:
  enum : unsigned long {
    kLoggerIDTypeAnonymous = 0,
    kLoggerIDTypePseudonymous = 1,
    kLoggerIDTypeAccount = 2,
  };

  // The folder "OstrellLogger" in the user's Caches folder; null when there is no Caches folder.
  static std::shared_ptr<NSURL> logDirectory();
  // Once per process, from any thread (later calls do nothing): moves the default folders of the
  // experiment-flag store and of the usage-logging library to the Caches folder, makes
  // `logDirectory()` (a failure is ignored) and starts an uploader of it for the rest of the
  // process.
  static void setUpForThirdPartyLogging();

  static std::shared_ptr<QVXLogger> thirdPartyLogger();
  static std::shared_ptr<QVXLogger> thirdPartyLoggerWithPseudonymousID();
  // `accountID` none means no account.
  static std::shared_ptr<QVXLogger> firstPartyLogger(const std::optional<std::string>& accountID);
  static std::shared_ptr<QVXLogger> fakeThirdPartyLogger();
  static std::shared_ptr<QVXLogger> fakeThirdPartyLoggerWithPseudonymousID();
  static std::shared_ptr<QVXLogger> fakeFirstPartyLogger(
      const std::optional<std::string>& accountID);
  static std::shared_ptr<QVXLogger> incognitoLogger();

  // A logger over `logger` (null drops every event); a pseudonymous type loads the identifier.
  static std::shared_ptr<QVXLogger> initWithLogger(std::shared_ptr<JQXTrassenLogger> logger,
                                                   unsigned long loggerIdType);

  const std::shared_ptr<NSUUID>& sessionId() const { return session_id_; }
  const std::shared_ptr<JQXTrassenLogger>& logger() const { return logger_; }
  unsigned long loggerIDType() const { return logger_id_type_; }
  // None unless the type is pseudonymous and the identifier could be loaded.
  const std::optional<std::string>& pseudonymousID() const { return pseudonymous_id_; }

  // The wall clock (platform/foundation/ns_date.h) in nanoseconds since 1970.
  uint64_t unixTimeNanos() const;

  // Stamps `event` (session identifier, time, pseudonymous identifier for type 1) and hands a
  // copy of it to the library logger, anonymous unless the type is 2. A null event is ignored.
  void logEvent(const std::shared_ptr<QVXLOGOstrellLog>& event) const;

  // Use the factories above.
  QVXLogger(std::shared_ptr<JQXTrassenLogger> logger, unsigned long loggerIdType);

 private:
  const std::shared_ptr<NSUUID> session_id_;
  const std::shared_ptr<JQXTrassenLogger> logger_;
  const unsigned long logger_id_type_;
  std::optional<std::string> pseudonymous_id_;
};

#endif  // FACE_SDK_LOGGER_H_
