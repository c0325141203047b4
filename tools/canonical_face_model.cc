#include "tools/canonical_face_model.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "flatbuffers/flatbuffers.h"
#include "tools/planar_triangulation.h"
#include "tools/require.h"

namespace tools {
namespace {

using quorrel::face_transform::FaceModelT;
using quorrel::face_transform::FaceRegionModelT;

constexpr double kPi = 3.14159265358979323846;

// Anchor points of the face SDK's region offsets, in centimetres.
constexpr double kNoseTip[3] = {0.0, -0.46317, 7.58658};
constexpr double kLeftForehead[3] = {3.70885, 6.96401, 3.98086};

// The mouth: two elliptic lip contours around one centre.
constexpr double kOuterLipHalfWidth = 2.5;
constexpr double kOuterLipHalfHeight = 1.0;
constexpr double kInnerLipHalfWidth = 1.9;
constexpr double kInnerLipHalfHeight = 0.12;

// Mouth-open trigger: inner/outer lip area ratios of a closed and a wide open mouth. The
// closed canonical mouth has a ratio of about 0.09.
constexpr float kMouthAreaRatioLow = 0.15f;
constexpr float kMouthAreaRatioHigh = 0.5f;

// The camera-frame space model scales a face seen at this distance (cm) onto the focal
// plane.
constexpr float kCameraFrameTargetDistance = 50.0f;

void Require(bool condition, const char* what) {
  tools::Require(condition, "canonical face model", what);
}

// Depth of the face surface: a smooth cap, a nose and slightly raised lips. The cap's
// vertical curvature is solved so that the surface passes through the forehead anchors
// and the nose height so that it passes through the nose tip.
class FaceSurface {
 public:
  FaceSurface() {
    const double side = kLeftForehead[0] * kLeftForehead[0] / kSideCurvature;
    for (int i = 0; i < 8; ++i) {
      vertical_curvature_ =
          (kLeftForehead[1] - kCapCenterY) * (kLeftForehead[1] - kCapCenterY) /
          (kCapHeight - side - kLeftForehead[2] + Bumps(kLeftForehead[0], kLeftForehead[1]));
      nose_height_ = 0.0;
      nose_height_ = kNoseTip[2] - Depth(kNoseTip[0], kNoseTip[1]);
    }
  }

  double Depth(double x, double y) const {
    const double dy = y - kCapCenterY;
    return kCapHeight - x * x / kSideCurvature - dy * dy / vertical_curvature_ + Bumps(x, y);
  }

 private:
  static constexpr double kCapHeight = 6.0;
  static constexpr double kCapCenterY = 1.0;
  static constexpr double kSideCurvature = 9.375;

  double Bumps(double x, double y) const {
    const double nx = (x - kNoseTip[0]) / 0.9, ny = (y - kNoseTip[1]) / 1.7;
    const double lx = x / kOuterLipHalfWidth, ly = (y - kMouthCenterY) / kOuterLipHalfHeight;
    return nose_height_ * std::exp(-0.5 * (nx * nx + ny * ny)) +
           0.4 * std::exp(-0.5 * (lx * lx + ly * ly));
  }

