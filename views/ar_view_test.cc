#include "views/ar_view.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/device.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/uikit/console.h"
#include "platform/uikit/photo_album.h"
#include "views/extensions.h"
#include "views/test_archive.h"

namespace {

using platform::uikit::ConsoleCapture;

simd_float4x4 At(float x, float y, float z) {
  simd_float4x4 m = matrix_identity_float4x4;
  m.columns[3] = simd_make_float4(x, y, z, 1);
  return m;
}

class Recorder : public BaseARSCNViewDelegate {
 public:
  void itemPlaced(const std::shared_ptr<VirtualObject>& o) override { Add("placed", o); }
  void itemRemoved(const std::shared_ptr<VirtualObject>& o) override { Add("removed", o); }
  void itemPanned(const std::shared_ptr<VirtualObject>& o) override { Add("panned", o); }
  void itemRotated(const std::shared_ptr<VirtualObject>& o) override { Add("rotated", o); }
  void Add(const std::string& what, const std::shared_ptr<VirtualObject>& o) {
    events.push_back(what + " " + o->modelName());
  }
  std::vector<std::string> events;
};

// A placement view over a scripted world on virtual time: tests say whether tracking is
// normal, whether a frame exists and what the centre raycast meets.
class ARViewTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::dispatch::UseVirtualTime(true);
    view_ = ARView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
    session_ = view_->session();
    view_->setEvents_delegate(recorder_);
    platform::arkit::SetRaycastHandler(*session_, [this](const ARRaycastQuery&) {
      if (!hit_) return std::vector<ARRaycastResult>{};
      ARRaycastResult r{At(0, -1, -2)};
      r.anchor = plane_;
      return std::vector<ARRaycastResult>{r};
    });
    Advance(1);  // the square has faded in and opened
  }
  void TearDown() override {
    for (const auto& object : view_->shownVirtualObjects()) {
      if (object != nullptr) object->stopTrackedRaycast();
    }
    Settle();
    view_->StopRendering();
    platform::dispatch::UseVirtualTime(false);
  }

  static void Advance(double seconds) {
    platform::dispatch::AdvanceVirtualTime(
        std::chrono::nanoseconds(static_cast<int64_t>(std::llround(seconds * 1e9))));
  }
  // Runs what the main queue and the update queue hold, in that order, twice over.
  void Settle() {
    for (int i = 0; i < 2; ++i) {
      platform::dispatch::RunUntilIdle();
      dispatch_sync(view_->updateQueue(), [] {});
    }
  }
  void Track(bool normal) {
    platform::arkit::SetTrackingState(
        *session_, normal ? ARTrackingStateNormal : ARTrackingStateLimited,
        normal ? ARTrackingStateReasonNone : ARTrackingStateReasonInitializing);
    platform::arkit::PushFrame(*session_, frame_time_ += 1.0 / 60);
  }
  std::shared_ptr<VirtualObject> Load(const std::string& name) {
    const std::string path = folder_.Path(name + ".scn");
    std::ofstream(path) << views_testing::Scene(name + "-body");
    auto object = view_->objectLoader()->getObject(NSURL::fileURLWithPath(path));
    object->load();
    return object;
  }
  std::string Controls() const {
    std::string s;
    for (const auto& b : {view_->placeObjectButton(), view_->rotateObjectLeftButton(),
                          view_->rotateObjectRightButton(), view_->screenShotButton()}) {
      s += b->isHidden() ? 'H' : 'S';
    }
    return s;
  }
  void SetControls(const std::string& s) {
    const std::vector<std::shared_ptr<UIButton>> buttons = {
        view_->placeObjectButton(), view_->rotateObjectLeftButton(),
        view_->rotateObjectRightButton(), view_->screenShotButton()};
    for (size_t i = 0; i < 4; ++i) buttons[i]->setHidden(s[i] == 'H');
  }

  platform::foundation::ScopedTestFolder folder_;
  std::shared_ptr<ARView> view_;
  std::shared_ptr<ARSession> session_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  bool hit_ = true;
  std::shared_ptr<ARPlaneAnchor> plane_;
  double frame_time_ = 0;
};

