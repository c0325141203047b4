#include "face_sdk/face_mesh_graph.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "absl/types/optional.h"
#include "face_ml/landmarks_detector_calculator.pb.h"
#include "gmock/gmock.h"
#include "gpu/cf_holder.h"
#include "gpu/gpu_buffer.h"
#include "graph/calculator_base.h"
#include "graph/calculator_context.h"
#include "graph/calculator_contract.h"
#include "graph/calculator_static_access.h"
#include "graph/config_test_util.h"
#include "graph/registration_macros.h"
#include "gtest/gtest.h"
#include "platform/corefoundation/object.h"
#include "platform/corevideo/pixel_format.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/foundation/system_log.h"

namespace {

using quorrel::face_transform::CameraFrameSpaceParameters;
using quorrel::face_transform::SpaceParameters;
using quorrel::face_transform::Transform;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using FaceTransforms = std::vector<absl::optional<Transform>>;

// What the test face node answers for a timestamp.
enum class Answer { kFace, kNoEntries, kEmptyEntry, kNothing };

// What the test face node saw at one timestamp.
struct Seen {
  int64_t timestamp;
  CameraFrameSpaceParameters space;
  int32_t rotation;
  int32_t sequence_id;
  int frame_width;
  int frame_height;
};

// Shared between the test and the node, which runs on graph threads.
struct FaceNodeLog {
  std::mutex mutex;
  std::map<int64_t, Answer> answers;  // kFace when absent
  std::vector<Seen> seen;
  std::vector<pellumo::sorvanti::LandmarksDetectorCalculatorOptions> landmarks_options;
  bool closed = false;  // the face node's run has ended
  std::condition_variable changed;

  static FaceNodeLog& Get() {
    static auto* log = new FaceNodeLog;
    return *log;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    answers.clear();
    seen.clear();
    landmarks_options.clear();
    closed = false;
  }
};

// Stands in for the face graph: takes the driver's four inputs and answers a list of face
// transforms at the same timestamp (or nothing, as the real graph does while loading).
class TestFaceMeshCalculator : public kaldren::CalculatorBase {
 public:
  static absl::Status GetContract(kaldren::CalculatorContract* cc) {
    cc->Inputs().Tag("SPACE").Set<SpaceParameters>();
    cc->Inputs().Tag("ROTATION").Set<int32_t>();
    cc->Inputs().Tag("FRAME").Set<pellumo::GpuBuffer>();
    cc->Inputs().Tag("SEQUENCE").Set<int32_t>();
    cc->Outputs().Tag("FACES").Set<FaceTransforms>();
    return absl::OkStatus();
  }
  absl::Status Open(kaldren::CalculatorContext* cc) override {
    cc->SetOffset(kaldren::TimestampDiff(0));
    return absl::OkStatus();
  }
  absl::Status Process(kaldren::CalculatorContext* cc) override {
    const auto& frame = cc->Inputs().Tag("FRAME").Value().Get<pellumo::GpuBuffer>();
    const int64_t ts = cc->InputTimestamp().Value();
    Answer answer = Answer::kFace;
    {
      FaceNodeLog& log = FaceNodeLog::Get();
      std::lock_guard<std::mutex> lock(log.mutex);
      log.seen.push_back({ts, absl::get<0>(cc->Inputs().Tag("SPACE").Value().Get<SpaceParameters>()),
                          cc->Inputs().Tag("ROTATION").Value().Get<int32_t>(),
                          cc->Inputs().Tag("SEQUENCE").Value().Get<int32_t>(), frame.width(),
                          frame.height()});
      if (auto it = log.answers.find(ts); it != log.answers.end()) answer = it->second;
    }
    auto faces = std::make_unique<FaceTransforms>();
    if (answer == Answer::kNothing) return absl::OkStatus();
    if (answer == Answer::kEmptyEntry) faces->emplace_back();
    if (answer == Answer::kFace) faces->push_back(FaceAt(-40));
    if (answer == Answer::kFace) faces->push_back(FaceAt(-90));  // a second face is not used
    cc->Outputs().Tag("FACES").AddPacket(kaldren::Adopt(faces.release()).At(cc->InputTimestamp()));
    return absl::OkStatus();
  }

