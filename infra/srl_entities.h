// Service registry entities: small immutable values that describe what the registry binds.
//
// Instance types say what kind of object a service or an implementation is: SRLClassType (a
// class or a subclass), SRLProtocolType (any class conforming to a protocol) and
// SRLClassProtocolType (a class or subclass that also conforms to a protocol). An SRLAPIKey
// names an API by identifier and optional map binding key; an SRLAPI adds its binding type and
// scope; an SRLImplementation carries the factory block that makes the instance.
//
//   auto type = SRLMakeInstanceTypeContainer(nullptr, NSProtocolFromString("Clock"));
//   auto key = SRLAPIKey::initWithIdentifier("clock", type, nullptr);
//   auto api = SRLAPI::initWithAPIKey(key, SRLBindingTypeSingle, SRLScopeApp);
//
// Every initialiser checks its arguments: a refused argument is one fault report (SRL_REPORT)
// and the initialiser answers null. Objects compare and hash by value (`isEqual`, `hash`) and
// are their own copy. What equality leaves out: an API key's instance type, a dependency's
// optional flag, an implementation's factory block. Objects may be shared between threads.
#ifndef INFRA_SRL_ENTITIES_H_
#define INFRA_SRL_ENTITIES_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "infra/account_id.h"
#include "platform/foundation/ns_keyed_archiver.h"
#include "platform/objc/runtime.h"

enum SRLBindingType : uint64_t { SRLBindingTypeSingle = 0, SRLBindingTypeMulti = 1 };
enum SRLScope : uint64_t { SRLScopeApp = 0, SRLScopeAccount = 1 };
enum SRLLifetime : uint64_t { SRLLifetimeScoped = 0, SRLLifetimeUnscoped = 1 };

// A service instance or configuration object; null is none.
using SRLInstance = std::shared_ptr<platform::objc::Object>;
// Makes an instance for an account (null: no account).
using SRLFactoryBlock = std::function<SRLInstance(const std::shared_ptr<SRLAccountID>&)>;
// Makes an instance; memoizing scopes run these, configuration providers are these.
using SRLCreationBlock = std::function<SRLInstance()>;

// ---- Instance types.

class SRLInstanceType : public std::enable_shared_from_this<SRLInstanceType> {
 public:
  virtual ~SRLInstanceType() = default;
  virtual bool doesRepresentSupertypeOfClass(const platform::objc::Class* cls) const = 0;
  virtual bool isEqual(const SRLInstanceType* other) const = 0;
  virtual uint64_t hash() const = 0;
  virtual std::string description() const = 0;
  virtual std::string debugDescription() const = 0;
  virtual std::string className() const = 0;
  std::shared_ptr<SRLInstanceType> copy() const {
    return std::const_pointer_cast<SRLInstanceType>(shared_from_this());
  }
};

class SRLClassType : public SRLInstanceType {
 public:
  // Null after "SRLClassType's concreteClass must not be nil." without a class.
  static std::shared_ptr<SRLClassType> initWithClass(const platform::objc::Class* cls);
  const platform::objc::Class* concreteClass() const { return class_; }
  // `cls` is the concrete class or a subclass.
  bool doesRepresentSupertypeOfClass(const platform::objc::Class* cls) const override;
  bool isEqual(const SRLInstanceType* other) const override;
  uint64_t hash() const override;
  std::string description() const override;  // the class name
  std::string debugDescription() const override;
  std::string className() const override { return "SRLClassType"; }

  explicit SRLClassType(const platform::objc::Class* cls) : class_(cls) {}

 private:
  const platform::objc::Class* class_;
};

class SRLProtocolType : public SRLInstanceType {
 public:
  // Null after "SRLProtocolType's concreteProtocol must not be nil." without a protocol.
  static std::shared_ptr<SRLProtocolType> initWithProtocol(const platform::objc::Protocol* p);
  const platform::objc::Protocol* concreteProtocol() const { return protocol_; }
  bool doesRepresentSupertypeOfClass(const platform::objc::Class* cls) const override;
  bool isEqual(const SRLInstanceType* other) const override;
  uint64_t hash() const override;
  std::string description() const override;  // "id<Proto>"
  std::string debugDescription() const override;
  std::string className() const override { return "SRLProtocolType"; }

