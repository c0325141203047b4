// pellumo::GlCalculatorHelper: what a calculator that draws with OpenGL ES embeds.
//
// The helper asks for the graph's GPU service in the contract, binds to the node's GL context
// at Open, runs the calculator's GL work with that context current, maps GPU buffers to
// textures, hands out destination textures over pooled buffers and binds a framebuffer to
// them:
//
//   class MyGlCalculator : public kaldren::CalculatorBase {
//    public:
//     static absl::Status GetContract(kaldren::CalculatorContract* cc) {
//       cc->Inputs().Index(0).Set<pellumo::GpuBuffer>();
//       cc->Outputs().Index(0).Set<pellumo::GpuBuffer>();
//       return pellumo::GlCalculatorHelper::UpdateContract(cc);
//     }
//     absl::Status Open(kaldren::CalculatorContext* cc) override { return helper_.Open(cc); }
//     absl::Status Process(kaldren::CalculatorContext* cc) override {
//       return helper_.RunInGlContext([&]() -> absl::Status {
//         const auto& input = cc->Inputs().Index(0).Get<pellumo::GpuBuffer>();
//         pellumo::GlTexture src = helper_.CreateSourceTexture(input);
//         pellumo::GlTexture dst = helper_.CreateDestinationTexture(
//             src.width(), src.height(), pellumo::GpuBufferFormat::kFormatBGRA);
//         helper_.BindFramebuffer(dst);        // viewport set, texture unit 0 taken
//         ... draw, reading src from texture unit 1 ...
//         glFlush();
//         std::unique_ptr<pellumo::GpuBuffer> output = dst.GetFrame<pellumo::GpuBuffer>();
//         dst.Release();                       // the drawing reaches the output buffer
//         cc->Outputs().Index(0).AddPacket(
//             kaldren::Adopt(output.release()).At(cc->InputTimestamp()));
//         return absl::OkStatus();
//       });
//     }
//    private:
//     pellumo::GlCalculatorHelper helper_;
//   };
//
// Every operation but the static ones, Open, InitializeForTest and RunInGlContext needs a
// successful Open first, and the texture and framebuffer operations must run inside
// RunInGlContext. RunInGlContext before Open fails with INTERNAL "helper not initialized".
//
// Textures are made anew for each use and released at the end of the task that made them;
// the framebuffer is made on first use and kept until the helper is destroyed (in the GL
// context). The helper has no lock of its own: a node uses it from one invocation at a time.
// GL work of several nodes sharing a context is serialised by the context (gl_context.h).

#ifndef GPU_GL_CALCULATOR_HELPER_H_
#define GPU_GL_CALCULATOR_HELPER_H_

#include <GLES3/gl3.h>

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "base/logging.h"
#include "base/status.h"
#include "gpu/gl_context.h"
#include "gpu/gl_texture.h"
#include "gpu/gpu_buffer.h"
#include "gpu/gpu_buffer_format.h"
#include "gpu/gpu_resources.h"
#include "gpu/image_frame.h"
#include "graph/calculator_context.h"
#include "graph/calculator_contract.h"
#include "graph/gpu_resources.h"
#include "graph/packet_set.h"
#include "graph/packet_type.h"

namespace pellumo {

// The platform part of the helper: the node's GL context, its framebuffer and the graph's
// buffer pool. Made by GlCalculatorHelper; a GL calculator does not use it directly.
class GlCalculatorHelperImpl {
 public:
  // Binds to the GL context of `cc`'s node (the shared context for a null `cc`).
  GlCalculatorHelperImpl(kaldren::CalculatorContext* cc, GlGpuResources* gpu_resources);
  // Deletes the framebuffer in the GL context.
  ~GlCalculatorHelperImpl();
  GlCalculatorHelperImpl(const GlCalculatorHelperImpl&) = delete;
  GlCalculatorHelperImpl& operator=(const GlCalculatorHelperImpl&) = delete;

  absl::Status RunInGlContext(std::function<absl::Status()> gl_func);

  GlTexture CreateSourceTexture(const GpuBuffer& gpu_buffer, int plane);
  GlTexture CreateSourceTexture(const kaldren::ImageFrame& image_frame);
  GlTexture CreateDestinationTexture(int width, int height, GpuBufferFormat format);
  void BindFramebuffer(const GlTexture& dst);

  // Reads `texture` as RGBA bytes (width x height x 4, rows in texture order) into `output`,
  // through the bound framebuffer, which must exist (fatal otherwise, as is an `output` of
  // fewer than width x height x 4 bytes). The framebuffer's attachment and the viewport are
  // put back afterwards.
  void ReadTexture(const GlTexture& texture, void* output, size_t size);

  // Writes what GL drew into the live textures of the context's texture cache back into
  // their pixel buffers (after a glFlush, which on Mesa completes the drawing).
  void WriteBackTextures();

  GLuint framebuffer() const { return framebuffer_; }
  GlContext& GetGlContext() const { return *gl_context_; }

