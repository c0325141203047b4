#include "face_geometry/mesh_estimator.h"

#include <Eigen/Geometry>
#include <emmintrin.h>
#include <algorithm>
#include <cmath>
#include <utility>

#include "absl/types/optional.h"
#include "base/status_macros.h"

namespace quorrel {
namespace face_transform {
namespace {

constexpr float kAbsoluteErrorEps = 1e-9f;

// The length of one lane's vertex vector, computed with the others; the per-vertex checks
// read it as that vector's length.
struct LaneLength {
  float length;
  float Length() const { return length; }
};

// Four float lanes over SSE2, which every x86-64 processor has.
struct F4 {
  __m128 v;

  static F4 Load(const float* p) { return {_mm_load_ps(p)}; }
  static F4 Constant(float x) { return {_mm_set1_ps(x)}; }
  void Store(float* p) const { _mm_store_ps(p, v); }

  friend F4 operator+(F4 a, F4 b) { return {_mm_add_ps(a.v, b.v)}; }
  friend F4 operator-(F4 a, F4 b) { return {_mm_sub_ps(a.v, b.v)}; }
  friend F4 operator*(F4 a, F4 b) { return {_mm_mul_ps(a.v, b.v)}; }
  friend F4 operator/(F4 a, F4 b) { return {_mm_div_ps(a.v, b.v)}; }
  friend F4 operator-(F4 a) { return {_mm_xor_ps(a.v, _mm_set1_ps(-0.0f))}; }
  friend F4 operator<(F4 a, F4 b) { return {_mm_cmplt_ps(a.v, b.v)}; }
  friend F4 operator<=(F4 a, F4 b) { return {_mm_cmple_ps(a.v, b.v)}; }
  friend F4 operator!=(F4 a, F4 b) { return {_mm_cmpneq_ps(a.v, b.v)}; }
  friend F4 operator&(F4 a, F4 b) { return {_mm_and_ps(a.v, b.v)}; }
  friend F4 operator|(F4 a, F4 b) { return {_mm_or_ps(a.v, b.v)}; }
};

F4 Sqrt(F4 a) { return {_mm_sqrt_ps(a.v)}; }
F4 Abs(F4 a) { return {_mm_andnot_ps(_mm_set1_ps(-0.0f), a.v)}; }
// `mask` lanes are all ones or all zeros: `if_set` where set, else `if_clear`.
F4 Select(F4 mask, F4 if_set, F4 if_clear) {
  return {_mm_or_ps(_mm_and_ps(mask.v, if_set.v), _mm_andnot_ps(mask.v, if_clear.v))};
}
F4 Not(F4 mask) { return {_mm_xor_ps(mask.v, _mm_castsi128_ps(_mm_set1_epi32(-1)))}; }
void Transpose(F4 (&m)[4]) { _MM_TRANSPOSE4_PS(m[0].v, m[1].v, m[2].v, m[3].v); }
// pi - a - b, computed in double precision.
F4 AngleC(F4 a, F4 b) {
  const __m128d pi = _mm_set1_pd(M_PI);
  const __m128d low = _mm_sub_pd(_mm_sub_pd(pi, _mm_cvtps_pd(a.v)), _mm_cvtps_pd(b.v));
  const __m128d high = _mm_sub_pd(_mm_sub_pd(pi, _mm_cvtps_pd(_mm_movehl_ps(a.v, a.v))),
                                  _mm_cvtps_pd(_mm_movehl_ps(b.v, b.v)));
  return {_mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high))};
}
// The larger of `a` and `b`; `b` when either is NaN.
F4 Max(F4 a, F4 b) { return {_mm_max_ps(a.v, b.v)}; }

// acos within 2e-8 of the exact value (a minimax polynomial in sqrt(1 - |x|) form).
F4 Acos(F4 x) {
  const F4 t = Abs(x);
  F4 p = F4::Constant(-0.0012624911f);
  p = p * t + F4::Constant(0.0066700901f);
  p = p * t - F4::Constant(0.0170881256f);
  p = p * t + F4::Constant(0.0308918810f);
  p = p * t - F4::Constant(0.0501743046f);
  p = p * t + F4::Constant(0.0889789874f);
  p = p * t - F4::Constant(0.2145988016f);
  p = p * t + F4::Constant(1.5707963050f);
  const F4 angle = Sqrt(F4::Constant(1.0f) - t) * p;
  return Select(x < F4::Constant(0.0f), F4::Constant(static_cast<float>(M_PI)) - angle, angle);
}

// The angle between two vectors of the given lengths and dot product; 0 when either is zero
// or the cosine is not a number.
F4 AngleBetween(F4 dot, F4 length_u, F4 length_v) {
  const F4 lengths = length_u * length_v;
  const F4 cosine = dot / lengths;
  const F4 usable = (lengths != F4::Constant(0.0f)) & (cosine <= F4::Constant(1.0f));
  return usable & Acos(Max(cosine, F4::Constant(-1.0f)));
}

F4 Length(F4 x, F4 y, F4 z) { return Sqrt(x * x + y * y + z * z); }

// Floats per triangle row: unit normal, tangent and bitangent (zero for a triangle that
// adds nothing), then the angles at corners a, b and c.
constexpr int kRow = 12;
constexpr int kAngles = 9;

// Four triangles: their edges E1 = P[b] - P[a], E2 = P[c] - P[a], E3 = P[c] - P[b] as
// x, y and z lanes (the fourth entry is unused), and their texture terms, in; one row of kRow floats per triangle written to
// `rows` (16-byte aligned).
void ComputeTriangleRows(const F4 (&e1)[4], const F4 (&e2)[4], const F4 (&e3)[4],
                         const float* texture_terms, float* rows) {
  const F4 eps = F4::Constant(kAbsoluteErrorEps);
  const F4 one = F4::Constant(1.0f);
  const F4 du1 = F4::Load(texture_terms), dv1 = F4::Load(texture_terms + 4);
  const F4 du2 = F4::Load(texture_terms + 8), dv2 = F4::Load(texture_terms + 12);
  const F4 nx = e1[1] * e2[2] - e1[2] * e2[1];
  const F4 ny = e1[2] * e2[0] - e1[0] * e2[2];
  const F4 nz = e1[0] * e2[1] - e1[1] * e2[0];
  const F4 tx = dv1 * e2[0] - dv2 * e1[0];
  const F4 ty = dv1 * e2[1] - dv2 * e1[1];
  const F4 tz = dv1 * e2[2] - dv2 * e1[2];
  const F4 bx = du1 * e2[0] - du2 * e1[0];
  const F4 by = du1 * e2[1] - du2 * e1[1];
  const F4 bz = du1 * e2[2] - du2 * e1[2];
  const F4 normal_length = Length(nx, ny, nz);
  const F4 tangent_length = Length(tx, ty, tz);
  const F4 bitangent_length = Length(bx, by, bz);
  // Corner angles at a (between E1 and E2) and b (between -E1 and E3); the angle at c is
  // what remains of pi, in double precision.
  const F4 length1 = Length(e1[0], e1[1], e1[2]);
  const F4 length2 = Length(e2[0], e2[1], e2[2]);
  const F4 length3 = Length(e3[0], e3[1], e3[2]);
  const F4 angle_a = AngleBetween(e1[0] * e2[0] + e1[1] * e2[1] + e1[2] * e2[2], length1, length2);
  const F4 angle_b =
      AngleBetween(-(e1[0] * e3[0] + e1[1] * e3[1] + e1[2] * e3[2]), length1, length3);
  const F4 angle_c = AngleC(angle_a, angle_b);
  // A degenerate triangle, or one without texture-space extent, adds nothing: its unit
  // vectors become zero.
  const F4 usable =
      Not((normal_length < eps) | (tangent_length < eps) | (bitangent_length < eps));
  const F4 normal_scale = usable & (one / normal_length);
  const F4 tangent_scale = usable & (one / tangent_length);
  const F4 bitangent_scale = usable & (one / bitangent_length);
  F4 r0[4] = {nx * normal_scale, ny * normal_scale, nz * normal_scale, tx * tangent_scale};
  F4 r1[4] = {ty * tangent_scale, tz * tangent_scale, bx * bitangent_scale,
              by * bitangent_scale};
  F4 r2[4] = {bz * bitangent_scale, angle_a, angle_b, angle_c};
  // Lanes to rows.
  Transpose(r0);
  Transpose(r1);
  Transpose(r2);
  for (int lane = 0; lane < 4; ++lane) {
    r0[lane].Store(rows + kRow * lane);
    r1[lane].Store(rows + kRow * lane + 4);
    r2[lane].Store(rows + kRow * lane + 8);
  }
}

// Per-thread working memory of the estimates, kept between calls.
std::vector<float>& ScratchBuffer() {
  static thread_local std::vector<float> buffer;
  return buffer;
}

}  // namespace

