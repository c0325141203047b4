#include "views/focus_square.h"

#include <cmath>
#include <utility>

#include "platform/scenekit/scn_transaction.h"
#include "views/extensions.h"
#include "views/focus_square_segment.h"

namespace {

std::shared_ptr<CAMediaTimingFunction> Timing(const CAMediaTimingFunctionName& name) {
  return CAMediaTimingFunction::functionWithName(name);
}

// A slow breathing of the open square.
std::shared_ptr<SCNAction> pulseAction() {
  auto pulse_out = SCNAction::fadeOpacityTo(0.4, 0.5);
  pulse_out->setTimingMode(SCNActionTimingModeEaseInEaseOut);
  auto pulse_in = SCNAction::fadeOpacityTo(1.0, 0.5);
  pulse_in->setTimingMode(SCNActionTimingModeEaseInEaseOut);
  return SCNAction::repeatActionForever(SCNAction::sequence({pulse_out, pulse_in}));
}

// The segments' colour washes out to saturation 0.3 and back over `duration`.
std::shared_ptr<SCNAction> flashAnimation(double duration) {
  return SCNAction::customActionWithDuration(duration, [duration](SCNNode& node, CGFloat elapsed) {
    const double p = elapsed / duration;
    const double saturation = 2.8 * (p - 0.5) * (p - 0.5) + 0.3;
    const std::shared_ptr<SCNGeometry> geometry = node.geometry();
    if (geometry == nullptr || geometry->materials().empty()) return;
    geometry->firstMaterial()->diffuse().setContents(
        UIColor::colorWithHue(0.1333, saturation, 1.0, 1.0));
  });
}

// The bounce of closing, on one axis of the scale.
std::shared_ptr<CAKeyframeAnimation> scaleAnimation(const std::string& keyPath) {
  auto animation = CAKeyframeAnimation::animationWithKeyPath(keyPath);
  const double s = FocusSquare::size;
  const double c = static_cast<double>(FocusSquare::size * FocusSquare::scaleForClosedSquare);
  animation->setValues({s, s * 1.15, s * 1.15, c * 0.97, c});
  animation->setKeyTimes({0, 0.25, 0.5, 0.75, 1});
  animation->setTimingFunctions(
      {Timing(kCAMediaTimingFunctionEaseOut), Timing(kCAMediaTimingFunctionLinear),
       Timing(kCAMediaTimingFunctionEaseOut), Timing(kCAMediaTimingFunctionEaseInEaseOut)});
  animation->setDuration(FocusSquare::animationDuration);
  return animation;
}

std::shared_ptr<SCNNode> MakeFillPlane() {
  const CGFloat t = FocusSquare::thickness;
  auto plane = SCNPlaneGeometry::planeWithWidth(1 - 2 * t + t / 2, 1 - 2 * t + t / 2);
  auto node = SCNNode::nodeWithGeometry(plane);
  node->setName("fillPlane");
  node->setOpacity(0);
  const std::shared_ptr<SCNMaterial> material = plane->firstMaterial();
  material->diffuse().setContents(FocusSquare::fillColor());
  material->setDoubleSided(true);
  material->ambient().setContents(UIColor::blackColor());
  material->setLightingModelName(SCNLightingModelConstant);
  material->emission().setContents(FocusSquare::fillColor());
  return node;
}

}  // namespace

FocusSquare::State FocusSquare::State::detecting(
    std::shared_ptr<const ARRaycastResult> raycastResult, std::shared_ptr<ARCamera> camera) {
  State state;
  state.raycast_result_ = std::move(raycastResult);
  state.camera_ = std::move(camera);
  return state;
}

const std::shared_ptr<UIColor>& FocusSquare::primaryColor() {
  static const auto* const color = new std::shared_ptr<UIColor>(
      UIColor::colorWithRed(1.0f, 0.8f, 0.0f, 1.0f));
  return *color;
}

