// Typed access to the committed flag values of one configuration package and user.
//
// `ZQLMarovicFlagsProtocol` is what readers of flags rely on: lookups by name with a default,
// the package's server token and experiment tokens, and `update`, which commits the package's
// configuration again. `ZQLMarovicFlags` is the flag set of one package and user, served by a
// flag store: its first read starts loading the committed configuration and blocks until the
// store has answered; later reads take the current `ZQLMarovicFlagsSnapshot`, an immutable value
// swapped whole when a commit brings new values. A flag of the wrong type answers its default
// (and is reported); so does a missing one. A flag whose value is an encoded message is read
// through a `ZQLMarovicMessageFlag`, which parses each distinct value once:
//
//   auto flags = ZQLMarovicFlags::initWithPackageName("com.example#app", "", store, false);
//   int64_t period = flags->numberForFlagName("period_seconds",
//                                             ZQLMarovicNumber::Integer(900)).longLongValue();
//   ZQLMarovicMessageFlag rules("rules", nullptr, LogSamplingRules::default_instance(), flags);
//   auto message = rules.message();   // null: no value, no default
//
// Reads may be made from any thread except the queues on which the store calls back.
#ifndef EXPERIMENT_FLAGS_MAROVIC_FLAGS_H_
#define EXPERIMENT_FLAGS_MAROVIC_FLAGS_H_

#include <google/protobuf/message_lite.h>

#include <any>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "experiment_flags/configuration.h"
#include "experiment_flags/experiment_tokens.h"
#include "experiment_flags/marovic.h"
#include "platform/foundation/ns_notification_center.h"

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
  virtual std::optional<std::string> stringForFlagName(const std::string& name,
                                                       std::optional<std::string> defaultValue) = 0;
  virtual ZQLMarovicNumber numberForFlagName(const std::string& name,
                                             ZQLMarovicNumber defaultValue) = 0;
  virtual std::optional<std::string> dataForFlagName(const std::string& name,
                                                     std::optional<std::string> defaultValue) = 0;
};

// The flag values of one package and user at one moment.
class ZQLMarovicFlagsSnapshot {
 public:
  ZQLMarovicFlagsSnapshot(std::string packageName, std::optional<std::string> serverToken,
                          std::optional<std::string> userID, std::optional<std::string> diffToken,
                          std::shared_ptr<const ZQLMarovicExperimentTokens> tokens,
                          int64_t configurationVersion, std::optional<ZQLMarovicFlagMap> flags);

  const std::string& packageName() const { return package_name_; }
  const std::optional<std::string>& serverToken() const { return server_token_; }
  const std::optional<std::string>& userID() const { return user_id_; }
  const std::optional<std::string>& diffToken() const { return diff_token_; }
  const std::shared_ptr<const ZQLMarovicExperimentTokens>& tokens() const { return tokens_; }
  int64_t configurationVersion() const { return configuration_version_; }
  const std::optional<ZQLMarovicFlagMap>& flags() const { return flags_; }

  // The value of any type: numbers as ZQLMarovicNumber, strings and bytes as std::string.
  std::any valueForFlagName(const std::string& name, std::any defaultValue) const;
  std::optional<std::string> stringForFlagName(const std::string& name,
                                               std::optional<std::string> defaultValue) const;
  ZQLMarovicNumber numberForFlagName(const std::string& name, ZQLMarovicNumber defaultValue) const;
  std::optional<std::string> dataForFlagName(const std::string& name,
                                             std::optional<std::string> defaultValue) const;
  // Bytes flags holding a StringListParam or an Int64ListParam; the default when absent or
  // unparsable.
  std::vector<std::string> stringArrayForFlagName(const std::string& name,
                                                  std::vector<std::string> defaultValue) const;
  std::vector<int64_t> numberArrayForFlagName(const std::string& name,
                                              std::vector<int64_t> defaultValue) const;

  bool isEqual(const ZQLMarovicFlagsSnapshot& other) const;
  uint64_t hash() const;
  std::string description() const;

 private:
  // The flag when present with one of `types`; reports `complaint` when present otherwise.
  const ZQLMarovicConfigurationFlag* Typed(const std::string& name,
                                           std::initializer_list<int64_t> types,
                                           const char* complaint) const;

  const std::string package_name_;
  const std::optional<std::string> server_token_;
  const std::optional<std::string> user_id_;
  const std::optional<std::string> diff_token_;
  const std::shared_ptr<const ZQLMarovicExperimentTokens> tokens_;
  const int64_t configuration_version_;
  const std::optional<ZQLMarovicFlagMap> flags_;
};

class ZQLMarovicFlags;

// Told when a commit changed the values of a flag set.
class ZQLMarovicFlagsListener {
 public:
  virtual ~ZQLMarovicFlagsListener() = default;
  virtual void flags(const std::shared_ptr<ZQLMarovicFlags>& flags,
                     const std::shared_ptr<ZQLMarovicConfiguration>& configuration) = 0;
};