  explicit SRLProtocolType(const platform::objc::Protocol* p) : protocol_(p) {}

 private:
  const platform::objc::Protocol* protocol_;
};

class SRLClassProtocolType : public SRLInstanceType {
 public:
  // Null after "concreteClass and concreteProtocol must be provided." when either is missing.
  static std::shared_ptr<SRLClassProtocolType> initWithClass(
      const platform::objc::Class* cls, const platform::objc::Protocol* constrainedToProtocol);
  const platform::objc::Protocol* concreteProtocol() const { return protocol_; }
  const platform::objc::Class* concreteClass() const { return class_; }
  bool doesRepresentSupertypeOfClass(const platform::objc::Class* cls) const override;
  bool isEqual(const SRLInstanceType* other) const override;
  uint64_t hash() const override;
  std::string description() const override;  // "Cls<Proto>"
  std::string debugDescription() const override;
  std::string className() const override { return "SRLClassProtocolType"; }

  SRLClassProtocolType(const platform::objc::Protocol* p, const platform::objc::Class* cls)
      : protocol_(p), class_(cls) {}

 private:
  const platform::objc::Protocol* protocol_;
  const platform::objc::Class* class_;
};

// A class-protocol type, a protocol type or a class type, whichever the given pair calls for;
// null after "Either instanceClass or instanceProtocol must be provided." when neither is given.
std::shared_ptr<SRLInstanceType> SRLMakeInstanceTypeContainer(
    const platform::objc::Class* instanceClass, const platform::objc::Protocol* instanceProtocol);

// ---- Entities.

class SRLMapBindingKey : public std::enable_shared_from_this<SRLMapBindingKey> {
 public:
  // Null after "name cannot be nil or an empty string." for an empty name.
  static std::shared_ptr<SRLMapBindingKey> initWithName(std::string name);
  const std::string& name() const { return name_; }
  bool isEqual(const SRLMapBindingKey* other) const;
  uint64_t hash() const;
  std::string description() const;
  virtual std::string className() const { return "SRLMapBindingKey"; }
  std::shared_ptr<SRLMapBindingKey> copy() const {
    return std::const_pointer_cast<SRLMapBindingKey>(shared_from_this());
  }

  explicit SRLMapBindingKey(std::string name) : name_(std::move(name)) {}
  virtual ~SRLMapBindingKey() = default;

 private:
  std::string name_;
};

class SRLAPIKey : public NSSecureCoding, public std::enable_shared_from_this<SRLAPIKey> {
 public:
  // Null after "|identifier| must be non-nil and non-empty." for an empty identifier, else
  // after "|instanceType| must be non-nil." without an instance type.
  static std::shared_ptr<SRLAPIKey> initWithIdentifier(
      std::string identifier, std::shared_ptr<SRLInstanceType> instanceType,
      std::shared_ptr<SRLMapBindingKey> mapBindingKey);
  static std::shared_ptr<SRLAPIKey> apiKeyWithIdentifier(
      std::string identifier, std::shared_ptr<SRLInstanceType> instanceType,
      std::shared_ptr<SRLMapBindingKey> mapBindingKey) {
    return initWithIdentifier(std::move(identifier), std::move(instanceType),
                              std::move(mapBindingKey));
  }

  const std::string& identifier() const { return identifier_; }
  const std::string& serviceName() const { return identifier_; }
  const std::shared_ptr<SRLMapBindingKey>& mapBindingKey() const { return map_binding_key_; }
  const std::shared_ptr<SRLInstanceType>& instanceType() const { return instance_type_; }

  bool isEqual(const SRLAPIKey* other) const;
  uint64_t hash() const;
  std::string description() const;
  static std::string className() { return "SRLAPIKey"; }
  std::shared_ptr<SRLAPIKey> copy() const {
    return std::const_pointer_cast<SRLAPIKey>(shared_from_this());
  }

