#include "face_geometry/space_converter.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

#include "base/logging.h"
#include "base/status_macros.h"

namespace quorrel {
namespace face_transform {
namespace {

using VertexListFn = SpaceConverter::VertexListFn;

absl::Status ApplyIdentityTransformation(std::vector<Eigen::Vector3f>& vertices) {
  return absl::OkStatus();
}

VertexListFn CreateCorrectScreenSpaceOriginFn(ScreenOriginLocation screen_origin_location,
                                              int32_t screen_height) {
  if (screen_origin_location != kBottomLeftCorner) return ApplyIdentityTransformation;
  return [screen_height](std::vector<Eigen::Vector3f>& vertices) {
    for (Eigen::Vector3f& vertex : vertices)
      vertex.y() = static_cast<float>(screen_height) - vertex.y();
    return absl::OkStatus();
  };
}

// Shifts every depth so that the smallest one is the focal distance.
absl::Status PutClosestVertexAtFocalZ(float focal_distance,
                                      std::vector<Eigen::Vector3f>& vertices) {
  float min_z = std::numeric_limits<float>::max();
  for (const Eigen::Vector3f& vertex : vertices) {
    if (vertex.z() < min_z) min_z = vertex.z();
  }
  const float shift = focal_distance - min_z;
  for (Eigen::Vector3f& vertex : vertices) vertex.z() += shift;
  return absl::OkStatus();
}

struct Extents {
  float width;
  float height;
  float depth;
};

template <typename Get>
Extents ComputeExtents(size_t count, Get get) {
  Eigen::Vector3f min = Eigen::Vector3f::Constant(std::numeric_limits<float>::max());
  Eigen::Vector3f max = Eigen::Vector3f::Constant(std::numeric_limits<float>::lowest());
  for (size_t i = 0; i < count; ++i) {
    const Eigen::Vector3f v = get(i);
    min = min.cwiseMin(v);
    max = max.cwiseMax(v);
  }
  return {max.x() - min.x(), max.y() - min.y(), max.z() - min.z()};
}

// Rescales depth so that the observed face has the depth-to-width and depth-to-height
// proportions of the face model, then puts it at the focal plane.
util::StatusOr<VertexListFn> CreateCameraFrameSpaceRescaleDepthFn(const FaceModelT& face_model,
                                                                  float focal_distance) {
  const std::vector<float>& positions = face_model.vertex_positions;
  const size_t vertices_num = positions.size() / 3;
  RET_CHECK_GT(vertices_num, 0) << "Face model doesn't contain any vertices!";
  const Extents model = ComputeExtents(vertices_num, [&](size_t i) {
    return Eigen::Vector3f(positions[3 * i], positions[3 * i + 1], positions[3 * i + 2]);
  });
  if (model.depth < kFloatComparisonEps) {
    LOG(WARNING) << "Face model depth is too small, this may lead to unexpected results later!";
  }
  const float width = model.width;
  const float height = model.height;
  RET_CHECK_GT(width, kFloatComparisonEps) << "Face model width is too small!";
  RET_CHECK_GT(height, kFloatComparisonEps) << "Face model height is too small!";
  const float depth_to_width = model.depth / width;
  const float depth_to_height = model.depth / height;

  return VertexListFn([depth_to_width, depth_to_height,
                       focal_distance](std::vector<Eigen::Vector3f>& vertices) -> absl::Status {
    const Extents observed = ComputeExtents(vertices.size(), [&](size_t i) { return vertices[i]; });
    const absl::Status status = [&]() -> absl::Status {
      const float depth = observed.depth;
      RET_CHECK_GT(depth, kFloatComparisonEps)
          << "Failed to approximate Z-axis scale factor as original Z coordinates "
          << "are too close to each other!";
      return absl::OkStatus();
    }();
    RETURN_IF_ERROR(status) << "while approximating depth scaling factor!";
    const float scale = 1.2f * std::max(depth_to_width * observed.width / observed.depth,
                                        depth_to_height * observed.height / observed.depth);
    for (Eigen::Vector3f& vertex : vertices) vertex.z() *= scale;
    return PutClosestVertexAtFocalZ(focal_distance, vertices);
  });
}

// The metric depth rescaling's fixed data.
struct ScaleMatchingData {
  std::vector<uint16_t> vertex_basis;
  std::vector<float> vertex_weights;
  std::vector<Eigen::Vector3f> model_points;  // canonical positions of the basis
  const ProcrustesSolver* solver;
  float focal_distance;
};

// The uniform scale that maps the canonical basis onto the observed one (z negated).
util::StatusOr<float> ComputeScaleMatchingMethodEstimation(
    const ScaleMatchingData& data, const std::vector<Eigen::Vector3f>& vertices) {
  std::vector<Eigen::Vector3f> targets;
  targets.reserve(data.vertex_basis.size());
  for (const uint16_t id : data.vertex_basis) {
    const Eigen::Vector3f& v = vertices[id];
    targets.emplace_back(v.x(), v.y(), -v.z());
  }
  Eigen::Matrix4f transform;
  if (data.vertex_weights.empty()) {
    ASSIGN_OR_RETURN(transform, data.solver->SolveOrthogonalProblem(data.model_points, targets),
                     _ << "while solving the EOP problem!");
  } else {
    ASSIGN_OR_RETURN(transform,
                     data.solver->SolveWeightedOrthogonalProblem(data.model_points, targets,
                                                                 data.vertex_weights),
                     _ << "while solving the WEOP problem!");
  }
  return transform.col(0).norm();
}

absl::Status ApplyIterativeScaleMatchingMethod(const ScaleMatchingData& data,
                                               std::vector<Eigen::Vector3f>& vertices) {
  const size_t needed =
      data.vertex_basis.empty()
          ? 0
          : 1u + *std::max_element(data.vertex_basis.begin(), data.vertex_basis.end());
  RET_CHECK_GE(vertices.size(), needed)
      << "Too few vertices for the depth matching basis! Expected at least " << needed << ", got "
      << vertices.size() << "!";
  const float f = data.focal_distance;
  ASSIGN_OR_RETURN(const float first_scale, ComputeScaleMatchingMethodEstimation(data, vertices),
                   _ << "while computing the first scale estimation!");

  double basis_weight = 0.0;
  double weighted_z = 0.0;
  for (size_t i = 0; i < data.vertex_basis.size(); ++i) {
    const double weight = data.vertex_weights.empty() ? 1.0 : data.vertex_weights[i];
    basis_weight += weight;
    weighted_z += weight * vertices[data.vertex_basis[i]].z();
  }
  const absl::Status mean_status = [&]() -> absl::Status {
    RET_CHECK_GT(static_cast<float>(basis_weight), kFloatComparisonEps)
        << "Total basis weight is too small!";
    return absl::OkStatus();
  }();
  RETURN_IF_ERROR(mean_status) << "while computing mean Z!";
  const float mean_z = static_cast<float>(weighted_z / basis_weight);

  std::vector<Eigen::Vector3f> trial(vertices.size());
  for (size_t i = 0; i < vertices.size(); ++i) {
    const float z = (vertices[i].z() - mean_z + f) / first_scale;
    trial[i] = {vertices[i].x() * z / f, vertices[i].y() * z / f, z};
  }
  ASSIGN_OR_RETURN(const float second_scale, ComputeScaleMatchingMethodEstimation(data, trial),
                   _ << "while computing the second scale estimation!");
  for (Eigen::Vector3f& vertex : vertices) {
    vertex.z() = (vertex.z() - mean_z + f) / (first_scale * second_scale);
  }
  return absl::OkStatus();
}

util::StatusOr<VertexListFn> CreateMetricSpaceRescaleDepthFn(
    const FaceModelT& face_model, float focal_distance,
    const ProcrustesSolverCollection& procrustes_solvers) {
  RET_CHECK(face_model.metric_space_depth_rescaling_method_model != nullptr);
  const MetricSpaceDepthRescalingMethodModelT& depth_rescaling_method_model =
      *face_model.metric_space_depth_rescaling_method_model;
  if (depth_rescaling_method_model.method !=
      MetricSpaceDepthRescalingMethod_ITERATIVE_SCALE_MATCHING) {
    RET_CHECK_FAIL() << "Unknown metric space depth rescaling method!";
  }
  RET_CHECK(depth_rescaling_method_model.iterative_scale_matching_method_model != nullptr);
  const IterativeScaleMatchingMethodModelT& method_model =
      *depth_rescaling_method_model.iterative_scale_matching_method_model;

  ScaleMatchingData data;
  const absl::Status basis_status = [&]() -> absl::Status {
    RET_CHECK(method_model.vertex_weights.empty() ||
              method_model.vertex_weights.size() == method_model.vertex_basis.size())
        << "`vertex_weights` either be empty or match the `vertex_basis` list size.";
    return absl::OkStatus();
  }();
  RETURN_IF_ERROR(basis_status) << "while extracting or creating a vertex basis and weights!";
  const std::vector<float>& positions = face_model.vertex_positions;
  const size_t vertices_num = positions.size() / 3;
  if (method_model.vertex_basis.empty()) {
    data.vertex_basis.resize(vertices_num);
    std::iota(data.vertex_basis.begin(), data.vertex_basis.end(), 0);
  } else {
    data.vertex_basis = method_model.vertex_basis;
    data.vertex_weights = method_model.vertex_weights;
  }
  for (const uint16_t id : data.vertex_basis) {
    RET_CHECK_LT(id, vertices_num) << "Vertex ID is too large for given face model!";
    data.model_points.emplace_back(positions[3 * id], positions[3 * id + 1], positions[3 * id + 2]);
  }
  ASSIGN_OR_RETURN(data.solver,
                   procrustes_solvers.GetProcrustesSolver(method_model.procrustes_algorithm),
                   _ << "while selecting a Procrustes solver!");
  data.focal_distance = focal_distance;
  return VertexListFn([data = std::move(data)](std::vector<Eigen::Vector3f>& vertices) {
    return ApplyIterativeScaleMatchingMethod(data, vertices);
  });
}

util::StatusOr<VertexListFn> CreateRescaleDepthFn(
    const CameraParameters& camera_parameters, const SpaceParameters& space_parameters,
    const FaceModelT& face_model, const ProcrustesSolverCollection& procrustes_solvers) {
  const float focal_distance = camera_parameters.focal_distance;
  if (absl::holds_alternative<MetricSpaceParameters>(space_parameters)) {
    return CreateMetricSpaceRescaleDepthFn(face_model, focal_distance, procrustes_solvers);
  }
  switch (face_model.camera_frame_space_depth_rescaling_method) {
    case CameraFrameSpaceDepthRescalingMethod_PUT_CLOSEST_VERTEX_AT_FOCAL_Z:
      return VertexListFn([focal_distance](std::vector<Eigen::Vector3f>& vertices) {
        return PutClosestVertexAtFocalZ(focal_distance, vertices);
      });
    case CameraFrameSpaceDepthRescalingMethod_RESCALE_FROM_MODEL_EXTENTS:
      return CreateCameraFrameSpaceRescaleDepthFn(face_model, focal_distance);
    default:
      RET_CHECK_FAIL() << "Unknown camera frame space depth rescaling method!";
  }
}

}  // namespace

SpaceConverter::SpaceConverter(const CameraParameters& camera_parameters,
                               const SelectedSpaceParameters& selected_space_parameters,
                               VertexListFn correct_screen_space_origin_fn,
                               VertexListFn rescale_depth_fn,
                               std::unique_ptr<ProcrustesSolverCollection> procrustes_solvers)
    : camera_parameters_(camera_parameters),
      selected_space_parameters_(selected_space_parameters),
      correct_screen_space_origin_fn_(std::move(correct_screen_space_origin_fn)),
      rescale_depth_fn_(std::move(rescale_depth_fn)),
      procrustes_solvers_(std::move(procrustes_solvers)) {}

util::StatusOr<std::unique_ptr<SpaceConverter>> SpaceConverter::Create(
    const CameraParameters& camera_parameters, const SpaceParameters& space_parameters,
    const FaceModelT& face_model) {
  std::unique_ptr<ProcrustesSolverCollection> procrustes_solvers =
      CreateAllExistingProcrustesSolverCollection();
  SelectedSpaceParameters selected;
  absl::visit(
      [&selected](const auto& parameters) {
        selected.screen_width = parameters.screen_width;
        selected.screen_height = parameters.screen_height;
        selected.screen_origin_location = parameters.screen_origin_location;
      },
      space_parameters);
  VertexListFn correct_origin_fn =
      CreateCorrectScreenSpaceOriginFn(selected.screen_origin_location, selected.screen_height);
  ASSIGN_OR_RETURN(
      VertexListFn rescale_depth_fn,
      CreateRescaleDepthFn(camera_parameters, space_parameters, face_model, *procrustes_solvers),
      _.LogError() << "while creating camera frame space rescale depth function!");
  return std::unique_ptr<SpaceConverter>(
      new SpaceConverter(camera_parameters, selected, std::move(correct_origin_fn),
                         std::move(rescale_depth_fn), std::move(procrustes_solvers)));
}

void SpaceConverter::ProjectXYOnFocalPlane(std::vector<Eigen::Vector3f>& vertices) const {
  const CameraParameters& camera = camera_parameters_;
  // The frustum's bounds are given on the near plane; the focal plane lies focal / near
  // times as far. There one unit is one pixel in camera-frame space.
  const float to_focal_plane = camera.focal_distance / camera.near;
  const float x_scale =
      (camera.right - camera.left) / static_cast<float>(selected_space_parameters_.screen_width);
  const float y_scale =
      (camera.top - camera.bottom) / static_cast<float>(selected_space_parameters_.screen_height);
  for (Eigen::Vector3f& vertex : vertices) {
    vertex = Eigen::Vector3f(camera.left + x_scale * vertex.x(),
                             camera.bottom + y_scale * vertex.y(), x_scale * vertex.z()) *
             to_focal_plane;
  }
}

util::StatusOr<std::vector<Eigen::Vector3f>> SpaceConverter::ConvertScreenSpaceToFaceSpace(
    const std::vector<Eigen::Vector3f>& screen_space_vertices) const {
  std::vector<Eigen::Vector3f> vertices = screen_space_vertices;
  RETURN_IF_ERROR(correct_screen_space_origin_fn_(vertices))
      << "while correcting screen space origin!";
  ProjectXYOnFocalPlane(vertices);
  RETURN_IF_ERROR(rescale_depth_fn_(vertices)) << "while rescaling depth!";
  const float f = camera_parameters_.focal_distance;
  for (Eigen::Vector3f& vertex : vertices) {
    vertex.x() = vertex.x() * vertex.z() / f;
    vertex.y() = vertex.y() * vertex.z() / f;
    vertex.z() = -vertex.z();
  }
  return vertices;
}

}  // namespace face_transform
}  // namespace quorrel
