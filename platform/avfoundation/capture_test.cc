#include "platform/avfoundation/capture.h"

#include <atomic>
#include <vector>

#include "gtest/gtest.h"

namespace {

using platform::avfoundation::Camera;

struct Seen {
  bool has_image = false;
  size_t width = 0;
  size_t height = 0;
  OSType format = 0;
  double seconds = -1;
  uint8_t first_blue = 0;
};

class RecordingDelegate : public AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  void captureOutput(const std::shared_ptr<AVCaptureOutput>&, CMSampleBufferRef sample,
                     const std::shared_ptr<AVCaptureConnection>& connection) override {
    Seen seen;
    CVImageBufferRef image = CMSampleBufferGetImageBuffer(sample);
    seen.has_image = image != nullptr;
    seen.seconds = CMTimeGetSeconds(CMSampleBufferGetPresentationTimeStamp(sample));
    if (image != nullptr) {
      seen.width = CVPixelBufferGetWidth(image);
      seen.height = CVPixelBufferGetHeight(image);
      seen.format = CVPixelBufferGetPixelFormatType(image);
      CVPixelBufferLockBaseAddress(image, kCVPixelBufferLock_ReadOnly);
      seen.first_blue = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(image))[0];
      CVPixelBufferUnlockBaseAddress(image, kCVPixelBufferLock_ReadOnly);
    }
    EXPECT_NE(connection, nullptr);
    std::lock_guard<std::mutex> lock(mutex);
    frames.push_back(seen);
  }
  std::mutex mutex;
  std::vector<Seen> frames;
};

class CaptureTest : public testing::Test {
 protected:
  void TearDown() override {
    platform::avfoundation::WaitForDeliveries();
    platform::avfoundation::SetCamera({});
  }

  // The front-camera session the face view builds, with `delegate` on `queue`.
  std::shared_ptr<AVCaptureSession> FrontCameraSession(
      const std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate>& delegate,
      dispatch_queue_t queue) {
    auto device = AVCaptureDevice::defaultDeviceWithDeviceType(
        AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionFront);
    EXPECT_NE(device, nullptr);
    std::shared_ptr<NSError> error;
    auto input = AVCaptureDeviceInput::initWithDevice(device, &error);
    EXPECT_NE(input, nullptr);
    auto output = AVCaptureVideoDataOutput::init();
    output->setVideoSettings({{kCVPixelBufferPixelFormatTypeKey, kCVPixelFormatType_32BGRA}});
    output->setSampleBufferDelegate(delegate, std::move(queue));
    auto session = AVCaptureSession::init();
    session->setSessionPreset(AVCaptureSessionPresetHigh);
    session->addInput(input);
    session->addOutput(output);
    return session;
  }
};

TEST_F(CaptureTest, RunningSessionDeliversPaintedBgraFramesWithTimes) {
  Camera camera;
  camera.width = 64;
  camera.height = 48;
  camera.frame_rate = 30;
  camera.painter = [](uint8_t* pixels, size_t, size_t, size_t, int64_t index) {
    pixels[0] = static_cast<uint8_t>(10 + index);
  };
  platform::avfoundation::SetCamera(camera);
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = FrontCameraSession(delegate, dispatch_queue_create("capture", nullptr));

  EXPECT_EQ(platform::avfoundation::DeliverFrame(), 0);  // not running yet
  session->startRunning();
  EXPECT_TRUE(session->isRunning());
  EXPECT_EQ(platform::avfoundation::DeliverFrame(), 1);
  EXPECT_EQ(platform::avfoundation::DeliverFrame(), 1);
  CMSampleBufferRef empty = platform::coremedia::CreateSampleBufferWithoutImage(
      {kCMTimeInvalid, CMTimeMake(5, 1), kCMTimeInvalid});
  EXPECT_EQ(platform::avfoundation::DeliverSampleBuffer(empty), 1);
  CFRelease(empty);
  session->stopRunning();  // waits for the three deliveries
  EXPECT_EQ(platform::avfoundation::DeliverFrame(), 0);

  std::lock_guard<std::mutex> lock(delegate->mutex);
  ASSERT_EQ(delegate->frames.size(), 3u);
  EXPECT_TRUE(delegate->frames[0].has_image);
  EXPECT_EQ(delegate->frames[0].width, 64u);
  EXPECT_EQ(delegate->frames[0].height, 48u);
  EXPECT_EQ(delegate->frames[0].format, kCVPixelFormatType_32BGRA);
  EXPECT_EQ(delegate->frames[0].seconds, 0);
  EXPECT_EQ(delegate->frames[0].first_blue, 10);
  EXPECT_DOUBLE_EQ(delegate->frames[1].seconds, 1.0 / 30);
  EXPECT_EQ(delegate->frames[1].first_blue, 11);
  EXPECT_FALSE(delegate->frames[2].has_image);
  EXPECT_EQ(delegate->frames[2].seconds, 5);
}

