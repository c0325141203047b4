#include "platform/foundation/ns_url_response.h"

#include <strings.h>

std::shared_ptr<NSURLRequest> NSURLRequest::requestWithURL(std::string url) {
  return requestWithURL(std::move(url), NSURLRequestUseProtocolCachePolicy,
                        kDefaultTimeoutInterval);
}

std::shared_ptr<NSURLRequest> NSURLRequest::requestWithURL(std::string url,
                                                           NSURLRequestCachePolicy cachePolicy,
                                                           double timeoutInterval) {
  return std::make_shared<NSURLRequest>(std::move(url), cachePolicy, timeoutInterval);
}

std::optional<std::string> NSHTTPURLResponse::valueForHTTPHeaderField(
    const std::string& field) const {
  for (const auto& [name, value] : header_fields_) {
    if (strcasecmp(name.c_str(), field.c_str()) == 0) return value;
  }
  return std::nullopt;
}
