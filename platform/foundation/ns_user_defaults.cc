#include "platform/foundation/ns_user_defaults.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <utility>
#include <variant>

#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/percent_encoding.h"
#include "platform/foundation/sandbox.h"

namespace platform::foundation::internal {

struct DateSeconds {
  double since1970;
};

using DefaultsValue =
    std::variant<std::string, long long, double, bool, std::vector<uint8_t>, DateSeconds>;

struct DefaultsSuite {
  explicit DefaultsSuite(std::string file_path) : path(std::move(file_path)) {}

  const std::string path;
  std::mutex mutex;
  std::map<std::string, DefaultsValue> values;
  bool unsaved = false;  // the last write failed
};

}  // namespace platform::foundation::internal

namespace {

using platform::foundation::internal::DateSeconds;
using platform::foundation::internal::DefaultsSuite;
using platform::foundation::internal::DefaultsValue;

constexpr char kHeader[] = "quillmere-defaults 1";
bool IsPlainByte(unsigned char c) { return c > ' ' && c <= '~' && c != '%'; }

std::string Escape(const std::string& text) {
  return platform::foundation::internal::PercentEncode(text, IsPlainByte);
}

std::optional<double> ParseDouble(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (*end != '\0') return std::nullopt;
  return value;
}

std::optional<long long> ParseInteger(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) return std::nullopt;
  return value;
}

std::string Format(const DefaultsValue& value) {
  char number[64];
  switch (value.index()) {
    case 0:
      return "s " + Escape(std::get<std::string>(value));
    case 1:
      snprintf(number, sizeof(number), "i %lld", std::get<long long>(value));
      return number;
    case 2:
      snprintf(number, sizeof(number), "d %.17g", std::get<double>(value));
      return number;
    case 3:
      return std::get<bool>(value) ? "b 1" : "b 0";
    case 4: {
      const auto& bytes = std::get<std::vector<uint8_t>>(value);
      if (bytes.empty()) return "x -";
      std::string hex = "x ";
      for (uint8_t byte : bytes) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
      }
      return hex;
    }
    default:
      snprintf(number, sizeof(number), "t %.17g", std::get<DateSeconds>(value).since1970);
      return number;
  }
}

// Parses the value text of one line into `value`; false when it does not parse.
bool ParseValue(char type, const std::string& text, DefaultsValue* value) {
  switch (type) {
    case 's': {
      auto plain = platform::foundation::internal::PercentDecode(text);
      if (plain.has_value()) *value = std::move(*plain);
      return plain.has_value();
    }
    case 'i': {
      auto number = ParseInteger(text);
      if (number.has_value()) *value = *number;
      return number.has_value();
    }
    case 'd': {
      auto number = ParseDouble(text);
      if (number.has_value()) *value = *number;
      return number.has_value();
    }
    case 'b':
      if (text != "0" && text != "1") return false;
      *value = text == "1";
      return true;
    case 'x': {
      std::vector<uint8_t> bytes;
      if (text != "-") {
        if (text.size() % 2 != 0) return false;
        for (size_t i = 0; i < text.size(); i += 2) {
          int high = platform::foundation::internal::HexDigitValue(text[i]);
          int low = platform::foundation::internal::HexDigitValue(text[i + 1]);
          if (high < 0 || low < 0) return false;
          bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        }
      }
      *value = std::move(bytes);
      return true;
    }
    case 't': {
      auto seconds = ParseDouble(text);
      if (seconds.has_value()) *value = DateSeconds{*seconds};
      return seconds.has_value();
    }
    default:
      return false;
  }
}

