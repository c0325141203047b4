#include "face_geometry/space_parameters.h"

#include <string>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace quorrel {
namespace face_transform {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

TEST(SpaceParametersTest, CameraFrameDefaultsOn640x480) {
  auto parameters = CreateCameraFrameSpaceParameters(640, 480);
  ASSERT_TRUE(parameters.ok()) << parameters.status();
  EXPECT_FLOAT_EQ(parameters->vertical_fov_degrees, 63.0f);
  EXPECT_EQ(parameters->screen_origin_location, kBottomLeftCorner);

  auto camera = CreateCameraParameters(*parameters);
  ASSERT_TRUE(camera.ok()) << camera.status();
  EXPECT_NEAR(camera->focal_distance, 391.644f, 1e-3);
  EXPECT_NEAR(camera->near, 78.329f, 1e-3);
  EXPECT_NEAR(camera->far, 1958.22f, 1e-2);
  EXPECT_FLOAT_EQ(camera->left, -64.0f);
  EXPECT_FLOAT_EQ(camera->right, 64.0f);
  EXPECT_FLOAT_EQ(camera->bottom, -48.0f);
  EXPECT_FLOAT_EQ(camera->top, 48.0f);
  const Eigen::Matrix4f& p = camera->projection_matrix;
  EXPECT_NEAR(p(0, 0), 1.22389f, 1e-5);
  EXPECT_NEAR(p(1, 1), -1.63185f, 1e-5);
  EXPECT_NEAR(p(2, 2), -1.08333f, 1e-5);
  EXPECT_NEAR(p(2, 3), -163.185f, 1e-3);
  EXPECT_FLOAT_EQ(p(3, 2), -1.0f);
  EXPECT_FLOAT_EQ(p(3, 3), 0.0f);

  parameters->screen_origin_location = kTopLeftCorner;
  camera = CreateCameraParameters(*parameters);
  ASSERT_TRUE(camera.ok());
  EXPECT_NEAR(camera->projection_matrix(1, 1), 1.63185f, 1e-5);
}

TEST(SpaceParametersTest, MetricDefaultsOn640x480) {
  auto parameters = CreateMetricSpaceParameters(640, 480);
  ASSERT_TRUE(parameters.ok()) << parameters.status();
  auto camera = CreateCameraParameters(*parameters);
  ASSERT_TRUE(camera.ok()) << camera.status();
  EXPECT_FLOAT_EQ(camera->focal_distance, 1.0f);
  EXPECT_NEAR(camera->left, -0.81707f, 1e-5);
  EXPECT_NEAR(camera->right, 0.81707f, 1e-5);
  EXPECT_NEAR(camera->bottom, -0.61280f, 1e-5);
  EXPECT_NEAR(camera->top, 0.61280f, 1e-5);
  const Eigen::Matrix4f& p = camera->projection_matrix;
  EXPECT_NEAR(p(0, 0), 1.22389f, 1e-5);
  EXPECT_NEAR(p(1, 1), -1.63185f, 1e-5);
  EXPECT_NEAR(p(2, 2), -1.00040f, 1e-5);
  EXPECT_NEAR(p(2, 3), -2.00040f, 1e-5);
}

TEST(SpaceParametersTest, HorizontalFovBecomesVertical) {
  auto parameters = CreateCameraFrameSpaceParameters(640, 480, absl::nullopt, 90.0f);
  ASSERT_TRUE(parameters.ok()) << parameters.status();
  EXPECT_NEAR(parameters->vertical_fov_degrees, 73.74f, 1e-2);
}

TEST(SpaceParametersTest, PrincipalPointShiftsTheFrustum) {
  auto camera_frame = CreateCameraFrameSpaceParameters(
      640, 480, absl::nullopt, absl::nullopt, absl::nullopt, absl::nullopt, absl::nullopt, 10.0f);
  ASSERT_TRUE(camera_frame.ok());
  auto camera = CreateCameraParameters(*camera_frame);
  ASSERT_TRUE(camera.ok());
  const float k = camera->near / camera->focal_distance;
  EXPECT_NEAR(camera->left, -64.0f - 10.0f * k, 1e-4);
  EXPECT_NEAR(camera->right, 64.0f - 10.0f * k, 1e-4);

  auto metric = CreateMetricSpaceParameters(640, 480, absl::nullopt, absl::nullopt, absl::nullopt,
                                            absl::nullopt, absl::nullopt, 10.0f);
  ASSERT_TRUE(metric.ok());
  camera = CreateCameraParameters(*metric);
  ASSERT_TRUE(camera.ok());
  const float near_width = 2 * 0.81707f;
  EXPECT_NEAR(camera->left, -0.81707f - 10.0f * near_width / 640, 1e-5);
  EXPECT_NEAR(camera->right, 0.81707f - 10.0f * near_width / 640, 1e-5);
}

TEST(SpaceParametersTest, PrincipalPointMovesTheProjectionCentre) {
  // (px, py) = (10, 12): the frustum moves against the point, and the projection's centre
  // column follows, its y entry flipped with the screen origin.
  struct Case {
    ScreenOriginLocation origin;
    float y_sign;
  };
  for (const Case& c : {Case{kBottomLeftCorner, -1.0f}, Case{kTopLeftCorner, 1.0f}}) {
    auto parameters = CreateCameraFrameSpaceParameters(640, 480, absl::nullopt, absl::nullopt,
                                                       absl::nullopt, absl::nullopt, c.origin,
                                                       10.0f, 12.0f);
    ASSERT_TRUE(parameters.ok());
    auto camera = CreateCameraParameters(*parameters);
    ASSERT_TRUE(camera.ok());
    const float k = camera->near / camera->focal_distance;
    EXPECT_NEAR(camera->bottom, (-240.0f - 12.0f) * k, 1e-4);
    EXPECT_NEAR(camera->top, (240.0f - 12.0f) * k, 1e-4);
    const Eigen::Matrix4f& p = camera->projection_matrix;
    EXPECT_NEAR(p(0, 2), -20.0f / 640.0f, 1e-6);
    EXPECT_NEAR(p(1, 2), c.y_sign * -24.0f / 480.0f, 1e-6);
  }

  auto metric = CreateMetricSpaceParameters(640, 480, absl::nullopt, absl::nullopt, absl::nullopt,
                                            absl::nullopt, absl::nullopt, absl::nullopt, 12.0f);
  ASSERT_TRUE(metric.ok());
  auto camera = CreateCameraParameters(*metric);
  ASSERT_TRUE(camera.ok());
  const float near_height = 2 * 0.61280f;
  EXPECT_NEAR(camera->bottom, -0.61280f - 12.0f * near_height / 480, 1e-5);
  EXPECT_NEAR(camera->top, 0.61280f - 12.0f * near_height / 480, 1e-5);
  EXPECT_NEAR(camera->projection_matrix(1, 2), 24.0f / 480.0f, 1e-5);
}

struct ErrorCase {
  std::string name;
  absl::Status status;
  std::string message_end;
};

TEST(SpaceParametersTest, ErrorsCarryTheirContextsInnermostFirst) {
  CameraFrameSpaceParameters equal_factors;
  equal_factors.screen_width = 640;
  equal_factors.screen_height = 480;
  equal_factors.far_z_factor = equal_factors.near_z_factor;
  const ErrorCase cases[] = {
      {"zero width", CreateCameraFrameSpaceParameters(0, 480).status(),
       "Screen width must be positive!; while validating screen dimensions!; while validating "
       "common space parameters!; while validating camera frame space parameters!"},
      {"zero height", CreateMetricSpaceParameters(640, 0).status(),
       "Screen height must be positive!; while validating screen dimensions!; while validating "
       "common space parameters!; while validating metric space parameters!"},
      {"both angles", CreateCameraFrameSpaceParameters(640, 480, 60.0f, 60.0f).status(),
       "At least one of {@vertical_fov_degrees, @horizontal_fov_degrees} must be "
       "`absl::nullopt`!; while initializing common space parameters!"},
      {"horizontal 180", CreateMetricSpaceParameters(640, 480, absl::nullopt, 180.0f).status(),
       "FOV angle must be less than 180 degrees!; while validating horizontal FOV angle!; while "
       "converting horizontal FOV to vertical!; while initializing common space parameters!"},
      {"vertical NaN", CreateCameraFrameSpaceParameters(640, 480, std::nanf("")).status(),
       "FOV angle must be greater than 0 degrees!; while validating vertical FOV angle!; while "
       "validating common space parameters!; while validating camera frame space parameters!"},
      {"equal factors",
       CreateCameraFrameSpaceParameters(640, 480, absl::nullopt, absl::nullopt, 1.0f, 1.0f)
           .status(),
       "Near Z factor must be smaller than Far Z factor!; while validating Near- and Far Z "
       "factors!; while validating camera frame space parameters!"},
      {"zero near z",
       CreateMetricSpaceParameters(640, 480, absl::nullopt, absl::nullopt, 0.0f).status(),
       "Near Z must be positive!; while validating Near- and Far Z values!; while validating "
       "metric space parameters!"},
      {"camera of invalid parameters", CreateCameraParameters(equal_factors).status(),
       "Near Z factor must be smaller than Far Z factor!; while validating Near- and Far Z "
       "factors!; while validating camera frame space parameters!; while validation space "
       "parameters!"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(c.status.message()), EndsWith(c.message_end));
    EXPECT_THAT(std::string(c.status.message()), HasSubstr("RET_CHECK failure ("));
  }
}

}  // namespace
}  // namespace face_transform
}  // namespace quorrel
