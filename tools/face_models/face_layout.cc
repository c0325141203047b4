#include "tools/face_models/face_layout.h"

#include <cmath>

#include "tools/canonical_face_model.h"

namespace tools {
namespace face_models {

const std::vector<Point3>& CanonicalVertices() {
  static const std::vector<Point3>* const vertices = [] {
    const auto model = MakeCanonicalFaceModel();
    auto* v = new std::vector<Point3>();
    const std::vector<float>& p = model->vertex_positions;
    for (size_t i = 0; i + 2 < p.size(); i += 3) v->push_back({p[i], p[i + 1], p[i + 2]});
    return v;
  }();
  return *vertices;
}

int CanonicalOutlineCount() {
  static const int count = [] {
    const std::vector<Point3>& v = CanonicalVertices();
    int n = 0;
    for (size_t i = kOutlineBegin; i < v.size(); ++i, ++n) {
      const double fx = v[i].x / kFaceHalfWidth;
      const double fy = (v[i].y - kFaceCenterY) / kFaceHalfHeight;
      if (std::abs(fx * fx + fy * fy - 1.0) > 1e-4) break;
    }
    return n;
  }();
  return count;
}

const std::array<Point3, 6>& DetectorKeyPoints() {
  static const std::array<Point3, 6> points = {{{-3.0, 2.6, 0},
                                                {3.0, 2.6, 0},
                                                {0.0, -0.46317, 0},
                                                {0.0, kMouthCenterY, 0},
                                                {-7.0, 1.5, 0},
                                                {7.0, 1.5, 0}}};
  return points;
}

FacePatch FacePatchOfHeight(double center_x, double center_y, double height) {
  const double b = height / 2;
  return {center_x, center_y, b * kFaceHalfWidth / kFaceHalfHeight, b};
}

bool InsideFacePatch(const FacePatch& patch, int x, int y) {
  const double dx = (x + 0.5 - patch.center_x) / patch.half_width;
  const double dy = (y + 0.5 - patch.center_y) / patch.half_height;
  return dx * dx + dy * dy <= 1.0;
}

std::array<double, 2> ProjectOntoPatch(const FacePatch& patch, double x, double y) {
  return {patch.center_x + x * patch.half_width / kFaceHalfWidth,
          patch.center_y - (y - kFaceCenterY) * patch.half_height / kFaceHalfHeight};
}

}  // namespace face_models
}  // namespace tools
