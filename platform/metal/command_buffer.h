#ifndef PLATFORM_METAL_COMMAND_BUFFER_H_
#define PLATFORM_METAL_COMMAND_BUFFER_H_

// Command queues, command buffers, render passes and encoders of the CPU Metal device.
//
//   auto queue = device->newCommandQueue();
//   auto commands = queue->commandBuffer();
//   auto render = commands->renderCommandEncoderWithDescriptor(pass);   // a render pass
//   render->setRenderPipelineState(pipeline);
//   render->setVertexBuffer(positions, 0, 0);
//   render->setFragmentTexture(input, 0);
//   render->drawPrimitives(MTLPrimitiveTypeTriangle, 0, 6);
//   render->endEncoding();
//   auto compute = commands->computeCommandEncoder();                   // then a compute pass
//   compute->dispatchTask([&] { RunLayer(); });
//   compute->endEncoding();
//   commands->addCompletedHandler([](const auto& done) { ... });
//   commands->commit();               // runs the render pass, then the compute pass
//   commands->waitUntilCompleted();   // returns at once here
//
// Execution: encoding records work; commit() runs all of it, in encoding order, on the
// committing thread before it returns, then marks the buffer completed and calls the completed
// handlers (in the order they were added, on that thread). Command buffers of one queue run
// one at a time, in the order their commits take the queue. Nothing is asynchronous, so every
// run is deterministic; waitUntilCompleted still blocks a thread other than the committing one
// until the work and the handlers are done, and blocks forever on a buffer nobody commits, as
// on the platform. Encoded work runs while its queue is held: it must not commit to its own
// queue (completed handlers may).
//
// What the platform's validation layer stops is a failed CHECK here: a second encoder while one
// is open, encoding into or adding a handler to a committed buffer, committing twice or with an
// open encoder, drawing or dispatching without a pipeline state, drawing into a texture whose
// format differs from the pipeline's.
//
// Render passes draw into colour attachment 0 (the other attachments are only cleared when
// their load action says so). Load action Clear fills the attachment with its clear colour when
// the pass begins; Load and DontCare keep what is there. Rendering writes straight into the
// texture's memory, so the store action changes nothing. There is no blending and no depth
// test: each covered pixel gets the fragment function's colour.

#include <array>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "platform/metal/library.h"
#include "platform/metal/pipeline.h"
#include "platform/metal/types.h"

class MTLBuffer;
class MTLDevice;
class MTLTexture;
class MTLSamplerState;
class MTLCommandBuffer;

class MTLRenderPassColorAttachmentDescriptor {
 public:
  std::shared_ptr<MTLTexture> texture() const { return texture_; }
  void setTexture(std::shared_ptr<MTLTexture> texture) { texture_ = std::move(texture); }
  MTLLoadAction loadAction() const { return load_action_; }
  void setLoadAction(MTLLoadAction action) { load_action_ = action; }
  MTLStoreAction storeAction() const { return store_action_; }
  void setStoreAction(MTLStoreAction action) { store_action_ = action; }
  MTLClearColor clearColor() const { return clear_color_; }
  void setClearColor(MTLClearColor color) { clear_color_ = color; }

 private:
  std::shared_ptr<MTLTexture> texture_;
  MTLLoadAction load_action_ = MTLLoadActionDontCare;
  MTLStoreAction store_action_ = MTLStoreActionStore;
  MTLClearColor clear_color_;
};

class MTLRenderPassColorAttachmentDescriptorArray {
 public:
  static constexpr size_t kCount = 8;
  MTLRenderPassColorAttachmentDescriptor& operator[](size_t index);
  const MTLRenderPassColorAttachmentDescriptor& operator[](size_t index) const;

 private:
  std::array<MTLRenderPassColorAttachmentDescriptor, kCount> attachments_;
};

class MTLRenderPassDescriptor {
 public:
  static std::shared_ptr<MTLRenderPassDescriptor> renderPassDescriptor() {
    return std::make_shared<MTLRenderPassDescriptor>();
  }
  // pass->colorAttachments()[0].setTexture(target);
  MTLRenderPassColorAttachmentDescriptorArray& colorAttachments() { return color_attachments_; }
  const MTLRenderPassColorAttachmentDescriptorArray& colorAttachments() const { return color_attachments_; }

