// The flag values a committer or reader receives, the snapshot lookups they come from, and the
// logged-out account.
//
// `ZQLSnapshot` reads a package's uncommitted snapshot (what the last sync wrote) or committed
// snapshot (what flags serve) and turns a snapshot into a `ZQLMarovicConfiguration`: one
// `ZQLMarovicConfigurationFlag` per param of the server's response, local overrides winning.
//
//   std::shared_ptr<NSError> error;
//   auto snapshot = ZQLSnapshot::committedSnapshotForPackage(package, "", &error);
//   if (snapshot == nullptr) ...   // -3: nothing committed yet
//   auto configuration = ZQLSnapshot::snapshotToConfiguration(*snapshot);
//
// Lookups fail with errors of the store's domain (-2 not registered, -3 not committed, -9, -10)
// or with a parse error (kZQLRecordParseErrorDomain, the file under NSFilePathErrorKey) for a
// record that does not parse. A registered package that was never synced reads as an empty
// uncommitted snapshot of the account.
#ifndef EXPERIMENT_FLAGS_CONFIGURATION_H_
#define EXPERIMENT_FLAGS_CONFIGURATION_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "experiment_flags/experiment_tokens.h"
#include "experiment_flags/flat_file_records.pb.h"
#include "experiment_flags/marovic.h"
#include "experiment_flags/zql_url.h"
#include "platform/foundation/ns_error.h"

// The domain of the error of a record that does not parse, as the message runtime reports it.
inline constexpr char kZQLRecordParseErrorDomain[] = "GPBMessageErrorDomain";

// One flag value. The value is an integer (type 0), a truth value (1), a double (2), a string
// (3) or bytes (4); a param of an unknown kind gives no value and type 0.
class ZQLMarovicConfigurationFlag {
 public:
  using Value = std::variant<std::monostate, int64_t, bool, double, std::string>;
  enum ValueType : int64_t { kInteger = 0, kBoolean = 1, kDouble = 2, kString = 3, kBytes = 4 };

  static std::shared_ptr<ZQLMarovicConfigurationFlag> initWithName(std::optional<std::string> name,
                                                                   Value value, int64_t valueType,
                                                                   int64_t storageType);

  const std::optional<std::string>& name() const { return name_; }
  const Value& value() const { return value_; }
  int64_t valueType() const { return value_type_; }
  int64_t storageType() const { return storage_type_; }

  bool isEqual(const ZQLMarovicConfigurationFlag& other) const;
  uint64_t hash() const;
  std::string description() const;

  ZQLMarovicConfigurationFlag(std::optional<std::string> name, Value value, int64_t valueType,
                              int64_t storageType)
      : name_(std::move(name)),
        value_(std::move(value)),
        value_type_(valueType),
        storage_type_(storageType) {}

 private:
  const std::optional<std::string> name_;
  const Value value_;
  const int64_t value_type_;
  const int64_t storage_type_;
};

using ZQLMarovicFlagMap = std::map<std::string, std::shared_ptr<const ZQLMarovicConfigurationFlag>>;

// Equal maps: the same names with equal flags.
bool ZQLMarovicFlagMapsEqual(const ZQLMarovicFlagMap& a, const ZQLMarovicFlagMap& b);

// Immutable flag values of one package and account: all values, or a change to the previous.
class ZQLMarovicConfiguration {
 public:
  // An empty `flags` or `flagsToDelete` is kept as none.
  static std::shared_ptr<ZQLMarovicConfiguration> initWithIsDiff(
      bool isDiff, std::optional<ZQLMarovicFlagMap> flags,
      std::optional<std::vector<std::string>> flagsToDelete, std::optional<std::string> diffToken,
      std::optional<std::string> serverToken, std::optional<std::string> userID,
      std::shared_ptr<const ZQLMarovicExperimentTokens> tokens, int64_t configurationVersion);
  static std::shared_ptr<ZQLMarovicConfiguration> initWithAllFlagsDictionary(
      std::optional<ZQLMarovicFlagMap> flags, std::optional<std::string> diffToken,
      std::optional<std::string> serverToken, std::optional<std::string> userID,
      std::shared_ptr<const ZQLMarovicExperimentTokens> tokens, int64_t configurationVersion);
  static std::shared_ptr<ZQLMarovicConfiguration> initWithDiffDictionary(
      std::optional<ZQLMarovicFlagMap> flags, std::optional<std::vector<std::string>> flagsToDelete,
      std::optional<std::string> diffToken, std::optional<std::string> serverToken,
      std::optional<std::string> userID, std::shared_ptr<const ZQLMarovicExperimentTokens> tokens,
      int64_t configurationVersion);

