// Typed access to the flag values of one configuration package.
//
// `ZQLMarovicFlagsProtocol` is what readers of flags rely on: lookups by name with a default,
// the package's server token and experiment tokens, and `update`, which commits the package's
// configuration again. `ZQLMarovicFlags` is the flag set of one package and user; until the
// file-based store serves committed values, its lookups answer their defaults. A flag whose
// value is an encoded message is read through a `ZQLMarovicMessageFlag`, which parses the bytes
// once and answers its default message while there are none or they do not parse:
//
//   auto flags = ZQLMarovicFlags::initWithPackageName("com.example#app", "", nullptr, false);
//   int64_t period = flags->numberForFlagName("period_seconds",
//                                             ZQLMarovicNumber::Integer(900)).longLongValue();
//   ZQLMarovicMessageFlag rules("rules", nullptr, LogSamplingRules::default_instance(), flags);
//   auto message = rules.message();   // null: no value, no default
//
// Lookups may be made from any thread.
#ifndef EXPERIMENT_FLAGS_MAROVIC_FLAGS_H_
#define EXPERIMENT_FLAGS_MAROVIC_FLAGS_H_

#include <google/protobuf/message_lite.h>

#include <any>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "experiment_flags/experiment_tokens.h"
#include "experiment_flags/marovic.h"

// A number flag's value: an integer, a truth value or a double.
class ZQLMarovicNumber {
 public:
  static ZQLMarovicNumber Integer(int64_t value) { return ZQLMarovicNumber(value, value); }
  static ZQLMarovicNumber Boolean(bool value) { return ZQLMarovicNumber(value ? 1 : 0, value); }
  static ZQLMarovicNumber Double(double value) {
    return ZQLMarovicNumber(static_cast<int64_t>(value), value);
  }

  int64_t longLongValue() const { return integer_; }
  uint64_t unsignedLongLongValue() const { return static_cast<uint64_t>(integer_); }
  bool boolValue() const { return real_ != 0; }
  double doubleValue() const { return real_; }

 private:
  ZQLMarovicNumber(int64_t integer, double real) : integer_(integer), real_(real) {}
  int64_t integer_;
  double real_;
};

class ZQLMarovicFlagsProtocol {
 public:
  virtual ~ZQLMarovicFlagsProtocol() = default;

  // Starts the first load of the values (once); returns at once.
  virtual void startLoading() = 0;
  // Commits the package's configuration again and serves the new values.
  virtual void update() = 0;
  virtual std::shared_ptr<ZQLMarovicExperimentTokens> tokens() = 0;
  // The server token of the current values, or none.
  virtual std::optional<std::string> serverToken() = 0;

  // Each answers the flag's value when the current values define it with a fitting type, else
  // the default.
  virtual std::any valueForFlagName(const std::string& name, std::any defaultValue) = 0;
  virtual std::optional<std::string> stringForFlagName(
      const std::string& name, std::optional<std::string> defaultValue) = 0;
  virtual ZQLMarovicNumber numberForFlagName(const std::string& name,
                                             ZQLMarovicNumber defaultValue) = 0;
  virtual std::optional<std::string> dataForFlagName(const std::string& name,
                                                     std::optional<std::string> defaultValue) = 0;
};

class ZQLMarovicFlags : public ZQLMarovicFlagsProtocol {
 public:
  // The flag set of `packageName` for `userID`, served by `marovic` (null: the shared store).
  static std::shared_ptr<ZQLMarovicFlags> initWithPackageName(const std::string& packageName,
                                                              const std::string& userID,
                                                              std::shared_ptr<ZQLMarovic> marovic,
                                                              bool autoUpdate);

  const std::string& packageName() const { return package_name_; }
  const std::string& userID() const { return user_id_; }

  void startLoading() override {}
  void update() override {}
  std::shared_ptr<ZQLMarovicExperimentTokens> tokens() override { return nullptr; }
  std::optional<std::string> serverToken() override { return std::nullopt; }
  std::any valueForFlagName(const std::string&, std::any defaultValue) override {
    return defaultValue;
  }
  std::optional<std::string> stringForFlagName(const std::string&,
                                               std::optional<std::string> defaultValue) override {
    return defaultValue;
  }
  ZQLMarovicNumber numberForFlagName(const std::string&, ZQLMarovicNumber defaultValue) override {
    return defaultValue;
  }
  std::optional<std::string> dataForFlagName(const std::string&,
                                             std::optional<std::string> defaultValue) override {
    return defaultValue;
  }

  // Use the factory above.
  ZQLMarovicFlags(std::string packageName, std::string userID, std::shared_ptr<ZQLMarovic> marovic)
      : package_name_(std::move(packageName)),
        user_id_(std::move(userID)),
        marovic_(std::move(marovic)) {}

 private:
  const std::string package_name_;
  const std::string user_id_;
  const std::shared_ptr<ZQLMarovic> marovic_;
};

// A flag whose value is the encoding of a message of one class.
class ZQLMarovicMessageFlag {
 public:
  // `prototype` names the class (its New() makes the messages parsed); `defaultMessage` may be
  // null.
  ZQLMarovicMessageFlag(std::string name,
                        std::shared_ptr<const google::protobuf::MessageLite> defaultMessage,
                        const google::protobuf::MessageLite& prototype,
                        std::shared_ptr<ZQLMarovicFlagsProtocol> flags)
      : name_(std::move(name)),
        default_message_(std::move(defaultMessage)),
        prototype_(prototype),
        flags_(std::move(flags)) {}

  const std::string& name() const { return name_; }

  // The test override when set; else the message of the flag's bytes, parsed once per distinct
  // bytes; the default message when there are no bytes or they do not parse (reported).
  std::shared_ptr<const google::protobuf::MessageLite> message();
  void setTestOverrideMessage(std::shared_ptr<const google::protobuf::MessageLite> message);

 private:
  const std::string name_;
  const std::shared_ptr<const google::protobuf::MessageLite> default_message_;
  const google::protobuf::MessageLite& prototype_;
  const std::shared_ptr<ZQLMarovicFlagsProtocol> flags_;
  std::mutex mutex_;
  std::shared_ptr<const google::protobuf::MessageLite> test_override_;
  std::optional<std::string> data_;
  std::shared_ptr<const google::protobuf::MessageLite> message_;
};

#endif  // EXPERIMENT_FLAGS_MAROVIC_FLAGS_H_
