#include "gpu/gpu_resources.h"

#include <memory>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/eagl/gl_test_util.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/metal/device.h"

namespace pellumo {
namespace {

std::shared_ptr<GlGpuResources> NewResources() {
  auto resources = GlGpuResources::Create();
  CHECK(resources.ok()) << resources.status();
  return *std::move(resources);
}

TEST(GpuResourcesTest, GraphCreatorMakesResourcesWithOneExecutorThatRunsInTheSharedContext) {
  // The graph's seam reaches these resources through the installed creator.
  util::StatusOr<std::shared_ptr<GpuResources>> created = GpuResources::Create();
  ASSERT_TRUE(created.ok()) << created.status();
  GlGpuResources* resources = GlGpuResources::From(*created);
  ASSERT_NE(resources, nullptr);

  const auto& executors = resources->GetGpuExecutors();
  ASSERT_EQ(executors.size(), 1u);
  EXPECT_EQ(executors.begin()->first, "__gpu");
  const std::shared_ptr<GlContext>& shared = resources->gl_context(SharedContextKey());
  EXPECT_EQ(resources->gl_context(nullptr), shared);

  // Scheduling is synchronous: the task has run, here, with the shared context current, and
  // the thread's binding is restored afterwards.
  bool ran = false;
  std::shared_ptr<GlContext> current_in_task;
  std::thread::id task_thread;
  executors.begin()->second->Schedule([&] {
    ran = true;
    current_in_task = GlContext::GetCurrent();
    task_thread = std::this_thread::get_id();
  });
  EXPECT_TRUE(ran);
  EXPECT_EQ(current_in_task, shared);
  EXPECT_EQ(task_thread, std::this_thread::get_id());
  EXPECT_EQ(GlContext::GetCurrent(), nullptr);
}

TEST(GpuResourcesTest, SharedDataReachesTheSharedContextAndThePool) {
  std::shared_ptr<GlGpuResources> resources = NewResources();
  const GpuSharedData given(resources);
  EXPECT_EQ(given.physical_gpu_resources, resources);
  EXPECT_EQ(given.gl_context, resources->gl_context(SharedContextKey()));
  EXPECT_EQ(given.gl_context, resources->gl_context(nullptr));
  EXPECT_EQ(given.gpu_buffer_pool, &resources->gpu_buffer_pool());

  // Made without resources, it makes its own, in a share group of its own or of a context.
  const GpuSharedData made;
  GlGpuResources* own = GlGpuResources::From(made.physical_gpu_resources);
  EXPECT_NE(own, resources.get());
  EXPECT_EQ(made.gl_context, own->gl_context(SharedContextKey()));
  EXPECT_EQ(made.gpu_buffer_pool, &own->gpu_buffer_pool());
  EXPECT_NE(made.gl_context->platform_context()->sharegroup(),
            given.gl_context->platform_context()->sharegroup());
  const GpuSharedData sharing(given.gl_context->platform_context());
  EXPECT_EQ(sharing.gl_context->platform_context()->sharegroup(),
            given.gl_context->platform_context()->sharegroup());
}

TEST(GpuResourcesTest, KeyedContextsAreMadeOnceAndShareObjectsWithTheSharedContext) {
  std::shared_ptr<GlGpuResources> resources = NewResources();
  const std::shared_ptr<GlContext>& shared = resources->gl_context(SharedContextKey());
  const std::shared_ptr<GlContext>& user = resources->gl_context("user:face");
  EXPECT_NE(user, shared);
  EXPECT_EQ(resources->gl_context("user:face"), user);

  GLuint texture = 0;
  ASSERT_TRUE(shared
                  ->Run([&] {
                    texture = platform::eagl::testing::NewClearedTexture({0, 1, 0, 1});
                    glFinish();
                    return absl::OkStatus();
                  })
                  .ok());
  std::array<uint8_t, 4> texel{};
  ASSERT_TRUE(user->Run([&] {
                    texel = platform::eagl::testing::ReadTexel(texture);
                    return absl::OkStatus();
                  })
                  .ok());
  EXPECT_EQ(texel, (std::array<uint8_t, 4>{0, 255, 0, 255}));
}

TEST(GpuResourcesTest, GpuDataMakesMetalObjectsOnceAndOnlyWhenThereIsADevice) {
  std::shared_ptr<GlGpuResources> resources = NewResources();
  std::shared_ptr<PellumoGraphGPUData> data = resources->ios_gpu_data();
  const std::shared_ptr<GlContext>& shared = resources->gl_context(SharedContextKey());
  EXPECT_EQ(data->glContext(), shared->platform_context());
  EXPECT_EQ(data->textureCache(), shared->texture_cache());
  EXPECT_EQ(data->gpuBufferPool(), &resources->gpu_buffer_pool());

  {
    platform::metal::ScopedSystemDefaultDeviceAvailable no_device(false);
    auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
    platform::foundation::ScopedAssertionHandler scoped(handler);
    EXPECT_EQ(data->mtlDevice(), nullptr);
    EXPECT_EQ(data->mtlCommandQueue(), nullptr);
    EXPECT_EQ(data->mtlTextureCache(), nullptr);
    ASSERT_EQ(handler->failures().size(), 1u);
    EXPECT_EQ(handler->failures()[0].name, "PellumoGraphGPUData::mtlTextureCache");
    EXPECT_EQ(handler->failures()[0].description,
              "Error at CVMetalTextureCacheCreate " + std::to_string(kCVReturnInvalidArgument));
  }

  // The queue first: it makes the device it belongs to.
  std::shared_ptr<MTLCommandQueue> queue = data->mtlCommandQueue();
  ASSERT_NE(queue, nullptr);
  std::shared_ptr<MTLDevice> device = data->mtlDevice();
  EXPECT_EQ(queue->device(), device);
  EXPECT_EQ(data->mtlCommandQueue(), queue);
  CVMetalTextureCacheRef cache = data->mtlTextureCache();
  EXPECT_NE(cache, nullptr);
  EXPECT_EQ(data->mtlTextureCache(), cache);
  // Made once, kept when the system loses its device.
  platform::metal::ScopedSystemDefaultDeviceAvailable no_device(false);
  EXPECT_EQ(data->mtlDevice(), device);
}

}  // namespace
}  // namespace pellumo