  bool isDiff() const { return is_diff_; }
  const std::optional<ZQLMarovicFlagMap>& flags() const { return flags_; }
  const std::optional<std::vector<std::string>>& flagsToDelete() const { return flags_to_delete_; }
  const std::optional<std::string>& diffToken() const { return diff_token_; }
  const std::optional<std::string>& serverToken() const { return server_token_; }
  const std::optional<std::string>& userID() const { return user_id_; }
  const std::shared_ptr<const ZQLMarovicExperimentTokens>& tokens() const { return tokens_; }
  int64_t configurationVersion() const { return configuration_version_; }

  // The names to delete compare as sets; absent equals empty.
  bool isEqual(const ZQLMarovicConfiguration& other) const;
  uint64_t hash() const;
  std::string description() const;

  ZQLMarovicConfiguration(bool isDiff, std::optional<ZQLMarovicFlagMap> flags,
                          std::optional<std::vector<std::string>> flagsToDelete,
                          std::optional<std::string> diffToken,
                          std::optional<std::string> serverToken, std::optional<std::string> userID,
                          std::shared_ptr<const ZQLMarovicExperimentTokens> tokens,
                          int64_t configurationVersion);

 private:
  const bool is_diff_;
  const std::optional<ZQLMarovicFlagMap> flags_;
  const std::optional<std::vector<std::string>> flags_to_delete_;
  const std::optional<std::string> diff_token_;
  const std::optional<std::string> server_token_;
  const std::optional<std::string> user_id_;
  const std::shared_ptr<const ZQLMarovicExperimentTokens> tokens_;
  const int64_t configuration_version_;
};

// Asks for a sync once the service serves `servingVersion` of `packageName`.
class ZQLMarovicSyncAfterConfiguration {
 public:
  ZQLMarovicSyncAfterConfiguration(std::string packageName, int64_t servingVersion)
      : package_name_(std::move(packageName)), serving_version_(servingVersion) {}
  const std::string& packageName() const { return package_name_; }
  int64_t servingVersion() const { return serving_version_; }

 private:
  const std::string package_name_;
  const int64_t serving_version_;
};

// The account with the empty id; every sync serves it first. It has no credentials.
class ZQLMarovicLoggedOutAccount : public ZQLMarovicAccount {
 public:
  std::shared_ptr<platform::fetcher::Authorizer> authorization(
      std::shared_ptr<NSError>* error) override {
    return nullptr;
  }
  std::string obfuscatedHollinID() const override { return ""; }
  std::string email() const override { return ""; }
};

class ZQLSnapshot {
 public:
  static std::shared_ptr<XVNConfigurationSnapshot> uncommittedSnapshotForPackage(
      const std::string& package, const std::string& obfuscatedHollinID,
      std::shared_ptr<NSError>* error);
  // The local copy when there is one, else the shared copy; -3 when neither exists. The account
  // names the file only for a multi-commit package.
  static std::shared_ptr<XVNConfigurationSnapshot> committedSnapshotForPackage(
      const std::string& package, const std::optional<std::string>& obfuscatedHollinID,
      std::shared_ptr<NSError>* error);
  // The committed file name of a package: "<package>-<account>" when multi-commit.
  static std::string committedFileName(const std::string& package,
                                       const std::optional<std::string>& obfuscatedHollinID);

  static std::shared_ptr<ZQLMarovicConfiguration> snapshotToConfiguration(
      const XVNConfigurationSnapshot& snapshot);
  static std::shared_ptr<ZQLMarovicConfiguration> emptyConfiguration(
      const std::string& obfuscatedHollinID);
  static std::shared_ptr<ZQLMarovicConfigurationFlag> paramToFlag(const YRXParam& param);

  // Reads and parses one record file: none with a file error or a parse error.
  template <typename Message>
  static std::shared_ptr<Message> readRecord(const NSURL& url, std::shared_ptr<NSError>* error) {
    auto bytes = ZQLURL::readFile(url, error);
    if (!bytes.has_value()) return nullptr;
    auto message = std::make_shared<Message>();
    if (!message->ParseFromString(*bytes)) {
      if (error != nullptr) *error = parseError(url);
      return nullptr;
    }
    return message;
  }
  // The error of a record that does not parse.
  static std::shared_ptr<NSError> parseError(const NSURL& url);
};

#endif  // EXPERIMENT_FLAGS_CONFIGURATION_H_
