#include "platform/foundation/ns_error.h"

#include <utility>

const char* const NSCocoaErrorDomain = "NSCocoaErrorDomain";
const char* const NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
const char* const NSURLErrorDomain = "NSURLErrorDomain";

const char* const NSLocalizedDescriptionKey = "NSLocalizedDescription";
const char* const NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
const char* const NSLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
const char* const NSUnderlyingErrorKey = "NSUnderlyingError";
const char* const NSFilePathErrorKey = "NSFilePath";
const char* const NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
const char* const NSDebugDescriptionErrorKey = "NSDebugDescription";

std::shared_ptr<NSError> NSError::errorWithDomain(std::string domain, long code,
                                                  NSErrorUserInfo userInfo) {
  return std::make_shared<NSError>(std::move(domain), code, std::move(userInfo));
}

std::string NSError::localizedDescription() const {
  if (const std::string* text = userInfoValue<std::string>(NSLocalizedDescriptionKey)) {
    return *text;
  }
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
         std::to_string(code_) + ".)";
}

std::optional<std::string> NSError::localizedFailureReason() const {
  const std::string* text = userInfoValue<std::string>(NSLocalizedFailureReasonErrorKey);
  return text == nullptr ? std::nullopt : std::optional<std::string>(*text);
}

std::optional<std::string> NSError::localizedRecoverySuggestion() const {
  const std::string* text = userInfoValue<std::string>(NSLocalizedRecoverySuggestionErrorKey);
  return text == nullptr ? std::nullopt : std::optional<std::string>(*text);
}

std::shared_ptr<NSError> NSError::underlyingError() const {
  const auto* underlying = userInfoValue<std::shared_ptr<NSError>>(NSUnderlyingErrorKey);
  return underlying == nullptr ? nullptr : *underlying;
}

std::string NSError::description() const {
  std::string text = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                     localizedDescription() + "\"";
  if (!user_info_.empty()) {
    text += " UserInfo={";
    bool first = true;
    for (const auto& [key, value] : user_info_) {
      if (!first) text += ", ";
      text += key;
      first = false;
    }
    text += "}";
  }
  return text;
}
