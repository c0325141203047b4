#include "experiment_flags/marovic_error.h"

bool ZQLMarovicError::error(std::shared_ptr<NSError>* error, long code) {
  if (error != nullptr) *error = NSError::errorWithDomain(kZQLMarovicErrorDomain, code);
  return false;
}

bool ZQLMarovicError::fileError(std::shared_ptr<NSError>* error) {
  if (error != nullptr) {
    NSErrorUserInfo info;
    if (*error != nullptr) info[NSUnderlyingErrorKey] = *error;
    *error = NSError::errorWithDomain(kZQLMarovicErrorDomain, ZQLMarovicErrorCodeFileError,
                                      std::move(info));
  }
  return false;
}
