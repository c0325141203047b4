#include "platform/metal/rasterizer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace platform::metal::internal {
namespace {

constexpr int64_t kSubpixels = 256;
constexpr double kMaxWindowCoordinate = 1 << 20;

struct WindowVertex {
  int64_t x, y;  // in 1/256 pixel
  float z;
  const VertexOut* source;
};

bool ToWindow(const VertexOut& v, int width, int height, WindowVertex* out) {
  const float w = v.position[3];
  if (!(w > 0)) return false;
  const double x = (v.position[0] / w + 1.0) * 0.5 * width;
  const double y = (1.0 - v.position[1] / w) * 0.5 * height;
  if (!(std::abs(x) <= kMaxWindowCoordinate && std::abs(y) <= kMaxWindowCoordinate)) return false;
  out->x = std::llround(x * kSubpixels);
  out->y = std::llround(y * kSubpixels);
  out->z = v.position[2] / w;
  out->source = &v;
  return true;
}

// Twice the signed area of (a, b, p); positive when p lies on the interior side of a -> b for
// a triangle ordered so that its area is positive.
int64_t Edge(const WindowVertex& a, const WindowVertex& b, int64_t px, int64_t py) {
  return (b.x - a.x) * (py - a.y) - (b.y - a.y) * (px - a.x);
}

// Whether centres exactly on the edge a -> b belong to the triangle (top or left edge).
bool OwnsCentresOnEdge(const WindowVertex& a, const WindowVertex& b) {
  const int64_t dx = b.x - a.x, dy = b.y - a.y;
  return dy < 0 || (dy == 0 && dx > 0);
}

bool Covered(int64_t edge, bool owns_edge) { return edge > 0 || (edge == 0 && owns_edge); }

}  // namespace

void RasterizeTriangle(const VertexOut& a, const VertexOut& b, const VertexOut& c, int width, int height,
                       const ShadePixel& shade) {
  WindowVertex v[3];
  if (!ToWindow(a, width, height, &v[0]) || !ToWindow(b, width, height, &v[1]) ||
      !ToWindow(c, width, height, &v[2])) {
    return;
  }
  int64_t area = Edge(v[0], v[1], v[2].x, v[2].y);
  if (area == 0) return;
  if (area < 0) {
    std::swap(v[1], v[2]);
    area = -area;
  }
  const bool owns[3] = {OwnsCentresOnEdge(v[1], v[2]), OwnsCentresOnEdge(v[2], v[0]),
                        OwnsCentresOnEdge(v[0], v[1])};

  // Pixels whose centres (i * 256 + 128) fall within the bounding box.
  const int64_t min_x = std::min({v[0].x, v[1].x, v[2].x}), max_x = std::max({v[0].x, v[1].x, v[2].x});
  const int64_t min_y = std::min({v[0].y, v[1].y, v[2].y}), max_y = std::max({v[0].y, v[1].y, v[2].y});
  const auto first = [](int64_t lo) { return static_cast<int64_t>(std::ceil((lo - 128) / double{kSubpixels})); };
  const auto last = [](int64_t hi) { return static_cast<int64_t>(std::floor((hi - 128) / double{kSubpixels})); };
  const int x0 = static_cast<int>(std::max<int64_t>(0, first(min_x)));
  const int x1 = static_cast<int>(std::min<int64_t>(width - 1, last(max_x)));
  const int y0 = static_cast<int>(std::max<int64_t>(0, first(min_y)));
  const int y1 = static_cast<int>(std::min<int64_t>(height - 1, last(max_y)));

  const double inverse_area = 1.0 / static_cast<double>(area);
  FragmentIn in;
  for (int y = y0; y <= y1; ++y) {
    const int64_t py = y * kSubpixels + kSubpixels / 2;
    for (int x = x0; x <= x1; ++x) {
      const int64_t px = x * kSubpixels + kSubpixels / 2;
      const int64_t e0 = Edge(v[1], v[2], px, py);  // weight of v[0]
      const int64_t e1 = Edge(v[2], v[0], px, py);  // weight of v[1]
      const int64_t e2 = Edge(v[0], v[1], px, py);  // weight of v[2]
      if (!Covered(e0, owns[0]) || !Covered(e1, owns[1]) || !Covered(e2, owns[2])) continue;
      const float l0 = static_cast<float>(e0 * inverse_area);
      const float l1 = static_cast<float>(e1 * inverse_area);
      const float l2 = static_cast<float>(e2 * inverse_area);
      in.position = {x + 0.5f, y + 0.5f, l0 * v[0].z + l1 * v[1].z + l2 * v[2].z, 1.0f};
      const auto& va = v[0].source->varyings;
      const auto& vb = v[1].source->varyings;
      const auto& vc = v[2].source->varyings;
      for (int k = 0; k < kMaxVaryings; ++k) in.varyings[k] = l0 * va[k] + l1 * vb[k] + l2 * vc[k];
      shade(x, y, in);
    }
  }
}

}  // namespace platform::metal::internal
