#include "platform/scenekit/scn_node.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace platform::scenekit {

simd_quatf QuaternionFromEuler(simd_float3 e) {
  const simd_quatf qx = simd_quaternion(e.x, simd_make_float3(1, 0, 0));
  const simd_quatf qy = simd_quaternion(e.y, simd_make_float3(0, 1, 0));
  const simd_quatf qz = simd_quaternion(e.z, simd_make_float3(0, 0, 1));
  return simd_mul(qx, simd_mul(qy, qz));
}

simd_float3 EulerFromQuaternion(simd_quatf q) {
  const simd_float4x4 r = simd_matrix4x4(simd_normalize(q));
  // R = Rx·Ry·Rz: row 0 of column 2 is sin(y).
  const float sy = std::clamp(r.columns[2].x, -1.0f, 1.0f);
  const float y = std::asin(sy);
  if (std::abs(sy) < 0.999999f) {
    return {std::atan2(-r.columns[2].y, r.columns[2].z), y,
            std::atan2(-r.columns[1].x, r.columns[0].x)};
  }
  // Gimbal lock: put the whole remaining turn into x.
  return {std::atan2(r.columns[1].z, r.columns[1].y), y, 0};
}

}  // namespace platform::scenekit

namespace {

simd_float4x4 Compose(simd_float3 t, simd_quatf q, simd_float3 s) {
  simd_float4x4 m = simd_matrix4x4(q);
  m.columns[0] = m.columns[0] * s.x;
  m.columns[1] = m.columns[1] * s.y;
  m.columns[2] = m.columns[2] * s.z;
  m.columns[3] = {t.x, t.y, t.z, 1};
  return m;
}

}  // namespace

std::shared_ptr<SCNNode> SCNNode::node() { return std::make_shared<SCNNode>(); }

std::shared_ptr<SCNNode> SCNNode::nodeWithGeometry(std::shared_ptr<SCNGeometry> geometry) {
  auto n = node();
  n->setGeometry(std::move(geometry));
  return n;
}

#define QM_NODE_PROPERTY(Type, getter, setter, member) \
  Type SCNNode::getter() const {                       \
    std::lock_guard<std::mutex> lock(mutex_);          \
    return member;                                     \
  }                                                    \
  void SCNNode::setter(Type value) {                   \
    std::lock_guard<std::mutex> lock(mutex_);          \
    member = std::move(value);                         \
  }
QM_NODE_PROPERTY(std::string, name, SetNameValue, name_)
QM_NODE_PROPERTY(bool, isHidden, setHidden, hidden_)
QM_NODE_PROPERTY(float, opacity, setOpacity, opacity_)
QM_NODE_PROPERTY(long, renderingOrder, setRenderingOrder, rendering_order_)
QM_NODE_PROPERTY(std::shared_ptr<SCNGeometry>, geometry, setGeometry, geometry_)
QM_NODE_PROPERTY(std::shared_ptr<SCNCamera>, camera, setCamera, camera_)
QM_NODE_PROPERTY(simd_float3, simdPosition, setSimdPosition, position_)
QM_NODE_PROPERTY(simd_float3, simdScale, setSimdScale, scale_)
#undef QM_NODE_PROPERTY

void SCNNode::setName(const std::string& name) { SetNameValue(name); }

SCNVector3 SCNNode::position() const { return SCNVector3FromFloat3(simdPosition()); }
void SCNNode::setPosition(SCNVector3 p) { setSimdPosition(SCNVector3ToFloat3(p)); }
SCNVector3 SCNNode::scale() const { return SCNVector3FromFloat3(simdScale()); }
void SCNNode::setScale(SCNVector3 s) { setSimdScale(SCNVector3ToFloat3(s)); }
SCNVector3 SCNNode::eulerAngles() const { return SCNVector3FromFloat3(simdEulerAngles()); }
void SCNNode::setEulerAngles(SCNVector3 e) { setSimdEulerAngles(SCNVector3ToFloat3(e)); }

simd_float3 SCNNode::simdEulerAngles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return euler_set_ ? euler_ : platform::scenekit::EulerFromQuaternion(orientation_);
}

void SCNNode::setSimdEulerAngles(simd_float3 angles) {
  std::lock_guard<std::mutex> lock(mutex_);
  euler_set_ = true;
  euler_ = angles;
  orientation_ = platform::scenekit::QuaternionFromEuler(angles);
}

