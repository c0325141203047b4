#include "platform/metal/command_buffer.h"

#include <cstring>
#include <utility>
#include <vector>

#include "base/logging.h"
#include "platform/metal/buffer.h"
#include "platform/metal/rasterizer.h"
#include "platform/metal/texture.h"

using platform::metal::ArgumentTable;
using platform::metal::ComputeGrid;
using platform::metal::FragmentIn;
using platform::metal::VertexOut;

MTLRenderPassColorAttachmentDescriptor& MTLRenderPassColorAttachmentDescriptorArray::operator[](size_t index) {
  CHECK(index < kCount) << "colour attachment " << index << " beyond " << kCount - 1;
  return attachments_[index];
}

const MTLRenderPassColorAttachmentDescriptor& MTLRenderPassColorAttachmentDescriptorArray::operator[](
    size_t index) const {
  CHECK(index < kCount) << "colour attachment " << index << " beyond " << kCount - 1;
  return attachments_[index];
}

// ---- Encoders ----

MTLCommandEncoder::MTLCommandEncoder(std::shared_ptr<MTLCommandBuffer> command_buffer)
    : command_buffer_(std::move(command_buffer)) {}

void MTLCommandEncoder::endEncoding() {
  CHECK(!ended_) << "endEncoding called twice";
  ended_ = true;
  command_buffer_->CloseEncoder();
}

void MTLCommandEncoder::Append(std::function<void()> work) {
  CHECK(!ended_) << "encoding after endEncoding";
  command_buffer_->Append(std::move(work));
}

MTLRenderCommandEncoder::MTLRenderCommandEncoder(std::shared_ptr<MTLCommandBuffer> command_buffer,
                                                 const MTLRenderPassDescriptor& pass)
    : MTLCommandEncoder(std::move(command_buffer)), target_(pass.colorAttachments()[0].texture()) {
  for (size_t i = 0; i < MTLRenderPassColorAttachmentDescriptorArray::kCount; ++i) {
    const MTLRenderPassColorAttachmentDescriptor& attachment = pass.colorAttachments()[i];
    if (attachment.texture() == nullptr || attachment.loadAction() != MTLLoadActionClear) continue;
    const MTLClearColor c = attachment.clearColor();
    Append([texture = attachment.texture(),
            color = platform::metal::float4{static_cast<float>(c.red), static_cast<float>(c.green),
                                            static_cast<float>(c.blue), static_cast<float>(c.alpha)}] {
      // The colour is encoded once into a row of texels, which is copied to every row.
      const int bytes_per_pixel = texture->formatInfo().bytes_per_pixel;
      std::vector<uint8_t> row(texture->width() * bytes_per_pixel);
      platform::metal::EncodeTexel(texture->formatInfo(), color, row.data());
      for (size_t offset = bytes_per_pixel; offset < row.size(); offset += bytes_per_pixel) {
        std::memcpy(row.data() + offset, row.data(), bytes_per_pixel);
      }
      for (NSUInteger y = 0; y < texture->height(); ++y) {
        std::memcpy(texture->texelAddress(0, y), row.data(), row.size());
      }
    });
  }
}

void MTLRenderCommandEncoder::drawPrimitives(MTLPrimitiveType primitiveType, NSUInteger vertexStart,
                                             NSUInteger vertexCount) {
  CHECK(primitiveType == MTLPrimitiveTypeTriangle) << "only triangle lists are drawn, not type " << primitiveType;
  CHECK(pipeline_ != nullptr) << "drawPrimitives without a render pipeline state";
  CHECK(pipeline_->colorPixelFormat() == target_->pixelFormat())
      << "pipeline colour format " << pipeline_->colorPixelFormat() << " differs from the attachment's "
      << target_->pixelFormat();
  Append([pipeline = pipeline_, target = target_, vertex_arguments = vertex_arguments_,
          fragment_arguments = fragment_arguments_, vertexStart, vertexCount] {
    std::vector<VertexOut> vertices(vertexCount);
    for (NSUInteger i = 0; i < vertexCount; ++i) {
      vertices[i] = pipeline->vertexFunction()(static_cast<uint32_t>(vertexStart + i), vertex_arguments);
    }
    // The rasteriser only hands out pixels inside the target, so colours are stored straight to
    // their texels, without writeTexel's bounds check.
    const platform::metal::FragmentFunctionImpl& fragment = pipeline->fragmentFunction();
    const auto encode = target->formatInfo().encode;
    uint8_t* const texels = target->texelAddress(0, 0);
    const NSUInteger bytes_per_row = target->bytesPerRow();
    const int bytes_per_pixel = target->formatInfo().bytes_per_pixel;
    const auto shade = [&](int x, int y, const FragmentIn& in) {
      encode(fragment(in, fragment_arguments), texels + y * bytes_per_row + x * bytes_per_pixel);
    };
    // A fragment function with a span form shades a row's run of pixels per call.
    const platform::metal::FragmentSpanImpl& fragment_span = pipeline->fragmentSpanFunction();
    const auto shade_span = [&](platform::metal::FragmentSpan& span) {
      span.texels = texels + span.y * bytes_per_row + span.x * bytes_per_pixel;
      span.format = &target->formatInfo();
      fragment_span(span, fragment_arguments);
    };
    const int width = static_cast<int>(target->width()), height = static_cast<int>(target->height());
    for (NSUInteger i = 0; i + 3 <= vertexCount; i += 3) {
      if (fragment_span) {
        platform::metal::internal::RasterizeTriangleSpans(vertices[i], vertices[i + 1], vertices[i + 2], width,
                                                          height, shade_span);
      } else {
        platform::metal::internal::RasterizeTriangle(vertices[i], vertices[i + 1], vertices[i + 2], width, height,
                                                     shade);
      }
    }
  });
}

