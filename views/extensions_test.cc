#include "views/extensions.h"

#include <cmath>

#include "gtest/gtest.h"

namespace {

TEST(ScreenCenter, IsTheMidpointOfTheBoundsIncludingTheirOrigin) {
  auto view = ARSCNView::initWithFrame(CGRectMake(0, 0, 400, 800), {});
  EXPECT_EQ(screenCenter(*view), CGPointMake(200, 400));
  view->setBounds(CGRectMake(50, -20, 400, 800));
  EXPECT_EQ(screenCenter(*view), CGPointMake(250, 380));
}

TEST(RaycastQuery, AimsThroughTheCentreAtAnEstimatedPlaneWithTheGivenAlignment) {
  auto view = ARSCNView::initWithFrame(CGRectMake(0, 0, 400, 800), {});
  for (ARRaycastTargetAlignment alignment :
       {ARRaycastTargetAlignmentHorizontal, ARRaycastTargetAlignmentVertical,
        ARRaycastTargetAlignmentAny}) {
    auto query = getRaycastQuery(*view, alignment);
    ASSERT_NE(query, nullptr);
    EXPECT_EQ(query->target, ARRaycastTargetEstimatedPlane);
    EXPECT_EQ(query->targetAlignment, alignment);
    // The default camera looks down -z; the screen centre is straight ahead.
    EXPECT_NEAR(query->direction.x, 0, 1e-5);
    EXPECT_NEAR(query->direction.y, 0, 1e-5);
    EXPECT_NEAR(query->direction.z, -1, 1e-5);
  }
  EXPECT_EQ(getRaycastQuery(*view)->targetAlignment, ARRaycastTargetAlignmentAny);

  platform::arkit::SetQueriesFormable(*view->session(), false);
  EXPECT_EQ(getRaycastQuery(*view), nullptr);
}

TEST(CastRay, ReturnsTheSessionsResultsInItsOrder) {
  auto view = ARSCNView::initWithFrame(CGRectMake(0, 0, 400, 800), {});
  auto query = getRaycastQuery(*view);
  ASSERT_NE(query, nullptr);
  EXPECT_TRUE(castRay(*view, *query).empty());  // session not running

  view->session()->runWithConfiguration(ARWorldTrackingConfiguration::init(), 0);
  EXPECT_TRUE(castRay(*view, *query).empty());  // nothing in the world
  platform::arkit::SetRaycastHandler(*view->session(), [](const ARRaycastQuery&) {
    ARRaycastResult near, far;
    setTranslation(near.worldTransform, {0, 0, -1});
    setTranslation(far.worldTransform, {0, 0, -3});
    return std::vector<ARRaycastResult>{near, far};
  });
  const auto results = castRay(*view, *query);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(translation(results[0].worldTransform).z, -1);
  EXPECT_EQ(translation(results[1].worldTransform).z, -3);
}

TEST(UnprojectPoint, InvertsTheViewsProjection) {
  auto view = ARSCNView::initWithFrame(CGRectMake(0, 0, 400, 800), {});
  const simd_float3 world = {0.3f, -0.2f, -2};
  const simd_float3 screen = SCNVector3ToFloat3(view->projectPoint(SCNVector3FromFloat3(world)));
  const simd_float3 back = unprojectPoint(*view, screen);
  // Depth is single precision over the whole near-far range: a few ulps at z = -2.
  EXPECT_NEAR(back.x, world.x, 1e-3);
  EXPECT_NEAR(back.y, world.y, 1e-3);
  EXPECT_NEAR(back.z, world.z, 1e-3);
}

TEST(PointFromVector, DropsZAndMeasuresLength) {
  const CGPoint p = CGPointFromVector(SCNVector3Make(3, 4, 9));
  EXPECT_EQ(p, CGPointMake(3, 4));
  EXPECT_EQ(length(p), 5.0);
}

TEST(MatrixTranslation, WriteKeepsTheOtherColumnsAndW) {
  simd_float4x4 m = float4x4WithUniformScale(3);
  m.columns[3].w = 0.5f;
  setTranslation(m, {1, 2, 3});
  EXPECT_EQ(translation(m), simd_make_float3(1, 2, 3));
  EXPECT_EQ(m.columns[3], simd_make_float4(1, 2, 3, 0.5f));
  EXPECT_EQ(m.columns[0], simd_make_float4(3, 0, 0, 0));
  EXPECT_EQ(m.columns[1], simd_make_float4(0, 3, 0, 0));
  EXPECT_EQ(m.columns[2], simd_make_float4(0, 0, 3, 0));
}

TEST(MatrixOrientation, KeepsScaleAndIgnoresTranslation) {
  // Uniform scale 2, no rotation: scale is not removed and the result is not normalised.
  simd_float4x4 scaled = float4x4WithUniformScale(2);
  EXPECT_EQ(scaled.columns[3], simd_make_float4(0, 0, 0, 1));
  setTranslation(scaled, {4, 5, 6});
  const simd_quatf q = orientation(scaled);
  EXPECT_EQ(q.vector.x, 0);
  EXPECT_EQ(q.vector.y, 0);
  EXPECT_EQ(q.vector.z, 0);
  EXPECT_FLOAT_EQ(q.vector.w, std::sqrt(7.0f) / 2);

  // A quarter turn about z placed somewhere: the translation does not change the rotation.
  simd_float4x4 turned = simd_matrix4x4(simd_quaternion(float(M_PI / 2), simd_make_float3(0, 0, 1)));
  setTranslation(turned, {-1, 7, 2});
  const simd_quatf r = orientation(turned);
  EXPECT_NEAR(r.vector.z, 0.7071068f, 1e-6);
  EXPECT_NEAR(r.vector.w, 0.7071068f, 1e-6);
}

}  // namespace