simd_quatf SCNNode::simdOrientation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orientation_;
}

void SCNNode::setSimdOrientation(simd_quatf orientation) {
  std::lock_guard<std::mutex> lock(mutex_);
  euler_set_ = false;
  orientation_ = orientation;
}

simd_float4x4 SCNNode::simdTransform() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Compose(position_, orientation_, scale_);
}

void SCNNode::setSimdTransform(const simd_float4x4& m) {
  simd_float3 s = {simd_length(m.columns[0].xyz()), simd_length(m.columns[1].xyz()),
                   simd_length(m.columns[2].xyz())};
  simd_float4x4 r = matrix_identity_float4x4;
  for (int c = 0; c < 3; ++c) {
    const float len = s[c];
    if (len > 0) r.columns[c] = m.columns[c] / len;
  }
  r.columns[3] = {0, 0, 0, 1};
  std::lock_guard<std::mutex> lock(mutex_);
  position_ = m.columns[3].xyz();
  scale_ = s;
  orientation_ = simd_normalize(simd_quaternion(r));
  euler_set_ = false;
}

simd_float4x4 SCNNode::simdWorldTransform() const {
  simd_float4x4 world = simdTransform();
  for (auto p = parentNode(); p != nullptr; p = p->parentNode()) {
    world = simd_mul(p->simdTransform(), world);
  }
  return world;
}

void SCNNode::setSimdWorldTransform(const simd_float4x4& world) {
  auto parent = parentNode();
  setSimdTransform(parent == nullptr ? world
                                     : simd_mul(simd_inverse(parent->simdWorldTransform()), world));
}

simd_float3 SCNNode::simdWorldPosition() const { return simdWorldTransform().columns[3].xyz(); }

void SCNNode::setSimdWorldPosition(simd_float3 position) {
  simd_float4x4 world = simdWorldTransform();
  world.columns[3] = simd_make_float4(position, 1);
  setSimdWorldTransform(world);
}

SCNVector3 SCNNode::convertPositionToNode(SCNVector3 p,
                                          const std::shared_ptr<SCNNode>& node) const {
  simd_float4 w = simd_mul(simdWorldTransform(), simd_make_float4(SCNVector3ToFloat3(p), 1));
  if (node != nullptr) w = simd_mul(simd_inverse(node->simdWorldTransform()), w);
  return {w.x, w.y, w.z};
}

SCNVector3 SCNNode::convertPositionFromNode(SCNVector3 p,
                                            const std::shared_ptr<SCNNode>& node) const {
  simd_float4 w = simd_make_float4(SCNVector3ToFloat3(p), 1);
  if (node != nullptr) w = simd_mul(node->simdWorldTransform(), w);
  w = simd_mul(simd_inverse(simdWorldTransform()), w);
  return {w.x, w.y, w.z};
}

void SCNNode::getBoundingBox(SCNVector3* min, SCNVector3* max) const {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  simd_float3 lo = {kInf, kInf, kInf};
  simd_float3 hi = {-kInf, -kInf, -kInf};
  auto include = [&](simd_float3 p) {
    for (int i = 0; i < 3; ++i) {
      lo[i] = std::min(lo[i], p[i]);
      hi[i] = std::max(hi[i], p[i]);
    }
  };
  if (auto g = geometry()) {
    SCNVector3 a, b;
    g->getBoundingBox(&a, &b);
    include(SCNVector3ToFloat3(a));
    include(SCNVector3ToFloat3(b));
  }
  for (const auto& child : childNodes()) {
    SCNVector3 a, b;
    child->getBoundingBox(&a, &b);
    if (a == SCNVector3Zero && b == SCNVector3Zero && child->geometry() == nullptr &&
        child->childNodes().empty()) {
      continue;
    }
    const simd_float4x4 t = child->simdTransform();
    for (int corner = 0; corner < 8; ++corner) {
      const simd_float4 p = {corner & 1 ? b.x : a.x, corner & 2 ? b.y : a.y,
                             corner & 4 ? b.z : a.z, 1};
      include(simd_mul(t, p).xyz());
    }
  }
  if (lo.x == kInf) lo = hi = {0, 0, 0};
  *min = SCNVector3FromFloat3(lo);
  *max = SCNVector3FromFloat3(hi);
}

std::shared_ptr<SCNNode> SCNNode::parentNode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return parent_.lock();
}

