#include "experiment_flags/marovic_flags.h"

#include <functional>

#include "experiment_flags/config_sync.pb.h"
#include "experiment_flags/marovic_error.h"
#include "infra/log_multiplexer.h"
#include "platform/dispatch/dispatch.h"
#include "platform/uikit/ui_application.h"
#include "platform/utility/format.h"

namespace {

ZQLMarovicNumber NumberOf(const ZQLMarovicConfigurationFlag::Value& value) {
  if (const auto* integer = std::get_if<int64_t>(&value))
    return ZQLMarovicNumber::Integer(*integer);
  if (const auto* truth = std::get_if<bool>(&value)) return ZQLMarovicNumber::Boolean(*truth);
  if (const auto* real = std::get_if<double>(&value)) return ZQLMarovicNumber::Double(*real);
  return ZQLMarovicNumber::Integer(0);
}

std::optional<std::string> TextOf(const ZQLMarovicConfigurationFlag::Value& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return std::nullopt;
}

uint64_t HashText(const std::optional<std::string>& text) {
  return text.has_value() ? std::hash<std::string>()(*text) : 0;
}

bool FlagMapsEqual(const std::optional<ZQLMarovicFlagMap>& a,
                   const std::optional<ZQLMarovicFlagMap>& b) {
  static const ZQLMarovicFlagMap kEmpty;
  return ZQLMarovicFlagMapsEqual(a ? *a : kEmpty, b ? *b : kEmpty);
}

}  // namespace

// --- ZQLMarovicFlagsSnapshot -----------------------------------------------------------------

ZQLMarovicFlagsSnapshot::ZQLMarovicFlagsSnapshot(
    std::string packageName, std::optional<std::string> serverToken,
    std::optional<std::string> userID, std::optional<std::string> diffToken,
    std::shared_ptr<const ZQLMarovicExperimentTokens> tokens, int64_t configurationVersion,
    std::optional<ZQLMarovicFlagMap> flags)
    : package_name_(std::move(packageName)),
      server_token_(std::move(serverToken)),
      user_id_(std::move(userID)),
      diff_token_(std::move(diffToken)),
      tokens_(std::move(tokens)),
      configuration_version_(configurationVersion),
      flags_(std::move(flags)) {}

const ZQLMarovicConfigurationFlag* ZQLMarovicFlagsSnapshot::Typed(
    const std::string& name, std::initializer_list<int64_t> types, const char* complaint) const {
  if (!flags_.has_value()) return nullptr;
  auto it = flags_->find(name);
  if (it == flags_->end() || it->second == nullptr) return nullptr;
  for (int64_t type : types) {
    if (it->second->valueType() == type) return it->second.get();
  }
  ZRB_LOG_MESSAGE(3, ZQLStandardZRBLogMetadata(), complaint, name);
  return nullptr;
}

std::any ZQLMarovicFlagsSnapshot::valueForFlagName(const std::string& name,
                                                   std::any defaultValue) const {
  if (!flags_.has_value()) return defaultValue;
  auto it = flags_->find(name);
  if (it == flags_->end() || it->second == nullptr) return defaultValue;
  const auto& value = it->second->value();
  if (std::holds_alternative<std::monostate>(value)) return std::any();
  if (auto text = TextOf(value)) return *text;
  return NumberOf(value);
}

std::optional<std::string> ZQLMarovicFlagsSnapshot::stringForFlagName(
    const std::string& name, std::optional<std::string> defaultValue) const {
  const auto* flag =
      Typed(name, {ZQLMarovicConfigurationFlag::kString}, "Flag %@ is not of type string!");
  return flag ? TextOf(flag->value()) : defaultValue;
}

ZQLMarovicNumber ZQLMarovicFlagsSnapshot::numberForFlagName(const std::string& name,
                                                            ZQLMarovicNumber defaultValue) const {
  const auto* flag =
      Typed(name,
            {ZQLMarovicConfigurationFlag::kInteger, ZQLMarovicConfigurationFlag::kBoolean,
             ZQLMarovicConfigurationFlag::kDouble},
            "Flag %@ is not a number!");
  return flag ? NumberOf(flag->value()) : defaultValue;
}

std::optional<std::string> ZQLMarovicFlagsSnapshot::dataForFlagName(
    const std::string& name, std::optional<std::string> defaultValue) const {
  const auto* flag =
      Typed(name, {ZQLMarovicConfigurationFlag::kBytes}, "Flag %@ is not of type bytes!");
  return flag ? TextOf(flag->value()) : defaultValue;
}

