#include "views/arkit_face_view.h"

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/scenekit/scn_geometry.h"
#include "platform/uikit/console.h"
#include "views/faceview.h"

namespace {

using platform::foundation::ScopedTestFolder;
using platform::uikit::ConsoleCapture;

// Glasses with a hidden "ARKit_Mesh" node below their frame.
constexpr char kGlasses[] =
    "quillmere-scene 1\n"
    "node frame position 0 0 0 box 0.14 0.04 0.02\n"
    "node ARKit_Mesh parent frame position 0 0 0 box 0.1 0.1 0.1 hidden\n";

std::shared_ptr<ARFaceAnchor> FaceAnchor() {
  return std::make_shared<ARFaceAnchor>(
      matrix_identity_float4x4,
      std::make_shared<ARFaceGeometry>(std::vector<simd_float3>{{0, 0, 0}}));
}

class ARKitFaceViewTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    std::ofstream(folder_.Path("glasses.scn")) << kGlasses;
    glasses_ = VirtualObject::initWithURL(NSURL::fileURLWithPath(folder_.Path("glasses.scn")));
    glasses_->load();
    // A second hidden mesh after the frame: the depth-first search finds the deeper one first.
    auto second = SCNNode::node();
    second->setName("ARKit_Mesh");
    second->setHidden(true);
    glasses_->addChildNode(second);
  }
  void TearDown() override {
    platform::arkit::SetFaceTrackingSupported(true);
    platform::arkit::SetFaceGeometryAvailable(true);
    platform::foundation::SetSandboxRoot("");
  }

  // A view set up with the glasses; face anchors come from the session and appear after a
  // rendered frame.
  std::shared_ptr<ARKitFaceView> ReadyView() {
    auto view = ARKitFaceView::init();
    view->setVirtualObject(glasses_);
    view->finishInitialization();
    return view;
  }

  ScopedTestFolder folder_;
  std::shared_ptr<VirtualObject> glasses_;
};

TEST_F(ARKitFaceViewTest, ConstructionFindsNoModelAndLeavesTheViewUnconfigured) {
  ConsoleCapture console;
  auto framed = ARKitFaceView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
  auto bare = ARKitFaceView::init();
  NSKeyedUnarchiver coder(true);
  auto decoded = ARKitFaceView::initWithCoder(&coder);
  ASSERT_NE(decoded, nullptr);
  coder.failWithError(NSError::errorWithDomain(NSCocoaErrorDomain, NSCoderReadCorruptError));
  EXPECT_EQ(ARKitFaceView::initWithCoder(&coder), nullptr);
  EXPECT_EQ(console.lines(), std::vector<std::string>(3, "problem with model"));
  EXPECT_EQ(bare->frame(), CGRectZero);
  for (const auto& view : {framed, bare, decoded}) {
    EXPECT_EQ(view->session()->runCount(), 0);
    EXPECT_EQ(view->arDelegate(), nullptr);
    EXPECT_EQ(view->session()->delegate(), nullptr);
    EXPECT_EQ(view->faceOverlayContent(), nullptr);
    EXPECT_EQ(view->currentFaceAnchor(), nullptr);
    EXPECT_EQ(view->contentNode(), nullptr);
    EXPECT_EQ(view->occlusionNode(), nullptr);
    EXPECT_TRUE(view->subviews().empty());  // no screenshot button here
  }
}

TEST_F(ARKitFaceViewTest, SetUpWithAModelStartsFaceTracking) {
  auto view = ARKitFaceView::init();
  view->setAutomaticallyUpdatesLighting(false);
  view->setVirtualObject(glasses_);
  ConsoleCapture console;
  view->finishInitialization();

  EXPECT_TRUE(console.lines().empty());
  EXPECT_EQ(view->arDelegate(), view);
  EXPECT_EQ(view->session()->delegate(), view);
  EXPECT_TRUE(view->automaticallyUpdatesLighting());
  EXPECT_EQ(view->faceOverlayContent(), glasses_);
  auto deep = glasses_->childNodes()[0]->childNodes()[0];
  auto shallow = glasses_->childNodes()[1];
  EXPECT_FALSE(deep->isHidden());
  EXPECT_TRUE(shallow->isHidden());

  auto configuration =
      std::dynamic_pointer_cast<ARFaceTrackingConfiguration>(view->session()->configuration());
  ASSERT_NE(configuration, nullptr);
  EXPECT_TRUE(configuration->isLightEstimationEnabled());
  EXPECT_EQ(view->session()->runCount(), 1);
  EXPECT_EQ(view->session()->lastRunOptions(),
            ARSessionRunOptionResetTracking | ARSessionRunOptionRemoveExistingAnchors);
}

