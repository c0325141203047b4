#include "face_geometry/spatial_point_fitter.h"

#include <cmath>

#include <Eigen/LU>
#include <Eigen/SVD>

#include "face_geometry/core_logging.h"

namespace vrk {
namespace sdk {
namespace mask {
namespace {

// Centres `points` on their mean and scales them to unit Frobenius norm. `norm` is
// written in every case; `normalized` only on success. Fails for a set whose centred
// size is below 1e-6 (a NaN size passes).
bool MoveOriginToCenterOfMassAndNormalize(const Eigen::Matrix3Xf& points,
                                          Eigen::Vector3f* center, float* norm,
                                          Eigen::Matrix3Xf* normalized) {
  *center = points.rowwise().sum() / static_cast<float>(points.cols());
  Eigen::Matrix3Xf centered = points.colwise() - *center;
  *norm = centered.norm();
  if (std::abs(*norm) < 1e-6f) {
    VRK_LOG(WARNING,
            "Points from the set are too close to each other as if it was a single "
            "duplicated point!");
    return false;
  }
  centered /= *norm;
  *normalized = std::move(centered);
  return true;
}

}  // namespace

bool FitSpatialPoints(const Eigen::Matrix3Xf& source, const Eigen::Matrix3Xf& target,
                      Eigen::Matrix3f* rotation_and_scale, Eigen::Vector3f* translation) {
  if (source.cols() != target.cols()) {
    VRK_LOG(ERROR, "Cannot fit spatial points as their number is different!");
    return false;
  }
  if (source.cols() == 0) {
    VRK_LOG(ERROR, "Cannot fit spatial points as these sets are empty!");
    return false;
  }

  Eigen::Vector3f source_center, target_center;
  float source_norm, target_norm;
  Eigen::Matrix3Xf a, b;
  if (!MoveOriginToCenterOfMassAndNormalize(source, &source_center, &source_norm, &a) ||
      !MoveOriginToCenterOfMassAndNormalize(target, &target_center, &target_norm, &b)) {
    return false;
  }

  const Eigen::Matrix3f m = b * a.transpose();
  Eigen::JacobiSVD<Eigen::Matrix3f> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3f u = svd.matrixU();
  const Eigen::Matrix3f& v = svd.matrixV();
  Eigen::Vector3f sigma = svd.singularValues();
  // A reflection in the data is turned into the closest proper rotation; the smallest
  // singular value then counts negatively in the scale.
  if (u.determinant() * v.determinant() < 0) {
    u.col(2) *= -1;
    sigma(2) = -sigma(2);
  }

  // Both sets have unit size, so the scale is the ratio of their sizes corrected by how
  // well the rotated source matches the target (the sum of the singular values).
  const float scale = target_norm / (source_norm * sigma.sum());
  const Eigen::Matrix3f sr = scale * (u * v.transpose());
  if (rotation_and_scale != nullptr) *rotation_and_scale = sr;
  if (translation != nullptr) *translation = target_center - sr * source_center;
  return true;
}

}  // namespace mask
}  // namespace sdk
}  // namespace vrk
