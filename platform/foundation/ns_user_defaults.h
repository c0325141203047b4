// NSUserDefaults: small typed settings kept per suite in a file, shared by the objects of a
// process and by processes that use the same sandbox.
//
//   auto defaults = NSUserDefaults::initWithSuiteName("com.example.shared");
//   defaults->setObject(std::string("seed"), "com.example.seed");
//   defaults->stringForKey("com.example.seed");   // "seed", also through any other object of
//                                                  // the suite, and after a restart
//
// Every object of one suite (in the current sandbox) reads and writes the same values: a change
// made through one is seen at once through the others. Each change is written to the suite's
// file at once, atomically (ns_data.h), so a crash never leaves half a file; `synchronize`
// retries a write that failed and then reads the file again, taking in changes that other
// processes made. Every method may be called from any thread.
//
// Files: <sandbox>/Library/Preferences/<suite>.defaults (sandbox.h). The standard suite is
// named after the main bundle's identifier, "standard" when it has none. The file format is
// our own text format:
//   line 1:      "quillmere-defaults 1"
//   each value:  "<type> <key> <value>" with type
//                  s  string       value escaped as below
//                  i  integer      decimal, 64-bit
//                  d  double       printf "%.17g"
//                  b  bool         "0" or "1"
//                  x  data         lower-case hex, two digits per byte ("-" when empty)
//                  t  date         seconds since 1970, "%.17g"
// Keys and strings are escaped: every byte outside "!".."~" and every "%" becomes "%XX"
// (upper-case hex), so neither contains a space or a line break. Lines that do not parse are
// skipped; a file with another first line counts as empty.
//
// Reading with a type other than the stored one converts as the platform does: numbers and
// bools into each other, numeric strings into numbers, "YES"/"true"/"yes"/"TRUE" into true,
// numbers into their decimal text for `stringForKey`; anything else reads as 0, false or none.
#ifndef PLATFORM_FOUNDATION_NS_USER_DEFAULTS_H_
#define PLATFORM_FOUNDATION_NS_USER_DEFAULTS_H_

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/ns_date.h"

namespace platform::foundation::internal {
struct DefaultsSuite;
}  // namespace platform::foundation::internal

class NSUserDefaults {
 public:
  // The process's shared object of the standard suite.
  static std::shared_ptr<NSUserDefaults> standardUserDefaults();
  // A new object of the suite; null for a name that cannot be a file name (empty, starting
  // with ".", containing "/" or a NUL) and for "NSGlobalDomain".
  static std::shared_ptr<NSUserDefaults> initWithSuiteName(const std::string& suiteName);

  // The stored value as std::string, long long, double, bool, std::vector<uint8_t> or
  // std::shared_ptr<NSDate>; an empty std::any when the key is absent.
  std::any objectForKey(const std::string& key) const;
  std::optional<std::string> stringForKey(const std::string& key) const;
  std::optional<std::vector<uint8_t>> dataForKey(const std::string& key) const;
  long integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;

  void setObject(const std::string& value, const std::string& key);
  void setObject(const char* value, const std::string& key) { setObject(std::string(value), key); }
  void setObject(const std::vector<uint8_t>& value, const std::string& key);
  // A null date removes the key.
  void setObject(const std::shared_ptr<NSDate>& value, const std::string& key);
  void setInteger(long value, const std::string& key);
  void setDouble(double value, const std::string& key);
  void setBool(bool value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // Writes what could not be written before and reads the file again; false when the suite's
  // file cannot be written.
  bool synchronize();

  // Use the factories above.
  explicit NSUserDefaults(std::shared_ptr<platform::foundation::internal::DefaultsSuite> suite);

 private:
  std::shared_ptr<platform::foundation::internal::DefaultsSuite> suite_;
};

namespace platform::foundation {

// Forgets every suite held in memory and the standard object, as a new process would start:
// the next objects read their files again (and the standard suite takes the then current
// main-bundle identifier and sandbox). Objects made before keep working on the old state.
void ResetUserDefaults();

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_NS_USER_DEFAULTS_H_
