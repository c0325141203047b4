#include "infra/srl_registry.h"

#include <utility>

#include "infra/srl_report.h"
#include "platform/utility/format.h"

using platform::utility::StringWithFormat;

namespace {

// The text of a dictionary or set of described objects, in the platform's layout.
template <typename Map>
std::string DescribeDictionary(const Map& map) {
  std::string text = "{";
  for (const auto& [key, value] : map) {
    text += "\n    " + key->description() + " = " + value->description() + ";";
  }
  return text + "\n}";
}

std::string DescribeSet(const SRLRegistry::ImplementationSet& set) {
  std::string text = "{(";
  bool first = true;
  for (const auto& member : set) {
    text += first ? "\n    " : ",\n    ";
    text += member->description();
    first = false;
  }
  return text + "\n)}";
}

struct SetDescription {
  const SRLRegistry::ImplementationSet* set;
  std::string description() const { return DescribeSet(*set); }
};

bool IsAccountScoped(uint64_t scope) { return scope != SRLScopeApp; }

}  // namespace

// ---- Memoizing scope.

SRLInstance SRLMemoizingScope::instanceOfType(const std::shared_ptr<SRLInstanceType>& type,
                                              const SRLCreationBlock& creationBlock) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto found = instances_.find(type);
  if (found != instances_.end()) return found->second;
  auto pending = instance_creation_locks_.find(type);
  if (pending == instance_creation_locks_.end()) {
    // This caller is the creator.
    auto creation = std::make_shared<Creation>();
    creation->creator = std::this_thread::get_id();
    instance_creation_locks_.emplace(type->copy(), creation);
    lock.unlock();
    SRLInstance result = creationBlock ? creationBlock() : nullptr;
    lock.lock();
    if (result != nullptr) instances_[type->copy()] = result;
    instance_creation_locks_.erase(type);
    creation->done = true;
    creation_done_.notify_all();
    return result;
  }
  std::shared_ptr<Creation> creation = pending->second;
  if (creation->creator == std::this_thread::get_id()) {
    // The creation block asked for the type it is creating; waiting would never end.
    lock.unlock();
    SRL_REPORT("Instance creation of %@ asked for an instance of the same type.", type);
    return nullptr;
  }
  creation_done_.wait(lock, [&creation] { return creation->done; });
  found = instances_.find(type);
  SRLInstance result = found == instances_.end() ? nullptr : found->second;
  lock.unlock();
  if (result == nullptr) {
    SRL_REPORT("We blocked waiting on instance creation but no instance was created.");
  }
  return result;
}

size_t SRLMemoizingScope::instanceCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return instances_.size();
}

// ---- Shared instance.

namespace {

struct SharedRegistry {
  std::mutex mutex;
  std::shared_ptr<SRLRegistry> registry;
};

SharedRegistry& Shared() {
  static SharedRegistry* shared = new SharedRegistry;
  return *shared;
}

}  // namespace

std::shared_ptr<SRLRegistry> SRLRegistry::sharedInstance() {
  static std::once_flag once;
  SharedRegistry& shared = Shared();
  std::call_once(once, [&shared] {
    auto made = initPrivate();
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.registry = std::move(made);
  });
  std::lock_guard<std::mutex> lock(shared.mutex);
  return shared.registry;
}

void SRLRegistry::overrideSharedInstance(std::shared_ptr<SRLRegistry> registry) {
  SharedRegistry& shared = Shared();
  std::lock_guard<std::mutex> lock(shared.mutex);
  shared.registry = std::move(registry);
}

std::shared_ptr<SRLRegistry> SRLRegistrySharedInstanceForProviders() {
  return SRLRegistry::sharedInstance();
}

SRLRegistry::SRLRegistry()
    : app_scope_(SRLMemoizingScope::init()), config_scope_(SRLMemoizingScope::init()) {}

std::shared_ptr<SRLRegistry> SRLRegistry::initPrivate() { return std::make_shared<SRLRegistry>(); }

// ---- Registration.

