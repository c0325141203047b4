#include "platform/scenekit/scn_view.h"

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "gtest/gtest.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

std::shared_ptr<SCNView> MakeView() {
  auto view = SCNView::initWithFrame(CGRectMake(0, 0, 400, 800), {});
  view->setScene(SCNScene::scene());
  auto camera_node = SCNNode::node();
  camera_node->setCamera(SCNCamera::camera());
  camera_node->camera()->setZNear(0.1);
  camera_node->camera()->setZFar(10);
  view->scene()->rootNode()->addChildNode(camera_node);
  view->setPointOfView(camera_node);
  return view;
}

TEST(SCNView, ProjectionRoundTripsAndCentresTheViewAxis) {
  auto view = MakeView();
  const SCNVector3 centre = view->projectPoint({0, 0, -2});
  EXPECT_NEAR(centre.x, 200, 1e-3);
  EXPECT_NEAR(centre.y, 400, 1e-3);
  EXPECT_GT(centre.z, 0);
  EXPECT_LT(centre.z, 1);
  const SCNVector3 above = view->projectPoint({0, 0.5f, -2});
  EXPECT_LT(above.y, 400);  // screen y grows downwards
  const SCNVector3 back = view->unprojectPoint(above);
  EXPECT_NEAR(back.y, 0.5f, 1e-4);
  EXPECT_NEAR(back.z, -2, 1e-3);
  EXPECT_NEAR(view->unprojectPoint({200, 400, 0}).z, -0.1f, 1e-4);  // depth 0: near plane

  // A custom projection wins over field of view and aspect.
  simd_float4x4 p = matrix_identity_float4x4;
  p.columns[0].x = 2;
  view->pointOfView()->camera()->setProjectionTransform(p);
  EXPECT_NEAR(view->projectPoint({0.25f, 0, 0}).x, 300, 1e-3);
}

TEST(SCNView, HitTestFindsVisibleBoxesNearestFirst) {
  auto view = MakeView();
  auto near = SCNNode::nodeWithGeometry(SCNBox(0.2f, 0.2f, 0.2f));
  auto far = SCNNode::nodeWithGeometry(SCNBox(1, 1, 1));
  near->setSimdPosition({0, 0, -1});
  far->setSimdPosition({0, 0, -3});
  auto holder = SCNNode::node();
  holder->addChildNode(near);
  view->scene()->rootNode()->addChildNode(holder);
  view->scene()->rootNode()->addChildNode(far);

  auto hits = view->hitTest({200, 400}, {{SCNHitTestBoundingBoxOnlyKey, true}});
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].node, near);
  EXPECT_NEAR(hits[0].worldCoordinates.z, -0.9f, 1e-4);
  EXPECT_EQ(hits[1].node, far);
  EXPECT_TRUE(view->hitTest({5, 5}, {}).empty());

  holder->setHidden(true);  // hidden subtrees are not hit
  hits = view->hitTest({200, 400}, {});
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].node, far);
}

class FrameRecorder : public SCNSceneRendererDelegate {
 public:
  void rendererUpdateAtTime(const std::shared_ptr<SCNSceneRenderer>& r, double time) override {
    events.push_back("update " + std::to_string(int(time)));
    thread = std::this_thread::get_id();
    renderer = r;
  }
  void rendererDidRenderScene(const std::shared_ptr<SCNSceneRenderer>&,
                              const std::shared_ptr<SCNScene>& scene, double time) override {
    events.push_back("render " + std::to_string(int(time)));
    EXPECT_NE(scene, nullptr);
  }
  std::vector<std::string> events;
  std::thread::id thread;
  std::shared_ptr<SCNSceneRenderer> renderer;
};

TEST(SCNView, FramesRunOnTheRenderThreadWhenStepped) {
  auto view = MakeView();
  auto recorder = std::make_shared<FrameRecorder>();
  view->setDelegate(recorder);
  platform::scenekit::RenderFrame(*view, 1);
  platform::scenekit::RenderFrame(*view, 2);
  EXPECT_EQ(recorder->events,
            (std::vector<std::string>{"update 1", "render 1", "update 2", "render 2"}));
  EXPECT_NE(recorder->thread, std::this_thread::get_id());
  EXPECT_EQ(recorder->renderer.get(), static_cast<SCNSceneRenderer*>(view.get()));
  recorder->renderer.reset();
  EXPECT_EQ(view->renderedFrames(), 2);
  view->StopRendering();
  platform::scenekit::RenderFrame(*view, 3);
  EXPECT_EQ(recorder->events.size(), 4u);
}

class Projecting : public SCNSceneRendererDelegate {
 public:
  void rendererUpdateAtTime(const std::shared_ptr<SCNSceneRenderer>& r, double) override {
    last_x = r->projectPoint({0, 0, -1}).x;
  }
  std::atomic<float> last_x{0};
};

// The render thread projects through the view's bounds while another thread resizes the view.
TEST(SCNView, ProjectsOnTheRenderThreadWhileResized) {
  auto view = MakeView();
  auto projecting = std::make_shared<Projecting>();
  view->setDelegate(projecting);
  std::thread resizer([&] {
    for (int i = 0; i < 50; ++i) view->setFrame(CGRectMake(0, 0, 400 + 2 * (i % 2), 800));
  });
  for (int i = 0; i < 50; ++i) platform::scenekit::RenderFrame(*view, i);
  resizer.join();
  EXPECT_NEAR(projecting->last_x.load(), 200, 1.01);
}

