#ifndef PLATFORM_ARKIT_AR_SESSION_H_
#define PLATFORM_ARKIT_AR_SESSION_H_

// ARKit's session over a scripted world: tests decide what raycasts hit, whether tracked
// raycasts are granted and what they report later, the camera's tracking state and pose, the
// anchors the world finds, and which configurations the device supports.
//
//   auto session = ARSession::init();
//   session->runWithConfiguration(ARWorldTrackingConfiguration::init(), 0);
//   platform::arkit::SetRaycastHandler(*session, [](const ARRaycastQuery& q) {
//     return std::vector<ARRaycastResult>{ARRaycastResult(floor_at(q))};
//   });
//   auto results = session->raycast(query);
//   auto tracked = session->trackedRaycast(query, [](std::vector<ARRaycastResult> r) { ... });
//   platform::arkit::PushTrackedRaycastUpdate(*tracked, {...});   // handler on the main queue
//   platform::arkit::SetTrackingState(*session, ARTrackingStateNormal, ARTrackingStateReasonNone);
//
// Delegate calls and tracked-raycast handlers run on the session's delegate queue (the main
// queue unless set). Anchors added by the app (addAnchor) or found by the world
// (platform::arkit::AddAnchor) are announced to the session's anchor observers, which is how
// the AR scene view learns of them. Sessions and anchors lock inside; everything is
// thread-safe.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/ns_error.h"
#include "platform/simd/simd.h"

enum ARTrackingState : long {
  ARTrackingStateNotAvailable = 0,
  ARTrackingStateLimited = 1,
  ARTrackingStateNormal = 2,
};

enum ARTrackingStateReason : long {
  ARTrackingStateReasonNone = 0,
  ARTrackingStateReasonInitializing = 1,
  ARTrackingStateReasonExcessiveMotion = 2,
  ARTrackingStateReasonInsufficientFeatures = 3,
  ARTrackingStateReasonRelocalizing = 4,
};

enum ARRaycastTarget : long {
  ARRaycastTargetExistingPlaneGeometry = 0,
  ARRaycastTargetExistingPlaneInfinite = 1,
  ARRaycastTargetEstimatedPlane = 2,
};

enum ARRaycastTargetAlignment : long {
  ARRaycastTargetAlignmentHorizontal = 0,
  ARRaycastTargetAlignmentVertical = 1,
  ARRaycastTargetAlignmentAny = 2,
};

enum ARPlaneAnchorAlignment : long {
  ARPlaneAnchorAlignmentHorizontal = 0,
  ARPlaneAnchorAlignmentVertical = 1,
};

enum ARPlaneDetection : unsigned long {
  ARPlaneDetectionNone = 0,
  ARPlaneDetectionHorizontal = 1 << 0,
  ARPlaneDetectionVertical = 1 << 1,
};

enum ARSessionRunOptions : unsigned long {
  ARSessionRunOptionResetTracking = 1 << 0,
  ARSessionRunOptionRemoveExistingAnchors = 1 << 1,
};

class ARAnchor {
 public:
  explicit ARAnchor(simd_float4x4 transform, std::string name = "");
  virtual ~ARAnchor() = default;
  const std::string& identifier() const { return identifier_; }
  const std::string& name() const { return name_; }
  simd_float4x4 transform() const;
  // The world moves an anchor (platform::arkit::UpdateAnchor).
  void SetTransform(const simd_float4x4& transform);

 private:
  const std::string identifier_;
  const std::string name_;
  mutable std::mutex mutex_;
  simd_float4x4 transform_;
};

class ARPlaneAnchor : public ARAnchor {
 public:
  ARPlaneAnchor(simd_float4x4 transform, ARPlaneAnchorAlignment alignment, simd_float3 extent)
      : ARAnchor(transform), alignment_(alignment), extent_(extent) {}
  ARPlaneAnchorAlignment alignment() const { return alignment_; }
  simd_float3 extent() const { return extent_; }

 private:
  const ARPlaneAnchorAlignment alignment_;
  const simd_float3 extent_;
};

