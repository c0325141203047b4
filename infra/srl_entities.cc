#include "infra/srl_entities.h"

#include <functional>

#include "infra/srl_report.h"
#include "platform/utility/format.h"

using platform::objc::Class;
using platform::objc::Protocol;
using platform::utility::StringWithFormat;

namespace {

constexpr char kIdentifierKey[] = "identifier";
constexpr char kMapBindingKeyKey[] = "map binding key";

uint64_t HashOfText(const std::string& text) { return std::hash<std::string>{}(text); }
uint64_t HashOfAddress(const void* address) { return std::hash<const void*>{}(address); }

template <typename T>
uint64_t HashOf(const std::shared_ptr<T>& value) {
  return value == nullptr ? 0 : value->hash();
}

// Both absent, or equal.
template <typename T>
bool BothAbsentOrEqual(const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
  return SRLValueEqual<T>{}(a, b);
}

// "(null)" for none, as the format prints it.
template <typename T>
platform::utility::FormatArgument Described(const std::shared_ptr<T>& value) {
  if (value == nullptr) return nullptr;
  return value->description();
}

}  // namespace

// ---- Instance types.

std::shared_ptr<SRLClassType> SRLClassType::initWithClass(const Class* cls) {
  if (cls == nullptr) {
    SRL_REPORT("SRLClassType's concreteClass must not be nil.");
    return nullptr;
  }
  return std::make_shared<SRLClassType>(cls);
}

bool SRLClassType::doesRepresentSupertypeOfClass(const Class* cls) const {
  return cls != nullptr && cls->isSubclassOfClass(class_);
}

bool SRLClassType::isEqual(const SRLInstanceType* other) const {
  if (other == this) return true;
  auto* type = dynamic_cast<const SRLClassType*>(other);
  return type != nullptr && type->class_ == class_;
}

uint64_t SRLClassType::hash() const { return HashOfAddress(class_); }

std::string SRLClassType::description() const { return class_->name(); }

std::string SRLClassType::debugDescription() const {
  return StringWithFormat("%@<concreteClass: %@>", {className(), class_->name()});
}

std::shared_ptr<SRLProtocolType> SRLProtocolType::initWithProtocol(const Protocol* p) {
  if (p == nullptr) {
    SRL_REPORT("SRLProtocolType's concreteProtocol must not be nil.");
    return nullptr;
  }
  return std::make_shared<SRLProtocolType>(p);
}

bool SRLProtocolType::doesRepresentSupertypeOfClass(const Class* cls) const {
  return cls != nullptr && cls->conformsToProtocol(protocol_);
}

bool SRLProtocolType::isEqual(const SRLInstanceType* other) const {
  if (other == this) return true;
  auto* type = dynamic_cast<const SRLProtocolType*>(other);
  return type != nullptr && type->protocol_ == protocol_;
}

uint64_t SRLProtocolType::hash() const { return HashOfText(protocol_->name()); }

std::string SRLProtocolType::description() const {
  return StringWithFormat("id<%@>", {protocol_->name()});
}

std::string SRLProtocolType::debugDescription() const {
  return StringWithFormat("%@<concreteProtocol: %@>", {className(), protocol_->name()});
}

std::shared_ptr<SRLClassProtocolType> SRLClassProtocolType::initWithClass(
    const Class* cls, const Protocol* constrainedToProtocol) {
  if (cls == nullptr || constrainedToProtocol == nullptr) {
    SRL_REPORT("concreteClass and concreteProtocol must be provided.");
    return nullptr;
  }
  return std::make_shared<SRLClassProtocolType>(constrainedToProtocol, cls);
}

bool SRLClassProtocolType::doesRepresentSupertypeOfClass(const Class* cls) const {
  return cls != nullptr && cls->conformsToProtocol(protocol_) && cls->isSubclassOfClass(class_);
}

bool SRLClassProtocolType::isEqual(const SRLInstanceType* other) const {
  if (other == this) return true;
  auto* type = dynamic_cast<const SRLClassProtocolType*>(other);
  return type != nullptr && type->protocol_ == protocol_ && type->class_ == class_;
}

uint64_t SRLClassProtocolType::hash() const {
  return HashOfText(protocol_->name()) * 41 + HashOfAddress(class_);
}

std::string SRLClassProtocolType::description() const {
  return StringWithFormat("%@<%@>", {class_->name(), protocol_->name()});
}

std::string SRLClassProtocolType::debugDescription() const {
  return StringWithFormat("%@<concreteClass: %@, concreteProtocol: %@>",
                          {className(), class_->name(), protocol_->name()});
}

std::shared_ptr<SRLInstanceType> SRLMakeInstanceTypeContainer(const Class* instanceClass,
                                                              const Protocol* instanceProtocol) {
  if (instanceClass != nullptr && instanceProtocol != nullptr) {
    return SRLClassProtocolType::initWithClass(instanceClass, instanceProtocol);
  }
  if (instanceProtocol != nullptr) return SRLProtocolType::initWithProtocol(instanceProtocol);
  if (instanceClass != nullptr) return SRLClassType::initWithClass(instanceClass);
  SRL_REPORT("Either instanceClass or instanceProtocol must be provided.");
  return nullptr;
}

