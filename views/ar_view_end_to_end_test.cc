// The placement view over a scripted world, stepped frame by frame on virtual time: the focus
// square finds a plane, a model is placed, dragged, set down and turned.

#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/uikit/ui_gesture_recognizers.h"
#include "views/ar_view.h"
#include "views/extensions.h"
#include "views/test_archive.h"

namespace {

simd_float4x4 At(float x, float y, float z) {
  simd_float4x4 m = matrix_identity_float4x4;
  m.columns[3] = simd_make_float4(x, y, z, 1);
  return m;
}

class Host : public BaseARSCNViewDelegate {
 public:
  void itemPlaced(const std::shared_ptr<VirtualObject>& o) override { Add("placed", o); }
  void itemPanned(const std::shared_ptr<VirtualObject>& o) override { Add("panned", o); }
  void itemRotated(const std::shared_ptr<VirtualObject>& o) override { Add("rotated", o); }
  void Add(const std::string& what, const std::shared_ptr<VirtualObject>& o) {
    if (events.empty() || events.back() != what + " " + o->modelName()) {
      events.push_back(what + " " + o->modelName());
    }
  }
  std::vector<std::string> events;  // repeats folded
};

class ARViewEndToEndTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::dispatch::UseVirtualTime(true);
    // Made on virtual time, so that the new square's animations run on the clock we step.
    view_ = ARView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
    session_ = view_->session();
    view_->setEvents_delegate(host_);
    platform::arkit::SetRaycastHandler(*session_, [this](const ARRaycastQuery&) {
      ARRaycastResult r{At(floor_x_, -1, -2)};
      r.anchor = plane_;
      return std::vector<ARRaycastResult>{r};
    });
    Advance(1);  // the new square has faded in and finished opening
  }
  void TearDown() override {
    for (const auto& object : view_->shownVirtualObjects()) object->stopTrackedRaycast();
    Settle();
    view_->StopRendering();
    platform::dispatch::UseVirtualTime(false);
  }

  static void Advance(double seconds) {
    platform::dispatch::AdvanceVirtualTime(
        std::chrono::nanoseconds(static_cast<int64_t>(std::llround(seconds * 1e9))));
  }
  void Settle() {
    for (int i = 0; i < 2; ++i) {
      platform::dispatch::RunUntilIdle();
      dispatch_sync(view_->updateQueue(), [] {});
    }
  }
  // One rendered frame: the world's frame, the render thread, the main queue, the update queue,
  // then a sixtieth of a second.
  void Frame() {
    platform::arkit::PushFrame(*session_, time_);
    view_->RenderFrame(time_);
    Settle();
    time_ += 1.0 / 60;
    Advance(1.0 / 60);
  }
  template <typename R>
  std::shared_ptr<R> Recognizer() {
    for (const auto& r : view_->gestureRecognizers()) {
      if (auto found = std::dynamic_pointer_cast<R>(r)) return found;
    }
    return nullptr;
  }

  platform::foundation::ScopedTestFolder folder_;
  std::shared_ptr<ARView> view_;
  std::shared_ptr<ARSession> session_;
  std::shared_ptr<Host> host_ = std::make_shared<Host>();
  std::shared_ptr<ARPlaneAnchor> plane_;
  float floor_x_ = 0;
  double time_ = 1;
};

