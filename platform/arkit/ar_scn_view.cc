#include "platform/arkit/ar_scn_view.h"

#include <atomic>

namespace {

std::atomic<bool> face_geometry_available{true};

}  // namespace

void platform::arkit::SetFaceGeometryAvailable(bool available) {
  face_geometry_available.store(available);
}

std::shared_ptr<ARSCNFaceGeometry> ARSCNFaceGeometry::faceGeometryWithDevice(
    const std::shared_ptr<MTLDevice>& device) {
  if (device == nullptr || !face_geometry_available.load()) return nullptr;
  return std::make_shared<ARSCNFaceGeometry>();
}

void ARSCNFaceGeometry::updateFromFaceGeometry(const std::shared_ptr<ARFaceGeometry>& geometry) {
  std::lock_guard<std::mutex> lock(update_mutex_);
  ++updates_;
  last_ = geometry;
}

int ARSCNFaceGeometry::updateCount() const {
  std::lock_guard<std::mutex> lock(update_mutex_);
  return updates_;
}

std::shared_ptr<ARFaceGeometry> ARSCNFaceGeometry::lastFaceGeometry() const {
  std::lock_guard<std::mutex> lock(update_mutex_);
  return last_;
}

bool ARSCNView::automaticallyUpdatesLighting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return updates_lighting_;
}

void ARSCNView::setAutomaticallyUpdatesLighting(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  updates_lighting_ = on;
}

std::shared_ptr<ARSCNView> ARSCNView::initWithFrame(CGRect frame, const Options& options) {
  auto view = std::make_shared<ARSCNView>(frame, options);
  view->session();
  return view;
}

ARSCNView::ARSCNView(CGRect frame, Options options) : SCNView(frame, std::move(options)) {
  auto scene = SCNScene::scene();
  auto camera = SCNNode::node();
  camera->setCamera(SCNCamera::camera());
  camera->camera()->setZNear(0.001);
  camera->camera()->setZFar(1000);
  scene->rootNode()->addChildNode(camera);
  setScene(scene);
  setPointOfView(camera);
}

std::shared_ptr<ARSession> ARSCNView::session() {
  std::call_once(observing_, [this] {
    std::weak_ptr<UIView> weak = weak_from_this();
    session_->AddAnchorObserver(weak, [this, weak](ARAnchorChange change,
                                                   const std::shared_ptr<ARAnchor>& anchor) {
      auto self = weak.lock();
      if (self == nullptr) return;
      std::lock_guard<std::mutex> lock(mutex_);
      pending_.emplace_back(change, anchor);
    });
  });
  return session_;
}

void ARSCNView::setDelegate(std::weak_ptr<ARSCNViewDelegate> delegate) {
  SCNView::setDelegate(delegate);
  std::lock_guard<std::mutex> lock(mutex_);
  ar_delegate_ = std::move(delegate);
}

std::shared_ptr<ARSCNViewDelegate> ARSCNView::arDelegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ar_delegate_.lock();
}

std::shared_ptr<ARRaycastQuery> ARSCNView::raycastQueryFromPoint(
    CGPoint point, ARRaycastTarget target, ARRaycastTargetAlignment alignment) {
  if (!session_->QueriesFormable()) return nullptr;
  if (auto frame = session_->currentFrame()) pointOfView()->setSimdWorldTransform(frame->camera()->transform());
  const float x = static_cast<float>(point.x);
  const float y = static_cast<float>(point.y);
  const simd_float3 near = SCNVector3ToFloat3(unprojectPoint({x, y, 0}));
  const simd_float3 far = SCNVector3ToFloat3(unprojectPoint({x, y, 1}));
  return std::make_shared<ARRaycastQuery>(
      ARRaycastQuery{near, simd_normalize(far - near), target, alignment});
}

std::shared_ptr<SCNNode> ARSCNView::nodeForAnchor(const std::shared_ptr<ARAnchor>& anchor) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = nodes_.find(anchor);
  return it == nodes_.end() ? nullptr : it->second;
}

std::shared_ptr<ARAnchor> ARSCNView::anchorForNode(const std::shared_ptr<SCNNode>& node) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [anchor, n] : nodes_) {
    if (n == node) return anchor;
  }
  return nullptr;
}

void ARSCNView::RenderFrameWork(double) {
  if (auto frame = session_->currentFrame()) {
    pointOfView()->setSimdWorldTransform(frame->camera()->transform());
  }
  std::vector<std::pair<ARAnchorChange, std::shared_ptr<ARAnchor>>> changes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    changes.swap(pending_);
  }
  auto self = std::dynamic_pointer_cast<SCNSceneRenderer>(shared_from_this());
  auto delegate = arDelegate();
  for (const auto& [change, anchor] : changes) {
    std::shared_ptr<SCNNode> node = nodeForAnchor(anchor);
    switch (change) {
      case ARAnchorChange::kAdded: {
        if (node != nullptr) break;
        if (delegate != nullptr) node = delegate->rendererNodeForAnchor(self, anchor);
        if (node == nullptr) node = SCNNode::node();
        scene()->rootNode()->addChildNode(node);
        node->setSimdWorldTransform(anchor->transform());
        {
          std::lock_guard<std::mutex> lock(mutex_);
          nodes_[anchor] = node;
        }
        if (delegate != nullptr) delegate->rendererDidAddNode(self, node, anchor);
        break;
      }
      case ARAnchorChange::kUpdated:
        if (node == nullptr) break;
        node->setSimdWorldTransform(anchor->transform());
        if (delegate != nullptr) delegate->rendererDidUpdateNode(self, node, anchor);
        break;
      case ARAnchorChange::kRemoved:
        if (node == nullptr) break;
        node->removeFromParentNode();
        {
          std::lock_guard<std::mutex> lock(mutex_);
          nodes_.erase(anchor);
        }
        if (delegate != nullptr) delegate->rendererDidRemoveNode(self, node, anchor);
        break;
    }
  }
}