TEST(ARViewSetUpTest, SetsUpOnceWithHiddenControlsUnderTheCoachingOverlay) {
  ConsoleCapture console;
  auto view = ARView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
  EXPECT_EQ(console.lines(), std::vector<std::string>{"finish init called"});
  for (const auto& b : {view->placeObjectButton(), view->rotateObjectLeftButton(),
                        view->rotateObjectRightButton(), view->screenShotButton()}) {
    EXPECT_TRUE(b->isHidden());
    EXPECT_TRUE(b->tintColor()->isEqual(*UIColor::whiteColor()));
  }
  EXPECT_EQ(view->placeObjectButton()->tag(), 0);
  EXPECT_EQ(view->rotateObjectLeftButton()->tag(), 0);
  EXPECT_EQ(view->rotateObjectRightButton()->tag(), 1);
  EXPECT_EQ(view->placeObjectButton()->backgroundImageForState(UIControlStateNormal)->symbolName(),
            "plus.circle.fill");
  // Identified constraints: the size on each button, its place on the view.
  auto identifiers = [&](const std::shared_ptr<UIButton>& b) {
    std::vector<std::string> ids;
    for (const auto& c : b->constraints()) ids.push_back(c->identifier());
    for (const auto& c : view->constraints()) {
      if (c->firstItem().get() == b.get()) ids.push_back(c->identifier());
    }
    return ids;
  };
  EXPECT_EQ(identifiers(view->placeObjectButton()),
            (std::vector<std::string>{"width", "height", "centerXAnchor", "bottomAnchor"}));
  EXPECT_EQ(identifiers(view->rotateObjectLeftButton()),
            (std::vector<std::string>{"width", "height", "leadingAnchor", "bottomAnchor"}));
  EXPECT_EQ(identifiers(view->rotateObjectRightButton()),
            (std::vector<std::string>{"width", "height", "trailingAnchor", "bottomAnchor"}));
  const auto subviews = view->subviews();
  ASSERT_EQ(subviews.size(), 5u);
  EXPECT_EQ(subviews[3], view->screenShotButton());
  EXPECT_EQ(subviews[4], view->coachingOverlay());
  // Four unnamed constraints pin the overlay to the view; the buttons carry identified ones.
  int overlay_constraints = 0;
  for (const auto& c : view->constraints()) {
    if (c->firstItem().get() == view->coachingOverlay().get()) {
      ++overlay_constraints;
      EXPECT_EQ(c->identifier(), "");
    }
  }
  EXPECT_EQ(overlay_constraints, 4);
  EXPECT_TRUE(view->coachingOverlay()->activatesAutomatically());
  EXPECT_EQ(view->coachingOverlay()->goal(), ARCoachingGoalHorizontalPlane);
  EXPECT_EQ(view->coachingOverlay()->session(), view->session());
  EXPECT_EQ(view->focusSquare()->parentNode(), view->scene()->rootNode());
  auto configuration =
      std::dynamic_pointer_cast<ARWorldTrackingConfiguration>(view->session()->configuration());
  ASSERT_NE(configuration, nullptr);
  EXPECT_EQ(configuration->planeDetection(), ARPlaneDetectionHorizontal);
  EXPECT_EQ(configuration->environmentTexturing(), AREnvironmentTexturingAutomatic);
  EXPECT_EQ(view->session()->lastRunOptions(),
            ARSessionRunOptionResetTracking | ARSessionRunOptionRemoveExistingAnchors);
  EXPECT_TRUE(view->autoenablesDefaultLighting());
  EXPECT_TRUE(view->showsStatistics());
  EXPECT_EQ(view->gestureRecognizers().size(), 3u);
  EXPECT_EQ(view->session()->delegate(), view);

  // Its gesture interaction does not keep it: a view its host lets go of is destroyed.
  std::weak_ptr<ARView> weak = view;
  view.reset();
  EXPECT_TRUE(weak.expired());
}

TEST_F(ARViewTest, EnvironmentTexturingOnlyFromSystem12) {
  auto texturing = [&] {
    return std::dynamic_pointer_cast<ARWorldTrackingConfiguration>(session_->configuration())
        ->environmentTexturing();
  };
  for (auto [version, expected] : {std::pair{"11.4", AREnvironmentTexturingNone},
                                   {"12.0", AREnvironmentTexturingAutomatic},
                                   {"11.9", AREnvironmentTexturingNone}}) {
    platform::foundation::DeviceSettings device;
    device.systemVersion = version;
    platform::foundation::SetDevice(device);
    view_->resetTracking();
    EXPECT_EQ(texturing(), expected) << version;
  }
  platform::foundation::ResetDevice();
}

