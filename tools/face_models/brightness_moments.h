// The centre and spread of bright content, from its brightness moments. Every synthetic
// face model measures faces this way: fill = mean brightness over a window, mean = mean of
// brightness times offset, square = mean of brightness times squared offset (offsets per
// axis, two channels), all taken by linear layers. Then
//   centre = mean / fill   and   spread = sqrt(square / fill - centre^2)
// per axis, the division and the root by Newton iterations (network.h).
//
// Offsets must be scaled so that |offset| <= 1 inside the window; the iterations' starting
// points are chosen for that range. A dark window (fill near 0) gives a centre near 0 and
// the smallest spread; the models' scores use the fill to reject it.

#ifndef TOOLS_FACE_MODELS_BRIGHTNESS_MOMENTS_H_
#define TOOLS_FACE_MODELS_BRIGHTNESS_MOMENTS_H_

#include "tools/face_models/network.h"

namespace tools {
namespace face_models {

struct CentreAndSpread {
  Tensor centre;  // (x, y) in the offsets' unit
  Tensor spread;  // standard deviation per axis
};

// `fill` has one channel, `mean` and `square` two; all [1, h, w, c] or all [1, c].
CentreAndSpread MeasureBrightContent(Network& net, const Tensor& fill, const Tensor& mean,
                                     const Tensor& square);

// Brightness of an NHWC colour input whose values span [range_min, range_max]: the mean of
// the channels on a scale of 0 to 1, with everything below kDarkLevel counted as dark and
// the rest stretched to [0, 1]. Dim backgrounds do not count as content.
inline constexpr float kDarkLevel = 0.25f;
Tensor Brightness(Network& net, const Tensor& input, float range_min, float range_max);

// The centre alone.
Tensor MeasureCentre(Network& net, const Tensor& fill, const Tensor& mean);

// [1, 1] or [1, h, w, 1] to the same value in two channels.
Tensor TwoChannels(Network& net, const Tensor& t);

}  // namespace face_models
}  // namespace tools

#endif  // TOOLS_FACE_MODELS_BRIGHTNESS_MOMENTS_H_