// The tracked face's mesh: vertex positions in the anchor's space.
class ARFaceGeometry {
 public:
  explicit ARFaceGeometry(std::vector<simd_float3> vertices) : vertices_(std::move(vertices)) {}
  const std::vector<simd_float3>& vertices() const { return vertices_; }
  size_t vertexCount() const { return vertices_.size(); }

 private:
  const std::vector<simd_float3> vertices_;
};

class ARFaceAnchor : public ARAnchor {
 public:
  ARFaceAnchor(simd_float4x4 transform, std::shared_ptr<ARFaceGeometry> geometry)
      : ARAnchor(transform), geometry_(std::move(geometry)) {}
  std::shared_ptr<ARFaceGeometry> geometry() const;
  // The world reports a new face shape (with platform::arkit::UpdateAnchor for the pose).
  void SetGeometry(std::shared_ptr<ARFaceGeometry> geometry);

 private:
  mutable std::mutex geometry_mutex_;
  std::shared_ptr<ARFaceGeometry> geometry_;
};

class ARCamera {
 public:
  ARCamera(ARTrackingState state, ARTrackingStateReason reason, simd_float4x4 transform)
      : state_(state), reason_(reason), transform_(transform) {}
  // A camera whose Euler angles a test states instead of deriving them from the transform.
  ARCamera(ARTrackingState state, ARTrackingStateReason reason, simd_float4x4 transform,
           simd_float3 eulerAngles)
      : state_(state), reason_(reason), transform_(transform), euler_(eulerAngles) {}
  ARTrackingState trackingState() const { return state_; }
  ARTrackingStateReason trackingStateReason() const { return reason_; }
  simd_float4x4 transform() const { return transform_; }
  // Pitch (x), yaw (y) and roll (z) in radians of the camera's orientation.
  simd_float3 eulerAngles() const;

 private:
  const ARTrackingState state_;
  const ARTrackingStateReason reason_;
  const simd_float4x4 transform_;
  const std::optional<simd_float3> euler_;
};

class ARFrame {
 public:
  ARFrame(double timestamp, std::shared_ptr<ARCamera> camera,
          std::vector<std::shared_ptr<ARAnchor>> anchors)
      : timestamp_(timestamp), camera_(std::move(camera)), anchors_(std::move(anchors)) {}
  double timestamp() const { return timestamp_; }
  const std::shared_ptr<ARCamera>& camera() const { return camera_; }
  const std::vector<std::shared_ptr<ARAnchor>>& anchors() const { return anchors_; }

 private:
  const double timestamp_;
  const std::shared_ptr<ARCamera> camera_;
  const std::vector<std::shared_ptr<ARAnchor>> anchors_;
};

enum AREnvironmentTexturing : long {
  AREnvironmentTexturingNone = 0,
  AREnvironmentTexturingManual = 1,
  AREnvironmentTexturingAutomatic = 2,
};

class ARConfiguration {
 public:
  virtual ~ARConfiguration() = default;
};

class ARWorldTrackingConfiguration : public ARConfiguration {
 public:
  static std::shared_ptr<ARWorldTrackingConfiguration> init() {
    return std::make_shared<ARWorldTrackingConfiguration>();
  }
  static bool isSupported();
  unsigned long planeDetection() const { return plane_detection_; }
  void setPlaneDetection(unsigned long detection) { plane_detection_ = detection; }
  AREnvironmentTexturing environmentTexturing() const { return environment_texturing_; }
  void setEnvironmentTexturing(AREnvironmentTexturing texturing) {
    environment_texturing_ = texturing;
  }

 private:
  unsigned long plane_detection_ = ARPlaneDetectionNone;
  AREnvironmentTexturing environment_texturing_ = AREnvironmentTexturingNone;
};

class ARFaceTrackingConfiguration : public ARConfiguration {
 public:
  static std::shared_ptr<ARFaceTrackingConfiguration> init() {
    return std::make_shared<ARFaceTrackingConfiguration>();
  }
  static bool isSupported();
  bool isLightEstimationEnabled() const { return light_estimation_; }
  void setLightEstimationEnabled(bool on) { light_estimation_ = on; }

 private:
  bool light_estimation_ = true;
};

