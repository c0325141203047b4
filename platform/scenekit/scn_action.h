#ifndef PLATFORM_SCENEKIT_SCN_ACTION_H_
#define PLATFORM_SCENEKIT_SCN_ACTION_H_

// Node actions, on the dispatch stand-in's clock.
//
//   node->runAction(SCNAction::fadeOpacityTo(0, 0.5), "hide");
//   auto pulse = SCNAction::repeatActionForever(SCNAction::sequence(
//       {SCNAction::fadeOpacityTo(0.4, 0.5), SCNAction::fadeOpacityTo(1, 0.5)}));
//   node->runAction(pulse, "pulse");
//   platform::dispatch::AdvanceVirtualTime(std::chrono::milliseconds(250));   // opacity 0.7
//
// An action runs from the clock's time when runAction is called; it is applied once at once
// (elapsed 0) and then whenever the clock moves: in virtual time each time
// AdvanceVirtualTime stops (the end of every finite action is such a stop), in real time at
// each rendered frame of a scene view. Values move linearly whatever the timing mode, which is
// recorded. A finished action leaves its node, and its completion runs on the thread that
// stepped it. One action object may run on several nodes at once; each run keeps its own
// progress. Running an action under a key replaces the action running under that key.
//
// Times are read from the clock that is current (dispatch's virtual or monotonic one): start
// actions after switching virtual time on, or they wait for the other clock's time.
//
// Actions are built once and then only read; everything here is thread-safe.

#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/coregraphics/geometry.h"
#include "platform/scenekit/scn_types.h"

class SCNNode;

enum SCNActionTimingMode : long {
  SCNActionTimingModeLinear = 0,
  SCNActionTimingModeEaseIn = 1,
  SCNActionTimingModeEaseOut = 2,
  SCNActionTimingModeEaseInEaseOut = 3,
};

class SCNAction {
 public:
  enum class Kind { kFadeTo, kWait, kSequence, kRepeatForever, kCustom, kRotateBy, kScaleBy, kScaleTo };
  using CustomBlock = std::function<void(SCNNode& node, CGFloat elapsedTime)>;

  static std::shared_ptr<SCNAction> fadeOpacityTo(CGFloat opacity, double duration);
  static std::shared_ptr<SCNAction> waitForDuration(double duration);
  static std::shared_ptr<SCNAction> sequence(std::vector<std::shared_ptr<SCNAction>> actions);
  static std::shared_ptr<SCNAction> repeatActionForever(std::shared_ptr<SCNAction> action);
  static std::shared_ptr<SCNAction> customActionWithDuration(double duration, CustomBlock block);
  // Turns by `angle` radians about `axis` (the node's local axis), relative to where it is.
  static std::shared_ptr<SCNAction> rotateByAngle(CGFloat angle, SCNVector3 axis,
                                                  double duration);
  // Multiplies the scale by `factor`; scaleTo sets it to `scale` on all three axes.
  static std::shared_ptr<SCNAction> scaleBy(CGFloat factor, double duration);
  static std::shared_ptr<SCNAction> scaleTo(CGFloat scale, double duration);

  Kind kind() const { return kind_; }
  // Seconds; infinite for a forever repetition.
  double duration() const;
  SCNActionTimingMode timingMode() const { return timing_mode_; }
  void setTimingMode(SCNActionTimingMode mode) { timing_mode_ = mode; }
  // The target of a fade, rotation (the angle) or scale.
  CGFloat value() const { return value_; }
  SCNVector3 axis() const { return axis_; }
  const std::vector<std::shared_ptr<SCNAction>>& actions() const { return actions_; }
  const CustomBlock& block() const { return block_; }

  SCNAction(Kind kind, double duration) : kind_(kind), duration_(duration) {}

 private:
  const Kind kind_;
  const double duration_;
  SCNActionTimingMode timing_mode_ = SCNActionTimingModeLinear;
  CGFloat value_ = 0;
  SCNVector3 axis_;
  std::vector<std::shared_ptr<SCNAction>> actions_;
  CustomBlock block_;
};

namespace platform::scenekit {

// Steps every running action to the clock's current time and ends finished animations. Scene
// views call it once per frame; in virtual time the clock does it.
void StepActions();

}  // namespace platform::scenekit

#endif  // PLATFORM_SCENEKIT_SCN_ACTION_H_
