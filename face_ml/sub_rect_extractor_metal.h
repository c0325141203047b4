// Renders a rotated rectangle of a frame texture, resampled to a model's input size and with
// its colours scaled and offset, straight into the model's input tensor buffer.
//
//   ASSIGN_OR_RETURN(std::unique_ptr<SubRectExtractorMetal> extractor,
//                    SubRectExtractorMetal::Make(device));
//   RETURN_IF_ERROR(extractor->Execute(&commands, frame, tflite::gpu::HW(192, 192), roi,
//                                      /*flip=*/false, /*alpha=*/2.0f, /*beta=*/-1.0f,
//                                      &input_buffer));
//   RETURN_IF_ERROR(runner->Run(&commands));
//   commands.CommitAndWait(MetalCommandBuffer::kWaitUntilCompleted);
//
// The output texel at normalised position (u, v) (top-left (0, 0)) takes the bilinear,
// edge-clamped sample of the input at pixel position
//   x = cx + s·w·(u − ½)·cos θ − h·(v − ½)·sin θ,   y = cy + s·w·(u − ½)·sin θ + h·(v − ½)·cos θ
// where (cx, cy, w, h, θ) is the rectangle in input pixels and s is −1 when flipping. The
// output's red, green and blue are alpha · rgb + beta; its fourth component is the alpha
// texture's alpha where one is given, else 0. A buffer output is seen as an RGBA half-float
// texture of the output size, rows of width × 8 bytes: the PHWC4 layout of a tensor of up to
// four channels.
//
// Execute only encodes a render pass; nothing is committed. An extractor has one transform
// buffer, so the next Execute may be encoded only after the previous command buffer completed.

#ifndef FACE_ML_SUB_RECT_EXTRACTOR_METAL_H_
#define FACE_ML_SUB_RECT_EXTRACTOR_METAL_H_

#include <memory>

#include "base/status.h"
#include "base/statusor.h"
#include "face_ml/metal_resources.h"
#include "face_ml/types.h"
#include "tflite/gpu/shape.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

class SubRectExtractorMetal {
 public:
  static util::StatusOr<std::unique_ptr<SubRectExtractorMetal>> Make(
      const std::shared_ptr<MTLDevice>& device);
  // The same crop with its fragment function called once per output pixel rather than once per
  // row: slower, and the reference the fast form is tested against bit for bit.
  static util::StatusOr<std::unique_ptr<SubRectExtractorMetal>> MakePerPixel(
      const std::shared_ptr<MTLDevice>& device);

  virtual ~SubRectExtractorMetal() = default;

  virtual absl::Status Execute(MetalCommandBuffer* command_buffer,
                               const flow::metal::MetalTexture& input,
                               const tflite::gpu::HW& output_size,
                               const utils::RotatedRect& rect, bool flip, float alpha, float beta,
                               flow::metal::MetalBuffer* output) = 0;
  // Renders into the texture's own size; `output_size` is not used.
  virtual absl::Status Execute(MetalCommandBuffer* command_buffer,
                               const flow::metal::MetalTexture& input,
                               const tflite::gpu::HW& output_size,
                               const utils::RotatedRect& rect, bool flip, float alpha, float beta,
                               flow::metal::MetalTexture* output) = 0;
  // The fourth output component is the alpha of `alpha_input`.
  virtual absl::Status Execute(MetalCommandBuffer* command_buffer,
                               const flow::metal::MetalTexture& input,
                               const flow::metal::MetalTexture& alpha_input,
                               const tflite::gpu::HW& output_size,
                               const utils::RotatedRect& rect, bool flip, float alpha, float beta,
                               flow::metal::MetalBuffer* output) = 0;
};

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_SUB_RECT_EXTRACTOR_METAL_H_
