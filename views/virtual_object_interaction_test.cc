#include "views/virtual_object_interaction.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/uikit/console.h"
#include "views/extensions.h"
#include "views/test_archive.h"

namespace {

using platform::uikit::ConsoleCapture;
using platform::uikit::Drive;
using platform::uikit::MoveTouches;
using platform::uikit::SetTouches;

simd_float4x4 At(float x, float y, float z) {
  simd_float4x4 m = matrix_identity_float4x4;
  m.columns[3] = simd_make_float4(x, y, z, 1);
  return m;
}

// One moving touch past 30 points, or more than one past 60, counts as a drag.
TEST(ThresholdPanGestureTest, ThresholdDependsOnTheTouchesMovedInTheEvent) {
  struct Row {
    int on_screen;
    size_t moved;
    CGPoint delta;
    bool exceeded;
  };
  const std::vector<Row> rows = {
      {1, 1, {30, 0}, false},    {1, 1, {30.01, 0}, true}, {1, 1, {18, 24}, false},
      {2, 2, {60, 0}, false},    {2, 2, {60.01, 0}, true}, {2, 1, {31, 0}, true},
      {3, 3, {0, -60.5}, true},
  };
  for (const Row& row : rows) {
    auto owner = std::make_shared<int>(0);
    auto view = UIView::initWithFrame(CGRectMake(0, 0, 400, 800));
    auto pan = ThresholdPanGesture::initWithTarget(owner, nullptr);
    view->addGestureRecognizer(pan);
    SetTouches(*pan, std::vector<CGPoint>(row.on_screen, CGPointMake(100, 100)));
    Drive(*pan, UIGestureRecognizerStateBegan);
    MoveTouches(*pan, row.delta, row.moved);
    EXPECT_EQ(pan->isThresholdExceeded(), row.exceeded)
        << row.on_screen << " touches, " << row.moved << " moved by " << row.delta.x << ","
        << row.delta.y;
    const CGPoint t = pan->translationInView(view);
    if (row.exceeded) {
      // The drag counts from the crossing.
      EXPECT_EQ(t.x, 0);
      EXPECT_EQ(t.y, 0);
    } else {
      EXPECT_DOUBLE_EQ(t.x, row.delta.x);
      EXPECT_DOUBLE_EQ(t.y, row.delta.y);
    }
  }
}

TEST(ThresholdPanGestureTest, FlagLastsWhileBeganOrChanged) {
  for (UIGestureRecognizerState end :
       {UIGestureRecognizerStateEnded, UIGestureRecognizerStateCancelled,
        UIGestureRecognizerStateFailed, UIGestureRecognizerStatePossible}) {
    auto owner = std::make_shared<int>(0);
    auto view = UIView::initWithFrame(CGRectMake(0, 0, 400, 800));
    auto pan = ThresholdPanGesture::initWithTarget(owner, nullptr);
    view->addGestureRecognizer(pan);
    EXPECT_FALSE(pan->isThresholdExceeded());
    SetTouches(*pan, {{10, 10}});
    Drive(*pan, UIGestureRecognizerStateBegan);
    MoveTouches(*pan, {40, 0});
    Drive(*pan, UIGestureRecognizerStateChanged);
    MoveTouches(*pan, {1, 0});
    Drive(*pan, UIGestureRecognizerStateChanged);
    EXPECT_TRUE(pan->isThresholdExceeded());
    pan->setState(end);
    EXPECT_FALSE(pan->isThresholdExceeded()) << end;
  }
}

class Recorder : public BaseARSCNViewDelegate {
 public:
  void itemPanned(const std::shared_ptr<VirtualObject>& o) override {
    events.push_back("panned " + o->modelName());
  }
  void itemRotated(const std::shared_ptr<VirtualObject>& o) override {
    events.push_back("rotated " + o->modelName());
  }
  void itemLongPressed(const std::shared_ptr<VirtualObject>& o, CGPoint p) override {
    events.push_back("long pressed " + o->modelName() + " at " + std::to_string(int(p.x)) +
                     "," + std::to_string(int(p.y)));
  }
  void itemLongPressEnded(const std::shared_ptr<VirtualObject>& o) override {
    events.push_back("long press ended " + o->modelName());
  }
  std::vector<std::string> events;
};

class InteractionTest : public testing::Test {
 protected:
  void SetUp() override {
    view_->setEvents_delegate(recorder_);
    session_->runWithConfiguration(ARWorldTrackingConfiguration::init(), 0);
    // Every raycast meets the floor one step further along x.
    platform::arkit::SetRaycastHandler(*session_, [this](const ARRaycastQuery& query) {
      queries_.push_back(query);
      return std::vector<ARRaycastResult>{{At(float(queries_.size()), -1, -2)}};
    });
    chair_ = Load("chair");
    chair_->load();
    chair_->setSimdWorldTransform(At(0, 0, -2));
    view_->scene()->rootNode()->addChildNode(chair_);
    for (const auto& r : view_->gestureRecognizers()) {
      if (auto p = std::dynamic_pointer_cast<ThresholdPanGesture>(r)) pan_ = p;
      if (auto p = std::dynamic_pointer_cast<UIRotationGestureRecognizer>(r)) rotation_ = p;
      if (auto p = std::dynamic_pointer_cast<UILongPressGestureRecognizer>(r)) press_ = p;
    }
  }
  void TearDown() override {
    if (chair_ != nullptr) chair_->stopTrackedRaycast();
  }

