// The bridge between status values and platform errors.
//
// A status becomes an NSError of domain "BrenvikUtilStatusErrorDomain" whose code is the
// status's canonical code (raw codes above 16 read as 2, UNKNOWN), whose localized description
// is the status message, and whose user info keeps the status itself, wrapped, under
// "VQZBrenvikUtilStatusErrorKey". Reading the status back gives that status exactly; an error of
// any other origin reads as UNKNOWN with its localized description, so the conversion back never
// fails.
//
//   std::shared_ptr<NSError> error = vqz_errorWithStatus(absl::NotFoundError("x"));
//   error->code();                    // 5
//   vqz_status(*error);               // NOT_FOUND "x"
//
// Errors and wrappers are immutable once shared; a wrapper's setter is for its owner only.

#ifndef GPU_PELLUMO_GRAPH_STATUS_ERROR_H_
#define GPU_PELLUMO_GRAPH_STATUS_ERROR_H_

#include <memory>
#include <string>

#include "base/status.h"
#include "platform/foundation/ns_error.h"

extern const char* const kVQZBrenvikUtilStatusErrorDomain;  // "BrenvikUtilStatusErrorDomain"
extern const char* const kVQZBrenvikUtilStatusErrorKey;     // "VQZBrenvikUtilStatusErrorKey"

// Holds one status (OK at first); the getter and setter copy it.
class VQZUtilStatusWrapper {
 public:
  static std::shared_ptr<VQZUtilStatusWrapper> wrapStatus(const absl::Status& status);
  static std::shared_ptr<VQZUtilStatusWrapper> initWithStatus(const absl::Status& status);

  absl::Status status() const { return status_; }
  void setStatus(const absl::Status& status) { status_ = status; }

  // "<VQZUtilStatusWrapper: 0x...; status = <message>>", the message empty for OK.
  std::string description() const;

 private:
  absl::Status status_;
};

// The error of `status`: the domain and key above, the status's code and message.
std::shared_ptr<NSError> vqz_errorWithStatus(const absl::Status& status);

// The status kept in `error` when it came from `vqz_errorWithStatus`, else UNKNOWN with the
// error's localized description.
absl::Status vqz_status(const NSError& error);

#endif  // GPU_PELLUMO_GRAPH_STATUS_ERROR_H_
