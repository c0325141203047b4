// Actions and animations of nodes: what runs where, and stepping it on the shared clock.

#include "platform/scenekit/scn_action.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <utility>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/stand_in_hooks.h"
#include "platform/quartzcore/ca_animation.h"
#include "platform/scenekit/scn_node.h"

// --- Action objects ----------------------------------------------------------------------------

namespace {

std::shared_ptr<SCNAction> Make(SCNAction::Kind kind, double duration) {
  return std::make_shared<SCNAction>(kind, std::max(0.0, duration));
}

}  // namespace

std::shared_ptr<SCNAction> SCNAction::fadeOpacityTo(CGFloat opacity, double duration) {
  auto a = Make(Kind::kFadeTo, duration);
  a->value_ = opacity;
  return a;
}

std::shared_ptr<SCNAction> SCNAction::waitForDuration(double duration) {
  return Make(Kind::kWait, duration);
}

std::shared_ptr<SCNAction> SCNAction::sequence(std::vector<std::shared_ptr<SCNAction>> actions) {
  double total = 0;
  for (const auto& a : actions) total += a->duration();
  auto s = Make(Kind::kSequence, total);
  s->actions_ = std::move(actions);
  return s;
}

std::shared_ptr<SCNAction> SCNAction::repeatActionForever(std::shared_ptr<SCNAction> action) {
  auto r = Make(Kind::kRepeatForever, 0);
  r->actions_ = {std::move(action)};
  return r;
}

std::shared_ptr<SCNAction> SCNAction::customActionWithDuration(double duration,
                                                               CustomBlock block) {
  auto a = Make(Kind::kCustom, duration);
  a->block_ = std::move(block);
  return a;
}

std::shared_ptr<SCNAction> SCNAction::rotateByAngle(CGFloat angle, SCNVector3 axis,
                                                    double duration) {
  auto a = Make(Kind::kRotateBy, duration);
  a->value_ = angle;
  a->axis_ = axis;
  return a;
}

std::shared_ptr<SCNAction> SCNAction::scaleBy(CGFloat factor, double duration) {
  auto a = Make(Kind::kScaleBy, duration);
  a->value_ = factor;
  return a;
}

std::shared_ptr<SCNAction> SCNAction::scaleTo(CGFloat scale, double duration) {
  auto a = Make(Kind::kScaleTo, duration);
  a->value_ = scale;
  return a;
}

double SCNAction::duration() const {
  return kind_ == Kind::kRepeatForever ? std::numeric_limits<double>::infinity() : duration_;
}

// --- Progress of one action on one node ----------------------------------------------------------

namespace {

class Run {
 public:
  explicit Run(std::shared_ptr<SCNAction> action) : action_(std::move(action)) {}
  virtual ~Run() = default;
  // Applies the action as it stands `elapsed` seconds after its start; true once finished.
  bool Step(SCNNode& node, double elapsed) {
    const double d = action_->duration();
    // Durations add up in floating point while the clock counts nanoseconds: within a
    // nanosecond of its end an action has ended.
    const double f = elapsed >= d - 1e-9 ? 1.0 : std::clamp(elapsed / d, 0.0, 1.0);
    return Apply(node, elapsed, f);
  }

