#include "experiment_flags/configuration.h"

#include <functional>
#include <set>

#include "experiment_flags/marovic_error.h"
#include "platform/utility/format.h"

namespace {

uint64_t HashText(const std::optional<std::string>& text) {
  return text.has_value() ? std::hash<std::string>()(*text) : 0;
}

uint64_t Fold(uint64_t hash, uint64_t value) { return hash * 31 + value; }

uint64_t HashValue(const ZQLMarovicConfigurationFlag::Value& value) {
  return std::visit(
      [](const auto& v) -> uint64_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return 0;
        } else {
          return std::hash<T>()(v);
        }
      },
      value);
}

std::string DescribeValue(const ZQLMarovicConfigurationFlag::Value& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return "(null)";
        } else if constexpr (std::is_same_v<T, std::string>) {
          return v;
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "1" : "0";
        } else {
          return std::to_string(v);
        }
      },
      value);
}

uint64_t HashFlags(const std::optional<ZQLMarovicFlagMap>& flags) {
  if (!flags.has_value()) return 0;
  uint64_t hash = 0;
  for (const auto& [name, flag] : *flags) hash = Fold(hash, flag ? flag->hash() : 0);
  return hash;
}

std::string DescribeFlags(const std::optional<ZQLMarovicFlagMap>& flags) {
  if (!flags.has_value()) return "(null)";
  std::string text = "{";
  for (const auto& [name, flag] : *flags) {
    text += "\n    " + name + " = " + (flag ? flag->description() : "(null)") + ";";
  }
  return text + "\n}";
}

bool TokensEqual(const std::shared_ptr<const ZQLMarovicExperimentTokens>& a,
                 const std::shared_ptr<const ZQLMarovicExperimentTokens>& b) {
  return ZQLMarovicAreEqualOrBothNil(a, b);
}

}  // namespace

std::shared_ptr<ZQLMarovicConfigurationFlag> ZQLMarovicConfigurationFlag::initWithName(
    std::optional<std::string> name, Value value, int64_t valueType, int64_t storageType) {
  return std::make_shared<ZQLMarovicConfigurationFlag>(std::move(name), std::move(value),
                                                       valueType, storageType);
}

bool ZQLMarovicConfigurationFlag::isEqual(const ZQLMarovicConfigurationFlag& other) const {
  return name_ == other.name_ && value_type_ == other.value_type_ &&
         storage_type_ == other.storage_type_ && value_ == other.value_;
}

uint64_t ZQLMarovicConfigurationFlag::hash() const {
  uint64_t hash = HashText(name_);
  hash = Fold(hash, static_cast<uint64_t>(value_type_));
  hash = Fold(hash, static_cast<uint64_t>(storage_type_));
  return Fold(hash, HashValue(value_));
}

std::string ZQLMarovicConfigurationFlag::description() const {
  return platform::utility::StringWithFormat(
      "Flag: name:\"%@\" value:%@ valueType:%li storageType:%li",
      {name_, DescribeValue(value_), value_type_, storage_type_});
}

bool ZQLMarovicFlagMapsEqual(const ZQLMarovicFlagMap& a, const ZQLMarovicFlagMap& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first != j->first) return false;
    if ((i->second == nullptr) != (j->second == nullptr)) return false;
    if (i->second != nullptr && !i->second->isEqual(*j->second)) return false;
  }
  return true;
}

ZQLMarovicConfiguration::ZQLMarovicConfiguration(
    bool isDiff, std::optional<ZQLMarovicFlagMap> flags,
    std::optional<std::vector<std::string>> flagsToDelete, std::optional<std::string> diffToken,
    std::optional<std::string> serverToken, std::optional<std::string> userID,
    std::shared_ptr<const ZQLMarovicExperimentTokens> tokens, int64_t configurationVersion)
    : is_diff_(isDiff),
      flags_(flags.has_value() && !flags->empty() ? std::move(flags) : std::nullopt),
      flags_to_delete_(flagsToDelete.has_value() && !flagsToDelete->empty()
                           ? std::move(flagsToDelete)
                           : std::nullopt),
      diff_token_(std::move(diffToken)),
      server_token_(std::move(serverToken)),
      user_id_(std::move(userID)),
      tokens_(std::move(tokens)),
      configuration_version_(configurationVersion) {}

std::shared_ptr<ZQLMarovicConfiguration> ZQLMarovicConfiguration::initWithIsDiff(
    bool isDiff, std::optional<ZQLMarovicFlagMap> flags,
    std::optional<std::vector<std::string>> flagsToDelete, std::optional<std::string> diffToken,
    std::optional<std::string> serverToken, std::optional<std::string> userID,
    std::shared_ptr<const ZQLMarovicExperimentTokens> tokens, int64_t configurationVersion) {
  return std::make_shared<ZQLMarovicConfiguration>(
      isDiff, std::move(flags), std::move(flagsToDelete), std::move(diffToken),
      std::move(serverToken), std::move(userID), std::move(tokens), configurationVersion);
}

