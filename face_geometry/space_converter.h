// Turns one face's screen-space vertex list into face-space vertices in the chosen space.
//
// A screen-space vertex has x and y in pixels of the camera frame and a z on the landmark
// model's relative depth scale, in pixels like x. A face-space vertex is a point in front of
// the camera (which looks along -z), in the units of the chosen space. The conversion puts x
// and y on the focal plane of the camera frustum, rescales the depth so that the face has
// the proportions, or the metric size, of the canonical face model, and unprojects x and y
// to that depth. Because x and y lie on the focal plane, the face-space vertices project
// back onto the screen-space ones through the camera's projection matrix.
#ifndef FACE_GEOMETRY_SPACE_CONVERTER_H_
#define FACE_GEOMETRY_SPACE_CONVERTER_H_

#include <Eigen/Core>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/status.h"
#include "base/statusor.h"
#include "face_geometry/face_model_generated.h"
#include "face_geometry/procrustes_solver.h"
#include "face_geometry/space_parameters.h"

namespace quorrel {
namespace face_transform {

class SpaceConverter {
 public:
  // The converter copies what it needs of the face model; the model may be released
  // afterwards. Fails, and logs the error, when the face model's depth rescaling for the
  // chosen space is unknown or unusable.
  static util::StatusOr<std::unique_ptr<SpaceConverter>> Create(
      const CameraParameters& camera_parameters, const SpaceParameters& space_parameters,
      const FaceModelT& face_model);

  // One screen-space vertex per face-model vertex, in face-model order, in; the face-space
  // vertices in the same order out. Const: conversions may run concurrently.
  util::StatusOr<std::vector<Eigen::Vector3f>> ConvertScreenSpaceToFaceSpace(
      const std::vector<Eigen::Vector3f>& screen_space_vertices) const;

  // Works on a vertex list in place.
  using VertexListFn = std::function<absl::Status(std::vector<Eigen::Vector3f>&)>;

 private:
  struct SelectedSpaceParameters {
    int32_t screen_width = 0;
    int32_t screen_height = 0;
    ScreenOriginLocation screen_origin_location = kBottomLeftCorner;
  };

  SpaceConverter(const CameraParameters& camera_parameters,
                 const SelectedSpaceParameters& selected_space_parameters,
                 VertexListFn correct_screen_space_origin_fn, VertexListFn rescale_depth_fn,
                 std::unique_ptr<ProcrustesSolverCollection> procrustes_solvers);

  // Maps pixel x and y (and z on the x scale) onto the frustum's focal plane.
  void ProjectXYOnFocalPlane(std::vector<Eigen::Vector3f>& vertices) const;

  const CameraParameters camera_parameters_;
  const SelectedSpaceParameters selected_space_parameters_;
  const VertexListFn correct_screen_space_origin_fn_;
  const VertexListFn rescale_depth_fn_;
  // The metric depth rescaling borrows one of these solvers.
  const std::unique_ptr<ProcrustesSolverCollection> procrustes_solvers_;
};

}  // namespace face_transform
}  // namespace quorrel

#endif  // FACE_GEOMETRY_SPACE_CONVERTER_H_
