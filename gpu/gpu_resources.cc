#include "gpu/gpu_resources.h"

#include <utility>

#include "base/logging.h"
#include "base/status_macros.h"
#include "gpu/gl_context_options.pb.h"
#include "graph/calculator_context.h"
#include "graph/calculator_node.h"
#include "graph/calculator_state.h"

namespace pellumo {
namespace {

// Converter calculators that keep a GL context of their own, one per type.
constexpr const char* kOwnContextCalculators[] = {
    "ImageFrameToGpuBufferCalculator",
    "GpuBufferToImageFrameCalculator",
    "GlSurfaceSinkCalculator",
};

std::string ContextKeyForNode(const std::string& calculator_type,
                              const GlContextOptions& options) {
  if (options.has_context_name() && !options.context_name().empty()) {
    return "user:" + options.context_name();
  }
  for (const char* type : kOwnContextCalculators) {
    if (calculator_type == type) return "auto:" + calculator_type;
  }
  return SharedContextKey();
}

// Every graph of a program that links this library makes these resources for its GPU nodes.
const bool kGpuResourcesInstalled = [] {
  GpuResources::SetCreator([](const std::shared_ptr<EAGLContext>& external_context)
                               -> util::StatusOr<std::shared_ptr<GpuResources>> {
    ASSIGN_OR_RETURN(std::shared_ptr<GlGpuResources> resources,
                     GlGpuResources::Create(external_context));
    return std::shared_ptr<GpuResources>(std::move(resources));
  });
  return true;
}();

}  // namespace

const std::string& SharedContextKey() {
  static const std::string* const kSharedContextKey = new std::string();
  return *kSharedContextKey;
}

void GlContextExecutor::Schedule(std::function<void()> task) {
  gl_context_->RunWithoutWaiting(std::move(task));
}

GlGpuResources::StatusOrGpuResources GlGpuResources::Create() { return Create(nullptr); }

GlGpuResources::StatusOrGpuResources GlGpuResources::Create(
    const std::shared_ptr<EAGLContext>& external_context) {
  ASSIGN_OR_RETURN(std::shared_ptr<GlContext> context,
                   GlContext::Create(external_context, /*create_thread=*/false));
  return std::make_shared<GlGpuResources>(std::move(context));
}

std::shared_ptr<GlGpuResources> GlGpuResources::CreateGpuResourcesOrDie(
    const std::shared_ptr<EAGLContext>& external_context) {
  StatusOrGpuResources status_or_resources = Create(external_context);
  CHECK_EQ(::util::OkStatus(), (status_or_resources.status())) << ": could not create GpuResources";
  return *std::move(status_or_resources);
}

GlGpuResources* GlGpuResources::From(GpuResources* resources) {
  auto* gl_resources = dynamic_cast<GlGpuResources*>(resources);
  CHECK(gl_resources != nullptr) << "the graph's GPU resources were not made by the GPU layer";
  return gl_resources;
}

GlGpuResources::GlGpuResources(std::shared_ptr<GlContext> gl_context) {
  GlContext* shared = gl_context.get();
  gl_key_context_[SharedContextKey()] = std::move(gl_context);
  named_executors_[kaldren::kGpuExecutorName] = std::make_shared<GlContextExecutor>(shared);
  gpu_buffer_pool_.RegisterTextureCache(shared->texture_cache());
  ios_gpu_data_ = PellumoGraphGPUData::initWithContext(shared, &gpu_buffer_pool_);
}

GlGpuResources::~GlGpuResources() {
  for (const auto& [key, context] : gl_key_context_) {
    gpu_buffer_pool_.UnregisterTextureCache(context->texture_cache());
  }
}

void GlGpuResources::PrepareGpuNode(kaldren::CalculatorNode* node) {
  CHECK(node->UsesGpu());
  kaldren::CalculatorState& state = node->GetCalculatorState();
  const std::string key =
      ContextKeyForNode(state.CalculatorType(), state.Options<GlContextOptions>());
  std::lock_guard<std::mutex> lock(mutex_);
  node_key_[state.NodeName()] = key;
  GlContextLocked(key)->SetProfilingContext(state.GetSharedProfilingContext());
}

const std::shared_ptr<GlContext>& GlGpuResources::gl_context(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  return GlContextLocked(key);
}

const std::shared_ptr<GlContext>& GlGpuResources::gl_context(kaldren::CalculatorContext* cc) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cc == nullptr) return GlContextLocked(SharedContextKey());
  return GlContextLocked(node_key_[cc->NodeName()]);
}

const std::shared_ptr<GlContext>& GlGpuResources::GlContextLocked(const std::string& key) {
  auto it = gl_key_context_.find(key);
  if (it != gl_key_context_.end()) return it->second;
  const std::shared_ptr<GlContext>& shared = gl_key_context_.at(SharedContextKey());
  util::StatusOr<std::shared_ptr<GlContext>> context =
      GlContext::Create(*shared, /*create_thread=*/false);
  CHECK(context.ok()) << "could not create the GL context \"" << key << "\": " << context.status();
  std::shared_ptr<GlContext>& inserted = gl_key_context_[key];
  inserted = *std::move(context);
  gpu_buffer_pool_.RegisterTextureCache(inserted->texture_cache());
  return inserted;
}

}  // namespace pellumo
