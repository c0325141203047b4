#include "views/ostrell_face_view.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "face_geometry/face_transform_records.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/device.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/foundation/system_log.h"

namespace {

using platform::foundation::ScopedTestFolder;
using platform::foundation::SystemLogCapture;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kNoCamera[] = "Failed to create capture device from front camera.";
constexpr char kNoMotion[] = "Device does not have motion sensors.";

// A face-mesh driver without a graph: it records the frames the session hands it.
class FakeFaceMeshGraph : public QVXFaceMeshGraph {
 public:
  FakeFaceMeshGraph() : QVXFaceMeshGraph(60, nullptr) {}
  bool updateWithPixelBuffer(CVPixelBufferRef, double timestamp, unsigned long rotation,
                             bool) override {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back({timestamp, rotation});
    return true;
  }
  std::vector<std::pair<double, unsigned long>> frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<double, unsigned long>> frames_;
};

// Region r stands at (r, 2r, -40 - r) cm; 0 is the face centre.
std::shared_ptr<QVXAugmentedFace> FaceWithDistinctPoses() {
  quorrel::face_transform::Transform transform;
  for (int region = 0; region < 4; ++region) {
    Eigen::Matrix4f pose = Eigen::Matrix4f::Identity();
    pose.block<3, 1>(0, 3) = Eigen::Vector3f(region, 2.0f * region, -40.0f - region);
    transform.region_transforms[quorrel::face_transform::FaceRegion(region)] = pose;
  }
  return QVXAugmentedFace::initWithFaceTransform(&transform, 0);
}

// Node transforms go through the node's position, orientation and scale: equal up to rounding.
void ExpectNear(const simd_float4x4& actual, const simd_float4x4& expected) {
  for (int c = 0; c < 4; ++c) {
    for (int r = 0; r < 4; ++r) {
      EXPECT_NEAR(actual.columns[c][r], expected.columns[c][r], 1e-4) << c << "," << r;
    }
  }
}

CVPixelBufferRef Image() {
  CVPixelBufferRef buffer = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(nullptr, 64, 48, kCVPixelFormatType_32BGRA, nullptr, &buffer),
            kCVReturnSuccess);
  return buffer;
}

class OstrellFaceViewTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    // No face resources: the session's graph cannot start, which it only logs.
    platform::foundation::SetCodeBundlePath(folder_.Path(""));
  }
  void TearDown() override {
    platform::avfoundation::SetCamera({});
    platform::coremotion::SetMotionAvailability({});
    platform::foundation::ResetDevice();
    platform::foundation::SetCodeBundlePath("");
    platform::foundation::SetSandboxRoot("");
  }

  // The set-up lines of the view itself (the face session logs its own).
  static std::vector<std::string> SetUpLines(const SystemLogCapture& log) {
    std::vector<std::string> lines;
    for (const std::string& message : log.messages()) {
      if (message == kNoCamera || message == kNoMotion ||
          message.rfind("Failed to initialize Face Session", 0) == 0) {
        lines.push_back(message);
      }
    }
    return lines;
  }

  // Replaces the view's session by one over a fake driver, with the view as its delegate.
  std::shared_ptr<FakeFaceMeshGraph> UseFakeSession(OstrellFaceView& view,
                                                    const std::shared_ptr<OstrellFaceView>& self) {
    auto driver = std::make_shared<FakeFaceMeshGraph>();
    auto session = QVXAugmentedFaceSession::initWithFaceMeshGraph(
        driver, QVXLogger::fakeThirdPartyLoggerWithPseudonymousID());
    session->setDelegate(self);
    view.setFaceSession(session);
    return driver;
  }

  ScopedTestFolder folder_;
};

