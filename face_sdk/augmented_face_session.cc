#include "face_sdk/augmented_face_session.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <utility>

#include "face_sdk/device_utils.h"
#include "face_sdk/ostrell_log_events.h"

const char* const QVXAugmentedFaceSessionErrorDomain = "QVXAugmentedFaceSession";

namespace {

// Usage logging is set up once per process, on supported systems only, before the first session
// is made. Not from a static initialiser: setting up starts the uploader, which waits for work
// on other threads, and those cannot start while a library that holds the session is still
// being loaded.
void SetUpUsageLoggingOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (QVXDeviceUtils::isCurrentOSVersionSupported()) QVXLogger::setUpForThirdPartyLogging();
  });
}

// The nearest of 0, 90, 180 and 270 degrees.
unsigned long SnapRotation(unsigned long rotation) {
  unsigned long r = rotation % 360;
  if (r < 45) return 0;
  if (r < 135) return 90;
  if (r < 225) return 180;
  if (r < 315) return 270;
  return 0;
}

// Truncation toward zero that saturates (NaN gives 0).
template <typename Int>
Int SaturatingTruncate(double value) {
  if (std::isnan(value)) return 0;
  constexpr double kLow = static_cast<double>(std::numeric_limits<Int>::min());
  // max() + 1 is a power of two, exact as a double.
  constexpr double kHigh = static_cast<double>(std::numeric_limits<Int>::max()) + 1.0;
  if (value <= kLow) return std::numeric_limits<Int>::min();
  if (value >= kHigh) return std::numeric_limits<Int>::max();
  return static_cast<Int>(value);
}

int64_t Milliseconds(double seconds) { return SaturatingTruncate<int64_t>(seconds * 1000); }

}  // namespace

// --- Creation ----------------------------------------------------------------------------------

std::shared_ptr<QVXAugmentedFaceSession> QVXAugmentedFaceSession::initWithFieldOfView(
    float fieldOfView, std::shared_ptr<NSError>* error) {
  return initWithFieldOfView(fieldOfView, 1, DEFAULT_MAX_FACES, error);
}

std::shared_ptr<QVXAugmentedFaceSession> QVXAugmentedFaceSession::initWithFieldOfView(
    float fieldOfView, unsigned long runMode, unsigned long maxFaces,
    std::shared_ptr<NSError>* error) {
  SetUpUsageLoggingOnce();
  if (!QVXDeviceUtils::isCurrentOSVersionSupported()) {
    if (error != nullptr) {
      *error = NSError::errorWithDomain(QVXAugmentedFaceSessionErrorDomain, -1, {});
    }
    return nullptr;
  }
  return initWithFaceMeshGraph(
      QVXFaceMeshGraph::initWithFieldOfView(fieldOfView, runMode, maxFaces));
}

std::shared_ptr<QVXAugmentedFaceSession> QVXAugmentedFaceSession::initWithFaceMeshGraph(
    std::shared_ptr<QVXFaceMeshGraph> faceMeshGraph) {
  return initWithFaceMeshGraph(std::move(faceMeshGraph),
                               QVXLogger::thirdPartyLoggerWithPseudonymousID());
}

std::shared_ptr<QVXAugmentedFaceSession> QVXAugmentedFaceSession::initWithFaceMeshGraph(
    std::shared_ptr<QVXFaceMeshGraph> faceMeshGraph, std::shared_ptr<QVXLogger> logger) {
  auto session =
      std::make_shared<QVXAugmentedFaceSession>(std::move(faceMeshGraph), std::move(logger));
  if (session->faceMeshGraph_) session->faceMeshGraph_->setDelegate(session);
  return session;
}

QVXAugmentedFaceSession::QVXAugmentedFaceSession(std::shared_ptr<QVXFaceMeshGraph> faceMeshGraph,
                                                 std::shared_ptr<QVXLogger> logger)
    : faceMeshGraph_(std::move(faceMeshGraph)), logger_(std::move(logger)) {
  imageInputEventsBuffer_.reserve(bufferSize_);
}

// --- Properties --------------------------------------------------------------------------------

std::shared_ptr<QVXAugmentedFaceSessionDelegate> QVXAugmentedFaceSession::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

void QVXAugmentedFaceSession::setDelegate(std::weak_ptr<QVXAugmentedFaceSessionDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

dispatch_queue_t QVXAugmentedFaceSession::delegateQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegateQueue_;
}

void QVXAugmentedFaceSession::setDelegateQueue(dispatch_queue_t queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegateQueue_ = std::move(queue);
}

std::shared_ptr<QVXAugmentedFaceFrame> QVXAugmentedFaceSession::currentFrame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentFrame_;
}

