// QVXAugmentedFaceSession: the face SDK's entry point for a host.
//
// A session is made with the camera's field of view, takes camera frames (pixel buffer, time
// in seconds, rotation in degrees) and hands every tracked result, a QVXAugmentedFaceFrame, to
// its delegate on the delegate queue (the main queue when none is set). It also records usage
// events: the session start, faces appearing and disappearing, and changes of the output frame
// rate.
//
//   class Host : public QVXAugmentedFaceSessionDelegate {
//     void didUpdateFrame(std::shared_ptr<QVXAugmentedFaceFrame> frame) override { ... }
//   };
//
//   std::shared_ptr<NSError> error;
//   auto session = QVXAugmentedFaceSession::initWithFieldOfView(/*degrees=*/60, &error);
//   if (session == nullptr) return;                   // error: domain "QVXAugmentedFaceSession"
//   session->setDelegate(host);                        // held weakly
//   session->setDelegateQueue(dispatch_queue_create("frames", DISPATCH_QUEUE_SERIAL));
//   session->updateWithPixelBuffer(buffer, /*timestamp=*/0.033, /*recognitionRotation=*/90);
//
// Rotations are snapped to 0, 90, 180 or 270 (the nearest, 315 and above back to 0). The
// three-argument update lets the session drop a frame while two are still in the graph; it then
// answers false. The one error a host receives is the creation error on an OS version below
// "11.0"; graph failures are only logged. The first creation in a process also sets up the SDK's
// usage logging (QVXLogger::setUpForThirdPartyLogging) on supported systems.
//
// Updates come from one thread at a time (the camera's); results arrive on a graph thread and
// are passed on to the delegate queue asynchronously, so the graph never waits for the host.
// The frame-rate estimate reads the wall clock (platform/foundation/ns_date.h) when each result
// arrives: the integer part of 44 over the time spanned by the last 45 results.
#ifndef FACE_SDK_AUGMENTED_FACE_SESSION_H_
#define FACE_SDK_AUGMENTED_FACE_SESSION_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "face_sdk/augmented_face_frame.h"
#include "face_sdk/face_mesh_graph.h"
#include "face_sdk/logger.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/ns_date.h"
#include "platform/foundation/ns_error.h"

inline constexpr int64_t kCanDropFrames = 1;
inline constexpr int64_t kFramerateChangeUpdateWindow = 45;
inline constexpr int64_t DEFAULT_MAX_FACES = 1;
extern const char* const QVXAugmentedFaceSessionErrorDomain;  // "QVXAugmentedFaceSession"

class QVXAugmentedFaceSessionDelegate {
 public:
  virtual ~QVXAugmentedFaceSessionDelegate() = default;
  virtual void didUpdateFrame(std::shared_ptr<QVXAugmentedFaceFrame> frame) = 0;
};

class QVXAugmentedFaceSession : public QVXFaceMeshGraphDelegate,
                                public std::enable_shared_from_this<QVXAugmentedFaceSession> {
 public:
  // Run mode 1, one face.
  static std::shared_ptr<QVXAugmentedFaceSession> initWithFieldOfView(
      float fieldOfView, std::shared_ptr<NSError>* error);
  // `fieldOfView`: degrees across the pixel buffer's width. Run mode 2 adds the lips and eye
  // refinement models. Only the first face is reported whatever `maxFaces` says. Null, with an
  // error of code -1 when `error` is given, on an unsupported OS version.
  static std::shared_ptr<QVXAugmentedFaceSession> initWithFieldOfView(
      float fieldOfView, unsigned long runMode, unsigned long maxFaces,
      std::shared_ptr<NSError>* error);
  // A session over an existing driver, which it makes report to itself.
  static std::shared_ptr<QVXAugmentedFaceSession> initWithFaceMeshGraph(
      std::shared_ptr<QVXFaceMeshGraph> faceMeshGraph);
  // The same, logging its usage events through `logger` instead of the pseudonymous
  // third-party logger (tests hand in a fake one and read what was logged).
  static std::shared_ptr<QVXAugmentedFaceSession> initWithFaceMeshGraph(
      std::shared_ptr<QVXFaceMeshGraph> faceMeshGraph, std::shared_ptr<QVXLogger> logger);

  std::shared_ptr<QVXAugmentedFaceSessionDelegate> delegate() const;
  void setDelegate(std::weak_ptr<QVXAugmentedFaceSessionDelegate> delegate);
  // Null means the main queue.
  dispatch_queue_t delegateQueue() const;
  void setDelegateQueue(dispatch_queue_t queue);
  // The latest frame produced; null before the first.
  std::shared_ptr<QVXAugmentedFaceFrame> currentFrame() const;

  // With frame dropping allowed.
  bool updateWithPixelBuffer(CVPixelBufferRef pixelBuffer, double timestamp,
                             unsigned long recognitionRotation);
  // False when the frame was dropped.
  bool updateWithPixelBuffer(CVPixelBufferRef pixelBuffer, double timestamp,
                             unsigned long recognitionRotation, bool canDropFrame);

  // The driver's callback.
  void didOutputFace(std::shared_ptr<QVXAugmentedFaceFrame> frame) override;

  const std::shared_ptr<QVXFaceMeshGraph>& faceMeshGraph() const { return faceMeshGraph_; }
  // The usage logger of this session.
  const std::shared_ptr<QVXLogger>& logger() const { return logger_; }

  // Use the factories above.
  QVXAugmentedFaceSession(std::shared_ptr<QVXFaceMeshGraph> faceMeshGraph,
                          std::shared_ptr<QVXLogger> logger);

 private:
  std::shared_ptr<NSDate> sessionStartDate() const;
  // Seconds from the session start to now; 0 before the start.
  double secondsSinceStart() const;
  void updateFramerate();
  void logFaceMeshInitialized();
  void logFaceDetected();
  void logFaceLost();
  void logFramerateChange();

  const std::shared_ptr<QVXFaceMeshGraph> faceMeshGraph_;
  const std::shared_ptr<QVXLogger> logger_;

  mutable std::mutex mutex_;  // guards the four fields below
  std::weak_ptr<QVXAugmentedFaceSessionDelegate> delegate_;
  dispatch_queue_t delegateQueue_;
  std::shared_ptr<QVXAugmentedFaceFrame> currentFrame_;
  std::shared_ptr<NSDate> sessionStartDate_;

  // Touched on the output thread only.
  bool faceDetectedInLastFrame_ = false;
  std::vector<double> imageInputEventsBuffer_;
  unsigned long bufferHead_ = 0;
  unsigned long bufferSize_ = kFramerateChangeUpdateWindow;
  int32_t previousLoggedFramerate_ = 0;
};

#endif  // FACE_SDK_AUGMENTED_FACE_SESSION_H_