// ---- Map binding keys.

std::shared_ptr<SRLMapBindingKey> SRLMapBindingKey::initWithName(std::string name) {
  if (name.empty()) {
    SRL_REPORT("name cannot be nil or an empty string.");
    return nullptr;
  }
  return std::make_shared<SRLMapBindingKey>(std::move(name));
}

bool SRLMapBindingKey::isEqual(const SRLMapBindingKey* other) const {
  return other == this || (other != nullptr && other->name_ == name_);
}

uint64_t SRLMapBindingKey::hash() const { return HashOfText(name_); }

std::string SRLMapBindingKey::description() const {
  return StringWithFormat("%@<name: %@>", {className(), name_});
}

// ---- API keys.

std::shared_ptr<SRLAPIKey> SRLAPIKey::initWithIdentifier(
    std::string identifier, std::shared_ptr<SRLInstanceType> instanceType,
    std::shared_ptr<SRLMapBindingKey> mapBindingKey) {
  if (identifier.empty()) {
    SRL_REPORT("|identifier| must be non-nil and non-empty.");
    return nullptr;
  }
  if (instanceType == nullptr) {
    SRL_REPORT("|instanceType| must be non-nil.");
    return nullptr;
  }
  return std::make_shared<SRLAPIKey>(std::move(identifier), std::move(instanceType),
                                     std::move(mapBindingKey));
}

bool SRLAPIKey::isEqual(const SRLAPIKey* other) const {
  if (other == this) return true;
  return other != nullptr && other->identifier_ == identifier_ &&
         BothAbsentOrEqual(map_binding_key_, other->map_binding_key_);
}

uint64_t SRLAPIKey::hash() const {
  return HashOfText(identifier_) * 41 + HashOf(map_binding_key_);
}

std::string SRLAPIKey::description() const {
  return StringWithFormat("%@<identifier: %@, mapBindingKey: %@, instanceType: %@>",
                          {className(), identifier_, Described(map_binding_key_),
                           Described(instance_type_)});
}

std::shared_ptr<SRLAPIKey> SRLAPIKey::initWithCoder(NSCoder* coder) {
  std::optional<std::string> identifier = coder->decodeObjectOfClass<std::string>(kIdentifierKey);
  std::optional<std::string> name = coder->decodeObjectOfClass<std::string>(kMapBindingKeyKey);
  if (coder->error() != nullptr) return nullptr;
  std::shared_ptr<SRLMapBindingKey> map_binding_key;
  if (name) map_binding_key = std::make_shared<SRLMapBindingKey>(std::move(*name));
  return std::make_shared<SRLAPIKey>(identifier.value_or(std::string()), nullptr,
                                     std::move(map_binding_key));
}

void SRLAPIKey::encodeWithCoder(NSCoder* coder) const {
  coder->encodeObject(identifier_, kIdentifierKey);
  // The key is archived by its name, so that reading it back as a string restores it.
  if (map_binding_key_ != nullptr) coder->encodeObject(map_binding_key_->name(), kMapBindingKeyKey);
}

// ---- APIs.

std::shared_ptr<SRLAPI> SRLAPI::initWithAPIKey(std::shared_ptr<SRLAPIKey> apiKey,
                                               uint64_t bindingType, uint64_t scope) {
  if (apiKey == nullptr) {
    SRL_REPORT("SRLAPI requires a non-nil apiKey.");
    return nullptr;
  }
  return std::make_shared<SRLAPI>(std::move(apiKey), bindingType, scope);
}

bool SRLAPI::isEqual(const SRLAPI* other) const {
  if (other == this) return true;
  return other != nullptr && api_key_->isEqual(other->api_key_.get()) &&
         binding_type_ == other->binding_type_ && scope_ == other->scope_;
}

uint64_t SRLAPI::hash() const { return (api_key_->hash() * 41 + binding_type_) * 41 + scope_; }

std::string SRLAPI::description() const {
  return StringWithFormat("%@<apiKey: %@, bindingType: %lu, scope: %lu>",
                          {className(), api_key_->description(), binding_type_, scope_});
}

// ---- Configurations.

std::shared_ptr<SRLImplementationConfiguration>
SRLImplementationConfiguration::initWithConfigurationInstanceType(
    std::shared_ptr<SRLInstanceType> instanceType, bool required) {
  if (instanceType == nullptr) {
    SRL_REPORT("SRLImplementationConfiguration requires a non-nil instanceType.");
    return nullptr;
  }
  return std::make_shared<SRLImplementationConfiguration>(std::move(instanceType), required);
}

bool SRLImplementationConfiguration::isEqual(const SRLImplementationConfiguration* other) const {
  if (other == this) return true;
  return other != nullptr && instance_type_->isEqual(other->instance_type_.get()) &&
         required_ == other->required_;
}

