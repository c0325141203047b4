// SRLRegistry's side of static binding tables: taking a table, lazy registration by binary
// search, registering one API record, and the protocol-name index.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "infra/srl_registry.h"
#include "infra/srl_report.h"

using platform::objc::Class;
using platform::objc::Protocol;

namespace {

// The bytes up to the NUL, not copied; empty for no text.
std::string_view StringFromStaticString(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

const Class* ClassFromStaticString(const char* text) {
  return text == nullptr ? nullptr : platform::objc::NSClassFromString(text);
}

std::shared_ptr<SRLInstanceType> InstanceTypeFromAPIInstanceType(const SRLAPIInstanceType* type,
                                                                 unsigned kind) {
  if (kind == SRLInstanceTypeTypeFunction) {
    return type->function == nullptr ? nullptr : type->function();
  }
  const Class* cls = ClassFromStaticString(type->names.className);
  const Protocol* protocol =
      type->names.protocolName == nullptr
          ? nullptr
          : platform::objc::NSProtocolFromString(StringFromStaticString(type->names.protocolName));
  // Neither name known (or neither given): the container reports.
  return SRLMakeInstanceTypeContainer(cls, protocol);
}

std::shared_ptr<SRLInstanceType> InstanceTypeFromImplementationInstanceType(
    const SRLImplementationInstanceType* type, unsigned kind) {
  if (kind == SRLInstanceTypeTypeFunction) {
    return type->function == nullptr ? nullptr : type->function();
  }
  return SRLClassType::initWithClass(ClassFromStaticString(type->className));
}

// Table order: by length, then by bytes as unsigned bytes.
bool RecordIsLess(const _SRLAPIRegistrationData& record, std::string_view name) {
  if (record.nameLength != name.size()) return record.nameLength < name.size();
  return std::memcmp(record.name, name.data(), name.size()) < 0;
}

}  // namespace

void SRLRegistry::internalRegisterBindings(const SRLBindingsRegistrationData& data) {
  if (data.isComponentBinding) {
    if (data.apisBegin == nullptr) return;
    for (const _SRLAPIRegistrationData* record = data.apisBegin; record < data.apisEnd; ++record) {
      registerBindingsForAPIData(record, true);
    }
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    bindings_registration_data_ = data;
  }
  if (data.configProviders != nullptr) {
    internalSetImplementationConfigProviders(data.configProviders);
  }
}

bool SRLRegistry::lazilyRegisterBindingsForAPIKey(const std::shared_ptr<SRLAPIKey>& apiKey) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const SRLBindingsRegistrationData& data = bindings_registration_data_;
  if (data.apisBegin == nullptr) return false;
  std::string_view name = apiKey->identifier();
  const _SRLAPIRegistrationData* found =
      std::lower_bound(data.apisBegin, data.apisEnd, name, RecordIsLess);
  if (found != data.apisEnd && found->nameLength == name.size() &&
      std::memcmp(found->name, name.data(), name.size()) == 0) {
    registerBindingsForAPIData(found, data.isComponentBinding);
    return true;
  }
  SRL_REPORT(
      "We were asked to lazily register API bindings for %@, but could not find it in the "
      "binding registration data!",
      apiKey);
  return false;
}

void SRLRegistry::registerBindingsForAPIData(const _SRLAPIRegistrationData* data,
                                             bool isComponentBinding) {
  std::shared_ptr<SRLInstanceType> api_type =
      InstanceTypeFromAPIInstanceType(&data->instanceType, data->instanceTypeType);
  std::shared_ptr<SRLAPIKey> key = SRLAPIKey::apiKeyWithIdentifier(
      std::string(StringFromStaticString(data->name)), api_type, nullptr);
  std::shared_ptr<SRLAPI> api = SRLAPI::initWithAPIKey(key, data->bindingType, data->scope);

  for (uint8_t i = 0; i < data->implementationCount; ++i) {
    const _SRLImplementationRegistrationData& record = data->implementations[i];
    std::shared_ptr<SRLImplementationConfiguration> configuration;
    if (record.hasConfiguration) {
      configuration = SRLImplementationConfiguration::initWithConfigurationInstanceType(
          InstanceTypeFromImplementationInstanceType(&record.configurationInstanceType,
                                                     record.configurationInstanceTypeType),
          record.isConfigurationRequired);
    }
    std::shared_ptr<SRLInstanceType> impl_type =
        InstanceTypeFromImplementationInstanceType(&record.instanceType, record.instanceTypeType);
    SRLFactoryBlock factory =
        record.factoryBlockProvider == nullptr ? nullptr : record.factoryBlockProvider(impl_type);
    SRLFactoryBlock block = scopedBlock(std::move(factory), impl_type, record.scope,
                                        record.lifetime);
    auto implementation = SRLImplementation::initWithInstanceType(
        impl_type, record.lifetime, record.scope, std::move(block), std::nullopt,
        std::move(configuration), isComponentBinding);
    internalRegisterServiceAPI(api, implementation);
  }
  if (data->implementationCount > 0 || isComponentBinding) return;

  if (data->bindingType == SRLBindingTypeMulti) {
    // Without a key (no loaded class or protocol of the record's names) nothing is stored.
    if (key == nullptr) return;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    registry_multiple_[key->copy()] = std::make_shared<ImplementationSet>();
    return;
  }
  auto placeholder = SRLImplementation::initWithInstanceType(
      SRLProtocolType::initWithProtocol(platform::objc::NSObjectProtocol()), SRLLifetimeUnscoped,
      SRLScopeApp, [](const std::shared_ptr<SRLAccountID>&) { return SRLInstance(); },
      std::nullopt, nullptr, false);
  internalRegisterServiceAPI(api, placeholder);
}

std::shared_ptr<const SRLRegistry::ProtocolNameIndex> SRLRegistry::protocolNameToAPIKey() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (protocol_name_to_api_key_ != nullptr) return protocol_name_to_api_key_;
  const SRLBindingsRegistrationData& data = bindings_registration_data_;
  if (data.apisBegin == nullptr) return nullptr;
  auto index = std::make_shared<ProtocolNameIndex>();
  for (const _SRLAPIRegistrationData* record = data.apisBegin; record < data.apisEnd; ++record) {
    if (record->instanceTypeType != SRLInstanceTypeTypeNames ||
        record->instanceType.names.className != nullptr) {
      continue;
    }
    std::string protocol_name(StringFromStaticString(record->instanceType.names.protocolName));
    auto key = SRLAPIKey::apiKeyWithIdentifier(
        std::string(StringFromStaticString(record->name)),
        InstanceTypeFromAPIInstanceType(&record->instanceType, record->instanceTypeType), nullptr);
    if (key == nullptr) {
      index->erase(protocol_name);
    } else {
      (*index)[protocol_name] = std::move(key);
    }
  }
  protocol_name_to_api_key_ = std::move(index);
  return protocol_name_to_api_key_;
}