std::shared_ptr<ZQLMarovicConfiguration> ZQLMarovicConfiguration::initWithAllFlagsDictionary(
    std::optional<ZQLMarovicFlagMap> flags, std::optional<std::string> diffToken,
    std::optional<std::string> serverToken, std::optional<std::string> userID,
    std::shared_ptr<const ZQLMarovicExperimentTokens> tokens, int64_t configurationVersion) {
  return initWithIsDiff(false, std::move(flags), std::nullopt, std::move(diffToken),
                        std::move(serverToken), std::move(userID), std::move(tokens),
                        configurationVersion);
}

std::shared_ptr<ZQLMarovicConfiguration> ZQLMarovicConfiguration::initWithDiffDictionary(
    std::optional<ZQLMarovicFlagMap> flags, std::optional<std::vector<std::string>> flagsToDelete,
    std::optional<std::string> diffToken, std::optional<std::string> serverToken,
    std::optional<std::string> userID, std::shared_ptr<const ZQLMarovicExperimentTokens> tokens,
    int64_t configurationVersion) {
  return initWithIsDiff(true, std::move(flags), std::move(flagsToDelete), std::move(diffToken),
                        std::move(serverToken), std::move(userID), std::move(tokens),
                        configurationVersion);
}

bool ZQLMarovicConfiguration::isEqual(const ZQLMarovicConfiguration& other) const {
  if (flags_.has_value() != other.flags_.has_value()) return false;
  if (flags_.has_value() && !ZQLMarovicFlagMapsEqual(*flags_, *other.flags_)) return false;
  auto as_set = [](const std::optional<std::vector<std::string>>& names) {
    return names.has_value() ? std::set<std::string>(names->begin(), names->end())
                             : std::set<std::string>();
  };
  return as_set(flags_to_delete_) == as_set(other.flags_to_delete_) &&
         is_diff_ == other.is_diff_ && diff_token_ == other.diff_token_ &&
         server_token_ == other.server_token_ && user_id_ == other.user_id_ &&
         TokensEqual(tokens_, other.tokens_) &&
         configuration_version_ == other.configuration_version_;
}

uint64_t ZQLMarovicConfiguration::hash() const {
  uint64_t hash = HashFlags(flags_);
  uint64_t deleted = 0;
  if (flags_to_delete_.has_value()) {
    // Order does not matter for equality, so it must not matter here.
    for (const auto& name : *flags_to_delete_) deleted += std::hash<std::string>()(name);
  }
  hash = Fold(hash, deleted);
  hash = Fold(hash, is_diff_ ? 1 : 0);
  hash = Fold(hash, HashText(diff_token_));
  hash = Fold(hash, HashText(server_token_));
  hash = Fold(hash, HashText(user_id_));
  hash = Fold(hash, tokens_ ? tokens_->hash() : 0);
  return Fold(hash, static_cast<uint64_t>(configuration_version_));
}

std::string ZQLMarovicConfiguration::description() const {
  std::string to_delete = "(null)";
  if (flags_to_delete_.has_value()) {
    to_delete = "(";
    for (const auto& name : *flags_to_delete_) to_delete += "\n    " + name + ",";
    to_delete += "\n)";
  }
  return platform::utility::StringWithFormat(
      "Configuration: userID:%@ isDiff:%i diffToken:\"%@\" serverToken:\"%@\" tokens:\"%@\" "
      "flags:%@ flagsToDelete:%@ configurationVersion:%lld",
      {user_id_, is_diff_, diff_token_, server_token_,
       tokens_ ? std::optional<std::string>(tokens_->description()) : std::nullopt,
       DescribeFlags(flags_), to_delete, configuration_version_});
}

std::shared_ptr<NSError> ZQLSnapshot::parseError(const NSURL& url) {
  return NSError::errorWithDomain(kZQLRecordParseErrorDomain, -100,
                                  {{NSFilePathErrorKey, url.path()}});
}

