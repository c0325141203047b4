// "GlScalerCalculator": scales, rotates and flips a stream of GPU buffers on the GPU, and turns
// bi-planar 4:2:0 Y'CbCr ('420v', '420f') frames into RGB on the way. Every output is a 32-bit
// 'BGRA' buffer at the input's timestamp.
//
//   node {
//     calculator: "GlScalerCalculator"
//     input_stream: "VIDEO:camera_frames"
//     input_stream: "ROTATION:camera_rotation"          # optional, per frame
//     output_stream: "VIDEO:upright_frames"
//     output_stream: "TOP_BOTTOM_PADDING:top_bottom"    # optional, only as a pair
//     output_stream: "LEFT_RIGHT_PADDING:left_right"
//     input_side_packet: "OUTPUT_DIMENSIONS:size"       # optional std::array<int, 2>
//     options {
//       [pellumo.GlScalerCalculatorOptions.ext] {
//         output_width: 640 output_height: 480 rotation: 90 scale_mode: FIT
//       }
//     }
//   }
//
// Streams and side packets (a node whose entries carry no tags names them by position: the
// video input and output at index 0, OUTPUT_DIMENSIONS at side-packet index 1):
//   input  VIDEO               pellumo::GpuBuffer, required
//   input  ROTATION            int, counter-clockwise degrees; replaces the rotation from its
//                              timestamp on, also at a timestamp without a frame (an empty
//                              packet keeps it)
//   output VIDEO               pellumo::GpuBuffer, 'BGRA'
//   output TOP_BOTTOM_PADDING, LEFT_RIGHT_PADDING
//                              float, both or neither: in the fit mode the share of the
//                              output's height (width) left empty above and again below
//                              (left and again right of) the picture; 0 in the other modes
//   side   OPTIONS             pellumo::GlScalerCalculatorOptions, merged over the node's
//                              options (set fields win)
//   side   OUTPUT_DIMENSIONS   std::array<int, 2> {width, height}; wins over the options
//   side   ROTATION            int, counter-clockwise degrees; wins over the options
//
// Output size: the requested width and height when both are greater than 0, otherwise the
// input's size, with width and height exchanged for a rotation of 90 or 270.
//
// Outputs are new buffers from the graph's pool, with one exception: a 'BGRA' frame that would
// be drawn unchanged (no rotation, no flip, output at the input's size, whatever the scale
// mode) is passed on as it is, the same buffer in the same packet, without touching GL.
//
// Orientation. Frames are seen as a pixel buffer is shown: the first row in memory at the top.
// A rotation of 90 turns the picture a quarter turn counter-clockwise: for an input of width W
// and the output at the input's size (sides exchanged),
//   output(x, y) = input(W - 1 - y, x),
// so the input's top-right corner becomes the output's top-left and its top row the output's
// left column, read bottom to top. 180 and 270 go on in the same direction; rotations are
// reduced modulo 360 keeping the sign, so -90 (and any negative angle) means no rotation. The
// flips come after the rotation: flip_horizontal mirrors the output's columns, flip_vertical
// its rows.
//
// Scale modes (pellumo::ScaleMode): STRETCH (and DEFAULT, and values the options do not know)
// fills the output; FILL_AND_CROP covers it keeping the aspect ratio and cuts off the excess;
// FIT shows the whole picture keeping the aspect ratio, centred, and the rest of the output is
// opaque black.
//
// Y'CbCr input is converted with R = Y + 1.57481 (V - 0.5), G = Y - 0.18732 (U - 0.5) -
// 0.46813 (V - 0.5), B = Y + 1.8556 (U - 0.5), luma as stored for both ranges.
//
// Errors: a rotation that is not a multiple of 90 ("rotation must be a multiple of 90; <n> was
// provided", from the side packet or options in Open, from the stream in Process, which then
// keeps the previous rotation); an input pixel format GL cannot show (INVALID_ARGUMENT); an
// output larger than GL can draw into (INVALID_ARGUMENT). A timestamp at which the VIDEO packet
// is empty produces nothing and is not an error.
//
// The two shader programs are made on the first frame of each kind and reused; the node's GL
// objects are deleted, in its GL context, when the node is destroyed.

#ifndef GPU_GL_SCALER_CALCULATOR_H_
#define GPU_GL_SCALER_CALCULATOR_H_

#include <array>
#include <memory>

#include "base/status.h"
#include "gpu/gl_calculator_helper.h"
#include "gpu/gl_quad_renderer.h"
#include "gpu/gl_scaler_calculator.pb.h"
#include "graph/calculator_base.h"

namespace pellumo {

class GlScalerCalculator : public kaldren::CalculatorBase {
 public:
  // The payload of the "OUTPUT_DIMENSIONS" side packet: width, height.
  using DimensionsPacketType = std::array<int, 2>;

  GlScalerCalculator() = default;
  ~GlScalerCalculator() override;

  static absl::Status GetContract(kaldren::CalculatorContract* cc);
  absl::Status Open(kaldren::CalculatorContext* cc) override;
  absl::Status Process(kaldren::CalculatorContext* cc) override;

  // The output size for a source of `src_width` x `src_height` (see above).
  void GetOutputDimensions(int src_width, int src_height, int* dst_width, int* dst_height) const;
  // The padding outputs for a source and output of these sizes (see above).
  void GetOutputPadding(int src_width, int src_height, int dst_width, int dst_height,
                        float* top_bottom_padding, float* left_right_padding) const;

 private:
  absl::Status ProcessInGlContext(kaldren::CalculatorContext* cc);
  // True when drawing `input` would reproduce it exactly: a 'BGRA' frame, no rotation or flip,
  // output at the input's size.
  bool DrawsUnchanged(const GpuBuffer& input) const;
  // True when the output is the source turned by the rotation at the same size, so that the
  // drawing only moves texels (in any scale mode, as the aspect ratios agree).
  bool IsTexelExact(int src_width, int src_height, int dst_width, int dst_height) const;
  // Sends the padding packets at the input timestamp when the node has the padding outputs.
  void AddPaddingPackets(kaldren::CalculatorContext* cc, int src_width, int src_height,
                         int dst_width, int dst_height) const;

  GlCalculatorHelper helper_;
  int dst_width_ = 0;
  int dst_height_ = 0;
  FrameRotation rotation_ = FrameRotation::kNone;
  std::unique_ptr<QuadRenderer> rgb_renderer_;
  std::unique_ptr<QuadRenderer> yuv_renderer_;
  bool flip_vertical_ = false;
  bool flip_horizontal_ = false;
  FrameScaleMode scale_mode_ = FrameScaleMode::kStretch;
};

}  // namespace pellumo

#endif  // GPU_GL_SCALER_CALCULATOR_H_
