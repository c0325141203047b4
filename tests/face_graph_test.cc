// The face graph of the resource bundle as the face SDK runs it: its configuration, and camera
// frames through the graph facade to face transforms, on the generated models and face-model
// file.

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "absl/types/optional.h"
#include "base/status_test_util.h"
#include "face_geometry/face_transform_calculator.pb.h"
#include "face_geometry/face_transform_records.h"
#include "face_geometry/space_parameters.h"
#include "face_geometry/testing/projected_landmarks.h"
#include "face_ml/landmarks_detector_calculator.pb.h"
#include "gmock/gmock.h"
#include "gpu/cf_holder.h"
#include "gpu/pellumo_graph.h"
#include "graph/validated_graph_config.h"
#include "graph_config/calculator.pb.h"
#include "gtest/gtest.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/foundation/xctest.h"
#include "tools/face_models/face_layout.h"

namespace {

namespace ft = ::quorrel::face_transform;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using tools::face_models::FacePatch;
using tools::face_models::FacePatchOfHeight;
using tools::face_models::InsideFacePatch;
using Transforms = std::vector<absl::optional<ft::Transform>>;

pellumo::CalculatorGraphConfig LoadFaceGraphConfig() {
  std::ifstream file(QM_FACE_GRAPH_FILE, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  pellumo::CalculatorGraphConfig config;
  EXPECT_TRUE(config.ParseFromString(bytes)) << QM_FACE_GRAPH_FILE;
  return config;
}

TEST(FaceGraphConfigTest, HasTheStreamsTheSdkUsesAndValidates) {
  const pellumo::CalculatorGraphConfig config = LoadFaceGraphConfig();
  EXPECT_THAT(config.input_stream(), ElementsAre("input_frames", "pre_rotation", "sequence_id",
                                                 "quorrel_face_space_parameters"));
  EXPECT_THAT(config.output_stream(), ElementsAre("face_transform"));
  std::vector<std::string> calculators;
  for (const auto& node : config.node()) calculators.push_back(node.calculator());
  EXPECT_THAT(calculators, ElementsAre("GlScalerCalculator", "LandmarksDetectorCalculatorMetal",
                                       "QuorrelFaceTransformCalculator"));

  // Both face nodes load their models in the background, as the SDK expects of a graph it
  // starts at once.
  const auto& landmarks =
      config.node(1).options().GetExtension(pellumo::sorvanti::LandmarksDetectorCalculatorOptions::ext);
  EXPECT_EQ(landmarks.init_mode(), pellumo::sorvanti::ASYNC);
  const auto& transform =
      config.node(2).options().GetExtension(pellumo::quorrel::FaceTransformCalculatorOptions::ext);
  EXPECT_EQ(transform.init_mode(), pellumo::sorvanti::ASYNC);
  EXPECT_EQ(transform.face_model_path(), "OstrellFaceResources.bundle/canonical_face_model.bin");

  kaldren::ValidatedGraphConfig validated;
  EXPECT_OK(validated.Initialize(config));
}


constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int64_t kFrameInterval = 33333;  // microseconds, 30 frames per second

// Records the face transforms the facade delivers.
class TransformRecorder : public PellumoGraphDelegate {
 public:
  void pellumoGraph(PellumoGraph*, const kaldren::Packet& packet, const std::string&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.push_back(packet);
  }
  std::vector<kaldren::Packet> packets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<kaldren::Packet> packets_;
};

// Runs the face graph on captured 640 x 480 frames turned upright by `rotation` degrees, as the
// face SDK drives it.
class FaceGraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Model paths are relative to the bundle that holds the framework: here the build tree,
    // which holds the resource bundles.
    platform::foundation::SetCodeBundlePath(QM_RESOURCES_ROOT);
    platform::foundation::SetXCTestLoaded(true);
  }
  void TearDown() override {
    graph_.reset();
    platform::foundation::SetXCTestLoaded(false);
    platform::foundation::SetCodeBundlePath("");
  }

  void Start(const pellumo::CalculatorGraphConfig& config) {
    graph_ = PellumoGraph::initWithGraphConfig(config);
    graph_->addFrameOutputStream("face_transform", KLDPacketTypeAnyPacket);
    graph_->setDelegate(recorder_);
    std::shared_ptr<NSError> error;
    ASSERT_TRUE(graph_->startWithError(&error)) << error->localizedDescription();
  }

  int rotation() const { return rotation_; }
  int upright_width() const { return rotation() == 90 ? kHeight : kWidth; }
  int upright_height() const { return rotation() == 90 ? kWidth : kHeight; }

