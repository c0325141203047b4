#include "views/focus_square.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/dispatch/dispatch.h"
#include "platform/scenekit/scn_transaction.h"
#include "views/focus_square_segment.h"

namespace {

using State = FocusSquare::State;

class FocusSquareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::dispatch::UseVirtualTime(true);
    platform::scenekit::ClearCommittedSCNTransactions();
  }
  void TearDown() override { platform::dispatch::UseVirtualTime(false); }
  // Moves the shared clock; completions committed here run on the main queue meanwhile.
  static void Advance(double seconds) {
    platform::dispatch::AdvanceVirtualTime(
        std::chrono::nanoseconds(static_cast<int64_t>(std::llround(seconds * 1e9))));
  }
  static std::shared_ptr<const ARRaycastResult> Hit(simd_float3 at,
                                                    std::shared_ptr<ARAnchor> anchor = nullptr,
                                                    simd_quatf turn = simd_quaternion(0.0f, simd_make_float3(0, 1, 0))) {
    auto r = std::make_shared<ARRaycastResult>();
    r->worldTransform = simd_matrix4x4(turn);
    r->worldTransform.columns[3] = simd_make_float4(at, 1);
    r->anchor = std::move(anchor);
    return r;
  }
  static std::shared_ptr<ARCamera> Camera(simd_float3 at, float pitch = 0) {
    simd_float4x4 t = simd_matrix4x4(simd_quaternion(pitch, simd_make_float3(1, 0, 0)));
    t.columns[3] = simd_make_float4(at, 1);
    return std::make_shared<ARCamera>(ARTrackingStateNormal, ARTrackingStateReasonNone, t,
                                      simd_make_float3(pitch, 0, 0));
  }
  static std::shared_ptr<ARPlaneAnchor> Plane() {
    return std::make_shared<ARPlaneAnchor>(matrix_identity_float4x4,
                                           ARPlaneAnchorAlignmentHorizontal,
                                           simd_make_float3(1, 0, 1));
  }
};

// An HSV to RGB conversion written apart from the one under test.
simd_double3 HsvToRgb(double h, double s, double v) {
  auto channel = [&](double n) {
    const double k = std::fmod(n + h * 6, 6);
    return v - v * s * std::max(0.0, std::min({k, 4 - k, 1.0}));
  };
  return {channel(5), channel(3), channel(1)};
}

void ExpectColor(const std::shared_ptr<UIColor>& c, simd_double3 rgb, double tolerance = 1e-4) {
  ASSERT_NE(c, nullptr);
  EXPECT_NEAR(c->red(), rgb.x, tolerance);
  EXPECT_NEAR(c->green(), rgb.y, tolerance);
  EXPECT_NEAR(c->blue(), rgb.z, tolerance);
}

std::shared_ptr<UIColor> Diffuse(const std::shared_ptr<SCNNode>& node) {
  return node->geometry()->materials().at(0)->diffuse().color();
}

TEST(FocusSquareColorTest, FlashHueAtFullSaturationIsThePrimaryColour) {
  ExpectColor(UIColor::colorWithHue(0.1333, 1, 1, 1), {1, 0.7998, 0}, 1e-9);
  for (double s : {0.3, 0.44, 0.7, 1.0}) {
    ExpectColor(UIColor::colorWithHue(0.1333, s, 1, 1), HsvToRgb(0.1333, s, 1), 1e-9);
  }
  for (double h : {0.0, 0.2, 0.45, 0.6, 0.8, 0.95}) {
    ExpectColor(UIColor::colorWithHue(h, 0.5, 0.8, 1), HsvToRgb(h, 0.5, 0.8), 1e-9);
  }
}

