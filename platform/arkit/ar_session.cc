#include "platform/arkit/ar_session.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "platform/foundation/ns_uuid.h"
#include "platform/scenekit/scn_node.h"

namespace {

std::atomic<bool> face_tracking_supported{true};
std::atomic<bool> world_tracking_supported{true};

}  // namespace

ARAnchor::ARAnchor(simd_float4x4 transform, std::string name)
    : identifier_(NSUUID::UUID()->UUIDString()), name_(std::move(name)), transform_(transform) {}

simd_float4x4 ARAnchor::transform() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transform_;
}

void ARAnchor::SetTransform(const simd_float4x4& transform) {
  std::lock_guard<std::mutex> lock(mutex_);
  transform_ = transform;
}

const std::string ARErrorDomain = "com.apple.arkit.error";

std::shared_ptr<ARFaceGeometry> ARFaceAnchor::geometry() const {
  std::lock_guard<std::mutex> lock(geometry_mutex_);
  return geometry_;
}

void ARFaceAnchor::SetGeometry(std::shared_ptr<ARFaceGeometry> geometry) {
  std::lock_guard<std::mutex> lock(geometry_mutex_);
  geometry_ = std::move(geometry);
}

bool ARWorldTrackingConfiguration::isSupported() { return world_tracking_supported.load(); }
bool ARFaceTrackingConfiguration::isSupported() { return face_tracking_supported.load(); }

void ARTrackedRaycast::stopTracking() {
  // The handler is let go, as the platform does: whatever it holds (often the caller itself)
  // is released once tracking stops. It dies outside the lock.
  ARTrackedRaycastHandler released;
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  released.swap(handler_);
}

bool ARTrackedRaycast::isTracking() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !stopped_;
}

void ARTrackedRaycast::Deliver(std::vector<ARRaycastResult> results) {
  dispatch_queue_t queue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    queue = queue_;
  }
  // The raycast lives until the update ran, as the platform keeps it while it tracks.
  dispatch_async(queue, [this, keep = shared_from_this(), results] {
    ARTrackedRaycastHandler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) return;
      handler = handler_;
    }
    handler(results);
  });
}

std::shared_ptr<ARSession> ARSession::init() { return std::shared_ptr<ARSession>(new ARSession); }

void ARSession::runWithConfiguration(std::shared_ptr<ARConfiguration> configuration,
                                     unsigned long options) {
  std::vector<std::shared_ptr<ARAnchor>> removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    configuration_ = std::move(configuration);
    running_ = true;
    ++run_count_;
    last_run_options_ = options;
    if (options & ARSessionRunOptionResetTracking) {
      tracking_state_ = ARTrackingStateNotAvailable;
      tracking_reason_ = ARTrackingStateReasonInitializing;
    }
    if (options & ARSessionRunOptionRemoveExistingAnchors) removed.swap(anchors_);
  }
  for (const auto& a : removed) Announce(ARAnchorChange::kRemoved, a);
}

void ARSession::pause() {
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
}

unsigned long ARSession::lastRunOptions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_run_options_;
}

bool ARSession::isRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

int ARSession::runCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return run_count_;
}

std::shared_ptr<ARConfiguration> ARSession::configuration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return configuration_;
}

std::shared_ptr<ARFrame> ARSession::currentFrame() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frame_;
}

std::shared_ptr<ARSessionDelegate> ARSession::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

void ARSession::setDelegate(std::weak_ptr<ARSessionDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

dispatch_queue_t ARSession::delegateQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_queue_;
}

void ARSession::setDelegateQueue(dispatch_queue_t queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_queue_ = std::move(queue);
}

void ARSession::addAnchor(std::shared_ptr<ARAnchor> anchor) {
  if (anchor == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(anchors_.begin(), anchors_.end(), anchor) != anchors_.end()) return;
    anchors_.push_back(anchor);
  }
  Announce(ARAnchorChange::kAdded, anchor);
}

void ARSession::removeAnchor(const std::shared_ptr<ARAnchor>& anchor) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(anchors_.begin(), anchors_.end(), anchor);
    if (it == anchors_.end()) return;
    anchors_.erase(it);
  }
  Announce(ARAnchorChange::kRemoved, anchor);
}

std::vector<std::shared_ptr<ARAnchor>> ARSession::anchors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return anchors_;
}

void ARSession::UpdateAnchor(const std::shared_ptr<ARAnchor>& anchor,
                             const simd_float4x4& transform) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(anchors_.begin(), anchors_.end(), anchor) == anchors_.end()) return;
  }
  anchor->SetTransform(transform);
  Announce(ARAnchorChange::kUpdated, anchor);
}

std::vector<ARRaycastResult> ARSession::raycast(const ARRaycastQuery& query) {
  RaycastHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return {};
    handler = raycast_handler_;
  }
  return handler ? handler(query) : std::vector<ARRaycastResult>{};
}

std::shared_ptr<ARTrackedRaycast> ARSession::trackedRaycast(const ARRaycastQuery& query,
                                                            ARTrackedRaycastHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_ || !tracked_granted_ || !handler) return nullptr;
  auto tracked = std::make_shared<ARTrackedRaycast>(
      query, std::move(handler), delegate_queue_ ? delegate_queue_ : dispatch_get_main_queue());
  std::erase_if(tracked_, [](const std::weak_ptr<ARTrackedRaycast>& t) { return t.expired(); });
  tracked_.push_back(tracked);
  return tracked;
}

