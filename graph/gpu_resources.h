// What a graph needs of the GPU resources that its GPU-using nodes share.
//
// The graph does not know how GPU resources are made: the GPU layer derives its resources
// from `pellumo::GpuResources` and installs a creator with `GpuResources::SetCreator`. A
// graph whose nodes use the GPU and that was given no GPU service makes its resources with
// `GpuResources::Create()` when a run is prepared, gives them to every GPU-using node and
// registers the resources' executors (the GL context executor "__gpu") with the graph. The
// nodes themselves run on the executor their configuration names, as every node does.
//
// A node uses the GPU when its contract requests `kaldren::kGpuService` or when it takes the
// "GPU_SHARED" input side packet; the legacy side packet "gpu_shared" carries a
// `pellumo::GpuSharedData*` that refers to the resources, their shared GL context and their
// pixel-buffer pool. Those two are only named here (declared, never defined), so this layer
// links no GL.

#ifndef QUILLMERE_GRAPH_GPU_RESOURCES_H_
#define QUILLMERE_GRAPH_GPU_RESOURCES_H_

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "base/logging.h"
#include "base/status.h"
#include "base/statusor.h"
#include "graph/graph_service.h"

class EAGLContext;

namespace kaldren {
class CalculatorNode;
class Executor;
}  // namespace kaldren

namespace pellumo {

class GlContext;
class GpuBufferMultiPool;

class GpuResources {
 public:
  // Makes resources whose shared GL context is in the share group of the given context (a new
  // share group when it is null).
  using Creator = std::function<util::StatusOr<std::shared_ptr<GpuResources>>(
      const std::shared_ptr<EAGLContext>& external_context)>;

  virtual ~GpuResources() = default;

  // New resources with a GL context of their own share group, made by the installed creator.
  // UNAVAILABLE when no GPU layer has installed one.
  static util::StatusOr<std::shared_ptr<GpuResources>> Create() { return Create(nullptr); }
  // The same in the share group of `external_context` (a new one when null).
  static util::StatusOr<std::shared_ptr<GpuResources>> Create(
      const std::shared_ptr<EAGLContext>& external_context) {
    Creator creator;
    {
      std::lock_guard<std::mutex> lock(CreatorMutex());
      creator = CreatorSlot();
    }
    if (!creator) {
      return absl::UnavailableError("No GPU resources are available in this build.");
    }
    return creator(external_context);
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

  // The executors the resources add to the graph, by name ("__gpu" for the GL context).
  virtual const std::map<std::string, std::shared_ptr<kaldren::Executor>>& GetGpuExecutors()
      const = 0;

  // The shared GL context and the pixel-buffer pool; null for resources that have none.
  virtual std::shared_ptr<GlContext> SharedGlContext() { return nullptr; }
  virtual GpuBufferMultiPool* BufferPool() { return nullptr; }

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

// The legacy side packet's payload: the resources of the graph that made it, a further
// reference to their shared GL context, and their pixel-buffer pool (not owned; valid while
// the resources live).
class GpuSharedData {
 public:
  // Around new resources (see the next constructor).
  GpuSharedData() : GpuSharedData(std::shared_ptr<EAGLContext>()) {}
  // Around new resources in the share group of `external_context`; fatal when they cannot be
  // made.
  explicit GpuSharedData(const std::shared_ptr<EAGLContext>& external_context)
      : GpuSharedData(CreateGpuResourcesOrDie(external_context)) {}
  explicit GpuSharedData(std::shared_ptr<GpuResources> gpu_resources)
      : physical_gpu_resources(std::move(gpu_resources)),
        gl_context(physical_gpu_resources ? physical_gpu_resources->SharedGlContext() : nullptr),
        gpu_buffer_pool(physical_gpu_resources ? physical_gpu_resources->BufferPool() : nullptr) {}
  virtual ~GpuSharedData() = default;

  // `GpuResources::Create(external_context)`; a failure ends the process.
  static std::shared_ptr<GpuResources> CreateGpuResourcesOrDie(
      const std::shared_ptr<EAGLContext>& external_context) {
    util::StatusOr<std::shared_ptr<GpuResources>> status_or_resources =
        GpuResources::Create(external_context);
    CHECK_EQ(::util::OkStatus(), (status_or_resources.status()))
        << ": could not create GpuResources";
    return *std::move(status_or_resources);
  }

  std::shared_ptr<GpuResources> physical_gpu_resources;
  std::shared_ptr<GlContext> gl_context;
  GpuBufferMultiPool* gpu_buffer_pool;
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
