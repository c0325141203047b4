// SRLRegistry: binds service APIs to the implementations that serve them and hands out service
// instances, in the app scope or in the scope of one account.
//
//   auto registry = SRLRegistry::sharedInstance();
//   registry->internalRegisterServiceAPI(api, implementation);
//   SRLInstance clock = registry->internalAppScopedService(api->apiKey());
//
// Bindings are registered one at a time or taken from static binding tables
// (srl_binding_data.h): a component table at once, any other table lazily, each API when a
// lookup first misses its key. Bindings only accumulate. Implementations with the scoped
// lifetime are memoized by SRLMemoizingScope, one instance per implementation type per scope, in
// the scopes of the process-wide registry.
//
// Misuse and failed lookups are fault reports (error_handler.h); the operation then ends with
// none or leaves the registry unchanged.
//
// Thread safety: every operation may run on any thread. The registry lock is recursive (lazy
// registration re-enters it inside a lookup); factory and creation blocks never run under it, so
// a factory block may look up other services. A creation block that asks its own scope for the
// type it is creating is reported and answered none instead of waiting for itself.
#ifndef INFRA_SRL_REGISTRY_H_
#define INFRA_SRL_REGISTRY_H_

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "infra/srl_binding_data.h"
#include "infra/srl_entities.h"

class SRLMemoizingScope {
 public:
  static std::shared_ptr<SRLMemoizingScope> init() { return std::make_shared<SRLMemoizingScope>(); }

  // The scope's instance of `type`, made by `creationBlock` at most once at a time: concurrent
  // requesters of one type wait for the creator and share its result. A creation that yields
  // none stores nothing (waiters then report and get none); the next request tries again.
  SRLInstance instanceOfType(const std::shared_ptr<SRLInstanceType>& type,
                             const SRLCreationBlock& creationBlock);
  // How many instances the scope holds.
  size_t instanceCount() const;

 private:
  // One creation in progress; its waiters sleep on creation_done_ until `done`.
  struct Creation {
    std::thread::id creator;
    bool done = false;
  };
  template <typename V>
  using TypeMap = std::unordered_map<std::shared_ptr<SRLInstanceType>, V,
                                     SRLValueHash<SRLInstanceType>, SRLValueEqual<SRLInstanceType>>;

  mutable std::mutex mutex_;
  std::condition_variable creation_done_;
  TypeMap<SRLInstance> instances_;
  TypeMap<std::shared_ptr<Creation>> instance_creation_locks_;
};

class SRLRegistry : public std::enable_shared_from_this<SRLRegistry> {
 public:
  using ImplementationSet =
      std::unordered_set<std::shared_ptr<SRLImplementation>, SRLValueHash<SRLImplementation>,
                         SRLValueEqual<SRLImplementation>>;
  using SingleBindings =
      std::unordered_map<std::shared_ptr<SRLAPIKey>, std::shared_ptr<SRLImplementation>,
                         SRLValueHash<SRLAPIKey>, SRLValueEqual<SRLAPIKey>>;
  using MultiBindings =
      std::unordered_map<std::shared_ptr<SRLAPIKey>, std::shared_ptr<ImplementationSet>,
                         SRLValueHash<SRLAPIKey>, SRLValueEqual<SRLAPIKey>>;
  using AccountScopes =
      std::unordered_map<std::shared_ptr<SRLAccountID>, std::shared_ptr<SRLMemoizingScope>,
                         SRLValueHash<SRLAccountID>, SRLValueEqual<SRLAccountID>>;
  using ProtocolNameIndex = std::map<std::string, std::shared_ptr<SRLAPIKey>>;

  // The process-wide registry. The first call makes it, also over one stored before by
  // overrideSharedInstance; later calls answer the stored registry.
  static std::shared_ptr<SRLRegistry> sharedInstance();
  static void overrideSharedInstance(std::shared_ptr<SRLRegistry> registry);
  // The registry's only initialiser: no bindings, no providers, empty scopes.
  static std::shared_ptr<SRLRegistry> initPrivate();

  // ---- Registration.
  void internalRegisterServiceAPI(const std::shared_ptr<SRLAPI>& api,
                                  const std::shared_ptr<SRLImplementation>& implementation);
  // Installs providers once; a second call reports and keeps the first ones.
  void internalSetImplementationConfigProviders(
      const std::shared_ptr<const SRLConfigProviders>& providers);
  // A component table registers all its records now; any other table is kept for lazy
  // registration (replacing one kept before) and its providers are installed.
  void internalRegisterBindings(const SRLBindingsRegistrationData& data);

