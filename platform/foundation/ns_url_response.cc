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

namespace {

using HeaderFields = std::map<std::string, std::string>;

HeaderFields::const_iterator FindField(const HeaderFields& fields, const std::string& field) {
  for (auto it = fields.begin(); it != fields.end(); ++it) {
    if (strcasecmp(it->first.c_str(), field.c_str()) == 0) return it;
  }
  return fields.end();
}

std::optional<std::string> FieldValue(const HeaderFields& fields, const std::string& field) {
  auto it = FindField(fields, field);
  if (it == fields.end()) return std::nullopt;
  return it->second;
}

}  // namespace

std::optional<std::string> NSURLRequest::valueForHTTPHeaderField(const std::string& field) const {
  return FieldValue(header_fields_, field);
}

std::shared_ptr<NSMutableURLRequest> NSMutableURLRequest::requestWithURL(std::string url) {
  return std::make_shared<NSMutableURLRequest>(std::move(url), NSURLRequestUseProtocolCachePolicy,
                                               kDefaultTimeoutInterval);
}

void NSMutableURLRequest::setValue(const std::string& value, const std::string& field) {
  auto it = FindField(header_fields_, field);
  if (it != header_fields_.end()) header_fields_.erase(it);
  if (!value.empty()) header_fields_[field] = value;
}

void NSMutableURLRequest::addValue(const std::string& value, const std::string& field) {
  std::optional<std::string> current = FieldValue(header_fields_, field);
  setValue(current.has_value() && !current->empty() ? *current + "," + value : value, field);
}

void NSMutableURLRequest::setAllHTTPHeaderFields(const HeaderFields& fields) {
  header_fields_.clear();
  for (const auto& [name, value] : fields) setValue(value, name);
}

std::shared_ptr<NSHTTPURLResponse> NSHTTPURLResponse::initWithURL(std::string url,
                                                                  long statusCode,
                                                                  HeaderFields headerFields) {
  return std::make_shared<NSHTTPURLResponse>(std::move(url), statusCode, std::move(headerFields),
                                             -1);
}

std::optional<std::string> NSHTTPURLResponse::valueForHTTPHeaderField(
    const std::string& field) const {
  return FieldValue(header_fields_, field);
}

void NSHTTPURLResponse::AddReceivedHeaderLine(std::string line, HeaderFields* fields) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    fields->clear();
    return;
  }
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return;
  const size_t start = line.find_first_not_of(" \t", colon + 1);
  std::string value = start == std::string::npos ? "" : line.substr(start);
  auto [it, inserted] = fields->emplace(line.substr(0, colon), value);
  if (!inserted) it->second += ", " + value;
}
