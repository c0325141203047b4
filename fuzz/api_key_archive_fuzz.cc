// Reads arbitrary bytes as a keyed archive of a service-registry API key. Any crash, hang, leak
// or sanitizer report is a fault; refusing the bytes is expected. A decoded key has no instance
// type, and must archive again, read back and compare equal to itself.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "infra/error_handler.h"
#include "infra/srl_entities.h"
#include "platform/utility/base_logger.h"

namespace {

class QuietWriter : public platform::utility::LogWriter {
 public:
  void writeLine(const std::string&, unsigned) override {}
};

void Setup() {
  static bool once = [] {
    platform::foundation::RegisterCodingClass<SRLAPIKey>();
    XLMErrorHandler::registerHandler();
    XLMErrorHandler::sharedInstance()->setErrorHandlerBlock(
        [](const std::shared_ptr<XLMErrorDescription>&) {});
    platform::utility::BaseLogger::sharedLogger()->setWriter(std::make_shared<QuietWriter>());
    return true;
  }();
  (void)once;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Setup();
  std::vector<uint8_t> bytes(data, data + size);
  std::shared_ptr<NSError> error;
  auto key = NSKeyedUnarchiver::unarchivedObjectOfClass<SRLAPIKey>(bytes, &error);
  if (key == nullptr) return 0;
  if (key->instanceType() != nullptr) std::abort();
  (void)key->description();

  auto again = NSKeyedArchiver::archivedDataWithRootObject(key, true, &error);
  if (!again) std::abort();
  auto back = NSKeyedUnarchiver::unarchivedObjectOfClass<SRLAPIKey>(*again, &error);
  if (back == nullptr || !back->isEqual(key.get()) || back->hash() != key->hash()) std::abort();
  return 0;
}
