// The synthetic landmark models: model files with "COMD" metadata whose networks place face
// landmarks where the face-like patch (face_layout.h) is in their crop. Inputs are colours in
// [0, 1]; outputs are landmarks in input pixels, (x, y) or (x, y, z) per landmark, z in the
// units of x with smaller values nearer the camera.
//
// - The face mesh model (192 x 192): 468 landmarks in the canonical face model's order,
//   3 coordinates, and a face-flag logit. It measures the centre and the spread along each
//   axis of the bright content of its crop (brightness pooled over a 24 x 24 grid, moments by
//   fully connected layers) and lays the canonical face over it, so the landmarks follow the
//   patch across the crop and scale with it. The flag is positive when at least 8% of the crop
//   is bright.
// - The lips model (80 x 80): 80 landmarks, 2 coordinates, for the default refinement spec
//   (the lips index map of the base mesh).
// - The eyes-and-brows model (64 x 64): 3 coordinates for the base mesh's vertices around both
//   eyes and along both brows; its refinement spec maps every one of them onto the base
//   landmark it stands for and copies its depth, so it refines the 468-landmark mesh without
//   growing it (one face-model file serves faces with and without refinement).
//
// A refinement model is run on a crop around base landmarks, laid out by its metadata. The
// networks know where the canonical face's vertices fall in that crop and shift them by how
// far the bright content's centre lies from where the footprint's would be, so they keep the
// base mesh where the base model put it and pull it towards the face where it drifted.

#ifndef TOOLS_FACE_MODELS_LANDMARK_MODELS_H_
#define TOOLS_FACE_MODELS_LANDMARK_MODELS_H_

#include <cstdint>
#include <vector>

namespace tools {
namespace face_models {

inline constexpr int kFaceMeshInputSize = 192;
inline constexpr int kLipsInputSize = 80;
inline constexpr int kEyesInputSize = 64;

// With `realistic`, a convolution stack of benchmark size runs beside the network; its
// contribution is multiplied by zero, so the outputs are the same.
std::vector<uint8_t> MakeFaceMeshModel(bool realistic);
std::vector<uint8_t> MakeLipsModel();
std::vector<uint8_t> MakeEyesModel();

// The base-mesh vertices the eyes-and-brows model refines, in its landmark order: the
// image-left eye and brow, then the image-right ones.
const std::vector<int32_t>& EyeRegionVertices();

}  // namespace face_models
}  // namespace tools

#endif  // TOOLS_FACE_MODELS_LANDMARK_MODELS_H_