  absl::Status Close(kaldren::CalculatorContext* cc) override {
    FaceNodeLog& log = FaceNodeLog::Get();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.closed = true;
    log.changed.notify_all();
    return absl::OkStatus();
  }

  // A face straight ahead at `z` centimetres.
  static Transform FaceAt(float z) {
    Transform transform;
    Eigen::Matrix4f pose = Eigen::Matrix4f::Identity();
    pose(2, 3) = z;
    for (int region = 0; region < 4; ++region) {
      transform.region_transforms[quorrel::face_transform::FaceRegion(region)] = pose;
    }
    return transform;
  }
};
REGISTER_CALCULATOR(TestFaceMeshCalculator);

// Stands in for the landmarks node only to show the options the driver wrote into it. The real
// node lives in the face ML library, which this test does not link whole, so its name is free.
class TestLandmarksCalculator : public kaldren::CalculatorBase {
 public:
  static absl::Status GetContract(kaldren::CalculatorContract* cc) {
    cc->Inputs().Index(0).SetAny();
    return absl::OkStatus();
  }
  absl::Status Open(kaldren::CalculatorContext* cc) override {
    FaceNodeLog& log = FaceNodeLog::Get();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.landmarks_options.push_back(
        cc->Options().GetExtension(pellumo::sorvanti::LandmarksDetectorCalculatorOptions::ext));
    return absl::OkStatus();
  }
  absl::Status Process(kaldren::CalculatorContext* cc) override { return absl::OkStatus(); }
};
REGISTER_CALCULATOR(TestLandmarksCalculator);
REGISTER_CALCULATOR_WITH_NAME("LandmarksDetectorCalculatorMetal", TestLandmarksCalculator);

// The driver's four inputs into the test face node, whose list of faces is "face_transform".
pellumo::CalculatorGraphConfig TestGraph() {
  pellumo::CalculatorGraphConfig config;
  for (const char* stream :
       {"quorrel_face_space_parameters", "pre_rotation", "input_frames", "sequence_id"}) {
    config.add_input_stream(stream);
  }
  kaldren::testing_util::AddNode(&config, "TestFaceMeshCalculator",
                                 {"SPACE:quorrel_face_space_parameters", "ROTATION:pre_rotation",
                                  "FRAME:input_frames", "SEQUENCE:sequence_id"},
                                 {"FACES:face_transform"});
  return config;
}

// Collects the driver's frames and lets the test wait for them.
class RecordingDelegate : public QVXFaceMeshGraphDelegate {
 public:
  void didOutputFace(std::shared_ptr<QVXAugmentedFaceFrame> frame) override {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(frame);
    changed_.notify_all();
  }
  // The first `count` frames, once they have arrived.
  // Callers index the frames they waited for, so a frame that never comes stops the test here,
  // with a message, instead of letting it read past the end or wait for ever.
  std::vector<std::shared_ptr<QVXAugmentedFaceFrame>> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(60),
                           [&] { return frames_.size() >= count; })) {
      std::fprintf(stderr, "WaitFor: %zu of %zu frames reached the delegate within 60 s\n",
                   frames_.size(), count);
      std::abort();
    }
    return frames_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<QVXAugmentedFaceFrame>> frames_;
};

CFHolder<CVPixelBufferRef> Buffer(size_t width, size_t height) {
  CVPixelBufferRef buffer = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(nullptr, width, height, kCVPixelFormatType_32BGRA, nullptr,
                                &buffer),
            kCVReturnSuccess);
  return MakeCFHolderAdopting(buffer);
}

class FaceMeshGraphTest : public ::testing::Test {
 protected:
  void SetUp() override { FaceNodeLog::Get().Reset(); }

