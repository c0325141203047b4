#ifndef VIEWS_VIRTUAL_OBJECT_H_
#define VIEWS_VIRTUAL_OBJECT_H_

// VirtualObject: one loadable model that the views place in the AR scene. A reference node
// over a scene file (type "scn") plus the placement state the base view keeps for it: its
// session anchor, the raycast query it was placed with, the tracked raycast that keeps moving
// it, the first placement result, and whether the next tracked update renews the anchor.
//
//   auto object = VirtualObject::initWithURL(NSURL::fileURLWithPath(".../art.scnassets/chair.scn"));
//   object->load();                              // children read from the file, in file order
//   object->modelName();                         // "chair"
//   object->setObjectRotation(0.5f);             // turns the first child about y
//   VirtualObject::existingObjectContainingNode(hit.node);   // the object a hit belongs to
//
// The placement fields are written by the main thread and read by tracked-raycast handlers and
// the update queue; they sit behind a small lock, so each read or write is whole. The node
// tree locks inside (platform nodes). Destroying an object does not stop its tracked raycast.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/arkit/ar_session.h"
#include "platform/foundation/ns_url.h"
#include "platform/scenekit/scn_scene.h"

class VirtualObject : public SCNReferenceNode {
 public:
  // Null when the reference node refuses the URL (a null URL). The file is not read yet.
  static std::shared_ptr<VirtualObject> initWithURL(std::shared_ptr<NSURL> url);
  explicit VirtualObject(std::shared_ptr<NSURL> url) : SCNReferenceNode(std::move(url)) {}

  // The reference URL's last path component with every ".scn" removed (case-sensitive):
  // "a.scn.scn" -> "a", "my.scnery.scn" -> "myery", "Chair.SCN" unchanged.
  virtual std::string modelName() const;

  std::shared_ptr<ARAnchor> anchor() const;
  void setAnchor(std::shared_ptr<ARAnchor> anchor);
  bool shouldUpdateAnchor() const;
  void setShouldUpdateAnchor(bool value);
  std::optional<ARRaycastQuery> raycastQuery() const;
  void setRaycastQuery(std::optional<ARRaycastQuery> query);
  std::shared_ptr<ARTrackedRaycast> raycast() const;
  void setRaycast(std::shared_ptr<ARTrackedRaycast> raycast);
  std::optional<ARRaycastResult> mostRecentInitialPlacementResult() const;
  void setMostRecentInitialPlacementResult(std::optional<ARRaycastResult> result);

  // Stops the tracked raycast, if any, and forgets it.
  virtual void stopTrackedRaycast();

  // The y Euler angle (radians) of the first child node. Without children it reads 0 and
  // writes are ignored; the object's own transform is never touched.
  virtual float objectRotation() const;
  virtual void setObjectRotation(float rotation);

  // The extent of the object's own bounding box along x and y.
  virtual float modelWidth() const;
  virtual float modelHeight() const;

  // The innermost VirtualObject among the node and its ancestors; null when there is none.
  static std::shared_ptr<VirtualObject> existingObjectContainingNode(
      const std::shared_ptr<SCNNode>& node);

 protected:
  // Copies are virtual objects too, with fresh placement state.
  std::shared_ptr<SCNNode> MakeEmptyCopy() const override {
    return std::make_shared<VirtualObject>(referenceURL());
  }

 private:
  mutable std::mutex placement_mutex_;
  std::shared_ptr<ARAnchor> anchor_;
  bool should_update_anchor_ = false;
  std::optional<ARRaycastQuery> raycast_query_;
  std::shared_ptr<ARTrackedRaycast> raycast_;
  std::optional<ARRaycastResult> most_recent_initial_placement_result_;
};

#endif  // VIEWS_VIRTUAL_OBJECT_H_
