#include "face_ml/non_max_suppression.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "base/logging.h"
#include "face_ml/landmark_geometry.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

// v moved towards c by `score` of the total `weight`.
float WeightedStep(float v, float c, float score, float weight) {
  return v + score * (c - v) / weight;
}

bool RunWeighted(const BoxesSource& source, const std::vector<std::pair<float, int>>& candidates,
                 float iou_threshold, int max_faces, LandmarksDetectionResult* result) {
  std::vector<float> weights;  // one per face of the result
  std::vector<Landmark> scratch;
  for (const auto& [score, index] : candidates) {
    Bound bound;
    if (!source.GetBound(index, &bound)) return false;
    if (score < 0) {
      LOG(ERROR) << "Invalid score for averaging non max suppression " << score;
      return false;
    }
    int best = -1;
    float best_iou = 0;
    for (size_t f = 0; f < result->faces.size(); ++f) {
      const float iou = CalculateIOU(result->faces[f].rect, bound);
      if (iou > best_iou) {
        best_iou = iou;
        best = static_cast<int>(f);
      }
    }
    if (best < 0 || best_iou < iou_threshold) {
      if (static_cast<int>(result->faces.size()) < max_faces) {
        if (!AppendBox(bound, index, source, result)) return false;
        weights.push_back(score);
      }
      continue;
    }
    scratch.clear();
    if (!source.AppendLandmarks(index, &scratch)) return false;
    LandmarksDetectionResult::Face& face = result->faces[best];
    if (static_cast<int>(scratch.size()) != face.landmarks_end - face.landmarks_begin) {
      LOG(ERROR) << "Inconsistent landmarks size";
      return false;
    }
    const float weight = weights[best] + score;
    weights[best] = weight;
    Bound& r = face.rect;
    r.left = WeightedStep(r.left, bound.left, score, weight);
    r.top = WeightedStep(r.top, bound.top, score, weight);
    r.right = WeightedStep(r.right, bound.right, score, weight);
    r.bottom = WeightedStep(r.bottom, bound.bottom, score, weight);
    for (size_t k = 0; k < scratch.size(); ++k) {
      Landmark& l = result->landmarks[face.landmarks_begin + k];
      l.x = WeightedStep(l.x, scratch[k].x, score, weight);
      l.y = WeightedStep(l.y, scratch[k].y, score, weight);
      l.z = WeightedStep(l.z, scratch[k].z, score, weight);
    }
  }
  return true;
}

bool RunPlain(const BoxesSource& source, const std::vector<std::pair<float, int>>& candidates,
              float iou_threshold, int max_faces, LandmarksDetectionResult* result) {
  for (const auto& candidate : candidates) {
    if (static_cast<int>(result->faces.size()) >= max_faces) break;
    Bound bound;
    if (!source.GetBound(candidate.second, &bound)) return false;
    const bool overlaps =
        std::any_of(result->faces.begin(), result->faces.end(), [&](const auto& face) {
          return CalculateIOU(face.rect, bound) > iou_threshold;
        });
    if (!overlaps && !AppendBox(bound, candidate.second, source, result)) return false;
  }
  return true;
}

}  // namespace

bool AppendBox(const Bound& bound, int index, const BoxesSource& source,
               LandmarksDetectionResult* result) {
  const size_t begin = result->landmarks.size();
  if (!source.AppendLandmarks(index, &result->landmarks)) {
    result->landmarks.resize(begin);
    return false;
  }
  LandmarksDetectionResult::Face face;
  face.rect = bound;
  face.landmarks_begin = static_cast<int32_t>(begin);
  face.landmarks_end = static_cast<int32_t>(result->landmarks.size());
  face.face_id = -1;
  result->faces.push_back(face);
  return true;
}

bool RunNonMaxSuppression(const BoxesSource& source, float score_threshold,
                          float iou_threshold, bool weighted, int max_faces,
                          LandmarksDetectionResult* result) {
  result->faces.clear();
  result->landmarks.clear();
  std::vector<std::pair<float, int>> candidates;
  for (int i = 0; i < source.num_boxes(); ++i) {
    float score;
    if (!source.GetScore(i, &score)) return false;
    if (score >= score_threshold) candidates.emplace_back(score, i);
  }
  // Higher score first; between equal scores the higher index first.
  std::sort(candidates.begin(), candidates.end(), std::greater<>());
  return weighted ? RunWeighted(source, candidates, iou_threshold, max_faces, result)
                  : RunPlain(source, candidates, iou_threshold, max_faces, result);
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
