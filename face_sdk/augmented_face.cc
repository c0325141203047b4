#include "face_sdk/augmented_face.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include <Eigen/LU>

#include "face_sdk/transformation_utils.h"

namespace {

using quorrel::face_transform::FaceRegion;
using quorrel::face_transform::Transform;
using Buffer = QVXAugmentedFaceMesh::Buffer;

// Maps coordinates in the frame of an anchor point (nose tip, forehead points) into the frame
// of the face-model region of the same name; face-model units (centimetres).
Eigen::Matrix4f RegionOffset(const float (&columns)[4][4]) {
  Eigen::Matrix4f m;
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) m(r, c) = columns[c][r];
  return m;
}
const float kNoseColumns[4][4] = {
    {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, -0.46317f, 7.58658f, 1}};
// The right forehead offset is the left one mirrored in x.
const float kForeheadLeftColumns[4][4] = {{0.848504f, -0.159224f, -0.50453603f, 0},
                                          {0.00037599355f, 0.95384f, -0.300248f, 0},
                                          {0.52906406f, 0.25455198f, 0.80939996f, 0},
                                          {3.70885f, 6.96401f, 3.98086f, 1}};
const float kForeheadRightColumns[4][4] = {{0.848504f, 0.159224f, 0.50453603f, 0},
                                           {-0.00037599355f, 0.95384f, -0.300248f, 0},
                                           {-0.52906406f, 0.25455198f, 0.80939996f, 0},
                                           {-3.70885f, 6.96401f, 3.98086f, 1}};
const Eigen::Matrix4f kQuorrelNoseRegionTNoseRegion = RegionOffset(kNoseColumns);
const Eigen::Matrix4f kQuorrelForeheadLeftRegionTForeheadLeftRegion =
    RegionOffset(kForeheadLeftColumns);
const Eigen::Matrix4f kQuorrelForeheadRightRegionTForeheadRightRegion =
    RegionOffset(kForeheadRightColumns);

// The region's pose; the identity when the transform has none for it.
Eigen::Matrix4f QVXGetQuorrelFaceTFaceRegionMatrix(const Transform& transform, FaceRegion region) {
  auto it = transform.region_transforms.find(region);
  return it == transform.region_transforms.end() ? Eigen::Matrix4f::Identity() : it->second;
}

simd_float4x4 ToSimd(const Eigen::Matrix4f& m) {
  return QVXTransformationUtils::eigenMatrix4fToFloatMatrix(&m);
}

// The process-wide texture-coordinate and index buffers, made from the first mesh.
struct SharedTopology {
  std::once_flag texture_coordinates_once;
  std::shared_ptr<const Buffer> texture_coordinates;
  std::once_flag triangle_indices_once;
  std::shared_ptr<const Buffer> triangle_indices;
};
SharedTopology& Shared() {
  static SharedTopology* shared = new SharedTopology;
  return *shared;
}

std::shared_ptr<const Buffer> TextureCoordinatesOf(const Transform& transform) {
  auto buffer = std::make_shared<Buffer>(transform.mesh.vertices.size() * sizeof(simd_float2));
  auto* out = reinterpret_cast<simd_float2*>(buffer->data());
  for (const auto& vertex : transform.mesh.vertices) {
    *out++ = simd_make_float2(vertex.tex_coord.x(), vertex.tex_coord.y());
  }
  return buffer;
}

std::shared_ptr<const Buffer> TriangleIndicesOf(const Transform& transform) {
  const auto& indices = transform.mesh.triangle_indices;
  auto buffer = std::make_shared<Buffer>(indices.size() * sizeof(uint16_t));
  if (!indices.empty()) std::memcpy(buffer->data(), indices.data(), buffer->size());
  return buffer;
}

// The shared buffer when it exists with the size this mesh needs, else this mesh's own copy.
std::shared_ptr<const Buffer> SharedOrOwn(std::once_flag& once,
                                          std::shared_ptr<const Buffer>& shared,
                                          std::shared_ptr<const Buffer> (*make)(const Transform&),
                                          const Transform& transform, size_t size) {
  std::call_once(once, [&] { shared = make(transform); });
  return shared->size() == size ? shared : make(transform);
}

}  // namespace

std::shared_ptr<QVXAugmentedFaceMesh> QVXAugmentedFaceMesh::initWithFaceTransform(
    const Transform* transform, const simd_float4x4& faceMeshModelTQuorrelFace) {
  auto mesh = std::make_shared<QVXAugmentedFaceMesh>();
  const auto& vertices = transform->mesh.vertices;
  mesh->vertexCount_ = vertices.size();
  mesh->vertexBufferData_ = std::make_shared<Buffer>(vertices.size() * sizeof(simd_float4));
  auto* out = reinterpret_cast<simd_float4*>(mesh->vertexBufferData_->data());
  for (const auto& vertex : vertices) {
    const Eigen::Vector3f& p = vertex.position;
    *out++ = simd_mul(faceMeshModelTQuorrelFace, simd_make_float4(p.x(), p.y(), p.z(), 1));
  }
  mesh->extractTextureCoordinates(*transform);
  mesh->extractNormals(*transform, faceMeshModelTQuorrelFace);
  mesh->extractTriangleIndices(*transform);
  return mesh;
}

