// The face session over the face graph of the resource bundle, on the generated models and
// face-model file: both run modes find the face, and a frame's send does not wait for the
// graph's networks, so the session can keep at most two frames in flight.

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "face_ml/refinement_merge_rules.h"
#include "face_sdk/augmented_face.h"
#include "face_sdk/augmented_face_session.h"
#include "face_sdk/face_mesh_graph.h"
#include "face_sdk/logger.h"
#include "gpu/cf_holder.h"
#include "gpu/gl_context.h"
#include "gpu/gpu_resources.h"
#include "gpu/pellumo_graph.h"
#include "gtest/gtest.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/foundation/xctest.h"
#include "tests/face_landmarks_graph.h"
#include "tools/face_models/face_layout.h"
#include "tools/face_models/landmark_models.h"

namespace {

using tools::face_models::FacePatch;
using tools::face_models::FacePatchOfHeight;

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr float kFieldOfView = 60;
constexpr double kFrameInterval = 1.0 / 30;
// Every wait gives up after this long; model loading takes a few seconds on a loaded machine.
constexpr auto kDeadline = std::chrono::seconds(120);

// What the session handed over for one frame.
struct Result {
  double timestamp = 0;
  bool face = false;
  std::vector<simd_float4> vertices;  // the face mesh, when there is a face
};

// Collects the session's frames and lets the test wait for them.
class Collector : public QVXAugmentedFaceSessionDelegate {
 public:
  void didUpdateFrame(std::shared_ptr<QVXAugmentedFaceFrame> frame) override {
    Result result;
    result.timestamp = frame->timestamp();
    if (auto face = frame->face()) {
      result.face = true;
      auto mesh = face->mesh();
      result.vertices.assign(mesh->vertices(), mesh->vertices() + mesh->vertexCount());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    results_.push_back(std::move(result));
    changed_.notify_all();
  }

  // Waits until `count` results have arrived or `wait` has passed; the results so far.
  std::vector<Result> WaitFor(size_t count, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return results_.size() >= count; });
    return results_;
  }
  std::vector<Result> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(results_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Result> results_;
};

CFHolder<CVPixelBufferRef> Frame(const FacePatch* patch) {
  pellumo::GpuBuffer frame = quillmere_testing::MakeFacePatchFrame(kWidth, kHeight, patch);
  return CFHolder<CVPixelBufferRef>(frame.pixel_buffer());
}

class FaceSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    // The bundles of the build tree stand beside the framework's code.
    platform::foundation::SetCodeBundlePath(QM_RESOURCES_ROOT);
  }
  void TearDown() override {
    session_.reset();
    dispatch_sync(queue_, [] {});  // results still on their way go to a collector that lives
    platform::foundation::SetCodeBundlePath("");
    platform::foundation::SetSandboxRoot("");
  }

  void StartSession(std::shared_ptr<QVXFaceMeshGraph> driver) {
    session_ = QVXAugmentedFaceSession::initWithFaceMeshGraph(
        std::move(driver), QVXLogger::fakeThirdPartyLoggerWithPseudonymousID());
    ASSERT_NE(session_, nullptr);
    session_->setDelegate(collector_);
    session_->setDelegateQueue(queue_);
  }

  // Sends `frame` at warm-up times before 0 until the session gives a face (the models load
  // in the background); then waits for the warm-up frames' results and forgets them.
  void WarmUp(const FacePatch& patch) {
    CFHolder<CVPixelBufferRef> frame = Frame(&patch);
    const auto give_up = std::chrono::steady_clock::now() + kDeadline;
    size_t sent = 0;
    for (bool face = false; !face;) {
      ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "the session never found the face";
      ASSERT_TRUE(session_->updateWithPixelBuffer(frame.get(), -100 + sent * kFrameInterval, 0,
                                                  false));
      ++sent;
      for (const Result& r : collector_->WaitFor(1, std::chrono::milliseconds(250))) {
        face = face || r.face;
      }
    }
    std::shared_ptr<NSError> error;
    ASSERT_TRUE(session_->faceMeshGraph()->meshPellumoGraph()->waitUntilIdleWithError(&error));
    dispatch_sync(queue_, [] {});
    collector_->Take();
    EXPECT_EQ(session_->faceMeshGraph()->heldFrameCount(), 0u);
  }

  // One result per frame, each frame sent once the previous one's result is in.
  std::vector<Result> RunFrames(const std::vector<FacePatch>& patches) {
    for (size_t i = 0; i < patches.size(); ++i) {
      CFHolder<CVPixelBufferRef> frame = Frame(&patches[i]);
      EXPECT_TRUE(session_->updateWithPixelBuffer(frame.get(), i * kFrameInterval, 0, false));
      if (collector_->WaitFor(i + 1, kDeadline).size() < i + 1) {
        ADD_FAILURE() << "no result for frame " << i;
        break;
      }
    }
    return collector_->Take();
  }

  platform::foundation::ScopedTestFolder folder_;
  std::shared_ptr<Collector> collector_ = std::make_shared<Collector>();
  dispatch_queue_t queue_ = dispatch_queue_create("face_session_test", DISPATCH_QUEUE_SERIAL);
  std::shared_ptr<QVXAugmentedFaceSession> session_;
};

