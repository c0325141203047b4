#include "gpu/pellumo_graph_status_error.h"

#include "platform/foundation/system_log.h"

const char* const kVQZBrenvikUtilStatusErrorDomain = "BrenvikUtilStatusErrorDomain";
const char* const kVQZBrenvikUtilStatusErrorKey = "VQZBrenvikUtilStatusErrorKey";

std::shared_ptr<VQZUtilStatusWrapper> VQZUtilStatusWrapper::wrapStatus(const absl::Status& status) {
  return initWithStatus(status);
}

std::shared_ptr<VQZUtilStatusWrapper> VQZUtilStatusWrapper::initWithStatus(
    const absl::Status& status) {
  auto wrapper = std::make_shared<VQZUtilStatusWrapper>();
  wrapper->status_ = status;
  return wrapper;
}

std::string VQZUtilStatusWrapper::description() const {
  const std::string message(status_.message());
  return platform::foundation::StringWithFormat("<VQZUtilStatusWrapper: %p; status = %s>",
                                                static_cast<const void*>(this), message.c_str());
}

std::shared_ptr<NSError> vqz_errorWithStatus(const absl::Status& status) {
  NSErrorUserInfo userInfo;
  userInfo[NSLocalizedDescriptionKey] = std::string(status.message());
  userInfo[kVQZBrenvikUtilStatusErrorKey] = VQZUtilStatusWrapper::wrapStatus(status);
  return NSError::errorWithDomain(kVQZBrenvikUtilStatusErrorDomain,
                                  static_cast<long>(status.code()), std::move(userInfo));
}

absl::Status vqz_status(const NSError& error) {
  if (error.domain() == kVQZBrenvikUtilStatusErrorDomain) {
    if (const auto* wrapper = error.userInfoValue<std::shared_ptr<VQZUtilStatusWrapper>>(
            kVQZBrenvikUtilStatusErrorKey);
        wrapper != nullptr && *wrapper != nullptr) {
      return (*wrapper)->status();
    }
  }
  return absl::Status(absl::StatusCode::kUnknown, error.localizedDescription());
}
