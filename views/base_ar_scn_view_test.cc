#include "views/base_ar_scn_view.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/local_http_server.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/sandbox.h"
#include "platform/foundation/scoped_test_folder.h"
#include "platform/uikit/console.h"
#include "views/test_archive.h"

namespace {

namespace fs = std::filesystem;
using platform::foundation::LocalHttpServer;
using platform::foundation::ScopedTestFolder;
using platform::uikit::ConsoleCapture;

// Waits until everything queued on the view's update queue so far has run.
void Drain(const BaseARSCNView& view) {
  dispatch_sync(view.updateQueue(), [] {});
}

class BaseARSCNViewTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::foundation::SetSandboxRoot(folder_.Path("sandbox"));
    fs::create_directories(folder_.Path("bundle/art.scnassets"));
    std::ofstream(folder_.Path("bundle/art.scnassets/chair.scn")) << views_testing::Scene("chair");
    std::ofstream(folder_.Path("bundle/art.scnassets/lamp.scn")) << views_testing::Scene("lamp");
    platform::foundation::SetMainBundlePath(folder_.Path("bundle"));
    view_ = BaseARSCNView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
  }
  void TearDown() override {
    platform::foundation::SetMainBundlePath("");
    platform::foundation::SetSandboxRoot("");
  }

  std::string ModelOf(const std::shared_ptr<VirtualObject>& object) {
    return object == nullptr ? "(none)" : object->modelName();
  }

  ScopedTestFolder folder_;
  std::shared_ptr<BaseARSCNView> view_;
};

TEST_F(BaseARSCNViewTest, StartsWithItsOwnQueueLoaderAndHorizontalPlane) {
  EXPECT_STREQ(dispatch_queue_get_label(view_->updateQueue()), "Brandolin");
  auto other = BaseARSCNView::initWithFrame(CGRectZero, {});
  EXPECT_NE(other->updateQueue(), view_->updateQueue());
  EXPECT_NE(other->objectLoader(), view_->objectLoader());
  EXPECT_TRUE(view_->objectLoader()->currentlyLoadedObjects().empty());
  EXPECT_EQ(view_->virtualObject(), nullptr);
  EXPECT_FALSE(view_->virtualObjectId().has_value());
  EXPECT_FALSE(view_->virtualObjectURL().has_value());
  EXPECT_TRUE(view_->shownVirtualObjects().empty());
  EXPECT_EQ(view_->events_delegate(), nullptr);
  EXPECT_EQ(view_->usedPlane(), ARPlaneDetectionHorizontal);
  EXPECT_EQ(view_->usedPlaneAlignment(), ARRaycastTargetAlignmentHorizontal);
}

TEST_F(BaseARSCNViewTest, PlaneKindDecidesTheAlignment) {
  const std::pair<unsigned long, ARRaycastTargetAlignment> cases[] = {
      {ARPlaneDetectionVertical, ARRaycastTargetAlignmentVertical},
      {ARPlaneDetectionHorizontal, ARRaycastTargetAlignmentHorizontal},
      {ARPlaneDetectionVertical, ARRaycastTargetAlignmentVertical},
      {ARPlaneDetectionHorizontal | ARPlaneDetectionVertical, ARRaycastTargetAlignmentHorizontal},
      {ARPlaneDetectionVertical, ARRaycastTargetAlignmentVertical},
      {ARPlaneDetectionNone, ARRaycastTargetAlignmentHorizontal},
  };
  for (const auto& [plane, alignment] : cases) {
    view_->setUsedPlane(plane);
    EXPECT_EQ(view_->usedPlane(), plane);
    EXPECT_EQ(view_->usedPlaneAlignment(), alignment) << plane;
  }
}