 private:
  MTLRenderPassColorAttachmentDescriptorArray color_attachments_;
};

// State shared by the encoders of one command buffer.
class MTLCommandEncoder {
 public:
  virtual ~MTLCommandEncoder() = default;
  MTLCommandEncoder(const MTLCommandEncoder&) = delete;
  MTLCommandEncoder& operator=(const MTLCommandEncoder&) = delete;

  const std::string& label() const { return label_; }
  void setLabel(std::string label) { label_ = std::move(label); }
  // Ends the encoder; the command buffer may then open another or be committed.
  void endEncoding();

 protected:
  explicit MTLCommandEncoder(std::shared_ptr<MTLCommandBuffer> command_buffer);
  // Appends work that runs when the command buffer is committed.
  void Append(std::function<void()> work);

 private:
  std::shared_ptr<MTLCommandBuffer> command_buffer_;
  std::string label_;
  bool ended_ = false;
};

class MTLRenderCommandEncoder final : public MTLCommandEncoder {
 public:
  // Made by MTLCommandBuffer::renderCommandEncoderWithDescriptor.
  MTLRenderCommandEncoder(std::shared_ptr<MTLCommandBuffer> command_buffer,
                          const MTLRenderPassDescriptor& pass);

  void setRenderPipelineState(std::shared_ptr<MTLRenderPipelineState> state) { pipeline_ = std::move(state); }
  void setVertexBuffer(std::shared_ptr<MTLBuffer> buffer, NSUInteger offset, NSUInteger index) {
    vertex_arguments_.setBuffer(std::move(buffer), offset, index);
  }
  void setVertexBytes(const void* bytes, NSUInteger length, NSUInteger index) {
    vertex_arguments_.setBytes(bytes, length, index);
  }
  void setVertexTexture(std::shared_ptr<MTLTexture> texture, NSUInteger index) {
    vertex_arguments_.setTexture(std::move(texture), index);
  }
  void setFragmentBuffer(std::shared_ptr<MTLBuffer> buffer, NSUInteger offset, NSUInteger index) {
    fragment_arguments_.setBuffer(std::move(buffer), offset, index);
  }
  void setFragmentBytes(const void* bytes, NSUInteger length, NSUInteger index) {
    fragment_arguments_.setBytes(bytes, length, index);
  }
  void setFragmentTexture(std::shared_ptr<MTLTexture> texture, NSUInteger index) {
    fragment_arguments_.setTexture(std::move(texture), index);
  }
  void setFragmentSamplerState(std::shared_ptr<MTLSamplerState> sampler, NSUInteger index) {
    fragment_arguments_.setSamplerState(std::move(sampler), index);
  }
  // Draws vertexCount / 3 triangles from vertex ids vertexStart on (leftover vertices are
  // ignored) with the current pipeline state and arguments.
  void drawPrimitives(MTLPrimitiveType primitiveType, NSUInteger vertexStart, NSUInteger vertexCount);

 private:
  std::shared_ptr<MTLTexture> target_;
  std::shared_ptr<MTLRenderPipelineState> pipeline_;
  platform::metal::ArgumentTable vertex_arguments_;
  platform::metal::ArgumentTable fragment_arguments_;
};

class MTLComputeCommandEncoder final : public MTLCommandEncoder {
 public:
  // Made by MTLCommandBuffer::computeCommandEncoder.
  explicit MTLComputeCommandEncoder(std::shared_ptr<MTLCommandBuffer> command_buffer)
      : MTLCommandEncoder(std::move(command_buffer)) {}

