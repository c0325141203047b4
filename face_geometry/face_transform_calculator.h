// The face graph's face-transform node: the landmarks of each face in, the face's transform in
// the chosen output space out.
//
// Registered as "QuorrelFaceTransformCalculator". Its options are the extension
// FaceTransformCalculatorOptions::ext (face_geometry/face_transform_calculator.proto):
//
//   node {
//     calculator: "QuorrelFaceTransformCalculator"
//     input_stream: "FRAME:upright_frames"               # pellumo::GpuBuffer, for its size
//     input_stream: "MULTIPLE_3D_FACES:faces"            # std::vector<pellumo::sorvanti::Face>
//     input_stream: "FACE_SPACE_PARAMETERS:parameters"   # optional SpaceParameters
//     output_stream: "MULTIPLE_FACE_TRANSFORMS:face_transform"
//     output_stream: "SPACE_TRANSFORM:space_transform"   # optional
//     options { [pellumo.quorrel.FaceTransformCalculatorOptions.ext] {
//       face_model_path: "canonical_face_model.bin"
//       init_mode: ASYNC
//     } }
//   }
//
// Inputs: exactly one of "FRAME" (pellumo::GpuBuffer) and "IMAGE_FRAME" (kaldren::ImageFrame),
// read only for the frame size; at most one face input, the first of "LANDMARKS" (one face, its
// landmarks already in screen pixels), "MULTIPLE_FACES" (face-detector faces: 12 points from the
// 6 keypoints), "MULTIPLE_2D_FACES" and "MULTIPLE_3D_FACES" (normalised landmarks, scaled by the
// frame size; z kept only for 3D); optionally "FACE_SPACE_PARAMETERS", whose screen size must
// equal the frame size. Outputs carry their input's timestamp: "FACE_TRANSFORM" (an optional
// Transform) with "LANDMARKS", "MULTIPLE_FACE_TRANSFORMS" (one optional Transform per face, in
// face order) with the multi-face inputs, and optionally "SPACE_TRANSFORM".
//
// The face model loads through the model loader (face_ml/async_loader.h): SYNC (the default)
// before Open returns, ASYNC in the background. Until it is loaded, and at timestamps missing
// the frame or the faces, a timestamp only moves the output bounds past itself. A face that
// cannot be fitted gives an empty entry (logged at ERROR for the multi-face inputs) and never
// costs the other faces theirs.
//
// The transform handler is built at the first ready timestamp and kept until its inputs change.
// A timestamp with a space-parameters packet rebuilds it unless the packet repeats, bit for
// bit, the parameters the current handler was built from (whether those came from an earlier
// packet or from the options) at an unchanged frame size: the host sends the parameters with
// every frame, and a handler depends on nothing else but the model, which loads once. A
// timestamp without one rebuilds it from the options only when the frame size changed. A
// failed build keeps the previous handler but records the new frame size, and the next
// space-parameters packet rebuilds whatever it holds.

#ifndef FACE_GEOMETRY_FACE_TRANSFORM_CALCULATOR_H_
#define FACE_GEOMETRY_FACE_TRANSFORM_CALCULATOR_H_

#include <Eigen/Core>
#include <cstdint>
#include <memory>
#include <vector>

#include "absl/types/optional.h"
#include "base/status.h"
#include "base/statusor.h"
#include "face_ml/async_loader.h"
#include "face_ml/face_utils.h"
#include "face_geometry/face_model_generated.h"
#include "face_geometry/face_transform_calculator.pb.h"
#include "face_geometry/face_transform_pipeline.h"
#include "face_geometry/space_parameters.h"
#include "graph/legacy_calculator.h"
#include "graph/packet_type.h"

namespace pellumo {
namespace quorrel {

class QuorrelFaceTransformCalculator : public pellumo::Calculator {
 public:
  static absl::Status FillExpectations(const CalculatorOptions& options,
                                       kaldren::PacketTypeSet* inputs,
                                       kaldren::PacketTypeSet* outputs,
                                       kaldren::PacketTypeSet* input_side_packets);

  absl::Status Open() override;
  absl::Status Process() override;

 private:
  absl::Status MaybeInitializeFaceTransformHandler(int32_t frame_width, int32_t frame_height);
  absl::Status InitializeFaceTransformHandler(
      const ::quorrel::face_transform::SpaceParameters& parameters, int32_t frame_width,
      int32_t frame_height);
  util::StatusOr<::quorrel::face_transform::SpaceParameters> SpaceParametersFromOptions(
      int32_t frame_width, int32_t frame_height) const;
  void ProcessSingleFace();
  void ProcessMultipleFaces();

  // The face input the node has, or null for none.
  const char* FaceGeometryInputTag() const;
  bool IsFramePacketEmpty() const;

  const FaceTransformCalculatorOptions& options() const {
    return Options().GetExtension(FaceTransformCalculatorOptions::ext);
  }

  // Declared first so that it goes last: the handler was built from its model.
  std::unique_ptr<sorvanti::AsyncLoadableObject<::quorrel::face_transform::FaceModelT>>
      face_model_;
  std::unique_ptr<::quorrel::face_transform::Handler> handler_;
  // The frame size of the last handler build attempt.
  int32_t frame_width_ = -1;
  int32_t frame_height_ = -1;
  // The space parameters the handler was built from; empty while there is none, or after a
  // failed build.
  absl::optional<::quorrel::face_transform::SpaceParameters> handler_parameters_;
};

// The screen-space points of one face of each face input (see the file comment).
//
// A face-detector face gives 12 points from its keypoints 2, 2, 0, 3, 0, 4, 4, 1, 3, 1, 5, 5 as
// (x * width, y * height, 0); fewer than 6 keypoints is an INVALID_ARGUMENT error.
util::StatusOr<std::vector<Eigen::Vector3f>> ExtractLandmarksFromZelkorFace(
    const sorvanti::Face& face, float width, float height);
// Every landmark as (x * width, y * height, 0).
std::vector<Eigen::Vector3f> ExtractLandmarksFrom2dFaces(const sorvanti::Face& face, float width,
                                                         float height);
// Every landmark as (x * width, y * height, z * width).
std::vector<Eigen::Vector3f> ExtractLandmarksFrom3dFaces(const sorvanti::Face& face, float width,
                                                         float height);

}  // namespace quorrel
}  // namespace pellumo

#endif  // FACE_GEOMETRY_FACE_TRANSFORM_CALCULATOR_H_
