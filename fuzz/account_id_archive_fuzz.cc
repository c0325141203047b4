// Reads arbitrary bytes as a keyed archive of an account identifier (any of the four kinds).
// Any crash, hang, leak or sanitizer report is a fault; refusing the bytes is expected. A decoded
// identifier must archive again, read back and compare equal to itself.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "infra/account_id.h"
#include "infra/error_handler.h"
#include "platform/utility/base_logger.h"

namespace {

class QuietWriter : public platform::utility::LogWriter {
 public:
  void writeLine(const std::string&, unsigned) override {}
};

const std::set<std::string>& Setup() {
  static const std::set<std::string> names = [] {
    platform::foundation::RegisterCodingClass<XLMEmailAccountId>();
    platform::foundation::RegisterCodingClass<XLMHollinAccountId>();
    platform::foundation::RegisterCodingClass<XLMPhoneAccountId>();
    platform::foundation::RegisterCodingClass<XLMNoAccountId>();
    // Decoding faults (an empty Hollin id) are expected: count them, print nothing.
    XLMErrorHandler::registerHandler();
    XLMErrorHandler::sharedInstance()->setErrorHandlerBlock(
        [](const std::shared_ptr<XLMErrorDescription>&) {});
    platform::utility::BaseLogger::sharedLogger()->setWriter(std::make_shared<QuietWriter>());
    return std::set<std::string>{XLMEmailAccountId::className(), XLMHollinAccountId::className(),
                                 XLMPhoneAccountId::className(), XLMNoAccountId::className()};
  }();
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::set<std::string>& names = Setup();
  std::vector<uint8_t> bytes(data, data + size);
  std::shared_ptr<NSError> error;
  auto object = NSKeyedUnarchiver::unarchivedObjectOfClasses(names, bytes, &error);
  auto account = std::dynamic_pointer_cast<SRLAccountID>(object);
  if (object != nullptr && account == nullptr) std::abort();
  if (account == nullptr) return 0;
  if (account->identifier().empty()) std::abort();

  auto again = NSKeyedArchiver::archivedDataWithRootObject(object, true, &error);
  if (!again) std::abort();
  auto back = std::dynamic_pointer_cast<SRLAccountID>(
      NSKeyedUnarchiver::unarchivedObjectOfClasses(names, *again, &error));
  if (back == nullptr || !back->isEqual(account.get()) || back->hash() != account->hash() ||
      back->description() != account->description()) {
    std::abort();
  }
  return 0;
}