std::vector<std::string> ZQLMarovicFlagsSnapshot::stringArrayForFlagName(
    const std::string& name, std::vector<std::string> defaultValue) const {
  auto bytes = dataForFlagName(name, std::nullopt);
  StringListParam list;
  if (!bytes.has_value() || !list.ParseFromString(*bytes)) return defaultValue;
  return std::vector<std::string>(list.element().begin(), list.element().end());
}

std::vector<int64_t> ZQLMarovicFlagsSnapshot::numberArrayForFlagName(
    const std::string& name, std::vector<int64_t> defaultValue) const {
  auto bytes = dataForFlagName(name, std::nullopt);
  Int64ListParam list;
  if (!bytes.has_value() || !list.ParseFromString(*bytes)) return defaultValue;
  return std::vector<int64_t>(list.element().begin(), list.element().end());
}

bool ZQLMarovicFlagsSnapshot::isEqual(const ZQLMarovicFlagsSnapshot& other) const {
  if (flags_.has_value() != other.flags_.has_value()) return false;
  return package_name_ == other.package_name_ && server_token_ == other.server_token_ &&
         user_id_ == other.user_id_ && diff_token_ == other.diff_token_ &&
         ZQLMarovicAreEqualOrBothNil(tokens_, other.tokens_) &&
         configuration_version_ == other.configuration_version_ &&
         (!flags_.has_value() || ZQLMarovicFlagMapsEqual(*flags_, *other.flags_));
}

uint64_t ZQLMarovicFlagsSnapshot::hash() const {
  uint64_t hash = std::hash<std::string>()(package_name_);
  for (uint64_t part :
       {HashText(server_token_), HashText(user_id_), HashText(diff_token_),
        tokens_ ? tokens_->hash() : 0, static_cast<uint64_t>(configuration_version_)}) {
    hash = hash * 31 + part;
  }
  uint64_t flags = 0;
  if (flags_.has_value()) {
    for (const auto& [name, flag] : *flags_) flags = flags * 31 + (flag ? flag->hash() : 0);
  }
  return hash * 31 + flags;
}

std::string ZQLMarovicFlagsSnapshot::description() const {
  std::string flags = "(null)";
  if (flags_.has_value()) {
    flags = "{";
    for (const auto& [name, flag] : *flags_) {
      flags += "\n    " + name + " = " + (flag ? flag->description() : "(null)") + ";";
    }
    flags += "\n}";
  }
  return platform::utility::StringWithFormat(
      "<ZQLMarovicFlagsSnapshot %p>: {\n  packageName: \"%@\"\n  userID: \"%@\"\n"
      "  diffToken: \"%@\"\n  serverToken: \"%@\"\n  tokens: \"%@\"\n"
      "  configurationVersion: \"%lld\"\n  flags: %@\n}",
      {static_cast<const void*>(this), package_name_, user_id_, diff_token_, server_token_,
       tokens_ ? std::optional<std::string>(tokens_->description()) : std::nullopt,
       configuration_version_, flags});
}

// --- ZQLMarovicFlags -------------------------------------------------------------------------

ZQLMarovicFlags::ZQLMarovicFlags(std::string packageName, std::string userID,
                                 std::shared_ptr<ZQLMarovic> marovic)
    : package_name_(std::move(packageName)),
      starting_user_id_(std::move(userID)),
      marovic_(std::move(marovic)),
      atomic_snapshot_(std::make_shared<ZQLMarovicFlagsSnapshot>(
          package_name_, std::nullopt, starting_user_id_, std::nullopt, nullptr, 0, std::nullopt)) {
}

ZQLMarovicFlags::~ZQLMarovicFlags() {
  if (background_observer_ != nullptr) {
    NSNotificationCenter::defaultCenter()->removeObserver(background_observer_);
  }
}

std::shared_ptr<ZQLMarovicFlags> ZQLMarovicFlags::initWithPackageName(
    const std::string& packageName, const std::string& userID, std::shared_ptr<ZQLMarovic> marovic,
    bool autoUpdate, bool startLoading) {
  if (marovic == nullptr) marovic = ZQLMarovic::sharedInstance();
  auto flags = std::make_shared<ZQLMarovicFlags>(packageName, userID, std::move(marovic));
  if (startLoading) flags->startLoading();
  if (autoUpdate) {
    std::weak_ptr<ZQLMarovicFlags> weak = flags;
    flags->background_observer_ = NSNotificationCenter::defaultCenter()->addObserverForName(
        UIApplicationDidEnterBackgroundNotification, nullptr,
        [weak](const std::shared_ptr<NSNotification>&) {
          if (auto self = weak.lock()) self->applicationDidEnterBackground();
        });
  }
  return flags;
}

