// The experiment-flag store's errors: one error domain and negative codes, without message text.
// A file error carries the system error that caused it under NSUnderlyingErrorKey.
//
//   std::shared_ptr<NSError> error;
//   return ZQLMarovicError::error(&error, ZQLMarovicErrorCodeNotCommitted);   // false
#ifndef EXPERIMENT_FLAGS_MAROVIC_ERROR_H_
#define EXPERIMENT_FLAGS_MAROVIC_ERROR_H_

#include <memory>

#include "platform/foundation/ns_error.h"

// The store's error domain; also the component of its internal log reports.
inline constexpr char kZQLMarovicErrorDomain[] = "com.brenvik.marovic";

enum ZQLMarovicErrorCode : long {
  ZQLMarovicErrorCodeLockMisuse = -1,        // the breakable lock was locked twice
  ZQLMarovicErrorCodeNotRegistered = -2,     // the package has no registration record
  ZQLMarovicErrorCodeNotCommitted = -3,      // the package has no committed snapshot
  ZQLMarovicErrorCodeNoDefaultDirectory = -9,
  ZQLMarovicErrorCodeFileError = -10,        // cause under NSUnderlyingErrorKey
  ZQLMarovicErrorCodeLockHeldElsewhere = -11,
};

class ZQLMarovicError {
 public:
  // Sets *error (when given) to a new error of the domain with `code`; returns false.
  static bool error(std::shared_ptr<NSError>* error, long code);
  // Replaces *error (when given) by a file error whose cause is the error it held; returns false.
  static bool fileError(std::shared_ptr<NSError>* error);
};

#endif  // EXPERIMENT_FLAGS_MAROVIC_ERROR_H_