MeshEstimator::MeshEstimator(std::vector<Eigen::Vector2f> mesh_vertex_tex_coords,
                             std::vector<uint16_t> mesh_triangle_indices,
                             std::vector<uint16_t> tangent_space_triangles,
                             std::vector<float> texture_terms,
                             std::vector<uint32_t> vertex_corner_offsets,
                             std::vector<uint32_t> vertex_corners)
    : mesh_vertex_tex_coords_(std::move(mesh_vertex_tex_coords)),
      mesh_triangle_indices_(std::move(mesh_triangle_indices)),
      tangent_space_triangles_(std::move(tangent_space_triangles)),
      texture_terms_(std::move(texture_terms)),
      vertex_corner_offsets_(std::move(vertex_corner_offsets)),
      vertex_corners_(std::move(vertex_corners)) {}

util::StatusOr<std::unique_ptr<MeshEstimator>> MeshEstimator::Create(const FaceModelT& face_model) {
  const size_t vertices_num = face_model.vertex_positions.size() / 3;
  const size_t tex_coords_num = face_model.tex_coords.size() / 2;
  const size_t faces_num = face_model.mesh_faces.size() / 6;

  std::vector<Eigen::Vector2f> tex_coords(vertices_num, Eigen::Vector2f::Zero());
  std::vector<absl::optional<uint16_t>> vertex_tex_coord_ids(vertices_num);
  std::vector<uint16_t> triangle_indices(3 * faces_num);
  for (size_t i = 0; i < faces_num; ++i) {
    for (size_t j = 0; j < 3; ++j) {
      const uint16_t vertex_id = face_model.mesh_faces[6 * i + 2 * j];
      const uint16_t tex_coord_id = face_model.mesh_faces[6 * i + 2 * j + 1];
      RET_CHECK_LT(vertex_id, vertices_num)
          << "Face mesh vertex ID is too large! Face ID #" << i << ", vertex id #" << j;
      RET_CHECK_LT(tex_coord_id, tex_coords_num)
          << "Face mesh texture coordinate ID is too large! Face ID #" << i << ", vertex id #" << j;
      if (!vertex_tex_coord_ids[vertex_id].has_value()) {
        vertex_tex_coord_ids[vertex_id] = tex_coord_id;
        tex_coords[vertex_id] = {face_model.tex_coords[2 * tex_coord_id],
                                 face_model.tex_coords[2 * tex_coord_id + 1]};
      } else {
        RET_CHECK_EQ(vertex_tex_coord_ids[vertex_id].value(), tex_coord_id)
            << "Each mesh vertex must have a unique UV coordinate! Face ID #" << i
            << ", vertex id #" << j;
      }
      triangle_indices[3 * i + j] = vertex_id;
    }
  }

  // A tangent-space triangle that is not whole or names a missing vertex would be read out
  // of bounds on every estimate: refuse it here.
  const std::vector<uint16_t>& tangent_space_triangles = face_model.tangent_space_triangles;
  RET_CHECK_EQ(tangent_space_triangles.size() % 3, 0u)
      << "Tangent space triangle list length must be a multiple of 3!";
  for (size_t k = 0; k < tangent_space_triangles.size(); ++k) {
    RET_CHECK_LT(tangent_space_triangles[k], vertices_num)
        << "Tangent space triangle vertex ID is too large! Triangle #" << k / 3 << ", vertex id #"
        << k % 3;
  }

  // The texture-space terms depend on the texture coordinates only. Per group of four
  // triangles: du1, dv1, du2 and dv2 of each, each multiplied by the triangle's
  // texture-space orientation sign (+1 or -1, so exactly). The last group is padded with
  // zeros.
  const size_t triangles_num = tangent_space_triangles.size() / 3;
  std::vector<float> texture_terms(4 * ((triangles_num + 3) / 4) * 4, 0.0f);
  for (size_t m = 0; m < triangles_num; ++m) {
    const uint16_t* corners = &tangent_space_triangles[3 * m];
    const Eigen::Vector2f d1 = tex_coords[corners[1]] - tex_coords[corners[0]];
    const Eigen::Vector2f d2 = tex_coords[corners[2]] - tex_coords[corners[0]];
    // Texture-space orientation; NaN counts as positive.
    const float r = d1.y() * d2.x() - d1.x() * d2.y() < 0.0f ? -1.0f : 1.0f;
    float* const group = &texture_terms[16 * (m / 4) + m % 4];
    group[0] = r * d1.x();
    group[4] = r * d1.y();
    group[8] = r * d2.x();
    group[12] = r * d2.y();
  }

  // The corners of every vertex, in triangle order: 12 times the triangle index (the start
  // of the triangle's row) plus the corner (0 to 2) in the low two bits.
  std::vector<uint32_t> vertex_corner_offsets(vertices_num + 1, 0);
  for (const uint16_t vertex_id : tangent_space_triangles) ++vertex_corner_offsets[vertex_id + 1];
  for (size_t k = 0; k < vertices_num; ++k) {
    vertex_corner_offsets[k + 1] += vertex_corner_offsets[k];
  }
  std::vector<uint32_t> vertex_corners(tangent_space_triangles.size());
  std::vector<uint32_t> next(vertex_corner_offsets.begin(), vertex_corner_offsets.end() - 1);
  for (size_t corner = 0; corner < tangent_space_triangles.size(); ++corner) {
    vertex_corners[next[tangent_space_triangles[corner]]++] =
        static_cast<uint32_t>(kRow * (corner / 3) + corner % 3);
  }

  return std::unique_ptr<MeshEstimator>(new MeshEstimator(
      std::move(tex_coords), std::move(triangle_indices), tangent_space_triangles,
      std::move(texture_terms), std::move(vertex_corner_offsets), std::move(vertex_corners)));
}

