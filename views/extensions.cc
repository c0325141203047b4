#include "views/extensions.h"

#include <cmath>

CGPoint screenCenter(const ARSCNView& view) {
  const CGRect bounds = view.bounds();
  return CGPointMake(CGRectGetMidX(bounds), CGRectGetMidY(bounds));
}

std::shared_ptr<ARRaycastQuery> getRaycastQuery(ARSCNView& view,
                                                ARRaycastTargetAlignment alignment) {
  return view.raycastQueryFromPoint(screenCenter(view), ARRaycastTargetEstimatedPlane, alignment);
}

std::vector<ARRaycastResult> castRay(ARSCNView& view, const ARRaycastQuery& query) {
  return view.session()->raycast(query);
}

simd_float3 unprojectPoint(const ARSCNView& view, simd_float3 point) {
  return SCNVector3ToFloat3(view.unprojectPoint(SCNVector3FromFloat3(point)));
}

CGPoint CGPointFromVector(SCNVector3 vector) {
  return CGPointMake(static_cast<CGFloat>(vector.x), static_cast<CGFloat>(vector.y));
}

double length(CGPoint point) { return std::sqrt(point.x * point.x + point.y * point.y); }

simd_float3 translation(const simd_float4x4& matrix) { return matrix.columns[3].xyz(); }

void setTranslation(simd_float4x4& matrix, simd_float3 translation) {
  matrix.columns[3] = simd_make_float4(translation, matrix.columns[3].w);
}

simd_quatf orientation(const simd_float4x4& matrix) { return simd_quaternion(matrix); }

simd_float4x4 float4x4WithUniformScale(float s) {
  simd_float4x4 m = matrix_identity_float4x4;
  m.columns[0].x = s;
  m.columns[1].y = s;
  m.columns[2].z = s;
  return m;
}
