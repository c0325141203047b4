#ifndef VIEWS_ARKIT_FACE_VIEW_H_
#define VIEWS_ARKIT_FACE_VIEW_H_

// ARKitFaceView: the face view for devices with the platform's own face tracking. It runs a
// face-tracking session on the AR session it inherits and hangs the base view's model on the
// tracked face, together with an invisible occluder in the shape of the face, so the parts of
// the model behind the face are hidden.
//
//   auto view = ARKitFaceView::init();              // prints "problem with model": no model yet
//   view->setVirtualObject(loader->loadObject("glasses", "art.scnassets"));
//   view->finishInitialization();                   // delegates, lighting, overlay, tracking
//
// For each face anchor the scene renderer adds, the view builds once:
//
//   anchor node
//     contentNode
//       occlusionNode   face geometry, no colour written, rendering order -1
//       faceOverlayContent   (its "ARKit_Mesh" node shown)
//
// and reshapes the occluder on every anchor update. A new anchor after a tracking reset gets
// new nodes; the overlay moves to the newest content node. Session failures of the AR error
// domain are printed as one console line beginning "The AR session failed. ".
//
// Threads: set-up and removal on the main thread; the node callbacks on the render thread,
// the failure callback on the session's delegate queue. The four stored nodes sit behind a
// small lock.

#include <memory>
#include <mutex>

#include "platform/arkit/ar_scn_view.h"
#include "platform/arkit/ar_session.h"
#include "views/base_ar_scn_view.h"

class ARKitFaceView : public BaseARSCNView, public ARSCNViewDelegate, public ARSessionDelegate {
 public:
  static std::shared_ptr<ARKitFaceView> init();
  static std::shared_ptr<ARKitFaceView> initWithFrame(CGRect frame, const Options& options);
  static std::shared_ptr<ARKitFaceView> initWithCoder(NSCoder* coder);

  ARKitFaceView(ConstructionToken token, CGRect frame, Options options)
      : BaseARSCNView(token, frame, std::move(options)) {}

  std::shared_ptr<ARFaceAnchor> currentFaceAnchor() const;
  void setCurrentFaceAnchor(std::shared_ptr<ARFaceAnchor> anchor);
  std::shared_ptr<SCNNode> contentNode() const;
  void setContentNode(std::shared_ptr<SCNNode> node);
  std::shared_ptr<SCNNode> occlusionNode() const;
  void setOcclusionNode(std::shared_ptr<SCNNode> node);
  std::shared_ptr<VirtualObject> faceOverlayContent() const;
  void setFaceOverlayContent(std::shared_ptr<VirtualObject> object);

  // Without a model in virtualObject(): prints "problem with model" and changes nothing. With
  // one: the view becomes its scene view's and session's delegate, lighting updates turn on,
  // the model becomes the overlay (its first "ARKit_Mesh" node shown) and tracking restarts.
  // The base view's screenshot button is not set up here.
  void finishInitialization() override;
  // Where face tracking is supported, runs it with light estimation, resetting tracking and
  // removing the anchors; elsewhere does nothing.
  virtual void resetTracking();
  // After the base view's clean-up, leaving the superview prints "this view is removed",
  // removes the placed objects and pauses the session.
  void willMoveToSuperview(const std::shared_ptr<UIView>& newSuperview) override;

  // session:didFailWithError:
  void sessionDidFailWithError(const std::shared_ptr<ARSession>& session,
                               const std::shared_ptr<NSError>& error) override;
  // renderer:didAddNode:forAnchor: — records a face anchor and gives its bare node the content.
  void rendererDidAddNode(const std::shared_ptr<SCNSceneRenderer>& renderer,
                          const std::shared_ptr<SCNNode>& node,
                          const std::shared_ptr<ARAnchor>& anchor) override;
  // renderer:didUpdateNode:forAnchor: — reshapes the occluder from the anchor's face.
  void rendererDidUpdateNode(const std::shared_ptr<SCNSceneRenderer>& renderer,
                             const std::shared_ptr<SCNNode>& node,
                             const std::shared_ptr<ARAnchor>& anchor) override;

  // The content for a face anchor of an AR scene view: a new occluder and, when there is an
  // overlay, the overlay, under a new content node. Null for other renderers or anchors, and
  // when the device yields no face geometry.
  virtual std::shared_ptr<SCNNode> createNode(const std::shared_ptr<SCNSceneRenderer>& renderer,
                                              const std::shared_ptr<ARAnchor>& anchor);

 private:
  mutable std::mutex nodes_mutex_;
  std::shared_ptr<ARFaceAnchor> current_face_anchor_;
  std::shared_ptr<SCNNode> content_node_;
  std::shared_ptr<SCNNode> occlusion_node_;
  std::shared_ptr<VirtualObject> face_overlay_content_;
};

#endif  // VIEWS_ARKIT_FACE_VIEW_H_