const std::shared_ptr<UIColor>& FocusSquare::fillColor() {
  static const auto* const color = new std::shared_ptr<UIColor>(
      UIColor::colorWithRed(1.0f, 0.9254902f, 0.4117647f, 1.0f));
  return *color;
}

std::shared_ptr<FocusSquare> FocusSquare::init() {
  auto square = std::make_shared<FocusSquare>();
  square->Build();
  return square;
}

std::shared_ptr<FocusSquare> FocusSquare::initWithCoder(NSCoder*) { return nullptr; }

void FocusSquare::Build() {
  setOpacity(0);
  const float h = thickness / 2;
  struct Place {
    const char* name;
    Corner corner;
    Alignment alignment;
    simd_float3 offset;
  };
  const Place places[] = {
      {"s1", Corner::topLeft, Alignment::horizontal, {-(0.25f - h), -(0.5f - h), 0}},
      {"s2", Corner::topRight, Alignment::horizontal, {0.25f - h, -(0.5f - h), 0}},
      {"s3", Corner::topLeft, Alignment::vertical, {-0.5f, -0.25f, 0}},
      {"s4", Corner::topRight, Alignment::vertical, {0.5f, -0.25f, 0}},
      {"s5", Corner::bottomLeft, Alignment::vertical, {-0.5f, 0.25f, 0}},
      {"s6", Corner::bottomRight, Alignment::vertical, {0.5f, 0.25f, 0}},
      {"s7", Corner::bottomLeft, Alignment::horizontal, {-(0.25f - h), 0.5f - h, 0}},
      {"s8", Corner::bottomRight, Alignment::horizontal, {0.25f - h, 0.5f - h, 0}},
  };
  for (const Place& place : places) {
    auto segment = Segment::init(place.name, place.corner, place.alignment);
    segment->setSimdPosition(segment->simdPosition() + place.offset);
    segments_.push_back(std::move(segment));
  }
  simd_float3 euler = positioning_node_->simdEulerAngles();
  euler.x = static_cast<float>(M_PI / 2);
  positioning_node_->setSimdEulerAngles(euler);
  const float c = size * scaleForClosedSquare;
  positioning_node_->setSimdScale({c, c, c});
  for (const auto& segment : segments_) positioning_node_->addChildNode(segment);
  fill_plane_ = MakeFillPlane();
  positioning_node_->addChildNode(fill_plane_);
  displayNodeHierarchyOnTop(true);
  addChildNode(positioning_node_);
  std::lock_guard<std::mutex> lock(mu_);
  displayAsBillboard();
}

FocusSquare::State FocusSquare::state() const {
  std::lock_guard<std::mutex> lock(mu_);
  return state_;
}

void FocusSquare::setState(State state) {
  std::lock_guard<std::mutex> lock(mu_);
  if (state == state_) return;
  state_ = std::move(state);
  if (!state_.isDetecting()) {
    displayAsBillboard();
    return;
  }
  const ARRaycastResult& result = *state_.raycastResult();
  if (auto plane = std::dynamic_pointer_cast<ARPlaneAnchor>(result.anchor)) {
    displayAsClosed(result, plane, state_.camera());
  } else {
    displayAsOpen(result, state_.camera());
  }
}

std::optional<simd_float3> FocusSquare::lastPosition() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!state_.isDetecting()) return std::nullopt;
  return translation(state_.raycastResult()->worldTransform);
}

std::vector<simd_float3> FocusSquare::recentFocusSquarePositions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return recent_focus_square_positions_;
}

size_t FocusSquare::visitedPlaneCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return anchors_of_visited_planes_.size();
}

long FocusSquare::counterToNextOrientationUpdate() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counter_to_next_orientation_update_;
}

// --- Placing and turning (mu_ held) --------------------------------------------------------------

void FocusSquare::displayAsBillboard() {
  setSimdTransform(matrix_identity_float4x4);
  simd_float3 euler = simdEulerAngles();
  euler.x = static_cast<float>(M_PI / 2);
  setSimdEulerAngles(euler);
  setSimdPosition({0, 0, -0.8f});
  unhide();
  performOpenAnimation();
}