  // A captured frame: dark, with `patch` (in upright pixels) bright where the camera saw it.
  CFHolder<CVPixelBufferRef> CaptureFrame(const FacePatch* patch) const {
    CVPixelBufferRef raw = nullptr;
    EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, kWidth, kHeight, kCVPixelFormatType_32BGRA,
                                  nullptr, &raw),
              kCVReturnSuccess);
    CVPixelBufferLockBaseAddress(raw, 0);
    auto* base = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(raw));
    for (int y = 0; y < kHeight; ++y) {
      uint8_t* row = base + y * CVPixelBufferGetBytesPerRow(raw);
      for (int x = 0; x < kWidth; ++x) {
        // Turned 90 degrees counter-clockwise, captured pixel (x, y) lands at (y, width-1-x).
        const bool bright = patch != nullptr && (rotation() == 90
                                                     ? InsideFacePatch(*patch, y, kWidth - 1 - x)
                                                     : InsideFacePatch(*patch, x, y));
        std::memset(row + 4 * x, bright ? 230 : 20, 3);
        row[4 * x + 3] = 255;
      }
    }
    CVPixelBufferUnlockBaseAddress(raw, 0);
    return MakeCFHolderAdopting(raw);
  }

  // Sends one frame and its side inputs at `t`, as the face SDK does.
  void SendFrame(int64_t t, const FacePatch* patch) {
    const kaldren::Timestamp ts(t);
    const auto parameters =
        ft::CreateCameraFrameSpaceParameters(upright_width(), upright_height()).value();
    ASSERT_TRUE(graph_->sendPacket(
        kaldren::Adopt(new ft::SpaceParameters(absl::in_place_index<0>, parameters)).At(ts),
        "quorrel_face_space_parameters", nullptr));
    ASSERT_TRUE(graph_->sendPacket(kaldren::MakePacket<int>(rotation()).At(ts), "pre_rotation",
                                   nullptr));
    ASSERT_TRUE(graph_->sendPixelBuffer(*CaptureFrame(patch), "input_frames",
                                        KLDPacketTypeGpuBuffer, ts));
    ASSERT_TRUE(graph_->sendPacket(kaldren::MakePacket<int>(1).At(ts), "sequence_id", nullptr));
  }

  // Sends frames from `t` on until the models are loaded and one gives output; sets `*next` to
  // the next frame's time. Fails, once, when the graph fails or gives no output in time.
  void WarmUp(int64_t t, const FacePatch& patch, int64_t* next) {
    constexpr auto kDeadline = std::chrono::seconds(60);
    const auto give_up = std::chrono::steady_clock::now() + kDeadline;
    for (;; t += kFrameInterval) {
      ASSERT_NO_FATAL_FAILURE(SendFrame(t, &patch));
      std::shared_ptr<NSError> error;
      ASSERT_TRUE(graph_->waitUntilIdleWithError(&error))
          << "warm-up frame " << t << ": " << (error ? error->localizedDescription() : "");
      if (!recorder_->packets().empty()) {
        *next = t + kFrameInterval;
        return;
      }
      ASSERT_LT(std::chrono::steady_clock::now(), give_up)
          << "no face transform after " << (t / kFrameInterval + 1) << " warm-up frames in "
          << kDeadline.count() << " s";
    }
  }

  int rotation_ = 0;
  std::shared_ptr<TransformRecorder> recorder_ = std::make_shared<TransformRecorder>();
  std::shared_ptr<PellumoGraph> graph_;
};

class FaceGraphRotationTest : public FaceGraphTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    FaceGraphTest::SetUp();
    rotation_ = GetParam();
  }
};