TEST_F(FaceSessionTest, RunModeTwoFindsTheFaceWhereRunModeOneDoesWithRefinedLipsAndEyes) {
  std::vector<FacePatch> patches;
  for (int i = 0; i < 8; ++i) patches.push_back(FacePatchOfHeight(260 + 15 * i, 240, 230));

  std::vector<Result> by_mode[2];
  for (unsigned long mode : {1ul, 2ul}) {
    SCOPED_TRACE("run mode " + std::to_string(mode));
    StartSession(QVXFaceMeshGraph::initWithFieldOfView(kFieldOfView, mode, 1));
    WarmUp(patches[0]);
    by_mode[mode - 1] = RunFrames(patches);
    session_.reset();
    dispatch_sync(queue_, [] {});
    ASSERT_EQ(by_mode[mode - 1].size(), patches.size());
  }

  std::vector<bool> refined(468, false);
  for (int32_t i : research::sorvanti::api::internal::GetLipsMapping()) refined[i] = true;
  for (int32_t i : tools::face_models::EyeRegionVertices()) refined[i] = true;
  for (size_t f = 0; f < patches.size(); ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    const Result& one = by_mode[0][f];
    const Result& two = by_mode[1][f];
    EXPECT_EQ(one.timestamp, two.timestamp);
    ASSERT_TRUE(one.face) << "run mode 1 lost the face";
    ASSERT_TRUE(two.face) << "run mode 2 lost a face that run mode 1 found";
    ASSERT_EQ(one.vertices.size(), 468u);
    ASSERT_EQ(two.vertices.size(), 468u);
    // The refined points are the refinement models' own; they lie near the base mesh's.
    int moved = 0, count = 0;
    for (size_t v = 0; v < 468; ++v) {
      if (!refined[v]) continue;
      ++count;
      const float dx = two.vertices[v].x - one.vertices[v].x;
      const float dy = two.vertices[v].y - one.vertices[v].y;
      const float dz = two.vertices[v].z - one.vertices[v].z;
      const float distance = std::sqrt(dx * dx + dy * dy + dz * dz);
      moved += distance > 1e-5f;  // metres
      EXPECT_LT(distance, 0.01f) << "vertex " << v;
    }
    EXPECT_GT(moved, count / 2);
  }
}

// Holds a GL context current on a thread of its own until released, so nothing else can work
// in it meanwhile.
class ContextLatch {
 public:
  explicit ContextLatch(std::shared_ptr<pellumo::GlContext> context)
      : thread_([this, context] {
          context
              ->Run([this] {
                std::unique_lock<std::mutex> lock(mutex_);
                holding_ = true;
                changed_.notify_all();
                changed_.wait_for(lock, kDeadline, [this] { return released_; });
                timed_out_ = !released_;
                return absl::OkStatus();
              })
              .IgnoreError();
        }) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kDeadline, [this] { return holding_; });
  }
  ~ContextLatch() { Release(); }

  // Lets the context go; true when it was still held, false when the hold ran out first.
  bool Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    return !timed_out_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false;
  bool released_ = false;
  bool timed_out_ = false;
  std::thread thread_;
};

TEST_F(FaceSessionTest, SendsReturnWhileTheNetworksWaitAndAThirdFrameInFlightIsDropped) {
  // The face graph as the session starts it, but on GPU resources the test can reach.
  std::shared_ptr<NSBundle> bundle = QVXFaceMeshGraph::graphResourceBundle();
  ASSERT_NE(bundle, nullptr);
  pellumo::CalculatorGraphConfig config = QVXFaceMeshGraph::loadGraphConfigWithURL(
      bundle->URLForResource("sorvanti_mesh_468_video", "binarypb"));
  ASSERT_GT(config.node_size(), 0);
  std::shared_ptr<pellumo::GlGpuResources> resources =
      pellumo::GlGpuResources::CreateGpuResourcesOrDie();
  auto graph = PellumoGraph::initWithGraphConfig(config);
  graph->setServicePacket(kaldren::MakePacket<std::shared_ptr<pellumo::GpuResources>>(resources),
                          kaldren::kGpuService);
  graph->addFrameOutputStream("face_transform", KLDPacketTypeAnyPacket);
  auto driver = QVXFaceMeshGraph::initWithFieldOfView(kFieldOfView, graph);
  std::shared_ptr<NSError> error;
  ASSERT_TRUE(graph->startWithError(&error)) << error->localizedDescription();
  StartSession(driver);
  const FacePatch patch = FacePatchOfHeight(320, 240, 230);
  WarmUp(patch);

  // The scaler at the graph's entrance works in the shared GL context: while another thread
  // holds it, no frame gets past the scaler to the networks.
  CFHolder<CVPixelBufferRef> frame = Frame(&patch);
  {
    ContextLatch latch(resources->gl_context(pellumo::SharedContextKey()));
    EXPECT_TRUE(session_->updateWithPixelBuffer(frame.get(), 1.0, 0));
    EXPECT_TRUE(session_->updateWithPixelBuffer(frame.get(), 1.0 + kFrameInterval, 0));
    EXPECT_FALSE(session_->updateWithPixelBuffer(frame.get(), 1.0 + 2 * kFrameInterval, 0))
        << "a third frame while two are in the graph";
    EXPECT_EQ(driver->heldFrameCount(), 2u);
    EXPECT_TRUE(collector_->Take().empty());
    ASSERT_TRUE(latch.Release()) << "a send waited for the graph's work on the frame";
  }
  const std::vector<Result> results = collector_->WaitFor(2, kDeadline);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].timestamp, 1.0);
  EXPECT_EQ(results[1].timestamp, 1.0 + kFrameInterval);
  EXPECT_TRUE(results[0].face);
  EXPECT_TRUE(graph->waitUntilIdleWithError(&error));
  EXPECT_EQ(driver->heldFrameCount(), 0u);
  // With the graph free again, the next droppable frame goes in.
  EXPECT_TRUE(session_->updateWithPixelBuffer(frame.get(), 2.0, 0));
  EXPECT_EQ(collector_->WaitFor(3, kDeadline).size(), 3u);
}

}  // namespace
