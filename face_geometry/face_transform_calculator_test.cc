#include "face_geometry/face_transform_calculator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

#include "base/status_macros.h"
#include "base/status_test_util.h"
#include "face_geometry/space_parameters.h"
#include "face_geometry/testing/projected_landmarks.h"
#include "gmock/gmock.h"
#include "gpu/gpu_buffer.h"
#include "gpu/image_frame.h"
#include "gpu/testing/file_log_sink.h"
#include "graph/calculator_graph.h"
#include "graph/tool/sink.h"
#include "gtest/gtest.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/foundation/scoped_test_folder.h"
#include "tools/canonical_face_model.h"

namespace pellumo {
namespace quorrel {
namespace {

namespace ft = ::quorrel::face_transform;
namespace fs = std::filesystem;
using sorvanti::Face;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Transforms = std::vector<absl::optional<ft::Transform>>;

GpuBuffer MakeFrame(int width, int height) {
  CVPixelBufferRef raw = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height, kCVPixelFormatType_32BGRA,
                                nullptr, &raw),
            kCVReturnSuccess);
  GpuBuffer frame(raw);
  CVPixelBufferRelease(raw);
  return frame;
}

// The camera of the default camera-frame space of a frame.
ft::CameraParameters DefaultCamera(int width, int height) {
  return ft::CreateCameraParameters(ft::CreateCameraFrameSpaceParameters(width, height).value())
      .value();
}

// The canonical face seen from 55 cm, as a detected face: landmarks normalised to the frame.
Face ProjectedFace(const ft::FaceModelT& model, int width, int height) {
  Face face;
  for (const Eigen::Vector3f& p : ft::testing::ProjectedLandmarks(
           model, DefaultCamera(width, height), width, height,
           ft::testing::EulerRotation(-10, 25, 5), Eigen::Vector3f(4, -3, -55))) {
    face.landmarks.push_back({p.x() / width, p.y() / height, p.z() / width});
  }
  return face;
}

Face FaceWithLandmarks(int count) {
  Face face;
  for (int i = 0; i < count; ++i) face.landmarks.push_back({0.1f * i, 0.05f * i, 0.01f * i});
  return face;
}

// What the node emitted at one timestamp (empty packets where only the bound moved).
struct Output {
  int64_t timestamp;
  kaldren::Packet transforms;
  kaldren::Packet space_transform;
};

class FaceTransformCalculatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = folder_.path();
    model_ = tools::MakeCanonicalFaceModel();
    WriteModel(*model_, "canonical.bin");
    options_.set_face_model_path((dir_ / "canonical.bin").string());
  }
  void TearDown() override {
    // A loader still waiting on a pipe gets an empty file and lets the graph go.
    if (!fifo_.empty()) {
      const int fd = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
    }
    graph_.reset();
  }

  void WriteModel(const ft::FaceModelT& model, const std::string& name) {
    const std::vector<uint8_t> bytes = tools::SerializeFaceModel(model);
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

  // A node with "FRAME", the face input `face_tag` (none when empty), and optionally space
  // parameters in and the space transform out.
  // With `image_frame` the frame arrives as a kaldren::ImageFrame on "IMAGE_FRAME".
  absl::Status Start(const std::string& face_tag, bool space_parameters, bool space_transform,
                     bool image_frame = false) {
    image_frame_ = image_frame;
    pellumo::CalculatorGraphConfig config;
    config.add_input_stream("frame");
    config.add_input_stream("tick");
    auto* node = config.add_node();
    node->set_calculator("QuorrelFaceTransformCalculator");
    node->add_input_stream(image_frame ? "IMAGE_FRAME:frame" : "FRAME:frame");
    std::vector<std::string> observed = {"tick"};
    if (!face_tag.empty()) {
      config.add_input_stream("faces");
      node->add_input_stream(face_tag + ":faces");
      node->add_output_stream(std::string(face_tag == "LANDMARKS" ? "FACE_TRANSFORM"
                                                                  : "MULTIPLE_FACE_TRANSFORMS") +
                              ":transforms");
      observed.push_back("transforms");
    }
    if (space_parameters) {
      config.add_input_stream("parameters");
      node->add_input_stream("FACE_SPACE_PARAMETERS:parameters");
    }
    if (space_transform) {
      node->add_output_stream("SPACE_TRANSFORM:space");
      observed.push_back("space");
    }
    *node->mutable_options()->MutableExtension(FaceTransformCalculatorOptions::ext) = options_;
    std::pair<std::string, kaldren::Packet> callback;
    kaldren::tool::AddMultiStreamCallback(
        observed,
        [this, observed](const std::vector<kaldren::Packet>& packets) {
          Output output{packets[0].Timestamp().Value(), {}, {}};
          for (size_t i = 1; i < observed.size(); ++i) {
            (observed[i] == "space" ? output.space_transform : output.transforms) = packets[i];
          }
          std::lock_guard<std::mutex> lock(mutex_);
          outputs_.push_back(std::move(output));
        },
        &config, &callback);
    graph_ = std::make_unique<kaldren::CalculatorGraph>();
    RETURN_IF_ERROR(graph_->Initialize(config));
    return graph_->StartRun({callback});
  }

  // Sends whatever is given at `t`, and the tick.
  template <typename FacesPayload = std::vector<Face>>
  absl::Status Send(int64_t t, absl::optional<std::pair<int, int>> frame_size,
                    absl::optional<std::type_identity_t<FacesPayload>> faces = absl::nullopt,
                    absl::optional<ft::SpaceParameters> parameters = absl::nullopt) {
    const kaldren::Timestamp ts(t);
    if (frame_size && image_frame_) {
      RETURN_IF_ERROR(Add("frame", kaldren::MakePacket<kaldren::ImageFrame>(
                                       ImageFormat::RGBA8, frame_size->first, frame_size->second)
                                       .At(ts)));
    } else if (frame_size) {
      RETURN_IF_ERROR(Add("frame", kaldren::MakePacket<GpuBuffer>(
                                       MakeFrame(frame_size->first, frame_size->second))
                                       .At(ts)));
    }
    if (faces) {
      RETURN_IF_ERROR(Add("faces", kaldren::MakePacket<FacesPayload>(*faces).At(ts)));
    }
    if (parameters) {
      RETURN_IF_ERROR(Add("parameters", kaldren::MakePacket<ft::SpaceParameters>(*parameters).At(ts)));
    }
    return Add("tick", kaldren::MakePacket<int>(0).At(ts));
  }
  absl::Status Add(const std::string& stream, kaldren::Packet packet) {
    return graph_->AddPacketToInputStream(stream, std::move(packet));
  }
  absl::Status Finish() {
    RETURN_IF_ERROR(graph_->CloseAllInputStreams());
    return graph_->WaitUntilDone();
  }

  std::vector<Output> Outputs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_;
  }
  const Output& At(int64_t t) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Output& o : outputs_) {
      if (o.timestamp == t) return o;
    }
    ADD_FAILURE() << "no output at " << t;
    static const Output none{};
    return none;
  }

  platform::foundation::ScopedTestFolder folder_;
  fs::path dir_;
  std::string fifo_;
  std::unique_ptr<ft::FaceModelT> model_;
  FaceTransformCalculatorOptions options_;
  std::unique_ptr<kaldren::CalculatorGraph> graph_;
  bool image_frame_ = false;
  std::mutex mutex_;
  std::vector<Output> outputs_;
};

