#include "platform/foundation/ns_locale.h"

#include <mutex>

namespace {

std::mutex locale_mutex;
std::string& CurrentIdentifier() {
  static std::string* identifier = new std::string("en_US");
  return *identifier;
}

}  // namespace

std::shared_ptr<NSLocale> NSLocale::currentLocale() {
  std::lock_guard<std::mutex> lock(locale_mutex);
  return std::make_shared<NSLocale>(CurrentIdentifier());
}

std::optional<std::string> NSLocale::countryCode() const {
  // language[_-]Script?[_-]REGION[@...]: the region is the first part after the language of
  // two upper-case letters or three digits.
  std::string id = identifier_.substr(0, identifier_.find('@'));
  size_t start = id.find_first_of("_-");
  while (start != std::string::npos) {
    size_t end = id.find_first_of("_-", start + 1);
    std::string part = id.substr(start + 1, end == std::string::npos ? end : end - start - 1);
    bool upper2 = part.size() == 2 && isupper(static_cast<unsigned char>(part[0])) &&
                  isupper(static_cast<unsigned char>(part[1]));
    bool digits3 = part.size() == 3 && isdigit(static_cast<unsigned char>(part[0])) &&
                   isdigit(static_cast<unsigned char>(part[1])) &&
                   isdigit(static_cast<unsigned char>(part[2]));
    if (upper2 || digits3) return part;
    start = end;
  }
  return std::nullopt;
}

namespace platform::foundation {

void SetCurrentLocaleIdentifier(const std::string& identifier) {
  std::lock_guard<std::mutex> lock(locale_mutex);
  CurrentIdentifier() = identifier;
}

}  // namespace platform::foundation
