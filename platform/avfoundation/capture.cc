#include "platform/avfoundation/capture.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/logging.h"

const AVCaptureDeviceType AVCaptureDeviceTypeBuiltInWideAngleCamera =
    "AVCaptureDeviceTypeBuiltInWideAngleCamera";
const AVMediaType AVMediaTypeVideo = "vide";
const AVMediaType AVMediaTypeAudio = "soun";
const AVCaptureSessionPreset AVCaptureSessionPresetHigh = "AVCaptureSessionPresetHigh";
const AVCaptureSessionPreset AVCaptureSessionPresetMedium = "AVCaptureSessionPresetMedium";
const AVCaptureSessionPreset AVCaptureSessionPresetLow = "AVCaptureSessionPresetLow";
const AVCaptureSessionPreset AVCaptureSessionPreset640x480 = "AVCaptureSessionPreset640x480";
const AVCaptureSessionPreset AVCaptureSessionPreset1280x720 = "AVCaptureSessionPreset1280x720";
const AVCaptureSessionPreset AVCaptureSessionPreset1920x1080 = "AVCaptureSessionPreset1920x1080";
const std::string AVFoundationErrorDomain = "AVFoundationErrorDomain";

namespace platform::avfoundation {
namespace {

struct Registry {
  std::mutex mutex;
  std::condition_variable idle;
  Camera camera;
  std::vector<std::weak_ptr<AVCaptureSession>> running;
  int in_flight = 0;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

std::vector<std::shared_ptr<AVCaptureSession>> RunningSessions() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<std::shared_ptr<AVCaptureSession>> sessions;
  for (const auto& weak : r.running) {
    if (auto s = weak.lock()) sessions.push_back(std::move(s));
  }
  return sessions;
}

void SetRunning(const std::shared_ptr<AVCaptureSession>& session, bool running) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::erase_if(r.running, [&](const std::weak_ptr<AVCaptureSession>& s) {
    return s.expired() || s.lock() == session;
  });
  if (running) r.running.push_back(session);
}

void ChangeInFlight(int delta) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.in_flight += delta;
  if (r.in_flight == 0) r.idle.notify_all();
}

struct FrameSize {
  size_t width, height;
};

FrameSize SizeFor(const Camera& camera, const AVCaptureSessionPreset& preset) {
  if (camera.width > 0 && camera.height > 0) return {camera.width, camera.height};
  if (preset == AVCaptureSessionPreset1920x1080) return {1920, 1080};
  if (preset == AVCaptureSessionPreset640x480) return {640, 480};
  if (preset == AVCaptureSessionPresetMedium) return {480, 360};
  if (preset == AVCaptureSessionPresetLow) return {192, 144};
  return {1280, 720};
}

// A painted frame with presentation time index / rate; count 1.
CMSampleBufferRef MakeFrame(const Camera& camera, const AVCaptureSessionPreset& preset,
                            int64_t index) {
  const FrameSize size = SizeFor(camera, preset);
  CVPixelBufferRef pixels = nullptr;
  CHECK_EQ(CVPixelBufferCreate(kCFAllocatorDefault, size.width, size.height,
                               kCVPixelFormatType_32BGRA, nullptr, &pixels),
           kCVReturnSuccess);
  CVPixelBufferLockBaseAddress(pixels, 0);
  auto* base = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(pixels));
  const size_t stride = CVPixelBufferGetBytesPerRow(pixels);
  if (camera.painter) {
    camera.painter(base, stride, size.width, size.height, index);
  } else {
    for (size_t y = 0; y < size.height; ++y) {
      uint8_t* row = base + y * stride;
      for (size_t x = 0; x < size.width; ++x) {
        row[4 * x + 0] = row[4 * x + 1] = row[4 * x + 2] = 128;
        row[4 * x + 3] = 255;
      }
    }
  }
  CVPixelBufferUnlockBaseAddress(pixels, 0);
  const int32_t rate = std::max<int32_t>(camera.frame_rate, 1);
  const CMSampleTimingInfo timing = {CMTimeMake(1, rate), CMTimeMake(index, rate), kCMTimeInvalid};
  CMSampleBufferRef sample = nullptr;
  CHECK_EQ(CMSampleBufferCreateReadyWithImageBuffer(kCFAllocatorDefault, pixels, nullptr, &timing,
                                                    &sample),
           0);
  CVPixelBufferRelease(pixels);
  return sample;
}

}  // namespace

void SetCamera(Camera camera) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.camera = std::move(camera);
}

Camera GetCamera() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.camera;
}

int DeliverFrame() {
  int queued = 0;
  for (const auto& session : RunningSessions()) queued += session->DeliverNextFrame();
  return queued;
}

int DeliverSampleBuffer(CMSampleBufferRef sample) {
  int queued = 0;
  for (const auto& session : RunningSessions()) queued += session->Deliver(sample);
  return queued;
}

void WaitForDeliveries() {
  Registry& r = TheRegistry();
  std::unique_lock<std::mutex> lock(r.mutex);
  r.idle.wait(lock, [&] { return r.in_flight == 0; });
}

}  // namespace platform::avfoundation

// Device and input.

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::defaultDeviceWithDeviceType(
    const AVCaptureDeviceType& type, const AVMediaType& media_type,
    AVCaptureDevicePosition position) {
  const platform::avfoundation::Camera camera = platform::avfoundation::GetCamera();
  if (!camera.has_front_camera || type != AVCaptureDeviceTypeBuiltInWideAngleCamera ||
      media_type != AVMediaTypeVideo || position != AVCaptureDevicePositionFront) {
    return nullptr;
  }
  return std::make_shared<AVCaptureDevice>(type, position, camera.field_of_view);
}