uint64_t SRLImplementationConfiguration::hash() const {
  return instance_type_->hash() * 41 + (required_ ? 1 : 0);
}

std::string SRLImplementationConfiguration::description() const {
  return StringWithFormat("%@<instanceType: %@, required: %d>",
                          {className(), instance_type_->description(), required_ ? 1 : 0});
}

// ---- Dependencies.

std::shared_ptr<SRLImplementationAPIDependency> SRLImplementationAPIDependency::initWithAPIMetadata(
    std::shared_ptr<SRLAPI> apiMetadata, bool optional,
    std::shared_ptr<SRLMapBindingKey> mapBindingKey) {
  if (apiMetadata == nullptr) {
    SRL_REPORT("apiMetadata cannot be nil.");
    return nullptr;
  }
  return std::make_shared<SRLImplementationAPIDependency>(std::move(apiMetadata), optional,
                                                          std::move(mapBindingKey));
}

bool SRLImplementationAPIDependency::isEqual(const SRLImplementationAPIDependency* other) const {
  if (other == this) return true;
  return other != nullptr && api_->isEqual(other->api_.get()) &&
         BothAbsentOrEqual(map_binding_key_, other->map_binding_key_);
}

uint64_t SRLImplementationAPIDependency::hash() const {
  return api_->hash() * 41 + HashOf(map_binding_key_);
}

std::string SRLImplementationAPIDependency::description() const {
  return StringWithFormat("%@<APIMetadata: %@, optional: %d, mapBindingKey:%@>",
                          {className(), api_->description(), optional_ ? 1 : 0,
                           Described(map_binding_key_)});
}

SRLAPIDependencySet::SRLAPIDependencySet(
    std::initializer_list<std::shared_ptr<SRLImplementationAPIDependency>> members) {
  for (const auto& member : members) add(member);
}

void SRLAPIDependencySet::add(const std::shared_ptr<SRLImplementationAPIDependency>& member) {
  if (member == nullptr) return;
  for (const auto& existing : members_) {
    if (existing->isEqual(member.get())) return;
  }
  members_.push_back(member);
}

bool SRLAPIDependencySet::isEqual(const SRLAPIDependencySet& other) const {
  if (other.members_.size() != members_.size()) return false;
  for (const auto& member : members_) {
    bool found = false;
    for (const auto& candidate : other.members_) {
      if (member->isEqual(candidate.get())) {
        found = true;
        break;
      }
    }
    if (!found) return false;
  }
  return true;
}

std::string SRLAPIDependencySet::description() const {
  std::string text = "{(";
  for (size_t i = 0; i < members_.size(); ++i) {
    text += i == 0 ? "\n    " : ",\n    ";
    text += members_[i]->description();
  }
  return text + "\n)}";
}

// ---- Implementations.

std::shared_ptr<SRLImplementation> SRLImplementation::initWithInstanceType(
    std::shared_ptr<SRLInstanceType> instanceType, uint64_t lifetime, uint64_t scope,
    SRLFactoryBlock factoryBlock, std::optional<SRLAPIDependencySet> apiDependencies,
    std::shared_ptr<SRLImplementationConfiguration> configuration, bool isComponentBinding) {
  if (instanceType == nullptr) {
    SRL_REPORT("SRLImplementation requires a non-nil instanceType.");
    return nullptr;
  }
  return std::make_shared<SRLImplementation>(std::move(instanceType), lifetime, scope,
                                             std::move(factoryBlock), std::move(apiDependencies),
                                             std::move(configuration), isComponentBinding);
}

bool SRLImplementation::isEqual(const SRLImplementation* other) const {
  if (other == this) return true;
  if (other == nullptr || !instance_type_->isEqual(other->instance_type_.get()) ||
      lifetime_ != other->lifetime_ || scope_ != other->scope_ ||
      is_component_binding_ != other->is_component_binding_ ||
      !BothAbsentOrEqual(configuration_, other->configuration_)) {
    return false;
  }
  if (api_dependencies_.has_value() != other->api_dependencies_.has_value()) return false;
  return !api_dependencies_ || api_dependencies_->isEqual(*other->api_dependencies_);
}

uint64_t SRLImplementation::hash() const {
  uint64_t h = instance_type_->hash();
  h = h * 41 + lifetime_;
  h = h * 41 + scope_;
  h = h * 41 + (api_dependencies_ ? api_dependencies_->hash() : 0);
  h = h * 41 + HashOf(configuration_);
  h = h * 41 + (is_component_binding_ ? 1 : 0);
  return h;
}

std::string SRLImplementation::description() const {
  return StringWithFormat(
      "%@<%p, instanceType: %@, lifetime: %lu, scope: %lu, API dependencies:%@, configuration: "
      "%@>",
      {className(), static_cast<const void*>(this), instance_type_->description(), lifetime_,
       scope_, api_dependencies_ ? api_dependencies_->description() : std::string("None"),
       configuration_ ? configuration_->description() : std::string("None")});
}
