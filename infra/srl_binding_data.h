// The static binding tables that generated code hands to SRLRegistry::internalRegisterBindings.
//
// A table is a sorted array of API records (_SRLAPIRegistrationData), each pointing to its
// implementation records. Records are ordered by name length first and then by the name's bytes
// compared as unsigned bytes; every identifier occurs once. Classes and protocols are named by
// static text (the names form) or produced by a function (the function form). Everything a
// table points to must live for the process: the registry keeps pointers into it and wraps its
// names as string views without copying them.
//
//   constexpr _SRLImplementationRegistrationData kClockImpls[] = {{
//       .instanceType = {.className = "SystemClock"},
//       .factoryBlockProvider = &MakeSystemClockFactory,
//       .lifetime = SRLLifetimeScoped, .scope = SRLScopeApp}};
//   constexpr _SRLAPIRegistrationData kApis[] = {{
//       .name = "clock", .implementations = kClockImpls,
//       .instanceType = {.names = {.protocolName = "Clock"}},
//       .nameLength = 5, .implementationCount = 1}};
//   registry->internalRegisterBindings({.apisBegin = std::begin(kApis),
//                                       .apisEnd = std::end(kApis)});
#ifndef INFRA_SRL_BINDING_DATA_H_
#define INFRA_SRL_BINDING_DATA_H_

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "infra/srl_entities.h"

// Configuration providers: instance type to the creation block of its configuration object.
using SRLConfigProviders =
    std::unordered_map<std::shared_ptr<SRLInstanceType>, SRLCreationBlock,
                       SRLValueHash<SRLInstanceType>, SRLValueEqual<SRLInstanceType>>;

enum SRLInstanceTypeType : uint8_t {
  SRLInstanceTypeTypeNames = 0,
  SRLInstanceTypeTypeFunction = 1,
};

using SRLInstanceTypeFunction = std::shared_ptr<SRLInstanceType> (*)();
using SRLFactoryBlockProvider = SRLFactoryBlock (*)(const std::shared_ptr<SRLInstanceType>&);

union SRLAPIInstanceType {
  struct Names {
    const char* protocolName;  // null: none
    const char* className;     // null: none
  } names;
  SRLInstanceTypeFunction function;
};

union SRLImplementationInstanceType {
  const char* className;
  SRLInstanceTypeFunction function;
};

struct _SRLImplementationRegistrationData {
  SRLImplementationInstanceType instanceType;
  SRLImplementationInstanceType configurationInstanceType;  // read only with hasConfiguration
  SRLFactoryBlockProvider factoryBlockProvider;
  unsigned instanceTypeType : 1;
  unsigned configurationInstanceTypeType : 1;
  unsigned lifetime : 1;
  unsigned scope : 1;
  unsigned hasConfiguration : 1;
  unsigned isConfigurationRequired : 1;
};

struct _SRLAPIRegistrationData {
  const char* name;
  const _SRLImplementationRegistrationData* implementations;
  SRLAPIInstanceType instanceType;
  uint16_t nameLength;
  uint8_t implementationCount;
  unsigned instanceTypeType : 1;
  unsigned bindingType : 1;
  unsigned scope : 1;
};

struct SRLBindingsRegistrationData {
  const _SRLAPIRegistrationData* apisBegin = nullptr;  // null: no table
  const _SRLAPIRegistrationData* apisEnd = nullptr;
  std::shared_ptr<const SRLConfigProviders> configProviders;  // null: none
  bool isComponentBinding = false;
  bool isTestOnlyBindingsModule = false;  // kept with the table, never consulted
};

#endif  // INFRA_SRL_BINDING_DATA_H_