TEST_F(ARViewTest, HostSettings) {
  ConsoleCapture console;
  view_->setIsMultipleObjectModeAllowed(true);
  view_->setIsMultipleSameObjectAllowed(false);
  EXPECT_EQ(console.lines(), (std::vector<std::string>{"Multiple Object mode set to true",
                                                       "Multiple Same Object mode set to false"}));
  EXPECT_TRUE(view_->isMultipleObjectModeAllowed());
  for (const std::string text : {"Vertical", "", "both", "horizontal"}) {
    view_->setUsedPlane(text);
    EXPECT_EQ(view_->usedPlane(), ARPlaneDetectionHorizontal) << text;
  }
  view_->setUsedPlane("vertical");
  EXPECT_EQ(view_->usedPlane(), ARPlaneDetectionVertical);
  EXPECT_EQ(view_->usedPlaneAlignment(), ARRaycastTargetAlignmentVertical);
  // The running session and the coaching goal keep their horizontal choice until a restart.
  auto running = [&] {
    return std::dynamic_pointer_cast<ARWorldTrackingConfiguration>(session_->configuration())
        ->planeDetection();
  };
  EXPECT_EQ(running(), ARPlaneDetectionHorizontal);
  EXPECT_EQ(view_->coachingOverlay()->goal(), ARCoachingGoalHorizontalPlane);
  view_->restartSession();
  EXPECT_EQ(running(), ARPlaneDetectionVertical);
  EXPECT_EQ(view_->coachingOverlay()->goal(), ARCoachingGoalHorizontalPlane);
  view_->setGoal();
  EXPECT_EQ(view_->coachingOverlay()->goal(), ARCoachingGoalVerticalPlane);
  view_->setUsedPlane(ARPlaneDetectionVertical | ARPlaneDetectionHorizontal);
  view_->setGoal();
  EXPECT_EQ(view_->coachingOverlay()->goal(), ARCoachingGoalHorizontalPlane);
}

struct FrameRow {
  std::string name;
  bool placed;
  bool multi;
  bool same;
  bool coaching;
  enum World { kNoFrame, kLimited, kNothingHit, kHit } world;
  bool square_hidden;
  std::string controls;  // place, left, right, screenshot; before the frame "SSHS"
};
void PrintTo(const FrameRow& c, std::ostream* os) { *os << c.name; }

class ARViewFrameTest : public ARViewTest, public testing::WithParamInterface<FrameRow> {};

