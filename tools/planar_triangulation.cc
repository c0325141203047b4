#include "tools/planar_triangulation.h"

#include <algorithm>
#include <map>
#include <utility>

namespace tools {
namespace {

struct Triangle {
  std::array<int, 3> v;
  double cx, cy, r2;  // circumcircle
};

Triangle MakeTriangle(const std::vector<Point2>& p, int a, int b, int c) {
  if (SignedDoubleArea(p[a], p[b], p[c]) < 0) std::swap(b, c);
  const double ax = p[a].x, ay = p[a].y;
  const double bx = p[b].x - ax, by = p[b].y - ay;
  const double cx = p[c].x - ax, cy = p[c].y - ay;
  const double d = 2.0 * (bx * cy - by * cx);
  const double b2 = bx * bx + by * by, c2 = cx * cx + cy * cy;
  const double ux = (cy * b2 - by * c2) / d, uy = (bx * c2 - cx * b2) / d;
  return Triangle{{a, b, c}, ax + ux, ay + uy, ux * ux + uy * uy};
}

}  // namespace

double SignedDoubleArea(const Point2& a, const Point2& b, const Point2& c) {
  return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

std::vector<std::array<int, 3>> DelaunayTriangulate(const std::vector<Point2>& input) {
  const int n = static_cast<int>(input.size());
  std::vector<Point2> p = input;
  // A super triangle far enough away that its circumcircles near the hull are almost
  // half-planes, so that every hull edge survives its removal.
  double min_x = 0, max_x = 0, min_y = 0, max_y = 0;
  for (const Point2& q : input) {
    min_x = std::min(min_x, q.x), max_x = std::max(max_x, q.x);
    min_y = std::min(min_y, q.y), max_y = std::max(max_y, q.y);
  }
  const double span = std::max(max_x - min_x, max_y - min_y) * 1e5 + 1.0;
  const double mx = (min_x + max_x) / 2, my = (min_y + max_y) / 2;
  p.push_back({mx - 2 * span, my - span});
  p.push_back({mx + 2 * span, my - span});
  p.push_back({mx, my + 2 * span});

  std::vector<Triangle> triangles = {MakeTriangle(p, n, n + 1, n + 2)};
  for (int i = 0; i < n; ++i) {
    // Edges of the cavity: edges of the triangles whose circumcircle holds point i that
    // no second such triangle shares.
    std::map<std::pair<int, int>, int> edge_count;
    std::vector<std::pair<int, int>> edges;
    std::vector<Triangle> kept;
    kept.reserve(triangles.size() + 2);
    for (const Triangle& t : triangles) {
      const double dx = p[i].x - t.cx, dy = p[i].y - t.cy;
      if (dx * dx + dy * dy < t.r2) {
        for (int k = 0; k < 3; ++k) {
          const int a = t.v[k], b = t.v[(k + 1) % 3];
          edges.emplace_back(a, b);
          ++edge_count[{std::min(a, b), std::max(a, b)}];
        }
      } else {
        kept.push_back(t);
      }
    }
    for (const auto& [a, b] : edges) {
      if (edge_count[{std::min(a, b), std::max(a, b)}] == 1) {
        kept.push_back(MakeTriangle(p, a, b, i));
      }
    }
    triangles = std::move(kept);
  }

  std::vector<std::array<int, 3>> result;
  for (const Triangle& t : triangles) {
    if (t.v[0] < n && t.v[1] < n && t.v[2] < n) result.push_back(t.v);
  }
  return result;
}

}  // namespace tools
