#ifndef VIEWS_OSTRELL_FACE_VIEW_H_
#define VIEWS_OSTRELL_FACE_VIEW_H_

// OstrellFaceView: the face view driven by the face SDK, for devices without the platform's
// face tracking. It captures the front camera itself, feeds every frame with its time and a
// rotation taken from gravity into a QVXAugmentedFaceSession, and shows the camera image
// behind a horizontally mirrored 3D scene whose camera follows each face frame's projection and
// whose host nodes follow the face's centre and region poses.
//
//   auto view = OstrellFaceView::initWithFrame(CGRectMake(0, 0, 390, 844), {});
//   auto nose = SCNNode::nodeWithGeometry(SCNSphere(0.01f));
//   view->sceneView()->scene()->rootNode()->addChildNode(nose);
//   view->setNoseTipNode(nose);                     // shown; follows region 0 from now on
//
// The road of a frame: camera (a serial queue at user-interactive priority) -> face session ->
// didUpdateFrame on the main queue (projection, mirrored scene layer, nextFaceFrame) -> the scene
// view's render thread (rendererUpdateAtTime makes it current and moves the nodes; rendererDidRenderScene
// puts the camera image into cameraImageLayer). The newest frame waits in a one-slot mailbox
// behind a short lock; a new frame is told by identity.
//
// Set-up problems are system-log lines ("Failed to create capture device from front camera.",
// "Device does not have motion sensors.", "Failed to initialize Face Session with error: ...");
// the view then runs with what it has. Leaving the superview stops nothing; destroying the view
// first stops the capture (waiting for a delivery under way), the motion updates and the render
// thread, so no callback reaches a view being torn down.

#include <memory>
#include <mutex>
#include <vector>

#include "face_sdk/augmented_face_session.h"
#include "platform/avfoundation/capture.h"
#include "platform/coremotion/motion_manager.h"
#include "platform/quartzcore/ca_layer.h"
#include "platform/scenekit/scn_geometry.h"
#include "platform/scenekit/scn_view.h"
#include "views/base_ar_scn_view.h"

