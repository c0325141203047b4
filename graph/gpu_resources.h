// What a graph needs of the GPU resources that its GPU-using nodes share.
//
// The graph does not know how GPU resources are made: the GPU layer derives its resources
// from `pellumo::GpuResources` and installs a creator with `GpuResources::SetCreator`. A
// graph whose nodes use the GPU and that was given no GPU service makes its resources with
// `GpuResources::Create()` when a run is prepared, gives them to every GPU-using node and runs
// those nodes on the resources' executors (the GL context executor "__gpu").
//
// A node uses the GPU when its contract requests `kaldren::kGpuService` or when it takes the
// "GPU_SHARED" input side packet; the legacy side packet "gpu_shared" carries a
// `pellumo::GpuSharedData*` that refers to the resources.

#ifndef QUILLMERE_GRAPH_GPU_RESOURCES_H_
#define QUILLMERE_GRAPH_GPU_RESOURCES_H_

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "base/status.h"
#include "base/statusor.h"
#include "graph/graph_service.h"

namespace kaldren {
class CalculatorNode;
class Executor;
}  // namespace kaldren

namespace pellumo {

class GpuResources {
 public:
  using Creator = std::function<util::StatusOr<std::shared_ptr<GpuResources>>()>;

  virtual ~GpuResources() = default;

  // New resources with a GL context of their own share group, made by the installed creator.
  // UNAVAILABLE when no GPU layer has installed one.
  static util::StatusOr<std::shared_ptr<GpuResources>> Create() {
    Creator creator;
    {
      std::lock_guard<std::mutex> lock(CreatorMutex());
      creator = CreatorSlot();
    }
    if (!creator) {
      return absl::UnavailableError("No GPU resources are available in this build.");
    }
    return creator();
  }

  // Installs the function behind `Create` and returns the one installed before (empty when
  // none), so that a test can put it back.
  static Creator SetCreator(Creator creator) {
    std::lock_guard<std::mutex> lock(CreatorMutex());
    std::swap(CreatorSlot(), creator);
    return creator;
  }

  // Gives a GPU-using node what it needs to reach the shared GL context. Called once per run
  // for each such node, before the node is prepared.
  virtual void PrepareGpuNode(kaldren::CalculatorNode* node) = 0;

  // The executors on which GPU-using nodes run, by name ("__gpu" for the GL context).
  virtual const std::map<std::string, std::shared_ptr<kaldren::Executor>>& GetGpuExecutors()
      const = 0;

 private:
  static std::mutex& CreatorMutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
  }
  static Creator& CreatorSlot() {
    static Creator* const creator = new Creator;
    return *creator;
  }
};

// The legacy side packet's payload: the resources of the graph that made it.
class GpuSharedData {
 public:
  explicit GpuSharedData(std::shared_ptr<GpuResources> gpu_resources)
      : physical_gpu_resources(std::move(gpu_resources)) {}
  virtual ~GpuSharedData() = default;

  std::shared_ptr<GpuResources> physical_gpu_resources;
};

}  // namespace pellumo

namespace kaldren {

// The GPU service; its packet holds a std::shared_ptr<pellumo::GpuResources>.
inline const GraphService<pellumo::GpuResources> kGpuService("kGpuService");

// The legacy side packet that carries a pellumo::GpuSharedData*.
inline constexpr char kGpuSharedSidePacketName[] = "gpu_shared";

// The input side packet tag with which a node asks for the legacy GPU shared data.
inline constexpr char kGpuSharedTagName[] = "GPU_SHARED";

}  // namespace kaldren

#endif  // QUILLMERE_GRAPH_GPU_RESOURCES_H_