std::shared_ptr<ZQLMarovicFlags> ZQLMarovicFlags::initWithPackageName(
    const std::string& packageName, const std::string& userID, std::shared_ptr<ZQLMarovic> marovic,
    bool autoUpdate) {
  return initWithPackageName(packageName, userID, std::move(marovic), autoUpdate, true);
}

std::shared_ptr<ZQLMarovicFlags> ZQLMarovicFlags::initWithPackageName(
    const std::string& packageName, const std::string& userID) {
  return initWithPackageName(packageName, userID, nullptr, true, true);
}

std::shared_ptr<ZQLMarovicFlags> ZQLMarovicFlags::initWithPackageName(
    const std::string& packageName) {
  return initWithPackageName(packageName, "");
}

std::shared_ptr<const ZQLMarovicFlagsSnapshot> ZQLMarovicFlags::CurrentSnapshot() const {
  std::lock_guard<std::mutex> lock(snapshot_mutex_);
  return atomic_snapshot_;
}

ZQLMarovic::Committer ZQLMarovicFlags::CommitterFor(std::string userID,
                                                    std::function<void()> after) {
  auto self = shared_from_this();
  return
      [self, userID = std::move(userID), after = std::move(after)](
          std::shared_ptr<ZQLMarovicConfiguration> configuration, std::shared_ptr<NSError> error) {
        const bool changed = self->updateWithConfiguration(configuration, userID, error);
        self->configsFinishedLoading();
        if (after) after();
        if (changed) self->callListeners(configuration);
        return true;
      };
}

void ZQLMarovicFlags::startLoading() {
  if (started_loading_.load()) return;
  {
    std::lock_guard<std::mutex> lock(start_mutex_);
    if (started_loading_.load()) return;
    started_loading_.store(true);
  }
  auto self = shared_from_this();
  if (ZQLMarovicUtil::isMultiCommitPackage(package_name_)) {
    marovic_->committedConfiguration(package_name_, starting_user_id_,
                                     [self](std::shared_ptr<ZQLMarovicConfiguration> configuration,
                                            std::shared_ptr<NSError> error) {
                                       self->updateWithConfiguration(
                                           configuration, self->starting_user_id_, error);
                                       self->configsFinishedLoading();
                                     });
    return;
  }
  marovic_->committedConfiguration(
      package_name_, [self](std::shared_ptr<ZQLMarovicConfiguration> configuration,
                            std::shared_ptr<NSError> error) {
        self->updateWithConfiguration(configuration, self->starting_user_id_, error);
        if (configuration != nullptr && configuration->userID() == self->starting_user_id_) {
          self->configsFinishedLoading();
          return;
        }
        // What is committed belongs to another user (or nothing is): commit for ours.
        self->marovic_->commitConfiguration(self->package_name_, self->starting_user_id_,
                                            self->CurrentSnapshot()->diffToken(),
                                            self->CommitterFor(self->starting_user_id_));
      });
}

void ZQLMarovicFlags::waitForConfigsToLoad() {
  startLoading();
  std::unique_lock<std::mutex> lock(loaded_mutex_);
  configs_loaded_condition_.wait(lock, [this] { return configs_loaded_; });
}

void ZQLMarovicFlags::configsFinishedLoading() {
  std::lock_guard<std::mutex> lock(loaded_mutex_);
  configs_loaded_ = true;
  configs_loaded_condition_.notify_all();
}

void ZQLMarovicFlags::commitConfigurationForUserID(const std::string& userID) {
  startLoading();
  {
    // One commit at a time; readers wait until it is applied.
    std::unique_lock<std::mutex> lock(loaded_mutex_);
    configs_loaded_condition_.wait(lock, [this] { return configs_loaded_; });
    configs_loaded_ = false;
  }
  marovic_->commitConfiguration(package_name_, userID, CurrentSnapshot()->diffToken(),
                                CommitterFor(userID));
  waitForConfigsToLoad();
}

void ZQLMarovicFlags::update() { commitConfigurationForUserID(userID().value_or("")); }

void ZQLMarovicFlags::setUserID(const std::string& userID) {
  if (CurrentSnapshot()->userID() != userID) commitConfigurationForUserID(userID);
}