 private:
  GlTexture MapGpuBuffer(const GpuBuffer& gpu_buffer, int plane,
                         CFDictionaryRef texture_attributes);
  GlVersion GetGlVersion() const;
  void CreateFramebuffer();

  std::shared_ptr<GlContext> gl_context_;
  GLuint framebuffer_ = 0;
  GlGpuResources* const gpu_resources_;
};

class GlCalculatorHelper {
 public:
  GlCalculatorHelper() = default;
  ~GlCalculatorHelper() = default;
  GlCalculatorHelper(const GlCalculatorHelper&) = delete;
  GlCalculatorHelper& operator=(const GlCalculatorHelper&) = delete;

  // Requests kaldren::kGpuService and types a "GPU_SHARED" input side packet when the node
  // lists one. Always OK.
  static absl::Status UpdateContract(kaldren::CalculatorContract* cc);
  // For contract functions that see only the input side packets: UpdateContract of the
  // contract being filled on this thread (whose input side packets must be
  // `input_side_packets`, a fatal check). Without such a contract (WARNING) the collection
  // must have "GPU_SHARED", which is typed.
  static absl::Status SetupInputSidePackets(kaldren::PacketTypeSet* input_side_packets);

  // Binds the helper to the GL context of the node of `cc` (not null). A second Open replaces
  // the first binding.
  absl::Status Open(kaldren::CalculatorContext* cc);
  // For calculators that see only their input side packets: Open of the context of the call
  // running on this thread (whose side packets must be `input_side_packets`, a fatal check).
  // Without one (WARNING) the resources come from the "GPU_SHARED" side packet.
  absl::Status Open(const kaldren::PacketSet& input_side_packets);

  // Binds the helper to the shared GL context of `gpu_shared`'s or `gpu_resources`' resources,
  // without a node.
  void InitializeForTest(GpuSharedData* gpu_shared);
  void InitializeForTest(GpuResources* gpu_resources);

  // Runs `gl_func` on the calling thread with the node's GL context current and returns its
  // status. INTERNAL "helper not initialized" (and `gl_func` not run) before Open.
  absl::Status RunInGlContext(std::function<absl::Status()> gl_func);
  template <typename F>
    requires std::is_void_v<std::invoke_result_t<F&>>
  absl::Status RunInGlContext(F&& gl_func) {
    return RunInGlContext(std::function<absl::Status()>([&gl_func]() -> absl::Status {
      gl_func();
      return absl::OkStatus();
    }));
  }

  // The framebuffer's GL name; 0 until the first BindFramebuffer or CreateDestinationTexture.
  GLuint framebuffer() const { return Impl().framebuffer(); }

  // Binds the framebuffer (made on first use, with depth testing turned off) with `dst` as its
  // colour attachment, sets the viewport to `dst`'s size and leaves `dst` bound on texture
  // unit 0.
  void BindFramebuffer(const GlTexture& dst) { Impl().BindFramebuffer(dst); }

  // A view of plane `plane` of `gpu_buffer`, bound to its target on the active texture unit,
  // for GL to sample: what GL draws into it does not reach the buffer.
  // A buffer whose format has no row in the texture table (GpuBufferFormat::kFormatNone) is a
  // fatal check; a Core Video failure is reported through the assertion handler ("Error at
  // CVOpenGLESTextureCacheCreateTextureFromImage <code>") and gives a texture with name 0.
  GlTexture CreateSourceTexture(const GpuBuffer& gpu_buffer) {
    return Impl().CreateSourceTexture(gpu_buffer, 0);
  }
  GlTexture CreateSourceTexture(const GpuBuffer& gpu_buffer, int plane) {
    return Impl().CreateSourceTexture(gpu_buffer, plane);
  }
  // A new GL texture (owning its name) holding a copy of the frame's pixels, left bound to
  // GL_TEXTURE_2D on the active unit. RGBA8 frames keep their channel order.
  GlTexture CreateSourceTexture(const kaldren::ImageFrame& image_frame) {
    return Impl().CreateSourceTexture(image_frame);
  }
  // A texture over a new buffer of that size and format from the graph's pool. Its texels are
  // undefined until drawn: the caller draws every one of them (all of them reach the buffer
  // when the texture is released).
  GlTexture CreateDestinationTexture(int width, int height,
                                     GpuBufferFormat format = GpuBufferFormat::kFormatBGRA) {
    return Impl().CreateDestinationTexture(width, height, format);
  }

  // The pixel buffer's size; both pointers are required (fatal checks).
  void GetGpuBufferDimensions(const GpuBuffer& gpu_buffer, int* width, int* height);

  GlContext& GetGlContext() { return Impl().GetGlContext(); }

 private:
  // The impl, which only Open and InitializeForTest make (a fatal check before).
  GlCalculatorHelperImpl& Impl() const {
    CHECK(impl_ != nullptr) << "helper not initialized";
    return *impl_;
  }

  std::unique_ptr<GlCalculatorHelperImpl> impl_;
};

}  // namespace pellumo

#endif  // GPU_GL_CALCULATOR_HELPER_H_
