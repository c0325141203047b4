#include "platform/metal/rasterizer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

namespace platform::metal::internal {
namespace {

constexpr double kMaxWindowCoordinate = 1 << 20;

bool ToWindow(const VertexOut& v, int width, int height, TriangleSetup::Vertex* out) {
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

// Whether centres exactly on the edge a -> b belong to the triangle: a top edge (horizontal,
// interior below) or a left edge (interior to its right), for a triangle of positive area.
bool OwnsCentresOnEdge(const TriangleSetup::Vertex& a, const TriangleSetup::Vertex& b) {
  const int64_t dx = b.x - a.x, dy = b.y - a.y;
  return dy < 0 || (dy == 0 && dx > 0);
}

}  // namespace

int ActiveVaryings(const VertexOut& a, const VertexOut& b, const VertexOut& c) {
  for (int k = kMaxVaryings; k > 0; --k) {
    if ((std::bit_cast<uint32_t>(a.varyings[k - 1]) | std::bit_cast<uint32_t>(b.varyings[k - 1]) |
         std::bit_cast<uint32_t>(c.varyings[k - 1])) != 0) {
      return k;
    }
  }
  return 0;
}

namespace {

int64_t FloorDivide(int64_t numerator, int64_t denominator) {
  const int64_t quotient = numerator / denominator;
  return (numerator % denominator != 0 && (numerator < 0) != (denominator < 0)) ? quotient - 1 : quotient;
}

}  // namespace

void InsideRun(int64_t start, int64_t step, int64_t threshold, int64_t count, int64_t* first, int64_t* last) {
  *first = 0;
  *last = count - 1;
  if (step == 0) {
    if (start < threshold) *last = -1;
  } else if (step > 0) {  // start + k * step >= threshold from k = ceil((threshold - start) / step) on
    *first = std::clamp<int64_t>(-FloorDivide(start - threshold, step), 0, count);
  } else {  // up to k = floor((start - threshold) / -step)
    *last = std::clamp<int64_t>(FloorDivide(start - threshold, -step), -1, count - 1);
  }
}

bool SetUpTriangle(const VertexOut& a, const VertexOut& b, const VertexOut& c, int width, int height,
                   TriangleSetup* t) {
  auto& v = t->v;
  if (!ToWindow(a, width, height, &v[0]) || !ToWindow(b, width, height, &v[1]) ||
      !ToWindow(c, width, height, &v[2])) {
    return false;
  }
  t->area = (v[1].x - v[0].x) * (v[2].y - v[0].y) - (v[1].y - v[0].y) * (v[2].x - v[0].x);
  if (t->area == 0) return false;
  if (t->area < 0) {
    std::swap(v[1], v[2]);
    t->area = -t->area;
  }
  for (int i = 0; i < 3; ++i) t->owns_edge[i] = OwnsCentresOnEdge(v[(i + 1) % 3], v[(i + 2) % 3]);

  // Pixels whose centres (i * 256 + 128) fall within the bounding box.
  const int64_t min_x = std::min({v[0].x, v[1].x, v[2].x}), max_x = std::max({v[0].x, v[1].x, v[2].x});
  const int64_t min_y = std::min({v[0].y, v[1].y, v[2].y}), max_y = std::max({v[0].y, v[1].y, v[2].y});
  const auto first = [](int64_t lo) { return static_cast<int64_t>(std::ceil((lo - 128) / double{kSubpixels})); };
  const auto last = [](int64_t hi) { return static_cast<int64_t>(std::floor((hi - 128) / double{kSubpixels})); };
  t->x0 = static_cast<int>(std::max<int64_t>(0, first(min_x)));
  t->x1 = static_cast<int>(std::min<int64_t>(width - 1, last(max_x)));
  t->y0 = static_cast<int>(std::max<int64_t>(0, first(min_y)));
  t->y1 = static_cast<int>(std::min<int64_t>(height - 1, last(max_y)));
  return t->x0 <= t->x1 && t->y0 <= t->y1;
}

}  // namespace platform::metal::internal
