#include "infra/provider.h"

#include "infra/error_handler.h"

namespace infra::internal {

void ReportProviderWithoutBlock() {
  XLMErrorHandler::registerHandler();
  ZRBLogFromCallSite(4, __FILE__, "KJPProvider::initWithBlock", __LINE__,
                     std::string("KJPProvider expects a block."), {});
}

}  // namespace infra::internal