// An image frame gives its size as a GPU buffer does: the same face fits the same way, and the
// space follows the frame's size.
TEST_F(FaceTransformCalculatorTest, ImageFrameInputGivesTheFrameSize) {
  const Face face = ProjectedFace(*model_, 640, 480);
  std::vector<Output> runs[2];
  for (bool image_frame : {false, true}) {
    outputs_.clear();
    ASSERT_OK(Start("MULTIPLE_3D_FACES", false, true, image_frame));
    ASSERT_OK(Send(1, std::make_pair(640, 480), std::vector<Face>{face}));
    ASSERT_OK(Send(2, std::make_pair(480, 640), std::vector<Face>{}));
    ASSERT_OK(Finish());
    runs[image_frame] = Outputs();
  }
  ASSERT_EQ(runs[1].size(), 2u);
  const auto& from_image = At(1).transforms.Get<Transforms>();
  ASSERT_EQ(from_image.size(), 1u);
  ASSERT_TRUE(from_image[0].has_value());
  const auto& from_buffer = runs[0][0].transforms.Get<Transforms>();
  ASSERT_TRUE(from_buffer[0].has_value());
  EXPECT_TRUE(from_image[0]->region_transforms.at(ft::FaceRegion(0))
                  .isApprox(from_buffer[0]->region_transforms.at(ft::FaceRegion(0))));
  for (int i : {0, 1}) {
    EXPECT_EQ(runs[1][i].space_transform.Get<ft::SpaceTransform>().camera_parameters.projection_matrix,
              runs[0][i].space_transform.Get<ft::SpaceTransform>().camera_parameters.projection_matrix)
        << "timestamp " << i + 1;
  }
  EXPECT_NE(runs[1][0].space_transform.Get<ft::SpaceTransform>().camera_parameters.projection_matrix,
            runs[1][1].space_transform.Get<ft::SpaceTransform>().camera_parameters.projection_matrix);
}