void SRLRegistry::internalRegisterServiceAPI(
    const std::shared_ptr<SRLAPI>& api, const std::shared_ptr<SRLImplementation>& implementation) {
  if (api == nullptr) {
    SRL_REPORT("apiMetadata cannot be nil!");
    return;
  }
  if (implementation == nullptr) {
    SRL_REPORT("implMetadata cannot be nil!");
    return;
  }
  const std::shared_ptr<SRLAPIKey>& key = api->apiKey();
  if (auto* class_type = dynamic_cast<const SRLClassType*>(implementation->instanceType().get())) {
    const auto& key_type = key->instanceType();
    if (key_type == nullptr ||
        !key_type->doesRepresentSupertypeOfClass(class_type->concreteClass())) {
      SRL_REPORT("Implementation %@ should conform to %@", implementation->instanceType(),
                 key_type);
      return;
    }
  }
  if (api->scope() != implementation->scope() &&
      !(IsAccountScoped(api->scope()) && !IsAccountScoped(implementation->scope()))) {
    SRL_REPORT(
        "Account-scoped implementations cannot be bound to app-scoped APIs:\nImplementation: "
        "%@,\nService API: %@",
        implementation, api);
    return;
  }

  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto single = registry_single_.find(key);
  if (api->bindingType() == SRLBindingTypeMulti) {
    if (single != registry_single_.end()) {
      SRL_REPORT(
          "Service API has been bound for both single and multi types\nService API: "
          "%@\nExisting single binding implementation: %@\nNew multi binding implementation: %@",
          api, single->second, implementation);
      return;
    }
    auto& set = registry_multiple_[key->copy()];
    if (set == nullptr) set = std::make_shared<ImplementationSet>();
    set->insert(implementation);  // an equal member keeps its place
    return;
  }
  auto multi = registry_multiple_.find(key);
  if (multi != registry_multiple_.end()) {
    SRL_REPORT(
        "Service API has been bound for both single and multi types\nService API: "
        "%@\nExisting multi binding implementation: %@\nNew single binding implementation: %@",
        api, SetDescription{multi->second.get()}, implementation);
    return;
  }
  if (single == registry_single_.end()) {
    registry_single_.emplace(key->copy(), implementation);
    return;
  }
  const std::shared_ptr<SRLImplementation>& existing = single->second;
  if (existing->isComponentBinding() && implementation->isComponentBinding()) {
    if (!existing->instanceType()->isEqual(implementation->instanceType().get())) {
      SRL_REPORT(
          "An existing binding with a different implementation class exists for %@\nExisting "
          "binding: %@\nNew binding: %@",
          api, existing, implementation);
    } else if (existing->scope() != implementation->scope()) {
      SRL_REPORT(
          "An existing binding with incompatible scope exists for %@\nExisting binding: %@\nNew "
          "binding: %@",
          api, existing, implementation);
    } else if (existing->lifetime() != implementation->lifetime()) {
      SRL_REPORT(
          "An existing binding with incompatible lifetime exists for %@\nExisting binding: "
          "%@\nNew binding: %@",
          api, existing, implementation);
    } else if (existing->configuration() != nullptr || implementation->configuration() != nullptr) {
      SRL_REPORT(
          "An existing binding with incompatible configuration exists for %@\nExisting binding: "
          "%@\nNew binding: %@",
          api, existing, implementation);
    }
    return;
  }
  SRL_REPORT(
      "Service API already registered with a different implementation class\nService API: "
      "%@\nExisting binding implementation: %@\nNew binding implementation: %@",
      api, existing, implementation);
}

void SRLRegistry::internalSetImplementationConfigProviders(
    const std::shared_ptr<const SRLConfigProviders>& providers) {
  if (providers == nullptr) {
    SRL_REPORT("providers must not be nil");
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (implementation_config_providers_ != nullptr) {
    SRL_REPORT("|setImplementationConfigProviders:| can be called only once.");
    return;
  }
  implementation_config_providers_ = std::make_shared<const SRLConfigProviders>(*providers);
}

std::shared_ptr<const SRLConfigProviders> SRLRegistry::implementationConfigProviders() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return implementation_config_providers_;
}

void SRLRegistry::setImplementationConfigProviders(
    std::shared_ptr<const SRLConfigProviders> providers) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  implementation_config_providers_ = std::move(providers);
}

// ---- Lookups.

std::shared_ptr<SRLImplementation> SRLRegistry::SingleBindingFor(
    const std::shared_ptr<SRLAPIKey>& apiKey) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto found = registry_single_.find(apiKey);
  if (found != registry_single_.end()) return found->second;
  if (!lazilyRegisterBindingsForAPIKey(apiKey)) return nullptr;
  found = registry_single_.find(apiKey);
  return found == registry_single_.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<SRLImplementation>> SRLRegistry::MultiBindingFor(
    const std::shared_ptr<SRLAPIKey>& apiKey) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto found = registry_multiple_.find(apiKey);
  if (found == registry_multiple_.end() && lazilyRegisterBindingsForAPIKey(apiKey)) {
    found = registry_multiple_.find(apiKey);
  }
  if (found == registry_multiple_.end()) return {};
  return {found->second->begin(), found->second->end()};
}