TEST_F(CaptureTest, PresetSizesAndFieldOfView) {
  Camera camera;
  camera.field_of_view = 70.5f;
  platform::avfoundation::SetCamera(camera);
  auto device = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionFront);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->activeFormat()->videoFieldOfView(), 70.5f);
  EXPECT_EQ(AVCaptureDevice::defaultDeviceWithDeviceType(
                AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo,
                AVCaptureDevicePositionBack),
            nullptr);

  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = FrontCameraSession(delegate, dispatch_get_global_queue(QOS_CLASS_USER_INTERACTIVE, 0));
  session->setSessionPreset(AVCaptureSessionPresetLow);
  session->startRunning();
  platform::avfoundation::DeliverFrame();
  session->stopRunning();
  std::lock_guard<std::mutex> lock(delegate->mutex);
  ASSERT_EQ(delegate->frames.size(), 1u);
  EXPECT_EQ(delegate->frames[0].width, 192u);
  EXPECT_EQ(delegate->frames[0].first_blue, 128);
}

TEST_F(CaptureTest, NoCameraOrRefusedInput) {
  Camera camera;
  camera.has_front_camera = false;
  platform::avfoundation::SetCamera(camera);
  auto device = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionFront);
  EXPECT_EQ(device, nullptr);
  std::shared_ptr<NSError> error;
  EXPECT_EQ(AVCaptureDeviceInput::initWithDevice(device, &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), AVFoundationErrorDomain);

  camera.has_front_camera = true;
  camera.input_fails = true;
  platform::avfoundation::SetCamera(camera);
  error = nullptr;
  EXPECT_EQ(AVCaptureDeviceInput::initWithDevice(
                AVCaptureDevice::defaultDeviceWithDeviceType(
                    AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo,
                    AVCaptureDevicePositionFront),
                &error),
            nullptr);
  EXPECT_NE(error, nullptr);

  // A running session without a camera input produces nothing.
  auto session = AVCaptureSession::init();
  auto output = AVCaptureVideoDataOutput::init();
  auto delegate = std::make_shared<RecordingDelegate>();
  output->setSampleBufferDelegate(delegate, dispatch_queue_create("capture", nullptr));
  session->addOutput(output);
  EXPECT_FALSE(session->canAddOutput(output));
  session->startRunning();
  EXPECT_EQ(platform::avfoundation::DeliverFrame(), 0);
  session->stopRunning();
}

// A delegate that stops its own session from the callback, and one that is released while a
// frame is queued for it: neither hangs nor calls into freed memory.
class StoppingDelegate : public AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  void captureOutput(const std::shared_ptr<AVCaptureOutput>&, CMSampleBufferRef,
                     const std::shared_ptr<AVCaptureConnection>&) override {
    if (auto s = session.lock()) s->stopRunning();
    ++calls;
  }
  std::weak_ptr<AVCaptureSession> session;
  std::atomic<int> calls{0};
};

TEST_F(CaptureTest, StopFromCallbackAndDelegateGoneBeforeDelivery) {
  auto stopping = std::make_shared<StoppingDelegate>();
  auto session = FrontCameraSession(stopping, dispatch_queue_create("capture", nullptr));
  stopping->session = session;
  session->startRunning();
  platform::avfoundation::DeliverFrame();
  platform::avfoundation::WaitForDeliveries();
  EXPECT_EQ(stopping->calls, 1);
  EXPECT_FALSE(session->isRunning());

  auto queue = dispatch_queue_create("held", nullptr);
  auto gone = std::make_shared<RecordingDelegate>();
  auto session2 = FrontCameraSession(gone, queue);
  session2->startRunning();
  dispatch_suspend(queue);
  EXPECT_EQ(platform::avfoundation::DeliverFrame(), 1);
  gone.reset();
  dispatch_resume(queue);
  session2->stopRunning();
}

}  // namespace
