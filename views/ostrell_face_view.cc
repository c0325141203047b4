#include "views/ostrell_face_view.h"

#include <cmath>
#include <cstdint>
#include <numbers>
#include <string_view>
#include <utility>

#include "platform/coremedia/sample_buffer.h"
#include "platform/corevideo/pixel_format.h"
#include "platform/foundation/system_log.h"
#include "platform/uikit/ui_color.h"

namespace {

constexpr char kCaptureQueueLabel[] = "OstrellCapture";

// Made on first use under the view's lock.
template <typename T, typename Make>
std::shared_ptr<T> Lazy(std::shared_ptr<T>& slot, Make make) {
  if (slot == nullptr) slot = make();
  return slot;
}

}  // namespace

std::shared_ptr<OstrellFaceView> OstrellFaceView::init() { return initWithFrame(CGRectZero, {}); }

std::shared_ptr<OstrellFaceView> OstrellFaceView::initWithFrame(CGRect frame,
                                                                const Options& options) {
  return Create<OstrellFaceView>(frame, options);
}

std::shared_ptr<OstrellFaceView> OstrellFaceView::initWithCoder(NSCoder* coder) {
  return CreateFromCoder<OstrellFaceView>(coder);
}

OstrellFaceView::~OstrellFaceView() {
  // Nothing may call into a view that is going away: the capture waits for a delivery under way
  // (unless it is this thread's), motion stops, the render thread is joined.
  std::shared_ptr<AVCaptureSession> capture;
  std::shared_ptr<CMMotionManager> motion;
  std::shared_ptr<SCNView> scene;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    capture = capture_session_;
    motion = motion_manager_;
    scene = scene_view_;
  }
  const char* queue = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
  if (capture != nullptr && queue != nullptr && std::string_view(queue) == kCaptureQueueLabel) {
    // Released from a capture queue's frame: frames queued behind it there cannot run until it
    // returns, so waiting for them here would never end. They find no delegate any more.
    dispatch_async(dispatch_get_global_queue(QOS_CLASS_USER_INTERACTIVE, 0),
                   [capture] { capture->stopRunning(); });
  } else if (capture != nullptr) {
    capture->stopRunning();
  }
  if (motion != nullptr) motion->stopDeviceMotionUpdates();
  if (scene != nullptr) scene->StopRendering();
}

unsigned long OstrellFaceView::recognitionRotation(double gravityX, double gravityY) {
  constexpr double pi = std::numbers::pi;
  const double value = ((pi + pi) - std::atan2(gravityX, gravityY) + pi / 2) * 180 / pi;
  return static_cast<unsigned long>(static_cast<uint64_t>(value) % 360);
}

// Properties.

std::shared_ptr<AVCaptureDevice> OstrellFaceView::captureDevice() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capture_device_;
}
void OstrellFaceView::setCaptureDevice(std::shared_ptr<AVCaptureDevice> device) {
  std::lock_guard<std::mutex> lock(mutex_);
  capture_device_ = std::move(device);
}
std::shared_ptr<AVCaptureSession> OstrellFaceView::captureSession() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capture_session_;
}
void OstrellFaceView::setCaptureSession(std::shared_ptr<AVCaptureSession> session) {
  std::lock_guard<std::mutex> lock(mutex_);
  capture_session_ = std::move(session);
}
std::shared_ptr<CALayer> OstrellFaceView::cameraImageLayer() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Lazy(camera_image_layer_, [] { return CALayer::layer(); });
}
void OstrellFaceView::setCameraImageLayer(std::shared_ptr<CALayer> layer) {
  std::lock_guard<std::mutex> lock(mutex_);
  camera_image_layer_ = std::move(layer);
}
std::shared_ptr<SCNView> OstrellFaceView::sceneView() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Lazy(scene_view_, [] { return SCNView::initWithFrame(CGRectZero, {}); });
}
void OstrellFaceView::setSceneView(std::shared_ptr<SCNView> view) {
  std::lock_guard<std::mutex> lock(mutex_);
  scene_view_ = std::move(view);
}
std::shared_ptr<SCNCamera> OstrellFaceView::sceneCamera() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Lazy(scene_camera_, [] { return SCNCamera::camera(); });
}
void OstrellFaceView::setSceneCamera(std::shared_ptr<SCNCamera> camera) {
  std::lock_guard<std::mutex> lock(mutex_);
  scene_camera_ = std::move(camera);
}
std::shared_ptr<SCNNode> OstrellFaceView::faceNode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Lazy(face_node_, [] { return SCNNode::node(); });
}
std::shared_ptr<SCNNode> OstrellFaceView::faceTextureNode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Lazy(face_texture_node_, [] { return SCNNode::node(); });
}
std::shared_ptr<SCNNode> OstrellFaceView::faceOccluderNode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Lazy(face_occluder_node_, [] { return SCNNode::node(); });
}