SRLInstance SRLRegistry::internalOptionalAppScopedService(const std::shared_ptr<SRLAPIKey>& apiKey) {
  if (apiKey == nullptr) {
    SRL_REPORT("|apiKey| cannot be nil!");
    return nullptr;
  }
  std::shared_ptr<SRLImplementation> implementation = SingleBindingFor(apiKey);
  if (implementation == nullptr || !implementation->factoryBlock()) return nullptr;
  if (IsAccountScoped(implementation->scope())) {
    SRL_REPORT("Account-scoped implementation cannot be retrieved in app scope:\n%@.",
               implementation);
    return nullptr;
  }
  return implementation->factoryBlock()(nullptr);
}

SRLInstance SRLRegistry::internalOptionalAccountScopedService(
    const std::shared_ptr<SRLAPIKey>& apiKey, const std::shared_ptr<SRLAccountID>& accountID) {
  if (apiKey == nullptr) {
    SRL_REPORT("|apiKey| cannot be nil!");
    return nullptr;
  }
  if (accountID == nullptr) {
    SRL_REPORT("Missing accountID for account-scoped service:\n%@.", apiKey);
    return nullptr;
  }
  std::shared_ptr<SRLImplementation> implementation = SingleBindingFor(apiKey);
  if (implementation == nullptr || !implementation->factoryBlock()) return nullptr;
  return implementation->factoryBlock()(accountID);
}

SRLInstance SRLRegistry::internalAppScopedService(const std::shared_ptr<SRLAPIKey>& apiKey) {
  SRLInstance instance = internalOptionalAppScopedService(apiKey);
  if (instance == nullptr) SRL_REPORT("Service not found: %@", apiKey);
  return instance;
}

SRLInstance SRLRegistry::internalAccountScopedService(
    const std::shared_ptr<SRLAPIKey>& apiKey, const std::shared_ptr<SRLAccountID>& accountID) {
  SRLInstance instance = internalOptionalAccountScopedService(apiKey, accountID);
  if (instance == nullptr) SRL_REPORT("Service not found: %@", apiKey);
  return instance;
}

std::optional<std::vector<SRLInstance>> SRLRegistry::internalMultiBoundAppScopedService(
    const std::shared_ptr<SRLAPIKey>& apiKey) {
  if (apiKey == nullptr) {
    SRL_REPORT("|apiKey| cannot be nil!");
    return std::nullopt;
  }
  std::vector<std::shared_ptr<SRLImplementation>> implementations = MultiBindingFor(apiKey);
  std::vector<SRLInstance> instances;
  instances.reserve(implementations.size());
  for (const auto& implementation : implementations) {
    if (IsAccountScoped(implementation->scope())) {
      SRL_REPORT(
          "Account-scoped multibound service implementation cannot be retrieved in App "
          "scope:\n%@.",
          implementation);
      return std::nullopt;
    }
    if (!implementation->factoryBlock()) continue;
    if (SRLInstance instance = implementation->factoryBlock()(nullptr)) {
      instances.push_back(std::move(instance));
    }
  }
  return instances;
}

std::optional<std::vector<SRLInstance>> SRLRegistry::internalMultiBoundAccountScopedService(
    const std::shared_ptr<SRLAPIKey>& apiKey, const std::shared_ptr<SRLAccountID>& accountID) {
  if (apiKey == nullptr) {
    SRL_REPORT("|apiKey| cannot be nil!");
    return std::nullopt;
  }
  if (accountID == nullptr) {
    SRL_REPORT("Missing accountID for account-scoped multibound service:\n %@.", apiKey);
    return std::nullopt;
  }
  std::vector<std::shared_ptr<SRLImplementation>> implementations = MultiBindingFor(apiKey);
  std::vector<SRLInstance> instances;
  instances.reserve(implementations.size());
  for (const auto& implementation : implementations) {
    if (!implementation->factoryBlock()) continue;
    if (SRLInstance instance = implementation->factoryBlock()(accountID)) {
      instances.push_back(std::move(instance));
    }
  }
  return instances;
}

