// The frame and render callbacks of OstrellFaceView: face frames arrive on the main queue and
// wait in a one-slot mailbox until the scene view's render thread takes them.

#include "platform/quartzcore/ca_layer.h"
#include "views/ostrell_face_view.h"

namespace {

// Interface orientation portrait, as the face frame's projection and display transform take it.
constexpr int64_t kPortrait = 1;

}  // namespace

void OstrellFaceView::didUpdateFrame(std::shared_ptr<QVXAugmentedFaceFrame> frame) {
  std::shared_ptr<SCNCamera> camera = sceneCamera();
  std::shared_ptr<SCNView> view = sceneView();
  const CGSize viewport = view->bounds().size;
  camera->setProjectionTransform(frame->projectionMatrixForViewportSize(
      viewport, kPortrait, /*mirrored=*/false, kCameraZNear, kCameraZFar));
  // The scene is mirrored by its layer; the camera image by its display transform.
  view->layer()->setTransform(CATransform3DMakeScale(-1, 1, 1));
  std::lock_guard<std::mutex> lock(frame_mutex_);
  next_face_frame_ = std::move(frame);
}

void OstrellFaceView::rendererUpdateAtTime(const std::shared_ptr<SCNSceneRenderer>&, double) {
  std::shared_ptr<QVXAugmentedFaceFrame> next;
  {
    std::lock_guard<std::mutex> lock(frame_mutex_);
    if (next_face_frame_ == nullptr || next_face_frame_ == current_face_frame_) return;
    next = current_face_frame_ = next_face_frame_;
  }

  std::shared_ptr<QVXAugmentedFace> face = next->face();
  if (face != nullptr) {
    updateTransform(face->transformForRegion(0), noseTipNode());
    updateTransform(face->transformForRegion(1), foreheadLeftNode());
    updateTransform(face->transformForRegion(2), foreheadRightNode());
    updateTransform(face->centerTransform(), centerNode());
  }
  if (auto scene = sceneView()->scene()) scene->rootNode()->setHidden(face == nullptr);
}

void OstrellFaceView::rendererDidRenderScene(const std::shared_ptr<SCNSceneRenderer>&,
                                             const std::shared_ptr<SCNScene>&, double) {
  std::shared_ptr<QVXAugmentedFaceFrame> current = currentFaceFrame();
  if (current == nullptr) return;
  std::shared_ptr<CALayer> image_layer = cameraImageLayer();
  CATransaction::begin();
  CATransaction::setAnimationDuration(0);
  image_layer->setContents(current->capturedImage());
  image_layer->setAffineTransform(current->displayTransformForViewportSize(
      image_layer->bounds().size, kPortrait, /*mirrored=*/true));
  CATransaction::commit();
}