  std::shared_ptr<VirtualObject> Load(const std::string& name) {
    const std::string path = folder_.Path(name + ".scn");
    std::ofstream(path) << views_testing::Scene(name + "-body");
    return VirtualObject::initWithURL(NSURL::fileURLWithPath(path));
  }
  void Drain() { dispatch_sync(view_->updateQueue(), [] {}); }
  CGPoint ChairOnScreen() const {
    return CGPointFromVector(view_->projectPoint(chair_->position()));
  }

  const CGPoint kOnChair = CGPointMake(195, 422);
  const CGPoint kOnFloor = CGPointMake(20, 800);
  platform::foundation::ScopedTestFolder folder_;
  std::shared_ptr<BaseARSCNView> view_ =
      BaseARSCNView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
  std::shared_ptr<ARSession> session_ = view_->session();
  std::shared_ptr<VirtualObjectInteraction> interaction_ = VirtualObjectInteraction::init(view_);
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::vector<ARRaycastQuery> queries_;
  std::shared_ptr<VirtualObject> chair_;
  std::shared_ptr<ThresholdPanGesture> pan_;
  std::shared_ptr<UIRotationGestureRecognizer> rotation_;
  std::shared_ptr<UILongPressGestureRecognizer> press_;
};

TEST_F(InteractionTest, InstallsThreeRecognisersThatRunTogether) {
  ASSERT_EQ(view_->gestureRecognizers().size(), 3u);
  ASSERT_NE(pan_, nullptr);
  ASSERT_NE(rotation_, nullptr);
  ASSERT_NE(press_, nullptr);
  EXPECT_EQ(pan_->delegate(), interaction_);
  EXPECT_TRUE(interaction_->gestureRecognizer(*pan_, *rotation_));
  ConsoleCapture console;
  platform::uikit::TapMenuItem(std::make_shared<UIMenuItem>(
      "Nothing", [this](const auto& item) { interaction_->actiona(item); }));
  EXPECT_EQ(console.lines(), std::vector<std::string>{"do nothing"});
}

TEST_F(InteractionTest, PanDragsPastTheThresholdAndSetsDownOnRelease) {
  SetTouches(*pan_, {kOnChair});
  Drive(*pan_, UIGestureRecognizerStateBegan);
  EXPECT_EQ(interaction_->trackedObject(), chair_);
  EXPECT_EQ(interaction_->selectedObject(), chair_);
  MoveTouches(*pan_, {20, 0});
  Drive(*pan_, UIGestureRecognizerStateChanged);
  EXPECT_TRUE(recorder_->events.empty());  // not far enough yet
  EXPECT_TRUE(queries_.empty());

  MoveTouches(*pan_, {15, 0});
  const CGPoint start = ChairOnScreen();
  Drive(*pan_, UIGestureRecognizerStateChanged);
  EXPECT_EQ(recorder_->events, std::vector<std::string>{"panned chair"});
  ASSERT_EQ(queries_.size(), 1u);
  EXPECT_EQ(queries_[0].target, ARRaycastTargetEstimatedPlane);
  EXPECT_FLOAT_EQ(chair_->simdWorldPosition().x, 1);
  ASSERT_TRUE(interaction_->currentTrackingPosition().has_value());
  EXPECT_NEAR(interaction_->currentTrackingPosition()->x, start.x, 1e-3);

  MoveTouches(*pan_, {12, -4});
  Drive(*pan_, UIGestureRecognizerStateChanged);
  EXPECT_NEAR(interaction_->currentTrackingPosition()->x, start.x + 12, 1e-3);
  EXPECT_NEAR(interaction_->currentTrackingPosition()->y, start.y - 4, 1e-3);
  EXPECT_EQ(pan_->translationInView(view_).x, 0);  // used up by the handler

  Drive(*pan_, UIGestureRecognizerStateEnded);
  ASSERT_NE(chair_->raycast(), nullptr);
  EXPECT_TRUE(chair_->shouldUpdateAnchor());
  EXPECT_EQ(interaction_->trackedObject(), chair_);  // still tracked after the pan
  EXPECT_EQ(interaction_->selectedObject(), nullptr);
  EXPECT_FALSE(interaction_->currentTrackingPosition().has_value());

  // A second pan begun on the floor drags the same object, from where it is on screen.
  chair_->stopTrackedRaycast();
  SetTouches(*pan_, {kOnFloor});
  Drive(*pan_, UIGestureRecognizerStateBegan);
  MoveTouches(*pan_, {0, 45});
  MoveTouches(*pan_, {0, 5});
  const CGPoint from = ChairOnScreen();
  Drive(*pan_, UIGestureRecognizerStateChanged);
  EXPECT_EQ(recorder_->events.back(), "panned chair");
  EXPECT_NEAR(interaction_->currentTrackingPosition()->y, from.y + 5, 1e-3);
}

TEST_F(InteractionTest, SetDownWithoutAQueryAnchorsWhereTheObjectIs) {
  interaction_->setTrackedObject(chair_);
  platform::arkit::SetQueriesFormable(*session_, false);
  SetTouches(*pan_, {kOnFloor});
  Drive(*pan_, UIGestureRecognizerStateBegan);
  Drive(*pan_, UIGestureRecognizerStateEnded);
  EXPECT_EQ(chair_->raycast(), nullptr);
  EXPECT_FALSE(chair_->shouldUpdateAnchor());
  Drain();
  ASSERT_NE(chair_->anchor(), nullptr);
  EXPECT_FLOAT_EQ(chair_->anchor()->transform().columns[3].z, -2);
  EXPECT_EQ(session_->anchors(), std::vector<std::shared_ptr<ARAnchor>>{chair_->anchor()});
}

TEST_F(InteractionTest, LongPressTracksTellsAndReleases) {
  ConsoleCapture console;
  SetTouches(*press_, {kOnFloor});
  Drive(*press_, UIGestureRecognizerStateBegan);
  EXPECT_EQ(interaction_->trackedObject(), nullptr);
  SetTouches(*press_, {kOnChair});
  Drive(*press_, UIGestureRecognizerStateBegan);
  EXPECT_EQ(console.lines(), std::vector<std::string>{"long tapping on chair"});
  EXPECT_EQ(interaction_->trackedObject(), chair_);
  Drive(*press_, UIGestureRecognizerStateEnded);
  EXPECT_EQ(interaction_->trackedObject(), nullptr);
  EXPECT_EQ(interaction_->selectedObject(), chair_);
  Drive(*press_, UIGestureRecognizerStateEnded);  // nothing tracked: no call

  interaction_->setTrackedObject(chair_);
  Drive(*press_, UIGestureRecognizerStateChanged);
  EXPECT_EQ(interaction_->trackedObject(), nullptr);
  EXPECT_EQ(recorder_->events, (std::vector<std::string>{"long pressed chair at 195,422",
                                                         "long press ended chair"}));
}

TEST_F(InteractionTest, RotationTurnsTheTrackedModelOnlyWhileChanging) {
  const auto body = chair_->childNodes().front();
  rotation_->setRotation(0.3);
  Drive(*rotation_, UIGestureRecognizerStateChanged);  // nothing tracked: it keeps adding up
  EXPECT_DOUBLE_EQ(rotation_->rotation(), 0.3);
  EXPECT_TRUE(recorder_->events.empty());

  SetTouches(*rotation_, {kOnChair, {kOnChair.x + 40, kOnChair.y}});
  Drive(*rotation_, UIGestureRecognizerStateBegan);  // picks nothing
  EXPECT_EQ(interaction_->trackedObject(), nullptr);
  interaction_->setTrackedObject(chair_);
  rotation_->setRotation(0.5);
  Drive(*rotation_, UIGestureRecognizerStateChanged);
  EXPECT_NEAR(body->simdEulerAngles().y, -0.5, 1e-5);
  EXPECT_EQ(rotation_->rotation(), 0);
  EXPECT_EQ(recorder_->events, std::vector<std::string>{"rotated chair"});
  Drive(*rotation_, UIGestureRecognizerStateEnded);
  EXPECT_EQ(interaction_->trackedObject(), chair_);

  // A model without nodes: nothing turns and the host hears nothing, but the value is used up.
  auto empty = Load("empty");
  interaction_->setTrackedObject(empty);
  rotation_->setRotation(0.2);
  Drive(*rotation_, UIGestureRecognizerStateChanged);
  EXPECT_EQ(rotation_->rotation(), 0);
  EXPECT_EQ(recorder_->events.size(), 1u);
}

TEST_F(InteractionTest, HostPinchScalesTheTrackedModel) {
  auto pinch = std::make_shared<UIPinchGestureRecognizer>(
      interaction_, [this](const std::shared_ptr<UIGestureRecognizer>& g) {
        interaction_->actionScaled(std::static_pointer_cast<UIPinchGestureRecognizer>(g));
      });
  view_->addGestureRecognizer(pinch);
  pinch->setScale(2);
  Drive(*pinch, UIGestureRecognizerStateChanged);
  EXPECT_EQ(pinch->scale(), 1);
  interaction_->setTrackedObject(chair_);
  pinch->setScale(1.5);
  Drive(*pinch, UIGestureRecognizerStateChanged);
  pinch->setScale(2);
  Drive(*pinch, UIGestureRecognizerStateChanged);
  EXPECT_FLOAT_EQ(chair_->childNodes().front()->simdScale().x, 3);
  EXPECT_EQ(pinch->scale(), 1);
  EXPECT_TRUE(recorder_->events.empty());
}

TEST_F(InteractionTest, ButtonsTurnByFifteenDegrees) {
  interaction_->rotate(chair_, true);
  EXPECT_NEAR(chair_->objectRotation(), -M_PI / 12, 1e-6);
  interaction_->rotate(chair_, false);
  interaction_->rotate(chair_, false);
  EXPECT_NEAR(chair_->objectRotation(), M_PI / 12, 1e-6);
  interaction_->rotate(nullptr, true);  // no model: nothing
}

TEST_F(InteractionTest, SelectionEffectScalesByAFifth) {
  platform::dispatch::UseVirtualTime(true);
  auto node = SCNNode::node();
  interaction_->visualizeObjectSelection(node, 0.3, true);
  platform::dispatch::AdvanceVirtualTime(std::chrono::milliseconds(300));
  EXPECT_FLOAT_EQ(node->scale().x, 1.2f);
  auto other = SCNNode::node();
  interaction_->visualizeObjectSelection(other, 0.3, false);
  platform::dispatch::AdvanceVirtualTime(std::chrono::milliseconds(150));
  EXPECT_NEAR(other->scale().y, 0.9f, 1e-6);
  platform::dispatch::AdvanceVirtualTime(std::chrono::milliseconds(150));
  EXPECT_FLOAT_EQ(other->scale().z, 0.8f);
  platform::dispatch::UseVirtualTime(false);
}

}  // namespace
