#include "face_geometry/region_transform_estimator.h"

#include <memory>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace quorrel {
namespace face_transform {
namespace {

using ::testing::EndsWith;

const std::vector<Eigen::Vector3f> kCanonical = {
    {0, 0, 0}, {1, 0, 0.2f}, {0, 1.5f, 0.1f}, {-1, 0.3f, 0.5f}, {0.4f, -1, 1}, {0.2f, 0.2f, -0.7f}};

FaceModelT MakeModel() {
  FaceModelT model;
  for (const Eigen::Vector3f& p : kCanonical) {
    model.vertex_positions.insert(model.vertex_positions.end(), {p.x(), p.y(), p.z()});
  }
  return model;
}

std::unique_ptr<FaceRegionModelT> MakeRegion(int region, int method, uint32_t passes, int algorithm,
                                             bool weighted) {
  auto r = std::make_unique<FaceRegionModelT>();
  r->region = static_cast<uint8_t>(region);
  r->r_and_s_vertex_basis = {0, 1, 2, 3, 4, 5};
  if (weighted) r->r_and_s_vertex_weights = {1, 0.5f, 2, 1, 0.25f, 1};
  r->translation_vertex_basis = {2, 4};
  r->translation_vertex_weights = {3, 1};
  r->transform_estimation_method = static_cast<TransformEstimationMethod>(method);
  r->depth_rewrite_pass_count = passes;
  r->procrustes_algorithm = static_cast<uint8_t>(algorithm);
  return r;
}

TEST(RegionTransformEstimatorTest, ScaledAndShiftedCanonicalGivesTwiceIdentityAndTheShift) {
  const Eigen::Vector3f shift(3, -2, -40);
  std::vector<Eigen::Vector3f> observed;
  for (const Eigen::Vector3f& p : kCanonical) observed.push_back(2 * p + shift);

  struct Case {
    int method;
    uint32_t passes;
    int algorithm;
    bool weighted;
  };
  const Case cases[] = {{0, 0, 1, false}, {0, 0, 2, true}, {1, 3, 1, true}, {1, 2, 2, false}};
  FaceModelT model = MakeModel();
  for (int i = 0; i < 4; ++i) {
    const Case& c = cases[i];
    model.regions.push_back(MakeRegion(10 + i, c.method, c.passes, c.algorithm, c.weighted));
  }
  auto estimator = RegionTransformEstimator::Create(model);
  ASSERT_TRUE(estimator.ok()) << estimator.status();
  for (int call = 0; call < 2; ++call) {
    auto transforms = (*estimator)->Estimate(observed);
    ASSERT_TRUE(transforms.ok()) << transforms.status();
    ASSERT_EQ(transforms->size(), 4u);
    for (const auto& [region, m] : *transforms) {
      SCOPED_TRACE(region);
      EXPECT_TRUE((m.topLeftCorner<3, 3>().isApprox(2 * Eigen::Matrix3f::Identity(), 1e-4))) << m;
      EXPECT_TRUE((m.block<3, 1>(0, 3).isApprox(shift, 1e-4))) << m;
      EXPECT_EQ(m.row(3), Eigen::RowVector4f(0, 0, 0, 1));
    }
  }
}

TEST(RegionTransformEstimatorTest, WithoutRegionsTheMapIsEmpty) {
  auto estimator = RegionTransformEstimator::Create(MakeModel());
  ASSERT_TRUE(estimator.ok());
  auto transforms = (*estimator)->Estimate(kCanonical);
  ASSERT_TRUE(transforms.ok());
  EXPECT_TRUE(transforms->empty());
}

TEST(RegionTransformEstimatorTest, TooFewVerticesFailTheEstimate) {
  FaceModelT model = MakeModel();
  model.regions.push_back(MakeRegion(0, 0, 0, 1, false));
  auto estimator = RegionTransformEstimator::Create(model);
  ASSERT_TRUE(estimator.ok());
  const std::vector<Eigen::Vector3f> five(kCanonical.begin(), kCanonical.end() - 1);
  auto transforms = (*estimator)->Estimate(five);
  ASSERT_FALSE(transforms.ok());
  EXPECT_THAT(std::string(transforms.status().message()),
              EndsWith("Too few vertices for the region bases! Expected at least 6, got 5!"));
}

TEST(RegionTransformEstimatorTest, RejectsBrokenRegions) {
  struct Case {
    std::string name;
    void (*spoil)(FaceRegionModelT&);
    absl::StatusCode code;
    std::string message_end;
  };
  const Case cases[] = {
      {"weights of another length",
       [](FaceRegionModelT& r) {
         r.r_and_s_vertex_weights = {1, 2};
       },
       absl::StatusCode::kInternal,
       "!have_vertex_weights || n_vertex_weights == vertex_basis_sz ; while creating "
       "rotation-and-scale data for region 7!"},
      {"empty translation basis",
       [](FaceRegionModelT& r) {
         r.translation_vertex_basis.clear(), r.translation_vertex_weights.clear();
       },
       absl::StatusCode::kInternal, "; while creating translation data for region 7!"},
      {"vertex id", [](FaceRegionModelT& r) { r.r_and_s_vertex_basis[3] = 6; },
       absl::StatusCode::kInternal,
       "Vertex ID is too large for given face model!; while creating rotation-and-scale data for "
       "region 7!"},
      {"zero translation weight",
       [](FaceRegionModelT& r) {
         r.translation_vertex_weights = {1, -1};
       },
       absl::StatusCode::kInternal,
       "Translation vertex weights must not sum to 0!; while creating translation data for region "
       "7!"},
      {"method 2",
       [](FaceRegionModelT& r) {
         r.transform_estimation_method = static_cast<TransformEstimationMethod>(2);
       },
       absl::StatusCode::kInternal,
       "Unknown transform estimation method!; while creating transform estimation function for "
       "region 7!"},
      {"no pass",
       [](FaceRegionModelT& r) {
         r.transform_estimation_method =
             TransformEstimationMethod_MULTI_PASS_DEPTH_REWRITE_PROCRUSTES;
       },
       absl::StatusCode::kInternal,
       "Depth rewrite pass count must be positive!; while creating transform estimation function "
       "for region 7!"},
      {"solver id", [](FaceRegionModelT& r) { r.procrustes_algorithm = 3; },
       absl::StatusCode::kInternal, "; while selecting a Procrustes solver!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaceModelT model = MakeModel();
    model.regions.push_back(MakeRegion(7, 0, 0, 1, true));
    c.spoil(*model.regions.back());
    auto estimator = RegionTransformEstimator::Create(model);
    ASSERT_FALSE(estimator.ok());
    EXPECT_EQ(estimator.status().code(), c.code);
    EXPECT_THAT(std::string(estimator.status().message()), EndsWith(c.message_end));
  }
}

}  // namespace
}  // namespace face_transform
}  // namespace quorrel