TEST(OstrellFaceViewRotation, GravityGivesTheRecognitionRotation) {
  struct Case {
    double x, y;
    unsigned long rotation;
  };
  for (const Case& c : {Case{0, -1, 270}, Case{1, 0, 0}, Case{0, 1, 90}, Case{-1, 0, 180},
                        Case{0, 0, 90}, Case{0.5, -0.5, 315}}) {
    EXPECT_EQ(OstrellFaceView::recognitionRotation(c.x, c.y), c.rotation) << c.x << ", " << c.y;
  }
}

TEST_F(OstrellFaceViewTest, SetUpBuildsSceneCaptureMotionAndSession) {
  SystemLogCapture log;
  auto view = OstrellFaceView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
  EXPECT_THAT(SetUpLines(log), IsEmpty());

  std::shared_ptr<SCNView> scene_view = view->sceneView();
  EXPECT_THAT(view->subviews(), ElementsAre(scene_view));  // no screenshot button
  EXPECT_EQ(scene_view->frame(), CGRectMake(0, 0, 390, 844));
  EXPECT_EQ(scene_view->delegate(), view);
  EXPECT_TRUE(scene_view->rendersContinuously());
  EXPECT_EQ(scene_view->autoresizingMask(),
            UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  EXPECT_TRUE(scene_view->backgroundColor()->isEqual(*UIColor::clearColor()));
  const auto root_children = scene_view->scene()->rootNode()->childNodes();
  ASSERT_EQ(root_children.size(), 1u);
  EXPECT_EQ(root_children[0]->camera(), view->sceneCamera());
  EXPECT_EQ(root_children[0]->simdTransform(), matrix_identity_float4x4);

  std::shared_ptr<AVCaptureSession> capture = view->captureSession();
  ASSERT_NE(capture, nullptr);
  EXPECT_TRUE(capture->isRunning());
  EXPECT_EQ(capture->sessionPreset(), AVCaptureSessionPresetHigh);
  ASSERT_EQ(capture->inputs().size(), 1u);
  ASSERT_EQ(capture->outputs().size(), 1u);
  auto output = std::dynamic_pointer_cast<AVCaptureVideoDataOutput>(capture->outputs()[0]);
  EXPECT_EQ(output->videoSettings(),
            (AVCaptureVideoDataOutput::VideoSettings{
                {kCVPixelBufferPixelFormatTypeKey, kCVPixelFormatType_32BGRA}}));
  EXPECT_EQ(output->sampleBufferDelegate(), view);
  // A serial queue, so frames reach the session one at a time and in order.
  EXPECT_STREQ(dispatch_queue_get_label(output->sampleBufferCallbackQueue()), "OstrellCapture");
  ASSERT_NE(view->captureDevice(), nullptr);

  std::shared_ptr<CALayer> image_layer = view->cameraImageLayer();
  EXPECT_EQ(image_layer->contentsGravity(), kCAGravityCenter);
  EXPECT_EQ(image_layer->frame(), scene_view->bounds());
  EXPECT_EQ(view->layer()->sublayers()[0], image_layer);
  EXPECT_EQ(view->layer()->sublayers()[1], scene_view->layer());

  EXPECT_TRUE(view->motionManager()->isDeviceMotionActive());
  EXPECT_EQ(view->motionManager()->deviceMotionUpdateInterval(), 0.1);

  std::shared_ptr<QVXAugmentedFaceSession> session = view->faceSession();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->delegate(), view);
  EXPECT_EQ(session->delegateQueue(), nullptr);
  EXPECT_EQ(session->faceMeshGraph()->fieldOfView(),
            platform::avfoundation::GetCamera().field_of_view);
}