std::shared_ptr<XVNConfigurationSnapshot> ZQLSnapshot::uncommittedSnapshotForPackage(
    const std::string& package, const std::string& obfuscatedHollinID,
    std::shared_ptr<NSError>* error) {
  auto registration = ZQLURL::sharedSubDirectoryWithName("registration", package, error);
  if (registration == nullptr) return nullptr;
  if (!ZQLURL::fileExists(*registration)) {
    ZQLMarovicError::error(error, ZQLMarovicErrorCodeNotRegistered);
    return nullptr;
  }
  auto url = ZQLURL::uncommittedURLForPackage(package, obfuscatedHollinID, error);
  if (url == nullptr) return nullptr;
  if (!ZQLURL::fileExists(*url)) {
    auto snapshot = std::make_shared<XVNConfigurationSnapshot>();
    snapshot->set_obfuscated_hollin_id(obfuscatedHollinID);
    return snapshot;
  }
  return readRecord<XVNConfigurationSnapshot>(*url, error);
}

std::string ZQLSnapshot::committedFileName(const std::string& package,
                                           const std::optional<std::string>& obfuscatedHollinID) {
  if (ZQLMarovicUtil::isMultiCommitPackage(package)) {
    return package + "-" + obfuscatedHollinID.value_or("");
  }
  return package;
}

std::shared_ptr<XVNConfigurationSnapshot> ZQLSnapshot::committedSnapshotForPackage(
    const std::string& package, const std::optional<std::string>& obfuscatedHollinID,
    std::shared_ptr<NSError>* error) {
  const std::string name = committedFileName(package, obfuscatedHollinID);
  auto local = ZQLURL::localSubDirectory("committed", name, error);
  if (local == nullptr) return nullptr;
  if (ZQLURL::fileExists(*local)) return readRecord<XVNConfigurationSnapshot>(*local, error);
  auto shared = ZQLURL::sharedSubDirectoryWithName("committed", name, error);
  if (shared == nullptr) return nullptr;
  if (ZQLURL::fileExists(*shared)) return readRecord<XVNConfigurationSnapshot>(*shared, error);
  ZQLMarovicError::error(error, ZQLMarovicErrorCodeNotCommitted);
  return nullptr;
}

std::shared_ptr<ZQLMarovicConfigurationFlag> ZQLSnapshot::paramToFlag(const YRXParam& param) {
  using Flag = ZQLMarovicConfigurationFlag;
  Flag::Value value;
  int64_t type = Flag::kInteger;
  switch (param.value_type()) {
    case YRXParam::Unknown:
      return nullptr;
    case YRXParam::IntValue:
      value = param.int_value();
      break;
    case YRXParam::BoolValue:
      value = param.bool_value();
      type = Flag::kBoolean;
      break;
    case YRXParam::Float64Value:
      value = param.float64_value();
      type = Flag::kDouble;
      break;
    case YRXParam::StringValue:
      value = param.string_value();
      type = Flag::kString;
      break;
    case YRXParam::ExtensionValue:
      value = param.extension_value().serialized_value();
      type = Flag::kBytes;
      break;
  }
  return Flag::initWithName(param.name(), std::move(value), type, 0);
}

std::shared_ptr<ZQLMarovicConfiguration> ZQLSnapshot::emptyConfiguration(
    const std::string& obfuscatedHollinID) {
  auto tokens = ZQLMarovicExperimentTokens::initWithUser(obfuscatedHollinID, {}, {});
  return ZQLMarovicConfiguration::initWithAllFlagsDictionary(
      std::nullopt, std::nullopt, std::nullopt, obfuscatedHollinID, tokens, 0);
}

std::shared_ptr<ZQLMarovicConfiguration> ZQLSnapshot::snapshotToConfiguration(
    const XVNConfigurationSnapshot& snapshot) {
  if (!snapshot.has_snapshot_token()) return emptyConfiguration(snapshot.obfuscated_hollin_id());
  ZQLMarovicFlagMap flags;
  auto apply = [&flags](const std::string& name, const YRXParam& param) {
    auto flag = paramToFlag(param);
    if (flag == nullptr) {
      flags.erase(name);
    } else {
      flags[name] = std::move(flag);
    }
  };
  const YRXApplicationResponse& response = snapshot.dunsfell_response();
  for (const YRXParamPartition& partition : response.param_partition()) {
    for (const YRXParam& param : partition.param()) apply(param.name(), param);
  }
  // Overrides are applied in key order, so that the result does not depend on map layout.
  std::map<std::string, const YRXParam*> overrides;
  for (const auto& [name, param] : snapshot.flag_overrides()) overrides[name] = &param;
  for (const auto& [name, param] : overrides) apply(name, *param);

  auto tokens = ZQLMarovicExperimentTokens::initWithUser(snapshot.obfuscated_hollin_id(),
                                                         {response.experiment_token()}, {});
  return ZQLMarovicConfiguration::initWithAllFlagsDictionary(
      std::move(flags), snapshot.snapshot_token(), response.server_trigger_token(),
      snapshot.obfuscated_hollin_id(), tokens, snapshot.server_configuration_version());
}