TEST_F(ARKitFaceViewTest, WithoutFaceTrackingEverythingButTheRunHappens) {
  platform::arkit::SetFaceTrackingSupported(false);
  auto view = ReadyView();
  EXPECT_EQ(view->arDelegate(), view);
  EXPECT_EQ(view->faceOverlayContent(), glasses_);
  EXPECT_EQ(view->session()->runCount(), 0);
}

TEST_F(ARKitFaceViewTest, RemovalCleansUpThenPausesTheSession) {
  auto view = ReadyView();
  auto window = UIView::init();
  window->addSubview(view);
  auto placed = VirtualObject::initWithURL(NSURL::fileURLWithPath(folder_.Path("glasses.scn")));
  view->setShownVirtualObjects({placed});
  ConsoleCapture console;

  view->removeFromSuperview();
  const std::vector<std::string> lines = console.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "BaseARSCNView is removed");
  EXPECT_EQ(lines[2], "this view is removed");
  EXPECT_TRUE(view->shownVirtualObjects().empty());
  EXPECT_FALSE(view->session()->isRunning());
}

TEST_F(ARKitFaceViewTest, SessionFailuresOfTheARDomainArePrinted) {
  using Info = NSErrorUserInfo;
  struct Case {
    std::shared_ptr<NSError> error;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {NSError::errorWithDomain(ARErrorDomain, ARErrorCodeSensorFailed,
                                Info{{NSLocalizedDescriptionKey, std::string("Sensor failed.")}}),
       {"The AR session failed. Sensor failed."}},
      {NSError::errorWithDomain(
           ARErrorDomain, ARErrorCodeCameraUnauthorized,
           Info{{NSLocalizedDescriptionKey, std::string("No camera.")},
                {NSLocalizedFailureReasonErrorKey, std::string("Access denied.")},
                {NSLocalizedRecoverySuggestionErrorKey, std::string("Allow it in Settings.")}}),
       {"The AR session failed. No camera.\nAccess denied.\nAllow it in Settings."}},
      {NSError::errorWithDomain(
           ARErrorDomain, ARErrorCodeWorldTrackingFailed,
           Info{{NSLocalizedDescriptionKey, std::string("Lost.")},
                {NSLocalizedRecoverySuggestionErrorKey, std::string("Move.")}}),
       {"The AR session failed. Lost.\nMove."}},
      {NSError::errorWithDomain(NSCocoaErrorDomain, 4, Info{}), {}},
  };
  auto view = ReadyView();
  for (const Case& c : cases) {
    ConsoleCapture console;
    platform::arkit::FailSession(*view->session(), c.error);
    platform::dispatch::RunUntilIdle();
    EXPECT_EQ(console.lines(), c.lines);
  }
  EXPECT_EQ(view->session()->runCount(), 1);  // not restarted
}