TEST_F(OstrellFaceViewTest, SetUpFailuresAreLoggedAndTheRestGoesOn) {
  {
    SCOPED_TRACE("no front camera");
    platform::avfoundation::Camera camera;
    camera.has_front_camera = false;
    platform::avfoundation::SetCamera(camera);
    SystemLogCapture log;
    auto view = OstrellFaceView::init();
    EXPECT_THAT(SetUpLines(log), ElementsAre(kNoCamera));
    EXPECT_EQ(view->captureSession(), nullptr);
    EXPECT_EQ(view->captureDevice(), nullptr);
    EXPECT_THAT(view->layer()->sublayers(), Not(Contains(view->cameraImageLayer())));
    ASSERT_NE(view->faceSession(), nullptr);
    EXPECT_EQ(view->faceSession()->faceMeshGraph()->fieldOfView(), 0);
  }
  {
    SCOPED_TRACE("input refused");
    platform::avfoundation::Camera camera;
    camera.input_fails = true;
    platform::avfoundation::SetCamera(camera);
    SystemLogCapture log;
    auto view = OstrellFaceView::init();
    EXPECT_THAT(SetUpLines(log), ElementsAre(kNoCamera));
    EXPECT_EQ(view->captureSession(), nullptr);
    platform::avfoundation::SetCamera({});
  }
  {
    SCOPED_TRACE("no motion");
    platform::coremotion::SetMotionAvailability({.deviceMotion = false});
    SystemLogCapture log;
    auto view = OstrellFaceView::init();
    EXPECT_THAT(SetUpLines(log), ElementsAre(kNoMotion));
    EXPECT_FALSE(view->motionManager()->isDeviceMotionActive());
    EXPECT_TRUE(view->captureSession()->isRunning());
    platform::coremotion::SetMotionAvailability({});
  }
  {
    SCOPED_TRACE("no face session");
    platform::foundation::DeviceSettings device = platform::foundation::CurrentDevice();
    device.systemVersion = "10.3.3";
    platform::foundation::SetDevice(device);
    SystemLogCapture log;
    auto view = OstrellFaceView::init();
    EXPECT_THAT(SetUpLines(log),
                ElementsAre("Failed to initialize Face Session with error: Error "
                            "Domain=QVXAugmentedFaceSession Code=-1 \"The operation couldn’t be "
                            "completed. (QVXAugmentedFaceSession error -1.)\""));
    EXPECT_EQ(view->faceSession(), nullptr);
    EXPECT_TRUE(view->captureSession()->isRunning());
  }
}

TEST_F(OstrellFaceViewTest, CameraFramesReachTheSessionOnlyWithMotionAndAnImage) {
  auto view = OstrellFaceView::init();
  std::shared_ptr<FakeFaceMeshGraph> driver = UseFakeSession(*view, view);

  // Before the first motion sample frames are skipped.
  EXPECT_EQ(platform::avfoundation::DeliverFrame(), 1);
  platform::avfoundation::WaitForDeliveries();
  EXPECT_THAT(driver->frames(), IsEmpty());

  // Gravity is read when the frame is handled: each frame is waited for before the next sample.
  platform::coremotion::PushDeviceMotion({0, -1, 0});
  platform::avfoundation::DeliverFrame();
  platform::avfoundation::WaitForDeliveries();
  platform::coremotion::PushDeviceMotion({-1, 0, 0});
  platform::avfoundation::DeliverFrame();
  CMSampleTimingInfo timing{kCMTimeInvalid, CMTimeMake(3, 30), kCMTimeInvalid};
  CMSampleBufferRef no_image = platform::coremedia::CreateSampleBufferWithoutImage(timing);
  platform::avfoundation::DeliverSampleBuffer(no_image);
  platform::avfoundation::WaitForDeliveries();
  CFRelease(no_image);
  const auto frames = driver->frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_DOUBLE_EQ(frames[0].first, 1.0 / 30);  // frame 0 was skipped
  EXPECT_EQ(frames[0].second, 270u);
  EXPECT_DOUBLE_EQ(frames[1].first, 2.0 / 30);
  EXPECT_EQ(frames[1].second, 180u);

  // Without a session frames go nowhere; removal from a superview stops nothing.
  view->setFaceSession(nullptr);
  platform::avfoundation::DeliverFrame();
  auto window = UIView::init();
  window->addSubview(view);
  view->removeFromSuperview();
  EXPECT_TRUE(view->captureSession()->isRunning());
  EXPECT_TRUE(view->motionManager()->isDeviceMotionActive());
  platform::avfoundation::WaitForDeliveries();
  EXPECT_EQ(driver->frames().size(), 2u);
}