template <typename Write>
absl::Status MeshEstimator::ComputeNormalsAndTangents(
    const std::vector<Eigen::Vector3f>& vertex_positions, Write write) const {
  const int vertices_num = static_cast<int>(vertex_positions.size());
  if (tangent_space_triangles_.empty()) {
    for (int k = 0; k < vertices_num; ++k) {
      write(k, Eigen::Vector3f::Zero(), Eigen::Vector4f::Zero());
    }
    return absl::OkStatus();
  }
  const int triangles_num = static_cast<int>(tangent_space_triangles_.size() / 3);
  const int groups_num = (triangles_num + 3) / 4;
  // The positions padded to four floats, then one row per triangle.
  std::vector<float>& scratch = ScratchBuffer();
  scratch.resize(4 * static_cast<size_t>(vertices_num) + kRow * 4 * static_cast<size_t>(groups_num));
  float* const positions = scratch.data();
  float* const rows = positions + 4 * vertices_num;
  for (int k = 0; k < vertices_num; ++k) {
    const Eigen::Vector3f& p = vertex_positions[k];
    F4{_mm_setr_ps(p.x(), p.y(), p.z(), 0.0f)}.Store(positions + 4 * k);
  }
  for (int group = 0; group < groups_num; ++group) {
    // Edges of each triangle as (x, y, z, 0), turned into one vector per component; lanes
    // past the last triangle stay zero and give rows that are never read.
    F4 e1[4], e2[4], e3[4];
    for (int lane = 0; lane < 4; ++lane) {
      const int m = 4 * group + lane;
      if (m < triangles_num) {
        const uint16_t* corners = &tangent_space_triangles_[3 * m];
        const F4 pa = F4::Load(positions + 4 * corners[0]);
        const F4 pb = F4::Load(positions + 4 * corners[1]);
        const F4 pc = F4::Load(positions + 4 * corners[2]);
        e1[lane] = pb - pa;
        e2[lane] = pc - pa;
        e3[lane] = pc - pb;
      } else {
        e1[lane] = e2[lane] = e3[lane] = F4::Constant(0.0f);
      }
    }
    Transpose(e1);
    Transpose(e2);
    Transpose(e3);
    ComputeTriangleRows(e1, e2, e3, &texture_terms_[16 * group], rows + kRow * 4 * group);
  }

  // Four vertices at a time: their sums, one lane per vertex, are normalised together.
  for (int first = 0; first < vertices_num; first += 4) {
    const int n = std::min(4, vertices_num - first);
    // The angle-weighted sums of the unit vectors of each vertex's corners, in triangle
    // order; lanes 9 to 11 are padding. Missing vertices of the last group stay zero.
    F4 sums[3][4];
    for (int lane = 0; lane < 4; ++lane) {
      F4 sum0 = F4::Constant(0.0f), sum1 = sum0, sum2 = sum0;
      const int k = first + lane;
      if (lane < n) {
        for (uint32_t j = vertex_corner_offsets_[k]; j < vertex_corner_offsets_[k + 1]; ++j) {
          const uint32_t corner = vertex_corners_[j];
          const float* const row = rows + (corner & ~3u);
          const F4 angle = F4::Constant(row[kAngles + (corner & 3u)]);
          sum0 = sum0 + angle * F4::Load(row);
          sum1 = sum1 + angle * F4::Load(row + 4);
          sum2 = sum2 + angle * F4::Load(row + 8);
        }
      }
      sums[0][lane] = sum0;
      sums[1][lane] = sum1;
      sums[2][lane] = sum2;
    }
    // Rows to lanes: nx, ny, nz, tx | ty, tz, bx, by | bz and padding.
    Transpose(sums[0]);
    Transpose(sums[1]);
    Transpose(sums[2]);
    const F4 nx = sums[0][0], ny = sums[0][1], nz = sums[0][2], tx = sums[0][3];
    const F4 ty = sums[1][0], tz = sums[1][1], bx = sums[1][2], by = sums[1][3];
    const F4 bz = sums[2][0];
    const F4 normal_length = Length(nx, ny, nz);
    const F4 tangent_length = Length(tx, ty, tz);
    const F4 bitangent_length = Length(bx, by, bz);
    const F4 eps = F4::Constant(kAbsoluteErrorEps);
    const F4 fine = (eps < normal_length) & (eps < tangent_length) & (eps < bitangent_length);
    if ((_mm_movemask_ps(fine.v) & ((1 << n) - 1)) != (1 << n) - 1) {
      // The first vertex without a normal, tangent or bitangent, in that order.
      alignas(16) float lengths[3][4];
      normal_length.Store(lengths[0]);
      tangent_length.Store(lengths[1]);
      bitangent_length.Store(lengths[2]);
      for (int lane = 0; lane < n; ++lane) {
        const int k = first + lane;
        const LaneLength vertex_normal{lengths[0][lane]};
        const LaneLength vertex_tangent{lengths[1][lane]};
        const LaneLength vertex_bitangent{lengths[2][lane]};
        RET_CHECK_GT(vertex_normal.Length(), kAbsoluteErrorEps)
            << "Failed to compute normal for vertex #" << k << "!";
        RET_CHECK_GT(vertex_tangent.Length(), kAbsoluteErrorEps)
            << "Failed to compute tangent for vertex #" << k << "!";
        RET_CHECK_GT(vertex_bitangent.Length(), kAbsoluteErrorEps)
            << "Failed to compute bitangent for vertex #" << k << "!";
      }
    }
    const F4 one = F4::Constant(1.0f);
    const F4 normal_scale = one / normal_length;
    const F4 tangent_scale = one / tangent_length;
    F4 normal[4] = {nx * normal_scale, ny * normal_scale, nz * normal_scale, F4::Constant(0.0f)};
    F4 tangent[4] = {tx * tangent_scale, ty * tangent_scale, tz * tangent_scale, one};
    // Handedness: the sign of bitangent . (normal x tangent); the bitangent's length does not
    // change it.
    const F4 handedness = bx * (normal[1] * tangent[2] - normal[2] * tangent[1]) +
                          by * (normal[2] * tangent[0] - normal[0] * tangent[2]) +
                          bz * (normal[0] * tangent[1] - normal[1] * tangent[0]);
    tangent[3] = Select(handedness < F4::Constant(0.0f), F4::Constant(-1.0f), one);
    // Lanes back to one vector per vertex.
    Transpose(normal);
    Transpose(tangent);
    for (int lane = 0; lane < n; ++lane) {
      alignas(16) float normal_xyz[4], tangent_xyzw[4];
      normal[lane].Store(normal_xyz);
      tangent[lane].Store(tangent_xyzw);
      write(first + lane, Eigen::Vector3f(normal_xyz[0], normal_xyz[1], normal_xyz[2]),
            Eigen::Vector4f(tangent_xyzw[0], tangent_xyzw[1], tangent_xyzw[2], tangent_xyzw[3]));
    }
  }
  return absl::OkStatus();
}