// Only one frame input and the first face input are declared: a node with a second one is
// refused when the graph is set up.
TEST_F(FaceTransformCalculatorTest, TwoFrameInputsOrTwoFaceInputsAreRefused) {
  struct Case {
    const char* name;
    std::vector<std::string> inputs;
    const char* output;
    bool valid;
  };
  const Case cases[] = {
      {"one of each", {"IMAGE_FRAME:image", "MULTIPLE_3D_FACES:b"}, "MULTIPLE_FACE_TRANSFORMS",
       true},
      {"two frames", {"FRAME:frame", "IMAGE_FRAME:image", "MULTIPLE_3D_FACES:b"},
       "MULTIPLE_FACE_TRANSFORMS", false},
      {"landmarks and faces", {"FRAME:frame", "LANDMARKS:a", "MULTIPLE_FACES:b"},
       "FACE_TRANSFORM", false},
      {"2D and 3D faces", {"FRAME:frame", "MULTIPLE_2D_FACES:a", "MULTIPLE_3D_FACES:b"},
       "MULTIPLE_FACE_TRANSFORMS", false},
  };
  for (const Case& c : cases) {
    pellumo::CalculatorGraphConfig config;
    auto* node = config.add_node();
    node->set_calculator("QuorrelFaceTransformCalculator");
    for (const std::string& input : c.inputs) {
      config.add_input_stream(input.substr(input.find(':') + 1));
      node->add_input_stream(input);
    }
    node->add_output_stream(std::string(c.output) + ":transforms");
    kaldren::CalculatorGraph graph;
    const absl::Status status = graph.Initialize(config);
    EXPECT_EQ(status.ok(), c.valid) << c.name << ": " << status;
  }
}

TEST_F(FaceTransformCalculatorTest, OneFailedFaceLeavesAnEmptyEntryAndOneErrorLine) {
  ASSERT_OK(Start("MULTIPLE_3D_FACES", false, false));
  testing::FileLogSink log("face_transform_calculator.cc");
  const Face good = ProjectedFace(*model_, 640, 480);
  ASSERT_OK(Send(1, std::make_pair(640, 480), std::vector<Face>{good, FaceWithLandmarks(3)}));
  ASSERT_OK(Send(2, std::make_pair(640, 480), std::vector<Face>{FaceWithLandmarks(3), good}));
  ASSERT_OK(Send(3, std::make_pair(640, 480), std::vector<Face>{}));
  // A frame without faces, and faces without a frame: nothing for these timestamps.
  ASSERT_OK(Send(4, std::make_pair(640, 480)));
  ASSERT_OK(Send(5, absl::nullopt, std::vector<Face>{good}));
  ASSERT_OK(Finish());

  const auto& first = At(1).transforms.Get<Transforms>();
  ASSERT_EQ(first.size(), 2u);
  ASSERT_TRUE(first[0].has_value());
  EXPECT_EQ(first[0]->mesh.vertices.size(), 468u);
  EXPECT_FALSE(first[1].has_value());
  const auto& second = At(2).transforms.Get<Transforms>();
  ASSERT_EQ(second.size(), 2u);
  EXPECT_FALSE(second[0].has_value());
  ASSERT_TRUE(second[1].has_value());
  // The same face fits the same way wherever it stands in the list.
  EXPECT_TRUE(second[1]->region_transforms.at(ft::FaceRegion(0))
                  .isApprox(first[0]->region_transforms.at(ft::FaceRegion(0))));
  EXPECT_TRUE(At(3).transforms.Get<Transforms>().empty());
  EXPECT_TRUE(At(4).transforms.IsEmpty());
  EXPECT_TRUE(At(5).transforms.IsEmpty());

  const std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);  // one per failed face
  EXPECT_THAT(lines[0], ::testing::StartsWith("E "));
}