TEST_F(FocusSquareTest, BuildsTheOutlineAndFadesInOpenAndPulsing) {
  auto square = FocusSquare::init();
  EXPECT_FLOAT_EQ(square->opacity(), 0);
  const auto& segments = square->segments();
  ASSERT_EQ(segments.size(), 8u);
  const std::vector<simd_float2> closed = {{-0.241f, -0.491f}, {0.241f, -0.491f}, {-0.5f, -0.25f},
                                           {0.5f, -0.25f},     {-0.5f, 0.25f},    {0.5f, 0.25f},
                                           {-0.241f, 0.491f},  {0.241f, 0.491f}};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(segments[i]->name(), "s" + std::to_string(i + 1));
    EXPECT_EQ(segments[i]->parentNode(), square->positioningNode());
  }
  // Opening has already moved every segment 0.15 towards its corner.
  EXPECT_NEAR(segments[0]->simdPosition().x, closed[0].x - 0.15f, 1e-6);
  EXPECT_NEAR(segments[2]->simdPosition().y, closed[2].y - 0.15f, 1e-6);
  EXPECT_NEAR(segments[7]->simdPosition().x, closed[7].x + 0.15f, 1e-6);
  EXPECT_EQ(square->positioningNode()->childNodes().back(), square->fillPlane());
  EXPECT_FLOAT_EQ(square->fillPlane()->opacity(), 0);
  // The fill plane reaches to the middle of the outline's lines: 1 - 2t + t/2 with t = 0.018.
  auto plane = std::dynamic_pointer_cast<SCNPlaneGeometry>(square->fillPlane()->geometry());
  ASSERT_NE(plane, nullptr);
  EXPECT_NEAR(plane->width(), 0.973, 1e-6);
  EXPECT_NEAR(plane->height(), 0.973, 1e-6);
  EXPECT_NEAR(square->positioningNode()->simdEulerAngles().x, M_PI / 2, 1e-6);
  EXPECT_NEAR(square->simdPosition().z, -0.8f, 1e-6);
  EXPECT_TRUE(square->isOpen());
  EXPECT_TRUE(square->isAnimating());

  Advance(0.25);
  EXPECT_NEAR(square->opacity(), 0.5, 1e-5);
  EXPECT_FALSE(square->isAnimating());
  EXPECT_NE(square->positioningNode()->actionForKey("pulse"), nullptr);
  Advance(0.25);
  EXPECT_FLOAT_EQ(square->opacity(), 1);
  EXPECT_FLOAT_EQ(square->positioningNode()->simdScale().x, 0.17f);
  EXPECT_LT(square->positioningNode()->opacity(), 1);  // pulsing

  std::vector<std::shared_ptr<SCNNode>> outline = square->positioningNode()->childNodes();
  outline.push_back(square->positioningNode());
  for (const auto& node : outline) {
    EXPECT_EQ(node->renderingOrder(), 2);
    if (node->geometry()) {
      EXPECT_FALSE(node->geometry()->materials()[0]->readsFromDepthBuffer());
    }
  }
  square->hide();
  Advance(0.1);
  square->hide();  // the fade-out still runs: not restarted
  Advance(0.4);
  EXPECT_FLOAT_EQ(square->opacity(), 0);
  for (const auto& node : outline) {
    EXPECT_EQ(node->renderingOrder(), 0);
    if (node->geometry()) {
      EXPECT_TRUE(node->geometry()->materials()[0]->readsFromDepthBuffer());
    }
  }
  square->unhide();
  Advance(0.25);
  EXPECT_NEAR(square->opacity(), 0.5, 1e-5);
}

TEST_F(FocusSquareTest, ClosingWhileOpeningIsDropped) {
  auto square = FocusSquare::init();
  Advance(0.1);
  const auto plane = Plane();
  square->setState(State::detecting(Hit({0, 0, -1}, plane), nullptr));
  EXPECT_TRUE(square->isOpen());
  EXPECT_TRUE(square->positioningNode()->animationKeys().empty());
  // The plane counts as visited even so: a later close on it does not flash.
  EXPECT_EQ(square->visitedPlaneCount(), 1u);
  Advance(0.1);
  square->setState(State::detecting(Hit({0, 0, -1}, plane), nullptr));
  EXPECT_FALSE(square->isOpen());
  EXPECT_FALSE(square->segments()[0]->hasActions());
}

