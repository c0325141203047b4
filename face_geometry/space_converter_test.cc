#include "face_geometry/space_converter.h"

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace quorrel {
namespace face_transform {
namespace {

using ::testing::EndsWith;

const std::vector<Eigen::Vector3f> kModel = {{0, 0, 1}, {2, 0, 0}, {0, 3, 0.5f}, {-2, -1, 0.2f}};

FaceModelT MakeModel(const std::vector<Eigen::Vector3f>& positions, int camera_frame_method) {
  FaceModelT model;
  for (const Eigen::Vector3f& p : positions) {
    model.vertex_positions.insert(model.vertex_positions.end(), {p.x(), p.y(), p.z()});
  }
  model.camera_frame_space_depth_rescaling_method =
      static_cast<CameraFrameSpaceDepthRescalingMethod>(camera_frame_method);
  model.metric_space_depth_rescaling_method_model =
      std::make_unique<MetricSpaceDepthRescalingMethodModelT>();
  model.metric_space_depth_rescaling_method_model->iterative_scale_matching_method_model =
      std::make_unique<IterativeScaleMatchingMethodModelT>();
  model.metric_space_depth_rescaling_method_model->iterative_scale_matching_method_model
      ->procrustes_algorithm = 1;
  return model;
}

struct Space {
  SpaceParameters parameters;
  CameraParameters camera;
};

Space CameraFrameSpace(ScreenOriginLocation origin = kBottomLeftCorner) {
  auto parameters = CreateCameraFrameSpaceParameters(640, 480, absl::nullopt, absl::nullopt,
                                                     absl::nullopt, absl::nullopt, origin);
  auto camera = CreateCameraParameters(*parameters);
  return {*parameters, *camera};
}

Space MetricSpace() {
  auto parameters = CreateMetricSpaceParameters(640, 480);
  auto camera = CreateCameraParameters(*parameters);
  return {*parameters, *camera};
}

TEST(SpaceConverterTest, ClosestVertexGoesToTheFocalPlaneUnmoved) {
  const Space space = CameraFrameSpace(kTopLeftCorner);
  auto converter = SpaceConverter::Create(space.camera, space.parameters, MakeModel(kModel, 0));
  ASSERT_TRUE(converter.ok()) << converter.status();
  // Screen centre (320, 240) is the optical axis; z in pixels, the smallest is the closest.
  const std::vector<Eigen::Vector3f> screen = {{400, 200, -10}, {100, 50, 30}, {320, 240, 5}};
  auto face = (*converter)->ConvertScreenSpaceToFaceSpace(screen);
  ASSERT_TRUE(face.ok()) << face.status();
  const float f = space.camera.focal_distance;
  // One unit per pixel on the focal plane; y grows with the screen y (origin top-left).
  EXPECT_TRUE((*face)[0].isApprox(Eigen::Vector3f(80, -40, -f))) << (*face)[0].transpose();
  const float z1 = f + 40;
  EXPECT_TRUE((*face)[1].isApprox(Eigen::Vector3f(-220 * z1 / f, -190 * z1 / f, -z1)));
  EXPECT_TRUE((*face)[2].isApprox(Eigen::Vector3f(0, 0, -(f + 15))));
}

TEST(SpaceConverterTest, BottomLeftOriginFlipsY) {
  const Space space = CameraFrameSpace(kBottomLeftCorner);
  auto converter = SpaceConverter::Create(space.camera, space.parameters, MakeModel(kModel, 0));
  ASSERT_TRUE(converter.ok());
  auto face = (*converter)->ConvertScreenSpaceToFaceSpace({{320, 0, 0}});
  ASSERT_TRUE(face.ok());
  EXPECT_TRUE((*face)[0].isApprox(Eigen::Vector3f(0, 240, -space.camera.focal_distance)));
}

TEST(SpaceConverterTest, ExtentsMethodMatchesTheModelsProportions) {
  const Space space = CameraFrameSpace();
  auto converter = SpaceConverter::Create(space.camera, space.parameters, MakeModel(kModel, 1));
  ASSERT_TRUE(converter.ok()) << converter.status();
  // The model's depth/width is 1/4 and depth/height 1/4; this face is 100 wide, 50 high and
  // 10 deep, so its depth becomes 1.2 * 100 / 4 = 30.
  auto face = (*converter)->ConvertScreenSpaceToFaceSpace({{270, 240, 0}, {370, 290, 10}});
  ASSERT_TRUE(face.ok()) << face.status();
  EXPECT_NEAR((*face)[0].z(), -space.camera.focal_distance, 1e-3);
  EXPECT_NEAR((*face)[1].z(), -space.camera.focal_distance - 30, 1e-3);
}

TEST(SpaceConverterTest, FlatModelOnlyWarns) {
  const Space space = CameraFrameSpace();
  auto converter = SpaceConverter::Create(space.camera, space.parameters,
                                          MakeModel({{0, 0, 1}, {1, 0, 1}, {0, 1, 1}}, 1));
  EXPECT_TRUE(converter.ok()) << converter.status();
}

TEST(SpaceConverterTest, ConversionErrors) {
  const Space space = CameraFrameSpace();
  auto converter = SpaceConverter::Create(space.camera, space.parameters, MakeModel(kModel, 1));
  ASSERT_TRUE(converter.ok());
  const char* kFlat =
      "Failed to approximate Z-axis scale factor as original Z coordinates are too close to each "
      "other!; while approximating depth scaling factor!; while rescaling depth!";
  for (const auto& screen :
       {std::vector<Eigen::Vector3f>{{1, 2, 3}, {4, 5, 3}}, std::vector<Eigen::Vector3f>{}}) {
    auto face = (*converter)->ConvertScreenSpaceToFaceSpace(screen);
    ASSERT_FALSE(face.ok());
    EXPECT_THAT(std::string(face.status().message()), EndsWith(kFlat));
  }
  // Method 0 leaves an empty list empty.
  converter = SpaceConverter::Create(space.camera, space.parameters, MakeModel(kModel, 0));
  ASSERT_TRUE(converter.ok());
  auto face = (*converter)->ConvertScreenSpaceToFaceSpace({});
  ASSERT_TRUE(face.ok());
  EXPECT_TRUE(face->empty());
}

TEST(SpaceConverterTest, MetricSpaceRecoversTheModelsSize) {
  const Space space = MetricSpace();
  auto converter = SpaceConverter::Create(space.camera, space.parameters, MakeModel(kModel, 0));
  ASSERT_TRUE(converter.ok()) << converter.status();
  // The model 50 units in front of the camera, projected to pixels with z on the x scale.
  const float pixels_per_unit = 640 / (space.camera.right - space.camera.left);
  std::vector<Eigen::Vector3f> screen;
  for (const Eigen::Vector3f& p : kModel) {
    const float depth = 50 - p.z();
    screen.emplace_back(320 + pixels_per_unit * p.x() / depth,
                        240 - pixels_per_unit * p.y() / depth, pixels_per_unit * -p.z() / 50);
  }
  auto face = (*converter)->ConvertScreenSpaceToFaceSpace(screen);
  ASSERT_TRUE(face.ok()) << face.status();
  for (size_t i = 0; i < kModel.size(); ++i) {
    EXPECT_TRUE((*face)[i].isApprox(kModel[i] - Eigen::Vector3f(0, 0, 50), 2e-2))
        << i << ": " << (*face)[i].transpose();
  }
  auto too_few = (*converter)->ConvertScreenSpaceToFaceSpace({screen[0], screen[1]});
  ASSERT_FALSE(too_few.ok());
  EXPECT_THAT(std::string(too_few.status().message()),
              EndsWith("Too few vertices for the depth matching basis! Expected at least 4, got "
                       "2!; while rescaling depth!"));
}

TEST(SpaceConverterTest, RejectsUnusableDepthRescaling) {
  struct Case {
    std::string name;
    bool metric;
    void (*spoil)(FaceModelT&);
    std::string message_end;
  };
  const Case cases[] = {
      {"no vertices", false, [](FaceModelT& m) { m.vertex_positions.clear(); },
       "Face model doesn't contain any vertices!; while creating camera frame space rescale "
       "depth function!"},
      {"no width", false,
       [](FaceModelT& m) {
         for (size_t i = 0; i < m.vertex_positions.size(); i += 3) m.vertex_positions[i] = 0;
       },
       "Face model width is too small!; while creating camera frame space rescale depth "
       "function!"},
      {"camera-frame method 2", false,
       [](FaceModelT& m) {
         m.camera_frame_space_depth_rescaling_method =
             static_cast<CameraFrameSpaceDepthRescalingMethod>(2);
       },
       "Unknown camera frame space depth rescaling method!; while creating camera frame space "
       "rescale depth function!"},
      {"no metric model", true,
       [](FaceModelT& m) { m.metric_space_depth_rescaling_method_model.reset(); },
       "; while creating camera frame space rescale depth function!"},
      {"metric method 1", true,
       [](FaceModelT& m) {
         m.metric_space_depth_rescaling_method_model->method =
             static_cast<MetricSpaceDepthRescalingMethod>(1);
       },
       "Unknown metric space depth rescaling method!; while creating camera frame space "
       "rescale depth function!"},
      {"weights of another length", true,
       [](FaceModelT& m) {
         auto& matching =
             *m.metric_space_depth_rescaling_method_model->iterative_scale_matching_method_model;
         matching.vertex_basis = {0, 1, 2, 3};
         matching.vertex_weights = {1, 1, 1};
       },
       "`vertex_weights` either be empty or match the `vertex_basis` list size.; while "
       "extracting or creating a vertex basis and weights!; while creating camera frame space "
       "rescale depth function!"},
      {"solver id", true,
       [](FaceModelT& m) {
         m.metric_space_depth_rescaling_method_model->iterative_scale_matching_method_model
             ->procrustes_algorithm = 9;
       },
       "; while selecting a Procrustes solver!; while creating camera frame space rescale "
       "depth function!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FaceModelT model = MakeModel(kModel, 1);
    c.spoil(model);
    const Space space = c.metric ? MetricSpace() : CameraFrameSpace();
    auto converter = SpaceConverter::Create(space.camera, space.parameters, model);
    ASSERT_FALSE(converter.ok());
    EXPECT_EQ(converter.status().code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(converter.status().message()), EndsWith(c.message_end));
  }
}

}  // namespace
}  // namespace face_transform
}  // namespace quorrel
