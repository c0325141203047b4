#ifndef VIEWS_EXTENSIONS_H_
#define VIEWS_EXTENSIONS_H_

// Small stateless helpers the views add to platform types: the AR scene view's screen centre
// and centre-of-screen raycasts, points from scene vectors, and the translation and
// orientation of 4x4 matrices.
//
//   if (auto query = getRaycastQuery(*view)) {                 // through screenCenter(*view)
//     for (const ARRaycastResult& result : castRay(*view, *query)) { ... }
//   }
//   simd_float4x4 m = float4x4WithUniformScale(2);
//   setTranslation(m, {0, 1, 0});
//   simd_quatf q = orientation(m);                              // not normalised: scale stays
//
// Everything here reads its arguments only; thread safety is that of the view or value given.

#include <memory>

#include "platform/arkit/ar_scn_view.h"
#include "platform/coregraphics/geometry.h"
#include "platform/scenekit/scn_types.h"
#include "platform/simd/simd.h"

// The midpoint of the view's bounds (origin included, not half the size).
CGPoint screenCenter(const ARSCNView& view);

// A query from screenCenter towards an estimated plane of the given alignment; null when the
// view cannot form one.
std::shared_ptr<ARRaycastQuery> getRaycastQuery(
    ARSCNView& view, ARRaycastTargetAlignment alignment = ARRaycastTargetAlignmentAny);

// Runs the query once on the view's session; the session's results in its order.
std::vector<ARRaycastResult> castRay(ARSCNView& view, const ARRaycastQuery& query);

// The scene point under (view x, view y, normalised depth z).
simd_float3 unprojectPoint(const ARSCNView& view, simd_float3 point);

// (x, y) of the vector, widened; z is dropped.
CGPoint CGPointFromVector(SCNVector3 vector);
// sqrt(x² + y²) in double precision.
double length(CGPoint point);

// (c3.x, c3.y, c3.z).
simd_float3 translation(const simd_float4x4& matrix);
// Replaces c3's x, y and z; c3.w and the other columns stay.
void setTranslation(simd_float4x4& matrix, simd_float3 translation);
// The quaternion of the upper-left 3x3 block (simd_quaternion): neither scale nor length
// is normalised away.
simd_quatf orientation(const simd_float4x4& matrix);
// The identity with s on the first three diagonal entries.
simd_float4x4 float4x4WithUniformScale(float s);

#endif  // VIEWS_EXTENSIONS_H_