 protected:
  virtual bool Apply(SCNNode& node, double elapsed, double fraction) = 0;
  const std::shared_ptr<SCNAction> action_;
};

std::unique_ptr<Run> MakeRun(const std::shared_ptr<SCNAction>& action);

class FadeRun : public Run {
  using Run::Run;
  bool Apply(SCNNode& node, double, double f) override {
    if (!started_) {
      started_ = true;
      from_ = node.opacity();
    }
    node.setOpacity(f >= 1 ? static_cast<float>(action_->value())
                           : static_cast<float>(from_ + (action_->value() - from_) * f));
    return f >= 1;
  }
  bool started_ = false;
  double from_ = 0;
};

class WaitRun : public Run {
  using Run::Run;
  bool Apply(SCNNode&, double, double f) override { return f >= 1; }
};

class CustomRun : public Run {
  using Run::Run;
  bool Apply(SCNNode& node, double elapsed, double f) override {
    if (action_->block()) action_->block()(node, std::min(elapsed, action_->duration()));
    return f >= 1;
  }
};

// Relative actions apply only the part of their change since the previous step.
class RotateByRun : public Run {
  using Run::Run;
  bool Apply(SCNNode& node, double, double f) override {
    const double delta = action_->value() * (f - applied_);
    applied_ = f;
    if (delta != 0) {
      const SCNVector3 a = action_->axis();
      const simd_quatf turn =
          simd_quaternion(static_cast<float>(delta), simd_normalize(simd_make_float3(a.x, a.y, a.z)));
      node.setSimdOrientation(simd_mul(node.simdOrientation(), turn));
    }
    return f >= 1;
  }
  double applied_ = 0;
};

class ScaleByRun : public Run {
  using Run::Run;
  bool Apply(SCNNode& node, double, double f) override {
    const double step = std::pow(static_cast<double>(action_->value()), f - applied_);
    applied_ = f;
    if (step != 1) node.setSimdScale(node.simdScale() * static_cast<float>(step));
    return f >= 1;
  }
  double applied_ = 0;
};

class ScaleToRun : public Run {
  using Run::Run;
  bool Apply(SCNNode& node, double, double f) override {
    if (!started_) {
      started_ = true;
      from_ = node.simdScale();
    }
    const auto to = static_cast<float>(action_->value());
    node.setSimdScale(f >= 1 ? simd_make_float3(to, to, to)
                             : from_ + (simd_make_float3(to, to, to) - from_) * static_cast<float>(f));
    return f >= 1;
  }
  bool started_ = false;
  simd_float3 from_ = {1, 1, 1};
};

class SequenceRun : public Run {
  using Run::Run;
  bool Apply(SCNNode& node, double elapsed, double) override {
    const auto& children = action_->actions();
    while (index_ < children.size()) {
      if (current_ == nullptr) current_ = MakeRun(children[index_]);
      if (!current_->Step(node, elapsed - offset_)) return false;
      offset_ += children[index_]->duration();
      ++index_;
      current_.reset();
    }
    return true;
  }
  size_t index_ = 0;
  double offset_ = 0;
  std::unique_ptr<Run> current_;
};

class RepeatForeverRun : public Run {
  using Run::Run;
  bool Apply(SCNNode& node, double elapsed, double) override {
    const std::shared_ptr<SCNAction>& child = action_->actions().front();
    const double period = child->duration();
    // A jump over many periods replays each; an empty period repeats once per step.
    for (int rounds = 0; rounds < 100000; ++rounds) {
      if (current_ == nullptr) current_ = MakeRun(child);
      if (!current_->Step(node, elapsed - offset_)) break;
      current_.reset();
      if (!(period > 0)) break;
      offset_ += period;
    }
    return false;
  }
  double offset_ = 0;
  std::unique_ptr<Run> current_;
};

std::unique_ptr<Run> MakeRun(const std::shared_ptr<SCNAction>& action) {
  using Kind = SCNAction::Kind;
  switch (action->kind()) {
    case Kind::kFadeTo: return std::make_unique<FadeRun>(action);
    case Kind::kWait: return std::make_unique<WaitRun>(action);
    case Kind::kSequence: return std::make_unique<SequenceRun>(action);
    case Kind::kRepeatForever: return std::make_unique<RepeatForeverRun>(action);
    case Kind::kCustom: return std::make_unique<CustomRun>(action);
    case Kind::kRotateBy: return std::make_unique<RotateByRun>(action);
    case Kind::kScaleBy: return std::make_unique<ScaleByRun>(action);
    case Kind::kScaleTo: return std::make_unique<ScaleToRun>(action);
  }
  return std::make_unique<WaitRun>(action);
}

// --- What runs on which node -------------------------------------------------------------------

struct RunningAction {
  std::string key;
  std::shared_ptr<SCNAction> action;
  dispatch_time_t start = 0;
  std::function<void()> completion;
  std::mutex mu;  // guards run and finished
  std::unique_ptr<Run> run;
  bool finished = false;
};

struct RunningAnimation {
  std::string key;
  std::shared_ptr<CAAnimation> animation;
  dispatch_time_t end = 0;
};

struct NodeEntry {
  std::weak_ptr<SCNNode> node;
  std::vector<std::shared_ptr<RunningAction>> actions;
  std::vector<RunningAnimation> animations;
};

struct Registry {
  std::mutex mu;
  // Keyed by address; an entry whose weak node is gone (or is another node now) is stale.
  std::map<const SCNNode*, NodeEntry> nodes;
};

Registry& TheRegistry() {
  static Registry* const registry = new Registry;
  return *registry;
}

dispatch_time_t Now() { return dispatch_time(DISPATCH_TIME_NOW, 0); }

dispatch_time_t After(dispatch_time_t start, double seconds) {
  if (!std::isfinite(seconds)) return DISPATCH_TIME_FOREVER;
  return dispatch_time(start, static_cast<int64_t>(std::llround(seconds * 1e9)));
}

// In virtual time the clock must stop where something ends: a wake-up with nothing to do.
void StopClockAt(dispatch_time_t when) {
  static std::once_flag observing;
  std::call_once(observing, [] {
    platform::dispatch::AddVirtualClockObserver([](dispatch_time_t) {
      platform::scenekit::StepActions();
    });
  });
  if (when == DISPATCH_TIME_FOREVER || !platform::dispatch::IsVirtualTimeOn()) return;
  static const dispatch_queue_t wake_queue =
      dispatch_queue_create("SCNActionClock", DISPATCH_QUEUE_SERIAL);
  dispatch_after(when, wake_queue, [] {});
}

// The entry of `node`, made fresh when missing or stale. Registry lock held.
NodeEntry& EntryOf(Registry& r, const SCNNode& node) {
  NodeEntry& entry = r.nodes[&node];
  if (entry.node.lock().get() != &node) {
    entry = NodeEntry{};
    entry.node = const_cast<SCNNode&>(node).weak_from_this();
  }
  return entry;
}

const NodeEntry* FindEntry(Registry& r, const SCNNode& node) {
  const auto it = r.nodes.find(&node);
  if (it == r.nodes.end() || it->second.node.lock().get() != &node) return nullptr;
  return &it->second;
}

void Forget(const std::shared_ptr<RunningAction>& running, SCNNode& node) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.nodes.find(&node);
  if (it == r.nodes.end()) return;
  std::erase(it->second.actions, running);
}

