#include "face_geometry/vertex_deriver.h"

#include <string>
#include <utility>
#include <vector>

#include "base/status.h"
#include "face_geometry/face_model_generated.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace quorrel {
namespace face_transform {
namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using Vertices = std::vector<Eigen::Vector3f>;

std::unique_ptr<WeightedDerivedVertexT> Derived(std::vector<uint16_t> basis,
                                                std::vector<float> weights) {
  auto vertex = std::make_unique<WeightedDerivedVertexT>();
  vertex->input_vertex_basis = std::move(basis);
  vertex->input_vertex_weights = std::move(weights);
  return vertex;
}

std::unique_ptr<VertexDerivationModelT> Step(
    VertexDerivationType type, std::vector<std::unique_ptr<WeightedDerivedVertexT>> vertices) {
  auto model = std::make_unique<VertexDerivationModelT>();
  model->derivation_type = type;
  model->weighted_derived_vertices = std::move(vertices);
  return model;
}

template <typename... T>
std::vector<std::unique_ptr<WeightedDerivedVertexT>> List(T... vertices) {
  std::vector<std::unique_ptr<WeightedDerivedVertexT>> list;
  (list.push_back(std::move(vertices)), ...);
  return list;
}

Vertices Sequence(int n) {
  Vertices vertices;
  for (int i = 0; i < n; ++i) vertices.emplace_back(i, 2 * i, -i);
  return vertices;
}

TEST(VertexDeriverTest, ModelWithoutDerivationsPassesInputThrough) {
  auto deriver = CreateVertexDeriver(FaceModelT());
  ASSERT_TRUE(deriver.ok()) << deriver.status();
  for (int n : {0, 5}) {
    auto derived = (*deriver)->DeriveFrom(Sequence(n));
    ASSERT_TRUE(derived.ok());
    EXPECT_EQ(*derived, Sequence(n));
  }
}

TEST(VertexDeriverTest, LinearDirectSumsWeightedInputsAndNeedsExactInputCount) {
  FaceModelT model;
  model.linear_direct_derived_vertices =
      List(Derived({467}, {1}), Derived({0, 2}, {0.5f, 0.5f}),
           Derived({1, 1}, {2, 3}));  // a repeated id adds both terms
  auto deriver = CreateVertexDeriver(model);
  ASSERT_TRUE(deriver.ok()) << deriver.status();

  auto derived = (*deriver)->DeriveFrom(Sequence(468));
  ASSERT_TRUE(derived.ok()) << derived.status();
  EXPECT_EQ(*derived, (Vertices{{467, 934, -467}, {1, 2, -1}, {5, 10, -5}}));

  for (int n : {467, 469}) {
    auto failed = (*deriver)->DeriveFrom(Sequence(n));
    EXPECT_THAT(std::string(failed.status().message()),
                AllOf(HasSubstr("(input_vertices.size())==(n_input_vertices_)"),
                      HasSubstr("Expected 468 input vertices, got " + std::to_string(n) + "!")));
  }
}

TEST(VertexDeriverTest, ChainAppliesStepsInOrderAndInversedUndoesDerivation) {
  // Step 0 makes (v0 + v1, v1, 2 v2) from three inputs; step 1 inverts that combination
  // (the second weight of id 0 in its first entry replaces the first), so the chain
  // gives the inputs back.
  FaceModelT model;
  model.vertex_derivation_models.push_back(
      Step(VertexDerivationType_LINEAR_DIRECT,
           List(Derived({0, 1}, {1, 1}), Derived({1}, {1}), Derived({2}, {2}))));
  model.vertex_derivation_models.push_back(
      Step(VertexDerivationType_LINEAR_INVERSED,
           List(Derived({0, 1, 0}, {9, 1, 1}), Derived({1}, {1}), Derived({2}, {2}))));
  auto deriver = CreateVertexDeriver(model);
  ASSERT_TRUE(deriver.ok()) << deriver.status();
  const Vertices input = {{1, 2, 3}, {-4, 0.5f, 6}, {7, 8, -9}};
  auto derived = (*deriver)->DeriveFrom(input);
  ASSERT_TRUE(derived.ok()) << derived.status();
  ASSERT_EQ(derived->size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE((*derived)[i].isApprox(input[i], 1e-6f)) << i;

  // The inversed step wants exactly as many inputs as its matrix has columns.
  FaceModelT failing;
  failing.vertex_derivation_models.push_back(
      Step(VertexDerivationType_LINEAR_DIRECT, List(Derived({0}, {1}), Derived({1}, {1}))));
  failing.vertex_derivation_models.push_back(
      Step(VertexDerivationType_LINEAR_INVERSED, List(Derived({0}, {1}))));
  auto failing_deriver = CreateVertexDeriver(failing);
  ASSERT_TRUE(failing_deriver.ok()) << failing_deriver.status();
  auto failed = (*failing_deriver)->DeriveFrom(Sequence(2));
  EXPECT_THAT(std::string(failed.status().message()),
              AllOf(HasSubstr("input_vertices.size() == inversed_matrix_.cols()"),
                    EndsWith("while calling a lower-level vertex deriver #1")));
}

TEST(VertexDeriverTest, MalformedModelsFailCreation) {
  const std::string kSequential =
      "; while building sequential vertex deriver from `vertex_derivation_models`!; while "
      "building vertex deriver!";
  struct Case {
    FaceModelT model;
    std::string message;
  };
  std::vector<Case> cases;
  {
    Case c;
    c.model.linear_direct_derived_vertices = List(Derived({0}, {1}));
    c.model.vertex_derivation_models.push_back(Step(VertexDerivationType_LINEAR_DIRECT, {}));
    c.message =
        "{linear_direct_derived_vertices, vertex_derivation_models} fields are mutually "
        "exclusive!; while building vertex deriver!";
    cases.push_back(std::move(c));
  }
  {
    Case c;
    for (int i = 0; i < 5; ++i) c.model.linear_direct_derived_vertices.push_back(Derived({0}, {1}));
    c.model.linear_direct_derived_vertices.push_back(Derived({0, 1}, {1}));
    c.message =
        "(input_vertex_basis.size())==(input_vertex_weights.size()) `input_vertex_basis` and "
        "`input_vertex_weights` array fields must have equal length! This condition fails for "
        "the item #5!; while building linear direct vertex deriver from "
        "`linear_direct_derived_vertices`!; while building vertex deriver!";
    cases.push_back(std::move(c));
  }
  {
    Case c;
    c.model.vertex_derivation_models.push_back(Step(VertexDerivationType_LINEAR_DIRECT, {}));
    c.model.vertex_derivation_models.push_back(Step(
        VertexDerivationType_LINEAR_INVERSED, List(Derived({0}, {1}), Derived({0, 2}, {1, 1}))));
    c.message =
        "(input_vertex_id)<(n_in_out_vertices) All input vertex ids must be less than 2! This "
        "condition fails for the item #1 of the derived vertex #1!; while building a direct "
        "linear vertex derivation matrix!; while building linear inversed vertex deriver from "
        "`vertex_derivation_models[1].weighted_derived_vertices`" +
        kSequential;
    cases.push_back(std::move(c));
  }
  {
    Case c;
    c.model.vertex_derivation_models.push_back(Step(VertexDerivationType_LINEAR_INVERSED, {}));
    c.message =
        "There must be at least one weighted derived vertex!; while building a direct linear "
        "vertex derivation matrix!";
    cases.push_back(std::move(c));
  }
  {
    Case c;
    c.model.vertex_derivation_models.push_back(
        Step(VertexDerivationType_LINEAR_DIRECT, List(Derived({0}, {1}), nullptr)));
    c.message =
        "weighted_derived_vertices[i] All weighted derived vertices must be non-null! This "
        "condition fails for the item #1!; while building linear direct vertex deriver from "
        "`vertex_derivation_models[0].weighted_derived_vertices`" +
        kSequential;
    cases.push_back(std::move(c));
  }
  {
    Case c;
    c.model.vertex_derivation_models.push_back(Step(VertexDerivationType_LINEAR_DIRECT, {}));
    c.model.vertex_derivation_models.push_back(nullptr);
    c.message =
        "vertex_derivation_models[i] All vertex derivation models must be non-null! This "
        "condition fails for the item #1!" +
        kSequential;
    cases.push_back(std::move(c));
  }
  {
    Case c;
    c.model.vertex_derivation_models.push_back(
        Step(static_cast<VertexDerivationType>(7), List(Derived({0}, {1}))));
    c.message = "Unknown vertex derivation type 7! This condition fails for the item #0!" +
                kSequential;
    cases.push_back(std::move(c));
  }
  for (const Case& c : cases) {
    auto deriver = CreateVertexDeriver(c.model);
    EXPECT_EQ(deriver.status().code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(deriver.status().message()),
                AllOf(HasSubstr("RET_CHECK failure (face_geometry/vertex_deriver:"),
                      HasSubstr(c.message)));
  }
}

}  // namespace
}  // namespace face_transform
}  // namespace quorrel