void QVXAugmentedFaceMesh::extractTextureCoordinates(const Transform& transform) {
  SharedTopology& shared = Shared();
  textureCoordinatesData_ =
      SharedOrOwn(shared.texture_coordinates_once, shared.texture_coordinates,
                  TextureCoordinatesOf, transform, vertexCount_ * sizeof(simd_float2));
}

void QVXAugmentedFaceMesh::extractNormals(const Transform& transform,
                                          const simd_float4x4& faceMeshModelTQuorrelFace) {
  simd_float4x4 rotation = QVXRemoveScale(faceMeshModelTQuorrelFace);
  normalsBufferData_ = std::make_shared<Buffer>(transform.mesh.vertices.size() * sizeof(simd_float4));
  auto* out = reinterpret_cast<simd_float4*>(normalsBufferData_->data());
  for (const auto& vertex : transform.mesh.vertices) {
    const Eigen::Vector3f& n = vertex.normal;
    *out++ = simd_mul(rotation, simd_make_float4(n.x(), n.y(), n.z(), 0));
  }
}

void QVXAugmentedFaceMesh::extractTriangleIndices(const Transform& transform) {
  SharedTopology& shared = Shared();
  size_t count = transform.mesh.triangle_indices.size();
  triangleIndicesData_ = SharedOrOwn(shared.triangle_indices_once, shared.triangle_indices,
                                     TriangleIndicesOf, transform, count * sizeof(uint16_t));
  triangleCount_ = count / 3;
}

const simd_float4* QVXAugmentedFaceMesh::vertices() const {
  return vertexBufferData_ ? reinterpret_cast<const simd_float4*>(vertexBufferData_->data())
                           : nullptr;
}

const simd_float4* QVXAugmentedFaceMesh::normals() const {
  return normalsBufferData_ ? reinterpret_cast<const simd_float4*>(normalsBufferData_->data())
                            : nullptr;
}

const simd_float2* QVXAugmentedFaceMesh::textureCoordinates() const {
  return reinterpret_cast<const simd_float2*>(textureCoordinatesData_->data());
}

const uint16_t* QVXAugmentedFaceMesh::triangleIndices() const {
  return reinterpret_cast<const uint16_t*>(triangleIndicesData_->data());
}

std::shared_ptr<QVXAugmentedFace> QVXAugmentedFace::initWithFaceTransform(
    const Transform* transform, float preprocessRotation) {
  auto face = std::make_shared<QVXAugmentedFace>();
  // Undo the pre-rotation about the camera's z axis.
  float theta = static_cast<float>(-static_cast<double>(preprocessRotation) * M_PI / 180.0);
  Eigen::Matrix4f rz = Eigen::Matrix4f::Identity();
  rz(0, 0) = std::cos(theta);
  rz(1, 0) = std::sin(theta);
  rz(0, 1) = -std::sin(theta);
  rz(1, 1) = std::cos(theta);

  // Dividing by the face's fitted scale and multiplying by 0.01 turns face-model centimetres
  // into metres.
  Eigen::Matrix4f center = QVXGetQuorrelFaceTFaceRegionMatrix(*transform, FaceRegion(0));
  simd_float3 scale = QVXGetScale(ToSimd(center));
  Eigen::Matrix4f metres =
      Eigen::Vector4f(0.01f / scale.x, 0.01f / scale.y, 0.01f / scale.z, 1).asDiagonal();
  Eigen::Matrix4f session_t_face = rz * metres;

  face->centerTransform_ = QVXRemoveScale(ToSimd(session_t_face * center));
  Eigen::Matrix4f face_frame = 0.01f * center.inverse();
  face->mesh_ = QVXAugmentedFaceMesh::initWithFaceTransform(transform, ToSimd(face_frame));
  face->updateRegionTransforms(transform, session_t_face);
  return face;
}

void QVXAugmentedFace::updateRegionTransforms(const Transform* transform,
                                              const Eigen::Matrix4f& sessionTQuorrelFace) {
  auto pose = [&](int region, const Eigen::Matrix4f& offset) {
    Eigen::Matrix4f m = QVXGetQuorrelFaceTFaceRegionMatrix(*transform, FaceRegion(region));
    return QVXRemoveScale(ToSimd(sessionTQuorrelFace * m * offset));
  };
  cameraToNoseTransform_ = pose(1, kQuorrelNoseRegionTNoseRegion);
  cameraToForeheadLeftTransform_ = pose(2, kQuorrelForeheadLeftRegionTForeheadLeftRegion);
  cameraToForeheadRightTransform_ = pose(3, kQuorrelForeheadRightRegionTForeheadRightRegion);
}

simd_float4x4 QVXAugmentedFace::transformForRegion(uint64_t region) const {
  switch (region) {
    case 0:
      return cameraToNoseTransform_;
    case 1:
      return cameraToForeheadLeftTransform_;
    case 2:
      return cameraToForeheadRightTransform_;
    default:
      return matrix_identity_float4x4;
  }
}
