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

#include <functional>

#include "platform/metal/library.h"

namespace platform::metal::internal {

using ShadePixel = std::function<void(int x, int y, const FragmentIn& in)>;

// Calls `shade` for every covered pixel of a width x height target, in rows from the top.
void RasterizeTriangle(const VertexOut& a, const VertexOut& b, const VertexOut& c, int width, int height,
                       const ShadePixel& shade);

}  // namespace platform::metal::internal

#endif  // PLATFORM_METAL_RASTERIZER_H_
