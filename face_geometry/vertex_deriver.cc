#include "face_geometry/vertex_deriver.h"

#include <Eigen/LU>
#include <algorithm>
#include <string>
#include <utility>

#include "base/status_macros.h"
#include "face_geometry/face_model_generated.h"

namespace quorrel {
namespace face_transform {
namespace {

using WeightedDerivedVertices = std::vector<std::unique_ptr<WeightedDerivedVertexT>>;

// Sums of weighted input vertices; only the non-zero terms are stored.
class LinearDirectVertexDeriver : public VertexDeriver {
 public:
  struct Term {
    int32_t input_vertex_id;
    int32_t output_vertex_index;
    float weight;
  };

  LinearDirectVertexDeriver(int32_t n_input_vertices, int32_t n_output_vertices,
                            std::vector<Term> terms)
      : n_input_vertices_(n_input_vertices),
        n_output_vertices_(n_output_vertices),
        terms_(std::move(terms)) {}

  util::StatusOr<std::vector<Eigen::Vector3f>> DeriveFrom(
      absl::Span<const Eigen::Vector3f> input_vertices) const override {
    RET_CHECK_EQ(input_vertices.size(), n_input_vertices_)
        << "Expected " << n_input_vertices_ << " input vertices, got " << input_vertices.size()
        << "!";
    std::vector<Eigen::Vector3f> output(n_output_vertices_, Eigen::Vector3f::Zero());
    for (const Term& term : terms_) {
      output[term.output_vertex_index] += input_vertices[term.input_vertex_id] * term.weight;
    }
    return output;
  }

 private:
  // The largest input id used plus 1.
  const int32_t n_input_vertices_;
  const int32_t n_output_vertices_;
  // By output vertex, then in basis order.
  const std::vector<Term> terms_;
};

// The inverse of a linear combination: the inputs are the derived vertices of a dense
// n x n derivation matrix, the outputs the vertices it was made of.
class LinearInversedVertexDeriver : public VertexDeriver {
 public:
  explicit LinearInversedVertexDeriver(Eigen::MatrixXd inversed_matrix)
      : inversed_matrix_(std::move(inversed_matrix)) {}

  util::StatusOr<std::vector<Eigen::Vector3f>> DeriveFrom(
      absl::Span<const Eigen::Vector3f> input_vertices) const override {
    RET_CHECK(input_vertices.size() == inversed_matrix_.cols());
    Eigen::MatrixX3d inputs(input_vertices.size(), 3);
    for (size_t i = 0; i < input_vertices.size(); ++i) {
      inputs.row(i) = input_vertices[i].cast<double>().transpose();
    }
    const Eigen::MatrixX3d outputs = inversed_matrix_ * inputs;
    std::vector<Eigen::Vector3f> output(outputs.rows());
    for (Eigen::Index k = 0; k < outputs.rows(); ++k) {
      output[k] = outputs.row(k).transpose().cast<float>();
    }
    return output;
  }

 private:
  // Rows: output vertices; columns: input vertices.
  const Eigen::MatrixXd inversed_matrix_;
};

// Feeds each deriver's output to the next; an empty chain returns its input.
class SequentialVertexDeriver : public VertexDeriver {
 public:
  explicit SequentialVertexDeriver(std::vector<std::unique_ptr<VertexDeriver>> derivers)
      : derivers_(std::move(derivers)) {}

  util::StatusOr<std::vector<Eigen::Vector3f>> DeriveFrom(
      absl::Span<const Eigen::Vector3f> input_vertices) const override {
    std::vector<Eigen::Vector3f> vertices(input_vertices.begin(), input_vertices.end());
    for (size_t k = 0; k < derivers_.size(); ++k) {
      util::StatusOr<std::vector<Eigen::Vector3f>> derived = derivers_[k]->DeriveFrom(vertices);
      RETURN_IF_ERROR(derived.status()) << "while calling a lower-level vertex deriver #" << k;
      vertices = *std::move(derived);
    }
    return vertices;
  }