class ZQLMarovicFlags : public ZQLMarovicFlagsProtocol,
                        public std::enable_shared_from_this<ZQLMarovicFlags> {
 public:
  // The flag set of `packageName` for `userID` ("" when logged out), served by `marovic` (null:
  // the shared store). With `autoUpdate` it commits again whenever the app enters the
  // background; with `startLoading` the first load starts at once.
  static std::shared_ptr<ZQLMarovicFlags> initWithPackageName(const std::string& packageName,
                                                              const std::string& userID,
                                                              std::shared_ptr<ZQLMarovic> marovic,
                                                              bool autoUpdate, bool startLoading);
  static std::shared_ptr<ZQLMarovicFlags> initWithPackageName(const std::string& packageName,
                                                              const std::string& userID,
                                                              std::shared_ptr<ZQLMarovic> marovic,
                                                              bool autoUpdate);
  static std::shared_ptr<ZQLMarovicFlags> initWithPackageName(const std::string& packageName,
                                                              const std::string& userID);
  static std::shared_ptr<ZQLMarovicFlags> initWithPackageName(const std::string& packageName);
  ~ZQLMarovicFlags() override;

  const std::string& packageName() const { return package_name_; }
  const std::shared_ptr<ZQLMarovic>& marovic() const { return marovic_; }
  const std::string& startingUserID() const { return starting_user_id_; }

  void startLoading() override;
  // Commits again for the current user; returns once the result is applied.
  void update() override;
  // Commits for `userID` when it differs from the current user.
  void setUserID(const std::string& userID);
  void commitConfigurationForUserID(const std::string& userID);

  // Each waits for the first load.
  std::optional<std::string> userID();
  std::optional<std::string> serverToken() override;
  std::shared_ptr<ZQLMarovicExperimentTokens> tokens() override;
  int64_t configurationVersion();
  std::shared_ptr<const ZQLMarovicFlagsSnapshot> snapshot();
  std::any valueForFlagName(const std::string& name, std::any defaultValue) override;
  std::optional<std::string> stringForFlagName(const std::string& name,
                                               std::optional<std::string> defaultValue) override;
  ZQLMarovicNumber numberForFlagName(const std::string& name,
                                     ZQLMarovicNumber defaultValue) override;
  std::optional<std::string> dataForFlagName(const std::string& name,
                                             std::optional<std::string> defaultValue) override;
  std::vector<std::string> stringArrayForFlagName(const std::string& name,
                                                  std::vector<std::string> defaultValue);
  std::vector<int64_t> numberArrayForFlagName(const std::string& name,
                                              std::vector<int64_t> defaultValue);

  // Listeners are held weakly.
  void addListener(const std::shared_ptr<ZQLMarovicFlagsListener>& listener);
  void removeListener(const std::shared_ptr<ZQLMarovicFlagsListener>& listener);

  // The steps of loading and committing.
  void waitForConfigsToLoad();
  void configsFinishedLoading();
  void callListeners(const std::shared_ptr<ZQLMarovicConfiguration>& configuration);
  // Applies a store answer for `userID`; answers whether the values changed.
  bool updateWithConfiguration(const std::shared_ptr<ZQLMarovicConfiguration>& configuration,
                               const std::string& userID, const std::shared_ptr<NSError>& error);
  void applicationDidEnterBackground();

  // Use the factories above.
  ZQLMarovicFlags(std::string packageName, std::string userID, std::shared_ptr<ZQLMarovic> marovic);

 private:
  std::shared_ptr<const ZQLMarovicFlagsSnapshot> CurrentSnapshot() const;
  // The committer of a commit for `userID`: applies, finishes the load, tells listeners.
  ZQLMarovic::Committer CommitterFor(std::string userID, std::function<void()> after = nullptr);

  const std::string package_name_;
  const std::string starting_user_id_;
  const std::shared_ptr<ZQLMarovic> marovic_;

  std::mutex start_mutex_;
  std::atomic<bool> started_loading_{false};

  std::mutex loaded_mutex_;
  std::condition_variable configs_loaded_condition_;
  bool configs_loaded_ = false;

  std::mutex listeners_mutex_;
  std::vector<std::weak_ptr<ZQLMarovicFlagsListener>> listeners_;

  mutable std::mutex snapshot_mutex_;
  std::shared_ptr<const ZQLMarovicFlagsSnapshot> atomic_snapshot_;

  std::shared_ptr<NSNotificationObserverToken> background_observer_;
};

// One named flag of a flag set, with a default and a test override.
class ZQLMarovicFlag {
 public:
  ZQLMarovicFlag(std::string name, std::shared_ptr<ZQLMarovicFlagsProtocol> flags)
      : name_(std::move(name)), flags_(std::move(flags)) {}
  virtual ~ZQLMarovicFlag() = default;
  const std::string& name() const { return name_; }
  const std::shared_ptr<ZQLMarovicFlagsProtocol>& flags() const { return flags_; }

 private:
  const std::string name_;
  const std::shared_ptr<ZQLMarovicFlagsProtocol> flags_;
};

// A flag of one value kind: the test override when set, else the flag set's value.
template <typename T>
class ZQLMarovicTypedFlag : public ZQLMarovicFlag {
 public:
  ZQLMarovicTypedFlag(std::string name, T defaultValue,
                      std::shared_ptr<ZQLMarovicFlagsProtocol> flags)
      : ZQLMarovicFlag(std::move(name), std::move(flags)),
        default_value_(std::move(defaultValue)) {}
  const T& defaultValue() const { return default_value_; }
  std::optional<T> testOverride() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return test_override_;
  }
  void setTestOverride(std::optional<T> value) {
    std::lock_guard<std::mutex> lock(mutex_);
    test_override_ = std::move(value);
  }

 protected:
  mutable std::mutex mutex_;
  const T default_value_;
  std::optional<T> test_override_;
};

class ZQLMarovicStringFlag : public ZQLMarovicTypedFlag<std::optional<std::string>> {
 public:
  using ZQLMarovicTypedFlag::ZQLMarovicTypedFlag;
  std::optional<std::string> value() const;
};

class ZQLMarovicNumberFlag : public ZQLMarovicTypedFlag<ZQLMarovicNumber> {
 public:
  using ZQLMarovicTypedFlag::ZQLMarovicTypedFlag;
  ZQLMarovicNumber value() const;
};

class ZQLMarovicDataFlag : public ZQLMarovicTypedFlag<std::optional<std::string>> {
 public:
  using ZQLMarovicTypedFlag::ZQLMarovicTypedFlag;
  std::optional<std::string> value() const;
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