TEST_F(OstrellFaceViewTest, HostNodesAreShownWhenAssignedAndMovedByUpdateTransform) {
  auto view = OstrellFaceView::init();
  auto nose = SCNNode::node();
  nose->setHidden(true);
  view->setNoseTipNode(nose);
  EXPECT_FALSE(nose->isHidden());
  nose->setHidden(true);
  view->setNoseTipNode(nullptr);
  EXPECT_TRUE(nose->isHidden());
  EXPECT_EQ(view->noseTipNode(), nullptr);

  simd_float4x4 pose = matrix_identity_float4x4;
  pose.columns[3] = simd_make_float4(1, 2, 3, 1);
  view->updateTransform(pose, nullptr);
  view->updateTransform(pose, nose);
  EXPECT_EQ(nose->simdWorldTransform(), pose);
  // Offered to hosts, made once.
  EXPECT_EQ(view->faceNode(), view->faceNode());
  EXPECT_NE(view->faceTextureNode(), view->faceOccluderNode());
}

TEST_F(OstrellFaceViewTest, ScreenshotHidesViewsWhileDrawingAndShowsThemAfter) {
  auto view = OstrellFaceView::initWithFrame(CGRectMake(0, 0, 100, 200), {});
  auto badge = UIView::initWithFrame(CGRectMake(0, 0, 10, 10));
  auto hint = UIView::initWithFrame(CGRectMake(0, 0, 10, 10));
  hint->setHidden(true);
  view->addSubview(badge);
  view->addSubview(hint);

  std::shared_ptr<UIImage> shot = view->screenShotMethod(view, {badge, hint});
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(shot->size(), CGSizeMake(100, 200));
  EXPECT_THAT(shot->drawnViews(), Contains(view->sceneView()));
  EXPECT_THAT(shot->drawnViews(), Not(Contains(badge)));
  EXPECT_FALSE(badge->isHidden());
  EXPECT_FALSE(hint->isHidden());

  auto empty = view->screenShotMethod(UIView::init(), {});
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->size(), CGSizeMake(0, 0));
  EXPECT_THAT(empty->drawnViews(), IsEmpty());
}

