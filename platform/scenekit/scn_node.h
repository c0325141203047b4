#ifndef PLATFORM_SCENEKIT_SCN_NODE_H_
#define PLATFORM_SCENEKIT_SCN_NODE_H_

// Scene-graph nodes: a tree with local transforms, world transforms, geometry, camera and
// hidden flag. Nodes lock inside, so the render thread and the main thread may use one node
// tree at once (each call is atomic on its own).
//
//   auto root = SCNNode::node();
//   auto child = SCNNode::node();
//   root->addChildNode(child);
//   child->setSimdPosition({0, 1, 0});
//   child->setEulerAngles({0, float(M_PI / 2), 0});
//   child->simdWorldTransform();                 // root's transform · child's transform
//   child->setSimdWorldTransform(m);             // sets the local transform that yields m
//
// The local transform is translation · rotation · scale (pivot is not modelled). Euler angles
// are (pitch x, yaw y, roll z), applied roll first, then yaw, then pitch: R = Rx · Ry · Rz.
// Euler angles read back as they were last set; after the rotation was set another way they
// are derived from it. Setting a transform decomposes it (translation, rotation, positive
// scale); shear is lost.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/scenekit/scn_geometry.h"
#include "platform/scenekit/scn_types.h"

class SCNAction;
class CAAnimation;

class SCNCamera {
 public:
  static std::shared_ptr<SCNCamera> camera() { return std::make_shared<SCNCamera>(); }
  double zNear() const;
  void setZNear(double z);
  double zFar() const;
  void setZFar(double z);
  // Vertical field of view in degrees.
  double fieldOfView() const;
  void setFieldOfView(double degrees);
  // The projection of the camera: the one set with setProjectionTransform, or else a
  // perspective from the field of view, planes and `aspect` (width / height).
  simd_float4x4 projectionTransformWithAspect(float aspect) const;
  bool hasCustomProjection() const;
  SCNMatrix4 projectionTransform() const { return projectionTransformWithAspect(1); }
  void setProjectionTransform(const SCNMatrix4& projection);

 private:
  mutable std::mutex mutex_;
  double z_near_ = 1;
  double z_far_ = 100;
  double fov_ = 60;
  bool custom_ = false;
  simd_float4x4 projection_ = matrix_identity_float4x4;
};

class SCNNode : public std::enable_shared_from_this<SCNNode> {
 public:
  static std::shared_ptr<SCNNode> node();
  static std::shared_ptr<SCNNode> nodeWithGeometry(std::shared_ptr<SCNGeometry> geometry);
  SCNNode() = default;
  virtual ~SCNNode() = default;
  SCNNode(const SCNNode&) = delete;
  SCNNode& operator=(const SCNNode&) = delete;

  std::string name() const;
  void setName(const std::string& name);
  bool isHidden() const;
  void setHidden(bool hidden);
  float opacity() const;
  void setOpacity(float opacity);
  long renderingOrder() const;
  void setRenderingOrder(long order);
  std::shared_ptr<SCNGeometry> geometry() const;
  void setGeometry(std::shared_ptr<SCNGeometry> geometry);
  std::shared_ptr<SCNCamera> camera() const;
  void setCamera(std::shared_ptr<SCNCamera> camera);

  // Local transform.
  SCNVector3 position() const;
  void setPosition(SCNVector3 position);
  simd_float3 simdPosition() const;
  void setSimdPosition(simd_float3 position);
  SCNVector3 eulerAngles() const;
  void setEulerAngles(SCNVector3 angles);
  simd_float3 simdEulerAngles() const;
  void setSimdEulerAngles(simd_float3 angles);
  simd_quatf simdOrientation() const;
  void setSimdOrientation(simd_quatf orientation);
  SCNVector3 scale() const;
  void setScale(SCNVector3 scale);
  simd_float3 simdScale() const;
  void setSimdScale(simd_float3 scale);
  simd_float4x4 simdTransform() const;
  void setSimdTransform(const simd_float4x4& transform);
  SCNMatrix4 transform() const { return simdTransform(); }
  void setTransform(const SCNMatrix4& transform) { setSimdTransform(transform); }