AVCaptureDevice::AVCaptureDevice(AVCaptureDeviceType type, AVCaptureDevicePosition position,
                                 float fov)
    : type_(std::move(type)),
      position_(position),
      format_(std::make_shared<AVCaptureDeviceFormat>(fov)) {}

std::shared_ptr<AVCaptureDeviceInput> AVCaptureDeviceInput::initWithDevice(
    std::shared_ptr<AVCaptureDevice> device, std::shared_ptr<NSError>* error) {
  if (device == nullptr || platform::avfoundation::GetCamera().input_fails) {
    if (error != nullptr) {
      *error = NSError::errorWithDomain(AVFoundationErrorDomain, AVErrorDeviceNotConnected, {});
    }
    return nullptr;
  }
  return std::shared_ptr<AVCaptureDeviceInput>(new AVCaptureDeviceInput(std::move(device)));
}

// Video data output.

std::shared_ptr<AVCaptureVideoDataOutput> AVCaptureVideoDataOutput::init() {
  return std::shared_ptr<AVCaptureVideoDataOutput>(new AVCaptureVideoDataOutput);
}

AVCaptureVideoDataOutput::VideoSettings AVCaptureVideoDataOutput::videoSettings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

void AVCaptureVideoDataOutput::setVideoSettings(VideoSettings settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = std::move(settings);
}

void AVCaptureVideoDataOutput::setSampleBufferDelegate(
    std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate, dispatch_queue_t queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
  queue_ = std::move(queue);
}

std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate>
AVCaptureVideoDataOutput::sampleBufferDelegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

dispatch_queue_t AVCaptureVideoDataOutput::sampleBufferCallbackQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_;
}

// Session.

std::shared_ptr<AVCaptureSession> AVCaptureSession::init() {
  return std::shared_ptr<AVCaptureSession>(new AVCaptureSession);
}

AVCaptureSession::~AVCaptureSession() = default;

AVCaptureSessionPreset AVCaptureSession::sessionPreset() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return preset_.empty() ? AVCaptureSessionPresetHigh : preset_;
}

void AVCaptureSession::setSessionPreset(const AVCaptureSessionPreset& preset) {
  std::lock_guard<std::mutex> lock(mutex_);
  preset_ = preset;
}

bool AVCaptureSession::canAddInput(const std::shared_ptr<AVCaptureInput>& input) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return input != nullptr && std::find(inputs_.begin(), inputs_.end(), input) == inputs_.end();
}

void AVCaptureSession::addInput(std::shared_ptr<AVCaptureInput> input) {
  if (!canAddInput(input)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  inputs_.push_back(std::move(input));
}

bool AVCaptureSession::canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return output != nullptr && std::find(outputs_.begin(), outputs_.end(), output) == outputs_.end();
}

void AVCaptureSession::addOutput(std::shared_ptr<AVCaptureOutput> output) {
  if (!canAddOutput(output)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  outputs_.push_back(std::move(output));
}

std::vector<std::shared_ptr<AVCaptureInput>> AVCaptureSession::inputs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inputs_;
}

std::vector<std::shared_ptr<AVCaptureOutput>> AVCaptureSession::outputs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outputs_;
}

void AVCaptureSession::startRunning() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return;
    running_ = true;
    frame_index_ = 0;
  }
  platform::avfoundation::SetRunning(shared_from_this(), true);
}

void AVCaptureSession::stopRunning() {
  platform::avfoundation::SetRunning(shared_from_this(), false);
  std::unique_lock<std::mutex> lock(mutex_);
  running_ = false;
  const std::thread::id me = std::this_thread::get_id();
  idle_.wait(lock, [&] {
    return in_flight_ == static_cast<int>(delivering_threads_.count(me));
  });
}

bool AVCaptureSession::isRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

bool AVCaptureSession::HasCameraInput() const {
  for (const auto& input : inputs_) {
    if (dynamic_cast<AVCaptureDeviceInput*>(input.get()) != nullptr) return true;
  }
  return false;
}

int AVCaptureSession::DeliverNextFrame() {
  AVCaptureSessionPreset preset;
  int64_t index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ || !HasCameraInput()) return 0;
    preset = preset_;
    index = frame_index_++;
  }
  CMSampleBufferRef sample =
      platform::avfoundation::MakeFrame(platform::avfoundation::GetCamera(), preset, index);
  const int queued = Deliver(sample);
  CFRelease(sample);
  return queued;
}

int AVCaptureSession::Deliver(CMSampleBufferRef sample) {
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs;
  std::shared_ptr<AVCaptureConnection> connection;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return 0;
    outputs = outputs_;
    connection = connection_;
  }
  int queued = 0;
  for (const auto& output : outputs) {
    auto video = std::dynamic_pointer_cast<AVCaptureVideoDataOutput>(output);
    if (video == nullptr) continue;
    dispatch_queue_t queue = video->sampleBufferCallbackQueue();
    if (queue == nullptr || video->sampleBufferDelegate() == nullptr) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++in_flight_;
    }
    platform::avfoundation::ChangeInFlight(1);
    CFRetain(sample);
    dispatch_async(queue, [this, self = shared_from_this(), video, connection, sample] {
      if (auto delegate = video->sampleBufferDelegate()) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          delivering_threads_.insert(std::this_thread::get_id());
        }
        delegate->captureOutput(video, sample, connection);
        std::lock_guard<std::mutex> lock(mutex_);
        delivering_threads_.erase(delivering_threads_.find(std::this_thread::get_id()));
      }
      CFRelease(sample);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        --in_flight_;
        idle_.notify_all();
      }
      platform::avfoundation::ChangeInFlight(-1);
    });
    ++queued;
  }
  return queued;
}