bool ZQLMarovicFlags::updateWithConfiguration(
    const std::shared_ptr<ZQLMarovicConfiguration>& configuration, const std::string& userID,
    const std::shared_ptr<NSError>& error) {
  std::shared_ptr<const ZQLMarovicFlagsSnapshot> old = CurrentSnapshot();
  if (error != nullptr) {
    if (error->domain() != kZQLMarovicErrorDomain ||
        (error->code() != ZQLMarovicErrorCodeNotRegistered &&
         error->code() != ZQLMarovicErrorCodeNotCommitted)) {
      return false;
    }
    // Nothing is registered or committed: the values go.
    const bool changed =
        old->flags().has_value() || old->serverToken().has_value() || old->tokens() != nullptr;
    auto empty = std::make_shared<ZQLMarovicFlagsSnapshot>(package_name_, std::nullopt, userID,
                                                           std::nullopt, nullptr, 0, std::nullopt);
    std::lock_guard<std::mutex> lock(snapshot_mutex_);
    atomic_snapshot_ = std::move(empty);
    return changed;
  }
  if (configuration == nullptr) return false;

  ZQLMarovicFlagMap flags;
  bool changed = false;
  if (configuration->isDiff()) {
    if (old->flags().has_value()) flags = *old->flags();
    if (configuration->flagsToDelete().has_value()) {
      for (const auto& name : *configuration->flagsToDelete()) flags.erase(name);
    }
    if (configuration->flags().has_value()) {
      for (const auto& [name, flag] : *configuration->flags()) flags[name] = flag;
    }
    changed = configuration->flagsToDelete().has_value() || configuration->flags().has_value();
  } else {
    if (configuration->flags().has_value()) flags = *configuration->flags();
    changed = !FlagMapsEqual(flags, old->flags());
  }
  if (!changed) {
    changed = configuration->serverToken() != old->serverToken() ||
              !ZQLMarovicAreEqualOrBothNil(configuration->tokens(), old->tokens());
  }
  auto snapshot = std::make_shared<ZQLMarovicFlagsSnapshot>(
      package_name_, configuration->serverToken(), userID, configuration->diffToken(),
      configuration->tokens(), configuration->configurationVersion(), std::move(flags));
  std::lock_guard<std::mutex> lock(snapshot_mutex_);
  atomic_snapshot_ = std::move(snapshot);
  return changed;
}

void ZQLMarovicFlags::addListener(const std::shared_ptr<ZQLMarovicFlagsListener>& listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> lock(listeners_mutex_);
  for (const auto& held : listeners_) {
    if (held.lock() == listener) return;
  }
  listeners_.push_back(listener);
}

void ZQLMarovicFlags::removeListener(const std::shared_ptr<ZQLMarovicFlagsListener>& listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> lock(listeners_mutex_);
  std::erase_if(listeners_, [&listener](const std::weak_ptr<ZQLMarovicFlagsListener>& held) {
    auto strong = held.lock();
    return strong == nullptr || strong == listener;
  });
}

void ZQLMarovicFlags::callListeners(const std::shared_ptr<ZQLMarovicConfiguration>& configuration) {
  std::vector<std::weak_ptr<ZQLMarovicFlagsListener>> listeners;
  {
    std::lock_guard<std::mutex> lock(listeners_mutex_);
    listeners = listeners_;
  }
  auto self = shared_from_this();
  for (const auto& held : listeners) {
    if (auto listener = held.lock()) listener->flags(self, configuration);
  }
}

void ZQLMarovicFlags::applicationDidEnterBackground() {
  struct Task {
    std::mutex mutex;
    UIBackgroundTaskIdentifier identifier = UIBackgroundTaskInvalid;
    void end() {
      std::lock_guard<std::mutex> lock(mutex);
      if (identifier == UIBackgroundTaskInvalid) return;
      UIApplication::sharedApplication()->endBackgroundTask(identifier);
      identifier = UIBackgroundTaskInvalid;
    }
  };
  auto task = std::make_shared<Task>();
  {
    std::lock_guard<std::mutex> lock(task->mutex);
    task->identifier = UIApplication::sharedApplication()->beginBackgroundTaskWithName(
        "ZQLMarovicFlags Update", [task] { task->end(); });
  }
  auto self = shared_from_this();
  dispatch_async(dispatch_get_global_queue(QOS_CLASS_BACKGROUND, 0), [self, task] {
    {
      std::unique_lock<std::mutex> lock(self->loaded_mutex_);
      if (!self->configs_loaded_) {
        // A load or a commit is in flight; it brings the newest values anyway.
        lock.unlock();
        task->end();
        return;
      }
      self->configs_loaded_ = false;
    }
    auto snapshot = self->CurrentSnapshot();
    const std::string user = snapshot->userID().value_or("");
    self->marovic_->commitConfiguration(self->package_name_, user, snapshot->diffToken(),
                                        self->CommitterFor(user, [task] { task->end(); }));
  });
}