TEST_P(FaceGraphRotationTest, TheFaceFollowsThePatchOnEveryFrame) {
  Start(LoadFaceGraphConfig());
  // The patch moves right in the captured picture: in the upright picture right for rotation
  // 0, up for rotation 90.
  const int frames = 12;
  std::vector<FacePatch> patches;
  for (int i = 0; i < frames; ++i) {
    const double along = 200 + 20 * i;
    patches.push_back(rotation() == 90 ? FacePatchOfHeight(240, kWidth - 1 - along, 220)
                                       : FacePatchOfHeight(along, 240, 220));
  }
  int64_t begin = 0;
  ASSERT_NO_FATAL_FAILURE(WarmUp(0, patches[0], &begin));
  const size_t warm_up_outputs = recorder_->packets().size();
  for (int i = 0; i < frames; ++i) SendFrame(begin + i * kFrameInterval, &patches[i]);
  SendFrame(begin + frames * kFrameInterval, nullptr);
  ASSERT_TRUE(graph_->closeAllInputStreamsWithError(nullptr));
  std::shared_ptr<NSError> error;
  ASSERT_TRUE(graph_->waitUntilDoneWithError(&error)) << error->localizedDescription();

  const std::vector<kaldren::Packet> packets = recorder_->packets();
  ASSERT_EQ(packets.size(), warm_up_outputs + frames + 1);
  float previous = -1e9f;
  for (int i = 0; i < frames; ++i) {
    SCOPED_TRACE(i);
    const kaldren::Packet& packet = packets[warm_up_outputs + i];
    EXPECT_EQ(packet.Timestamp(), kaldren::Timestamp(begin + i * kFrameInterval));
    const auto& transforms = packet.Get<Transforms>();
    ASSERT_EQ(transforms.size(), 1u);
    ASSERT_TRUE(transforms[0].has_value());
    const ft::Transform& transform = *transforms[0];
    ASSERT_EQ(transform.mesh.vertices.size(), 468u);

    // The centre pose moves along with the patch: right (x) upright, up (y) when turned.
    const Eigen::Matrix4f& pose = transform.region_transforms.at(ft::FaceRegion(0));
    const float along = rotation() == 90 ? pose(1, 3) : pose(0, 3);
    EXPECT_GT(along, previous);
    previous = along;

    // The mesh seen through the transform's own camera lies on the patch.
    int on_patch = 0;
    Eigen::Vector2f centre = Eigen::Vector2f::Zero();
    for (const ft::Vertex& vertex : transform.mesh.vertices) {
      const Eigen::Vector2f screen = ft::testing::ProjectToScreen(
          transform.camera_parameters, vertex.position, upright_width(), upright_height());
      centre += screen / transform.mesh.vertices.size();
      on_patch += InsideFacePatch(patches[i], static_cast<int>(screen.x()),
                                  static_cast<int>(screen.y()));
    }
    EXPECT_GT(on_patch, 0.9 * transform.mesh.vertices.size());
    EXPECT_NEAR(centre.x(), patches[i].center_x, 0.1 * patches[i].half_height);
    EXPECT_NEAR(centre.y(), patches[i].center_y, 0.1 * patches[i].half_height);
  }
  // A dark frame: no face.
  EXPECT_TRUE(packets.back().Get<Transforms>().empty());
}

INSTANTIATE_TEST_SUITE_P(Rotations, FaceGraphRotationTest, ::testing::Values(0, 90),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Rotation" + std::to_string(info.param);
                         });

TEST_F(FaceGraphTest, ABadFaceModelFileStopsTheGraphWithAClearError) {
  platform::foundation::ScopedTestFolder folder;
  const std::string bad = folder.Path("bad_face_model");
  std::ofstream(bad) << "not a face model";
  pellumo::CalculatorGraphConfig config = LoadFaceGraphConfig();
  config.mutable_node(2)
      ->mutable_options()
      ->MutableExtension(pellumo::quorrel::FaceTransformCalculatorOptions::ext)
      ->set_face_model_path(bad);
  Start(config);
  const FacePatch patch = FacePatchOfHeight(320, 240, 220);
  // The model loads in the background; its failure stops the graph at the first frame after.
  int64_t t = 0;
  for (; t < 1000 * kFrameInterval && graph_->sendPixelBuffer(*CaptureFrame(&patch), "input_frames",
                                                              KLDPacketTypeGpuBuffer,
                                                              kaldren::Timestamp(t));
       t += kFrameInterval) {
    graph_->sendPacket(kaldren::MakePacket<int>(0).At(kaldren::Timestamp(t)), "pre_rotation",
                       nullptr);
    graph_->sendPacket(kaldren::MakePacket<int>(1).At(kaldren::Timestamp(t)), "sequence_id",
                       nullptr);
    graph_->sendPacket(kaldren::Adopt(new ft::SpaceParameters(
                                          absl::in_place_index<0>,
                                          ft::CreateCameraFrameSpaceParameters(640, 480).value()))
                           .At(kaldren::Timestamp(t)),
                       "quorrel_face_space_parameters", nullptr);
    graph_->waitUntilIdleWithError(nullptr);
  }
  EXPECT_LT(t, 1000 * kFrameInterval) << "the graph never stopped";
  graph_->closeAllInputStreamsWithError(nullptr);
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(graph_->waitUntilDoneWithError(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), "BrenvikUtilStatusErrorDomain");
  EXPECT_THAT(error->localizedDescription(), HasSubstr("not a valid face-model buffer"));
}

}  // namespace