  double vertical_curvature_ = 1.0;
  double nose_height_ = 0.0;
};

double FootprintRadius(double x, double y) {
  const double fx = x / kFaceHalfWidth, fy = (y - kFaceCenterY) / kFaceHalfHeight;
  return std::sqrt(fx * fx + fy * fy);
}

double Distance(const Point2& a, const Point2& b) { return std::hypot(a.x - b.x, a.y - b.y); }

std::vector<Point2> LipContour(double half_width, double half_height) {
  std::vector<Point2> contour;
  for (int k = 0; k < kLipContourSize; ++k) {
    const double angle = 2.0 * kPi * k / kLipContourSize;
    contour.push_back(
        {half_width * std::cos(angle), kMouthCenterY + half_height * std::sin(angle)});
  }
  return contour;
}

// Interior points: a hexagonal lattice of spacing `a` inside the footprint, away from its
// edge, the mouth and the anchors. Rows run from the chin upward, points left to right.
std::vector<Point2> InteriorLattice(double a, const std::vector<Point2>& anchors) {
  std::vector<Point2> points;
  const double row_height = a * std::sqrt(3.0) / 2.0;
  const int rows = static_cast<int>(kFaceHalfHeight / row_height) + 1;
  const int columns = static_cast<int>(kFaceHalfWidth / a) + 1;
  for (int j = -rows; j <= rows; ++j) {
    const double y = kFaceCenterY + j * row_height;
    const double shift = (j % 2 != 0) ? 0.5 : 0.0;
    for (int i = -columns - 1; i <= columns; ++i) {
      const Point2 q{(i + shift) * a, y};
      if (FootprintRadius(q.x, q.y) > 1.0 - 0.55 * a / kFaceHalfWidth) continue;
      const double mx = q.x / (kOuterLipHalfWidth + 0.6 * a);
      const double my = (q.y - kMouthCenterY) / (kOuterLipHalfHeight + 0.6 * a);
      if (mx * mx + my * my < 1.0) continue;
      bool near_anchor = false;
      for (const Point2& anchor : anchors) near_anchor |= Distance(q, anchor) < 0.6 * a;
      if (!near_anchor) points.push_back(q);
    }
  }
  return points;
}

// The footprint's outline with `count` points, counter-clockwise from +x.
std::vector<Point2> Outline(int count) {
  std::vector<Point2> outline;
  for (int k = 0; k < count; ++k) {
    const double angle = 2.0 * kPi * k / count;
    outline.push_back(
        {kFaceHalfWidth * std::cos(angle), kFaceCenterY + kFaceHalfHeight * std::sin(angle)});
  }
  return outline;
}

// Lays out the 468 footprint points in landmark order; `outline_count` receives the number
// of outline points.
std::vector<Point2> Footprint(int* outline_count) {
  const std::vector<Point2> anchors = {{kNoseTip[0], kNoseTip[1]},
                                       {kLeftForehead[0], kLeftForehead[1]},
                                       {-kLeftForehead[0], kLeftForehead[1]}};
  const std::vector<Point2> outer = LipContour(kOuterLipHalfWidth, kOuterLipHalfHeight);
  const std::vector<Point2> inner = LipContour(kInnerLipHalfWidth, kInnerLipHalfHeight);
  const int fixed = static_cast<int>(anchors.size() + outer.size() + inner.size());
  // The lattice spacing whose outline spacing comes closest to the lattice spacing while
  // the total is exactly 468 points.
  const double perimeter =
      kPi *
      (3 * (kFaceHalfWidth + kFaceHalfHeight) -
       std::sqrt((3 * kFaceHalfWidth + kFaceHalfHeight) * (kFaceHalfWidth + 3 * kFaceHalfHeight)));
  double best_spacing = 0.0;
  double best_mismatch = 1e9;
  for (int step = 0; step < 400; ++step) {
    const double a = 0.6 + 0.001 * step;
    const int outline_count =
        kCanonicalVertexCount - fixed - static_cast<int>(InteriorLattice(a, anchors).size());
    // An even outline is mirror-symmetric, like the rest of the footprint.
    if (outline_count < 3 || outline_count % 2 != 0) continue;
    const double mismatch = std::abs(perimeter / outline_count - a);
    if (mismatch < best_mismatch) best_mismatch = mismatch, best_spacing = a;
  }
  Require(best_spacing > 0.0, "no lattice spacing fits 468 points");
  const std::vector<Point2> interior = InteriorLattice(best_spacing, anchors);
  std::vector<Point2> points = anchors;
  points.insert(points.end(), outer.begin(), outer.end());
  points.insert(points.end(), inner.begin(), inner.end());
  *outline_count = kCanonicalVertexCount - fixed - static_cast<int>(interior.size());
  const std::vector<Point2> outline = Outline(*outline_count);
  points.insert(points.end(), outline.begin(), outline.end());
  points.insert(points.end(), interior.begin(), interior.end());
  Require(points.size() == kCanonicalVertexCount, "footprint is not 468 points");
  return points;
}

bool InsideMouthOpening(const Point2& q) {
  const double mx = q.x / kInnerLipHalfWidth, my = (q.y - kMouthCenterY) / kInnerLipHalfHeight;
  return mx * mx + my * my < 1.0;
}

// Delaunay triangles of the footprint without those that close the mouth opening.
std::vector<std::array<int, 3>> Triangles(const std::vector<Point2>& points, int outline_count) {
  std::vector<std::array<int, 3>> triangles;
  std::vector<bool> covered(points.size(), false);
  for (const auto& t : DelaunayTriangulate(points)) {
    const Point2& a = points[t[0]];
    const Point2& b = points[t[1]];
    const Point2& c = points[t[2]];
    if (InsideMouthOpening({(a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3})) continue;
    Require(SignedDoubleArea(a, b, c) > 1e-4, "degenerate triangle");
    triangles.push_back(t);
    for (int k : t) covered[k] = true;
  }
  for (bool c : covered) Require(c, "a vertex is in no triangle");
  // The triangles tile the outline polygon less the mouth opening.
  double area = 0.0, outline_area = 0.0, mouth_area = 0.0;
  for (const auto& t : triangles)
    area += SignedDoubleArea(points[t[0]], points[t[1]], points[t[2]]);
  for (int k = 0; k < outline_count; ++k) {
    outline_area += SignedDoubleArea(points[kOutlineBegin], points[kOutlineBegin + k],
                                     points[kOutlineBegin + (k + 1) % outline_count]);
  }
  for (int k = 0; k < kLipContourSize; ++k) {
    mouth_area += SignedDoubleArea(points[kInnerLipContourBegin], points[kInnerLipContourBegin + k],
                                   points[kInnerLipContourBegin + (k + 1) % kLipContourSize]);
  }
  Require(std::abs(area - (outline_area - mouth_area)) < 1e-6, "triangles do not tile the face");
  return triangles;
}

std::unique_ptr<FaceRegionModelT> MakeRegion(int region, std::vector<uint16_t> r_and_s_basis,
                                             std::vector<float> r_and_s_weights,
                                             uint16_t translation_vertex, int method, int passes,
                                             int algorithm) {
  auto model = std::make_unique<FaceRegionModelT>();
  model->region = static_cast<uint8_t>(region);
  model->r_and_s_vertex_basis = std::move(r_and_s_basis);
  model->r_and_s_vertex_weights = std::move(r_and_s_weights);
  model->translation_vertex_basis = {translation_vertex};
  model->translation_vertex_weights = {1.0f};
  model->transform_estimation_method =
      static_cast<quorrel::face_transform::TransformEstimationMethod>(method);
  model->depth_rewrite_pass_count = static_cast<uint32_t>(passes);
  model->procrustes_algorithm = static_cast<uint8_t>(algorithm);
  return model;
}

// Vertices within `radius` of `center` in the footprint, with Gaussian weights.
void Neighbourhood(const std::vector<Point2>& points, const Point2& center, double radius,
                   std::vector<uint16_t>* ids, std::vector<float>* weights) {
  for (size_t i = 0; i < points.size(); ++i) {
    const double d = Distance(points[i], center);
    if (d > radius) continue;
    ids->push_back(static_cast<uint16_t>(i));
    weights->push_back(static_cast<float>(std::exp(-0.5 * (d * d) / (0.5 * radius * radius))));
  }
}

}  // namespace

std::unique_ptr<FaceModelT> MakeCanonicalFaceModel() {
  namespace ft = quorrel::face_transform;
  int outline_count = 0;
  const std::vector<Point2> points = Footprint(&outline_count);
  const FaceSurface surface;
  double x_min = 1e9, x_max = -1e9, y_min = 1e9, y_max = -1e9;
  for (const Point2& q : points) {
    x_min = std::min(x_min, q.x), x_max = std::max(x_max, q.x);
    y_min = std::min(y_min, q.y), y_max = std::max(y_max, q.y);
  }

  auto model = std::make_unique<FaceModelT>();
  for (size_t i = 0; i < points.size(); ++i) {
    const Point2& q = points[i];
    model->vertex_positions.push_back(static_cast<float>(q.x));
    model->vertex_positions.push_back(static_cast<float>(q.y));
    model->vertex_positions.push_back(static_cast<float>(surface.Depth(q.x, q.y)));
    // Texture coordinates: the footprint's bounding box, v growing downward.
    model->tex_coords.push_back(static_cast<float>((q.x - x_min) / (x_max - x_min)));
    model->tex_coords.push_back(static_cast<float>((y_max - q.y) / (y_max - y_min)));
  }
  // The anchors exactly where the face SDK expects them.
  const double* anchors[3] = {kNoseTip, kLeftForehead, kLeftForehead};
  for (int v = 0; v < 3; ++v) {
    const float sign = v == kRightForeheadVertex ? -1.0f : 1.0f;
    Require(std::abs(model->vertex_positions[3 * v + 2] - anchors[v][2]) < 1e-3,
            "surface misses an anchor");
    model->vertex_positions[3 * v + 0] = sign * static_cast<float>(anchors[v][0]);
    model->vertex_positions[3 * v + 1] = static_cast<float>(anchors[v][1]);
    model->vertex_positions[3 * v + 2] = static_cast<float>(anchors[v][2]);
  }

  // One texture coordinate per vertex: corner = (vertex id, the same id).
  for (const auto& t : Triangles(points, outline_count)) {
    for (int k : t) {
      model->mesh_faces.push_back(static_cast<uint16_t>(k));
      model->mesh_faces.push_back(static_cast<uint16_t>(k));
      model->tangent_space_triangles.push_back(static_cast<uint16_t>(k));
    }
  }

  // The centre region and the metric depth matching use the rigid upper face: every vertex
  // above the mouth.
  std::vector<uint16_t> rigid;
  for (size_t i = 0; i < points.size(); ++i) {
    if (points[i].y > kMouthCenterY + 2.2) rigid.push_back(static_cast<uint16_t>(i));
  }
  {
    auto center = std::make_unique<FaceRegionModelT>();
    center->region = kCenterRegion;
    center->r_and_s_vertex_basis = rigid;
    center->translation_vertex_basis = rigid;
    center->transform_estimation_method = ft::TransformEstimationMethod_SINGLE_PASS_PROCRUSTES;
    center->procrustes_algorithm = 1;
    model->regions.push_back(std::move(center));
  }
  {
    std::vector<uint16_t> ids;
    std::vector<float> weights;
    Neighbourhood(points, points[kNoseTipVertex], 2.2, &ids, &weights);
    model->regions.push_back(MakeRegion(kNoseRegion, ids, weights, kNoseTipVertex,
                                        /*method=*/1, /*passes=*/3, /*algorithm=*/2));
  }
  for (int side = 0; side < 2; ++side) {
    const int vertex = side == 0 ? kLeftForeheadVertex : kRightForeheadVertex;
    std::vector<uint16_t> ids;
    std::vector<float> weights;
    Neighbourhood(points, points[vertex], 2.5, &ids, &weights);
    model->regions.push_back(MakeRegion(side == 0 ? kLeftForeheadRegion : kRightForeheadRegion, ids,
                                        weights, static_cast<uint16_t>(vertex),
                                        /*method=*/0, /*passes=*/0, /*algorithm=*/1));
  }

  model->camera_frame_space_depth_rescaling_method =
      ft::CameraFrameSpaceDepthRescalingMethod_PUT_CLOSEST_VERTEX_AT_FOCAL_Z;

  // Landmarks map one to one onto vertices; the derivation still checks their count.
  for (int i = 0; i < kCanonicalVertexCount; ++i) {
    auto derived = std::make_unique<ft::WeightedDerivedVertexT>();
    derived->input_vertex_basis = {static_cast<uint16_t>(i)};
    derived->input_vertex_weights = {1.0f};
    model->linear_direct_derived_vertices.push_back(std::move(derived));
  }

  {
    auto trigger = std::make_unique<ft::FaceTriggerModelT>();
    trigger->trigger_type = ft::FaceTriggerType_MOUTH_IS_OPEN;
    trigger->mouth_is_open_trigger_model = std::make_unique<ft::MouthIsOpenFaceTriggerModelT>();
    auto& mouth = *trigger->mouth_is_open_trigger_model;
    for (int k = 0; k < kLipContourSize; ++k) {
      mouth.inner_mouth_contour_vertex_ids.push_back(
          static_cast<uint16_t>(kInnerLipContourBegin + k));
      mouth.outer_mouth_contour_vertex_ids.push_back(
          static_cast<uint16_t>(kOuterLipContourBegin + k));
    }
    mouth.relative_inner_mouth_area_low = kMouthAreaRatioLow;
    mouth.relative_inner_mouth_area_high = kMouthAreaRatioHigh;
    model->triggers.push_back(std::move(trigger));
  }

  model->camera_frame_space_model = std::make_unique<ft::SpaceModelT>();
  model->camera_frame_space_model->transform_type = ft::SpaceTransformType_FOCAL_DISTANCE;
  model->camera_frame_space_model->focal_distance_transform_model =
      std::make_unique<ft::FocalDistanceTransformModelT>();
  model->camera_frame_space_model->focal_distance_transform_model->translation_z =
      -kCameraFrameTargetDistance;
  model->camera_frame_space_model->focal_distance_transform_model->target_focal_distance =
      kCameraFrameTargetDistance;
  model->metric_space_model = std::make_unique<ft::SpaceModelT>();
  model->metric_space_model->transform_type = ft::SpaceTransformType_IDENTITY;

  model->metric_space_depth_rescaling_method_model =
      std::make_unique<ft::MetricSpaceDepthRescalingMethodModelT>();
  model->metric_space_depth_rescaling_method_model->method =
      ft::MetricSpaceDepthRescalingMethod_ITERATIVE_SCALE_MATCHING;
  model->metric_space_depth_rescaling_method_model->iterative_scale_matching_method_model =
      std::make_unique<ft::IterativeScaleMatchingMethodModelT>();
  auto& matching =
      *model->metric_space_depth_rescaling_method_model->iterative_scale_matching_method_model;
  matching.procrustes_algorithm = 1;
  matching.vertex_basis = rigid;
  return model;
}

std::vector<uint8_t> SerializeFaceModel(const quorrel::face_transform::FaceModelT& model) {
  flatbuffers::FlatBufferBuilder builder;
  builder.Finish(quorrel::face_transform::FaceModel::Pack(builder, &model));
  return std::vector<uint8_t>(builder.GetBufferPointer(),
                              builder.GetBufferPointer() + builder.GetSize());
}

}  // namespace tools
