#ifndef VIEWS_FOCUS_SQUARE_H_
#define VIEWS_FOCUS_SQUARE_H_

// FocusSquare: the square outline the placement view shows where a model would go.
//
// It floats 0.8 in front of the camera, open and facing it, while nothing usable is hit
// (`initializing`); on a hit it sits at the mean of the latest hit positions, scaled with the
// distance to the camera, open when the hit is not on a detected plane and closed (with a flash
// of its fill the first time a plane is met) when it is. Its outline is eight corner segments
// (focus_square_segment.h) on a positioning node, over a fill plane that shows only in a flash.
//
//   auto square = FocusSquare::init();             // fades in and opens
//   root->addChildNode(square);
//   square->setState(FocusSquare::State::detecting(result, frame->camera()));   // update queue
//   square->hide();                                 // main thread; fades out over 0.5 s
//
// Timing: opening takes 0.175 s and then pulses; closing takes 0.525 s, with a keyframe scale
// bounce of 0.7 s; a flash runs from 0.525 s to 0.7 s. A request to open or close while the
// square animates is dropped (the next frame's state repeats it). Turns of the square follow
// the hit's surface on the first level frame and then every 30th; while the camera looks
// steeply down they follow its yaw instead.
//
// Threads: `state` is set on one serial queue (the view's update queue), where the transaction
// completions also run (they go back to the queue that committed them); hide() and unhide() run
// on the main thread. The animation flags are atomics; the rest of the square's own data sits
// behind a lock held while a state change runs.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/arkit/ar_session.h"
#include "platform/foundation/ns_keyed_archiver.h"
#include "platform/scenekit/scn_action.h"
#include "platform/scenekit/scn_node.h"
#include "platform/scenekit/scn_plane.h"
#include "platform/simd/simd.h"
#include "platform/uikit/ui_color.h"

class FocusSquare : public SCNNode {
 public:
  enum class Corner { topLeft, topRight, bottomRight, bottomLeft };
  enum class Alignment { horizontal, vertical };
  enum class Direction { up, down, left, right };
  // up <-> down, left <-> right.
  static Direction reversed(Direction direction);

  class Segment;

  // Where the square is: hit by the screen-centre raycast (with the frame's camera), or not.
  // Detecting values are equal only when they hold the same result and camera objects, so
  // every new frame's result is a change.
  class State {
   public:
    static State initializing() { return State(); }
    static State detecting(std::shared_ptr<const ARRaycastResult> raycastResult,
                           std::shared_ptr<ARCamera> camera);
    bool isDetecting() const { return raycast_result_ != nullptr; }
    const std::shared_ptr<const ARRaycastResult>& raycastResult() const {
      return raycast_result_;
    }
    const std::shared_ptr<ARCamera>& camera() const { return camera_; }
    friend bool operator==(const State& a, const State& b) {
      return a.raycast_result_ == b.raycast_result_ && a.camera_ == b.camera_;
    }

   private:
    State() = default;
    std::shared_ptr<const ARRaycastResult> raycast_result_;
    std::shared_ptr<ARCamera> camera_;
  };

  static constexpr float size = 0.17f;
  static constexpr float thickness = 0.018f;
  static constexpr float scaleForClosedSquare = 0.97f;
  static constexpr CGFloat sideLengthForOpenSegments = 0.2;
  static constexpr double animationDuration = 0.7;
  // (1, 0.8, 0, 1) and (1, 0.9254902, 0.4117647, 1), made once.
  static const std::shared_ptr<UIColor>& primaryColor();
  static const std::shared_ptr<UIColor>& fillColor();

  // Builds the node tree and starts in the initializing look (fading in, opening).
  static std::shared_ptr<FocusSquare> init();
  // Squares are not read from archives: always null.
  static std::shared_ptr<FocusSquare> initWithCoder(NSCoder* coder);

  State state() const;
  // Acts only when the value differs from the current one.
  void setState(State state);
  // The raw hit position (not the averaged one) while detecting.
  std::optional<simd_float3> lastPosition() const;

  void hide();
  void unhide();
  void setPosition(const ARRaycastResult& result, const std::shared_ptr<ARCamera>& camera);
  void updateOrientation(const ARRaycastResult& result);
  // Rendering order 2 and no depth test for the whole outline when on top; 0 and depth when not.
  void displayNodeHierarchyOnTop(bool isOnTop);

  // For inspection.
  bool isOpen() const { return is_open_.load(); }
  bool isAnimating() const { return is_animating_.load(); }
  bool isChangingOrientation() const { return is_changing_orientation_.load(); }
  bool isPointingDownwards() const { return is_pointing_downwards_.load(); }
  std::vector<simd_float3> recentFocusSquarePositions() const;
  size_t visitedPlaneCount() const;
  long counterToNextOrientationUpdate() const;
  const std::vector<std::shared_ptr<Segment>>& segments() const { return segments_; }
  const std::shared_ptr<SCNNode>& positioningNode() const { return positioning_node_; }
  const std::shared_ptr<SCNNode>& fillPlane() const { return fill_plane_; }

  FocusSquare() = default;

 private:
  void Build();
  void displayAsBillboard();
  void displayAsOpen(const ARRaycastResult& result, const std::shared_ptr<ARCamera>& camera);
  void displayAsClosed(const ARRaycastResult& result,
                       const std::shared_ptr<ARPlaneAnchor>& planeAnchor,
                       const std::shared_ptr<ARCamera>& camera);
  void SetPositionLocked(const ARRaycastResult& result, const std::shared_ptr<ARCamera>& camera);
  void updateTransform(const ARRaycastResult& result, const std::shared_ptr<ARCamera>& camera);
  float scaleBasedOnDistance(const std::shared_ptr<ARCamera>& camera) const;
  void performOpenAnimation();
  void performCloseAnimation(bool flash);
  std::shared_ptr<FocusSquare> SharedSelf() {
    return std::static_pointer_cast<FocusSquare>(shared_from_this());
  }

  mutable std::mutex mu_;  // state, positions, visited planes, counter
  State state_ = State::initializing();
  std::atomic<bool> is_open_{false};
  std::atomic<bool> is_animating_{false};
  std::atomic<bool> is_changing_orientation_{false};
  std::atomic<bool> is_pointing_downwards_{true};
  std::vector<simd_float3> recent_focus_square_positions_;
  std::set<std::shared_ptr<ARAnchor>> anchors_of_visited_planes_;
  std::vector<std::shared_ptr<Segment>> segments_;
  const std::shared_ptr<SCNNode> positioning_node_ = SCNNode::node();
  long counter_to_next_orientation_update_ = 0;
  std::shared_ptr<SCNNode> fill_plane_;
};

#endif  // VIEWS_FOCUS_SQUARE_H_
