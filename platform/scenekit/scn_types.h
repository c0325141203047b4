#ifndef PLATFORM_SCENEKIT_SCN_TYPES_H_
#define PLATFORM_SCENEKIT_SCN_TYPES_H_

// SceneKit's value types: SCNVector3 / SCNVector4 (floats) and conversions to simd.

#include "platform/simd/simd.h"

struct SCNVector3 {
  float x = 0, y = 0, z = 0;
  friend bool operator==(const SCNVector3&, const SCNVector3&) = default;
};
struct SCNVector4 {
  float x = 0, y = 0, z = 0, w = 0;
  friend bool operator==(const SCNVector4&, const SCNVector4&) = default;
};
using SCNQuaternion = SCNVector4;
using SCNMatrix4 = simd_float4x4;

inline constexpr SCNVector3 SCNVector3Zero = {0, 0, 0};
inline SCNVector3 SCNVector3Make(float x, float y, float z) { return {x, y, z}; }
inline SCNVector4 SCNVector4Make(float x, float y, float z, float w) { return {x, y, z, w}; }
inline SCNVector3 SCNVector3FromFloat3(simd_float3 v) { return {v.x, v.y, v.z}; }
inline simd_float3 SCNVector3ToFloat3(SCNVector3 v) { return {v.x, v.y, v.z}; }
inline bool SCNVector3EqualToVector3(SCNVector3 a, SCNVector3 b) { return a == b; }

#endif  // PLATFORM_SCENEKIT_SCN_TYPES_H_
