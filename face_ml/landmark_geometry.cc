#include "face_ml/landmark_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr float kFloatMax = std::numeric_limits<float>::max();
// (1.2 - 1) / 2 in single precision: the bounding box grows by 1.2 about its centre.
constexpr float kBoundingBoxMargin = 0.100000024f;

}  // namespace

float CalculateArea(const Bound& bound) {
  return (bound.right - bound.left) * (bound.bottom - bound.top);
}

float CalculateIntersectionArea(const Bound& a, const Bound& b) {
  const float left = std::max(a.left, b.left);
  const float top = std::max(a.top, b.top);
  const float right = std::min(a.right, b.right);
  const float bottom = std::min(a.bottom, b.bottom);
  return std::max(right - left, 0.0f) * std::max(bottom - top, 0.0f);
}

float CalculateIOU(const Bound& a, const Bound& b) {
  const float area_a = CalculateArea(a);
  if (area_a <= 0) return 0;
  const float area_b = CalculateArea(b);
  if (area_b <= 0) return 0;
  const float intersection = CalculateIntersectionArea(a, b);
  return intersection / (area_a + area_b - intersection);
}

bool ContainsFaceWithBound(const std::vector<LandmarksDetectionResult::Face>& faces,
                           const Bound& bound) {
  for (const auto& face : faces) {
    if (CalculateIOU(face.rect, bound) > 0.85f) return true;
  }
  return false;
}

float CalculateTiltAngle(int width, int height, const LandmarksDetectionResult::Face& face,
                         const std::vector<Landmark>& landmarks, int index_a, int index_b) {
  const Landmark& a = landmarks[face.landmarks_begin + index_a];
  const Landmark& b = landmarks[face.landmarks_begin + index_b];
  const float angle = std::atan2((b.y - a.y) * static_cast<float>(height),
                                 (b.x - a.x) * static_cast<float>(width));
  return std::fmod(angle + kTwoPi, kTwoPi);
}

void GetRotatedSubRectToRectTransformMatrix(const utils::RotatedRect& roi, int width,
                                            int height, bool flip, Matrix4* matrix) {
  const float s = flip ? -1.0f : 1.0f;
  const float sinr = std::sin(roi.rotation);
  const float cosr = std::cos(roi.rotation);
  const float w = roi.width;
  const float h = roi.height;
  const float inv_width = 1.0f / static_cast<float>(width);
  const float inv_height = 1.0f / static_cast<float>(height);
  Matrix4& m = *matrix;
  m[0] = s * w * cosr * inv_width;
  m[1] = -h * sinr * inv_width;
  m[2] = 0;
  m[3] = (roi.center_x + (0.5f * h * sinr + s * (-0.5f * w) * cosr)) * inv_width;
  m[4] = s * w * sinr * inv_height;
  m[5] = h * cosr * inv_height;
  m[6] = 0;
  m[7] = (roi.center_y + (-0.5f * h * cosr - s * 0.5f * w * sinr)) * inv_height;
  m[8] = 0;
  m[9] = 0;
  m[10] = w * inv_width;
  m[11] = 0;
  m[12] = 0;
  m[13] = 0;
  m[14] = 0;
  m[15] = 1;
}

void TransformLandmark(const Matrix4& m, Landmark* landmark) {
  const float x = landmark->x;
  const float y = landmark->y;
  const float z = landmark->z;
  landmark->x = ((x * m[0] + y * m[1]) + z * m[2]) + m[3];
  landmark->y = ((x * m[4] + y * m[5]) + z * m[6]) + m[7];
  landmark->z = ((x * m[8] + y * m[9]) + z * m[10]) + m[11];
}

void TransformLandmarks(int width, int height, int input_width, int input_height,
                        const utils::RotatedRect& roi, bool flip,
                        std::vector<Landmark>* landmarks) {
  Matrix4 matrix;
  GetRotatedSubRectToRectTransformMatrix(roi, width, height, flip, &matrix);
  const float in_w = static_cast<float>(input_width);
  const float in_h = static_cast<float>(input_height);
  for (Landmark& landmark : *landmarks) {
    landmark.x /= in_w;
    landmark.y /= in_h;
    landmark.z /= in_w;
    TransformLandmark(matrix, &landmark);
  }
}