void MTLComputeCommandEncoder::dispatchThreadgroups(MTLSize threadgroupsPerGrid, MTLSize threadsPerThreadgroup) {
  DispatchGrid(ComputeGrid{threadgroupsPerGrid, threadsPerThreadgroup,
                           MTLSize{threadgroupsPerGrid.width * threadsPerThreadgroup.width,
                                   threadgroupsPerGrid.height * threadsPerThreadgroup.height,
                                   threadgroupsPerGrid.depth * threadsPerThreadgroup.depth}});
}

void MTLComputeCommandEncoder::dispatchThreads(MTLSize threadsPerGrid, MTLSize threadsPerThreadgroup) {
  const auto groups = [](NSUInteger threads, NSUInteger per_group) {
    return per_group == 0 ? 0 : (threads + per_group - 1) / per_group;
  };
  DispatchGrid(ComputeGrid{MTLSize{groups(threadsPerGrid.width, threadsPerThreadgroup.width),
                                   groups(threadsPerGrid.height, threadsPerThreadgroup.height),
                                   groups(threadsPerGrid.depth, threadsPerThreadgroup.depth)},
                           threadsPerThreadgroup, threadsPerGrid});
}

void MTLComputeCommandEncoder::DispatchGrid(const ComputeGrid& grid) {
  CHECK(pipeline_ != nullptr) << "dispatch without a compute pipeline state";
  if (grid.threads.width == 0 || grid.threads.height == 0 || grid.threads.depth == 0) return;
  Append([pipeline = pipeline_, arguments = arguments_, grid] { pipeline->kernel()(grid, arguments); });
}

void MTLComputeCommandEncoder::dispatchTask(std::function<void()> task) { Append(std::move(task)); }

// ---- Command buffer ----

std::shared_ptr<MTLRenderCommandEncoder> MTLCommandBuffer::renderCommandEncoderWithDescriptor(
    const std::shared_ptr<MTLRenderPassDescriptor>& descriptor) {
  if (descriptor == nullptr || descriptor->colorAttachments()[0].texture() == nullptr) return nullptr;
  OpenEncoder();
  return std::make_shared<MTLRenderCommandEncoder>(shared_from_this(), *descriptor);
}

std::shared_ptr<MTLComputeCommandEncoder> MTLCommandBuffer::computeCommandEncoder() {
  OpenEncoder();
  return std::make_shared<MTLComputeCommandEncoder>(shared_from_this());
}

void MTLCommandBuffer::OpenEncoder() {
  base::MutexLock lock(&mutex_);
  CHECK(status_ == MTLCommandBufferStatusNotEnqueued) << "encoding into a committed command buffer";
  CHECK(!encoder_open_) << "a command encoder is still open in this command buffer (call endEncoding)";
  encoder_open_ = true;
}

void MTLCommandBuffer::CloseEncoder() {
  base::MutexLock lock(&mutex_);
  encoder_open_ = false;
}

void MTLCommandBuffer::Append(std::function<void()> work) {
  base::MutexLock lock(&mutex_);
  CHECK(status_ == MTLCommandBufferStatusNotEnqueued) << "encoding into a committed command buffer";
  work_.push_back(std::move(work));
}

void MTLCommandBuffer::addCompletedHandler(Handler handler) {
  base::MutexLock lock(&mutex_);
  CHECK(status_ == MTLCommandBufferStatusNotEnqueued) << "addCompletedHandler after commit";
  handlers_.push_back(std::move(handler));
}

void MTLCommandBuffer::commit() {
  std::vector<std::function<void()>> work;
  {
    base::MutexLock lock(&mutex_);
    CHECK(status_ == MTLCommandBufferStatusNotEnqueued) << "commit called twice";
    CHECK(!encoder_open_) << "commit with a command encoder still open (call endEncoding)";
    status_ = MTLCommandBufferStatusCommitted;
    work.swap(work_);
  }
  {
    std::lock_guard<std::mutex> queue_lock(queue_->execution_mutex);
    {
      base::MutexLock lock(&mutex_);
      status_ = MTLCommandBufferStatusScheduled;
    }
    changed_.SignalAll();
    for (std::function<void()>& step : work) step();
  }
  // Release what the work held (textures, buffers, arguments) before anyone is told it is done.
  work.clear();
  std::vector<Handler> handlers;
  {
    base::MutexLock lock(&mutex_);
    status_ = MTLCommandBufferStatusCompleted;
    handlers.swap(handlers_);
  }
  const std::shared_ptr<MTLCommandBuffer> self = shared_from_this();
  for (Handler& handler : handlers) handler(self);
  {
    base::MutexLock lock(&mutex_);
    handlers_done_ = true;
  }
  changed_.SignalAll();
}

void MTLCommandBuffer::waitUntilScheduled() {
  base::MutexLock lock(&mutex_);
  while (status_ < MTLCommandBufferStatusScheduled) changed_.Wait(&mutex_);
}

void MTLCommandBuffer::waitUntilCompleted() {
  base::MutexLock lock(&mutex_);
  while (!handlers_done_) changed_.Wait(&mutex_);
}

MTLCommandBufferStatus MTLCommandBuffer::status() const {
  base::MutexLock lock(&mutex_);
  return status_;
}
