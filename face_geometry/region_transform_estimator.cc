#include "face_geometry/region_transform_estimator.h"

#include <algorithm>
#include <utility>

#include "base/status_macros.h"

namespace quorrel {
namespace face_transform {
namespace {

using RegionData = RegionTransformEstimator::RegionData;

Eigen::Vector3f VertexPosition(const std::vector<float>& positions, uint16_t vertex_id) {
  return {positions[3 * vertex_id], positions[3 * vertex_id + 1], positions[3 * vertex_id + 2]};
}

// Checks a basis and its weights against the model's vertex count.
absl::Status ValidateVertexBasis(const std::vector<uint16_t>& vertex_basis,
                                 const std::vector<float>& vertex_weights, size_t vertices_num) {
  const size_t vertex_basis_sz = vertex_basis.size();
  const size_t n_vertex_weights = vertex_weights.size();
  const bool have_vertex_weights = !vertex_weights.empty();
  RET_CHECK_GT(vertex_basis_sz, 0);
  RET_CHECK(!have_vertex_weights || n_vertex_weights == vertex_basis_sz);
  for (const uint16_t vertex_id : vertex_basis) {
    RET_CHECK_LT(vertex_id, vertices_num) << "Vertex ID is too large for given face model!";
  }
  return absl::OkStatus();
}

util::StatusOr<RegionData::RotationAndScale> CreateRotationAndScaleData(
    const FaceRegionModelT& region_model, const std::vector<float>& positions) {
  RegionData::RotationAndScale data;
  RETURN_IF_ERROR(ValidateVertexBasis(region_model.r_and_s_vertex_basis,
                                      region_model.r_and_s_vertex_weights, positions.size() / 3));
  data.vertex_basis = region_model.r_and_s_vertex_basis;
  data.vertex_weights = region_model.r_and_s_vertex_weights;
  for (const uint16_t vertex_id : data.vertex_basis) {
    data.source_points.push_back(VertexPosition(positions, vertex_id));
  }
  data.target_points.resize(data.vertex_basis.size(), Eigen::Vector3f::Zero());
  return data;
}

util::StatusOr<RegionData::Translation> CreateTranslationData(const FaceRegionModelT& region_model,
                                                              const std::vector<float>& positions) {
  RegionData::Translation data;
  RETURN_IF_ERROR(ValidateVertexBasis(region_model.translation_vertex_basis,
                                      region_model.translation_vertex_weights,
                                      positions.size() / 3));
  data.vertex_basis = region_model.translation_vertex_basis;
  data.vertex_weights = region_model.translation_vertex_weights;
  Eigen::Vector3f weighted_sum = Eigen::Vector3f::Zero();
  for (size_t j = 0; j < data.vertex_basis.size(); ++j) {
    const float weight = data.vertex_weights.empty() ? 1.0f : data.vertex_weights[j];
    weighted_sum += weight * VertexPosition(positions, data.vertex_basis[j]);
    data.total_weight += weight;
  }
  // A zero total would make every translation non-finite.
  RET_CHECK_NE(data.total_weight, 0.0f) << "Translation vertex weights must not sum to 0!";
  data.source_center = weighted_sum * (1.0f / data.total_weight);
  return data;
}

util::StatusOr<Eigen::Matrix4f> MultiPassDepthRewriteProcrustes(uint32_t pass_count,
                                                                RegionData& region_data) {
  RegionData::RotationAndScale& rs = region_data.rotation_and_scale;
  const bool have_r_and_s_vertex_weights = !rs.vertex_weights.empty();
  Eigen::Matrix4f transform = Eigen::Matrix4f::Identity();
  for (uint32_t pass = 1; pass <= pass_count; ++pass) {
    if (have_r_and_s_vertex_weights) {
      ASSIGN_OR_RETURN(transform,
                       region_data.procrustes_solver->SolveWeightedOrthogonalProblem(
                           rs.source_points, rs.target_points, rs.vertex_weights),
                       _ << "which handing the `have_r_and_s_vertex_weights = true` branch!");
    } else {
      ASSIGN_OR_RETURN(
          transform,
          region_data.procrustes_solver->SolveOrthogonalProblem(rs.source_points, rs.target_points),
          _ << "which handing the `have_r_and_s_vertex_weights = false` branch!");
    }
    if (pass < pass_count) {
      // Rewrite the observed depths with the fitted ones; x and y stay observed.
      for (size_t j = 0; j < rs.source_points.size(); ++j) {
        rs.target_points[j].z() =
            transform.row(2).head<3>().dot(rs.source_points[j]) + transform(2, 3);
      }
    }
  }
  const Eigen::Matrix3f scaled_rotation = transform.topLeftCorner<3, 3>();
  const RegionData::Translation& t = region_data.translation;
  transform.block<3, 1>(0, 3) = t.target_center - scaled_rotation * t.source_center;
  return transform;
}

util::StatusOr<Eigen::Matrix4f> SinglePassProcrustes(RegionData& region_data) {
  return MultiPassDepthRewriteProcrustes(1, region_data);
}

using TransformEstimationFn = std::function<util::StatusOr<Eigen::Matrix4f>(RegionData&)>;

util::StatusOr<TransformEstimationFn> CreateTransformEstimationFn(
    const FaceRegionModelT& region_model) {
  switch (region_model.transform_estimation_method) {
    case TransformEstimationMethod_SINGLE_PASS_PROCRUSTES:
      return TransformEstimationFn(SinglePassProcrustes);
    case TransformEstimationMethod_MULTI_PASS_DEPTH_REWRITE_PROCRUSTES: {
      // Without a pass no transform would exist.
      const uint32_t pass_count = region_model.depth_rewrite_pass_count;
      RET_CHECK_GT(pass_count, 0u) << "Depth rewrite pass count must be positive!";
      return TransformEstimationFn([pass_count](RegionData& region_data) {
        return MultiPassDepthRewriteProcrustes(pass_count, region_data);
      });
    }
    default:
      return absl::Status(absl::StatusCode::kInternal, "Unknown transform estimation method!");
  }
}

}  // namespace

RegionTransformEstimator::RegionTransformEstimator(
    std::unique_ptr<ProcrustesSolverCollection> procrustes_solvers,
    std::vector<RegionData> region_data,
    std::vector<TransformEstimationFn> transform_estimation_fns, size_t vertices_num)
    : procrustes_solvers_(std::move(procrustes_solvers)),
      region_data_(std::move(region_data)),
      transform_estimation_fns_(std::move(transform_estimation_fns)),
      vertices_num_(vertices_num) {}

util::StatusOr<std::unique_ptr<RegionTransformEstimator>> RegionTransformEstimator::Create(
    const FaceModelT& face_model) {
  std::unique_ptr<ProcrustesSolverCollection> procrustes_solvers =
      CreateAllExistingProcrustesSolverCollection();
  std::vector<RegionData> region_data;
  std::vector<TransformEstimationFn> transform_estimation_fns;
  size_t vertices_num = 0;
  for (const auto& region_model : face_model.regions) {
    RegionData data;
    const int region = region_model->region;
    data.region = static_cast<FaceRegion>(region);
    ASSIGN_OR_RETURN(data.procrustes_solver,
                     procrustes_solvers->GetProcrustesSolver(region_model->procrustes_algorithm),
                     _ << "while selecting a Procrustes solver!");
    ASSIGN_OR_RETURN(data.rotation_and_scale,
                     CreateRotationAndScaleData(*region_model, face_model.vertex_positions),
                     _ << "while creating rotation-and-scale data for region " << region << "!");
    ASSIGN_OR_RETURN(data.translation,
                     CreateTranslationData(*region_model, face_model.vertex_positions),
                     _ << "while creating translation data for region " << region << "!");
    ASSIGN_OR_RETURN(
        TransformEstimationFn transform_estimation_fn, CreateTransformEstimationFn(*region_model),
        _ << "while creating transform estimation function for region " << region << "!");
    transform_estimation_fns.push_back(std::move(transform_estimation_fn));
    for (const uint16_t id : data.rotation_and_scale.vertex_basis) {
      vertices_num = std::max<size_t>(vertices_num, id + 1u);
    }
    for (const uint16_t id : data.translation.vertex_basis) {
      vertices_num = std::max<size_t>(vertices_num, id + 1u);
    }
    region_data.push_back(std::move(data));
  }
  return std::unique_ptr<RegionTransformEstimator>(
      new RegionTransformEstimator(std::move(procrustes_solvers), std::move(region_data),
                                   std::move(transform_estimation_fns), vertices_num));
}

util::StatusOr<std::map<FaceRegion, Eigen::Matrix4f>> RegionTransformEstimator::Estimate(
    const std::vector<Eigen::Vector3f>& vertices) {
  RET_CHECK_GE(vertices.size(), vertices_num_)
      << "Too few vertices for the region bases! Expected at least " << vertices_num_ << ", got "
      << vertices.size() << "!";
  std::map<FaceRegion, Eigen::Matrix4f> transforms;
  for (size_t i = 0; i < region_data_.size(); ++i) {
    RegionData& data = region_data_[i];
    RegionData::RotationAndScale& rs = data.rotation_and_scale;
    for (size_t j = 0; j < rs.vertex_basis.size(); ++j) {
      rs.target_points[j] = vertices[rs.vertex_basis[j]];
    }
    RegionData::Translation& t = data.translation;
    Eigen::Vector3f weighted_sum = Eigen::Vector3f::Zero();
    for (size_t j = 0; j < t.vertex_basis.size(); ++j) {
      const float weight = t.vertex_weights.empty() ? 1.0f : t.vertex_weights[j];
      weighted_sum += weight * vertices[t.vertex_basis[j]];
    }
    t.target_center = weighted_sum * (1.0f / t.total_weight);
    ASSIGN_OR_RETURN(
        transforms[data.region], transform_estimation_fns_[i](data),
        _ << "while estimating transform for region " << static_cast<int>(data.region) << "!");
  }
  return transforms;
}

}  // namespace face_transform
}  // namespace quorrel