  // ---- Lookups; none is null (for the multi forms, nullopt).
  SRLInstance internalAppScopedService(const std::shared_ptr<SRLAPIKey>& apiKey);
  SRLInstance internalAccountScopedService(const std::shared_ptr<SRLAPIKey>& apiKey,
                                           const std::shared_ptr<SRLAccountID>& accountID);
  SRLInstance internalOptionalAppScopedService(const std::shared_ptr<SRLAPIKey>& apiKey);
  SRLInstance internalOptionalAccountScopedService(const std::shared_ptr<SRLAPIKey>& apiKey,
                                                   const std::shared_ptr<SRLAccountID>& accountID);
  // One instance per implementation of a multi binding; implementations whose factory block
  // yields none are left out.
  std::optional<std::vector<SRLInstance>> internalMultiBoundAppScopedService(
      const std::shared_ptr<SRLAPIKey>& apiKey);
  std::optional<std::vector<SRLInstance>> internalMultiBoundAccountScopedService(
      const std::shared_ptr<SRLAPIKey>& apiKey, const std::shared_ptr<SRLAccountID>& accountID);
  SRLInstance internalImplementationConfigForInstanceType(
      const std::shared_ptr<SRLInstanceType>& instanceType);

  // ---- Scopes.
  // Null after "Account ID cannot be nil!" without an account id.
  std::shared_ptr<SRLMemoizingScope> scopeWithAccountID(
      const std::shared_ptr<SRLAccountID>& accountID);
  void removeScopeWithAccountID(const std::shared_ptr<SRLAccountID>& accountID);
  // The factory block an implementation from a binding table is registered with: memoizing
  // (scoped lifetime) in the scopes of the process-wide registry at call time, or not.
  SRLFactoryBlock scopedBlock(SRLFactoryBlock factoryBlock,
                              std::shared_ptr<SRLInstanceType> instanceType, uint64_t scope,
                              uint64_t lifetime);

  // ---- Binding tables.
  // Registers the kept table's record for the key's identifier (under the plain key); false,
  // after a report when a table is kept, when there is none. The caller holds the registry lock.
  bool lazilyRegisterBindingsForAPIKey(const std::shared_ptr<SRLAPIKey>& apiKey);
  void registerBindingsForAPIData(const _SRLAPIRegistrationData* data, bool isComponentBinding);
  // Protocol name to API key of the kept table's protocol-only records; built on first use and
  // never rebuilt. Null while no table is kept.
  std::shared_ptr<const ProtocolNameIndex> protocolNameToAPIKey();

  // ---- Other.
  // A new registry with the same bindings, providers, index and kept table; empty scopes.
  std::shared_ptr<SRLRegistry> mutableCopy();
  std::string description();

  // Snapshots of the fields.
  SingleBindings registrySingle();
  MultiBindings registryMultiple();
  const std::shared_ptr<SRLMemoizingScope>& appScope() const { return app_scope_; }
  AccountScopes accountScopes();
  const std::shared_ptr<SRLMemoizingScope>& configScope() const { return config_scope_; }
  // Null: none installed. The setter stores the providers without any check.
  std::shared_ptr<const SRLConfigProviders> implementationConfigProviders();
  void setImplementationConfigProviders(std::shared_ptr<const SRLConfigProviders> providers);

  SRLRegistry();

 private:
  // The single binding of `apiKey`, registered lazily from the kept table when missing.
  std::shared_ptr<SRLImplementation> SingleBindingFor(const std::shared_ptr<SRLAPIKey>& apiKey);
  // A copy of the multi binding of `apiKey`, registered lazily when missing.
  std::vector<std::shared_ptr<SRLImplementation>> MultiBindingFor(
      const std::shared_ptr<SRLAPIKey>& apiKey);

  std::recursive_mutex mutex_;
  SRLBindingsRegistrationData bindings_registration_data_;
  std::shared_ptr<const ProtocolNameIndex> protocol_name_to_api_key_;
  SingleBindings registry_single_;
  MultiBindings registry_multiple_;
  std::shared_ptr<const SRLConfigProviders> implementation_config_providers_;
  std::shared_ptr<SRLMemoizingScope> app_scope_;
  AccountScopes account_scopes_;
  std::shared_ptr<SRLMemoizingScope> config_scope_;
};

// The process-wide registry, for generated provider code.
std::shared_ptr<SRLRegistry> SRLRegistrySharedInstanceForProviders();

#endif  // INFRA_SRL_REGISTRY_H_