std::map<std::string, DefaultsValue> ReadSuiteFile(const std::string& path) {
  std::map<std::string, DefaultsValue> values;
  auto bytes = NSFileManager::defaultManager()->contentsAtPath(path);
  if (!bytes.has_value()) return values;
  std::istringstream lines(std::string(bytes->begin(), bytes->end()));
  std::string line;
  if (!std::getline(lines, line) || line != kHeader) return values;
  while (std::getline(lines, line)) {
    // "<type> <key> <value>": the type is one character, the key and value hold no spaces.
    size_t second_space = line.find(' ', 2);
    if (line.size() < 4 || line[1] != ' ' || second_space == std::string::npos) continue;
    auto key = platform::foundation::internal::PercentDecode(line.substr(2, second_space - 2));
    DefaultsValue value;
    if (key.has_value() && ParseValue(line[0], line.substr(second_space + 1), &value)) {
      values[*key] = std::move(value);
    }
  }
  return values;
}

// Writes the suite's values; call under the suite's mutex.
bool WriteSuiteLocked(DefaultsSuite& suite) {
  std::string text = std::string(kHeader) + "\n";
  for (const auto& [key, value] : suite.values) {
    std::string formatted = Format(value);
    text += formatted.substr(0, 2) + Escape(key) + " " + formatted.substr(2) + "\n";
  }
  auto manager = NSFileManager::defaultManager();
  std::string folder = suite.path.substr(0, suite.path.rfind('/'));
  bool written = manager->createDirectoryAtPath(folder, true, {}, nullptr) &&
                 NSDataWriteToFile(std::vector<uint8_t>(text.begin(), text.end()), suite.path,
                                   NSDataWritingAtomic, nullptr);
  suite.unsaved = !written;
  return written;
}

struct DefaultsRegistry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<DefaultsSuite>> suites;  // by file path
  std::shared_ptr<NSUserDefaults> standard;
};

DefaultsRegistry& Registry() {
  static auto* registry = new DefaultsRegistry();
  return *registry;
}

// The shared state of the suite's file in the current sandbox; call under the registry mutex.
std::shared_ptr<DefaultsSuite> SuiteLocked(const std::string& name) {
  std::string path = platform::foundation::SandboxPreferencesDirectory() + "/" + name + ".defaults";
  auto& suite = Registry().suites[path];
  if (suite == nullptr) {
    suite = std::make_shared<DefaultsSuite>(path);
    suite->values = ReadSuiteFile(path);
  }
  return suite;
}

bool IsTrueText(const std::string& text) {
  if (text == "YES" || text == "yes" || text == "true" || text == "TRUE") return true;
  auto number = ParseDouble(text);
  return number.has_value() && *number != 0;
}

}  // namespace

NSUserDefaults::NSUserDefaults(std::shared_ptr<platform::foundation::internal::DefaultsSuite> suite)
    : suite_(std::move(suite)) {}

std::shared_ptr<NSUserDefaults> NSUserDefaults::standardUserDefaults() {
  DefaultsRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (registry.standard == nullptr) {
    auto main = NSBundle::mainBundle();
    std::string name = main == nullptr ? std::string() : main->bundleIdentifier();
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) name = "standard";
    registry.standard = std::make_shared<NSUserDefaults>(SuiteLocked(name));
  }
  return registry.standard;
}

std::shared_ptr<NSUserDefaults> NSUserDefaults::initWithSuiteName(const std::string& suiteName) {
  if (suiteName.empty() || suiteName[0] == '.' || suiteName.find('/') != std::string::npos ||
      suiteName.find('\0') != std::string::npos || suiteName == "NSGlobalDomain") {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(Registry().mutex);
  return std::make_shared<NSUserDefaults>(SuiteLocked(suiteName));
}

std::any NSUserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(suite_->mutex);
  auto it = suite_->values.find(key);
  if (it == suite_->values.end()) return std::any();
  return std::visit(
      [](const auto& value) -> std::any {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, DateSeconds>) {
          return NSDate::dateWithTimeIntervalSince1970(value.since1970);
        } else {
          return value;
        }
      },
      it->second);
}

