#include "face_ml/asset_registry.h"

#include "base/status_macros.h"
#include "graph/calculator_context.h"
#include "graph/calculator_contract.h"
#include "graph/legacy_calculator_support.h"

namespace quorrel {
namespace effect {

absl::optional<std::string> AssetRegistry::GetPathForAsset(const std::string& name) const {
  auto it = paths_.find(name);
  if (it == paths_.end()) return absl::nullopt;
  return it->second;
}

absl::Status AssetRegistryServiceHelper::UpdateContract() {
  kaldren::CalculatorContract* contract =
      kaldren::LegacyCalculatorSupport::Scoped<kaldren::CalculatorContract>::current();
  RET_CHECK(contract != nullptr) << "The asset registry is requested outside a contract";
  contract->UseService(kEffectAssetRegistryService).Optional();
  return absl::OkStatus();
}

AssetRegistry* AssetRegistryServiceHelper::GetAssetRegistry() {
  return GetSharedAssetRegistry().get();
}

std::shared_ptr<AssetRegistry> AssetRegistryServiceHelper::GetSharedAssetRegistry() {
  kaldren::CalculatorContext* context =
      kaldren::LegacyCalculatorSupport::Scoped<kaldren::CalculatorContext>::current();
  if (context == nullptr || !context->HasService(kEffectAssetRegistryService)) return nullptr;
  return context->Service(kEffectAssetRegistryService);
}

}  // namespace effect
}  // namespace quorrel