void CalculateBoundingBox(const std::vector<Landmark>& landmarks, Bound* bound) {
  float min_x = kFloatMax, min_y = kFloatMax;
  float max_x = -kFloatMax, max_y = -kFloatMax;
  for (const Landmark& l : landmarks) {
    min_x = std::min(min_x, l.x);
    max_x = std::max(max_x, l.x);
    min_y = std::min(min_y, l.y);
    max_y = std::max(max_y, l.y);
  }
  const float margin_x = (max_x - min_x) * kBoundingBoxMargin;
  const float margin_y = (max_y - min_y) * kBoundingBoxMargin;
  bound->left = min_x - margin_x;
  bound->right = max_x + margin_x;
  bound->top = min_y - margin_y;
  bound->bottom = max_y + margin_y;
}

bool CalculateContoursRegionOfInterest(const std::vector<Landmark>& landmarks, int width,
                                       int height, int index_a, int index_b,
                                       utils::RotatedRect* roi) {
  if (index_a < 0 || index_b < 0) return false;
  if (landmarks.size() <= static_cast<size_t>(index_a) ||
      landmarks.size() <= static_cast<size_t>(index_b)) {
    return false;
  }
  const float w = static_cast<float>(width);
  const float h = static_cast<float>(height);
  const float ox = landmarks[index_a].x * w;
  const float oy = landmarks[index_a].y * h;
  const float angle = std::atan2(landmarks[index_b].y * h - oy, landmarks[index_b].x * w - ox);
  const float sinr = std::sin(angle);
  const float cosr = std::cos(angle);

  float min_x = kFloatMax, min_y = kFloatMax;
  float max_x = -kFloatMax, max_y = -kFloatMax;
  for (const Landmark& l : landmarks) {
    const float dx = l.x * w - ox;
    const float dy = l.y * h - oy;
    const float rx = ox + (cosr * dx + sinr * dy);
    const float ry = oy + (-sinr * dx + cosr * dy);
    min_x = std::min(min_x, rx);
    max_x = std::max(max_x, rx);
    min_y = std::min(min_y, ry);
    max_y = std::max(max_y, ry);
  }
  const float cx = (max_x + min_x) * 0.5f - ox;
  const float cy = (max_y + min_y) * 0.5f - oy;
  roi->center_x = ox + (cosr * cx - sinr * cy);
  roi->center_y = oy + (sinr * cx + cosr * cy);
  roi->width = std::abs(max_x - min_x);
  roi->height = std::abs(max_y - min_y);
  roi->rotation = angle;
  return true;
}

bool CalculateZelkorFaceRegionOfInterest(const LandmarksDetectionResult::Face& face,
                                         const std::vector<Landmark>& keypoints, int width,
                                         int height, utils::RotatedRect* roi) {
  const int64_t k = face.landmarks_begin;
  if (k < 0 || k + 1 >= static_cast<int64_t>(keypoints.size())) return false;
  roi->rotation = std::atan2(keypoints[k + 1].y - keypoints[k].y,
                             keypoints[k + 1].x - keypoints[k].x);
  const float size_x = (face.rect.right - face.rect.left) * static_cast<float>(width);
  const float size_y = (face.rect.bottom - face.rect.top) * static_cast<float>(height);
  roi->width = size_x;
  roi->height = size_y;
  roi->center_x = face.rect.left * static_cast<float>(width) + size_x * 0.5f;
  roi->center_y = face.rect.top * static_cast<float>(height) + size_y * 0.5f;
  return true;
}

bool LandmarksFromRawOutput(absl::Span<const float> raw, int count, int dimensions,
                            std::vector<Landmark>* landmarks) {
  landmarks->clear();
  if (dimensions != 2 && dimensions != 3) return false;
  if (count < 0 || raw.size() < static_cast<size_t>(count) * dimensions) return false;
  landmarks->reserve(count);
  for (int i = 0; i < count; ++i) {
    const float* v = raw.data() + static_cast<size_t>(i) * dimensions;
    landmarks->push_back({v[0], v[1], dimensions == 3 ? v[2] : 0.0f});
  }
  return true;
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