// Errors the session reports carry this domain (the platform's AR error type).
extern const std::string ARErrorDomain;
enum ARErrorCode : long {
  ARErrorCodeUnsupportedConfiguration = 100,
  ARErrorCodeSensorUnavailable = 101,
  ARErrorCodeSensorFailed = 102,
  ARErrorCodeCameraUnauthorized = 103,
  ARErrorCodeWorldTrackingFailed = 200,
};

struct ARRaycastQuery {
  simd_float3 origin;
  simd_float3 direction;
  ARRaycastTarget target;
  ARRaycastTargetAlignment targetAlignment;
};

struct ARRaycastResult {
  simd_float4x4 worldTransform = matrix_identity_float4x4;
  ARRaycastTarget target = ARRaycastTargetEstimatedPlane;
  ARRaycastTargetAlignment targetAlignment = ARRaycastTargetAlignmentHorizontal;
  std::shared_ptr<ARAnchor> anchor;
};

using ARTrackedRaycastHandler = std::function<void(std::vector<ARRaycastResult> results)>;

class ARTrackedRaycast : public std::enable_shared_from_this<ARTrackedRaycast> {
 public:
  ARTrackedRaycast(ARRaycastQuery query, ARTrackedRaycastHandler handler,
                   dispatch_queue_t queue)
      : query_(query), handler_(std::move(handler)), queue_(std::move(queue)) {}
  const ARRaycastQuery& query() const { return query_; }
  // No update is delivered after this returns (updates already queued are dropped); the
  // handler, and what it holds, is released.
  void stopTracking();
  bool isTracking() const;
  // The world reports new results; the handler runs on the session's delegate queue.
  void Deliver(std::vector<ARRaycastResult> results);

 private:
  const ARRaycastQuery query_;
  mutable std::mutex mutex_;
  ARTrackedRaycastHandler handler_;
  dispatch_queue_t queue_;
  bool stopped_ = false;
};

class ARSession;

class ARSessionDelegate {
 public:
  virtual ~ARSessionDelegate() = default;
  // session:didUpdateFrame:
  virtual void sessionDidUpdateFrame(const std::shared_ptr<ARSession>& session,
                                     const std::shared_ptr<ARFrame>& frame) {}
  // session:didFailWithError:
  virtual void sessionDidFailWithError(const std::shared_ptr<ARSession>& session,
                                       const std::shared_ptr<NSError>& error) {}
  // session:cameraDidChangeTrackingState:
  virtual void sessionCameraDidChangeTrackingState(const std::shared_ptr<ARSession>& session,
                                                   const std::shared_ptr<ARCamera>& camera) {}
  virtual void sessionWasInterrupted(const std::shared_ptr<ARSession>& session) {}
  virtual void sessionInterruptionEnded(const std::shared_ptr<ARSession>& session) {}
  // sessionShouldAttemptRelocalization:
  virtual bool sessionShouldAttemptRelocalization(const std::shared_ptr<ARSession>& session) {
    return false;
  }
};

enum class ARAnchorChange { kAdded, kUpdated, kRemoved };

class ARSession : public std::enable_shared_from_this<ARSession> {
 public:
  using AnchorObserver =
      std::function<void(ARAnchorChange change, const std::shared_ptr<ARAnchor>& anchor)>;
  using RaycastHandler = std::function<std::vector<ARRaycastResult>(const ARRaycastQuery&)>;

  static std::shared_ptr<ARSession> init();

  // Starts or re-configures; the options may reset tracking (state not available,
  // initializing) and remove the anchors (announced as removed).
  void runWithConfiguration(std::shared_ptr<ARConfiguration> configuration, unsigned long options);
  void pause();
  bool isRunning() const;
  int runCount() const;
  // The options of the latest run (0 before any).
  unsigned long lastRunOptions() const;
  std::shared_ptr<ARConfiguration> configuration() const;
  // The latest frame; null before the first one the world pushed.
  std::shared_ptr<ARFrame> currentFrame() const;

  std::shared_ptr<ARSessionDelegate> delegate() const;
  void setDelegate(std::weak_ptr<ARSessionDelegate> delegate);
  dispatch_queue_t delegateQueue() const;
  void setDelegateQueue(dispatch_queue_t queue);