  // Keyed archiving: the identifier under "identifier" and the map binding key's name under
  // "map binding key"; the instance type is not archived, so a decoded key has none. Decoding
  // makes none of the initialiser's checks.
  static bool supportsSecureCoding() { return true; }
  static std::shared_ptr<SRLAPIKey> initWithCoder(NSCoder* coder);
  void encodeWithCoder(NSCoder* coder) const override;
  std::string classForCoder() const override { return className(); }
  // Travels by value between processes.
  static bool isByValue() { return true; }

  SRLAPIKey(std::string identifier, std::shared_ptr<SRLInstanceType> instanceType,
            std::shared_ptr<SRLMapBindingKey> mapBindingKey)
      : identifier_(std::move(identifier)),
        map_binding_key_(std::move(mapBindingKey)),
        instance_type_(std::move(instanceType)) {}

 private:
  std::string identifier_;
  std::shared_ptr<SRLMapBindingKey> map_binding_key_;
  std::shared_ptr<SRLInstanceType> instance_type_;
};

class SRLAPI : public std::enable_shared_from_this<SRLAPI> {
 public:
  // Null after "SRLAPI requires a non-nil apiKey." without a key.
  static std::shared_ptr<SRLAPI> initWithAPIKey(std::shared_ptr<SRLAPIKey> apiKey,
                                                uint64_t bindingType, uint64_t scope);
  const std::shared_ptr<SRLAPIKey>& apiKey() const { return api_key_; }
  uint64_t bindingType() const { return binding_type_; }
  uint64_t scope() const { return scope_; }
  bool isEqual(const SRLAPI* other) const;
  uint64_t hash() const;
  std::string description() const;
  virtual std::string className() const { return "SRLAPI"; }
  std::shared_ptr<SRLAPI> copy() const {
    return std::const_pointer_cast<SRLAPI>(shared_from_this());
  }

  SRLAPI(std::shared_ptr<SRLAPIKey> apiKey, uint64_t bindingType, uint64_t scope)
      : api_key_(std::move(apiKey)), binding_type_(bindingType), scope_(scope) {}
  virtual ~SRLAPI() = default;

 private:
  std::shared_ptr<SRLAPIKey> api_key_;
  uint64_t binding_type_;
  uint64_t scope_;
};

class SRLImplementationConfiguration
    : public std::enable_shared_from_this<SRLImplementationConfiguration> {
 public:
  // Null after "SRLImplementationConfiguration requires a non-nil instanceType." without a type.
  static std::shared_ptr<SRLImplementationConfiguration> initWithConfigurationInstanceType(
      std::shared_ptr<SRLInstanceType> instanceType, bool required);
  const std::shared_ptr<SRLInstanceType>& instanceType() const { return instance_type_; }
  bool isRequired() const { return required_; }
  bool isEqual(const SRLImplementationConfiguration* other) const;
  uint64_t hash() const;
  std::string description() const;
  virtual std::string className() const { return "SRLImplementationConfiguration"; }

  SRLImplementationConfiguration(std::shared_ptr<SRLInstanceType> instanceType, bool required)
      : instance_type_(std::move(instanceType)), required_(required) {}
  virtual ~SRLImplementationConfiguration() = default;

 private:
  std::shared_ptr<SRLInstanceType> instance_type_;
  bool required_;
};

class SRLImplementationAPIDependency
    : public std::enable_shared_from_this<SRLImplementationAPIDependency> {
 public:
  // Null after "apiMetadata cannot be nil." without an API.
  static std::shared_ptr<SRLImplementationAPIDependency> initWithAPIMetadata(
      std::shared_ptr<SRLAPI> apiMetadata, bool optional,
      std::shared_ptr<SRLMapBindingKey> mapBindingKey);
  const std::shared_ptr<SRLAPI>& apiMetadata() const { return api_; }
  bool isOptional() const { return optional_; }
  const std::shared_ptr<SRLMapBindingKey>& mapBindingKey() const { return map_binding_key_; }
  bool isEqual(const SRLImplementationAPIDependency* other) const;
  uint64_t hash() const;
  std::string description() const;
  virtual std::string className() const { return "SRLImplementationAPIDependency"; }

  SRLImplementationAPIDependency(std::shared_ptr<SRLAPI> api, bool optional,
                                 std::shared_ptr<SRLMapBindingKey> mapBindingKey)
      : api_(std::move(api)), optional_(optional), map_binding_key_(std::move(mapBindingKey)) {}
  virtual ~SRLImplementationAPIDependency() = default;

 private:
  std::shared_ptr<SRLAPI> api_;
  bool optional_;
  std::shared_ptr<SRLMapBindingKey> map_binding_key_;
};