  void setComputePipelineState(std::shared_ptr<MTLComputePipelineState> state) { pipeline_ = std::move(state); }
  void setBuffer(std::shared_ptr<MTLBuffer> buffer, NSUInteger offset, NSUInteger index) {
    arguments_.setBuffer(std::move(buffer), offset, index);
  }
  void setBytes(const void* bytes, NSUInteger length, NSUInteger index) { arguments_.setBytes(bytes, length, index); }
  void setTexture(std::shared_ptr<MTLTexture> texture, NSUInteger index) {
    arguments_.setTexture(std::move(texture), index);
  }
  void setSamplerState(std::shared_ptr<MTLSamplerState> sampler, NSUInteger index) {
    arguments_.setSamplerState(std::move(sampler), index);
  }
  // Calls the pipeline's kernel once with the whole grid and the current arguments (see
  // ComputeGrid in library.h). A grid with a zero dimension runs nothing.
  void dispatchThreadgroups(MTLSize threadgroupsPerGrid, MTLSize threadsPerThreadgroup);
  void dispatchThreads(MTLSize threadsPerGrid, MTLSize threadsPerThreadgroup);

  // Appends CPU work that runs, in order with the dispatches, when the buffer is committed:
  // the way compiled models encode their layers on this device. No pipeline state is needed.
  void dispatchTask(std::function<void()> task);

 private:
  void DispatchGrid(const platform::metal::ComputeGrid& grid);

  std::shared_ptr<MTLComputePipelineState> pipeline_;
  platform::metal::ArgumentTable arguments_;
};

namespace platform::metal::internal {
// Serialises the command buffers of one queue.
struct QueueState {
  std::mutex execution_mutex;
};
}  // namespace platform::metal::internal

class MTLCommandBuffer : public std::enable_shared_from_this<MTLCommandBuffer> {
 public:
  using Handler = std::function<void(const std::shared_ptr<MTLCommandBuffer>& buffer)>;

  // Made by MTLCommandQueue::commandBuffer.
  explicit MTLCommandBuffer(std::shared_ptr<platform::metal::internal::QueueState> queue)
      : queue_(std::move(queue)) {}
  MTLCommandBuffer(const MTLCommandBuffer&) = delete;
  MTLCommandBuffer& operator=(const MTLCommandBuffer&) = delete;

  const std::string& label() const { return label_; }
  void setLabel(std::string label) { label_ = std::move(label); }

  // Null when the pass has no texture in colour attachment 0.
  std::shared_ptr<MTLRenderCommandEncoder> renderCommandEncoderWithDescriptor(
      const std::shared_ptr<MTLRenderPassDescriptor>& descriptor);
  std::shared_ptr<MTLComputeCommandEncoder> computeCommandEncoder();

  void addCompletedHandler(Handler handler);
  void commit();
  void waitUntilScheduled();
  void waitUntilCompleted();
  MTLCommandBufferStatus status() const;
  // Always null: work on this device does not fail.
  std::shared_ptr<NSError> error() const { return nullptr; }

 private:
  friend class MTLCommandEncoder;
  void OpenEncoder();
  void CloseEncoder();
  void Append(std::function<void()> work);

  const std::shared_ptr<platform::metal::internal::QueueState> queue_;
  std::string label_;
  mutable base::Mutex mutex_;
  base::CondVar changed_;
  MTLCommandBufferStatus status_ ABSL_GUARDED_BY(mutex_) = MTLCommandBufferStatusNotEnqueued;
  bool handlers_done_ ABSL_GUARDED_BY(mutex_) = false;
  bool encoder_open_ ABSL_GUARDED_BY(mutex_) = false;
  std::vector<std::function<void()>> work_ ABSL_GUARDED_BY(mutex_);
  std::vector<Handler> handlers_ ABSL_GUARDED_BY(mutex_);
};

class MTLCommandQueue {
 public:
  explicit MTLCommandQueue(std::shared_ptr<MTLDevice> device)
      : device_(std::move(device)), state_(std::make_shared<platform::metal::internal::QueueState>()) {}

  std::shared_ptr<MTLDevice> device() const { return device_; }
  const std::string& label() const { return label_; }
  void setLabel(std::string label) { label_ = std::move(label); }
  std::shared_ptr<MTLCommandBuffer> commandBuffer() const {
    return std::make_shared<MTLCommandBuffer>(state_);
  }

 private:
  const std::shared_ptr<MTLDevice> device_;
  const std::shared_ptr<platform::metal::internal::QueueState> state_;
  std::string label_;
};

#endif  // PLATFORM_METAL_COMMAND_BUFFER_H_