std::optional<std::string> NSUserDefaults::stringForKey(const std::string& key) const {
  std::any value = objectForKey(key);
  if (const auto* text = std::any_cast<std::string>(&value)) return *text;
  char number[64];
  if (const auto* integer = std::any_cast<long long>(&value)) {
    snprintf(number, sizeof(number), "%lld", *integer);
    return std::string(number);
  }
  if (const auto* real = std::any_cast<double>(&value)) {
    snprintf(number, sizeof(number), "%.17g", *real);
    return std::string(number);
  }
  if (const auto* flag = std::any_cast<bool>(&value)) return std::string(*flag ? "1" : "0");
  return std::nullopt;
}

std::optional<std::vector<uint8_t>> NSUserDefaults::dataForKey(const std::string& key) const {
  std::any value = objectForKey(key);
  if (const auto* bytes = std::any_cast<std::vector<uint8_t>>(&value)) return *bytes;
  return std::nullopt;
}

double NSUserDefaults::doubleForKey(const std::string& key) const {
  std::any value = objectForKey(key);
  if (const auto* integer = std::any_cast<long long>(&value)) return static_cast<double>(*integer);
  if (const auto* real = std::any_cast<double>(&value)) return *real;
  if (const auto* flag = std::any_cast<bool>(&value)) return *flag ? 1 : 0;
  if (const auto* text = std::any_cast<std::string>(&value)) return ParseDouble(*text).value_or(0);
  return 0;
}

long NSUserDefaults::integerForKey(const std::string& key) const {
  std::any value = objectForKey(key);
  if (const auto* integer = std::any_cast<long long>(&value)) return static_cast<long>(*integer);
  if (const auto* text = std::any_cast<std::string>(&value)) {
    if (auto integer = ParseInteger(*text)) return static_cast<long>(*integer);
  }
  return static_cast<long>(doubleForKey(key));
}

bool NSUserDefaults::boolForKey(const std::string& key) const {
  std::any value = objectForKey(key);
  if (const auto* flag = std::any_cast<bool>(&value)) return *flag;
  if (const auto* text = std::any_cast<std::string>(&value)) return IsTrueText(*text);
  return doubleForKey(key) != 0;
}

namespace {

// Sets `key` to `value`, or removes it when `value` is null, and writes the file.
void Store(DefaultsSuite& suite, const std::string& key, const DefaultsValue* value) {
  std::lock_guard<std::mutex> lock(suite.mutex);
  if (value != nullptr) {
    suite.values[key] = *value;
  } else {
    suite.values.erase(key);
  }
  WriteSuiteLocked(suite);
}

}  // namespace

void NSUserDefaults::setObject(const std::string& value, const std::string& key) {
  DefaultsValue stored(value);
  Store(*suite_, key, &stored);
}

void NSUserDefaults::setObject(const std::vector<uint8_t>& value, const std::string& key) {
  DefaultsValue stored(value);
  Store(*suite_, key, &stored);
}

void NSUserDefaults::setObject(const std::shared_ptr<NSDate>& value, const std::string& key) {
  if (value == nullptr) {
    Store(*suite_, key, nullptr);
  } else {
    DefaultsValue stored(DateSeconds{value->timeIntervalSince1970()});
    Store(*suite_, key, &stored);
  }
}

void NSUserDefaults::setInteger(long value, const std::string& key) {
  DefaultsValue stored(static_cast<long long>(value));
  Store(*suite_, key, &stored);
}

void NSUserDefaults::setDouble(double value, const std::string& key) {
  DefaultsValue stored(value);
  Store(*suite_, key, &stored);
}

void NSUserDefaults::setBool(bool value, const std::string& key) {
  DefaultsValue stored(value);
  Store(*suite_, key, &stored);
}

void NSUserDefaults::removeObjectForKey(const std::string& key) { Store(*suite_, key, nullptr); }

bool NSUserDefaults::synchronize() {
  std::lock_guard<std::mutex> lock(suite_->mutex);
  if (suite_->unsaved && !WriteSuiteLocked(*suite_)) return false;
  suite_->values = ReadSuiteFile(suite_->path);
  return true;
}

namespace platform::foundation {

void ResetUserDefaults() {
  DefaultsRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.suites.clear();
  registry.standard = nullptr;
}

}  // namespace platform::foundation
