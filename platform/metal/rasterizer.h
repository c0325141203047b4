#ifndef PLATFORM_METAL_RASTERIZER_H_
#define PLATFORM_METAL_RASTERIZER_H_

// The triangle rasteriser behind the render encoder.
//
// Clip-space positions are divided by w and mapped to the window: x from -1..1 to 0..width,
// y from 1..-1 to 0..height (row 0 at the top, as textures store it). Window positions are
// snapped to 1/256 pixel, and a pixel is covered when its centre (x + 0.5, y + 0.5) lies inside
// the triangle; a centre exactly on an edge belongs to the triangle only when that edge is a
// top edge (horizontal, interior below) or a left edge (interior to its right). With snapped
// positions the edge tests are exact integers, so triangles that share an edge cover each
// pixel along it exactly once, and a mesh without gaps covers each pixel exactly once.
//
// Both windings are drawn (no culling). There is no clipping: a triangle with a vertex at
// w <= 0, or reaching more than 2^20 pixels from the origin, is not drawn. Depth and varyings
// are interpolated linearly in window space.

#include <algorithm>
#include <cstdint>

#include "platform/metal/library.h"

namespace platform::metal::internal {

// A triangle ready to be scanned: window positions in 1/256 pixel, ordered so that its area is
// positive, and the pixel range its bounding box covers within the target.
struct TriangleSetup {
  struct Vertex {
    int64_t x, y;
    float z;
    const VertexOut* source;
  };
  Vertex v[3];
  bool owns_edge[3];  // edge i runs between the two vertices other than v[i]
  int64_t area;
  int x0, x1, y0, y1;  // inclusive pixel range; empty when x0 > x1 or y0 > y1
};

// False when nothing of the triangle is drawn (degenerate, w <= 0, or out of range).
bool SetUpTriangle(const VertexOut& a, const VertexOut& b, const VertexOut& c, int width, int height,
                   TriangleSetup* setup);

inline constexpr int64_t kSubpixels = 256;

// How many leading varyings the fragments of the triangle need: those after the last one that
// is +0.0 at all three vertices interpolate to exactly +0.0 (the weights are never negative),
// so they are left at zero instead of being interpolated.
int ActiveVaryings(const VertexOut& a, const VertexOut& b, const VertexOut& c);

// The first and last k in [0, count) for which the edge value start + k * step is inside, that
// is >= threshold (0 when the triangle owns centres on the edge, else 1). The values are
// linear in k, so the inside ones form one run; first > last when there is none.
void InsideRun(int64_t start, int64_t step, int64_t threshold, int64_t count, int64_t* first, int64_t* last);

// Calls run(FragmentSpan&) for every row of a width x height target that the triangle covers,
// from the top, with the span's position, count and interpolation filled in (its texels and
// format are left to the caller).
template <typename Run>
void RasterizeTriangleSpans(const VertexOut& a, const VertexOut& b, const VertexOut& c, int width, int height,
                            Run&& run) {
  TriangleSetup t;
  if (!SetUpTriangle(a, b, c, width, height, &t)) return;
  const auto& v = t.v;
  // Edge i of pixel centre (px, py): twice the signed area of (its two vertices, the centre).
  // Stepping one pixel right changes it by -dy * 256.
  int64_t step_y[3];
  int64_t row_start[3], threshold[3];
  FragmentSpan span{};
  const int64_t px0 = t.x0 * kSubpixels + kSubpixels / 2, py0 = t.y0 * kSubpixels + kSubpixels / 2;
  for (int i = 0; i < 3; ++i) {
    const auto& from = v[(i + 1) % 3];
    const auto& to = v[(i + 2) % 3];
    span.edge_step[i] = -(to.y - from.y) * kSubpixels;
    step_y[i] = (to.x - from.x) * kSubpixels;
    row_start[i] = (to.x - from.x) * (py0 - from.y) - (to.y - from.y) * (px0 - from.x);
    threshold[i] = t.owns_edge[i] ? 0 : 1;
    span.z[i] = v[i].z;
    span.varyings[i] = v[i].source->varyings.data();
  }
  span.inverse_area = 1.0 / static_cast<double>(t.area);
  span.active_varyings = ActiveVaryings(*v[0].source, *v[1].source, *v[2].source);
  const int64_t columns = t.x1 - t.x0 + 1;
  for (int y = t.y0; y <= t.y1; ++y) {
    // The covered pixels of the row: where all three edges are inside.
    int64_t first = 0, last = columns - 1;
    for (int i = 0; i < 3; ++i) {
      int64_t edge_first, edge_last;
      InsideRun(row_start[i], span.edge_step[i], threshold[i], columns, &edge_first, &edge_last);
      first = std::max(first, edge_first);
      last = std::min(last, edge_last);
    }
    if (first <= last) {
      for (int i = 0; i < 3; ++i) span.edge[i] = row_start[i] + first * span.edge_step[i];
      span.x = t.x0 + static_cast<int>(first);
      span.y = y;
      span.count = static_cast<int>(last - first + 1);
      run(span);
    }
    for (int i = 0; i < 3; ++i) row_start[i] += step_y[i];
  }
}

// Calls shade(x, y, const FragmentIn&) for every covered pixel of a width x height target, in
// rows from the top and from the left within a row.
template <typename Shade>
void RasterizeTriangle(const VertexOut& a, const VertexOut& b, const VertexOut& c, int width, int height,
                       Shade&& shade) {
  FragmentIn in{};
  RasterizeTriangleSpans(a, b, c, width, height, [&](const FragmentSpan& span) {
    for (int i = 0; i < span.count; ++i) {
      span.fragment(i, &in);
      shade(span.x + i, span.y, in);
    }
  });
}

}  // namespace platform::metal::internal

#endif  // PLATFORM_METAL_RASTERIZER_H_
