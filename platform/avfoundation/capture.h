#ifndef PLATFORM_AVFOUNDATION_CAPTURE_H_
#define PLATFORM_AVFOUNDATION_CAPTURE_H_

// AVFoundation video capture over a scripted camera.
//
//   auto device = AVCaptureDevice::defaultDeviceWithDeviceType(
//       AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionFront);
//   auto input = AVCaptureDeviceInput::initWithDevice(device, &error);   // null without camera
//   auto output = AVCaptureVideoDataOutput::init();
//   output->setVideoSettings({{kCVPixelBufferPixelFormatTypeKey, kCVPixelFormatType_32BGRA}});
//   output->setSampleBufferDelegate(delegate, dispatch_get_global_queue(QOS_CLASS_USER_INTERACTIVE, 0));
//   auto session = AVCaptureSession::init();
//   session->setSessionPreset(AVCaptureSessionPresetHigh);
//   session->addInput(input);
//   session->addOutput(output);
//   session->startRunning();
//   platform::avfoundation::DeliverFrame();   // the test makes the camera produce one frame
//
// The camera is headless: a test chooses whether the device has a front camera, its field of
// view and how frames are painted (platform::avfoundation::SetCamera), and makes every running
// session produce a frame with DeliverFrame(). A frame is a 32BGRA pixel buffer (whatever the
// video settings ask for; they are recorded) of the camera's frame size, painted by the
// camera's painter, with presentation time frameIndex / frameRate counted from each
// startRunning(). It reaches each video data output of the session that has a delegate and a
// queue: the delegate's captureOutput is called asynchronously on that queue. A delegate that
// is gone by then is skipped (delegates are weak).
//
// stopRunning() returns once the session's deliveries that are already under way have finished,
// except one that is running on the calling thread (a delegate may stop its own session). All
// classes are thread-safe.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/coremedia/sample_buffer.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/ns_error.h"

using AVCaptureDeviceType = std::string;
using AVMediaType = std::string;
using AVCaptureSessionPreset = std::string;

extern const AVCaptureDeviceType AVCaptureDeviceTypeBuiltInWideAngleCamera;
extern const AVMediaType AVMediaTypeVideo;
extern const AVMediaType AVMediaTypeAudio;
extern const AVCaptureSessionPreset AVCaptureSessionPresetHigh;
extern const AVCaptureSessionPreset AVCaptureSessionPresetMedium;
extern const AVCaptureSessionPreset AVCaptureSessionPresetLow;
extern const AVCaptureSessionPreset AVCaptureSessionPreset640x480;
extern const AVCaptureSessionPreset AVCaptureSessionPreset1280x720;
extern const AVCaptureSessionPreset AVCaptureSessionPreset1920x1080;
extern const std::string AVFoundationErrorDomain;
inline constexpr long AVErrorDeviceNotConnected = -11814;

enum AVCaptureDevicePosition : long {
  AVCaptureDevicePositionUnspecified = 0,
  AVCaptureDevicePositionBack = 1,
  AVCaptureDevicePositionFront = 2,
};

class AVCaptureDeviceFormat {
 public:
  explicit AVCaptureDeviceFormat(float field_of_view) : field_of_view_(field_of_view) {}
  // Horizontal field of view in degrees.
  float videoFieldOfView() const { return field_of_view_; }

 private:
  const float field_of_view_;
};

class AVCaptureDevice {
 public:
  // The camera of that type, media type and position, or null when the device has none. Only
  // the front built-in wide-angle video camera can exist here.
  static std::shared_ptr<AVCaptureDevice> defaultDeviceWithDeviceType(
      const AVCaptureDeviceType& type, const AVMediaType& media_type,
      AVCaptureDevicePosition position);

  AVCaptureDevice(AVCaptureDeviceType type, AVCaptureDevicePosition position, float fov);
  const AVCaptureDeviceType& deviceType() const { return type_; }
  AVCaptureDevicePosition position() const { return position_; }
  std::shared_ptr<AVCaptureDeviceFormat> activeFormat() const { return format_; }

 private:
  const AVCaptureDeviceType type_;
  const AVCaptureDevicePosition position_;
  const std::shared_ptr<AVCaptureDeviceFormat> format_;
};

class AVCaptureInput {
 public:
  virtual ~AVCaptureInput() = default;
};

class AVCaptureDeviceInput : public AVCaptureInput {
 public:
  // Null with an AVFoundationErrorDomain error for a null device or when the scripted camera
  // refuses inputs.
  static std::shared_ptr<AVCaptureDeviceInput> initWithDevice(
      std::shared_ptr<AVCaptureDevice> device, std::shared_ptr<NSError>* error);
  const std::shared_ptr<AVCaptureDevice>& device() const { return device_; }