void ARSession::AddAnchorObserver(std::weak_ptr<void> owner, AnchorObserver observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observers_.emplace_back(std::move(owner), std::move(observer));
}

void ARSession::SetRaycastHandler(RaycastHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  raycast_handler_ = std::move(handler);
}

void ARSession::SetTrackedRaycastsGranted(bool granted) {
  std::lock_guard<std::mutex> lock(mutex_);
  tracked_granted_ = granted;
}

void ARSession::SetQueriesFormable(bool formable) {
  std::lock_guard<std::mutex> lock(mutex_);
  queries_formable_ = formable;
}

bool ARSession::QueriesFormable() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queries_formable_;
}

std::vector<std::shared_ptr<ARTrackedRaycast>> ARSession::TrackedRaycasts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<ARTrackedRaycast>> live;
  for (const auto& weak : tracked_) {
    if (auto t = weak.lock(); t != nullptr && t->isTracking()) live.push_back(std::move(t));
  }
  return live;
}

void ARSession::SetCamera(ARTrackingState state, ARTrackingStateReason reason) {
  std::shared_ptr<ARCamera> camera;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tracking_state_ = state;
    tracking_reason_ = reason;
    camera = std::make_shared<ARCamera>(state, reason, camera_transform_);
  }
  ToDelegate([camera](ARSessionDelegate& d, const std::shared_ptr<ARSession>& s) {
    d.sessionCameraDidChangeTrackingState(s, camera);
  });
}

void ARSession::SetCameraTransform(const simd_float4x4& transform) {
  std::lock_guard<std::mutex> lock(mutex_);
  camera_transform_ = transform;
}

void ARSession::PushFrame(double timestamp) {
  std::shared_ptr<ARFrame> frame;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frame = std::make_shared<ARFrame>(
        timestamp, std::make_shared<ARCamera>(tracking_state_, tracking_reason_, camera_transform_),
        anchors_);
    frame_ = frame;
  }
  ToDelegate([frame](ARSessionDelegate& d, const std::shared_ptr<ARSession>& s) {
    d.sessionDidUpdateFrame(s, frame);
  });
}

void ARSession::Fail(std::shared_ptr<NSError> error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
  }
  ToDelegate([error](ARSessionDelegate& d, const std::shared_ptr<ARSession>& s) {
    d.sessionDidFailWithError(s, error);
  });
}

void ARSession::Announce(ARAnchorChange change, const std::shared_ptr<ARAnchor>& anchor) {
  std::vector<AnchorObserver> observers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(observers_, [](const auto& o) { return o.first.expired(); });
    for (const auto& o : observers_) observers.push_back(o.second);
  }
  for (const auto& observer : observers) observer(change, anchor);
}

void ARSession::ToDelegate(
    std::function<void(ARSessionDelegate&, const std::shared_ptr<ARSession>&)> call) {
  dispatch_queue_t queue = delegateQueue();
  if (queue == nullptr) queue = dispatch_get_main_queue();
  std::weak_ptr<ARSession> weak = weak_from_this();
  dispatch_async(queue, [weak, call = std::move(call)] {
    auto session = weak.lock();
    if (session == nullptr) return;
    if (auto d = session->delegate()) call(*d, session);
  });
}

namespace platform::arkit {

void SetFaceTrackingSupported(bool supported) { face_tracking_supported.store(supported); }
void SetWorldTrackingSupported(bool supported) { world_tracking_supported.store(supported); }
void SetRaycastHandler(ARSession& s, ARSession::RaycastHandler h) { s.SetRaycastHandler(std::move(h)); }
void SetTrackedRaycastsGranted(ARSession& s, bool granted) { s.SetTrackedRaycastsGranted(granted); }
void SetQueriesFormable(ARSession& s, bool formable) { s.SetQueriesFormable(formable); }
void PushTrackedRaycastUpdate(ARTrackedRaycast& raycast, std::vector<ARRaycastResult> results) {
  raycast.Deliver(std::move(results));
}
void SetTrackingState(ARSession& s, ARTrackingState state, ARTrackingStateReason reason) {
  s.SetCamera(state, reason);
}
void SetCameraTransform(ARSession& s, const simd_float4x4& t) { s.SetCameraTransform(t); }
void PushFrame(ARSession& s, double timestamp) { s.PushFrame(timestamp); }
void AddAnchor(ARSession& s, std::shared_ptr<ARAnchor> anchor) { s.addAnchor(std::move(anchor)); }
void UpdateAnchor(ARSession& s, const std::shared_ptr<ARAnchor>& anchor, const simd_float4x4& t) {
  s.UpdateAnchor(anchor, t);
}
void RemoveAnchor(ARSession& s, const std::shared_ptr<ARAnchor>& anchor) { s.removeAnchor(anchor); }
void FailSession(ARSession& s, std::shared_ptr<NSError> error) { s.Fail(std::move(error)); }

}  // namespace platform::arkit

simd_float3 ARCamera::eulerAngles() const {
  if (euler_.has_value()) return *euler_;
  simd_float4x4 r = transform_;
  for (int c = 0; c < 3; ++c) {
    const float len = simd_length(r.columns[c].xyz());
    if (len > 0) r.columns[c] = r.columns[c] / len;
  }
  r.columns[3] = {0, 0, 0, 1};
  return platform::scenekit::EulerFromQuaternion(simd_quaternion(r));
}
