#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/uikit/console.h"
#include "views/base_ar_scn_view.h"
#include "views/test_archive.h"

namespace {

using platform::foundation::ScopedTestFolder;
using platform::uikit::ConsoleCapture;

simd_float4x4 At(float x, float y, float z) {
  simd_float4x4 m = matrix_identity_float4x4;
  m.columns[3] = simd_make_float4(x, y, z, 1);
  return m;
}

void ExpectAt(const simd_float4x4& m, float x, float y, float z) {
  EXPECT_FLOAT_EQ(m.columns[3].x, x);
  EXPECT_FLOAT_EQ(m.columns[3].y, y);
  EXPECT_FLOAT_EQ(m.columns[3].z, z);
}

class Recorder : public BaseARSCNViewDelegate {
 public:
  void itemPlaced(const std::shared_ptr<VirtualObject>& object) override {
    events.push_back("placed " + object->modelName());
  }
  void itemRemoved(const std::shared_ptr<VirtualObject>& object) override {
    events.push_back("removed " + object->modelName());
  }
  std::vector<std::string> events;
};

class PlacementTest : public testing::Test {
 protected:
  void SetUp() override {
    view_->setEvents_delegate(recorder_);
    session_->runWithConfiguration(ARWorldTrackingConfiguration::init(), 0);
    // The world: a floor 1 m ahead of whatever the query asks about.
    platform::arkit::SetRaycastHandler(*session_, [this](const ARRaycastQuery& query) {
      queries_.push_back(query);
      return floor_ ? std::vector<ARRaycastResult>{{At(0, -1, -1)}}
                    : std::vector<ARRaycastResult>{};
    });
  }
  void TearDown() override {
    // Tracked raycasts hold the view; stopping them lets it go.
    for (const auto& object : view_->shownVirtualObjects()) {
      if (object != nullptr) object->stopTrackedRaycast();
    }
  }

  std::shared_ptr<VirtualObject> Load(const std::string& name) {
    const std::string path = folder_.Path(name + ".scn");
    std::ofstream(path) << views_testing::Scene(name + "-body");
    return view_->objectLoader()->getObject(NSURL::fileURLWithPath(path));
  }
  void Drain() { dispatch_sync(view_->updateQueue(), [] {}); }