TEST_F(BaseARSCNViewTest, ModelIdLoadsEveryIdThatWasSetInTurn) {
  ConsoleCapture console;
  view_->setVirtualObjectId("chair");
  Drain(*view_);
  EXPECT_EQ(ModelOf(view_->virtualObject()), "chair");

  // Two assignments before the queue runs: each loads its own id, in order; the later stays.
  std::promise<void> release;
  dispatch_async(view_->updateQueue(), [gate = release.get_future().share()] { gate.wait(); });
  view_->setVirtualObjectId("lamp");
  view_->setVirtualObjectId("chair");
  release.set_value();
  Drain(*view_);
  EXPECT_EQ(ModelOf(view_->virtualObject()), "chair");
  auto loaded = view_->objectLoader()->currentlyLoadedObjects();
  ASSERT_EQ(loaded.size(), 3u);
  EXPECT_EQ(ModelOf(loaded[1]), "lamp");
  EXPECT_EQ(ModelOf(loaded[2]), "chair");

  // The same id again loads again; a missing file clears the model.
  view_->setVirtualObjectId("chair");
  Drain(*view_);
  EXPECT_EQ(view_->objectLoader()->currentlyLoadedObjects().size(), 4u);
  EXPECT_EQ(ModelOf(view_->virtualObject()), "chair");
  EXPECT_NE(view_->virtualObject(), loaded[2]);
  view_->setVirtualObjectId("sofa");
  Drain(*view_);
  EXPECT_EQ(view_->virtualObject(), nullptr);
  EXPECT_EQ(console.lines(), std::vector<std::string>{"file not found"});

  // Clearing the id loads nothing itself; a load queued before it still runs (the queue is
  // held so that the load runs after the clearing).
  std::promise<void> release_again;
  dispatch_async(view_->updateQueue(),
                 [gate = release_again.get_future().share()] { gate.wait(); });
  view_->setVirtualObjectId("chair");
  view_->setVirtualObjectId(std::nullopt);
  release_again.set_value();
  Drain(*view_);
  EXPECT_FALSE(view_->virtualObjectId().has_value());
  EXPECT_EQ(ModelOf(view_->virtualObject()), "chair");
  EXPECT_EQ(view_->objectLoader()->currentlyLoadedObjects().size(), 5u);
}

TEST_F(BaseARSCNViewTest, ModelURLReportsLoadsAndFailuresWithoutLosingTheModel) {
  LocalHttpServer server(
      {{"/a.zip",
        {200, "", views_testing::MakeZip(folder_, {{"a.scn", views_testing::Scene("top")}})}},
       {"/b.zip",
        {200, "", views_testing::MakeZip(folder_, {{"b.scn", views_testing::Scene("top")}})}}});
  ConsoleCapture console;
  auto wait_for_lines = [&console](size_t count) {
    for (int i = 0; i < 12000 && console.lines().size() < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return console.lines();
  };

  view_->setVirtualObjectURL(server.URL("/a.zip"));
  ASSERT_EQ(wait_for_lines(2).size(), 2u);
  EXPECT_EQ(console.lines()[1], "loaded successfully");
  std::shared_ptr<VirtualObject> downloaded = view_->virtualObject();
  EXPECT_EQ(ModelOf(downloaded), "a");

  // Known to this view's loader: answered inside the queued work, without a request.
  view_->setVirtualObject(nullptr);
  view_->setVirtualObjectURL(server.URL("/a.zip"));
  Drain(*view_);
  EXPECT_EQ(view_->virtualObject(), downloaded);
  EXPECT_EQ(server.RequestCount("/a.zip"), 1);

  // A failed download keeps the model; text that is no URL is ignored silently.
  view_->setVirtualObjectURL(server.URL("/missing.zip"));
  const std::vector<std::string> lines = wait_for_lines(8);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[2], "we have same object loaded");
  EXPECT_EQ(lines[3], "loaded successfully");
  EXPECT_EQ(lines[6], "Failed to get 3d object from folder");
  EXPECT_EQ(lines[7], "Callback fail");
  EXPECT_EQ(view_->virtualObject(), downloaded);
  view_->setVirtualObjectURL("not a url");
  Drain(*view_);
  EXPECT_EQ(console.lines().size(), 8u);
  EXPECT_EQ(view_->virtualObjectURL(), "not a url");

  // Two assignments before the queue runs: the first address is still the one downloaded.
  std::promise<void> release;
  dispatch_async(view_->updateQueue(), [gate = release.get_future().share()] { gate.wait(); });
  view_->setVirtualObjectURL(server.URL("/b.zip"));
  view_->setVirtualObjectURL("not a url");
  release.set_value();
  ASSERT_EQ(wait_for_lines(10).size(), 10u);
  EXPECT_EQ(console.lines()[9], "loaded successfully");
  EXPECT_EQ(ModelOf(view_->virtualObject()), "b");
  EXPECT_EQ(server.RequestCount("/b.zip"), 1);
}

