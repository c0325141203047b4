// One tracked face of one camera frame, as the face SDK hands it to hosts: the centre pose, the
// poses of three face regions and the face mesh, all in metres, with the face's scale removed
// and the camera frame's pre-rotation undone.
//
//   std::shared_ptr<QVXAugmentedFace> face =
//       QVXAugmentedFace::initWithFaceTransform(&transform, /*preprocessRotation=*/90);
//   simd_float4x4 head = face->centerTransform();           // camera -> face centre
//   simd_float4x4 nose = face->transformForRegion(0);       // camera -> nose tip
//   const simd_float4* v = face->mesh()->vertices();        // face frame, metres
//
// The face reads region 0 of the transform as the face centre (its column lengths are the
// face's fitted scale), 1 as the nose, 2 and 3 as the left and right forehead; a region the
// transform lacks counts as the identity. Faces and meshes are immutable once built (the mesh's
// two buffer properties excepted) and may be read from any thread.
//
// Texture coordinates and triangle indices are the same for every face of the canonical
// model, so the first mesh built in the process copies them into process-wide buffers that
// later meshes share. A mesh shares them only when its vertex and index counts match those
// buffers; a mesh of another size gets its own copies (the shared ones would be read past their
// end). With matching counts the shared content is used even if the transform carried other
// values. Creating the shared buffers is thread-safe.
#ifndef FACE_SDK_AUGMENTED_FACE_H_
#define FACE_SDK_AUGMENTED_FACE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include <Eigen/Core>

#include "face_geometry/face_transform_records.h"
#include "platform/simd/simd.h"

class QVXAugmentedFaceMesh {
 public:
  using Buffer = std::vector<uint8_t>;

  // `faceMeshModelTQuorrelFace` maps the transform's positions into the face frame in metres.
  static std::shared_ptr<QVXAugmentedFaceMesh> initWithFaceTransform(
      const quorrel::face_transform::Transform* transform,
      const simd_float4x4& faceMeshModelTQuorrelFace);

  uint64_t vertexCount() const { return vertexCount_; }
  // 16 bytes per vertex: x, y, z and a fourth float that readers ignore. Points into
  // vertexBufferData().
  const simd_float4* vertices() const;
  // Unit normals, 16 bytes per vertex (fourth float 0). Points into normalsBufferData().
  const simd_float4* normals() const;
  // u, v per vertex.
  const simd_float2* textureCoordinates() const;
  // Three indices per triangle.
  uint64_t triangleCount() const { return triangleCount_; }
  const uint16_t* triangleIndices() const;

  std::shared_ptr<Buffer> vertexBufferData() const { return vertexBufferData_; }
  void setVertexBufferData(std::shared_ptr<Buffer> data) { vertexBufferData_ = std::move(data); }
  std::shared_ptr<Buffer> normalsBufferData() const { return normalsBufferData_; }
  void setNormalsBufferData(std::shared_ptr<Buffer> data) { normalsBufferData_ = std::move(data); }

 private:
  void extractTextureCoordinates(const quorrel::face_transform::Transform& transform);
  void extractNormals(const quorrel::face_transform::Transform& transform,
                      const simd_float4x4& faceMeshModelTQuorrelFace);
  void extractTriangleIndices(const quorrel::face_transform::Transform& transform);

  uint64_t vertexCount_ = 0;
  uint64_t triangleCount_ = 0;
  std::shared_ptr<Buffer> vertexBufferData_;
  std::shared_ptr<Buffer> normalsBufferData_;
  // Either the process-wide buffers or this mesh's own copies.
  std::shared_ptr<const Buffer> textureCoordinatesData_;
  std::shared_ptr<const Buffer> triangleIndicesData_;
};

class QVXAugmentedFace {
 public:
  // `preprocessRotation`: degrees the camera frame was rotated by before tracking.
  static std::shared_ptr<QVXAugmentedFace> initWithFaceTransform(
      const quorrel::face_transform::Transform* transform, float preprocessRotation);

  // Sets the three region poses: QVXRemoveScale(S · region pose · region offset).
  void updateRegionTransforms(const quorrel::face_transform::Transform* transform,
                              const Eigen::Matrix4f& sessionTQuorrelFace);
  // 0 the nose, 1 the left forehead, 2 the right forehead; the identity for any other value.
  simd_float4x4 transformForRegion(uint64_t region) const;

  std::shared_ptr<QVXAugmentedFaceMesh> mesh() const { return mesh_; }
  simd_float4x4 centerTransform() const { return centerTransform_; }
  simd_float4x4 cameraToNoseTransform() const { return cameraToNoseTransform_; }
  simd_float4x4 cameraToForeheadLeftTransform() const { return cameraToForeheadLeftTransform_; }
  simd_float4x4 cameraToForeheadRightTransform() const { return cameraToForeheadRightTransform_; }

 private:
  std::shared_ptr<QVXAugmentedFaceMesh> mesh_;
  simd_float4x4 centerTransform_ = matrix_identity_float4x4;
  simd_float4x4 cameraToNoseTransform_ = matrix_identity_float4x4;
  simd_float4x4 cameraToForeheadLeftTransform_ = matrix_identity_float4x4;
  simd_float4x4 cameraToForeheadRightTransform_ = matrix_identity_float4x4;
};

#endif  // FACE_SDK_AUGMENTED_FACE_H_