util::StatusOr<Mesh> MeshEstimator::Estimate(
    const std::vector<Eigen::Vector3f>& vertex_positions) const {
  RET_CHECK_EQ(mesh_vertex_tex_coords_.size(), vertex_positions.size())
      << "Unexpected number of vertices!";
  Mesh mesh;
  mesh.vertices.reserve(vertex_positions.size());
  RETURN_IF_ERROR(ComputeNormalsAndTangents(
      vertex_positions,
      [&](int k, const Eigen::Vector3f& normal, const Eigen::Vector4f& tangent) {
        mesh.vertices.push_back(
            {vertex_positions[k], mesh_vertex_tex_coords_[k], normal, tangent});
      }))
      << "while computing vertex normal & tangents!";
  mesh.triangle_indices = mesh_triangle_indices_;
  return mesh;
}

absl::Status MeshEstimator::ComputeVertexNormalsAndTangents(
    const std::vector<Eigen::Vector3f>& vertex_positions,
    std::vector<Eigen::Vector3f>* vertex_normals,
    std::vector<Eigen::Vector4f>* vertex_tangents) const {
  vertex_normals->assign(vertex_positions.size(), Eigen::Vector3f::Zero());
  vertex_tangents->assign(vertex_positions.size(), Eigen::Vector4f::Zero());
  return ComputeNormalsAndTangents(
      vertex_positions,
      [&](int k, const Eigen::Vector3f& normal, const Eigen::Vector4f& tangent) {
        (*vertex_normals)[k] = normal;
        (*vertex_tangents)[k] = tangent;
      });
}

}  // namespace face_transform
}  // namespace quorrel