TEST_F(FocusSquareTest, ClosingOnANewPlaneBouncesAndFlashesOnce) {
  auto square = FocusSquare::init();
  Advance(0.2);
  ASSERT_FALSE(square->isAnimating());
  const auto plane = Plane();
  square->setState(State::detecting(Hit({0, 0, -1}, plane), nullptr));
  EXPECT_FALSE(square->isOpen());
  EXPECT_TRUE(square->isAnimating());
  EXPECT_EQ(square->positioningNode()->actionForKey("pulse"), nullptr);
  EXPECT_EQ(square->positioningNode()->animationKeys(),
            (std::vector<std::string>{"transform.scale.x", "transform.scale.y",
                                      "transform.scale.z"}));
  auto bounce = std::dynamic_pointer_cast<CAKeyframeAnimation>(
      square->positioningNode()->animationForKey("transform.scale.y"));
  ASSERT_NE(bounce, nullptr);
  EXPECT_EQ(bounce->keyPath(), "transform.scale.y");
  const std::vector<double> values = {0.17, 0.1955, 0.1955, 0.15995, 0.1649};
  ASSERT_EQ(bounce->values().size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) EXPECT_NEAR(bounce->values()[i], values[i], 1e-5);
  EXPECT_EQ(bounce->keyTimes(), (std::vector<double>{0, 0.25, 0.5, 0.75, 1}));
  std::vector<std::string> curves;
  for (const auto& f : bounce->timingFunctions()) curves.push_back(f->name());
  EXPECT_EQ(curves, (std::vector<std::string>{kCAMediaTimingFunctionEaseOut,
                                              kCAMediaTimingFunctionLinear,
                                              kCAMediaTimingFunctionEaseOut,
                                              kCAMediaTimingFunctionEaseInEaseOut}));
  EXPECT_DOUBLE_EQ(bounce->duration(), 0.7);

  const auto& s1 = square->segments()[0];
  Advance(0.35);  // the segments start closing now
  EXPECT_FLOAT_EQ(square->fillPlane()->opacity(), 0);
  EXPECT_NEAR(s1->plane()->width(), 0.5, 1e-9);
  Advance(0.175);
  EXPECT_FALSE(square->isAnimating());
  EXPECT_NEAR(square->fillPlane()->opacity(), 0, 1e-6);
  // Half-way through the flash: fill at its peak, segments at the palest colour.
  Advance(0.0875);
  EXPECT_NEAR(square->fillPlane()->opacity(), 0.25, 1e-5);
  ExpectColor(Diffuse(s1), HsvToRgb(0.1333, 0.3, 1));
  Advance(0.04375);  // p = 0.75: saturation 0.475
  ExpectColor(Diffuse(square->segments()[7]), HsvToRgb(0.1333, 2.8 * 0.0625 + 0.3, 1));
  Advance(0.04375);
  EXPECT_FLOAT_EQ(square->fillPlane()->opacity(), 0);
  ExpectColor(Diffuse(s1), {1, 0.7998, 0});
  EXPECT_TRUE(square->positioningNode()->animationKeys().empty());

  // Open on a hit off the plane, then close on the same plane again: no flash.
  square->setState(State::detecting(Hit({0, 0, -1}), nullptr));
  Advance(0.2);
  square->setState(State::detecting(Hit({0, 0, -1}, plane), nullptr));
  EXPECT_FALSE(square->isOpen());
  EXPECT_FALSE(square->fillPlane()->hasActions());
  EXPECT_FALSE(s1->hasActions());
}

TEST_F(FocusSquareTest, SitsAtTheMeanOfTheLastTenHits) {
  auto square = FocusSquare::init();
  EXPECT_FALSE(square->lastPosition().has_value());
  for (int i = 1; i <= 11; ++i) {
    square->setState(State::detecting(Hit({float(i), 0, -float(i * i)}), nullptr));
  }
  // Hits 2 to 11: x averages 6.5, z averages -(4 + 9 + ... + 121) / 10 = -50.5.
  EXPECT_NEAR(square->simdPosition().x, 6.5f, 1e-5);
  EXPECT_NEAR(square->simdPosition().z, -50.5f, 1e-4);
  EXPECT_EQ(square->recentFocusSquarePositions().size(), 10u);
  ASSERT_TRUE(square->lastPosition().has_value());
  EXPECT_FLOAT_EQ(square->lastPosition()->x, 11);
  EXPECT_FLOAT_EQ(square->simdScale().x, 1);  // no camera
  square->setState(State::initializing());
  EXPECT_FALSE(square->lastPosition().has_value());
  EXPECT_NEAR(square->simdPosition().z, -0.8f, 1e-6);
}

