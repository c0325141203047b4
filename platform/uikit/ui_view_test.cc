#include "platform/uikit/ui_view.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/dispatch/dispatch.h"
#include "platform/uikit/console.h"
#include "platform/uikit/ui_application.h"
#include "platform/uikit/ui_button.h"
#include "platform/uikit/ui_gesture_recognizer.h"
#include "platform/uikit/ui_image.h"

namespace {

class MoveRecordingView : public UIView {
 public:
  void willMoveToSuperview(const std::shared_ptr<UIView>& s) override {
    moves.push_back(s == nullptr ? "will:none" : "will:" + std::to_string(s->tag()));
  }
  void didMoveToSuperview() override {
    moves.push_back(superview() == nullptr ? "did:none" : "did:" + std::to_string(superview()->tag()));
  }
  std::vector<std::string> moves;
};

TEST(UIView, HierarchyOrderLayersAndMoveHooks) {
  auto root = UIView::init();
  root->setTag(1);
  auto other = UIView::init();
  other->setTag(2);
  auto a = UIView::init();
  auto b = UIView::init();
  auto moving = std::make_shared<MoveRecordingView>();
  // A layer added to the view's own layer stays below the subviews' layers.
  auto image_layer = CALayer::layer();
  root->layer()->insertSublayer(image_layer, 0);

  root->addSubview(a);
  root->addSubview(moving);
  root->insertSubview(b, 0);
  EXPECT_EQ(root->subviews(), (std::vector<std::shared_ptr<UIView>>{b, a, moving}));
  root->bringSubviewToFront(b);
  EXPECT_EQ(root->subviews(), (std::vector<std::shared_ptr<UIView>>{a, moving, b}));
  EXPECT_EQ(root->layer()->sublayers(),
            (std::vector<std::shared_ptr<CALayer>>{image_layer, a->layer(), moving->layer(),
                                                   b->layer()}));

  other->addSubview(moving);  // moves it
  EXPECT_EQ(root->subviews(), (std::vector<std::shared_ptr<UIView>>{a, b}));
  EXPECT_EQ(moving->layer()->superlayer(), other->layer());
  moving->removeFromSuperview();
  EXPECT_EQ(moving->moves, (std::vector<std::string>{"will:1", "did:1", "will:2", "did:2",
                                                     "will:none", "did:none"}));
  EXPECT_TRUE(other->subviews().empty());
  EXPECT_TRUE(a->isDescendantOfView(root));
  EXPECT_FALSE(root->isDescendantOfView(a));
}

TEST(UIView, GeometryAndPointConversion) {
  auto root = UIView::initWithFrame(CGRectMake(0, 0, 300, 300));
  auto child = UIView::initWithFrame(CGRectMake(100, 50, 100, 100));
  auto grandchild = UIView::initWithFrame(CGRectMake(10, 20, 30, 30));
  root->addSubview(child);
  child->addSubview(grandchild);
  EXPECT_EQ(child->bounds(), CGRectMake(0, 0, 100, 100));
  EXPECT_EQ(child->center(), CGPointMake(150, 100));
  EXPECT_EQ(grandchild->convertPoint({1, 2}, root), CGPointMake(111, 72));
  EXPECT_EQ(root->convertPoint({111, 72}, grandchild), CGPointMake(1, 2));
  EXPECT_EQ(child->convertPointFromView({1, 2}, grandchild), CGPointMake(11, 22));
  child->setBounds(CGRectMake(5, 5, 50, 50));  // scrolled and shrunk about its centre
  EXPECT_EQ(child->frame(), CGRectMake(125, 75, 50, 50));
  EXPECT_EQ(grandchild->convertPoint({0, 0}, root), CGPointMake(130, 90));
}

TEST(UIButton, TargetsFireOnTapWhileVisibleAndAlive) {
  auto root = UIView::init();
  auto button = UIButton::buttonWithType(UIButtonTypeSystem);
  root->addSubview(button);
  auto owner = std::make_shared<int>(0);
  int taps = 0;
  std::shared_ptr<UIControl> sender;
  button->addTarget(owner, [&](const std::shared_ptr<UIControl>& s) {
    ++taps;
    sender = s;
  }, UIControlEventTouchUpInside);
  button->addTarget(owner, [&](const std::shared_ptr<UIControl>&) { taps += 100; },
                    UIControlEventTouchDown);
  EXPECT_TRUE(platform::uikit::Tap(button));
  EXPECT_EQ(taps, 1);
  EXPECT_EQ(sender, button);

  root->setHidden(true);  // a hidden ancestor hides the button
  EXPECT_FALSE(platform::uikit::Tap(button));
  root->setHidden(false);
  owner.reset();  // targets are weak
  EXPECT_TRUE(platform::uikit::Tap(button));
  EXPECT_EQ(taps, 1);
  EXPECT_EQ(button->actionCount(UIControlEventTouchUpInside), 1);
}

TEST(UIImage, SymbolsAndButtonImages) {
  auto button = UIButton::init();
  button->setTintColor(UIColor::whiteColor());
  button->setBackgroundImage(UIImage::systemImageNamed("camera.viewfinder"), UIControlStateNormal);
  ASSERT_NE(button->backgroundImageForState(UIControlStateNormal), nullptr);
  EXPECT_EQ(button->backgroundImageForState(UIControlStateHighlighted)->symbolName(),
            "camera.viewfinder");
  EXPECT_TRUE(button->tintColor()->isEqual(*UIColor::colorWithWhite(1, 1)));

  platform::uikit::SetMissingSystemSymbols({"arrow.clockwise"});
  EXPECT_EQ(UIImage::systemImageNamed("arrow.clockwise"), nullptr);
  platform::uikit::SetMissingSystemSymbols({});
  EXPECT_NE(UIImage::systemImageNamed("arrow.clockwise"), nullptr);
}

TEST(UIImage, DrawingRecordsVisibleViewsOnly) {
  auto root = UIView::initWithFrame(CGRectMake(0, 0, 100, 200));
  auto scene = UIView::init();
  auto button = UIButton::init();
  auto label = UIView::init();
  root->addSubview(scene);
  root->addSubview(button);
  button->addSubview(label);
  EXPECT_FALSE(root->drawViewHierarchyInRect(root->frame(), true));  // no context

  button->setHidden(true);
  UIGraphicsBeginImageContext(root->bounds().size);
  EXPECT_TRUE(root->drawViewHierarchyInRect(root->frame(), true));
  auto shot = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  EXPECT_EQ(UIGraphicsGetImageFromCurrentImageContext(), nullptr);
  ASSERT_NE(shot, nullptr);
  EXPECT_EQ(shot->size(), CGSizeMake(100, 200));
  EXPECT_EQ(shot->drawnViews(), (std::vector<std::shared_ptr<UIView>>{root, scene}));
}

TEST(UIImage, PhotoAlbumSavesAndReportsOnMain) {
  platform::uikit::ClearSavedPhotos();
  auto image = std::make_shared<UIImage>(CGSizeMake(1, 1), "");
  std::vector<std::string> results;
  auto record = [&](std::shared_ptr<UIImage> saved, std::shared_ptr<NSError> error) {
    EXPECT_EQ(saved, image);
    results.push_back(error == nullptr ? "ok" : error->domain());
  };
  UIImageWriteToSavedPhotosAlbum(image, record);
  platform::uikit::SetPhotoSaveError(NSError::errorWithDomain("ALAssetsLibraryErrorDomain", -1, {}));
  UIImageWriteToSavedPhotosAlbum(image, record);
  platform::uikit::SetPhotoSaveError(nullptr);
  EXPECT_TRUE(results.empty());  // completions wait for the main queue
  platform::dispatch::RunUntilIdle();
  EXPECT_EQ(results, (std::vector<std::string>{"ok", "ALAssetsLibraryErrorDomain"}));
  EXPECT_EQ(platform::uikit::SavedPhotos().size(), 1u);
}

class RefusingDelegate : public UIGestureRecognizerDelegate {
 public:
  bool gestureRecognizerShouldBegin(UIGestureRecognizer&) override { return false; }
};

TEST(UIGestureRecognizer, TouchesStatesAndActions) {
  auto root = UIView::initWithFrame(CGRectMake(0, 0, 300, 300));
  auto view = UIView::initWithFrame(CGRectMake(100, 100, 50, 50));
  root->addSubview(view);
  auto owner = std::make_shared<int>(0);
  std::vector<UIGestureRecognizerState> seen;
  auto g = UIGestureRecognizer::initWithTarget(
      owner, [&](const std::shared_ptr<UIGestureRecognizer>& r) { seen.push_back(r->state()); });
  view->addGestureRecognizer(g);
  EXPECT_EQ(g->view(), view);

  platform::uikit::SetTouches(*g, {{0, 0}, {10, 0}, {0, 30}});
  EXPECT_EQ(g->numberOfTouches(), 3);
  EXPECT_EQ(g->locationOfTouch(2, view), CGPointMake(0, 30));
  EXPECT_EQ(g->locationOfTouch(1, root), CGPointMake(110, 100));
  EXPECT_EQ(g->locationInView(view), CGPointMake(10.0 / 3, 10));  // centroid

  for (auto s : {UIGestureRecognizerStateBegan, UIGestureRecognizerStateChanged,
                 UIGestureRecognizerStatePossible, UIGestureRecognizerStateEnded}) {
    platform::uikit::Drive(*g, s);
  }
  EXPECT_EQ(seen, (std::vector<UIGestureRecognizerState>{UIGestureRecognizerStateBegan,
                                                         UIGestureRecognizerStateChanged,
                                                         UIGestureRecognizerStateEnded}));

  auto refusing = std::make_shared<RefusingDelegate>();
  g->setDelegate(refusing);
  EXPECT_EQ(platform::uikit::Drive(*g, UIGestureRecognizerStateBegan),
            UIGestureRecognizerStateFailed);
  EXPECT_EQ(seen.size(), 3u);

  // The touch methods keep the current set.
  g->reset();
  auto t1 = std::make_shared<UITouch>(view, CGPointMake(1, 1));
  auto t2 = std::make_shared<UITouch>(view, CGPointMake(2, 2));
  g->touchesBegan({t1, t2}, UIEvent());
  t2->MoveTo({4, 4});
  g->touchesMoved({t2}, UIEvent());
  EXPECT_EQ(g->locationOfTouch(1, view), CGPointMake(4, 4));
  EXPECT_EQ(t2->previousLocationInView(view), CGPointMake(2, 2));
  g->touchesEnded({t1}, UIEvent());
  EXPECT_EQ(g->numberOfTouches(), 1);
}

TEST(UIGestureRecognizerDeathTest, TouchIndexOutOfRange) {
  auto g = UIGestureRecognizer::initWithTarget({}, nullptr);
  EXPECT_DEATH(g->locationOfTouch(0, nullptr), "beyond bounds");
}

TEST(Console, PrintJoinsItemsWithSpacesIntoCapturedLines) {
  platform::uikit::ConsoleCapture console;
  print("save error", std::string("The operation couldn't be completed."));
  print("tag isn't specified");
  print("count", 3, 1.5);
  EXPECT_EQ(console.lines(),
            (std::vector<std::string>{"save error The operation couldn't be completed.",
                                      "tag isn't specified", "count 3 1.5"}));
}

TEST(UIApplication, StateIsSetByTests) {
  EXPECT_EQ(UIApplication::sharedApplication()->applicationState(), UIApplicationStateActive);
  platform::uikit::SetApplicationState(UIApplicationStateBackground);
  EXPECT_EQ(UIApplication::sharedApplication()->applicationState(), UIApplicationStateBackground);
  platform::uikit::SetApplicationState(UIApplicationStateActive);
}

}  // namespace
