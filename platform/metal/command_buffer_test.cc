// Command buffers and compute encoders of the CPU Metal device.

#include "platform/metal/command_buffer.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/metal/metal.h"

namespace {

using platform::metal::ArgumentTable;
using platform::metal::ComputeGrid;
using platform::metal::float4;

std::vector<std::string>* g_log = nullptr;

// "logValues" appends "kernel <bytes 0> <first int of buffer 1> <grid>" to the log.
constexpr char kKernelSource[] = "kernel void logValues(constant int& a [[buffer(0)]], device int* b [[buffer(1)]]);";

[[maybe_unused]] const bool kRegistered = platform::metal::RegisterShaderLibrary(
    kKernelSource, {platform::metal::KernelShader("logValues", [](const ComputeGrid& grid, const ArgumentTable& args) {
      g_log->push_back("kernel " + std::to_string(*static_cast<const int*>(args.buffer(0))) + " " +
                       std::to_string(*static_cast<const int*>(args.buffer(1))) + " threads " +
                       std::to_string(grid.threads.width) + "x" + std::to_string(grid.threads.height) +
                       " groups " + std::to_string(grid.threadgroups.width) + "x" +
                       std::to_string(grid.threadgroups.height));
    })});

class CommandBufferTest : public testing::Test {
 protected:
  void SetUp() override { g_log = &log_; }
  void TearDown() override { g_log = nullptr; }

  std::shared_ptr<MTLComputePipelineState> KernelPipeline() {
    std::shared_ptr<NSError> error;
    auto library = device_->newLibraryWithSource(kKernelSource, nullptr, &error);
    return device_->newComputePipelineStateWithFunction(library->newFunctionWithName("logValues"), &error);
  }