  // A driver over a started facade of `config`, reporting to `delegate_`.
  std::shared_ptr<QVXFaceMeshGraph> StartDriver(float fieldOfView) {
    auto graph = PellumoGraph::initWithGraphConfig(TestGraph());
    graph->addFrameOutputStream("face_transform", KLDPacketTypeAnyPacket);
    auto driver = QVXFaceMeshGraph::initWithFieldOfView(fieldOfView, graph);
    std::shared_ptr<NSError> error;
    EXPECT_TRUE(graph->startWithError(&error)) << (error ? error->localizedDescription() : "");
    driver->setDelegate(delegate_);
    return driver;
  }

  // Hands `packet` to the driver as its graph would, on a thread of its own.
  static void Deliver(QVXFaceMeshGraph& driver, const kaldren::Packet& packet) {
    std::thread([&] {
      driver.pellumoGraph(driver.meshPellumoGraph().get(), packet, "face_transform");
    }).join();
  }

  // Waits until the graph has nothing left to do, so every output has been handled in full.
  static void WaitUntilIdle(const QVXFaceMeshGraph& driver) {
    std::shared_ptr<NSError> error;
    EXPECT_TRUE(driver.meshPellumoGraph()->waitUntilIdleWithError(&error));
  }

  static std::vector<Seen> SeenByGraph() {
    FaceNodeLog& log = FaceNodeLog::Get();
    std::lock_guard<std::mutex> lock(log.mutex);
    return log.seen;
  }
  static void Answer(int64_t timestamp, enum Answer answer) {
    FaceNodeLog& log = FaceNodeLog::Get();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.answers[timestamp] = answer;
  }

  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(FaceMeshGraphTest, SendsSpaceParametersRotationAndSequenceIds) {
  auto driver = StartDriver(60);
  CFHolder<CVPixelBufferRef> wide = Buffer(1280, 720);
  EXPECT_TRUE(driver->updateWithPixelBuffer(wide.get(), 1.0, 90, true));
  delegate_->WaitFor(1);
  EXPECT_TRUE(driver->updateWithPixelBuffer(wide.get(), 2.0, 90, true));
  delegate_->WaitFor(2);
  EXPECT_TRUE(driver->updateWithPixelBuffer(wide.get(), 3.0, 0, true));
  auto frames = delegate_->WaitFor(3);

  std::vector<Seen> seen = SeenByGraph();
  ASSERT_EQ(seen.size(), 3u);
  const double expected_fov = 2 * std::atan(std::tan(M_PI / 6) * 0.5625) * 180 / M_PI;
  struct Expected {
    int64_t timestamp;
    int32_t width, height, rotation, sequence_id;
    double fov;
  };
  const Expected expected[] = {{1000000, 720, 1280, 90, 1, 60},
                               {2000000, 720, 1280, 90, 1, 60},
                               {3000000, 1280, 720, 0, 2, expected_fov}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].timestamp, expected[i].timestamp);
    EXPECT_EQ(seen[i].space.screen_width, expected[i].width);
    EXPECT_EQ(seen[i].space.screen_height, expected[i].height);
    EXPECT_NEAR(seen[i].space.vertical_fov_degrees, expected[i].fov, 1e-4);
    EXPECT_EQ(seen[i].space.near_z_factor, 0.2f);
    EXPECT_EQ(seen[i].space.far_z_factor, 5.0f);
    EXPECT_EQ(seen[i].space.screen_origin_location, quorrel::face_transform::kBottomLeftCorner);
    EXPECT_EQ(seen[i].space.principal_point_x, 0);
    EXPECT_EQ(seen[i].space.principal_point_y, 0);
    EXPECT_EQ(seen[i].rotation, expected[i].rotation);
    EXPECT_EQ(seen[i].sequence_id, expected[i].sequence_id);
    EXPECT_EQ(seen[i].frame_width, 1280);
    EXPECT_EQ(seen[i].frame_height, 720);