 private:
  const std::vector<std::unique_ptr<VertexDeriver>> derivers_;
};

// The checks that every derived vertex entry must pass.
absl::Status ValidateWeightedDerivedVertex(const WeightedDerivedVertices& weighted_derived_vertices,
                                           int32_t i) {
  RET_CHECK(weighted_derived_vertices[i])
      << "All weighted derived vertices must be non-null! This condition fails for the item #" << i
      << "!";
  const std::vector<uint16_t>& input_vertex_basis =
      weighted_derived_vertices[i]->input_vertex_basis;
  const std::vector<float>& input_vertex_weights =
      weighted_derived_vertices[i]->input_vertex_weights;
  RET_CHECK_EQ(input_vertex_basis.size(), input_vertex_weights.size())
      << "`input_vertex_basis` and `input_vertex_weights` array fields must have equal length! "
         "This condition fails for the item #"
      << i << "!";
  return absl::OkStatus();
}

absl::Status BuildLinearDirectVertexDeriver(
    const WeightedDerivedVertices& weighted_derived_vertices,
    std::unique_ptr<VertexDeriver>* deriver) {
  int32_t n_input_vertices = 0;
  std::vector<LinearDirectVertexDeriver::Term> terms;
  const int32_t n_output_vertices = static_cast<int32_t>(weighted_derived_vertices.size());
  for (int32_t i = 0; i < n_output_vertices; ++i) {
    RETURN_IF_ERROR(ValidateWeightedDerivedVertex(weighted_derived_vertices, i));
    const WeightedDerivedVertexT& vertex = *weighted_derived_vertices[i];
    for (size_t j = 0; j < vertex.input_vertex_basis.size(); ++j) {
      const int32_t input_vertex_id = vertex.input_vertex_basis[j];
      terms.push_back({input_vertex_id, i, vertex.input_vertex_weights[j]});
      n_input_vertices = std::max(n_input_vertices, input_vertex_id + 1);
    }
  }
  *deriver = std::make_unique<LinearDirectVertexDeriver>(n_input_vertices, n_output_vertices,
                                                         std::move(terms));
  return absl::OkStatus();
}

absl::Status BuildLinearDirectVertexDerivationMatrix(
    const WeightedDerivedVertices& weighted_derived_vertices, Eigen::MatrixXd* matrix) {
  RET_CHECK(!weighted_derived_vertices.empty())
      << "There must be at least one weighted derived vertex!";
  const int32_t n_in_out_vertices = static_cast<int32_t>(weighted_derived_vertices.size());
  *matrix = Eigen::MatrixXd::Zero(n_in_out_vertices, n_in_out_vertices);
  for (int32_t i = 0; i < n_in_out_vertices; ++i) {
    RETURN_IF_ERROR(ValidateWeightedDerivedVertex(weighted_derived_vertices, i));
    const WeightedDerivedVertexT& vertex = *weighted_derived_vertices[i];
    for (size_t j = 0; j < vertex.input_vertex_basis.size(); ++j) {
      const int32_t input_vertex_id = vertex.input_vertex_basis[j];
      RET_CHECK_LT(input_vertex_id, n_in_out_vertices)
          << "All input vertex ids must be less than " << n_in_out_vertices
          << "! This condition fails for the item #" << j << " of the derived vertex #" << i << "!";
      // A repeated id keeps the weight of its last occurrence.
      (*matrix)(i, input_vertex_id) = vertex.input_vertex_weights[j];
    }
  }
  return absl::OkStatus();
}

absl::Status BuildLinearInversedVertexDeriver(
    const WeightedDerivedVertices& weighted_derived_vertices,
    std::unique_ptr<VertexDeriver>* deriver) {
  Eigen::MatrixXd matrix;
  RETURN_IF_ERROR(BuildLinearDirectVertexDerivationMatrix(weighted_derived_vertices, &matrix))
      << "while building a direct linear vertex derivation matrix!";
  // A singular matrix is not detected: its non-finite inverse flows into the vertices.
  *deriver = std::make_unique<LinearInversedVertexDeriver>(matrix.partialPivLu().inverse());
  return absl::OkStatus();
}

absl::Status BuildSequentialVertexDeriver(
    const std::vector<std::unique_ptr<VertexDerivationModelT>>& vertex_derivation_models,
    std::unique_ptr<VertexDeriver>* deriver) {
  std::vector<std::unique_ptr<VertexDeriver>> derivers;
  for (int32_t i = 0; i < static_cast<int32_t>(vertex_derivation_models.size()); ++i) {
    RET_CHECK(vertex_derivation_models[i])
        << "All vertex derivation models must be non-null! This condition fails for the item #" << i
        << "!";
    const VertexDerivationModelT& model = *vertex_derivation_models[i];
    std::unique_ptr<VertexDeriver> step;
    switch (model.derivation_type) {
      case VertexDerivationType_LINEAR_DIRECT:
        RETURN_IF_ERROR(BuildLinearDirectVertexDeriver(model.weighted_derived_vertices, &step))
            << "while building linear direct vertex deriver from `vertex_derivation_models[" << i
            << "].weighted_derived_vertices`";
        break;
      case VertexDerivationType_LINEAR_INVERSED:
        RETURN_IF_ERROR(BuildLinearInversedVertexDeriver(model.weighted_derived_vertices, &step))
            << "while building linear inversed vertex deriver from `vertex_derivation_models[" << i
            << "].weighted_derived_vertices`";
        break;
      default:
        RET_CHECK_FAIL() << "Unknown vertex derivation type "
                         << static_cast<int>(model.derivation_type)
                         << "! This condition fails for the item #" << i << "!";
    }
    derivers.push_back(std::move(step));
  }
  *deriver = std::make_unique<SequentialVertexDeriver>(std::move(derivers));
  return absl::OkStatus();
}

absl::Status BuildVertexDeriver(const FaceModelT& face_model,
                                std::unique_ptr<VertexDeriver>* deriver) {
  RET_CHECK(face_model.linear_direct_derived_vertices.empty() ||
            face_model.vertex_derivation_models.empty())
      << "{linear_direct_derived_vertices, vertex_derivation_models} fields are mutually "
         "exclusive!";
  if (!face_model.linear_direct_derived_vertices.empty()) {
    RETURN_IF_ERROR(
        BuildLinearDirectVertexDeriver(face_model.linear_direct_derived_vertices, deriver))
        << "while building linear direct vertex deriver from `linear_direct_derived_vertices`!";
    return absl::OkStatus();
  }
  RETURN_IF_ERROR(BuildSequentialVertexDeriver(face_model.vertex_derivation_models, deriver))
      << "while building sequential vertex deriver from `vertex_derivation_models`!";
  return absl::OkStatus();
}

}  // namespace

util::StatusOr<std::unique_ptr<VertexDeriver>> CreateVertexDeriver(const FaceModelT& face_model) {
  std::unique_ptr<VertexDeriver> deriver;
  RETURN_IF_ERROR(BuildVertexDeriver(face_model, &deriver)) << "while building vertex deriver!";
  return deriver;
}

}  // namespace face_transform
}  // namespace quorrel
