// NSError: an error object with a string domain, an integer code and a dictionary of details.
//
// Objects of the object-runtime layers report failures through an out-parameter of type
// `std::shared_ptr<NSError>*` (null when the caller does not want the error). The user-info
// dictionary maps string keys to values of any type; the keys below have fixed meanings:
//
//   NSLocalizedDescriptionKey -> std::string, the text `localizedDescription()` answers
//   NSLocalizedFailureReasonErrorKey, NSLocalizedRecoverySuggestionErrorKey -> std::string,
//                                the texts of `localizedFailureReason()` and
//                                `localizedRecoverySuggestion()`
//   NSUnderlyingErrorKey      -> std::shared_ptr<NSError>, the error that caused this one
//   NSFilePathErrorKey        -> std::string, the path a file operation failed on
//
// Example:
//
//   std::shared_ptr<NSError> error;
//   if (!manager->createDirectoryAtPath(path, true, &error)) {
//     NSLog("Could not create %s: %s", path.c_str(), error->localizedDescription().c_str());
//   }
//
// Errors are immutable once made and may be shared between threads.
#ifndef PLATFORM_FOUNDATION_NS_ERROR_H_
#define PLATFORM_FOUNDATION_NS_ERROR_H_

#include <any>
#include <map>
#include <memory>
#include <optional>
#include <string>

using NSErrorUserInfo = std::map<std::string, std::any>;

// Error domains.
extern const char* const NSCocoaErrorDomain;
extern const char* const NSPOSIXErrorDomain;
extern const char* const NSURLErrorDomain;

// User-info keys.
extern const char* const NSLocalizedDescriptionKey;
extern const char* const NSLocalizedFailureReasonErrorKey;
extern const char* const NSLocalizedRecoverySuggestionErrorKey;
extern const char* const NSUnderlyingErrorKey;
extern const char* const NSFilePathErrorKey;
extern const char* const NSURLErrorFailingURLStringErrorKey;
// A text for developers (for example the transport library's own message), never shown to users.
extern const char* const NSDebugDescriptionErrorKey;

// Codes of NSCocoaErrorDomain used by the file layer.
enum : long {
  NSFileNoSuchFileError = 4,
  NSFileReadUnknownError = 256,
  NSFileReadNoPermissionError = 257,
  NSFileReadInapplicableStringEncodingError = 261,
  NSFileReadUnsupportedSchemeError = 262,
  NSFileReadNoSuchFileError = 260,
  NSFileReadCorruptFileError = 259,
  NSFileWriteUnknownError = 512,
  NSFileWriteFileExistsError = 516,
  NSFileWriteNoPermissionError = 513,
  NSFileWriteOutOfSpaceError = 640,
  NSCoderReadCorruptError = 4864,
  NSCoderValueNotFoundError = 4865,
  NSCoderInvalidValueError = 4866,
};

// Codes of NSURLErrorDomain.
enum : long {
  NSURLErrorUnknown = -1,
  NSURLErrorCancelled = -999,
  NSURLErrorBadURL = -1000,
  NSURLErrorTimedOut = -1001,
  NSURLErrorUnsupportedURL = -1002,
  NSURLErrorCannotFindHost = -1003,
  NSURLErrorCannotConnectToHost = -1004,
  NSURLErrorNetworkConnectionLost = -1005,
  NSURLErrorHTTPTooManyRedirects = -1007,
  NSURLErrorNotConnectedToInternet = -1009,
  NSURLErrorBadServerResponse = -1011,
  NSURLErrorCannotCreateFile = -3000,
  NSURLErrorCannotWriteToFile = -3003,
  NSURLErrorDataNotAllowed = -1020,
  NSURLErrorSecureConnectionFailed = -1200,
};

class NSError {
 public:
  static std::shared_ptr<NSError> errorWithDomain(std::string domain, long code,
                                                  NSErrorUserInfo userInfo = {});

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const NSErrorUserInfo& userInfo() const { return user_info_; }

  // The NSLocalizedDescriptionKey text when the user info has one as a string, else
  // "The operation couldn’t be completed. (<domain> error <code>.)".
  std::string localizedDescription() const;

  // The NSLocalizedFailureReasonErrorKey and NSLocalizedRecoverySuggestionErrorKey texts, or
  // none when the user info has no such string.
  std::optional<std::string> localizedFailureReason() const;
  std::optional<std::string> localizedRecoverySuggestion() const;

  // The NSUnderlyingErrorKey entry, or null.
  std::shared_ptr<NSError> underlyingError() const;

  // "Error Domain=<domain> Code=<code> \"<localizedDescription>\"", followed by
  // " UserInfo={<key>, ...}" (keys in order) when the user info is not empty: the form "%@"
  // prints in log lines.
  std::string description() const;

  // The user-info value under `key` when it holds a T, else null.
  template <typename T>
  const T* userInfoValue(const std::string& key) const {
    auto it = user_info_.find(key);
    return it == user_info_.end() ? nullptr : std::any_cast<T>(&it->second);
  }

  NSError(std::string domain, long code, NSErrorUserInfo userInfo)
      : domain_(std::move(domain)), code_(code), user_info_(std::move(userInfo)) {}

 private:
  std::string domain_;
  long code_;
  NSErrorUserInfo user_info_;
};

// Stores `error` through `out` when the caller asked for it (`out` not null); the usual way to
// fill an error out-parameter.
inline void NSErrorAssign(std::shared_ptr<NSError>* out, std::shared_ptr<NSError> error) {
  if (out != nullptr) *out = std::move(error);
}

#endif  // PLATFORM_FOUNDATION_NS_ERROR_H_