    // The frame carries the held image, time and rotation and the first face only.
    EXPECT_EQ(frames[i]->capturedImage(), wide.get());
    EXPECT_EQ(frames[i]->timestamp(), 1.0 + i);
    EXPECT_EQ(frames[i]->fieldOfView(), 60);
    ASSERT_NE(frames[i]->face(), nullptr);
    EXPECT_NEAR(frames[i]->face()->centerTransform().columns[3].z, -0.4, 1e-6);
  }
  // The rotation is undone: a frame turned by 90 degrees gives a centre pose turned back.
  EXPECT_NEAR(frames[0]->face()->centerTransform().columns[0].y, -1, 1e-6);
  EXPECT_NEAR(frames[2]->face()->centerTransform().columns[0].x, 1, 1e-6);
  EXPECT_NEAR(expected_fov, 36.0, 0.05);
  EXPECT_EQ(driver->sequenceId(), 2);
}

TEST_F(FaceMeshGraphTest, HoldsAtMostTwoDroppableFramesUntilAnOutputReleasesThem) {
  auto driver = StartDriver(60);
  CFHolder<CVPixelBufferRef> a = Buffer(64, 48), b = Buffer(64, 48), c = Buffer(64, 48);
  // The graph emits nothing meanwhile, as while its models load.
  for (int64_t ts : {1000, 2000, 4000}) Answer(ts, Answer::kNothing);
  platform::foundation::SystemLogCapture capture;

  EXPECT_TRUE(driver->updateWithPixelBuffer(a.get(), 0.001, 0, true));
  EXPECT_TRUE(driver->updateWithPixelBuffer(b.get(), 0.002, 0, true));
  EXPECT_FALSE(driver->updateWithPixelBuffer(c.get(), 0.003, 0, true));
  EXPECT_EQ(driver->heldFrameCount(), 2u);
  EXPECT_EQ(CFGetRetainCount(c.get()), 1) << "a refused frame is not kept";
  EXPECT_TRUE(driver->updateWithPixelBuffer(c.get(), 0.004, 0, false));
  WaitUntilIdle(*driver);
  EXPECT_EQ(driver->heldFrameCount(), 3u);
  std::vector<Seen> seen = SeenByGraph();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2].timestamp, 4000) << "the refused frame was never sent";

  // An output at 4 ms lets all three go.
  Deliver(*driver, kaldren::MakePacket<FaceTransforms>().At(kaldren::Timestamp(4000)));
  auto frames = delegate_->WaitFor(1);
  EXPECT_EQ(frames[0]->capturedImage(), c.get());
  EXPECT_EQ(frames[0]->timestamp(), 0.004);
  EXPECT_EQ(driver->heldFrameCount(), 0u);
  EXPECT_THAT(capture.messages(), Contains("QVXFaceMeshGraph: released 3 pix bufs in a frame"));
}

TEST_F(FaceMeshGraphTest, AnOutputLetsGoOfTheFramesHeldAtOrBeforeItsSignedTime) {
  auto driver = StartDriver(60);
  CFHolder<CVPixelBufferRef> early = Buffer(64, 48), late = Buffer(64, 48);
  for (int64_t ts : {-2000000, 1000000}) Answer(ts, Answer::kNothing);
  EXPECT_TRUE(driver->updateWithPixelBuffer(early.get(), -2.0, 0, false));
  EXPECT_TRUE(driver->updateWithPixelBuffer(late.get(), 1.0, 0, false));
  WaitUntilIdle(*driver);
  ASSERT_EQ(driver->heldFrameCount(), 2u);

  // Before its time in the graph's signed order, the frame at 1 s stays held.
  Deliver(*driver, kaldren::MakePacket<FaceTransforms>().At(kaldren::Timestamp(-2000000)));
  auto frames = delegate_->WaitFor(1);
  EXPECT_EQ(frames[0]->capturedImage(), early.get());
  EXPECT_EQ(frames[0]->timestamp(), -2.0);
  EXPECT_EQ(driver->heldFrameCount(), 1u);
  Deliver(*driver, kaldren::MakePacket<FaceTransforms>().At(kaldren::Timestamp(1000000)));
  frames = delegate_->WaitFor(2);
  EXPECT_EQ(frames[1]->capturedImage(), late.get());
  EXPECT_EQ(driver->heldFrameCount(), 0u);
}