std::shared_ptr<NSDate> QVXAugmentedFaceSession::sessionStartDate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessionStartDate_;
}

double QVXAugmentedFaceSession::secondsSinceStart() const {
  std::shared_ptr<NSDate> start = sessionStartDate();
  return start ? NSDate::date()->timeIntervalSinceDate(*start) : 0.0;
}

// --- Frames ------------------------------------------------------------------------------------

bool QVXAugmentedFaceSession::updateWithPixelBuffer(CVPixelBufferRef pixelBuffer,
                                                    double timestamp,
                                                    unsigned long recognitionRotation) {
  return updateWithPixelBuffer(pixelBuffer, timestamp, recognitionRotation, kCanDropFrames != 0);
}

bool QVXAugmentedFaceSession::updateWithPixelBuffer(CVPixelBufferRef pixelBuffer,
                                                    double timestamp,
                                                    unsigned long recognitionRotation,
                                                    bool canDropFrame) {
  // The start is recorded before the first frame reaches the graph, so that its results always
  // find a start date.
  if (sessionStartDate() == nullptr) logFaceMeshInitialized();
  return faceMeshGraph_->updateWithPixelBuffer(pixelBuffer, timestamp,
                                               SnapRotation(recognitionRotation), canDropFrame);
}

void QVXAugmentedFaceSession::didOutputFace(std::shared_ptr<QVXAugmentedFaceFrame> frame) {
  std::shared_ptr<QVXAugmentedFaceSessionDelegate> delegate;
  dispatch_queue_t queue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    currentFrame_ = frame;
    delegate = delegate_.lock();
    queue = delegateQueue_ ? delegateQueue_ : dispatch_get_main_queue();
  }
  if (delegate != nullptr) {
    dispatch_async(queue, [delegate, frame] { delegate->didUpdateFrame(frame); });
  }

  updateFramerate();

  const bool hasFace = frame != nullptr && frame->face() != nullptr;
  if (hasFace != faceDetectedInLastFrame_) {
    if (hasFace) {
      logFaceDetected();
    } else {
      logFaceLost();
    }
  }
  faceDetectedInLastFrame_ = hasFace;
}

void QVXAugmentedFaceSession::updateFramerate() {
  const double t = secondsSinceStart();
  if (bufferHead_ < imageInputEventsBuffer_.size()) {
    imageInputEventsBuffer_[bufferHead_] = t;
  } else {
    imageInputEventsBuffer_.push_back(t);
  }
  const unsigned long next = (bufferHead_ + 1) % bufferSize_;
  if (imageInputEventsBuffer_.size() == bufferSize_) {
    const double newest = imageInputEventsBuffer_[bufferHead_];
    const double oldest = imageInputEventsBuffer_[next];
    const int32_t fps = SaturatingTruncate<int32_t>(
        1.0 / ((newest - oldest) / static_cast<double>(bufferSize_ - 1)));
    if (std::llabs(int64_t{fps} - int64_t{previousLoggedFramerate_}) >= 5) {
      previousLoggedFramerate_ = fps;
      logFramerateChange();
    }
  }
  bufferHead_ = next;
}

// --- Usage events ------------------------------------------------------------------------------

void QVXAugmentedFaceSession::logFaceMeshInitialized() {
  auto start = NSDate::date();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sessionStartDate_ != nullptr) return;
    sessionStartDate_ = start;
  }
  auto event = std::make_shared<QVXLOGOstrellLog>();
  auto* initialized = event->mutable_facemesh_initialized();
  initialized->set_session_start_time_ms(Milliseconds(start->timeIntervalSince1970()));
  initialized->set_initial_model(QVXLOGOstrellLogEnum::FACEMESH_MODEL_TYPE_LITE);
  logger_->logEvent(event);
}

void QVXAugmentedFaceSession::logFaceDetected() {
  auto event = std::make_shared<QVXLOGOstrellLog>();
  auto* detected = event->mutable_facemesh_faces_detected();
  detected->set_duration_since_sos_ms(Milliseconds(secondsSinceStart()));
  detected->set_num_faces_detected(1);
  logger_->logEvent(event);
}

void QVXAugmentedFaceSession::logFaceLost() {
  auto event = std::make_shared<QVXLOGOstrellLog>();
  event->mutable_facemesh_faces_lost()->set_duration_since_sos_ms(
      Milliseconds(secondsSinceStart()));
  logger_->logEvent(event);
}

void QVXAugmentedFaceSession::logFramerateChange() {
  auto event = std::make_shared<QVXLOGOstrellLog>();
  auto* change = event->mutable_facemesh_framerate_change();
  change->set_duration_since_sos_ms(Milliseconds(secondsSinceStart()));
  change->set_new_framerate(previousLoggedFramerate_);
  logger_->logEvent(event);
}