class OstrellFaceView : public BaseARSCNView,
                        public AVCaptureVideoDataOutputSampleBufferDelegate,
                        public QVXAugmentedFaceSessionDelegate,
                        public SCNSceneRendererDelegate {
 public:
  static constexpr double kCameraZNear = 0.05;
  static constexpr double kCameraZFar = 100;
  static constexpr float kCentimetersToMeters = 0.01f;
  static constexpr double kMotionUpdateInterval = 0.1;

  static std::shared_ptr<OstrellFaceView> init();
  static std::shared_ptr<OstrellFaceView> initWithFrame(CGRect frame, const Options& options);
  static std::shared_ptr<OstrellFaceView> initWithCoder(NSCoder* coder);

  OstrellFaceView(ConstructionToken token, CGRect frame, Options options)
      : BaseARSCNView(token, frame, std::move(options)) {}
  ~OstrellFaceView() override;

  // The rotation in degrees (0 to 359) that the face session gets for a camera frame while
  // gravity is (x, y): (2π − atan2(x, y) + π/2) in degrees, truncated, modulo 360.
  static unsigned long recognitionRotation(double gravityX, double gravityY);

  std::shared_ptr<AVCaptureDevice> captureDevice() const;
  void setCaptureDevice(std::shared_ptr<AVCaptureDevice> device);
  std::shared_ptr<AVCaptureSession> captureSession() const;
  void setCaptureSession(std::shared_ptr<AVCaptureSession> session);
  // Made on first use, like the scene objects and the motion manager below.
  std::shared_ptr<CALayer> cameraImageLayer();
  void setCameraImageLayer(std::shared_ptr<CALayer> layer);
  std::shared_ptr<SCNView> sceneView();
  void setSceneView(std::shared_ptr<SCNView> view);
  std::shared_ptr<SCNCamera> sceneCamera();
  void setSceneCamera(std::shared_ptr<SCNCamera> camera);
  // Offered to hosts; the view neither attaches nor reads these five.
  std::shared_ptr<SCNNode> faceNode();
  std::shared_ptr<SCNNode> faceTextureNode();
  std::shared_ptr<SCNNode> faceOccluderNode();
  const std::shared_ptr<SCNMaterial>& faceTextureMaterial() const { return face_texture_material_; }
  const std::shared_ptr<SCNMaterial>& faceOccluderMaterial() const {
    return face_occluder_material_;
  }

  // Host nodes that follow the face. Assigning a node shows it; the host places it in the scene.
  std::shared_ptr<SCNNode> centerNode() const;
  void setCenterNode(std::shared_ptr<SCNNode> node);
  std::shared_ptr<SCNNode> noseTipNode() const;
  void setNoseTipNode(std::shared_ptr<SCNNode> node);
  std::shared_ptr<SCNNode> foreheadLeftNode() const;
  void setForeheadLeftNode(std::shared_ptr<SCNNode> node);
  std::shared_ptr<SCNNode> foreheadRightNode() const;
  void setForeheadRightNode(std::shared_ptr<SCNNode> node);

  std::shared_ptr<CMMotionManager> motionManager();
  void setMotionManager(std::shared_ptr<CMMotionManager> manager);
  std::shared_ptr<QVXAugmentedFaceSession> faceSession() const;
  void setFaceSession(std::shared_ptr<QVXAugmentedFaceSession> session);
  std::shared_ptr<QVXAugmentedFaceFrame> currentFaceFrame() const;
  std::shared_ptr<QVXAugmentedFaceFrame> nextFaceFrame() const;

  // Scene, camera, motion, then the face session with the camera's field of view (0 without a
  // camera), whose delegate the view becomes. The base view's screenshot button is not set up.
  void finishInitialization() override;
  // One camera node carrying sceneCamera in a new scene; sceneView fills the view behind
  // everything, renders continuously, is transparent and reports to this view.
  virtual void setupScene();
  // Sets the node's world transform; nothing without a node.
  virtual void updateTransform(const simd_float4x4& transform,
                               const std::shared_ptr<SCNNode>& node);
  // Draws this view's hierarchy into an image of modelView's size, with viewsToHide hidden
  // meanwhile (and shown afterwards, whatever they were before). An empty size gives an empty
  // image (no drawn views).
  virtual std::shared_ptr<UIImage> screenShotMethod(
      const std::shared_ptr<UIView>& modelView,
      const std::vector<std::shared_ptr<UIView>>& viewsToHide);

  // Camera frames, on the capture queue.
  void captureOutput(const std::shared_ptr<AVCaptureOutput>& output, CMSampleBufferRef sample,
                     const std::shared_ptr<AVCaptureConnection>& connection) override;
  // Face frames, on the main queue: projection, mirrored scene, mailbox.
  void didUpdateFrame(std::shared_ptr<QVXAugmentedFaceFrame> frame) override;
  // Render thread, before a frame: takes a new frame from the mailbox and moves the nodes.
  void rendererUpdateAtTime(const std::shared_ptr<SCNSceneRenderer>& renderer,
                            double time) override;
  // Render thread, after a frame: the current frame's image and display transform.
  void rendererDidRenderScene(const std::shared_ptr<SCNSceneRenderer>& renderer,
                              const std::shared_ptr<SCNScene>& scene, double time) override;

 private:
  void setupCamera();
  void setupMotion();
  void startCameraCapture();
  std::shared_ptr<OstrellFaceView> SharedSelf() {
    return std::static_pointer_cast<OstrellFaceView>(shared_from_this());
  }
  void SetHostNode(std::shared_ptr<SCNNode>& slot, std::shared_ptr<SCNNode> node);

  mutable std::mutex mutex_;  // guards the fields below up to the mailbox
  std::shared_ptr<AVCaptureDevice> capture_device_;
  std::shared_ptr<AVCaptureSession> capture_session_;
  std::shared_ptr<CALayer> camera_image_layer_;
  std::shared_ptr<SCNView> scene_view_;
  std::shared_ptr<SCNCamera> scene_camera_;
  std::shared_ptr<SCNNode> face_node_;
  std::shared_ptr<SCNNode> face_texture_node_;
  std::shared_ptr<SCNNode> face_occluder_node_;
  const std::shared_ptr<SCNMaterial> face_texture_material_ = SCNMaterial::material();
  const std::shared_ptr<SCNMaterial> face_occluder_material_ = SCNMaterial::material();
  std::shared_ptr<SCNNode> center_node_;
  std::shared_ptr<SCNNode> nose_tip_node_;
  std::shared_ptr<SCNNode> forehead_left_node_;
  std::shared_ptr<SCNNode> forehead_right_node_;
  std::shared_ptr<CMMotionManager> motion_manager_;
  std::shared_ptr<QVXAugmentedFaceSession> face_session_;

  // The hand-over: written on the main queue, taken on the render thread, under a short lock of
  // its own (ThreadSanitizer cannot see inside the standard library's atomic shared pointer).
  mutable std::mutex frame_mutex_;
  std::shared_ptr<QVXAugmentedFaceFrame> next_face_frame_;
  // Render thread only; behind the same lock so tests and hosts may read it from elsewhere.
  std::shared_ptr<QVXAugmentedFaceFrame> current_face_frame_;
};

#endif  // VIEWS_OSTRELL_FACE_VIEW_H_
