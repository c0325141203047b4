#include "face_geometry/face_transform_pipeline.h"

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "face_geometry/testing/projected_landmarks.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tools/canonical_face_model.h"

namespace quorrel {
namespace face_transform {
namespace {

using ::testing::EndsWith;

using testing::EulerRotation;

constexpr float kDegrees = 3.14159265358979323846f / 180.0f;
using testing::ProjectToScreen;

std::vector<Eigen::Vector3f> MakeLandmarks(const FaceModelT& model, const CameraParameters& camera,
                                           const Eigen::Matrix3f& rotation,
                                           const Eigen::Vector3f& translation) {
  return testing::ProjectedLandmarks(model, camera, 640, 480, rotation, translation);
}

class FaceTransformPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override { model_ = tools::MakeCanonicalFaceModel(); }
  std::unique_ptr<FaceModelT> model_;
};

TEST_F(FaceTransformPipelineTest, CameraFrameMeshReprojectsOntoTheLandmarks) {
  auto parameters = CreateCameraFrameSpaceParameters(640, 480);
  ASSERT_TRUE(parameters.ok());
  auto handler = Handler::Create(*parameters, *model_);
  ASSERT_TRUE(handler.ok()) << handler.status();
  const CameraParameters camera = (*handler)->GetSpaceTransform().camera_parameters;
  const std::vector<Eigen::Vector3f> landmarks =
      MakeLandmarks(*model_, camera, EulerRotation(-10, 25, 5), Eigen::Vector3f(4, -3, -55));

  auto transform = (*handler)->GetTransform(landmarks);
  ASSERT_TRUE(transform.ok()) << transform.status();
  ASSERT_EQ(transform->mesh.vertices.size(), landmarks.size());
  for (size_t i = 0; i < landmarks.size(); ++i) {
    const Eigen::Vector2f screen = ProjectToScreen(transform->camera_parameters,
                                                   transform->mesh.vertices[i].position, 640, 480);
    ASSERT_TRUE(screen.isApprox(landmarks[i].head<2>(), 1e-5))
        << i << ": " << screen.transpose() << " vs " << landmarks[i].head<2>().transpose();
  }
  EXPECT_EQ(transform->region_transforms.size(), 4u);
  EXPECT_EQ(transform->region_transforms_z_rotation_only.size(), 4u);
  ASSERT_EQ(transform->trigger_values.size(), 1u);
  EXPECT_EQ(transform->trigger_values.begin()->second, 0.0f);  // the mouth is closed

  auto again = (*handler)->GetTransform(landmarks);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->region_transforms.at(FaceRegion{1}),
            transform->region_transforms.at(FaceRegion{1}));
}

TEST_F(FaceTransformPipelineTest, MetricSpaceRecoversAKnownPose) {
  auto parameters = CreateMetricSpaceParameters(640, 480);
  ASSERT_TRUE(parameters.ok());
  auto handler = Handler::Create(*parameters, *model_);
  ASSERT_TRUE(handler.ok()) << handler.status();
  EXPECT_EQ((*handler)->GetSpaceTransform().space_transform, Eigen::Matrix4f::Identity());
  const CameraParameters camera = (*handler)->GetSpaceTransform().camera_parameters;
  const Eigen::Matrix3f rotation = EulerRotation(15, -20, 10);
  const Eigen::Vector3f translation(-5, 2, -60);

  auto transform = (*handler)->GetTransform(MakeLandmarks(*model_, camera, rotation, translation));
  ASSERT_TRUE(transform.ok()) << transform.status();
  // The landmarks' depth is relative and on the scale of the face as a whole, so the fit is
  // close, not exact: within a degree or two, a centimetre at 60 cm and a few percent in
  // scale; the small nose and forehead regions are looser than the whole face.
  const std::map<int, std::vector<int>> anchors = {
      {0, {tools::kNoseTipVertex, tools::kLeftForeheadVertex, tools::kRightForeheadVertex}},
      {1, {tools::kNoseTipVertex}},
      {2, {tools::kLeftForeheadVertex}},
      {3, {tools::kRightForeheadVertex}}};
  ASSERT_EQ(transform->region_transforms.size(), anchors.size());
  for (const auto& [region, pose] : transform->region_transforms) {
    SCOPED_TRACE(region);
    const float tolerance = region == 0 ? 1.0f : 2.0f;
    const Eigen::Matrix3f scaled_rotation = pose.topLeftCorner<3, 3>();
    const float scale = scaled_rotation.col(0).norm();
    EXPECT_NEAR(scale, 1.0f, 0.02f * tolerance);
    const Eigen::AngleAxisf error(rotation.transpose() * scaled_rotation / scale);
    EXPECT_LT(error.angle(), 2.0f * tolerance * kDegrees) << pose;
    // The pose carries the region's anchors where the known pose does.
    for (const int vertex : anchors.at(region)) {
      const Eigen::Vector3f p(model_->vertex_positions[3 * vertex],
                              model_->vertex_positions[3 * vertex + 1],
                              model_->vertex_positions[3 * vertex + 2]);
      const Eigen::Vector3f placed = (pose * p.homogeneous()).head<3>();
      EXPECT_LT((placed - (rotation * p + translation)).norm(), 1.0f) << vertex;
    }
  }
}

TEST_F(FaceTransformPipelineTest, EmptyLandmarksAreRefused) {
  auto handler = Handler::Create(*CreateCameraFrameSpaceParameters(640, 480), *model_);
  ASSERT_TRUE(handler.ok());
  auto transform = (*handler)->GetTransform({});
  ASSERT_FALSE(transform.ok());
  EXPECT_EQ(transform.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(transform.status().message(), "Screen space vertex list is empty!");
}

TEST_F(FaceTransformPipelineTest, SpaceTransformOfTheFaceModel) {
  // Focal distance 500 in metric space with near_z 500.
  const SpaceParameters metric =
      *CreateMetricSpaceParameters(640, 480, absl::nullopt, absl::nullopt, 500.0f);
  model_->metric_space_model->transform_type = SpaceTransformType_FOCAL_DISTANCE;
  model_->metric_space_model->focal_distance_transform_model =
      std::make_unique<FocalDistanceTransformModelT>();
  FocalDistanceTransformModelT& focal = *model_->metric_space_model->focal_distance_transform_model;
  focal.translation_z = -10;
  focal.target_focal_distance = 50;
  auto handler = Handler::Create(metric, *model_);
  ASSERT_TRUE(handler.ok()) << handler.status();
  Eigen::Matrix4f expected = Eigen::Matrix4f::Identity() * 10;
  expected(3, 3) = 1;
  expected(2, 3) = -100;
  EXPECT_TRUE((*handler)->GetSpaceTransform().space_transform.isApprox(expected));

  model_->metric_space_model.reset();
  handler = Handler::Create(metric, *model_);
  ASSERT_TRUE(handler.ok());
  EXPECT_EQ((*handler)->GetSpaceTransform().space_transform, Eigen::Matrix4f::Identity());
}

TEST_F(FaceTransformPipelineTest, CreationErrors) {
  struct Case {
    std::string name;
    void (*spoil)(FaceModelT&);
    absl::StatusCode code;
    std::string message_end;
  };
  const Case cases[] = {
      {"zero target focal distance",
       [](FaceModelT& m) {
         m.camera_frame_space_model->focal_distance_transform_model->target_focal_distance = 0;
       },
       absl::StatusCode::kInvalidArgument,
       "Target focal distance must be positive! Got 0; while creating space transform!"},
      {"unknown space transform type",
       [](FaceModelT& m) {
         m.camera_frame_space_model->transform_type = static_cast<SpaceTransformType>(5);
       },
       absl::StatusCode::kInternal,
       "Unknown space transform type! Got 5; while creating space transform!"},
      {"focal distance transform without its model",
       [](FaceModelT& m) { m.camera_frame_space_model->focal_distance_transform_model.reset(); },
       absl::StatusCode::kInternal,
       "A focal distance space transform needs its model!; while creating space transform!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto model = tools::MakeCanonicalFaceModel();
    c.spoil(*model);
    auto handler = Handler::Create(*CreateCameraFrameSpaceParameters(640, 480), *model);
    ASSERT_FALSE(handler.ok());
    EXPECT_EQ(handler.status().code(), c.code);
    EXPECT_THAT(std::string(handler.status().message()), EndsWith(c.message_end));
  }
}

Eigen::Matrix4f Pose(const Eigen::Matrix3f& rotation, const Eigen::Vector3f& scale,
                     const Eigen::Vector3f& translation) {
  Eigen::Matrix4f pose = Eigen::Matrix4f::Identity();
  pose.topLeftCorner<3, 3>() = rotation * scale.asDiagonal();
  pose.block<3, 1>(0, 3) = translation;
  return pose;
}

TEST(KeepZRotationOnlyTest, KeepsTheRotationAboutZ) {
  const Eigen::Vector3f t(1, 2, 3);
  const Eigen::Vector3f two(2, 2, 2);
  const Eigen::Vector3f lengths(1, 2, 3);
  struct Case {
    std::string name;
    Eigen::Matrix4f pose;
    Eigen::Matrix4f expected;
  };
  const Case cases[] = {
      {"about z, scaled", Pose(EulerRotation(0, 0, 30), two, t),
       Pose(EulerRotation(0, 0, 30), two, t)},
      {"z after x", Pose(EulerRotation(10, 0, 40), two, t), Pose(EulerRotation(0, 0, 40), two, t)},
      {"gimbal lock", Pose(EulerRotation(0, 90, 0), two, t),
       Pose(Eigen::Matrix3f::Identity(), two, t)},
      {"about x only", Pose(EulerRotation(20, 0, 0), lengths, t),
       Pose(Eigen::Matrix3f::Identity(), lengths, t)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(KeepZRotationOnly(c.pose).isApprox(c.expected, 1e-5))
        << KeepZRotationOnly(c.pose) << "\nexpected\n"
        << c.expected;
  }
  Eigen::Matrix4f zero_column = Pose(Eigen::Matrix3f::Identity(), two, t);
  zero_column.col(0).setZero();
  EXPECT_FALSE(KeepZRotationOnly(zero_column).allFinite());
}

}  // namespace
}  // namespace face_transform
}  // namespace quorrel
