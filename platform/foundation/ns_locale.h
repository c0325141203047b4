// NSLocale: the user's current locale, as far as this system reads it (its region).
//
// The current locale is process-wide and set by hosts and tests; it starts as "en_US".
//
//   platform::foundation::SetCurrentLocaleIdentifier("de_CH");
//   NSLocale::currentLocale()->countryCode();   // "CH"
//   platform::foundation::SetCurrentLocaleIdentifier("en");   // no region: countryCode() is none
#ifndef PLATFORM_FOUNDATION_NS_LOCALE_H_
#define PLATFORM_FOUNDATION_NS_LOCALE_H_

#include <memory>
#include <optional>
#include <string>

class NSLocale {
 public:
  // A new object for the locale in effect now.
  static std::shared_ptr<NSLocale> currentLocale();

  const std::string& localeIdentifier() const { return identifier_; }
  // The region of the identifier ("CH" of "de_CH", "US" of "en-US"); none when it names none.
  std::optional<std::string> countryCode() const;

  explicit NSLocale(std::string identifier) : identifier_(std::move(identifier)) {}

 private:
  std::string identifier_;
};

namespace platform::foundation {

void SetCurrentLocaleIdentifier(const std::string& identifier);

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_NS_LOCALE_H_