void FocusSquare::displayAsOpen(const ARRaycastResult& result,
                                const std::shared_ptr<ARCamera>& camera) {
  performOpenAnimation();
  SetPositionLocked(result, camera);
}

void FocusSquare::displayAsClosed(const ARRaycastResult& result,
                                  const std::shared_ptr<ARPlaneAnchor>& planeAnchor,
                                  const std::shared_ptr<ARCamera>& camera) {
  const bool flash = !anchors_of_visited_planes_.contains(planeAnchor);
  performCloseAnimation(flash);
  anchors_of_visited_planes_.insert(planeAnchor);
  SetPositionLocked(result, camera);
}

void FocusSquare::setPosition(const ARRaycastResult& result,
                              const std::shared_ptr<ARCamera>& camera) {
  std::lock_guard<std::mutex> lock(mu_);
  SetPositionLocked(result, camera);
}

void FocusSquare::SetPositionLocked(const ARRaycastResult& result,
                                    const std::shared_ptr<ARCamera>& camera) {
  recent_focus_square_positions_.push_back(translation(result.worldTransform));
  updateTransform(result, camera);
}

void FocusSquare::updateTransform(const ARRaycastResult& result,
                                  const std::shared_ptr<ARCamera>& camera) {
  auto& positions = recent_focus_square_positions_;
  if (positions.size() > 10) positions.erase(positions.begin(), positions.end() - 10);
  simd_float3 sum = {0, 0, 0};
  for (const simd_float3& p : positions) sum = sum + p;
  setSimdPosition(sum / static_cast<float>(positions.size()));

  const float s = scaleBasedOnDistance(camera);
  setSimdScale({s, s, s});
  if (camera == nullptr) return;

  const float tilt = std::abs(camera->eulerAngles().x);
  const float threshold = static_cast<float>(M_PI / 2) * 0.75f;
  std::weak_ptr<FocusSquare> weak = SharedSelf();
  if (tilt > threshold) {
    // The camera looks steeply down or up: follow its yaw.
    if (is_changing_orientation_.load()) return;
    const simd_float4x4 t = camera->transform();
    const float yaw = std::atan2(t.columns[0].x, t.columns[1].x);
    is_changing_orientation_.store(true);
    SCNTransaction::begin();
    SCNTransaction::setCompletionBlock([weak] {
      if (auto self = weak.lock()) {
        self->is_changing_orientation_.store(false);
        self->is_pointing_downwards_.store(true);
      }
    });
    SCNTransaction::setAnimationDuration(is_pointing_downwards_.load() ? 0.0 : 0.5);
    setSimdOrientation(simd_quaternion(yaw, simd_make_float3(0, 1, 0)));
    SCNTransaction::commit();
    return;
  }
  // The camera is held level: follow the hit surface now and then.
  if (counter_to_next_orientation_update_ == 30 || is_pointing_downwards_.load()) {
    counter_to_next_orientation_update_ = 0;
    is_pointing_downwards_.store(false);
    SCNTransaction::begin();
    SCNTransaction::setAnimationDuration(0.5);
    updateOrientation(result);
    SCNTransaction::commit();
  }
  counter_to_next_orientation_update_ += 1;
}

float FocusSquare::scaleBasedOnDistance(const std::shared_ptr<ARCamera>& camera) const {
  if (camera == nullptr) return 1.0f;
  const float d = simd_distance(simdWorldPosition(), translation(camera->transform()));
  return d < 0.7f ? d / 0.7f : 0.25f * d + 0.825f;
}

void FocusSquare::updateOrientation(const ARRaycastResult& result) {
  setSimdOrientation(orientation(result.worldTransform));
}

// --- Appearance ----------------------------------------------------------------------------------