void OstrellFaceView::SetHostNode(std::shared_ptr<SCNNode>& slot, std::shared_ptr<SCNNode> node) {
  if (node != nullptr) node->setHidden(false);
  std::lock_guard<std::mutex> lock(mutex_);
  slot = std::move(node);
}
std::shared_ptr<SCNNode> OstrellFaceView::centerNode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return center_node_;
}
void OstrellFaceView::setCenterNode(std::shared_ptr<SCNNode> node) {
  SetHostNode(center_node_, std::move(node));
}
std::shared_ptr<SCNNode> OstrellFaceView::noseTipNode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nose_tip_node_;
}
void OstrellFaceView::setNoseTipNode(std::shared_ptr<SCNNode> node) {
  SetHostNode(nose_tip_node_, std::move(node));
}
std::shared_ptr<SCNNode> OstrellFaceView::foreheadLeftNode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return forehead_left_node_;
}
void OstrellFaceView::setForeheadLeftNode(std::shared_ptr<SCNNode> node) {
  SetHostNode(forehead_left_node_, std::move(node));
}
std::shared_ptr<SCNNode> OstrellFaceView::foreheadRightNode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return forehead_right_node_;
}
void OstrellFaceView::setForeheadRightNode(std::shared_ptr<SCNNode> node) {
  SetHostNode(forehead_right_node_, std::move(node));
}

std::shared_ptr<CMMotionManager> OstrellFaceView::motionManager() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Lazy(motion_manager_, [] { return CMMotionManager::init(); });
}
void OstrellFaceView::setMotionManager(std::shared_ptr<CMMotionManager> manager) {
  std::lock_guard<std::mutex> lock(mutex_);
  motion_manager_ = std::move(manager);
}
std::shared_ptr<QVXAugmentedFaceSession> OstrellFaceView::faceSession() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return face_session_;
}
void OstrellFaceView::setFaceSession(std::shared_ptr<QVXAugmentedFaceSession> session) {
  std::lock_guard<std::mutex> lock(mutex_);
  face_session_ = std::move(session);
}
std::shared_ptr<QVXAugmentedFaceFrame> OstrellFaceView::currentFaceFrame() const {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  return current_face_frame_;
}
std::shared_ptr<QVXAugmentedFaceFrame> OstrellFaceView::nextFaceFrame() const {
  std::lock_guard<std::mutex> lock(frame_mutex_);
  return next_face_frame_;
}

// Set-up.

void OstrellFaceView::finishInitialization() {
  setupScene();
  setupCamera();
  setupMotion();
  std::shared_ptr<AVCaptureDevice> device = captureDevice();
  const float field_of_view = device != nullptr ? device->activeFormat()->videoFieldOfView() : 0;
  std::shared_ptr<NSError> error;
  std::shared_ptr<QVXAugmentedFaceSession> session =
      QVXAugmentedFaceSession::initWithFieldOfView(field_of_view, &error);
  setFaceSession(session);
  if (session == nullptr) {
    NSLog("Failed to initialize Face Session with error: %s",
          error != nullptr ? error->description().c_str() : "(null)");
    return;
  }
  session->setDelegate(SharedSelf());
}

void OstrellFaceView::setupScene() {
  auto scene = SCNScene::scene();
  auto camera_node = SCNNode::node();
  camera_node->setCamera(sceneCamera());
  scene->rootNode()->addChildNode(camera_node);

  std::shared_ptr<SCNView> view = sceneView();
  view->setScene(scene);
  view->setFrame(bounds());
  view->setDelegate(std::weak_ptr<SCNSceneRendererDelegate>(SharedSelf()));
  view->setRendersContinuously(true);
  view->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  view->setBackgroundColor(UIColor::clearColor());
  insertSubview(view, 0);
}