  std::vector<std::string> log_;
  std::shared_ptr<MTLDevice> device_ = MTLCreateSystemDefaultDevice();
  std::shared_ptr<MTLCommandQueue> queue_ = device_->newCommandQueue();
};

TEST_F(CommandBufferTest, CommitRunsEncodersInOrderThenTheCompletedHandlers) {
  auto commands = queue_->commandBuffer();
  EXPECT_EQ(commands->status(), MTLCommandBufferStatusNotEnqueued);
  auto values = device_->newBufferWithLength(sizeof(int), 0);

  auto first = commands->computeCommandEncoder();
  first->dispatchTask([this] { log_.push_back("task a"); });
  first->setComputePipelineState(KernelPipeline());
  first->setBuffer(values, 0, 1);
  int inline_value = 1;
  first->setBytes(&inline_value, sizeof(int), 0);
  first->dispatchThreadgroups(MTLSizeMake(3, 2, 1), MTLSizeMake(4, 8, 1));
  inline_value = 2;  // inline bytes are copied when set: this dispatch sees 2, the first one 1
  first->setBytes(&inline_value, sizeof(int), 0);
  first->dispatchThreads(MTLSizeMake(10, 3, 1), MTLSizeMake(4, 2, 1));
  first->dispatchThreads(MTLSizeMake(0, 3, 1), MTLSizeMake(4, 2, 1));  // empty grid: nothing runs
  first->endEncoding();

  // A render pass between two compute passes; its one pixel logs when it is drawn.
  auto target = device_->newTextureWithDescriptor(
      MTLTextureDescriptor::texture2DDescriptorWithPixelFormat(MTLPixelFormatRGBA8Unorm, 1, 1, false));
  auto pass = MTLRenderPassDescriptor::renderPassDescriptor();
  pass->colorAttachments()[0].setTexture(target);
  pass->colorAttachments()[0].setLoadAction(MTLLoadActionClear);
  auto render = commands->renderCommandEncoderWithDescriptor(pass);
  ASSERT_NE(render, nullptr);
  render->setRenderPipelineState(std::make_shared<MTLRenderPipelineState>(
      "logging",
      [](uint32_t vid, const ArgumentTable&) {
        const float4 corners[3] = {{-1, 1, 0, 1}, {3, 1, 0, 1}, {-1, -3, 0, 1}};
        platform::metal::VertexOut out;
        out.position = corners[vid];
        return out;
      },
      [this](const platform::metal::FragmentIn&, const ArgumentTable&) {
        log_.push_back("fragment");
        return float4{0, 1, 0, 1};
      },
      MTLPixelFormatRGBA8Unorm));
  render->drawPrimitives(MTLPrimitiveTypeTriangle, 0, 3);
  render->endEncoding();

  auto second = commands->computeCommandEncoder();
  second->dispatchTask([this, commands] {
    log_.push_back("task b while " + std::to_string(commands->status()));
  });
  second->endEncoding();

  commands->addCompletedHandler([this](const std::shared_ptr<MTLCommandBuffer>& done) {
    log_.push_back("handler 1 status " + std::to_string(done->status()));
  });
  commands->addCompletedHandler([this](const std::shared_ptr<MTLCommandBuffer>&) { log_.push_back("handler 2"); });

  *static_cast<int*>(values->contents()) = 7;  // buffers are read when the work runs
  EXPECT_TRUE(log_.empty()) << "encoding runs nothing";
  commands->commit();
  commands->waitUntilCompleted();

  const std::vector<std::string> expected = {
      "task a",
      "kernel 1 7 threads 12x16 groups 3x2",
      "kernel 2 7 threads 10x3 groups 3x2",
      "fragment",
      "task b while " + std::to_string(MTLCommandBufferStatusScheduled),
      "handler 1 status " + std::to_string(MTLCommandBufferStatusCompleted),
      "handler 2",
  };
  EXPECT_EQ(log_, expected);
  EXPECT_EQ(commands->status(), MTLCommandBufferStatusCompleted);
  EXPECT_EQ(target->readTexel(0, 0), (float4{0, 1, 0, 1}));
}

TEST_F(CommandBufferTest, WaitUntilCompletedReturnsOnAnotherThreadAfterTheHandlers) {
  auto commands = queue_->commandBuffer();
  int result = 0;
  bool handled = false;
  auto compute = commands->computeCommandEncoder();
  compute->dispatchTask([&result] { result = 42; });
  compute->endEncoding();
  commands->addCompletedHandler([&handled](const std::shared_ptr<MTLCommandBuffer>&) { handled = true; });

  int seen_result = 0;
  bool seen_handled = false;
  std::thread waiter([&] {
    commands->waitUntilCompleted();
    seen_result = result;
    seen_handled = handled;
  });
  commands->commit();
  waiter.join();
  EXPECT_EQ(seen_result, 42);
  EXPECT_TRUE(seen_handled);
}

TEST_F(CommandBufferTest, CommandBuffersOfOneQueueCommittedFromManyThreadsRunOneAtATime) {
  int active = 0, most_active = 0, total = 0;  // plain ints: the queue must serialise the tasks
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        auto commands = queue_->commandBuffer();
        auto compute = commands->computeCommandEncoder();
        compute->dispatchTask([&] { most_active = std::max(most_active, ++active); });
        compute->dispatchTask([&] {
          ++total;
          --active;
        });
        compute->endEncoding();
        commands->commit();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(total, 100);
  EXPECT_EQ(most_active, 1);
}

TEST_F(CommandBufferTest, MisuseStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto commands = queue_->commandBuffer();
        commands->commit();
        commands->commit();
      },
      "commit called twice");
  EXPECT_DEATH(
      {
        auto commands = queue_->commandBuffer();
        auto open = commands->computeCommandEncoder();
        commands->commit();
      },
      "commit with a command encoder still open");
  EXPECT_DEATH(
      {
        auto commands = queue_->commandBuffer();
        auto open = commands->computeCommandEncoder();
        commands->computeCommandEncoder();
      },
      "a command encoder is still open");
  EXPECT_DEATH(
      {
        auto commands = queue_->commandBuffer();
        commands->commit();
        commands->addCompletedHandler([](const std::shared_ptr<MTLCommandBuffer>&) {});
      },
      "addCompletedHandler after commit");
  EXPECT_DEATH(
      {
        auto commands = queue_->commandBuffer();
        commands->computeCommandEncoder()->dispatchThreads(MTLSizeMake(1, 1, 1), MTLSizeMake(1, 1, 1));
      },
      "dispatch without a compute pipeline state");
}

}  // namespace
