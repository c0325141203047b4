// The synthetic face-detector model: a model file with "FDMD" metadata whose network finds
// face-like patches (face_layout.h) in a 128 x 128 input of colours in [-1, 1].
//
// Anchors lie on two pixel grids (strides 16 and 32, one anchor per cell: 64 + 16 rows of the
// outputs). For each anchor the network takes the brightness moments of a window around it
// (80 and 160 pixels wide), computes the bright content's centre and spread, and writes
//   boxes  [1, 80, 16]: the centre offset from the anchor, the width and height (the
//          footprint ellipse's box), and six key points (face_layout.h), in tensor pixels;
//   scores [1, 80, 1]:  a logit that is positive when the window holds enough bright content
//          centred on the anchor's own cell and not more than the window can measure.
// Faces from about 12 to 110 tensor pixels high are found (the smallest at full contrast); a
// dark input gives no score above zero. Each window sees one face: patches whose centres lie
// closer than about 60 tensor pixels may be merged, missed or joined by a detection between
// them.

#ifndef TOOLS_FACE_MODELS_FACE_DETECTOR_MODEL_H_
#define TOOLS_FACE_MODELS_FACE_DETECTOR_MODEL_H_

#include <cstdint>
#include <vector>

namespace tools {
namespace face_models {

inline constexpr int kFaceDetectorInputSize = 128;
inline constexpr int kFaceDetectorAnchors = 80;
inline constexpr int kFaceDetectorKeyPoints = 6;

// With `realistic`, a convolution stack of benchmark size runs beside the network; its
// contribution is multiplied by zero, so the outputs are the same.
std::vector<uint8_t> MakeFaceDetectorModel(bool realistic);

}  // namespace face_models
}  // namespace tools

#endif  // TOOLS_FACE_MODELS_FACE_DETECTOR_MODEL_H_