TEST_F(ARViewEndToEndTest, FindPlacedDragAndTurn) {
  const auto square = view_->focusSquare();

  // Tracking still limited: the square floats in front of the camera.
  platform::arkit::SetTrackingState(*session_, ARTrackingStateLimited,
                                    ARTrackingStateReasonInitializing);
  Frame();
  EXPECT_EQ(square->parentNode(), view_->pointOfView());
  EXPECT_FALSE(square->state().isDetecting());
  EXPECT_TRUE(view_->placeObjectButton()->isHidden());

  // Tracking normal, and the centre ray meets a plane the world has just found.
  plane_ = std::make_shared<ARPlaneAnchor>(At(0, -1, -2), ARPlaneAnchorAlignmentHorizontal,
                                           simd_make_float3(2, 0, 2));
  platform::arkit::AddAnchor(*session_, plane_);
  platform::arkit::SetTrackingState(*session_, ARTrackingStateNormal, ARTrackingStateReasonNone);
  int flashes = 0;
  bool lit = false;
  for (int i = 0; i < 90; ++i) {
    Frame();
    const bool now_lit = square->fillPlane()->opacity() > 0.01f;
    if (now_lit && !lit) ++flashes;
    lit = now_lit;
  }
  EXPECT_EQ(square->parentNode(), view_->scene()->rootNode());
  EXPECT_FALSE(square->isOpen());
  EXPECT_FALSE(square->isAnimating());
  EXPECT_EQ(flashes, 1);
  EXPECT_NEAR(square->simdPosition().y, -1, 1e-5);
  EXPECT_FALSE(view_->placeObjectButton()->isHidden());

  // Place the model: the first tracked update attaches and anchors it.
  const std::string path = folder_.Path("chair.scn");
  std::ofstream(path) << views_testing::Scene("chair-body");
  auto chair = view_->objectLoader()->getObject(NSURL::fileURLWithPath(path));
  chair->load();
  view_->setVirtualObject(chair);
  ASSERT_TRUE(platform::uikit::Tap(view_->placeObjectButton()));
  Settle();
  EXPECT_EQ(host_->events, std::vector<std::string>{"placed chair"});
  ASSERT_NE(chair->raycast(), nullptr);
  EXPECT_EQ(chair->parentNode(), nullptr);
  platform::arkit::PushTrackedRaycastUpdate(*chair->raycast(), {{At(0, -1, -2)}});
  Settle();
  EXPECT_EQ(chair->parentNode(), view_->scene()->rootNode());
  ASSERT_NE(chair->anchor(), nullptr);
  Frame();
  // One object, single mode: the square hides and the turn and screenshot buttons show.
  EXPECT_NE(square->actionForKey("hide"), nullptr);
  EXPECT_TRUE(view_->placeObjectButton()->isHidden());
  EXPECT_FALSE(view_->rotateObjectLeftButton()->isHidden());
  EXPECT_FALSE(view_->screenShotButton()->isHidden());

  // Drag it past the threshold and let go.
  auto pan = Recognizer<ThresholdPanGesture>();
  ASSERT_NE(pan, nullptr);
  const CGPoint on_chair = CGPointFromVector(view_->projectPoint(chair->position()));
  platform::uikit::SetTouches(*pan, {on_chair});
  platform::uikit::Drive(*pan, UIGestureRecognizerStateBegan);
  platform::uikit::MoveTouches(*pan, {45, 0});
  floor_x_ = 0.5f;
  platform::uikit::Drive(*pan, UIGestureRecognizerStateChanged);
  EXPECT_EQ(host_->events.back(), "panned chair");
  EXPECT_FLOAT_EQ(chair->simdWorldPosition().x, 0.5f);
  EXPECT_EQ(chair->raycast(), nullptr);  // dragging stops the tracked raycast
  platform::uikit::Drive(*pan, UIGestureRecognizerStateEnded);
  ASSERT_NE(chair->raycast(), nullptr);  // set down: following the surface again
  platform::arkit::PushTrackedRaycastUpdate(*chair->raycast(), {{At(0.6f, -1, -2)}});
  Settle();
  EXPECT_FLOAT_EQ(chair->simdWorldPosition().x, 0.6f);
  Frame();

  // Turn it with a button and with two fingers.
  ASSERT_TRUE(platform::uikit::Tap(view_->rotateObjectRightButton()));
  EXPECT_NEAR(chair->objectRotation(), M_PI / 12, 1e-6);
  auto rotation = Recognizer<UIRotationGestureRecognizer>();
  rotation->setRotation(0.2);
  platform::uikit::Drive(*rotation, UIGestureRecognizerStateChanged);
  EXPECT_NEAR(chair->objectRotation(), M_PI / 12 - 0.2, 1e-5);
  EXPECT_EQ(host_->events,
            (std::vector<std::string>{"placed chair", "panned chair", "rotated chair"}));
}

}  // namespace
