#include "platform/arkit/ar_session.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/arkit/ar_scn_view.h"

namespace {

simd_float4x4 At(float x, float y, float z) {
  simd_float4x4 m = matrix_identity_float4x4;
  m.columns[3] = {x, y, z, 1};
  return m;
}

TEST(ARSession, ScriptedRaycastsAndTrackedRaycasts) {
  auto view = ARSCNView::initWithFrame(CGRectMake(0, 0, 400, 800), {});
  auto session = view->session();
  session->runWithConfiguration(ARWorldTrackingConfiguration::init(), 0);
  std::vector<ARRaycastQuery> asked;
  platform::arkit::SetRaycastHandler(*session, [&](const ARRaycastQuery& q) {
    asked.push_back(q);
    ARRaycastResult floor;
    floor.worldTransform = At(0, -1, -2);
    return std::vector<ARRaycastResult>{floor};
  });

  auto query = view->raycastQueryFromPoint({200, 400}, ARRaycastTargetEstimatedPlane,
                                           ARRaycastTargetAlignmentAny);
  ASSERT_NE(query, nullptr);
  EXPECT_NEAR(query->direction.z, -1, 1e-5);  // through the centre, straight ahead
  EXPECT_EQ(query->target, ARRaycastTargetEstimatedPlane);
  EXPECT_EQ(query->targetAlignment, ARRaycastTargetAlignmentAny);
  auto results = session->raycast(*query);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].worldTransform.columns[3].y, -1);
  EXPECT_EQ(asked.size(), 1u);

  platform::arkit::SetQueriesFormable(*session, false);
  EXPECT_EQ(view->raycastQueryFromPoint({1, 1}, ARRaycastTargetEstimatedPlane,
                                        ARRaycastTargetAlignmentHorizontal),
            nullptr);
  platform::arkit::SetQueriesFormable(*session, true);

  std::vector<size_t> updates;
  auto tracked = session->trackedRaycast(*query, [&](std::vector<ARRaycastResult> r) {
    updates.push_back(r.size());
  });
  ASSERT_NE(tracked, nullptr);
  EXPECT_EQ(session->TrackedRaycasts().size(), 1u);
  platform::arkit::PushTrackedRaycastUpdate(*tracked, results);
  platform::arkit::PushTrackedRaycastUpdate(*tracked, {});
  EXPECT_TRUE(updates.empty());  // delivered on the main queue
  platform::dispatch::RunUntilIdle();
  EXPECT_EQ(updates, (std::vector<size_t>{1, 0}));
  platform::arkit::PushTrackedRaycastUpdate(*tracked, results);
  tracked->stopTracking();  // drops the queued update too
  platform::dispatch::RunUntilIdle();
  EXPECT_EQ(updates.size(), 2u);

  platform::arkit::SetTrackedRaycastsGranted(*session, false);
  EXPECT_EQ(session->trackedRaycast(*query, [](std::vector<ARRaycastResult>) {}), nullptr);
  session->pause();
  EXPECT_TRUE(session->raycast(*query).empty());
}

class Recorder : public ARSCNViewDelegate, public ARSessionDelegate {
 public:
  std::shared_ptr<SCNNode> rendererNodeForAnchor(const std::shared_ptr<SCNSceneRenderer>&,
                                                 const std::shared_ptr<ARAnchor>& anchor) override {
    if (anchor->name() != "custom") return nullptr;
    custom = SCNNode::node();
    return custom;
  }
  void rendererDidAddNode(const std::shared_ptr<SCNSceneRenderer>&,
                          const std::shared_ptr<SCNNode>& node,
                          const std::shared_ptr<ARAnchor>& anchor) override {
    events.push_back("add " + anchor->name() + " y=" +
                     std::to_string(int(node->simdWorldPosition().y)));
  }
  void rendererDidUpdateNode(const std::shared_ptr<SCNSceneRenderer>&,
                             const std::shared_ptr<SCNNode>& node,
                             const std::shared_ptr<ARAnchor>& anchor) override {
    events.push_back("update " + anchor->name() + " y=" +
                     std::to_string(int(node->simdWorldPosition().y)));
  }
  void rendererDidRemoveNode(const std::shared_ptr<SCNSceneRenderer>&,
                             const std::shared_ptr<SCNNode>&,
                             const std::shared_ptr<ARAnchor>& anchor) override {
    events.push_back("remove " + anchor->name());
  }
  void sessionDidUpdateFrame(const std::shared_ptr<ARSession>&,
                             const std::shared_ptr<ARFrame>& frame) override {
    events.push_back("frame " + std::to_string(int(frame->timestamp())) + " state " +
                     std::to_string(frame->camera()->trackingState()));
  }
  void sessionDidFailWithError(const std::shared_ptr<ARSession>&,
                               const std::shared_ptr<NSError>& error) override {
    events.push_back("failed " + error->domain());
  }
  void sessionCameraDidChangeTrackingState(const std::shared_ptr<ARSession>&,
                                           const std::shared_ptr<ARCamera>& camera) override {
    events.push_back("tracking " + std::to_string(camera->trackingState()));
  }
  std::vector<std::string> events;
  std::shared_ptr<SCNNode> custom;
};