TEST_F(FaceMeshGraphTest, OutputsWithoutAFaceOrWithoutAHeldFrame) {
  auto driver = StartDriver(45);
  CFHolder<CVPixelBufferRef> image = Buffer(64, 48);
  Answer(1000, Answer::kNothing);
  Answer(2000, Answer::kNoEntries);
  Answer(3000, Answer::kEmptyEntry);
  platform::foundation::SystemLogCapture capture;

  driver->updateWithPixelBuffer(image.get(), 0.001, 0, false);
  driver->updateWithPixelBuffer(image.get(), 0.002, 180, false);
  auto frames = delegate_->WaitFor(1);
  WaitUntilIdle(*driver);
  EXPECT_THAT(capture.messages(), Contains("QVXFaceMeshGraph: released 2 pix bufs in a frame"));
  driver->updateWithPixelBuffer(image.get(), 0.003, 0, false);
  frames = delegate_->WaitFor(2);
  WaitUntilIdle(*driver);
  for (const auto& frame : frames) {
    EXPECT_EQ(frame->face(), nullptr);
    EXPECT_EQ(frame->capturedImage(), image.get());
    EXPECT_EQ(frame->fieldOfView(), 45);
  }
  EXPECT_EQ(frames[0]->timestamp(), 0.002);
  EXPECT_EQ(frames[1]->timestamp(), 0.003);

  // An output for a timestamp that holds no frame still gives a frame, without image.
  FaceTransforms faces{TestFaceMeshCalculator::FaceAt(-30)};
  Deliver(*driver, kaldren::MakePacket<FaceTransforms>(faces).At(kaldren::Timestamp(77)));
  frames = delegate_->WaitFor(3);
  EXPECT_EQ(frames[2]->capturedImage(), nullptr);
  EXPECT_EQ(frames[2]->timestamp(), 0);
  ASSERT_NE(frames[2]->face(), nullptr);
  EXPECT_THAT(capture.messages(),
              Contains("QVXFaceMeshGraph: did not find a pix buf for timestamp 77"));
  EXPECT_THAT(capture.messages(), Contains("QVXFaceMeshGraph: released 0 pix bufs in a frame"));
}

TEST_F(FaceMeshGraphTest, TimesBecomeRoundedMicrosecondsAndUnusableTimesAreRefused) {
  auto driver = StartDriver(60);
  CFHolder<CVPixelBufferRef> first = Buffer(64, 48), second = Buffer(64, 48);
  Answer(0, Answer::kNothing);
  Answer(2, Answer::kNothing);
  platform::foundation::SystemLogCapture capture;

  EXPECT_TRUE(driver->updateWithPixelBuffer(first.get(), 0.0000004, 0, false));
  EXPECT_TRUE(driver->updateWithPixelBuffer(second.get(), 0.0000006, 0, false));
  auto frames = delegate_->WaitFor(1);
  EXPECT_EQ(frames[0]->timestamp(), 0.0000006);
  std::vector<Seen> seen = SeenByGraph();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].timestamp, 0);
  EXPECT_EQ(seen[1].timestamp, 1);
  frames.clear();

  // Times that are no graph timestamp are refused and nothing is kept.
  for (double bad : std::initializer_list<double>{NAN, INFINITY, -INFINITY, 1e300, -9.3e12, 9223372036854.775807,
                     -9223372036854.775805}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(driver->updateWithPixelBuffer(first.get(), bad, 0, false));
  }
  WaitUntilIdle(*driver);
  EXPECT_EQ(driver->heldFrameCount(), 0u);
  EXPECT_THAT(capture.messages(), Contains("QVXFaceMeshGraph: invalid timestamp nan"));
  EXPECT_THAT(capture.messages(), Contains("QVXFaceMeshGraph: invalid timestamp -inf"));

  // Two times that round to one timestamp: the later frame replaces the held one (the graph
  // refuses the second send at that timestamp; the output is handed over here).
  EXPECT_TRUE(driver->updateWithPixelBuffer(first.get(), 0.0000021, 0, false));
  EXPECT_TRUE(driver->updateWithPixelBuffer(second.get(), 0.0000019, 90, false));
  EXPECT_EQ(driver->heldFrameCount(), 1u);
  EXPECT_THAT(capture.messages(),
              Contains("QVXFaceMeshGraph: pixel buffer dict collision for key 2"));
  driver->meshPellumoGraph()->waitUntilIdleWithError(nullptr);  // fails: the graph refused
  Deliver(*driver, kaldren::MakePacket<FaceTransforms>().At(kaldren::Timestamp(2)));
  frames = delegate_->WaitFor(2);
  EXPECT_EQ(frames[1]->capturedImage(), second.get());
  EXPECT_EQ(frames[1]->timestamp(), 0.0000019);
  EXPECT_EQ(driver->heldFrameCount(), 0u);
}