// A set of dependencies: members are unique by value, in order of first insertion.
class SRLAPIDependencySet {
 public:
  SRLAPIDependencySet() = default;
  SRLAPIDependencySet(
      std::initializer_list<std::shared_ptr<SRLImplementationAPIDependency>> members);
  void add(const std::shared_ptr<SRLImplementationAPIDependency>& member);
  const std::vector<std::shared_ptr<SRLImplementationAPIDependency>>& members() const {
    return members_;
  }
  bool isEqual(const SRLAPIDependencySet& other) const;
  uint64_t hash() const { return members_.size(); }  // a set hashes as its count
  std::string description() const;

 private:
  std::vector<std::shared_ptr<SRLImplementationAPIDependency>> members_;
};

class SRLImplementation : public std::enable_shared_from_this<SRLImplementation> {
 public:
  // Null after "SRLImplementation requires a non-nil instanceType." without a type.
  static std::shared_ptr<SRLImplementation> initWithInstanceType(
      std::shared_ptr<SRLInstanceType> instanceType, uint64_t lifetime, uint64_t scope,
      SRLFactoryBlock factoryBlock, std::optional<SRLAPIDependencySet> apiDependencies,
      std::shared_ptr<SRLImplementationConfiguration> configuration, bool isComponentBinding);

  const std::shared_ptr<SRLInstanceType>& instanceType() const { return instance_type_; }
  uint64_t lifetime() const { return lifetime_; }
  uint64_t scope() const { return scope_; }
  const SRLFactoryBlock& factoryBlock() const { return factory_block_; }
  bool isComponentBinding() const { return is_component_binding_; }
  const std::optional<SRLAPIDependencySet>& apiDependencies() const { return api_dependencies_; }
  const std::shared_ptr<SRLImplementationConfiguration>& configuration() const {
    return configuration_;
  }
  bool ignoreAccountIDInInit() const { return false; }

  bool isEqual(const SRLImplementation* other) const;
  uint64_t hash() const;
  std::string description() const;
  virtual std::string className() const { return "SRLImplementation"; }

  SRLImplementation(std::shared_ptr<SRLInstanceType> instanceType, uint64_t lifetime,
                    uint64_t scope, SRLFactoryBlock factoryBlock,
                    std::optional<SRLAPIDependencySet> apiDependencies,
                    std::shared_ptr<SRLImplementationConfiguration> configuration,
                    bool isComponentBinding)
      : instance_type_(std::move(instanceType)),
        lifetime_(lifetime),
        scope_(scope),
        factory_block_(std::move(factoryBlock)),
        is_component_binding_(isComponentBinding),
        api_dependencies_(std::move(apiDependencies)),
        configuration_(std::move(configuration)) {}
  virtual ~SRLImplementation() = default;

 private:
  std::shared_ptr<SRLInstanceType> instance_type_;
  uint64_t lifetime_;
  uint64_t scope_;
  SRLFactoryBlock factory_block_;
  bool is_component_binding_;
  std::optional<SRLAPIDependencySet> api_dependencies_;
  std::shared_ptr<SRLImplementationConfiguration> configuration_;
};

// ---- Value semantics for hashed containers of shared pointers (null hashes as 0).

template <typename T>
struct SRLValueHash {
  size_t operator()(const std::shared_ptr<T>& value) const {
    return value == nullptr ? 0 : static_cast<size_t>(value->hash());
  }
};

template <typename T>
struct SRLValueEqual {
  bool operator()(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) const {
    if (a == nullptr || b == nullptr) return a == b;
    return a->isEqual(b.get());
  }
};

#endif  // INFRA_SRL_ENTITIES_H_