  void addAnchor(std::shared_ptr<ARAnchor> anchor);
  void removeAnchor(const std::shared_ptr<ARAnchor>& anchor);
  std::vector<std::shared_ptr<ARAnchor>> anchors() const;

  // The world's results for the query, nearest first; empty when none or when the session is
  // not running.
  std::vector<ARRaycastResult> raycast(const ARRaycastQuery& query);
  // A raycast that keeps reporting; null when the world declines it. The world's first
  // results are not delivered here: the world pushes every update.
  std::shared_ptr<ARTrackedRaycast> trackedRaycast(const ARRaycastQuery& query,
                                                   ARTrackedRaycastHandler handler);

  // Stand-in plumbing (used through the platform::arkit functions and the AR scene view).
  void AddAnchorObserver(std::weak_ptr<void> owner, AnchorObserver observer);
  void SetRaycastHandler(RaycastHandler handler);
  void SetTrackedRaycastsGranted(bool granted);
  void SetQueriesFormable(bool formable);
  bool QueriesFormable() const;
  std::vector<std::shared_ptr<ARTrackedRaycast>> TrackedRaycasts() const;
  void SetCamera(ARTrackingState state, ARTrackingStateReason reason);
  void SetCameraTransform(const simd_float4x4& transform);
  void PushFrame(double timestamp);
  void Fail(std::shared_ptr<NSError> error);
  void UpdateAnchor(const std::shared_ptr<ARAnchor>& anchor, const simd_float4x4& transform);

 private:
  ARSession() = default;
  void Announce(ARAnchorChange change, const std::shared_ptr<ARAnchor>& anchor);
  void ToDelegate(std::function<void(ARSessionDelegate&, const std::shared_ptr<ARSession>&)> call);

  mutable std::mutex mutex_;
  std::shared_ptr<ARConfiguration> configuration_;
  bool running_ = false;
  int run_count_ = 0;
  unsigned long last_run_options_ = 0;
  std::shared_ptr<ARFrame> frame_;
  ARTrackingState tracking_state_ = ARTrackingStateNotAvailable;
  ARTrackingStateReason tracking_reason_ = ARTrackingStateReasonNone;
  simd_float4x4 camera_transform_ = matrix_identity_float4x4;
  std::weak_ptr<ARSessionDelegate> delegate_;
  dispatch_queue_t delegate_queue_;
  std::vector<std::shared_ptr<ARAnchor>> anchors_;
  std::vector<std::pair<std::weak_ptr<void>, AnchorObserver>> observers_;
  RaycastHandler raycast_handler_;
  bool tracked_granted_ = true;
  bool queries_formable_ = true;
  std::vector<std::weak_ptr<ARTrackedRaycast>> tracked_;
};

namespace platform::arkit {

void SetFaceTrackingSupported(bool supported);
void SetWorldTrackingSupported(bool supported);
void SetRaycastHandler(ARSession& session, ARSession::RaycastHandler handler);
// Whether the next tracked raycasts are granted (default) or declined.
void SetTrackedRaycastsGranted(ARSession& session, bool granted);
// Whether views of this session can form raycast queries at all (default yes).
void SetQueriesFormable(ARSession& session, bool formable);
void PushTrackedRaycastUpdate(ARTrackedRaycast& raycast, std::vector<ARRaycastResult> results);
// Changes the camera's tracking and tells the delegate; the next frames carry it.
void SetTrackingState(ARSession& session, ARTrackingState state, ARTrackingStateReason reason);
void SetCameraTransform(ARSession& session, const simd_float4x4& transform);
// A new current frame (camera as set, the session's anchors); the delegate hears of it.
void PushFrame(ARSession& session, double timestamp);
// The world finds, moves or loses an anchor.
void AddAnchor(ARSession& session, std::shared_ptr<ARAnchor> anchor);
void UpdateAnchor(ARSession& session, const std::shared_ptr<ARAnchor>& anchor,
                  const simd_float4x4& transform);
void RemoveAnchor(ARSession& session, const std::shared_ptr<ARAnchor>& anchor);
void FailSession(ARSession& session, std::shared_ptr<NSError> error);

}  // namespace platform::arkit

#endif  // PLATFORM_ARKIT_AR_SESSION_H_
