// The GPU resources of a graph: the shared OpenGL ES context and further contexts by key, the
// pixel-buffer pool, the Metal objects (PellumoGraphGPUData) and the executor "__gpu" that
// runs graph tasks inside the shared GL context.
//
// A graph whose nodes use the GPU (they request kaldren::kGpuService in their contract) gets
// these resources without being told: this library installs `GlGpuResources::Create` behind
// the graph's `pellumo::GpuResources::Create` from a static initialiser, so a program that
// links the GPU layer whole gets GL. A calculator reaches its resources through the service:
//
//   static absl::Status GetContract(kaldren::CalculatorContract* cc) {
//     cc->UseService(kaldren::kGpuService);
//     ...
//   }
//   absl::Status Open(kaldren::CalculatorContext* cc) override {
//     pellumo::GlGpuResources* gpu = pellumo::GlGpuResources::From(cc->Service(kaldren::kGpuService));
//     return gpu->gl_context(cc)->Run([] { ...; return absl::OkStatus(); });
//   }
//
// Which context a node gets (`PrepareGpuNode`): the context it names in its
// pellumo::GlContextOptions ("user:" + name, shared by the nodes naming it); for the three
// converter calculators, a context of their type ("auto:" + type); otherwise the shared
// context (key ""). Every context shares GL objects with the shared one. Where a GPU-using node
// runs is not decided here: on the executor its configuration names, else on the graph's
// default executor, like any node; its GL work enters its context through `gl_context`.
// "__gpu" runs a task at once on the thread that schedules it, so a node on it would make
// every send into the graph wait for that node.
//
// The maps are filled while a run is prepared and then mostly read; one mutex guards them, so
// a late request for a key or an unprepared node is safe too. References returned stay valid
// for the lifetime of the resources (entries are never removed).

#ifndef GPU_GPU_RESOURCES_H_
#define GPU_GPU_RESOURCES_H_

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/statusor.h"
#include "gpu/gl_context.h"
#include "gpu/gpu_buffer_multi_pool.h"
#include "gpu/pellumo_graph_gpu_data.h"
#include "graph/executor.h"
#include "graph/gpu_resources.h"

namespace kaldren {
class CalculatorContext;
class CalculatorNode;

// The name of the GL context executor.
inline constexpr char kGpuExecutorName[] = "__gpu";
}  // namespace kaldren

namespace pellumo {

// The key of the shared GL context: the empty string.
const std::string& SharedContextKey();

// Runs each task at once, on the scheduling thread, with the GL context current (the context
// has no thread of its own). The context is not owned and must outlive the executor's use.
class GlContextExecutor : public kaldren::Executor {
 public:
  explicit GlContextExecutor(GlContext* gl_context) : gl_context_(gl_context) {}
  void Schedule(std::function<void()> task) override;

 private:
  GlContext* const gl_context_;
};

class GlGpuResources : public GpuResources {
 public:
  using StatusOrGpuResources = util::StatusOr<std::shared_ptr<GlGpuResources>>;

  // Resources around a new GL context in its own share group.
  static StatusOrGpuResources Create();
  // Around a new GL context in the share group of `external_context` (a new group when null).
  // A failure to make the context is returned.
  static StatusOrGpuResources Create(const std::shared_ptr<EAGLContext>& external_context);
  // The same; a failure is fatal ("... : could not create GpuResources").
  static std::shared_ptr<GlGpuResources> CreateGpuResourcesOrDie(
      const std::shared_ptr<EAGLContext>& external_context = nullptr);

  // The resources behind a graph's `GpuResources` (which this library made); fatal for any
  // other kind.
  static GlGpuResources* From(GpuResources* resources);
  static GlGpuResources* From(const std::shared_ptr<GpuResources>& resources) {
    return From(resources.get());
  }

  // Use Create.
  explicit GlGpuResources(std::shared_ptr<GlContext> gl_context);
  ~GlGpuResources() override;
  GlGpuResources(const GlGpuResources&) = delete;
  GlGpuResources& operator=(const GlGpuResources&) = delete;

  // Chooses the node's context key (see above) and makes that context. Fatal when the node
  // does not use the GPU.
  void PrepareGpuNode(kaldren::CalculatorNode* node) override;
  const std::map<std::string, std::shared_ptr<kaldren::Executor>>& GetGpuExecutors()
      const override {
    return named_executors_;
  }

  // The context of `key`, made on first request (fatal when it cannot be made).
  const std::shared_ptr<GlContext>& gl_context(const std::string& key);
  // The context of the calculator's node; the shared context for null or a node that was
  // never prepared.
  const std::shared_ptr<GlContext>& gl_context(kaldren::CalculatorContext* cc);

  std::shared_ptr<PellumoGraphGPUData> ios_gpu_data() const { return ios_gpu_data_; }
  GpuBufferMultiPool& gpu_buffer_pool() { return gpu_buffer_pool_; }

  std::shared_ptr<GlContext> SharedGlContext() override { return gl_context(SharedContextKey()); }
  GpuBufferMultiPool* BufferPool() override { return &gpu_buffer_pool_; }

 private:
  const std::shared_ptr<GlContext>& GlContextLocked(const std::string& key);

  std::mutex mutex_;
  std::map<std::string, std::string> node_key_;
  std::map<std::string, std::shared_ptr<GlContext>> gl_key_context_;
  GpuBufferMultiPool gpu_buffer_pool_;
  std::shared_ptr<PellumoGraphGPUData> ios_gpu_data_;
  std::map<std::string, std::shared_ptr<kaldren::Executor>> named_executors_;
};

}  // namespace pellumo

#endif  // GPU_GPU_RESOURCES_H_