  ScopedTestFolder folder_;
  std::shared_ptr<BaseARSCNView> view_ =
      BaseARSCNView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
  std::shared_ptr<ARSession> session_ = view_->session();
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::vector<ARRaycastQuery> queries_;
  bool floor_ = true;
};

TEST_F(PlacementTest, PlacedObjectIsAttachedAndAnchoredByTheFirstTrackedUpdate) {
  auto chair = Load("chair");
  chair->setHidden(true);
  view_->placeVirtualObject(chair);

  ASSERT_EQ(queries_.size(), 1u);
  EXPECT_EQ(queries_[0].target, ARRaycastTargetEstimatedPlane);
  EXPECT_EQ(queries_[0].targetAlignment, ARRaycastTargetAlignmentHorizontal);
  ASSERT_TRUE(chair->raycastQuery().has_value());
  ASSERT_TRUE(chair->mostRecentInitialPlacementResult().has_value());
  ExpectAt(chair->simdWorldTransform(), 0, -1, -1);
  EXPECT_FALSE(chair->isHidden());
  EXPECT_EQ(view_->shownVirtualObjects(), std::vector<std::shared_ptr<VirtualObject>>{chair});
  EXPECT_EQ(recorder_->events, std::vector<std::string>{"placed chair"});
  std::shared_ptr<ARTrackedRaycast> tracked = chair->raycast();
  ASSERT_NE(tracked, nullptr);
  // Placing does not attach: the first tracked update does.
  EXPECT_EQ(chair->parentNode(), nullptr);
  EXPECT_TRUE(session_->anchors().empty());

  platform::arkit::PushTrackedRaycastUpdate(*tracked, {{At(1, -1, -2)}, {At(9, 9, 9)}});
  platform::dispatch::RunUntilIdle();
  EXPECT_EQ(chair->parentNode(), view_->scene()->rootNode());
  ExpectAt(chair->simdWorldTransform(), 1, -1, -2);
  EXPECT_FALSE(chair->shouldUpdateAnchor());
  Drain();
  ASSERT_EQ(session_->anchors().size(), 1u);
  EXPECT_EQ(session_->anchors()[0], chair->anchor());
  ExpectAt(chair->anchor()->transform(), 1, -1, -2);

  // Later updates only move it.
  platform::arkit::PushTrackedRaycastUpdate(*tracked, {{At(2, -1, -2)}});
  platform::dispatch::RunUntilIdle();
  Drain();
  ExpectAt(chair->simdWorldTransform(), 2, -1, -2);
  EXPECT_EQ(session_->anchors().size(), 1u);
  ExpectAt(chair->anchor()->transform(), 1, -1, -2);

  // Placing it again lists and reports it again.
  view_->setUsedPlane(ARPlaneDetectionVertical);
  view_->placeVirtualObject(chair);
  EXPECT_EQ(queries_.back().targetAlignment, ARRaycastTargetAlignmentVertical);
  EXPECT_EQ(view_->shownVirtualObjects().size(), 2u);
  EXPECT_EQ(recorder_->events, (std::vector<std::string>{"placed chair", "placed chair"}));
  tracked->stopTracking();
}

TEST_F(PlacementTest, NothingUnderTheCentreLeavesTheObjectUnplaced) {
  auto chair = Load("chair");
  chair->setRaycastQuery(ARRaycastQuery{});
  chair->setMostRecentInitialPlacementResult(ARRaycastResult{});
  chair->setHidden(true);
  ConsoleCapture console;

  floor_ = false;
  view_->placeVirtualObject(chair);
  platform::arkit::SetQueriesFormable(*session_, false);
  floor_ = true;
  view_->placeVirtualObject(chair);

  EXPECT_EQ(console.lines(),
            std::vector<std::string>(2, "CANNOT PLACE OBJECT Try moving left or right."));
  EXPECT_EQ(queries_.size(), 1u);  // the second time no query formed
  EXPECT_FALSE(chair->raycastQuery().has_value());
  EXPECT_FALSE(chair->mostRecentInitialPlacementResult().has_value());
  EXPECT_TRUE(chair->isHidden());
  EXPECT_TRUE(view_->shownVirtualObjects().empty());
  EXPECT_TRUE(recorder_->events.empty());
}

TEST_F(PlacementTest, DeclinedTrackedRaycastStillPlacesAtTheInitialResult) {
  platform::arkit::SetTrackedRaycastsGranted(*session_, false);
  auto chair = Load("chair");
  view_->placeVirtualObject(chair);
  EXPECT_EQ(chair->raycast(), nullptr);
  ExpectAt(chair->simdWorldTransform(), 0, -1, -1);
  EXPECT_EQ(chair->parentNode(), nullptr);
  EXPECT_EQ(view_->shownVirtualObjects().size(), 1u);
  EXPECT_EQ(recorder_->events, std::vector<std::string>{"placed chair"});
}

TEST_F(PlacementTest, RemovingOneKeepsItsEntryAndAnchor) {
  auto chair = Load("chair");
  view_->placeVirtualObject(chair);
  auto tracked = chair->raycast();
  platform::arkit::PushTrackedRaycastUpdate(*tracked, {{At(1, 0, -2)}});
  platform::dispatch::RunUntilIdle();
  Drain();
  std::shared_ptr<ARAnchor> anchor = chair->anchor();
  ASSERT_NE(anchor, nullptr);

  view_->removeVirtualObject(chair);
  EXPECT_FALSE(tracked->isTracking());
  EXPECT_EQ(chair->raycast(), nullptr);
  EXPECT_EQ(chair->parentNode(), nullptr);
  EXPECT_EQ(chair->anchor(), anchor);
  EXPECT_EQ(session_->anchors(), std::vector<std::shared_ptr<ARAnchor>>{anchor});
  EXPECT_EQ(view_->shownVirtualObjects(), std::vector<std::shared_ptr<VirtualObject>>{chair});
  EXPECT_EQ(recorder_->events, (std::vector<std::string>{"placed chair", "removed chair"}));
}

TEST_F(PlacementTest, RemoveAllGoesNewestFirstAndStopsAtAnEmptyEntry) {
  view_->removeAllVirtualObjects();
  EXPECT_TRUE(recorder_->events.empty());

  auto chair = Load("chair");
  auto lamp = Load("lamp");
  auto vase = Load("vase");
  for (const auto& object : {chair, lamp, vase}) view_->placeVirtualObject(object);
  recorder_->events.clear();
  view_->setVirtualObject(lamp);

  // An empty entry between the chair and the lamp: the lamp and the vase go, the rest stays.
  view_->setShownVirtualObjects({chair, nullptr, lamp, vase});
  view_->removeAllVirtualObjects();
  EXPECT_EQ(recorder_->events, (std::vector<std::string>{"removed vase", "removed lamp"}));
  EXPECT_EQ(view_->shownVirtualObjects(),
            (std::vector<std::shared_ptr<VirtualObject>>{chair, nullptr}));
  EXPECT_EQ(view_->objectLoader()->currentlyLoadedObjects(),
            std::vector<std::shared_ptr<VirtualObject>>{chair});
  EXPECT_TRUE(lamp->childNodes().empty());  // unloaded
  EXPECT_EQ(view_->virtualObject(), lamp);

  view_->setShownVirtualObjects({chair});
  view_->removeAllVirtualObjects();
  EXPECT_TRUE(view_->shownVirtualObjects().empty());
  EXPECT_EQ(recorder_->events.back(), "removed chair");
}

TEST_F(PlacementTest, AnchorRefreshReplacesTheOldAnchor) {
  auto chair = Load("chair");
  chair->setSimdWorldTransform(At(0, 0, -3));
  view_->addOrUpdateAnchor(chair);
  auto first = chair->anchor();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(session_->anchors(), std::vector<std::shared_ptr<ARAnchor>>{first});

  chair->setSimdWorldTransform(At(1, 0, -3));
  view_->addOrUpdateAnchor(chair);
  ASSERT_NE(chair->anchor(), first);
  EXPECT_EQ(session_->anchors(), std::vector<std::shared_ptr<ARAnchor>>{chair->anchor()});
  ExpectAt(chair->anchor()->transform(), 1, 0, -3);
}

TEST_F(PlacementTest, OneShotMoveAndObjectUnderAPoint) {
  auto chair = Load("chair");
  chair->setSimdWorldTransform(At(0, 0, -2));
  view_->scene()->rootNode()->addChildNode(chair);

  // The hit lands on the chair's child box; the chair is answered.
  EXPECT_EQ(view_->virtualObject(CGPointMake(195, 422)), chair);
  EXPECT_EQ(view_->virtualObject(CGPointMake(5, 5)), nullptr);

  floor_ = false;
  view_->createRaycastAndUpdate3DPosition(chair, ARRaycastQuery{});
  ExpectAt(chair->simdWorldTransform(), 0, 0, -2);
  floor_ = true;
  view_->createRaycastAndUpdate3DPosition(chair, ARRaycastQuery{});
  ExpectAt(chair->simdWorldTransform(), 0, -1, -1);
}

class ExposedView : public BaseARSCNView {
 public:
  using BaseARSCNView::BaseARSCNView;
  using BaseARSCNView::setVirtualObject3DPosition;
  static std::shared_ptr<ExposedView> Make() { return Create<ExposedView>(CGRectZero, Options{}); }
};

TEST(PlacementDeathTest, TrackedUpdateWithoutResultsIsABrokenContract) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ExposedView::Make()->setVirtualObject3DPosition(
                   {}, VirtualObject::initWithURL(NSURL::fileURLWithPath("/a.scn"))),
               "always supposed to return at least one result");
}

}  // namespace
