// Reads arbitrary bytes as a scene file (the text format of our SceneKit stand-in, which
// downloaded models use). Any crash, hang or sanitizer report is a fault; refusing the text is
// expected. An accepted scene is walked the way views use it: world transforms, bounds, search.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/scenekit/scn_scene.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto nodes = platform::scenekit::ParseScene(text);
  if (!nodes.ok()) return 0;
  auto root = SCNNode::node();
  for (const auto& node : *nodes) root->addChildNode(node);
  float sum = 0;
  root->enumerateChildNodesUsingBlock([&](const std::shared_ptr<SCNNode>& node, bool*) {
    sum += node->simdWorldTransform().columns[3].x;
  });
  SCNVector3 lo, hi;
  root->getBoundingBox(&lo, &hi);
  root->childNodeWithName("ARKit_Mesh", true);
  return sum == 12345.5f ? 1 : 0;
}