 private:
  explicit AVCaptureDeviceInput(std::shared_ptr<AVCaptureDevice> device)
      : device_(std::move(device)) {}
  const std::shared_ptr<AVCaptureDevice> device_;
};

class AVCaptureConnection {};

class AVCaptureOutput {
 public:
  virtual ~AVCaptureOutput() = default;
};

class AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  virtual ~AVCaptureVideoDataOutputSampleBufferDelegate() = default;
  // `sample` is valid for the call; retain it to keep it.
  virtual void captureOutput(const std::shared_ptr<AVCaptureOutput>& output, CMSampleBufferRef sample,
                             const std::shared_ptr<AVCaptureConnection>& connection) = 0;
};

class AVCaptureVideoDataOutput : public AVCaptureOutput,
                                 public std::enable_shared_from_this<AVCaptureVideoDataOutput> {
 public:
  using VideoSettings = std::map<CFStringRef, OSType>;

  static std::shared_ptr<AVCaptureVideoDataOutput> init();

  VideoSettings videoSettings() const;
  void setVideoSettings(VideoSettings settings);
  // The delegate is held weakly; a null queue stops delivery.
  void setSampleBufferDelegate(std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate,
                               dispatch_queue_t queue);
  std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> sampleBufferDelegate() const;
  dispatch_queue_t sampleBufferCallbackQueue() const;

 private:
  AVCaptureVideoDataOutput() = default;
  mutable std::mutex mutex_;
  VideoSettings settings_;
  std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate_;
  dispatch_queue_t queue_;
};

class AVCaptureSession : public std::enable_shared_from_this<AVCaptureSession> {
 public:
  static std::shared_ptr<AVCaptureSession> init();
  ~AVCaptureSession();

  AVCaptureSessionPreset sessionPreset() const;
  void setSessionPreset(const AVCaptureSessionPreset& preset);
  // An input or output can be added once.
  bool canAddInput(const std::shared_ptr<AVCaptureInput>& input) const;
  void addInput(std::shared_ptr<AVCaptureInput> input);
  bool canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const;
  void addOutput(std::shared_ptr<AVCaptureOutput> output);
  std::vector<std::shared_ptr<AVCaptureInput>> inputs() const;
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs() const;

  void startRunning();
  void stopRunning();
  bool isRunning() const;

  // Delivery for the scripted camera: makes this session's next frame (or hands on `sample`)
  // and queues it to every output. Returns how many outputs it was queued to.
  int Deliver(CMSampleBufferRef sample);
  int DeliverNextFrame();

 private:
  AVCaptureSession() = default;
  bool HasCameraInput() const;  // with mutex_ held

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  AVCaptureSessionPreset preset_;
  std::vector<std::shared_ptr<AVCaptureInput>> inputs_;
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs_;
  std::shared_ptr<AVCaptureConnection> connection_ = std::make_shared<AVCaptureConnection>();
  bool running_ = false;
  int64_t frame_index_ = 0;
  int in_flight_ = 0;
  std::multiset<std::thread::id> delivering_threads_;
};

namespace platform::avfoundation {

// Paints one BGRA frame: `pixels` has `bytes_per_row` bytes a row.
using FramePainter = std::function<void(uint8_t* pixels, size_t bytes_per_row, size_t width,
                                        size_t height, int64_t frame_index)>;

struct Camera {
  bool has_front_camera = true;
  bool input_fails = false;  // AVCaptureDeviceInput::initWithDevice fails
  float field_of_view = 63.7f;
  // Frame size; 0 takes the size of the session preset (High and 1280x720: 1280x720,
  // 1920x1080, 640x480, Medium 480x360, Low 192x144).
  size_t width = 0;
  size_t height = 0;
  int32_t frame_rate = 30;
  FramePainter painter;  // empty: mid grey
};

void SetCamera(Camera camera);
Camera GetCamera();

// Makes every running session with a camera input produce its next frame; returns how many
// outputs a frame was queued to.
int DeliverFrame();
// Hands `sample` to every output of every running session instead of a painted frame (for
// samples without an image, for instance).
int DeliverSampleBuffer(CMSampleBufferRef sample);
// Blocks until every delivery queued so far, of every session, has returned.
void WaitForDeliveries();

}  // namespace platform::avfoundation

#endif  // PLATFORM_AVFOUNDATION_CAPTURE_H_