class SelfReleasing : public SCNSceneRendererDelegate {
 public:
  void rendererDidRenderScene(const std::shared_ptr<SCNSceneRenderer>&,
                              const std::shared_ptr<SCNScene>&, double) override {
    held.reset();  // the last other reference goes inside the frame
  }
  std::shared_ptr<SCNView> held;
};

TEST(SCNView, DestroyedFromItsOwnFrameIsSafe) {
  auto view = MakeView();
  auto delegate = std::make_shared<SelfReleasing>();
  view->setDelegate(delegate);
  delegate->held = view;
  std::weak_ptr<SCNView> weak = view;
  std::thread t([v = std::move(view)]() mutable {
    SCNView* raw = v.get();
    v.reset();  // only the delegate holds it now
    raw->RenderFrame(1);
  });
  t.join();
  EXPECT_TRUE(weak.expired());
}

TEST(SCNReferenceNode, LoadsOurSceneFormatAndRejectsBadFiles) {
  platform::foundation::ScopedTestFolder folder;
  const std::filesystem::path dir = folder.path();
  const auto write = [&](const std::string& name, const std::string& text) {
    std::ofstream(dir / name) << text;
    return NSURL::fileURLWithPath((dir / name).string());
  };
  auto good = write("chair.scn",
                    "quillmere-scene 1\n# a chair\n"
                    "node chair position 0 0 -1 euler 0 1.5 0 box 0.5 1 0.5\n"
                    "node seat parent chair position 0 0.5 0 plane 0.4 0.4 hidden\n"
                    "node lamp sphere 0.1\n");
  auto ref = SCNReferenceNode::initWithURL(good);
  EXPECT_FALSE(ref->isLoaded());
  ref->load();
  ASSERT_TRUE(ref->isLoaded());
  ASSERT_EQ(ref->childNodes().size(), 2u);
  auto chair = ref->childNodes()[0];
  EXPECT_EQ(chair->name(), "chair");
  EXPECT_FLOAT_EQ(chair->eulerAngles().y, 1.5f);
  EXPECT_EQ(chair->geometry()->kind(), "box");
  auto seat = chair->childNodeWithName("seat", false);
  ASSERT_NE(seat, nullptr);
  EXPECT_TRUE(seat->isHidden());
  // A copy is a loaded reference node of its own: unloading and loading it again leaves the
  // original alone.
  auto copy = std::dynamic_pointer_cast<SCNReferenceNode>(ref->clone());
  ASSERT_NE(copy, nullptr);
  EXPECT_TRUE(copy->isLoaded());
  ASSERT_EQ(copy->childNodes().size(), 2u);
  EXPECT_NE(copy->childNodes()[0], chair);
  EXPECT_FLOAT_EQ(copy->childNodes()[0]->eulerAngles().y, 1.5f);
  EXPECT_NE(copy->childNodes()[0]->childNodeWithName("seat", false), nullptr);
  copy->unload();
  EXPECT_TRUE(copy->childNodes().empty());
  EXPECT_EQ(ref->childNodes().size(), 2u);
  copy->load();
  EXPECT_EQ(copy->childNodes().size(), 2u);

  ref->unload();
  EXPECT_TRUE(ref->childNodes().empty());

  for (const std::string bad : {"node a\n", "quillmere-scene 1\nnode a parent b\n",
                                "quillmere-scene 1\nnode a position 1 2\n",
                                "quillmere-scene 1\nnode a scale 1 nan 1\n",
                                "quillmere-scene 1\nnode a\nnode a\n",
                                "quillmere-scene 1\nnode a box 1 1 1 sphere 1\n",
                                "quillmere-scene 1\nnode a colour red\n",
                                "quillmere-scene 1\nnode a box 1 -1 1\n"}) {
    EXPECT_FALSE(platform::scenekit::ParseScene(bad).ok()) << bad;
  }
  std::string deep = "quillmere-scene 1\nnode n0\n";
  for (int i = 1; i < 64; ++i) {
    deep += "node n" + std::to_string(i) + " parent n" + std::to_string(i - 1) + "\n";
  }
  EXPECT_TRUE(platform::scenekit::ParseScene(deep).ok());
  EXPECT_FALSE(platform::scenekit::ParseScene(deep + "node n64 parent n63\n").ok());
  auto broken = SCNReferenceNode::initWithURL(write("broken.scn", "quillmere-scene 1\nnode\n"));
  broken->load();
  EXPECT_FALSE(broken->isLoaded());
  std::shared_ptr<NSError> error;
  EXPECT_EQ(SCNScene::sceneWithURL(NSURL::fileURLWithPath((dir / "missing.scn").string()), &error),
            nullptr);
  EXPECT_NE(error, nullptr);
  auto scene = SCNScene::sceneWithURL(good, &error);
  ASSERT_NE(scene, nullptr);
  EXPECT_EQ(scene->rootNode()->childNodes().size(), 2u);
  EXPECT_EQ(SCNReferenceNode::initWithURL(nullptr), nullptr);
  std::filesystem::remove_all(dir);
}

}  // namespace