std::vector<std::shared_ptr<SCNNode>> SCNNode::childNodes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return children_;
}

void SCNNode::addChildNode(const std::shared_ptr<SCNNode>& child) {
  insertChildNode(child, std::numeric_limits<size_t>::max());
}

void SCNNode::insertChildNode(const std::shared_ptr<SCNNode>& child, size_t index) {
  if (child == nullptr || child.get() == this) return;
  child->removeFromParentNode();
  {
    std::lock_guard<std::mutex> lock(child->mutex_);
    child->parent_ = weak_from_this();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  children_.insert(children_.begin() + static_cast<ptrdiff_t>(std::min(index, children_.size())),
                   child);
}

void SCNNode::removeFromParentNode() {
  std::shared_ptr<SCNNode> parent;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    parent = parent_.lock();
    parent_.reset();
  }
  if (parent != nullptr) parent->Detach(this);
}

void SCNNode::Detach(const SCNNode* child) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(children_, [&](const std::shared_ptr<SCNNode>& n) { return n.get() == child; });
}

std::shared_ptr<SCNNode> SCNNode::childNodeWithName(const std::string& name,
                                                    bool recursively) const {
  for (const auto& child : childNodes()) {
    if (child->name() == name) return child;
    if (recursively) {
      if (auto found = child->childNodeWithName(name, true)) return found;
    }
  }
  return nullptr;
}

void SCNNode::enumerateChildNodesUsingBlock(
    const std::function<void(const std::shared_ptr<SCNNode>&, bool*)>& visit) const {
  Enumerate(visit);
}

bool SCNNode::Enumerate(
    const std::function<void(const std::shared_ptr<SCNNode>&, bool*)>& visit) const {
  for (const auto& child : childNodes()) {
    bool stop = false;
    visit(child, &stop);
    if (stop || child->Enumerate(visit)) return true;
  }
  return false;
}

bool SCNNode::isHiddenInTree() const {
  if (isHidden()) return true;
  auto p = parentNode();
  return p != nullptr && p->isHiddenInTree();
}

std::shared_ptr<SCNNode> SCNNode::clone() const {
  std::shared_ptr<SCNNode> copy = MakeEmptyCopy();
  {
    std::scoped_lock lock(mutex_, copy->mutex_);
    copy->name_ = name_;
    copy->hidden_ = hidden_;
    copy->opacity_ = opacity_;
    copy->rendering_order_ = rendering_order_;
    copy->geometry_ = geometry_;
    copy->camera_ = camera_;
    copy->position_ = position_;
    copy->orientation_ = orientation_;
    copy->scale_ = scale_;
    copy->euler_set_ = euler_set_;
    copy->euler_ = euler_;
  }
  for (const auto& child : childNodes()) copy->addChildNode(child->clone());
  DidClone(*copy);
  return copy;
}

// Camera.

#define QM_CAMERA_PROPERTY(getter, setter, member) \
  double SCNCamera::getter() const {               \
    std::lock_guard<std::mutex> lock(mutex_);      \
    return member;                                 \
  }                                                \
  void SCNCamera::setter(double value) {           \
    std::lock_guard<std::mutex> lock(mutex_);      \
    member = value;                                \
  }
QM_CAMERA_PROPERTY(zNear, setZNear, z_near_)
QM_CAMERA_PROPERTY(zFar, setZFar, z_far_)
QM_CAMERA_PROPERTY(fieldOfView, setFieldOfView, fov_)
#undef QM_CAMERA_PROPERTY

simd_float4x4 SCNCamera::projectionTransformWithAspect(float aspect) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (custom_) return projection_;
  const float f = 1.0f / std::tan(static_cast<float>(fov_ * M_PI / 360.0));
  const float n = static_cast<float>(z_near_);
  const float fa = static_cast<float>(z_far_);
  simd_float4x4 p{};
  p.columns[0].x = f / (aspect > 0 ? aspect : 1);
  p.columns[1].y = f;
  p.columns[2].z = (fa + n) / (n - fa);
  p.columns[2].w = -1;
  p.columns[3].z = 2 * fa * n / (n - fa);
  return p;
}

bool SCNCamera::hasCustomProjection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return custom_;
}

void SCNCamera::setProjectionTransform(const SCNMatrix4& projection) {
  std::lock_guard<std::mutex> lock(mutex_);
  custom_ = true;
  projection_ = projection;
}
