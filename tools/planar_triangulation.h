// Delaunay triangulation of a planar point set, used by the face-model generator to mesh
// the synthetic face surface over its (x, y) footprint.
#ifndef TOOLS_PLANAR_TRIANGULATION_H_
#define TOOLS_PLANAR_TRIANGULATION_H_

#include <array>
#include <vector>

namespace tools {

struct Point2 {
  double x = 0.0;
  double y = 0.0;
};

// Returns the Delaunay triangles of `points` (Bowyer-Watson), each as three point indices in
// counter-clockwise order. The points must be distinct; the triangles cover their convex
// hull. Deterministic for a given input order.
std::vector<std::array<int, 3>> DelaunayTriangulate(const std::vector<Point2>& points);

// Twice the signed area of triangle (a, b, c): positive when counter-clockwise.
double SignedDoubleArea(const Point2& a, const Point2& b, const Point2& c);

}  // namespace tools

#endif  // TOOLS_PLANAR_TRIANGULATION_H_
