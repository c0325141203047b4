#include "views/arkit_face_view.h"

#include <string>
#include <utility>

#include "platform/scenekit/scn_geometry.h"
#include "platform/uikit/console.h"

std::shared_ptr<ARKitFaceView> ARKitFaceView::init() { return initWithFrame(CGRectZero, {}); }

std::shared_ptr<ARKitFaceView> ARKitFaceView::initWithFrame(CGRect frame, const Options& options) {
  return Create<ARKitFaceView>(frame, options);
}

std::shared_ptr<ARKitFaceView> ARKitFaceView::initWithCoder(NSCoder* coder) {
  return CreateFromCoder<ARKitFaceView>(coder);
}

std::shared_ptr<ARFaceAnchor> ARKitFaceView::currentFaceAnchor() const {
  std::lock_guard<std::mutex> lock(nodes_mutex_);
  return current_face_anchor_;
}
void ARKitFaceView::setCurrentFaceAnchor(std::shared_ptr<ARFaceAnchor> anchor) {
  std::lock_guard<std::mutex> lock(nodes_mutex_);
  current_face_anchor_ = std::move(anchor);
}
std::shared_ptr<SCNNode> ARKitFaceView::contentNode() const {
  std::lock_guard<std::mutex> lock(nodes_mutex_);
  return content_node_;
}
void ARKitFaceView::setContentNode(std::shared_ptr<SCNNode> node) {
  std::lock_guard<std::mutex> lock(nodes_mutex_);
  content_node_ = std::move(node);
}
std::shared_ptr<SCNNode> ARKitFaceView::occlusionNode() const {
  std::lock_guard<std::mutex> lock(nodes_mutex_);
  return occlusion_node_;
}
void ARKitFaceView::setOcclusionNode(std::shared_ptr<SCNNode> node) {
  std::lock_guard<std::mutex> lock(nodes_mutex_);
  occlusion_node_ = std::move(node);
}
std::shared_ptr<VirtualObject> ARKitFaceView::faceOverlayContent() const {
  std::lock_guard<std::mutex> lock(nodes_mutex_);
  return face_overlay_content_;
}
void ARKitFaceView::setFaceOverlayContent(std::shared_ptr<VirtualObject> object) {
  std::lock_guard<std::mutex> lock(nodes_mutex_);
  face_overlay_content_ = std::move(object);
}

void ARKitFaceView::finishInitialization() {
  std::shared_ptr<VirtualObject> model = virtualObject();
  if (model == nullptr) {
    print("problem with model");
    return;
  }
  auto self = std::static_pointer_cast<ARKitFaceView>(shared_from_this());
  setDelegate(self);
  session()->setDelegate(self);
  setAutomaticallyUpdatesLighting(true);
  setFaceOverlayContent(model);
  if (auto mesh = model->childNodeWithName("ARKit_Mesh", /*recursively=*/true)) {
    mesh->setHidden(false);
  }
  resetTracking();
}

void ARKitFaceView::resetTracking() {
  if (!ARFaceTrackingConfiguration::isSupported()) return;
  auto configuration = ARFaceTrackingConfiguration::init();
  configuration->setLightEstimationEnabled(true);
  session()->runWithConfiguration(
      configuration, ARSessionRunOptionResetTracking | ARSessionRunOptionRemoveExistingAnchors);
}

void ARKitFaceView::willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview) {
  BaseARSCNView::willMoveToSuperview(newSuperview);
  if (newSuperview != nullptr) return;
  print("this view is removed");
  removeAllVirtualObjects();
  session()->pause();
}

void ARKitFaceView::sessionDidFailWithError(const std::shared_ptr<ARSession>&,
                                            const std::shared_ptr<NSError>& error) {
  if (error == nullptr || error->domain() != ARErrorDomain) return;
  std::string message = error->localizedDescription();
  for (const std::optional<std::string>& part :
       {error->localizedFailureReason(), error->localizedRecoverySuggestion()}) {
    if (part.has_value()) message += "\n" + *part;
  }
  print("The AR session failed. " + message);
}

void ARKitFaceView::rendererDidAddNode(const std::shared_ptr<SCNSceneRenderer>& renderer,
                                       const std::shared_ptr<SCNNode>& node,
                                       const std::shared_ptr<ARAnchor>& anchor) {
  auto face = std::dynamic_pointer_cast<ARFaceAnchor>(anchor);
  if (face == nullptr) return;
  setCurrentFaceAnchor(face);
  if (!node->childNodes().empty()) return;
  if (auto content = createNode(renderer, anchor)) node->addChildNode(content);
}

std::shared_ptr<SCNNode> ARKitFaceView::createNode(
    const std::shared_ptr<SCNSceneRenderer>& renderer, const std::shared_ptr<ARAnchor>& anchor) {
  auto view = std::dynamic_pointer_cast<ARSCNView>(renderer);
  if (view == nullptr || std::dynamic_pointer_cast<ARFaceAnchor>(anchor) == nullptr) {
    return nullptr;
  }
  std::shared_ptr<ARSCNFaceGeometry> geometry =
      ARSCNFaceGeometry::faceGeometryWithDevice(view->device());
  if (geometry == nullptr) return nullptr;
  if (auto material = geometry->firstMaterial())
    material->setColorBufferWriteMask(SCNColorMaskNone);

  auto occlusion = SCNNode::nodeWithGeometry(geometry);
  occlusion->setRenderingOrder(-1);
  auto content = SCNNode::node();
  content->addChildNode(occlusion);
  // Without an overlay the occluder stands alone.
  if (auto overlay = faceOverlayContent()) content->addChildNode(overlay);
  {
    std::lock_guard<std::mutex> lock(nodes_mutex_);
    occlusion_node_ = occlusion;
    content_node_ = content;
  }
  return content;
}

void ARKitFaceView::rendererDidUpdateNode(const std::shared_ptr<SCNSceneRenderer>&,
                                          const std::shared_ptr<SCNNode>&,
                                          const std::shared_ptr<ARAnchor>& anchor) {
  std::shared_ptr<SCNNode> occlusion = occlusionNode();
  if (occlusion == nullptr) return;
  auto geometry = std::dynamic_pointer_cast<ARSCNFaceGeometry>(occlusion->geometry());
  auto face = std::dynamic_pointer_cast<ARFaceAnchor>(anchor);
  if (geometry == nullptr || face == nullptr) return;
  geometry->updateFromFaceGeometry(face->geometry());
}