// Steps one action on its node to `now`; runs its completion when it finished.
void StepOne(SCNNode& node, const std::shared_ptr<RunningAction>& running, dispatch_time_t now) {
  bool finished_now = false;
  {
    std::lock_guard<std::mutex> lock(running->mu);
    if (running->finished) return;
    const double elapsed =
        now > running->start ? static_cast<double>(now - running->start) / 1e9 : 0.0;
    if (running->run->Step(node, elapsed)) finished_now = running->finished = true;
  }
  if (!finished_now) return;
  Forget(running, node);
  if (running->completion) running->completion();
}

}  // namespace

void platform::scenekit::StepActions() {
  const dispatch_time_t now = Now();
  std::vector<std::pair<std::shared_ptr<SCNNode>, std::shared_ptr<RunningAction>>> work;
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    for (auto it = r.nodes.begin(); it != r.nodes.end();) {
      std::shared_ptr<SCNNode> node = it->second.node.lock();
      if (node == nullptr) {
        it = r.nodes.erase(it);
        continue;
      }
      std::erase_if(it->second.animations,
                    [&](const RunningAnimation& a) { return a.end <= now; });
      for (const auto& running : it->second.actions) work.emplace_back(node, running);
      ++it;
    }
  }
  for (const auto& [node, running] : work) StepOne(*node, running, now);
}

// --- SCNNode's action and animation methods ------------------------------------------------------

void SCNNode::runAction(std::shared_ptr<SCNAction> action, const std::string& key,
                        std::function<void()> completion) {
  if (action == nullptr) return;
  auto running = std::make_shared<RunningAction>();
  running->key = key;
  running->action = action;
  running->start = Now();
  running->completion = std::move(completion);
  running->run = MakeRun(action);
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    NodeEntry& entry = EntryOf(r, *this);
    if (!key.empty()) {
      std::erase_if(entry.actions, [&](const auto& a) { return a->key == key; });
    }
    entry.actions.push_back(running);
  }
  StopClockAt(After(running->start, action->duration()));
  StepOne(*this, running, running->start);
}

std::shared_ptr<SCNAction> SCNNode::actionForKey(const std::string& key) const {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  const NodeEntry* entry = FindEntry(r, *this);
  if (entry == nullptr || key.empty()) return nullptr;
  for (const auto& a : entry->actions) {
    if (a->key == key) return a->action;
  }
  return nullptr;
}

void SCNNode::removeActionForKey(const std::string& key) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (FindEntry(r, *this) == nullptr || key.empty()) return;
  std::erase_if(r.nodes[this].actions, [&](const auto& a) { return a->key == key; });
}

void SCNNode::removeAllActions() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (FindEntry(r, *this) == nullptr) return;
  r.nodes[this].actions.clear();
}

bool SCNNode::hasActions() const {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  const NodeEntry* entry = FindEntry(r, *this);
  return entry != nullptr && !entry->actions.empty();
}

void SCNNode::addAnimation(std::shared_ptr<CAAnimation> animation, const std::string& key) {
  if (animation == nullptr) return;
  const dispatch_time_t end = After(Now(), animation->effectiveDuration());
  {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mu);
    NodeEntry& entry = EntryOf(r, *this);
    std::erase_if(entry.animations, [&](const auto& a) { return a.key == key; });
    entry.animations.push_back(
        {key, animation, animation->isRemovedOnCompletion() ? end : DISPATCH_TIME_FOREVER});
  }
  StopClockAt(end);
}

std::shared_ptr<CAAnimation> SCNNode::animationForKey(const std::string& key) const {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  const NodeEntry* entry = FindEntry(r, *this);
  if (entry == nullptr) return nullptr;
  for (const auto& a : entry->animations) {
    if (a.key == key) return a.animation;
  }
  return nullptr;
}

std::vector<std::string> SCNNode::animationKeys() const {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  std::vector<std::string> keys;
  if (const NodeEntry* entry = FindEntry(r, *this)) {
    for (const auto& a : entry->animations) keys.push_back(a.key);
  }
  return keys;
}

void SCNNode::removeAnimationForKey(const std::string& key) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (FindEntry(r, *this) == nullptr) return;
  std::erase_if(r.nodes[this].animations, [&](const auto& a) { return a.key == key; });
}