void OstrellFaceView::setupCamera() {
  std::shared_ptr<AVCaptureDevice> device = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionFront);
  std::shared_ptr<NSError> error;
  std::shared_ptr<AVCaptureDeviceInput> input =
      device != nullptr ? AVCaptureDeviceInput::initWithDevice(device, &error) : nullptr;
  if (input == nullptr) {
    NSLog("Failed to create capture device from front camera.");
    return;
  }
  auto output = AVCaptureVideoDataOutput::init();
  output->setVideoSettings({{kCVPixelBufferPixelFormatTypeKey, kCVPixelFormatType_32BGRA}});
  // The face session takes frames from one thread at a time and in time order, which a
  // concurrent queue would not keep: a serial queue at user-interactive priority.
  dispatch_queue_t frames = dispatch_queue_create(kCaptureQueueLabel, DISPATCH_QUEUE_SERIAL);
  dispatch_set_target_queue(frames, dispatch_get_global_queue(QOS_CLASS_USER_INTERACTIVE, 0));
  output->setSampleBufferDelegate(
      std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate>(SharedSelf()), frames);
  auto session = AVCaptureSession::init();
  session->setSessionPreset(AVCaptureSessionPresetHigh);
  session->addInput(input);
  session->addOutput(output);
  setCaptureSession(session);
  setCaptureDevice(device);

  // The frame is taken now and kept: the layer does not follow later size changes.
  std::shared_ptr<CALayer> image_layer = cameraImageLayer();
  image_layer->setContentsGravity(kCAGravityCenter);
  image_layer->setFrame(sceneView()->bounds());
  layer()->insertSublayer(image_layer, 0);
  startCameraCapture();
}

void OstrellFaceView::startCameraCapture() {
  if (auto session = captureSession()) session->startRunning();
}

void OstrellFaceView::setupMotion() {
  std::shared_ptr<CMMotionManager> motion = motionManager();
  if (!motion->isDeviceMotionAvailable()) {
    NSLog("Device does not have motion sensors.");
    return;
  }
  motion->setDeviceMotionUpdateInterval(kMotionUpdateInterval);
  motion->startDeviceMotionUpdates();
}

// Operations.

void OstrellFaceView::updateTransform(const simd_float4x4& transform,
                                      const std::shared_ptr<SCNNode>& node) {
  if (node != nullptr) node->setSimdWorldTransform(transform);
}

std::shared_ptr<UIImage> OstrellFaceView::screenShotMethod(
    const std::shared_ptr<UIView>& modelView,
    const std::vector<std::shared_ptr<UIView>>& viewsToHide) {
  for (const auto& view : viewsToHide) view->setHidden(true);
  const CGSize size = modelView->bounds().size;
  std::shared_ptr<UIImage> image;
  if (size.width > 0 && size.height > 0) {
    UIGraphicsBeginImageContext(size);
    drawViewHierarchyInRect(modelView->frame(), true);
    image = UIGraphicsGetImageFromCurrentImageContext();
    UIGraphicsEndImageContext();
  }
  for (const auto& view : viewsToHide) view->setHidden(false);
  // No context can be made for an empty size: an empty image of that size stands in.
  return image != nullptr ? image : std::make_shared<UIImage>(size, "");
}

void OstrellFaceView::captureOutput(const std::shared_ptr<AVCaptureOutput>&,
                                    CMSampleBufferRef sample,
                                    const std::shared_ptr<AVCaptureConnection>&) {
  CVImageBufferRef image = CMSampleBufferGetImageBuffer(sample);
  if (image == nullptr) return;
  std::shared_ptr<CMDeviceMotion> motion = motionManager()->deviceMotion();
  if (motion == nullptr) return;
  const double timestamp = CMTimeGetSeconds(CMSampleBufferGetPresentationTimeStamp(sample));
  const CMAcceleration gravity = motion->gravity();
  if (auto session = faceSession()) {
    session->updateWithPixelBuffer(image, timestamp, recognitionRotation(gravity.x, gravity.y));
  }
}