TEST(ARSCNView, AnchorChangesBecomeNodesAndCallbacksOnTheNextFrame) {
  auto view = ARSCNView::initWithFrame(CGRectMake(0, 0, 400, 800), {});
  auto recorder = std::make_shared<Recorder>();
  view->setDelegate(recorder);
  auto session = view->session();
  session->setDelegate(recorder);
  session->runWithConfiguration(ARWorldTrackingConfiguration::init(), 0);

  auto plane = std::make_shared<ARAnchor>(At(0, 2, 0), "plane");
  auto custom = std::make_shared<ARAnchor>(At(0, 5, 0), "custom");
  platform::arkit::AddAnchor(*session, plane);
  session->addAnchor(custom);
  EXPECT_TRUE(recorder->events.empty());
  platform::scenekit::RenderFrame(*view, 1);
  EXPECT_EQ(recorder->events, (std::vector<std::string>{"add plane y=2", "add custom y=5"}));
  EXPECT_EQ(view->nodeForAnchor(custom), recorder->custom);
  EXPECT_EQ(view->anchorForNode(recorder->custom), custom);
  EXPECT_EQ(recorder->custom->parentNode(), view->scene()->rootNode());

  platform::arkit::UpdateAnchor(*session, plane, At(0, 3, 0));
  session->runWithConfiguration(ARWorldTrackingConfiguration::init(),
                                ARSessionRunOptionResetTracking |
                                    ARSessionRunOptionRemoveExistingAnchors);
  platform::scenekit::RenderFrame(*view, 2);
  EXPECT_EQ(recorder->events,
            (std::vector<std::string>{"add plane y=2", "add custom y=5", "update plane y=3",
                                      "remove plane", "remove custom"}));
  EXPECT_EQ(view->nodeForAnchor(plane), nullptr);
  EXPECT_TRUE(session->anchors().empty());

  recorder->events.clear();
  platform::arkit::SetTrackingState(*session, ARTrackingStateNormal, ARTrackingStateReasonNone);
  platform::arkit::SetCameraTransform(*session, At(0, 1, 0));
  platform::arkit::PushFrame(*session, 7);
  platform::dispatch::RunUntilIdle();
  EXPECT_EQ(recorder->events, (std::vector<std::string>{"tracking 2", "frame 7 state 2"}));
  platform::scenekit::RenderFrame(*view, 3);
  EXPECT_EQ(view->pointOfView()->simdWorldPosition().y, 1);  // the camera follows the frame

  recorder->events.clear();
  platform::arkit::FailSession(
      *session, NSError::errorWithDomain(ARErrorDomain, ARErrorCodeCameraUnauthorized, {}));
  platform::dispatch::RunUntilIdle();
  EXPECT_EQ(recorder->events, (std::vector<std::string>{"failed " + ARErrorDomain}));
  EXPECT_FALSE(session->isRunning());
}

TEST(ARSCNFaceGeometry, FollowsFaceAnchorsAndCanBeUnavailable) {
  auto view = ARSCNView::initWithFrame(CGRectZero, {});
  auto geometry = ARSCNFaceGeometry::faceGeometryWithDevice(view->device());
  ASSERT_NE(geometry, nullptr);
  geometry->firstMaterial()->setColorBufferWriteMask(SCNColorMaskNone);
  EXPECT_EQ(geometry->firstMaterial()->colorBufferWriteMask(), SCNColorMaskNone);
  auto face = std::make_shared<ARFaceAnchor>(
      At(0, 0, -0.5f), std::make_shared<ARFaceGeometry>(std::vector<simd_float3>{{0, 0, 0}}));
  face->SetGeometry(std::make_shared<ARFaceGeometry>(std::vector<simd_float3>{{0, 0, 0}, {1, 0, 0}}));
  geometry->updateFromFaceGeometry(face->geometry());
  EXPECT_EQ(geometry->updateCount(), 1);
  EXPECT_EQ(geometry->lastFaceGeometry()->vertexCount(), 2u);
  std::shared_ptr<SCNGeometry> as_scn = geometry;
  EXPECT_NE(std::dynamic_pointer_cast<ARSCNFaceGeometry>(as_scn), nullptr);

  EXPECT_EQ(ARSCNFaceGeometry::faceGeometryWithDevice(nullptr), nullptr);
  platform::arkit::SetFaceGeometryAvailable(false);
  EXPECT_EQ(ARSCNFaceGeometry::faceGeometryWithDevice(view->device()), nullptr);
  platform::arkit::SetFaceGeometryAvailable(true);
}

TEST(ARConfiguration, SupportIsSwitchedByTests) {
  EXPECT_TRUE(ARFaceTrackingConfiguration::isSupported());
  platform::arkit::SetFaceTrackingSupported(false);
  EXPECT_FALSE(ARFaceTrackingConfiguration::isSupported());
  platform::arkit::SetFaceTrackingSupported(true);
  EXPECT_TRUE(ARWorldTrackingConfiguration::isSupported());
}

}  // namespace
