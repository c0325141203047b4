// The SDK-driven face view over the real face SDK: camera frames with a face-like patch go
// through the face graph on the generated models, and the face frames that come back move the
// host nodes and fill the camera-image layer.

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "face_sdk/testing/generated_frames.h"
#include "gtest/gtest.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/foundation/system_log.h"
#include "views/ostrell_face_view.h"

namespace {

using platform::foundation::ScopedTestFolder;

constexpr size_t kWidth = 640;  // the camera's landscape frame
constexpr size_t kHeight = 480;

void ExpectNear(const simd_float4x4& actual, const simd_float4x4& expected) {
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      EXPECT_NEAR(actual.columns[c][r], expected.columns[c][r], 1e-4) << c << "," << r;
    }
  }
}

class OstrellFaceViewPipelineTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    platform::foundation::SetCodeBundlePath(QM_FACE_RESOURCES_ROOT);
    // An upright face, as a portrait picture; the camera sees it turned into landscape, and
    // gravity (0, -1) tells the session to turn it back by 270 degrees.
    face_sdk_testing::GeneratedFrames portrait(kHeight, kWidth, 1);
    std::string error;
    upright_ = portrait.frame(0, &error);
    ASSERT_TRUE(upright_) << error;
    platform::avfoundation::Camera camera;
    camera.width = kWidth;
    camera.height = kHeight;
    camera.painter = [this](uint8_t* pixels, size_t bytes_per_row, size_t width, size_t height,
                            int64_t) { Paint(pixels, bytes_per_row, width, height); };
    platform::avfoundation::SetCamera(camera);
  }
  void TearDown() override {
    platform::avfoundation::SetCamera({});
    platform::foundation::SetCodeBundlePath("");
    platform::foundation::SetSandboxRoot("");
  }

  // Landscape pixel (x, y) shows portrait pixel (height - 1 - y, x): the picture turned a
  // quarter clockwise. A blank frame is the dark room alone.
  void Paint(uint8_t* pixels, size_t bytes_per_row, size_t width, size_t height) {
    CVPixelBufferRef source = upright_.get();
    CVPixelBufferLockBaseAddress(source, kCVPixelBufferLock_ReadOnly);
    const auto* in = static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(source));
    const size_t in_row = CVPixelBufferGetBytesPerRow(source);
    for (size_t y = 0; y < height; ++y) {
      for (size_t x = 0; x < width; ++x) {
        uint8_t* out = pixels + y * bytes_per_row + x * 4;
        if (blank_.load()) {
          out[0] = 35, out[1] = 30, out[2] = 30, out[3] = 255;
          continue;
        }
        const size_t px = height - 1 - y;
        const size_t py = x;
        std::memcpy(out, in + py * in_row + px * 4, 4);
      }
    }
    CVPixelBufferUnlockBaseAddress(source, kCVPixelBufferLock_ReadOnly);
  }

  // Feeds camera frames until the view's newest face frame passes `done`; false after 120 s.
  bool FeedUntil(const std::function<bool(const QVXAugmentedFaceFrame&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (std::chrono::steady_clock::now() < deadline) {
      platform::avfoundation::DeliverFrame();
      const bool seen = platform::dispatch::RunMainLoopUntil(
          [&] {
            auto frame = view_->nextFaceFrame();
            return frame != nullptr && done(*frame);
          },
          std::chrono::milliseconds(50));
      if (seen) return true;
    }
    return false;
  }

  ScopedTestFolder folder_;
  CFHolder<CVPixelBufferRef> upright_;
  std::atomic<bool> blank_{false};
  std::shared_ptr<OstrellFaceView> view_;
};

TEST_F(OstrellFaceViewPipelineTest, FacesMoveTheNodesBlankFramesHideTheScene) {
  {
    platform::foundation::SystemLogCapture log;
    view_ = OstrellFaceView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
    for (const std::string& line : log.messages()) ADD_FAILURE() << line;
  }
  ASSERT_NE(view_->faceSession(), nullptr);
  std::shared_ptr<SCNView> scene_view = view_->sceneView();
  std::shared_ptr<SCNNode> root = scene_view->scene()->rootNode();
  auto nose = SCNNode::node();
  auto left = SCNNode::node();
  auto right = SCNNode::node();
  auto center = SCNNode::node();
  for (const auto& node : {nose, left, right, center}) root->addChildNode(node);
  view_->setNoseTipNode(nose);
  view_->setForeheadLeftNode(left);
  view_->setForeheadRightNode(right);
  view_->setCenterNode(center);
  platform::coremotion::PushDeviceMotion({0, -1, 0});

  ASSERT_TRUE(FeedUntil([](const QVXAugmentedFaceFrame& f) { return f.face() != nullptr; }));
  std::shared_ptr<QVXAugmentedFaceFrame> frame = view_->nextFaceFrame();
  EXPECT_EQ(view_->sceneCamera()->projectionTransform(),
            frame->projectionMatrixForViewportSize(scene_view->bounds().size, 1, false, 0.05, 100));
  EXPECT_EQ(scene_view->layer()->transform(), CATransform3DMakeScale(-1, 1, 1));

  // Face frames arrive only while the main loop runs, so this render step takes `frame`.
  platform::scenekit::RenderFrame(*scene_view, 1);
  ASSERT_EQ(view_->currentFaceFrame(), frame);
  std::shared_ptr<QVXAugmentedFace> face = frame->face();
  ExpectNear(nose->simdWorldTransform(), face->transformForRegion(0));
  ExpectNear(left->simdWorldTransform(), face->transformForRegion(1));
  ExpectNear(right->simdWorldTransform(), face->transformForRegion(2));
  ExpectNear(center->simdWorldTransform(), face->centerTransform());
  EXPECT_LT(center->simdWorldTransform().columns[3].z, 0);  // in front of the camera
  EXPECT_FALSE(root->isHidden());
  EXPECT_EQ(view_->cameraImageLayer()->contents(), frame->capturedImage());

  blank_ = true;
  ASSERT_TRUE(FeedUntil([](const QVXAugmentedFaceFrame& f) { return f.face() == nullptr; }));
  platform::scenekit::RenderFrame(*scene_view, 2);
  EXPECT_TRUE(root->isHidden());

  blank_ = false;
  ASSERT_TRUE(FeedUntil([](const QVXAugmentedFaceFrame& f) { return f.face() != nullptr; }));
  platform::scenekit::RenderFrame(*scene_view, 3);
  EXPECT_FALSE(root->isHidden());

  // Destroyed while frames and renders keep coming.
  std::atomic<bool> stop{false};
  std::thread camera([&stop] {
    while (!stop.load()) {
      platform::avfoundation::DeliverFrame();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::thread renderer([&stop, scene_view] {
    for (int i = 4; !stop.load(); ++i) scene_view->RenderFrame(i);
  });
  platform::dispatch::RunMainLoopUntil([] { return false; }, std::chrono::milliseconds(200));
  view_.reset();
  platform::dispatch::RunMainLoopUntil([] { return false; }, std::chrono::milliseconds(100));
  stop = true;
  camera.join();
  renderer.join();
  platform::avfoundation::WaitForDeliveries();
  platform::dispatch::RunUntilIdle();
}

}  // namespace