TEST_F(FaceTransformCalculatorTest, SingleFaceLandmarksAreScreenPixels) {
  ASSERT_OK(Start("LANDMARKS", false, false));
  testing::FileLogSink log("face_transform_calculator.cc");
  std::vector<sorvanti::Landmark> pixels;
  for (const sorvanti::Landmark& l : ProjectedFace(*model_, 640, 480).landmarks) {
    pixels.push_back({l.x * 640, l.y * 480, l.z * 640});
  }
  using Landmarks = std::vector<sorvanti::Landmark>;
  ASSERT_OK(Send<Landmarks>(1, std::make_pair(640, 480), pixels));
  ASSERT_OK(Send<Landmarks>(2, std::make_pair(640, 480), Landmarks{}));
  ASSERT_OK(Finish());

  EXPECT_TRUE(At(1).transforms.Get<absl::optional<ft::Transform>>().has_value());
  // An empty list cannot be fitted: an empty optional, and no log line for one face.
  EXPECT_FALSE(At(2).transforms.Get<absl::optional<ft::Transform>>().has_value());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(FaceTransformCalculatorTest, DetectorFacesGiveTwelvePointsFromTheirKeypoints) {
  Face face;
  for (int k = 0; k < 6; ++k) face.landmarks.push_back({0.1f * (k + 1), 0.2f * (k + 1), 7.0f});
  const std::vector<Eigen::Vector3f> points =
      ExtractLandmarksFromZelkorFace(face, 100, 50).value();
  ASSERT_EQ(points.size(), 12u);
  const int keypoints[12] = {2, 2, 0, 3, 0, 4, 4, 1, 3, 1, 5, 5};
  for (int i = 0; i < 12; ++i) {
    const int k = keypoints[i] + 1;
    EXPECT_TRUE(points[i].isApprox(Eigen::Vector3f(10.0f * k, 10.0f * k, 0), 1e-6f)) << i;
  }
  EXPECT_EQ(ExtractLandmarksFromZelkorFace(FaceWithLandmarks(5), 100, 50).status().code(),
            absl::StatusCode::kInvalidArgument);

  // 2D and 3D faces differ only in z.
  EXPECT_EQ(ExtractLandmarksFrom2dFaces(face, 100, 50)[3], Eigen::Vector3f(40, 40, 0));
  EXPECT_EQ(ExtractLandmarksFrom3dFaces(face, 100, 50)[3], Eigen::Vector3f(40, 40, 700));
}

TEST_F(FaceTransformCalculatorTest, DetectorFacesWithTooFewKeypointsFailAlone) {
  // A model that takes the 12 points of a detector face: every vertex is the affine
  // combination of points 2, 7 and 0 (keypoints 0, 1 and 2) that places it, in x and y, where it
  // lies relative to the canonical vertices 0, 1 and 2.
  auto model = tools::MakeCanonicalFaceModel();
  const auto xy = [&](int v) {
    return Eigen::Vector2f(model->vertex_positions[3 * v], model->vertex_positions[3 * v + 1]);
  };
  Eigen::Matrix2f basis;
  basis << xy(1) - xy(0), xy(2) - xy(0);
  const Eigen::Matrix2f inverse = basis.inverse();
  for (size_t i = 0; i < model->linear_direct_derived_vertices.size(); ++i) {
    const Eigen::Vector2f b = inverse * (xy(static_cast<int>(i)) - xy(0));
    auto& derived = *model->linear_direct_derived_vertices[i];
    // Point 11 with weight 0 only makes the deriver expect all 12.
    derived.input_vertex_basis = {2, 7, 0, 11};
    derived.input_vertex_weights = {1 - b.x() - b.y(), b.x(), b.y(), 0};
  }
  // The mouth trigger reads lip points that 12 points do not have.
  model->triggers.clear();
  WriteModel(*model, "twelve.bin");
  options_.set_face_model_path((dir_ / "twelve.bin").string());
  ASSERT_OK(Start("MULTIPLE_FACES", false, false));
  testing::FileLogSink log("face_transform_calculator.cc");
  Face keypoints;
  const Face projected = ProjectedFace(*model_, 640, 480);
  for (int i : {0, 1, 2, 40, 60, 100}) keypoints.landmarks.push_back(projected.landmarks[i]);
  ASSERT_OK(Send(1, std::make_pair(640, 480), std::vector<Face>{keypoints, FaceWithLandmarks(5)}));
  ASSERT_OK(Finish());

  const auto& transforms = At(1).transforms.Get<Transforms>();
  ASSERT_EQ(transforms.size(), 2u);
  EXPECT_TRUE(transforms[0].has_value());
  EXPECT_FALSE(transforms[1].has_value());
  EXPECT_THAT(log.lines(), ElementsAre(HasSubstr("needs 6 keypoints, this one has 5")));
}

TEST_F(FaceTransformCalculatorTest, AsyncLoadingOnlyMovesTheBoundsUntilTheModelIsThere) {
  // The loader reads the model from a pipe, so the test decides when it arrives.
  fifo_ = (dir_ / "pipe.bin").string();
  ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
  options_.set_face_model_path(fifo_);
  options_.set_init_mode(sorvanti::ASYNC);
  ASSERT_OK(Start("MULTIPLE_3D_FACES", false, true));
  const Face good = ProjectedFace(*model_, 640, 480);
  for (int64_t t = 0; t < 3; ++t) {
    ASSERT_OK(Send(t, std::make_pair(640, 480), std::vector<Face>{good}));
  }
  ASSERT_OK(graph_->WaitUntilIdle());
  ASSERT_EQ(Outputs().size(), 3u);
  for (const Output& o : Outputs()) {
    EXPECT_TRUE(o.transforms.IsEmpty()) << o.timestamp;
    EXPECT_TRUE(o.space_transform.IsEmpty()) << o.timestamp;
  }

  {
    const std::vector<uint8_t> bytes = tools::SerializeFaceModel(*model_);
    std::ofstream(fifo_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  fifo_.clear();
  int64_t t = 3;
  for (;; ++t) {
    ASSERT_OK(Send(t, std::make_pair(640, 480), std::vector<Face>{good}));
    ASSERT_OK(graph_->WaitUntilIdle());
    if (!Outputs().back().transforms.IsEmpty()) break;
  }
  ASSERT_OK(Finish());
  const Output& first = At(t);
  ASSERT_EQ(first.transforms.Get<Transforms>().size(), 1u);
  EXPECT_TRUE(first.transforms.Get<Transforms>()[0].has_value());
  EXPECT_FALSE(first.space_transform.IsEmpty());
}

TEST_F(FaceTransformCalculatorTest, ABadModelFailsOpenWhenLoadingSynchronously) {
  std::ofstream(dir_ / "bad.bin") << "not a face model";
  options_.set_face_model_path((dir_ / "bad.bin").string());
  ASSERT_OK(Start("MULTIPLE_3D_FACES", false, false));
  const absl::Status status = Finish();
  EXPECT_EQ(status.code(), absl::StatusCode::kInvalidArgument) << status;
  EXPECT_THAT(std::string(status.message()), HasSubstr("not a valid face-model buffer")) << status;
}

// The camera the node's handler was built with, from its space transform.
ft::CameraParameters CameraAt(const Output& output) {
  return output.space_transform.Get<ft::SpaceTransform>().camera_parameters;
}

TEST_F(FaceTransformCalculatorTest, SpaceParametersRebuildTheHandlerAndMustMatchTheFrame) {
  ASSERT_OK(Start("", true, true));
  const auto narrow = ft::CreateCameraFrameSpaceParameters(640, 480, 40.0f).value();
  const auto wide = ft::CreateCameraFrameSpaceParameters(640, 480, 80.0f).value();
  ASSERT_OK(Send(1, std::make_pair(640, 480), absl::optional<std::vector<Face>>(),
                 ft::SpaceParameters(narrow)));
  // The same parameters again keep the handler; other ones after them replace it.
  for (int64_t t : {2, 3}) {
    ASSERT_OK(Send(t, std::make_pair(640, 480), absl::optional<std::vector<Face>>(),
                   ft::SpaceParameters(wide)));
  }
  ASSERT_OK(Send(4, std::make_pair(640, 480), absl::optional<std::vector<Face>>(),
                 ft::SpaceParameters(narrow)));
  // Without parameters the handler stays, until the frame size changes: then the options
  // (here all defaults) build it.
  ASSERT_OK(Send(5, std::make_pair(640, 480)));
  ASSERT_OK(Send(6, std::make_pair(480, 640)));
  ASSERT_OK(graph_->WaitUntilIdle());
  // Parameters of another size than the frame stop the run (the later adds of this send may
  // already find the graph failed).
  Send(7, std::make_pair(640, 480), absl::optional<std::vector<Face>>(),
       ft::SpaceParameters(ft::CreateCameraFrameSpaceParameters(480, 640).value()))
      .IgnoreError();
  const absl::Status status = Finish();
  EXPECT_THAT(std::string(status.message()),
              HasSubstr("The screen width face space parameter must match the current frame "
                        "width!"));

  auto camera = [](const ft::CameraFrameSpaceParameters& p) {
    return ft::CreateCameraParameters(p).value();
  };
  EXPECT_EQ(CameraAt(At(1)).focal_distance, camera(narrow).focal_distance);
  EXPECT_EQ(CameraAt(At(2)).focal_distance, camera(wide).focal_distance);
  EXPECT_EQ(CameraAt(At(3)).focal_distance, camera(wide).focal_distance);
  EXPECT_EQ(CameraAt(At(4)).focal_distance, camera(narrow).focal_distance);
  EXPECT_EQ(CameraAt(At(5)).focal_distance, camera(narrow).focal_distance);
  EXPECT_EQ(CameraAt(At(6)).focal_distance, DefaultCamera(480, 640).focal_distance);
}

// Options and the space they give, checked against the space parameters made directly.
struct OptionsCase {
  std::string name;
  std::function<void(FaceTransformCalculatorOptions*)> set;
  ft::SpaceParameters expected;
};
void PrintTo(const OptionsCase& c, std::ostream* os) { *os << c.name; }

class FaceTransformOptionsSpaceTest : public FaceTransformCalculatorTest,
                                      public ::testing::WithParamInterface<OptionsCase> {};

TEST_P(FaceTransformOptionsSpaceTest, OptionsGiveTheSpace) {
  GetParam().set(&options_);
  ASSERT_OK(Start("", false, true));
  ASSERT_OK(Send(1, std::make_pair(640, 480)));
  ASSERT_OK(Finish());
  const ft::CameraParameters expected = ft::CreateCameraParameters(GetParam().expected).value();
  const ft::CameraParameters actual = CameraAt(At(1));
  EXPECT_TRUE(actual.projection_matrix.isApprox(expected.projection_matrix))
      << actual.projection_matrix << "\n--\n" << expected.projection_matrix;
  EXPECT_EQ(actual.near, expected.near);
  EXPECT_EQ(actual.far, expected.far);
}

using Options = FaceTransformCalculatorOptions;
INSTANTIATE_TEST_SUITE_P(
    Spaces, FaceTransformOptionsSpaceTest,
    ::testing::Values(
        OptionsCase{"PathOnly", [](Options*) {},
                    ft::CreateCameraFrameSpaceParameters(640, 480).value()},
        OptionsCase{"DefaultOriginIsBottomLeft",
                    [](Options* o) {
                      o->set_screen_origin_location(Options::DEFAULT_SCREEN_ORIGIN_LOCATION);
                    },
                    ft::CreateCameraFrameSpaceParameters(640, 480).value()},
        OptionsCase{"TopLeft",
                    [](Options* o) { o->set_screen_origin_location(Options::TOP_LEFT_CORNER); },
                    ft::CreateCameraFrameSpaceParameters(640, 480, {}, {}, {}, {},
                                                         ft::kTopLeftCorner)
                        .value()},
        OptionsCase{"CameraFrameIgnoresMetricPlanes",
                    [](Options* o) {
                      o->set_space_type(Options::CAMERA_FRAME_SPACE);
                      o->set_vertical_fov_degrees(50);
                      o->set_near_z_factor(0.5f);
                      o->set_near_z(9);
                      o->set_principal_point_x(3);
                    },
                    ft::CreateCameraFrameSpaceParameters(640, 480, 50.0f, {}, 0.5f, {}, {}, 3.0f)
                        .value()},
        OptionsCase{"MetricIgnoresFactors",
                    [](Options* o) {
                      o->set_space_type(Options::METRIC_SPACE);
                      o->set_horizontal_fov_degrees(70);
                      o->set_far_z(300);
                      o->set_far_z_factor(9);
                      o->set_principal_point_y(-2);
                    },
                    ft::CreateMetricSpaceParameters(640, 480, {}, 70.0f, {}, 300.0f, {}, {}, -2.0f)
                        .value()}),
    [](const ::testing::TestParamInfo<OptionsCase>& info) { return info.param.name; });

TEST_F(FaceTransformCalculatorTest, InvalidOptionsFailWithTheSpaceNamed) {
  options_.set_space_type(Options::METRIC_SPACE);
  options_.set_vertical_fov_degrees(50);
  options_.set_horizontal_fov_degrees(70);
  ASSERT_OK(Start("", false, true));
  // The frame alone fails the run: the tick may already be refused.
  Send(1, std::make_pair(640, 480)).IgnoreError();
  EXPECT_THAT(std::string(Finish().message()),
              HasSubstr("while creating metric space parameters!"));
}

}  // namespace
}  // namespace quorrel
}  // namespace pellumo
