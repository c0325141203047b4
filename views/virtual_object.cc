#include "views/virtual_object.h"

#include <utility>

std::shared_ptr<VirtualObject> VirtualObject::initWithURL(std::shared_ptr<NSURL> url) {
  if (url == nullptr) return nullptr;
  return std::make_shared<VirtualObject>(std::move(url));
}

std::string VirtualObject::modelName() const {
  std::string name = referenceURL()->lastPathComponent();
  static const std::string kExtension = ".scn";
  // Removal in one left-to-right pass over the original text, as a replace-all does:
  // "my.scnery.scn" loses both occurrences, and no new occurrence is formed by a removal.
  std::string result;
  size_t from = 0;
  for (size_t at = name.find(kExtension); at != std::string::npos;
       at = name.find(kExtension, from)) {
    result.append(name, from, at - from);
    from = at + kExtension.size();
  }
  result.append(name, from, std::string::npos);
  return result;
}

std::shared_ptr<ARAnchor> VirtualObject::anchor() const {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  return anchor_;
}
void VirtualObject::setAnchor(std::shared_ptr<ARAnchor> anchor) {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  anchor_ = std::move(anchor);
}
bool VirtualObject::shouldUpdateAnchor() const {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  return should_update_anchor_;
}
void VirtualObject::setShouldUpdateAnchor(bool value) {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  should_update_anchor_ = value;
}
std::optional<ARRaycastQuery> VirtualObject::raycastQuery() const {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  return raycast_query_;
}
void VirtualObject::setRaycastQuery(std::optional<ARRaycastQuery> query) {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  raycast_query_ = std::move(query);
}
std::shared_ptr<ARTrackedRaycast> VirtualObject::raycast() const {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  return raycast_;
}
void VirtualObject::setRaycast(std::shared_ptr<ARTrackedRaycast> raycast) {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  raycast_ = std::move(raycast);
}
std::optional<ARRaycastResult> VirtualObject::mostRecentInitialPlacementResult() const {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  return most_recent_initial_placement_result_;
}
void VirtualObject::setMostRecentInitialPlacementResult(std::optional<ARRaycastResult> result) {
  std::lock_guard<std::mutex> lock(placement_mutex_);
  most_recent_initial_placement_result_ = std::move(result);
}

void VirtualObject::stopTrackedRaycast() {
  std::shared_ptr<ARTrackedRaycast> raycast;
  {
    std::lock_guard<std::mutex> lock(placement_mutex_);
    raycast = std::move(raycast_);
    raycast_ = nullptr;
  }
  // Stopped outside the lock: stopping may wait for a handler that reads this object.
  if (raycast != nullptr) raycast->stopTracking();
}

float VirtualObject::objectRotation() const {
  const auto children = childNodes();
  if (children.empty()) return 0;
  return children.front()->eulerAngles().y;
}

void VirtualObject::setObjectRotation(float rotation) {
  const auto children = childNodes();
  if (children.empty()) return;
  SCNVector3 angles = children.front()->eulerAngles();
  angles.y = rotation;
  children.front()->setEulerAngles(angles);
}

float VirtualObject::modelWidth() const {
  SCNVector3 min, max;
  getBoundingBox(&min, &max);
  return max.x - min.x;
}

float VirtualObject::modelHeight() const {
  SCNVector3 min, max;
  getBoundingBox(&min, &max);
  return max.y - min.y;
}

std::shared_ptr<VirtualObject> VirtualObject::existingObjectContainingNode(
    const std::shared_ptr<SCNNode>& node) {
  for (std::shared_ptr<SCNNode> current = node; current != nullptr;
       current = current->parentNode()) {
    if (auto object = std::dynamic_pointer_cast<VirtualObject>(current)) return object;
  }
  return nullptr;
}
