#ifndef PLATFORM_METAL_PIPELINE_H_
#define PLATFORM_METAL_PIPELINE_H_

// Render and compute pipelines of the CPU Metal device: which functions run and, for
// rendering, the pixel format of the colour attachment they draw into. States are made by
// MTLDevice (device.h) and are immutable.

#include <array>
#include <memory>
#include <string>

#include "platform/metal/library.h"
#include "platform/metal/types.h"

class MTLRenderPipelineColorAttachmentDescriptor {
 public:
  MTLPixelFormat pixelFormat() const { return pixel_format_; }
  void setPixelFormat(MTLPixelFormat format) { pixel_format_ = format; }

 private:
  MTLPixelFormat pixel_format_ = MTLPixelFormatInvalid;
};

class MTLRenderPipelineColorAttachmentDescriptorArray {
 public:
  static constexpr size_t kCount = 8;
  MTLRenderPipelineColorAttachmentDescriptor& operator[](size_t index);
  const MTLRenderPipelineColorAttachmentDescriptor& operator[](size_t index) const;

 private:
  std::array<MTLRenderPipelineColorAttachmentDescriptor, kCount> attachments_;
};

class MTLRenderPipelineDescriptor {
 public:
  const std::string& label() const { return label_; }
  void setLabel(std::string label) { label_ = std::move(label); }
  std::shared_ptr<MTLFunction> vertexFunction() const { return vertex_function_; }
  void setVertexFunction(std::shared_ptr<MTLFunction> function) { vertex_function_ = std::move(function); }
  std::shared_ptr<MTLFunction> fragmentFunction() const { return fragment_function_; }
  void setFragmentFunction(std::shared_ptr<MTLFunction> function) { fragment_function_ = std::move(function); }
  // descriptor->colorAttachments()[0].setPixelFormat(MTLPixelFormatRGBA16Float);
  MTLRenderPipelineColorAttachmentDescriptorArray& colorAttachments() { return color_attachments_; }
  const MTLRenderPipelineColorAttachmentDescriptorArray& colorAttachments() const { return color_attachments_; }

 private:
  std::string label_;
  std::shared_ptr<MTLFunction> vertex_function_;
  std::shared_ptr<MTLFunction> fragment_function_;
  MTLRenderPipelineColorAttachmentDescriptorArray color_attachments_;
};

class MTLRenderPipelineState {
 public:
  MTLRenderPipelineState(std::string label, platform::metal::VertexFunctionImpl vertex,
                         platform::metal::FragmentFunctionImpl fragment, MTLPixelFormat color_format,
                         platform::metal::FragmentSpanImpl fragment_span = nullptr)
      : label_(std::move(label)),
        vertex_(std::move(vertex)),
        fragment_(std::move(fragment)),
        fragment_span_(std::move(fragment_span)),
        color_format_(color_format) {}

  const std::string& label() const { return label_; }
  const platform::metal::VertexFunctionImpl& vertexFunction() const { return vertex_; }
  const platform::metal::FragmentFunctionImpl& fragmentFunction() const { return fragment_; }
  // The span form of the fragment function; empty when it has none.
  const platform::metal::FragmentSpanImpl& fragmentSpanFunction() const { return fragment_span_; }
  // The pixel format of colour attachment 0; a draw into a texture of another format is a
  // failed CHECK, as the platform's validation stops there too.
  MTLPixelFormat colorPixelFormat() const { return color_format_; }

 private:
  const std::string label_;
  const platform::metal::VertexFunctionImpl vertex_;
  const platform::metal::FragmentFunctionImpl fragment_;
  const platform::metal::FragmentSpanImpl fragment_span_;
  const MTLPixelFormat color_format_;
};

class MTLComputePipelineState {
 public:
  explicit MTLComputePipelineState(platform::metal::KernelFunctionImpl kernel) : kernel_(std::move(kernel)) {}

  const platform::metal::KernelFunctionImpl& kernel() const { return kernel_; }
  // Fixed figures of a typical device, for code that sizes its threadgroups from them; the
  // CPU ignores threadgroup sizes.
  NSUInteger maxTotalThreadsPerThreadgroup() const { return 1024; }
  NSUInteger threadExecutionWidth() const { return 32; }

 private:
  const platform::metal::KernelFunctionImpl kernel_;
};

#endif  // PLATFORM_METAL_PIPELINE_H_
