// Similarity fit between two 3D point sets of the same size.

#ifndef FACE_GEOMETRY_SPATIAL_POINT_FITTER_H_
#define FACE_GEOMETRY_SPATIAL_POINT_FITTER_H_

#include <Eigen/Core>

namespace vrk {
namespace sdk {
namespace mask {

// Finds the uniform scale s, rotation R and translation t with target ≈ s·R·source + t,
// one point per column. Both sets are moved to their centre of mass and scaled to unit
// size first; the rotation never contains a reflection.
//
// Either output may be null and is then not written. Returns false, writes nothing and
// logs through the core log when the sets differ in size, are empty, or one of them is
// (nearly) a single repeated point.
bool FitSpatialPoints(const Eigen::Matrix3Xf& source, const Eigen::Matrix3Xf& target,
                      Eigen::Matrix3f* rotation_and_scale, Eigen::Vector3f* translation);

}  // namespace mask
}  // namespace sdk
}  // namespace vrk

#endif  // FACE_GEOMETRY_SPATIAL_POINT_FITTER_H_