TEST_P(ARViewFrameTest, FrameDecidesSquareAndControls) {
  const FrameRow& row = GetParam();
  view_->setIsMultipleObjectModeAllowed(row.multi);
  view_->setIsMultipleSameObjectAllowed(row.same);
  platform::arkit::SetCoachingActive(*view_->coachingOverlay(), row.coaching);
  if (row.world != FrameRow::kNoFrame) Track(row.world != FrameRow::kLimited);
  hit_ = row.world == FrameRow::kHit;
  SetControls("SSHS");
  view_->updateFocusSquare(row.placed);
  EXPECT_EQ(Controls(), row.controls);
  const auto square = view_->focusSquare();
  EXPECT_EQ(square->actionForKey("hide") != nullptr, row.square_hidden);
  Settle();
  if (row.world == FrameRow::kHit) {
    EXPECT_EQ(square->parentNode(), view_->scene()->rootNode());
    EXPECT_TRUE(square->state().isDetecting());
    EXPECT_NEAR(square->simdPosition().z, -2, 1e-5);
  } else {
    EXPECT_EQ(square->parentNode(), view_->pointOfView());
    EXPECT_FALSE(square->state().isDetecting());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ARViewFrameTest,
    testing::Values(
        FrameRow{"NoFrame", false, false, false, false, FrameRow::kNoFrame, false, "HHHH"},
        FrameRow{"Limited", false, false, false, false, FrameRow::kLimited, false, "HHHH"},
        FrameRow{"NothingHit", false, false, false, false, FrameRow::kNothingHit, false, "HHHH"},
        FrameRow{"Hit", false, false, false, false, FrameRow::kHit, false, "SHHH"},
        FrameRow{"PlacedSingle", true, false, false, false, FrameRow::kHit, true, "HSSS"},
        FrameRow{"PlacedMulti", true, true, false, false, FrameRow::kHit, false, "SSHH"},
        FrameRow{"PlacedSame", true, false, true, false, FrameRow::kHit, false, "SSHH"},
        FrameRow{"PlacedLimited", true, false, false, false, FrameRow::kLimited, true, "SSHS"},
        FrameRow{"CoachingHit", false, false, false, true, FrameRow::kHit, true, "SSHS"},
        FrameRow{"CoachingNothing", false, false, false, true, FrameRow::kNothingHit, true,
                 "HHHH"},
        FrameRow{"CoachingPlaced", true, true, true, true, FrameRow::kLimited, true, "HHHH"}),
    [](const testing::TestParamInfo<FrameRow>& info) { return info.param.name; });

struct PlaceRow {
  std::string name;
  bool same_shown;
  bool multi;
  bool same;
  int shown;  // entries before the tap
  enum Result { kNothing, kModel, kCopy } result;
};
void PrintTo(const PlaceRow& c, std::ostream* os) { *os << c.name; }

class ARViewPlaceTest : public ARViewTest, public testing::WithParamInterface<PlaceRow> {};

TEST_P(ARViewPlaceTest, PlaceRules) {
  const PlaceRow& row = GetParam();
  auto chair = Load("chair");
  view_->setVirtualObject(chair);
  std::vector<std::shared_ptr<VirtualObject>> shown;
  for (int i = 0; i < row.shown; ++i) shown.push_back(row.same_shown ? chair : Load("lamp"));
  view_->setShownVirtualObjects(shown);
  view_->setIsMultipleObjectModeAllowed(row.multi);
  view_->setIsMultipleSameObjectAllowed(row.same);
  Track(true);
  view_->updateFocusSquare(false);
  Settle();
  view_->placeObjectButton()->setHidden(false);

  view_->PlaceObjectAction(view_->placeObjectButton());
  EXPECT_EQ(view_->isObjectVisible(), row.result != PlaceRow::kNothing);
  platform::dispatch::RunUntilIdle();
  const auto after = view_->shownVirtualObjects();
  if (row.result == PlaceRow::kNothing) {
    EXPECT_EQ(after.size(), shown.size());
    EXPECT_TRUE(recorder_->events.empty());
    return;
  }
  ASSERT_EQ(after.size(), shown.size() + 1);
  EXPECT_EQ(recorder_->events, std::vector<std::string>{"placed chair"});
  if (row.result == PlaceRow::kModel) {
    EXPECT_EQ(after.back(), chair);
  } else {
    EXPECT_NE(after.back(), chair);
    EXPECT_EQ(after.back()->modelName(), "chair");
    ASSERT_FALSE(after.back()->childNodes().empty());
    EXPECT_NE(after.back()->childNodes()[0], chair->childNodes()[0]);  // nodes of its own
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ARViewPlaceTest,
    testing::Values(PlaceRow{"SameShownNotAllowed", true, true, false, 1, PlaceRow::kNothing},
                    PlaceRow{"SameShownAllowed", true, false, true, 1, PlaceRow::kCopy},
                    PlaceRow{"SingleModeFull", false, false, false, 1, PlaceRow::kNothing},
                    PlaceRow{"SingleModeEmpty", false, false, false, 0, PlaceRow::kModel},
                    PlaceRow{"SameAllowedOther", false, false, true, 2, PlaceRow::kModel},
                    PlaceRow{"MultiMode", false, true, false, 2, PlaceRow::kModel}),
    [](const testing::TestParamInfo<PlaceRow>& info) { return info.param.name; });

TEST_F(ARViewTest, PlaceIsRefusedWithoutButtonSurfaceOrModel) {
  auto chair = Load("chair");
  view_->placeObjectButton()->setHidden(false);
  view_->setVirtualObject(chair);
  view_->PlaceObjectAction(view_->placeObjectButton());  // the square is initializing
  Track(true);
  view_->updateFocusSquare(false);
  Settle();
  view_->placeObjectButton()->setHidden(true);
  view_->PlaceObjectAction(view_->placeObjectButton());
  view_->placeObjectButton()->setHidden(false);
  view_->setVirtualObject(nullptr);
  view_->PlaceObjectAction(view_->placeObjectButton());
  platform::dispatch::RunUntilIdle();
  EXPECT_FALSE(view_->isObjectVisible());
  EXPECT_TRUE(view_->shownVirtualObjects().empty());
}

TEST_F(ARViewTest, RestartGateOpensFiveSecondsLater) {
  auto chair = Load("chair");
  view_->setShownVirtualObjects({chair});
  const int runs = session_->runCount();
  platform::arkit::RequestSessionReset(*view_->coachingOverlay());
  EXPECT_FALSE(view_->isRestartAvailable());
  EXPECT_EQ(session_->runCount(), runs + 1);
  EXPECT_EQ(recorder_->events, std::vector<std::string>{"removed chair"});
  EXPECT_TRUE(view_->shownVirtualObjects().empty());
  Advance(1);
  platform::arkit::RequestSessionReset(*view_->coachingOverlay());
  EXPECT_EQ(session_->runCount(), runs + 1);
  Advance(5);
  EXPECT_TRUE(view_->isRestartAvailable());
  platform::arkit::RequestSessionReset(*view_->coachingOverlay());
  EXPECT_EQ(session_->runCount(), runs + 2);
}

TEST_F(ARViewTest, ScreenshotHoldsTheSceneWithoutButtons) {
  platform::uikit::ClearSavedPhotos();
  platform::uikit::SetPhotoAlbumFolder(folder_.Path(""));
  ConsoleCapture console;
  view_->takeScreenshot(view_->screenShotButton());
  Settle();
  platform::uikit::SetPhotoAlbumFolder("");
  std::ifstream record(folder_.Path("photo-1.txt"));
  const std::string text((std::istreambuf_iterator<char>(record)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "quillmere-photo 1\nsize 390 844\nviews 1\n");
  EXPECT_EQ(console.lines(), std::vector<std::string>{"save success"});
  const auto photos = platform::uikit::SavedPhotos();
  ASSERT_EQ(photos.size(), 1u);
  EXPECT_EQ(photos[0]->drawnViews(), std::vector<std::shared_ptr<UIView>>{view_});
}

TEST_F(ARViewTest, RotateButtonsTurnTheCurrentModel) {
  ConsoleCapture console;
  auto chair = Load("chair");
  view_->setVirtualObject(chair);
  view_->rotateObjectByClick(view_->rotateObjectLeftButton());
  EXPECT_NEAR(chair->objectRotation(), -M_PI / 12, 1e-6);
  view_->rotateObjectByClick(view_->rotateObjectRightButton());
  view_->rotateObjectByClick(view_->rotateObjectRightButton());
  EXPECT_NEAR(chair->objectRotation(), M_PI / 12, 1e-6);
  auto other = UIButton::init();
  other->setTag(7);
  view_->rotateObjectByClick(other);
  EXPECT_EQ(console.lines(), std::vector<std::string>{"tag isn't specified"});
}

TEST_F(ARViewTest, LeavingTheSuperviewRemovesObjectsAndPauses) {
  auto superview = UIView::init();
  superview->addSubview(view_);
  view_->setShownVirtualObjects({Load("chair")});
  ConsoleCapture console;
  view_->removeFromSuperview();
  // The loader may add a line about its (absent) temporary folder in between.
  const auto lines = console.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), "BaseARSCNView is removed");
  EXPECT_EQ(lines.back(), "this view is removed");
  EXPECT_EQ(recorder_->events, std::vector<std::string>{"removed chair"});
  EXPECT_FALSE(session_->isRunning());
}

// Hides before it speaks: the hide is overridden to leave a mark in the console.
class MarkingARView : public ARView {
 public:
  using ARView::ARView;
  static std::shared_ptr<MarkingARView> Make() { return Create<MarkingARView>(CGRectZero, Options{}); }
  void hideVirtualObjects() override {
    print("hiding");
    ARView::hideVirtualObjects();
  }
};

TEST(ARViewCallbacksTest, CoachingSessionAndAnchorCallbacks) {
  auto view = MarkingARView::Make();
  auto object = VirtualObject::initWithURL(NSURL::fileURLWithPath("/chair.scn"));
  view->setShownVirtualObjects({object, nullptr});
  ConsoleCapture console;
  platform::arkit::SetCoachingActive(*view->coachingOverlay(), true);
  EXPECT_TRUE(object->isHidden());
  platform::arkit::SetCoachingActive(*view->coachingOverlay(), false);
  EXPECT_FALSE(object->isHidden());
  view->sessionWasInterrupted(view->session());
  EXPECT_TRUE(object->isHidden());
  view->sessionDidFailWithError(view->session(), NSError::errorWithDomain("AR", 1, {}));
  const auto lines = console.lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6),
            (std::vector<std::string>{"hide ui", "hiding", "show ui", "hiding",
                                      "session interrupted", "session error "}));
  EXPECT_TRUE(view->sessionShouldAttemptRelocalization(view->session()));

  // Anchor updates move the current model only when they are its anchor.
  auto anchor = std::make_shared<ARAnchor>(At(1, 2, 3));
  view->setVirtualObject(object);
  view->rendererDidUpdateNode(view, SCNNode::node(), anchor);
  EXPECT_FLOAT_EQ(object->simdPosition().x, 0);
  object->setAnchor(anchor);
  view->rendererDidUpdateNode(view, SCNNode::node(), std::make_shared<ARAnchor>(At(7, 7, 7)));
  EXPECT_FLOAT_EQ(object->simdPosition().x, 0);
  anchor->SetTransform(At(4, 5, 6));
  view->rendererDidUpdateNode(view, SCNNode::node(), anchor);
  EXPECT_FLOAT_EQ(object->simdPosition().y, 5);
  EXPECT_EQ(object->anchor(), anchor);
}

}  // namespace