TEST_F(OstrellFaceViewTest, FramesAreShownFromTheRenderThread) {
  auto view = OstrellFaceView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
  UseFakeSession(*view, view);
  std::shared_ptr<SCNView> scene_view = view->sceneView();
  std::shared_ptr<SCNNode> root = scene_view->scene()->rootNode();
  auto nose = SCNNode::node();
  auto left = SCNNode::node();
  auto center = SCNNode::node();
  for (const auto& node : {nose, left, center}) root->addChildNode(node);
  view->setNoseTipNode(nose);
  view->setForeheadLeftNode(left);
  view->setCenterNode(center);  // the right forehead stays unset

  // Nothing to show yet.
  const int commits = platform::quartzcore::CommittedTransactions();
  platform::scenekit::RenderFrame(*scene_view, 0);
  EXPECT_EQ(view->currentFaceFrame(), nullptr);
  EXPECT_EQ(view->cameraImageLayer()->contents(), nullptr);
  EXPECT_EQ(platform::quartzcore::CommittedTransactions(), commits);

  CVPixelBufferRef image = Image();
  std::shared_ptr<QVXAugmentedFace> face = FaceWithDistinctPoses();
  auto frame = QVXAugmentedFaceFrame::initWithFace(face, image, 1.0, 60);
  view->faceSession()->didOutputFace(frame);
  platform::dispatch::RunUntilIdle();  // didUpdateFrame on the main queue
  EXPECT_EQ(view->nextFaceFrame(), frame);
  EXPECT_EQ(view->sceneCamera()->projectionTransform(),
            frame->projectionMatrixForViewportSize(CGSizeMake(390, 844), 1, false, 0.05, 100));
  EXPECT_EQ(scene_view->layer()->transform(), CATransform3DMakeScale(-1, 1, 1));
  EXPECT_EQ(view->currentFaceFrame(), nullptr);

  platform::scenekit::RenderFrame(*scene_view, 1);
  EXPECT_EQ(view->currentFaceFrame(), frame);
  ExpectNear(nose->simdWorldTransform(), face->transformForRegion(0));
  ExpectNear(left->simdWorldTransform(), face->transformForRegion(1));
  ExpectNear(center->simdWorldTransform(), face->centerTransform());
  EXPECT_NE(nose->simdWorldTransform(), center->simdWorldTransform());
  EXPECT_FALSE(root->isHidden());
  std::shared_ptr<CALayer> image_layer = view->cameraImageLayer();
  EXPECT_EQ(image_layer->contents(), image);
  EXPECT_EQ(image_layer->affineTransform(),
            frame->displayTransformForViewportSize(image_layer->bounds().size, 1, true));
  EXPECT_EQ(platform::quartzcore::LastCommittedAnimationDuration(), 0);

  // A frame without a face: the nodes stay, the scene hides, the image still updates.
  CVPixelBufferRef blank_image = Image();
  auto blank = QVXAugmentedFaceFrame::initWithFace(nullptr, blank_image, 2.0, 60);
  view->didUpdateFrame(blank);
  nose->setSimdWorldTransform(matrix_identity_float4x4);
  platform::scenekit::RenderFrame(*scene_view, 2);
  EXPECT_TRUE(root->isHidden());
  EXPECT_EQ(nose->simdWorldTransform(), matrix_identity_float4x4);
  EXPECT_EQ(image_layer->contents(), blank_image);

  // No new frame: the update does nothing (the nose is not put back).
  platform::scenekit::RenderFrame(*scene_view, 3);
  EXPECT_EQ(nose->simdWorldTransform(), matrix_identity_float4x4);

  // The face returns: shown again.
  view->didUpdateFrame(QVXAugmentedFaceFrame::initWithFace(face, image, 3.0, 60));
  platform::scenekit::RenderFrame(*scene_view, 4);
  EXPECT_FALSE(root->isHidden());
  ExpectNear(nose->simdWorldTransform(), face->transformForRegion(0));
  CVPixelBufferRelease(image);
  CVPixelBufferRelease(blank_image);
}

TEST_F(OstrellFaceViewTest, DestroyingTheViewMidStreamStopsCaptureMotionAndRendering) {
  auto view = OstrellFaceView::init();
  std::shared_ptr<FakeFaceMeshGraph> driver = UseFakeSession(*view, view);
  platform::coremotion::PushDeviceMotion({0, -1, 0});
  std::shared_ptr<AVCaptureSession> capture = view->captureSession();
  std::shared_ptr<CMMotionManager> motion = view->motionManager();
  std::shared_ptr<SCNView> scene_view = view->sceneView();
  for (int i = 0; i < 5; ++i) platform::avfoundation::DeliverFrame();
  std::thread renderer([scene_view] {
    for (int i = 0; i < 20; ++i) scene_view->RenderFrame(i);
  });
  view->didUpdateFrame(QVXAugmentedFaceFrame::initWithFace(nullptr, nullptr, 0, 60));
  view.reset();
  renderer.join();
  EXPECT_FALSE(capture->isRunning());
  EXPECT_FALSE(motion->isDeviceMotionActive());
  const size_t fed = driver->frames().size();
  platform::avfoundation::DeliverFrame();
  platform::avfoundation::WaitForDeliveries();
  EXPECT_EQ(driver->frames().size(), fed);
}

}  // namespace