TEST_F(BaseARSCNViewTest, ScreenshotButtonIsSizedAndCentredAboveTheSafeArea) {
  const std::shared_ptr<UIButton>& button = view_->screenShotButton();
  ASSERT_EQ(view_->subviews().size(), 1u);
  EXPECT_EQ(view_->subviews()[0], button);
  EXPECT_FALSE(button->translatesAutoresizingMaskIntoConstraints());
  EXPECT_EQ(button->frame(), CGRectZero);

  const auto own = button->constraints();
  ASSERT_EQ(own.size(), 2u);
  EXPECT_EQ(own[0]->identifier(), "width");
  EXPECT_EQ(own[0]->firstAttribute(), NSLayoutAttributeWidth);
  EXPECT_EQ(own[0]->secondItem(), nullptr);
  EXPECT_EQ(own[0]->constant(), 48);
  EXPECT_EQ(own[1]->identifier(), "height");
  EXPECT_EQ(own[1]->firstAttribute(), NSLayoutAttributeHeight);
  EXPECT_EQ(own[1]->constant(), 50);

  const auto placed = view_->constraints();
  ASSERT_EQ(placed.size(), 2u);
  EXPECT_EQ(placed[0]->identifier(), "centerXAnchor");
  EXPECT_EQ(placed[0]->firstItem(), button);
  EXPECT_EQ(placed[0]->secondItem(), view_->layoutMarginsGuide());
  EXPECT_EQ(placed[0]->secondAttribute(), NSLayoutAttributeCenterX);
  EXPECT_EQ(placed[0]->constant(), 0);
  EXPECT_EQ(placed[1]->identifier(), "bottomAnchor");
  EXPECT_EQ(placed[1]->secondItem(), view_->safeAreaLayoutGuide());
  EXPECT_EQ(placed[1]->secondAttribute(), NSLayoutAttributeBottom);
  EXPECT_EQ(placed[1]->constant(), -30);

  ASSERT_NE(button->tintColor(), nullptr);
  EXPECT_TRUE(button->tintColor()->isEqual(*UIColor::whiteColor()));
  ASSERT_NE(button->backgroundImageForState(UIControlStateNormal), nullptr);
  EXPECT_EQ(button->backgroundImageForState(UIControlStateNormal)->symbolName(),
            "camera.viewfinder");
  EXPECT_EQ(button->actionCount(UIControlEventTouchUpInside), 0);

  platform::uikit::SetMissingSystemSymbols({"camera.viewfinder"});
  auto without_symbol = BaseARSCNView::initWithFrame(CGRectZero, {});
  platform::uikit::SetMissingSystemSymbols({});
  EXPECT_EQ(without_symbol->screenShotButton()->backgroundImageForState(UIControlStateNormal),
            nullptr);
}

// A subclass whose set-up replaces the base's.
class CountingView : public BaseARSCNView {
 public:
  using BaseARSCNView::BaseARSCNView;
  static std::shared_ptr<CountingView> Make() {
    return Create<CountingView>(CGRectZero, Options{});
  }
  void finishInitialization() override { ++runs; }
  int runs = 0;
};

TEST_F(BaseARSCNViewTest, FactoryRunsTheSubclassSetUpOnce) {
  auto view = CountingView::Make();
  EXPECT_EQ(view->runs, 1);
  EXPECT_TRUE(view->subviews().empty());
}

TEST_F(BaseARSCNViewTest, CoderMakesASetUpViewOrNone) {
  NSKeyedUnarchiver coder(true);
  auto view = BaseARSCNView::initWithCoder(&coder);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->subviews().size(), 1u);  // set up: the screenshot button

  NSKeyedUnarchiver failed(true);
  failed.failWithError(NSError::errorWithDomain(NSCocoaErrorDomain, NSCoderReadCorruptError));
  EXPECT_EQ(BaseARSCNView::initWithCoder(&failed), nullptr);
}

TEST_F(BaseARSCNViewTest, LeavingTheSuperviewRemovesDownloadedModels) {
  const std::string temp = folder_.Path("sandbox/Documents/VirtualObjects_temp");
  fs::create_directories(temp + "/x");
  auto window = UIView::init();
  ConsoleCapture console;
  window->addSubview(view_);
  EXPECT_TRUE(console.lines().empty());
  EXPECT_TRUE(fs::exists(temp));

  view_->removeFromSuperview();
  EXPECT_EQ(console.lines(),
            (std::vector<std::string>{"BaseARSCNView is removed", "temp folder is removed"}));
  EXPECT_FALSE(fs::exists(temp));
}

TEST_F(BaseARSCNViewTest, SaveCompletionPrintsTheOutcome) {
  ConsoleCapture console;
  view_->image(nullptr, nullptr, nullptr);
  EXPECT_EQ(console.lines(), std::vector<std::string>{"save success"});

  auto error = NSError::errorWithDomain("Photos", 3,
                                        {{NSLocalizedDescriptionKey, std::string("disk full")}});
  view_->image(nullptr, error, nullptr);
  EXPECT_EQ(console.lines(), (std::vector<std::string>{"save success", "save error", "disk full"}));
}

}  // namespace