// A delegate that owns the driver and lets it go while handling its output, as a host does that
// releases its session while a frame is on its way.
class LastOwnerDelegate : public QVXFaceMeshGraphDelegate {
 public:
  void didOutputFace(std::shared_ptr<QVXAugmentedFaceFrame> frame) override { driver.reset(); }
  std::shared_ptr<QVXFaceMeshGraph> driver;
};

TEST_F(FaceMeshGraphTest, TheLastOwnerMayLetGoOnTheGraphThread) {
  auto delegate = std::make_shared<LastOwnerDelegate>();
  CFHolder<CVPixelBufferRef> image = Buffer(64, 48);
  {
    auto driver = StartDriver(60);
    driver->setDelegate(delegate);
    delegate->driver = driver;
    EXPECT_TRUE(driver->updateWithPixelBuffer(image.get(), 1, 0, true));
  }
  // The graph's run ends (its nodes close) although the graph was let go on one of its own
  // threads, which the run waits for.
  FaceNodeLog& log = FaceNodeLog::Get();
  std::unique_lock<std::mutex> lock(log.mutex);
  EXPECT_TRUE(log.changed.wait_for(lock, std::chrono::seconds(60), [&] { return log.closed; }));
}

TEST(FaceMeshGraphConfigTest, ConfigurationsThatDoNotParseAreEmpty) {
  platform::foundation::ScopedTestFolder folder;
  const std::string whole = TestGraph().SerializeAsString();
  std::ofstream(folder.Path("good.binarypb"), std::ios::binary) << whole;
  std::ofstream(folder.Path("garbage.binarypb"), std::ios::binary) << "\x0a\xff\xff\xff\xff";
  // A whole configuration followed by a broken field: the parser has read the nodes already.
  std::ofstream(folder.Path("tail.binarypb"), std::ios::binary) << whole << "\x0a\x7f";

  EXPECT_EQ(QVXFaceMeshGraph::loadGraphConfigWithURL(
                NSURL::fileURLWithPath(folder.Path("good.binarypb")))
                .node_size(),
            1);
  for (const char* name : {"garbage.binarypb", "tail.binarypb", "missing.binarypb"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(QVXFaceMeshGraph::loadGraphConfigWithURL(NSURL::fileURLWithPath(folder.Path(name)))
                  .ByteSizeLong(),
              0u);
  }
  EXPECT_EQ(QVXFaceMeshGraph::loadGraphConfigWithURL(nullptr).ByteSizeLong(), 0u);
}

class FaceMeshGraphBundleTest : public FaceMeshGraphTest {
 protected:
  void SetUp() override {
    FaceMeshGraphTest::SetUp();
    platform::foundation::SetCodeBundlePath(folder_.Path(""));
  }
  void TearDown() override { platform::foundation::SetCodeBundlePath(""); }

  void WriteGraph(const std::string& bytes) {
    std::filesystem::create_directories(folder_.Path("OstrellFaceResources.bundle"));
    std::ofstream(folder_.Path("OstrellFaceResources.bundle/sorvanti_mesh_468_video.binarypb"),
                  std::ios::binary)
        << bytes;
  }

  platform::foundation::ScopedTestFolder folder_;
};

TEST_F(FaceMeshGraphBundleTest, LandmarksNodesGetTheFaceCountAndRefinementModels) {
  // Two landmarks nodes and one other node with the same options; only the first two change.
  pellumo::CalculatorGraphConfig config = TestGraph();
  kaldren::testing_util::AddNode(&config, "LandmarksDetectorCalculatorMetal", {"input_frames"}, {})
      ->mutable_options()
      ->MutableExtension(pellumo::sorvanti::LandmarksDetectorCalculatorOptions::ext)
      ->add_refinement_model_path("kept.tflite");
  kaldren::testing_util::AddNode(&config, "LandmarksDetectorCalculatorMetal", {"input_frames"}, {});
  kaldren::testing_util::AddNode(&config, "TestLandmarksCalculator", {"input_frames"}, {});
  WriteGraph(config.SerializeAsString());
  EXPECT_NE(QVXFaceMeshGraph::graphResourceBundle(), nullptr);

  auto graph = QVXFaceMeshGraph::createFaceMeshPellumoGraphWithRunMode(2, 3);
  ASSERT_NE(graph, nullptr);
  std::shared_ptr<NSError> error;
  ASSERT_TRUE(graph->waitUntilIdleWithError(&error)) << error->localizedDescription();
  // The landmarks nodes run as the test's recording node. Nodes may open in any order; the
  // three differ in their number of model paths.
  std::vector<pellumo::sorvanti::LandmarksDetectorCalculatorOptions> options;
  {
    FaceNodeLog& log = FaceNodeLog::Get();
    std::lock_guard<std::mutex> lock(log.mutex);
    options = log.landmarks_options;
  }
  ASSERT_EQ(options.size(), 3u);
  std::sort(options.begin(), options.end(), [](const auto& a, const auto& b) {
    return a.refinement_model_path_size() > b.refinement_model_path_size();
  });
  const char* lips =
      "OstrellFaceRefinementResources.bundle/facelips-full-2019_01_26-v0.f16.tflite";
  const char* eyes =
      "OstrellFaceRefinementResources.bundle/faceeyenbrow-full-2019_02_14-v0.f16.tflite";
  EXPECT_EQ(options[0].num_faces(), 3u);
  EXPECT_THAT(options[0].refinement_model_path(), ElementsAre("kept.tflite", lips, eyes));
  EXPECT_EQ(options[1].num_faces(), 3u);
  EXPECT_THAT(options[1].refinement_model_path(), ElementsAre(lips, eyes));
  EXPECT_FALSE(options[2].has_num_faces());
  EXPECT_THAT(options[2].refinement_model_path(), IsEmpty());
}

TEST_F(FaceMeshGraphBundleTest, AConfigurationThatDoesNotParseFailsTheStartVisibly) {
  WriteGraph(TestGraph().SerializeAsString() + "\x0a\x7f");
  platform::foundation::SystemLogCapture capture;
  auto driver = QVXFaceMeshGraph::initWithFieldOfView(60, 1, 1);
  ASSERT_NE(driver, nullptr);
  std::vector<std::string> messages = capture.messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_THAT(messages[0], HasSubstr("Error starting: "));

  // The driver goes on; its sends fail and are logged.
  CFHolder<CVPixelBufferRef> image = Buffer(64, 48);
  EXPECT_TRUE(driver->updateWithPixelBuffer(image.get(), 1, 0, true));
  EXPECT_THAT(capture.messages(), Contains(HasSubstr("Error while setting face space params: ")));
  EXPECT_THAT(capture.messages(), Contains(HasSubstr("Error while setting pre-rotation: ")));
  EXPECT_THAT(capture.messages(), Contains(HasSubstr("Error while setting sequence_id: ")));
}

}  // namespace