  // World transform: the parents' transforms, root first, then this one.
  simd_float4x4 simdWorldTransform() const;
  void setSimdWorldTransform(const simd_float4x4& world);
  SCNMatrix4 worldTransform() const { return simdWorldTransform(); }
  simd_float3 simdWorldPosition() const;
  void setSimdWorldPosition(simd_float3 position);
  // A point from this node's space to `node`'s (null: the world) and back.
  SCNVector3 convertPositionToNode(SCNVector3 position, const std::shared_ptr<SCNNode>& node) const;
  SCNVector3 convertPositionFromNode(SCNVector3 position,
                                     const std::shared_ptr<SCNNode>& node) const;

  // The local bounding box of this node and its descendants (their boxes mapped into this
  // node's space); zero when none has geometry.
  void getBoundingBox(SCNVector3* min, SCNVector3* max) const;

  // Tree. Adding a node that has another parent moves it.
  std::shared_ptr<SCNNode> parentNode() const;
  std::vector<std::shared_ptr<SCNNode>> childNodes() const;
  void addChildNode(const std::shared_ptr<SCNNode>& child);
  void insertChildNode(const std::shared_ptr<SCNNode>& child, size_t index);
  void removeFromParentNode();
  // Depth-first search of the descendants (`recursively`) or the children only.
  std::shared_ptr<SCNNode> childNodeWithName(const std::string& name, bool recursively) const;
  // Visits the descendants depth first; the visitor sets *stop to end the walk.
  void enumerateChildNodesUsingBlock(
      const std::function<void(const std::shared_ptr<SCNNode>& child, bool* stop)>& visit) const;
  // Whether this node or an ancestor is hidden.
  bool isHiddenInTree() const;

  // Actions and animations on the shared clock (scn_action.h). A key of "" runs without a key;
  // the completion runs when the action finishes, not when it is removed.
  void runAction(std::shared_ptr<SCNAction> action, const std::string& key = "",
                 std::function<void()> completion = nullptr);
  std::shared_ptr<SCNAction> actionForKey(const std::string& key) const;
  void removeActionForKey(const std::string& key);
  void removeAllActions();
  bool hasActions() const;
  // An animation stays under its key until its duration has passed on the clock (or it is
  // removed); it animates nothing here: the model values stay as set.
  void addAnimation(std::shared_ptr<CAAnimation> animation, const std::string& key);
  std::shared_ptr<CAAnimation> animationForKey(const std::string& key) const;
  std::vector<std::string> animationKeys() const;
  void removeAnimationForKey(const std::string& key);

  // A copy of this node and its subtree, of the same class (subclasses override
  // MakeEmptyCopy / DidClone): names, flags, transforms and children are copied; geometry and
  // camera are shared, as on the platform. The copy has no parent.
  std::shared_ptr<SCNNode> clone() const;

 protected:
  // A new node of this node's class, with what its constructor needs.
  virtual std::shared_ptr<SCNNode> MakeEmptyCopy() const { return node(); }
  // Runs after properties and children were copied into `copy`.
  virtual void DidClone(SCNNode& copy) const {}

 private:
  void SetNameValue(std::string name);
  void Detach(const SCNNode* child);
  bool Enumerate(const std::function<void(const std::shared_ptr<SCNNode>&, bool*)>& visit) const;

  mutable std::mutex mutex_;
  std::string name_;
  bool hidden_ = false;
  float opacity_ = 1;
  long rendering_order_ = 0;
  std::shared_ptr<SCNGeometry> geometry_;
  std::shared_ptr<SCNCamera> camera_;
  simd_float3 position_ = {0, 0, 0};
  simd_quatf orientation_ = {{0, 0, 0, 1}};
  simd_float3 scale_ = {1, 1, 1};
  bool euler_set_ = false;
  simd_float3 euler_ = {0, 0, 0};
  std::weak_ptr<SCNNode> parent_;
  std::vector<std::shared_ptr<SCNNode>> children_;
};

namespace platform::scenekit {

// R = Rx(e.x) · Ry(e.y) · Rz(e.z) as a quaternion, and back.
simd_quatf QuaternionFromEuler(simd_float3 euler);
simd_float3 EulerFromQuaternion(simd_quatf q);

}  // namespace platform::scenekit

#endif  // PLATFORM_SCENEKIT_SCN_NODE_H_
