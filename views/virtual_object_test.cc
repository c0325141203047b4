#include "views/virtual_object.h"

#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using platform::foundation::ScopedTestFolder;

// A body box standing on the origin and a lamp to its right, in file order.
constexpr char kChairScene[] =
    "quillmere-scene 1\n"
    "node body position 0 0.5 0 box 2 1 0.5\n"
    "node seat parent body position 0 0.5 0 plane 0.4 0.4\n"
    "node lamp position 3 0 0 sphere 0.25\n";

std::shared_ptr<NSURL> WriteScene(const ScopedTestFolder& folder, const std::string& name,
                                  const std::string& text) {
  std::ofstream(folder.Path(name)) << text;
  return NSURL::fileURLWithPath(folder.Path(name));
}

TEST(VirtualObjectModelName, RemovesEveryDotScnCaseSensitively) {
  const std::pair<const char*, const char*> cases[] = {
      {"/app/art.scnassets/chair.scn", "chair"},
      {"/app/a.scn.scn", "a"},
      {"/app/my.scnery.scn", "myery"},
      {"/app/Chair.SCN", "Chair.SCN"},
      {"/app/chair", "chair"},
      {"/app/..scnscn", ".scn"},  // removals do not form new occurrences
  };
  for (const auto& [path, expected] : cases) {
    auto object = VirtualObject::initWithURL(NSURL::fileURLWithPath(path));
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->modelName(), expected) << path;
  }
}

TEST(VirtualObject, StartsUnloadedWithoutPlacementAndLoadsChildrenInFileOrder) {
  EXPECT_EQ(VirtualObject::initWithURL(nullptr), nullptr);

  ScopedTestFolder folder;
  auto object = VirtualObject::initWithURL(WriteScene(folder, "chair.scn", kChairScene));
  ASSERT_NE(object, nullptr);
  EXPECT_TRUE(object->childNodes().empty());
  EXPECT_EQ(object->anchor(), nullptr);
  EXPECT_FALSE(object->shouldUpdateAnchor());
  EXPECT_FALSE(object->raycastQuery().has_value());
  EXPECT_EQ(object->raycast(), nullptr);
  EXPECT_FALSE(object->mostRecentInitialPlacementResult().has_value());

  object->load();
  const auto children = object->childNodes();
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(children[0]->name(), "body");
  EXPECT_EQ(children[1]->name(), "lamp");
  // x from the body's -1 to the lamp's 3.25; y from the lamp's -0.25 to the top of the
  // upright seat plane, 1 + 0.2 (grandchildren count).
  EXPECT_FLOAT_EQ(object->modelWidth(), 4.25f);
  EXPECT_FLOAT_EQ(object->modelHeight(), 1.45f);
}

TEST(VirtualObject, RotationTurnsOnlyTheFirstChildAboutY) {
  ScopedTestFolder folder;
  auto object = VirtualObject::initWithURL(WriteScene(folder, "chair.scn", kChairScene));
  // Without children there is nothing to turn: reads 0, writes are ignored.
  object->setObjectRotation(1.0f);
  EXPECT_EQ(object->objectRotation(), 0.0f);

  object->load();
  auto body = object->childNodes()[0];
  auto lamp = object->childNodes()[1];
  body->setEulerAngles({0.1f, 0, 0.2f});
  const simd_float4x4 own_before = object->simdTransform();
  object->setObjectRotation(0.5f);
  EXPECT_FLOAT_EQ(object->objectRotation(), 0.5f);
  EXPECT_EQ(body->eulerAngles(), SCNVector3Make(0.1f, 0.5f, 0.2f));
  EXPECT_EQ(lamp->eulerAngles(), SCNVector3Make(0, 0, 0));
  EXPECT_EQ(object->simdTransform(), own_before);
}

TEST(VirtualObject, StopTrackedRaycastStopsAndForgetsIt) {
  auto object = VirtualObject::initWithURL(NSURL::fileURLWithPath("/app/chair.scn"));
  object->stopTrackedRaycast();  // none: stays none
  EXPECT_EQ(object->raycast(), nullptr);

  auto session = ARSession::init();
  session->runWithConfiguration(ARWorldTrackingConfiguration::init(), 0);
  auto tracked = session->trackedRaycast(
      ARRaycastQuery{{0, 0, 0}, {0, 0, -1}, ARRaycastTargetEstimatedPlane,
                     ARRaycastTargetAlignmentAny},
      [](std::vector<ARRaycastResult>) {});
  ASSERT_NE(tracked, nullptr);
  object->setRaycast(tracked);
  object->stopTrackedRaycast();
  EXPECT_FALSE(tracked->isTracking());
  EXPECT_EQ(object->raycast(), nullptr);
}

TEST(VirtualObject, ExistingObjectContainingNodeFindsTheInnermostObject) {
  auto outer = VirtualObject::initWithURL(NSURL::fileURLWithPath("/app/room.scn"));
  auto level1 = SCNNode::node();
  auto level2 = SCNNode::node();
  auto geometry = SCNNode::node();
  outer->addChildNode(level1);
  level1->addChildNode(level2);
  level2->addChildNode(geometry);
  auto inner = VirtualObject::initWithURL(NSURL::fileURLWithPath("/app/cup.scn"));
  auto cup_part = SCNNode::node();
  level1->addChildNode(inner);
  inner->addChildNode(cup_part);
  auto stray_root = SCNNode::node();
  auto stray = SCNNode::node();
  stray_root->addChildNode(stray);

  EXPECT_EQ(VirtualObject::existingObjectContainingNode(outer), outer);
  EXPECT_EQ(VirtualObject::existingObjectContainingNode(geometry), outer);
  EXPECT_EQ(VirtualObject::existingObjectContainingNode(cup_part), inner);
  EXPECT_EQ(VirtualObject::existingObjectContainingNode(inner), inner);
  EXPECT_EQ(VirtualObject::existingObjectContainingNode(stray), nullptr);
  EXPECT_EQ(VirtualObject::existingObjectContainingNode(nullptr), nullptr);
}

TEST(VirtualObject, CopiesAreVirtualObjectsWithTheirOwnPlacement) {
  ScopedTestFolder folder;
  auto object = VirtualObject::initWithURL(WriteScene(folder, "chair.scn", kChairScene));
  object->load();
  object->setShouldUpdateAnchor(true);
  auto copy = std::dynamic_pointer_cast<VirtualObject>(object->clone());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->modelName(), "chair");
  EXPECT_EQ(copy->childNodes().size(), 2u);
  EXPECT_FALSE(copy->shouldUpdateAnchor());
  EXPECT_EQ(VirtualObject::existingObjectContainingNode(copy->childNodes()[0]), copy);
}

}  // namespace