TEST_F(ARKitFaceViewTest, FaceAnchorGetsOccluderAndOverlayOnce) {
  auto view = ReadyView();
  auto session = view->session();
  auto plane = std::make_shared<ARPlaneAnchor>(
      matrix_identity_float4x4, ARPlaneAnchorAlignmentHorizontal, simd_float3{1, 0, 1});
  platform::arkit::AddAnchor(*session, plane);
  platform::scenekit::RenderFrame(*view, 0);
  EXPECT_EQ(view->currentFaceAnchor(), nullptr);
  EXPECT_TRUE(view->nodeForAnchor(plane)->childNodes().empty());

  // An update before any content exists changes nothing.
  auto face = FaceAnchor();
  view->rendererDidUpdateNode(view, SCNNode::node(), face);

  platform::arkit::AddAnchor(*session, face);
  platform::scenekit::RenderFrame(*view, 1);
  EXPECT_EQ(view->currentFaceAnchor(), face);
  std::shared_ptr<SCNNode> anchor_node = view->nodeForAnchor(face);
  ASSERT_EQ(anchor_node->childNodes().size(), 1u);
  std::shared_ptr<SCNNode> content = anchor_node->childNodes()[0];
  EXPECT_EQ(content, view->contentNode());
  EXPECT_EQ(content->simdTransform(), matrix_identity_float4x4);
  ASSERT_EQ(content->childNodes().size(), 2u);
  std::shared_ptr<SCNNode> occlusion = content->childNodes()[0];
  EXPECT_EQ(occlusion, view->occlusionNode());
  EXPECT_EQ(content->childNodes()[1], glasses_);
  EXPECT_EQ(occlusion->renderingOrder(), -1);
  auto geometry = std::dynamic_pointer_cast<ARSCNFaceGeometry>(occlusion->geometry());
  ASSERT_NE(geometry, nullptr);
  EXPECT_EQ(geometry->firstMaterial()->colorBufferWriteMask(), SCNColorMaskNone);

  // The same node announced again gets nothing new.
  view->rendererDidAddNode(view, anchor_node, face);
  EXPECT_EQ(anchor_node->childNodes().size(), 1u);
  EXPECT_EQ(view->contentNode(), content);

  // Updates reshape the occluder from the anchor's face.
  auto shape = std::make_shared<ARFaceGeometry>(std::vector<simd_float3>{{0, 0, 0}, {1, 1, 1}});
  face->SetGeometry(shape);
  platform::arkit::UpdateAnchor(*session, face, matrix_identity_float4x4);
  platform::scenekit::RenderFrame(*view, 2);
  EXPECT_EQ(geometry->updateCount(), 1);
  EXPECT_EQ(geometry->lastFaceGeometry(), shape);

  // A tracking reset: the next face anchor gets new nodes and takes the overlay along.
  view->resetTracking();
  auto next = FaceAnchor();
  platform::arkit::AddAnchor(*session, next);
  platform::scenekit::RenderFrame(*view, 3);
  EXPECT_EQ(view->currentFaceAnchor(), next);
  EXPECT_NE(view->contentNode(), content);
  EXPECT_EQ(glasses_->parentNode(), view->contentNode());
  EXPECT_EQ(content->childNodes().size(), 1u);
  view->StopRendering();
}

TEST_F(ARKitFaceViewTest, ContentNeedsAnARViewAFaceAndAFaceGeometry) {
  auto view = ARKitFaceView::init();
  auto face = FaceAnchor();
  // No overlay: the occluder alone.
  auto alone = view->createNode(view, face);
  ASSERT_NE(alone, nullptr);
  EXPECT_EQ(alone->childNodes().size(), 1u);

  EXPECT_EQ(view->createNode(SCNView::initWithFrame(CGRectZero, {}), face), nullptr);
  EXPECT_EQ(view->createNode(view, std::make_shared<ARAnchor>(matrix_identity_float4x4)), nullptr);
  platform::arkit::SetFaceGeometryAvailable(false);
  EXPECT_EQ(view->createNode(view, face), nullptr);
  EXPECT_EQ(view->contentNode(), alone);
}

TEST(Faceview, AddsOneARKitFaceViewWhereFaceTrackingRuns) {
  ConsoleCapture console;
  NSKeyedUnarchiver coder(true);
  for (const auto& container :
       {Faceview::init(), Faceview::initWithFrame(CGRectMake(0, 0, 320, 640)),
        Faceview::initWithCoder(&coder)}) {
    ASSERT_NE(container, nullptr);
    EXPECT_FALSE(container->isBackwardCompatible());
    ASSERT_EQ(container->subviews().size(), 1u);
    auto face_view = std::dynamic_pointer_cast<ARKitFaceView>(container->subviews()[0]);
    ASSERT_NE(face_view, nullptr);
    EXPECT_EQ(face_view->frame(), CGRectZero);
  }
  // Each face view looked for a model at construction.
  EXPECT_EQ(console.lines(), std::vector<std::string>(3, "problem with model"));

  // A coder that cannot make a view: no container, nothing printed.
  coder.failWithError(NSError::errorWithDomain(NSCocoaErrorDomain, NSCoderReadCorruptError));
  EXPECT_EQ(Faceview::initWithCoder(&coder), nullptr);
  EXPECT_EQ(console.lines().size(), 3u);

  auto container = Faceview::init();
  auto first = container->subviews()[0];
  container->chooseFramework();
  ASSERT_EQ(container->subviews().size(), 2u);
  EXPECT_EQ(container->subviews()[0], first);
  EXPECT_NE(std::dynamic_pointer_cast<ARKitFaceView>(container->subviews()[1]), nullptr);
}

TEST(Faceview, StaysEmptyWithoutFaceTracking) {
  platform::arkit::SetFaceTrackingSupported(false);
  ConsoleCapture console;
  auto container = Faceview::init();
  platform::arkit::SetFaceTrackingSupported(true);
  EXPECT_TRUE(container->subviews().empty());
  EXPECT_EQ(console.lines(), std::vector<std::string>{"not supported on your model"});
}

}  // namespace
