// The effect asset registry: a graph service that maps the asset names of a graph
// configuration to file paths. A graph that supplies it makes model lookup go through it; the
// face SDK supplies none.
//
//   graph.SetServicePacket(quorrel::effect::kEffectAssetRegistryService,
//                          kaldren::MakePacket<std::shared_ptr<quorrel::effect::AssetRegistry>>(
//                              std::make_shared<quorrel::effect::AssetRegistry>(paths)));

#ifndef FACE_ML_ASSET_REGISTRY_H_
#define FACE_ML_ASSET_REGISTRY_H_

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "absl/types/optional.h"
#include "base/status.h"
#include "graph/graph_service.h"

namespace quorrel {
namespace effect {

class AssetRegistry {
 public:
  explicit AssetRegistry(std::map<std::string, std::string> paths) : paths_(std::move(paths)) {}

  // The path mapped to `name` (exact match), or nothing.
  absl::optional<std::string> GetPathForAsset(const std::string& name) const;

 private:
  std::map<std::string, std::string> paths_;
};

inline const kaldren::GraphService<AssetRegistry> kEffectAssetRegistryService(
    "quorrel::effect::AssetRegistryService");

class AssetRegistryServiceHelper {
 public:
  // Asks, in the contract being filled on this thread, for the asset registry as an optional
  // service. INTERNAL when no contract is being filled.
  static absl::Status UpdateContract();

  // The registry the graph supplied to the calculator call running on this thread; null
  // outside a calculator call or when the graph supplied none. The graph keeps ownership.
  static AssetRegistry* GetAssetRegistry();
  // The same registry with shared ownership, for work that may outlive the calculator call.
  static std::shared_ptr<AssetRegistry> GetSharedAssetRegistry();
};

}  // namespace effect
}  // namespace quorrel

#endif  // FACE_ML_ASSET_REGISTRY_H_