SRLInstance SRLRegistry::internalImplementationConfigForInstanceType(
    const std::shared_ptr<SRLInstanceType>& instanceType) {
  SRLCreationBlock provider;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (implementation_config_providers_ == nullptr) return nullptr;
    auto found = implementation_config_providers_->find(instanceType);
    if (found == implementation_config_providers_->end()) return nullptr;
    provider = found->second;
  }
  if (!provider) return nullptr;
  return config_scope_->instanceOfType(instanceType, provider);
}

// ---- Scopes.

std::shared_ptr<SRLMemoizingScope> SRLRegistry::scopeWithAccountID(
    const std::shared_ptr<SRLAccountID>& accountID) {
  if (accountID == nullptr) {
    SRL_REPORT("Account ID cannot be nil!");
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto& scope = account_scopes_[accountID->copy()];
  if (scope == nullptr) scope = SRLMemoizingScope::init();
  return scope;
}

void SRLRegistry::removeScopeWithAccountID(const std::shared_ptr<SRLAccountID>& accountID) {
  if (accountID == nullptr) {
    SRL_REPORT("Account ID cannot be nil!");
    return;
  }
  std::shared_ptr<SRLMemoizingScope> removed;  // released outside the lock
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto found = account_scopes_.find(accountID);
  if (found == account_scopes_.end()) return;
  removed = std::move(found->second);
  account_scopes_.erase(found);
}

SRLFactoryBlock SRLRegistry::scopedBlock(SRLFactoryBlock factoryBlock,
                                         std::shared_ptr<SRLInstanceType> instanceType,
                                         uint64_t scope, uint64_t lifetime) {
  if (lifetime == SRLLifetimeUnscoped) {
    if (IsAccountScoped(scope)) return factoryBlock;
    return [factoryBlock](const std::shared_ptr<SRLAccountID>&) { return factoryBlock(nullptr); };
  }
  if (!IsAccountScoped(scope)) {
    return [factoryBlock, instanceType](const std::shared_ptr<SRLAccountID>&) {
      return sharedInstance()->appScope()->instanceOfType(
          instanceType, [&factoryBlock] { return factoryBlock(nullptr); });
    };
  }
  return [factoryBlock, instanceType](const std::shared_ptr<SRLAccountID>& accountID) {
    if (accountID == nullptr) {
      SRL_REPORT("accountID is required for an account-scoped service");
      return SRLInstance();
    }
    std::shared_ptr<SRLMemoizingScope> scope = sharedInstance()->scopeWithAccountID(accountID);
    return scope->instanceOfType(instanceType,
                                 [&factoryBlock, &accountID] { return factoryBlock(accountID); });
  };
}

// ---- Other.

std::shared_ptr<SRLRegistry> SRLRegistry::mutableCopy() {
  auto copy = initPrivate();
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  copy->registry_single_ = registry_single_;
  if (implementation_config_providers_ != nullptr) {
    copy->implementation_config_providers_ =
        std::make_shared<const SRLConfigProviders>(*implementation_config_providers_);
  }
  copy->protocol_name_to_api_key_ = protocol_name_to_api_key_;  // immutable, shared
  copy->bindings_registration_data_ = bindings_registration_data_;
  for (const auto& [key, set] : registry_multiple_) {
    copy->registry_multiple_.emplace(key, std::make_shared<ImplementationSet>(*set));
  }
  return copy;
}

std::string SRLRegistry::description() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::string multi = "{";
  for (const auto& [key, set] : registry_multiple_) {
    multi += "\n    " + key->description() + " = " + DescribeSet(*set) + ";";
  }
  multi += "\n}";
  return StringWithFormat("<%@: %p>\nSingle bindings:\n%@\nMulti bindings:\n%@",
                          {"SRLRegistry", static_cast<const void*>(this),
                           DescribeDictionary(registry_single_), multi});
}

SRLRegistry::SingleBindings SRLRegistry::registrySingle() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return registry_single_;
}

SRLRegistry::MultiBindings SRLRegistry::registryMultiple() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  MultiBindings copy;
  for (const auto& [key, set] : registry_multiple_) {
    copy.emplace(key, std::make_shared<ImplementationSet>(*set));
  }
  return copy;
}

SRLRegistry::AccountScopes SRLRegistry::accountScopes() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return account_scopes_;
}
