// The synthetic canonical face model: a 468-vertex face surface of our own, in centimetres,
// facing +z with y up, written as a face-model file at build time.
//
// Vertex i is landmark i. The layout of the landmark list:
//   0                 nose tip, at (0, -0.46317, 7.58658)
//   1, 2              left (+x) and right (-x) forehead points, at (+-3.70885, 6.96401, 3.98086)
//   3 .. 18           outer lip contour, counter-clockwise from the left mouth corner
//   19 .. 34          inner lip contour, same angles as the outer one (the mouth is closed)
//   35 .. 35+K-1      face outline, counter-clockwise from the left side (+x)
//   35+K .. 467       interior points, row by row from the chin upward
// The three anchor points are where the face SDK composes its fixed nose and forehead
// offsets; the nose and forehead regions put their translation there.
#ifndef TOOLS_CANONICAL_FACE_MODEL_H_
#define TOOLS_CANONICAL_FACE_MODEL_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "face_geometry/face_model_generated.h"

namespace tools {

inline constexpr int kCanonicalVertexCount = 468;
inline constexpr int kNoseTipVertex = 0;
inline constexpr int kLeftForeheadVertex = 1;
inline constexpr int kRightForeheadVertex = 2;
inline constexpr int kLipContourSize = 16;
inline constexpr int kOuterLipContourBegin = 3;
inline constexpr int kInnerLipContourBegin = kOuterLipContourBegin + kLipContourSize;
inline constexpr int kOutlineBegin = kInnerLipContourBegin + kLipContourSize;

// The face's footprint in the (x, y) plane: an ellipse with these half axes around
// (0, kFaceCenterY); the outline vertices lie on it. The mouth is centred at (0, kMouthCenterY).
inline constexpr double kFaceCenterY = 0.8;
inline constexpr double kFaceHalfWidth = 7.6;
inline constexpr double kFaceHalfHeight = 9.6;
inline constexpr double kMouthCenterY = -4.4;

// Region keys of the canonical model.
inline constexpr int kCenterRegion = 0;
inline constexpr int kNoseRegion = 1;
inline constexpr int kLeftForeheadRegion = 2;
inline constexpr int kRightForeheadRegion = 3;

// Builds the canonical face model. Deterministic: every call returns the same model.
std::unique_ptr<quorrel::face_transform::FaceModelT> MakeCanonicalFaceModel();

// Encodes a face model as a face-model file (root table at the offset in bytes 0..3, no
// file identifier).
std::vector<uint8_t> SerializeFaceModel(const quorrel::face_transform::FaceModelT& model);

}  // namespace tools

#endif  // TOOLS_CANONICAL_FACE_MODEL_H_
