// Placement of virtual objects: a raycast from the view's centre puts an object on a surface,
// a tracked raycast keeps it there (the first update attaches it to the scene and gives it an
// anchor), and removal detaches, unloads and forgets it.

#include <utility>

#include "base/logging.h"
#include "platform/uikit/console.h"
#include "views/base_ar_scn_view.h"
#include "views/extensions.h"

std::shared_ptr<VirtualObject> BaseARSCNView::virtualObject(CGPoint point) {
  const std::vector<SCNHitTestResult> hits =
      hitTest(point, {{SCNHitTestBoundingBoxOnlyKey, true}});
  for (const SCNHitTestResult& hit : hits) {
    if (auto object = VirtualObject::existingObjectContainingNode(hit.node)) return object;
  }
  return nullptr;
}

void BaseARSCNView::addOrUpdateAnchor(const std::shared_ptr<VirtualObject>& object) {
  if (auto old = object->anchor()) session()->removeAnchor(old);
  auto anchor = std::make_shared<ARAnchor>(object->simdWorldTransform());
  object->setAnchor(anchor);
  session()->addAnchor(anchor);
}

void BaseARSCNView::removeVirtualObject(const std::shared_ptr<VirtualObject>& object) {
  object->stopTrackedRaycast();
  object->removeFromParentNode();
  if (auto delegate = events_delegate()) delegate->itemRemoved(object);
}

void BaseARSCNView::removeAllVirtualObjects() {
  const long count = static_cast<long>(shownVirtualObjects().size());
  for (long index = count - 1; index >= 0; --index) {
    std::shared_ptr<VirtualObject> object;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (index >= static_cast<long>(shown_virtual_objects_.size())) return;
      object = shown_virtual_objects_[index];
    }
    if (object == nullptr) return;
    removeVirtualObject(object);
    objectLoader()->unloadObject(object->modelName());
    std::lock_guard<std::mutex> lock(mutex_);
    // The delegate may have changed the list meanwhile; remove only what is still there.
    if (index < static_cast<long>(shown_virtual_objects_.size()) &&
        shown_virtual_objects_[index] == object) {
      shown_virtual_objects_.erase(shown_virtual_objects_.begin() + index);
    }
  }
}

void BaseARSCNView::placeVirtualObject(const std::shared_ptr<VirtualObject>& object) {
  std::shared_ptr<ARRaycastQuery> query = getRaycastQuery(*this, usedPlaneAlignment());
  std::vector<ARRaycastResult> results;
  if (query != nullptr) results = castRay(*this, *query);
  if (!results.empty()) {
    object->setMostRecentInitialPlacementResult(results.front());
    object->setRaycastQuery(*query);
  } else {
    object->setMostRecentInitialPlacementResult(std::nullopt);
    object->setRaycastQuery(std::nullopt);
  }

  const std::optional<ARRaycastQuery> placed_query = object->raycastQuery();
  if (!placed_query.has_value()) {
    print("CANNOT PLACE OBJECT Try moving left or right.");
    return;
  }
  object->setRaycast(createTrackedRaycastAndSet3DPosition(
      object, *placed_query, object->mostRecentInitialPlacementResult()));
  object->setHidden(false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_virtual_objects_.push_back(object);
  }
  if (auto delegate = events_delegate()) delegate->itemPlaced(object);
}

std::shared_ptr<ARTrackedRaycast> BaseARSCNView::createTrackedRaycastAndSet3DPosition(
    const std::shared_ptr<VirtualObject>& object, const ARRaycastQuery& query,
    std::optional<ARRaycastResult> withInitialResult) {
  if (withInitialResult.has_value()) setTransform(object, *withInitialResult);
  // The handler keeps the view and the object until the raycast is stopped.
  return session()->trackedRaycast(
      query, [self = SharedSelf(), object](std::vector<ARRaycastResult> results) {
        self->setVirtualObject3DPosition(results, object);
      });
}

void BaseARSCNView::setVirtualObject3DPosition(const std::vector<ARRaycastResult>& results,
                                               const std::shared_ptr<VirtualObject>& object) {
  CHECK(!results.empty())
      << "Unexpected case: the update handler is always supposed to return at least one result.";
  setTransform(object, results.front());
  if (object->parentNode() == nullptr) {
    scene()->rootNode()->addChildNode(object);
    object->setShouldUpdateAnchor(true);
  }
  if (object->shouldUpdateAnchor()) {
    object->setShouldUpdateAnchor(false);
    dispatch_async(update_queue_,
                   [self = SharedSelf(), object] { self->addOrUpdateAnchor(object); });
  }
}

void BaseARSCNView::createRaycastAndUpdate3DPosition(const std::shared_ptr<VirtualObject>& object,
                                                     const ARRaycastQuery& query) {
  const std::vector<ARRaycastResult> results = session()->raycast(query);
  if (!results.empty()) setTransform(object, results.front());
}

void BaseARSCNView::setTransform(const std::shared_ptr<VirtualObject>& object,
                                 const ARRaycastResult& result) {
  object->setSimdWorldTransform(result.worldTransform);
}
