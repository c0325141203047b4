#include "platform/scenekit/scn_node.h"

#include <cmath>

#include "gtest/gtest.h"

namespace {

void ExpectMatrixNear(const simd_float4x4& a, const simd_float4x4& b) {
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) EXPECT_NEAR(a.columns[c][r], b.columns[c][r], 1e-5) << r << "," << c;
}

TEST(SCNNode, WorldTransformsComposeAndSetWorldSolvesForLocal) {
  auto root = SCNNode::node();
  auto parent = SCNNode::node();
  auto child = SCNNode::node();
  root->addChildNode(parent);
  parent->addChildNode(child);
  parent->setSimdPosition({1, 0, 0});
  parent->setSimdEulerAngles({0, float(M_PI / 2), 0});  // +x turns to -z
  parent->setSimdScale({2, 2, 2});
  child->setSimdPosition({1, 0, 0});
  const simd_float3 p = child->simdWorldPosition();
  EXPECT_NEAR(p.x, 1, 1e-5);
  EXPECT_NEAR(p.z, -2, 1e-5);

  simd_float4x4 target = simd_matrix4x4(simd_quaternion(0.3f, simd_make_float3(1, 0, 0)));
  target.columns[3] = {5, 6, 7, 1};
  child->setSimdWorldTransform(target);
  ExpectMatrixNear(child->simdWorldTransform(), target);
  EXPECT_NEAR(child->simdScale().x, 0.5f, 1e-5);  // undoes the parent's scale

  const SCNVector3 in_parent = child->convertPositionToNode({0, 0, 0}, parent);
  EXPECT_NEAR(in_parent.x, child->simdPosition().x, 1e-5);
  const SCNVector3 back = child->convertPositionFromNode(in_parent, parent);
  EXPECT_NEAR(back.x, 0, 1e-5);
}

TEST(SCNNode, EulerAnglesReadBackAsSetAndFollowOtherRotations) {
  auto node = SCNNode::node();
  // Beyond a quarter turn a decomposition would give another triple; what was set reads back.
  node->setEulerAngles({0, 2.8f, 0});
  EXPECT_FLOAT_EQ(node->eulerAngles().y, 2.8f);
  node->setEulerAngles({0, node->eulerAngles().y - float(M_PI / 12), 0});
  EXPECT_NEAR(node->eulerAngles().y, 2.8f - M_PI / 12, 1e-6);

  // Set through the orientation, they are derived: R = Rx·Ry·Rz.
  const simd_float3 e = {0.2f, -0.4f, 0.7f};
  node->setSimdOrientation(platform::scenekit::QuaternionFromEuler(e));
  const simd_float3 got = node->simdEulerAngles();
  EXPECT_NEAR(got.x, e.x, 1e-5);
  EXPECT_NEAR(got.y, e.y, 1e-5);
  EXPECT_NEAR(got.z, e.z, 1e-5);
  const simd_float4x4 rx = simd_matrix4x4(simd_quaternion(e.x, simd_make_float3(1, 0, 0)));
  const simd_float4x4 ry = simd_matrix4x4(simd_quaternion(e.y, simd_make_float3(0, 1, 0)));
  const simd_float4x4 rz = simd_matrix4x4(simd_quaternion(e.z, simd_make_float3(0, 0, 1)));
  ExpectMatrixNear(node->simdTransform(), simd_mul(rx, simd_mul(ry, rz)));
}

TEST(SCNNode, TreeSearchAndBoundingBox) {
  auto root = SCNNode::node();
  auto a = SCNNode::nodeWithGeometry(SCNBox(2, 2, 2));
  auto b = SCNNode::nodeWithGeometry(SCNSphere(1));
  a->setName("a");
  b->setName("b");
  root->addChildNode(a);
  a->addChildNode(b);
  b->setSimdPosition({3, 0, 0});
  EXPECT_EQ(root->childNodeWithName("b", true), b);
  EXPECT_EQ(root->childNodeWithName("b", false), nullptr);
  SCNVector3 lo, hi;
  root->getBoundingBox(&lo, &hi);
  EXPECT_EQ(lo, SCNVector3Make(-1, -1, -1));
  EXPECT_EQ(hi, SCNVector3Make(4, 1, 1));

  auto other = SCNNode::node();
  other->addChildNode(b);  // moves it
  EXPECT_TRUE(a->childNodes().empty());
  EXPECT_EQ(b->parentNode(), other);
  a->setHidden(true);
  EXPECT_FALSE(root->isHiddenInTree());
  EXPECT_TRUE(a->isHiddenInTree());
}

}  // namespace
