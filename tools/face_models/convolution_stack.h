// The bulk of the realistic-size model variants: a stack of convolutions with the shape and
// cost of a small mobile vision network (a strided stem, then depthwise-separable blocks with
// residual additions and PReLU), with fixed pseudo-random weights scaled so that activations
// stay of order one. What it computes means nothing; it is there so that a runtime spends on
// these models what it would spend on real ones.

#ifndef TOOLS_FACE_MODELS_CONVOLUTION_STACK_H_
#define TOOLS_FACE_MODELS_CONVOLUTION_STACK_H_

#include <cstdint>
#include <vector>

#include "tools/face_models/network.h"

namespace tools {
namespace face_models {

struct StackBlock {
  int out_channels = 0;
  // 2 halves the height and width (by a strided depthwise convolution, or a max pool when
  // `pool` is set).
  int stride = 1;
  bool pool = false;
};

// A stem convolution (kernel `stem_kernel`, stride 2, `stem_channels` outputs) followed by
// the blocks. Deterministic for a given seed.
Tensor ConvolutionStack(Network& net, const Tensor& in, int stem_kernel, int stem_channels,
                        const std::vector<StackBlock>& blocks, uint32_t seed);

// `t` reduced to one value in (0, 1) per pixel (a 1x1 convolution and a logistic), then
// multiplied by zero: adding the result to a tensor of the functional network leaves its
// values as they are while the runtime still computes the stack.
Tensor ZeroWeightedSummary(Network& net, const Tensor& t, uint32_t seed);

}  // namespace face_models
}  // namespace tools

#endif  // TOOLS_FACE_MODELS_CONVOLUTION_STACK_H_