TEST_F(FocusSquareTest, ScalesWithTheDistanceToTheCamera) {
  for (const auto& [distance, scale] :
       std::vector<std::pair<float, float>>{{0.35f, 0.5f}, {0.7f, 1.0f}, {2.0f, 1.325f}}) {
    auto square = FocusSquare::init();
    square->setState(State::detecting(Hit({1, 0, -1}), Camera({1, distance, -1})));
    EXPECT_NEAR(square->simdScale().x, scale, 1e-5) << distance;
  }
}

TEST_F(FocusSquareTest, LevelCameraTurnsOnFramesOneThirtyOneAndSixtyOne) {
  auto square = FocusSquare::init();
  std::vector<int> turns;
  simd_quatf previous = square->simdOrientation();
  for (int frame = 1; frame <= 65; ++frame) {
    const simd_quatf turn = simd_quaternion(0.01f * frame, simd_make_float3(0, 1, 0));
    square->setState(State::detecting(Hit({0, 0, -1}, nullptr, turn), Camera({0, 1, 0})));
    const simd_quatf now = square->simdOrientation();
    if (simd_length(now.vector - previous.vector) > 1e-6) turns.push_back(frame);
    previous = now;
  }
  EXPECT_EQ(turns, (std::vector<int>{1, 31, 61}));
  EXPECT_FALSE(square->isPointingDownwards());
}

TEST_F(FocusSquareTest, TiltOfExactlyThreeEighthsOfATurnIsStillLevel) {
  const float threshold = static_cast<float>(M_PI / 2) * 0.75f;
  auto level = FocusSquare::init();
  level->setState(State::detecting(Hit({0, 0, -1}), Camera({0, 1, 0}, threshold)));
  EXPECT_FALSE(level->isPointingDownwards());
  EXPECT_EQ(level->counterToNextOrientationUpdate(), 1);
  auto steep = FocusSquare::init();
  steep->setState(
      State::detecting(Hit({0, 0, -1}), Camera({0, 1, 0}, std::nextafter(threshold, 2.0f))));
  EXPECT_TRUE(steep->isChangingOrientation());
  EXPECT_EQ(steep->counterToNextOrientationUpdate(), 0);
}

TEST_F(FocusSquareTest, DownwardTurnsAnimateOnlyAfterLevelFrames) {
  auto square = FocusSquare::init();
  square->setState(State::detecting(Hit({0, 0, -1}), Camera({0, 1, 0})));
  Advance(0.6);
  const float down = -1.5f;
  auto orientation_turns = [] {
    std::vector<double> durations;
    for (const auto& t : platform::scenekit::CommittedSCNTransactions()) {
      if (t.timingFunction.empty()) durations.push_back(t.duration);  // not open or close
    }
    return durations;
  };
  platform::scenekit::ClearCommittedSCNTransactions();
  square->setState(State::detecting(Hit({0, 0, -1}), Camera({0, 1, 0}, down)));
  square->setState(State::detecting(Hit({0, 0, -1}), Camera({0, 1, 0}, down)));  // still turning
  EXPECT_EQ(orientation_turns(), std::vector<double>{0.5});
  Advance(0.5);
  EXPECT_FALSE(square->isChangingOrientation());
  EXPECT_TRUE(square->isPointingDownwards());
  square->setState(State::detecting(Hit({0, 0, -1}), Camera({0, 1, 0}, down)));
  Advance(0);
  square->setState(State::detecting(Hit({0, 0, -1}), Camera({0, 1, 0}, down)));
  EXPECT_EQ(orientation_turns(), (std::vector<double>{0.5, 0, 0}));
}

TEST_F(FocusSquareTest, RepeatedInitializingActsOnceAndArchivesGiveNothing) {
  auto square = FocusSquare::init();
  square->setState(State::detecting(Hit({2, 0, -1}), nullptr));
  square->setState(State::initializing());
  EXPECT_NEAR(square->simdPosition().z, -0.8f, 1e-6);
  square->setSimdPosition({5, 5, 5});
  square->setState(State::initializing());  // no change: the pose stays as it is
  EXPECT_FLOAT_EQ(square->simdPosition().x, 5);
  EXPECT_EQ(FocusSquare::initWithCoder(nullptr), nullptr);
}

}  // namespace
