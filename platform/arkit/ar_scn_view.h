#ifndef PLATFORM_ARKIT_AR_SCN_VIEW_H_
#define PLATFORM_ARKIT_AR_SCN_VIEW_H_

// The AR scene view: a scene view with its own AR session. Each rendered frame it moves its
// camera node to the session's current camera pose and turns the session's anchor changes
// since the last frame into nodes and renderer callbacks, on the render thread:
//
//   added:   node = delegate's rendererNodeForAnchor (an empty node when it gives none), placed
//            at the anchor's transform under the scene's root, then rendererDidAddNode;
//   updated: the anchor's node follows its transform, then rendererDidUpdateNode;
//   removed: the node leaves the scene, then rendererDidRemoveNode.
//
//   auto view = ARSCNView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
//   view->setDelegate(my_delegate);                    // an ARSCNViewDelegate
//   platform::arkit::AddAnchor(*view->session(), anchor);
//   platform::scenekit::RenderFrame(*view, 0.016);     // rendererDidAddNode on the render thread
//   auto query = view->raycastQueryFromPoint(point, ARRaycastTargetEstimatedPlane,
//                                           ARRaycastTargetAlignmentAny);
//
// raycastQueryFromPoint aims from the camera through the point (null when the scripted world
// says no query can be formed there). Thread-safe like the scene view.

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/arkit/ar_session.h"
#include "platform/scenekit/scn_view.h"

// Face geometry for SceneKit: a mesh that follows a tracked face. Made for the view's Metal
// device; null without a device or when the device yields no face geometry
// (platform::arkit::SetFaceGeometryAvailable(false)). Updates are recorded.
class ARSCNFaceGeometry : public SCNGeometry {
 public:
  static std::shared_ptr<ARSCNFaceGeometry> faceGeometryWithDevice(
      const std::shared_ptr<MTLDevice>& device);
  ARSCNFaceGeometry() : SCNGeometry("face", {-0.08f, -0.12f, -0.06f}, {0.08f, 0.1f, 0.08f}) {}
  void updateFromFaceGeometry(const std::shared_ptr<ARFaceGeometry>& geometry);
  int updateCount() const;
  std::shared_ptr<ARFaceGeometry> lastFaceGeometry() const;

 private:
  mutable std::mutex update_mutex_;
  int updates_ = 0;
  std::shared_ptr<ARFaceGeometry> last_;
};

namespace platform::arkit {
void SetFaceGeometryAvailable(bool available);
}  // namespace platform::arkit

class ARSCNViewDelegate : public SCNSceneRendererDelegate {
 public:
  // renderer:nodeForAnchor:
  virtual std::shared_ptr<SCNNode> rendererNodeForAnchor(
      const std::shared_ptr<SCNSceneRenderer>& renderer, const std::shared_ptr<ARAnchor>& anchor) {
    return nullptr;
  }
  // renderer:didAddNode:forAnchor:
  virtual void rendererDidAddNode(const std::shared_ptr<SCNSceneRenderer>& renderer,
                                  const std::shared_ptr<SCNNode>& node,
                                  const std::shared_ptr<ARAnchor>& anchor) {}
  // renderer:didUpdateNode:forAnchor:
  virtual void rendererDidUpdateNode(const std::shared_ptr<SCNSceneRenderer>& renderer,
                                     const std::shared_ptr<SCNNode>& node,
                                     const std::shared_ptr<ARAnchor>& anchor) {}
  // renderer:didRemoveNode:forAnchor:
  virtual void rendererDidRemoveNode(const std::shared_ptr<SCNSceneRenderer>& renderer,
                                     const std::shared_ptr<SCNNode>& node,
                                     const std::shared_ptr<ARAnchor>& anchor) {}
};

class ARSCNView : public SCNView {
 public:
  static std::shared_ptr<ARSCNView> initWithFrame(CGRect frame, const Options& options);

  explicit ARSCNView(CGRect frame = CGRectZero, Options options = {});

  // The session, created with the view; the view observes its anchors from the first call on
  // (the factory makes that call).
  std::shared_ptr<ARSession> session();
  // Sets the delegate of the scene view as well.
  void setDelegate(std::weak_ptr<ARSCNViewDelegate> delegate);
  std::shared_ptr<ARSCNViewDelegate> arDelegate() const;

  bool automaticallyUpdatesLighting() const;
  void setAutomaticallyUpdatesLighting(bool on);

  std::shared_ptr<ARRaycastQuery> raycastQueryFromPoint(CGPoint point, ARRaycastTarget target,
                                                        ARRaycastTargetAlignment alignment);
  std::shared_ptr<SCNNode> nodeForAnchor(const std::shared_ptr<ARAnchor>& anchor) const;
  std::shared_ptr<ARAnchor> anchorForNode(const std::shared_ptr<SCNNode>& node) const;

 protected:
  void RenderFrameWork(double time) override;

 private:
  const std::shared_ptr<ARSession> session_ = ARSession::init();
  std::once_flag observing_;
  mutable std::mutex mutex_;
  std::weak_ptr<ARSCNViewDelegate> ar_delegate_;
  bool updates_lighting_ = true;
  std::vector<std::pair<ARAnchorChange, std::shared_ptr<ARAnchor>>> pending_;
  std::map<std::shared_ptr<ARAnchor>, std::shared_ptr<SCNNode>> nodes_;
};

#endif  // PLATFORM_ARKIT_AR_SCN_VIEW_H_
