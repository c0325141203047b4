#include "experiment_flags/marovic_flags.h"

#include "infra/log_multiplexer.h"

std::shared_ptr<ZQLMarovicFlags> ZQLMarovicFlags::initWithPackageName(
    const std::string& packageName, const std::string& userID,
    std::shared_ptr<ZQLMarovic> marovic, bool /*autoUpdate*/) {
  if (marovic == nullptr) marovic = ZQLMarovic::sharedInstance();
  return std::make_shared<ZQLMarovicFlags>(packageName, userID, std::move(marovic));
}

void ZQLMarovicMessageFlag::setTestOverrideMessage(
    std::shared_ptr<const google::protobuf::MessageLite> message) {
  std::lock_guard<std::mutex> lock(mutex_);
  test_override_ = std::move(message);
}

std::shared_ptr<const google::protobuf::MessageLite> ZQLMarovicMessageFlag::message() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (test_override_ != nullptr) return test_override_;
  std::optional<std::string> data = flags_->dataForFlagName(name_, std::nullopt);
  if (!data.has_value()) return default_message_;
  if (data_.has_value() && *data_ == *data) return message_;
  std::shared_ptr<google::protobuf::MessageLite> parsed(prototype_.New());
  if (!parsed->ParseFromString(*data)) {
    ZRB_LOG_MESSAGE(3, ZQLStandardZRBLogMetadata(), "Could not parse data message from Marovic: %@",
                    "the bytes are not a " + prototype_.GetTypeName());
    data_.reset();
    message_.reset();
    return default_message_;
  }
  data_ = std::move(data);
  message_ = parsed;
  return message_;
}
