#include "face_ml/face_tracker.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "face_ml/landmark_geometry.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr int kKeypointsPerFace = 6;
constexpr int kMaxMissedCalls = 64;

struct FaceTrackingInfo {
  int32_t id = 0;
  Bound bound;
  float tilt = 0;
  int32_t missed = 0;  // consecutive calls with faces that found none for this track
};

struct Match {
  float score = 0;
  int32_t face = 0;
  int32_t track = -1;  // -1: the face starts a new track
};

class SimpleFaceTracker : public FaceTracker {
 public:
  bool Track(int width, int height, LandmarksDetectionResult* result) override {
    if (result->faces.empty()) return true;
    if (result->landmarks.size() / result->faces.size() != kKeypointsPerFace) return false;
    for (const auto& face : result->faces) {
      // The tilt reads the face's first two key points.
      if (face.landmarks_begin < 0 || face.landmarks_end - face.landmarks_begin < 2 ||
          face.landmarks_end > static_cast<int64_t>(result->landmarks.size())) {
        return false;
      }
    }

    std::vector<float> tilts;
    for (const auto& face : result->faces) {
      tilts.push_back(CalculateTiltAngle(width, height, face, result->landmarks, 0, 1));
    }
    std::vector<Match> matches = BuildFaceAndInfoMatches(*result, tilts);
    // Equal scores keep their face-then-track order, so ids are deterministic.
    std::stable_sort(matches.begin(), matches.end(),
                     [](const Match& a, const Match& b) { return a.score > b.score; });

    std::vector<bool> face_taken(result->faces.size(), false);
    std::vector<bool> track_taken(tracks_.size(), false);
    std::vector<FaceTrackingInfo> new_tracks;
    size_t matched = 0;
    for (const Match& m : matches) {
      LandmarksDetectionResult::Face& face = result->faces[m.face];
      if (m.track == -1) {
        face.face_id = ++last_id_;
        face_taken[m.face] = true;
        new_tracks.push_back({face.face_id, face.rect, tilts[m.face], 0});
      } else if (!face_taken[m.face] && !track_taken[m.track]) {
        FaceTrackingInfo& track = tracks_[m.track];
        track.bound = face.rect;
        track.missed = 0;
        track.tilt = tilts[m.face];
        face.face_id = track.id;
        face_taken[m.face] = track_taken[m.track] = true;
        new_tracks.push_back(track);
        ++matched;
      }
    }
    if (matched < tracks_.size()) {
      for (size_t j = 0; j < tracks_.size(); ++j) {
        if (track_taken[j]) continue;
        if (tracks_[j].missed++ < kMaxMissedCalls) new_tracks.push_back(tracks_[j]);
      }
    }
    tracks_ = std::move(new_tracks);
    return true;
  }

  void Reset() override {
    tracks_.clear();
    last_id_ = -1;
  }

 private:
  std::vector<Match> BuildFaceAndInfoMatches(const LandmarksDetectionResult& result,
                                             const std::vector<float>& tilts) const {
    std::vector<Match> matches;
    for (size_t i = 0; i < result.faces.size(); ++i) {
      bool any = false;
      for (size_t j = 0; j < tracks_.size(); ++j) {
        const float iou = CalculateIOU(result.faces[i].rect, tracks_[j].bound);
        if (!(iou > 0.5f)) continue;
        float d = std::abs(tilts[i] - tracks_[j].tilt);
        d = std::min(d, kTwoPi - d);
        const float score = 0.8f * iou + 0.2f * (1 - d / kTwoPi);
        if (score > 0.6f) {
          matches.push_back({score, static_cast<int32_t>(i), static_cast<int32_t>(j)});
          any = true;
        }
      }
      if (!any) matches.push_back({0, static_cast<int32_t>(i), -1});
    }
    return matches;
  }

  std::vector<FaceTrackingInfo> tracks_;
  int32_t last_id_ = -1;
};

}  // namespace

std::unique_ptr<FaceTracker> MakeSimpleZelkorFaceTracker() {
  return std::make_unique<SimpleFaceTracker>();
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