std::optional<std::string> ZQLMarovicFlags::userID() {
  waitForConfigsToLoad();
  return CurrentSnapshot()->userID();
}

std::optional<std::string> ZQLMarovicFlags::serverToken() {
  waitForConfigsToLoad();
  return CurrentSnapshot()->serverToken();
}

std::shared_ptr<ZQLMarovicExperimentTokens> ZQLMarovicFlags::tokens() {
  waitForConfigsToLoad();
  return std::const_pointer_cast<ZQLMarovicExperimentTokens>(CurrentSnapshot()->tokens());
}

int64_t ZQLMarovicFlags::configurationVersion() {
  waitForConfigsToLoad();
  return CurrentSnapshot()->configurationVersion();
}

std::shared_ptr<const ZQLMarovicFlagsSnapshot> ZQLMarovicFlags::snapshot() {
  waitForConfigsToLoad();
  return CurrentSnapshot();
}

std::any ZQLMarovicFlags::valueForFlagName(const std::string& name, std::any defaultValue) {
  return snapshot()->valueForFlagName(name, std::move(defaultValue));
}

std::optional<std::string> ZQLMarovicFlags::stringForFlagName(
    const std::string& name, std::optional<std::string> defaultValue) {
  return snapshot()->stringForFlagName(name, std::move(defaultValue));
}

ZQLMarovicNumber ZQLMarovicFlags::numberForFlagName(const std::string& name,
                                                    ZQLMarovicNumber defaultValue) {
  return snapshot()->numberForFlagName(name, defaultValue);
}

std::optional<std::string> ZQLMarovicFlags::dataForFlagName(
    const std::string& name, std::optional<std::string> defaultValue) {
  return snapshot()->dataForFlagName(name, std::move(defaultValue));
}

std::vector<std::string> ZQLMarovicFlags::stringArrayForFlagName(
    const std::string& name, std::vector<std::string> defaultValue) {
  return snapshot()->stringArrayForFlagName(name, std::move(defaultValue));
}

std::vector<int64_t> ZQLMarovicFlags::numberArrayForFlagName(const std::string& name,
                                                             std::vector<int64_t> defaultValue) {
  return snapshot()->numberArrayForFlagName(name, std::move(defaultValue));
}

// --- Flag classes ----------------------------------------------------------------------------

std::optional<std::string> ZQLMarovicStringFlag::value() const {
  if (auto value = testOverride(); value.has_value()) return *value;
  return flags()->stringForFlagName(name(), default_value_);
}

ZQLMarovicNumber ZQLMarovicNumberFlag::value() const {
  if (auto value = testOverride(); value.has_value()) return *value;
  return flags()->numberForFlagName(name(), default_value_);
}

std::optional<std::string> ZQLMarovicDataFlag::value() const {
  if (auto value = testOverride(); value.has_value()) return *value;
  return flags()->dataForFlagName(name(), default_value_);
}

void ZQLMarovicMessageFlag::setTestOverrideMessage(
    std::shared_ptr<const google::protobuf::MessageLite> message) {
  std::lock_guard<std::mutex> lock(mutex_);
  test_override_ = std::move(message);
}

std::shared_ptr<const google::protobuf::MessageLite> ZQLMarovicMessageFlag::message() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (test_override_ != nullptr) return test_override_;
  std::optional<std::string> data = flags_->dataForFlagName(name_, std::nullopt);
  if (!data.has_value()) return default_message_;
  if (data_.has_value() && *data_ == *data) return message_;
  std::shared_ptr<google::protobuf::MessageLite> parsed(prototype_.New());
  if (!parsed->ParseFromString(*data)) {
    ZRB_LOG_MESSAGE(3, ZQLStandardZRBLogMetadata(), "Could not parse data message from Marovic: %@",
                    "the bytes are not a " + prototype_.GetTypeName());
    data_.reset();
    message_.reset();
    return default_message_;
  }
  data_ = std::move(data);
  message_ = parsed;
  return message_;
}