void FocusSquare::displayNodeHierarchyOnTop(bool isOnTop) {
  std::function<void(const std::shared_ptr<SCNNode>&)> visit =
      [&](const std::shared_ptr<SCNNode>& node) {
        node->setRenderingOrder(isOnTop ? 2 : 0);
        if (const std::shared_ptr<SCNGeometry> geometry = node->geometry()) {
          for (const auto& material : geometry->materials()) {
            material->setReadsFromDepthBuffer(!isOnTop);
          }
        }
        for (const auto& child : node->childNodes()) visit(child);
      };
  visit(positioning_node_);
}

void FocusSquare::hide() {
  if (actionForKey("hide") != nullptr) return;
  displayNodeHierarchyOnTop(false);
  runAction(SCNAction::fadeOpacityTo(0, 0.5), "hide");
}

void FocusSquare::unhide() {
  if (actionForKey("unhide") != nullptr) return;
  displayNodeHierarchyOnTop(true);
  runAction(SCNAction::fadeOpacityTo(1, 0.5), "unhide");
}

void FocusSquare::performOpenAnimation() {
  if (is_open_.load() || is_animating_.load()) return;
  is_open_.store(true);
  is_animating_.store(true);
  std::weak_ptr<FocusSquare> weak = SharedSelf();

  SCNTransaction::begin();
  SCNTransaction::setAnimationTimingFunction(Timing(kCAMediaTimingFunctionEaseOut));
  SCNTransaction::setAnimationDuration(animationDuration / 4);
  positioning_node_->setOpacity(1.0f);
  for (const auto& segment : segments_) segment->open();
  SCNTransaction::setCompletionBlock([weak] {
    auto self = weak.lock();
    if (self == nullptr) return;
    self->positioning_node_->runAction(pulseAction(), "pulse");
    self->is_animating_.store(false);
  });
  SCNTransaction::commit();

  SCNTransaction::begin();
  SCNTransaction::setAnimationTimingFunction(Timing(kCAMediaTimingFunctionEaseOut));
  SCNTransaction::setAnimationDuration(animationDuration / 4);
  positioning_node_->setSimdScale({size, size, size});
  SCNTransaction::commit();
}

void FocusSquare::performCloseAnimation(bool flash) {
  if (!is_open_.load() || is_animating_.load()) return;
  is_open_.store(false);
  is_animating_.store(true);
  std::weak_ptr<FocusSquare> weak = SharedSelf();

  positioning_node_->removeActionForKey("pulse");
  positioning_node_->setOpacity(1.0f);

  SCNTransaction::begin();
  SCNTransaction::setAnimationTimingFunction(Timing(kCAMediaTimingFunctionEaseOut));
  SCNTransaction::setAnimationDuration(animationDuration / 2);
  positioning_node_->setOpacity(0.99f);
  SCNTransaction::setCompletionBlock([weak] {
    auto self = weak.lock();
    if (self == nullptr) return;
    SCNTransaction::begin();
    SCNTransaction::setAnimationTimingFunction(Timing(kCAMediaTimingFunctionEaseOut));
    SCNTransaction::setAnimationDuration(animationDuration / 4);
    for (const auto& segment : self->segments_) segment->close();
    SCNTransaction::setCompletionBlock([weak] {
      if (auto self = weak.lock()) self->is_animating_.store(false);
    });
    SCNTransaction::commit();
  });
  SCNTransaction::commit();

  for (const char* key : {"transform.scale.x", "transform.scale.y", "transform.scale.z"}) {
    positioning_node_->addAnimation(scaleAnimation(key), key);
  }

  if (!flash) return;
  auto wait = SCNAction::waitForDuration(animationDuration * 0.75);
  auto fill_in = SCNAction::fadeOpacityTo(0.25, animationDuration * 0.125);
  auto fill_out = SCNAction::fadeOpacityTo(0, animationDuration * 0.125);
  fill_plane_->runAction(SCNAction::sequence({wait, fill_in, fill_out}));
  auto flash_action = flashAnimation(animationDuration * 0.25);
  for (const auto& segment : segments_) {
    segment->runAction(SCNAction::sequence({wait, flash_action}));
  }
}
