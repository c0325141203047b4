#include "face_ml/landmarks_pipeline.h"

#include <algorithm>
#include <utility>

#include "base/flags.h"
#include "base/logging.h"
#include "face_ml/landmark_geometry.h"
#include "face_ml/scoped_wall_timer.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using video::stabilization::MeasureTimeFilter;
using video::stabilization::ScopedWallTimer;

absl::Duration MaxTimeBetweenFrames() {
  static const absl::Duration kMaxTimeBetweenFrames = absl::Seconds(1) * 0.1;
  return kMaxTimeBetweenFrames;
}

// ---- Timing ------------------------------------------------------------------------------

enum TimedSite { kRunSite, kRunnerRunSite, kFilterApplySite, kRunnerGetBoundSite, kNumSites };

bool TimingEnabled() {
  return FLAGS_measure_time &&
         (FLAGS_measure_time_filter.empty() || MeasureTimeFilter::Get().Matches(__FILE__));
}

ScopedWallTimer::Accumulator* SiteAccumulator(TimedSite site) {
  static ScopedWallTimer::Accumulator* const accumulators =
      new ScopedWallTimer::Accumulator[kNumSites];
  return &accumulators[site];
}

// A timer of the enclosing scope under `label`, when timing is on.
#define QM_TIMED_SCOPE(site, label)                                                   \
  const bool timing_##site = TimingEnabled();                                         \
  ScopedWallTimer timer_##site(__FILE__, __LINE__, timing_##site,                     \
                               timing_##site ? SiteAccumulator(site) : nullptr);      \
  timer_##site << label

// ---- Merging detections ----------------------------------------------------------------

// Intersection over the area of `b`; 0 when `b` has no positive area.
float CalculateIntersectionOverSecondBound(const Bound& a, const Bound& b) {
  const float area = CalculateArea(b);
  if (area <= 0) return 0;
  return CalculateIntersectionArea(a, b) / area;
}

struct Candidate {
  int detection = -1;
  float iou = 0;
  float over_detection = 0;  // intersection / detection area
  float over_tracked = 0;    // intersection / tracked face area
};

struct MatchRecord {
  int tracked = 0;
  Candidate best;
  bool has_second = false;
  Candidate second;
};

Candidate MakeCandidate(int d, float iou, const Bound& detection, const Bound& tracked) {
  return {d, iou, CalculateIntersectionOverSecondBound(tracked, detection),
          CalculateIntersectionOverSecondBound(detection, tracked)};
}

std::vector<MatchRecord> MatchTrackedFaces(const std::vector<utils::RectAndBound>& detections,
                                           const std::vector<FaceROI>& tracked) {
  std::vector<MatchRecord> records;
  for (size_t t = 0; t < tracked.size(); ++t) {
    const Bound& tb = tracked[t].bound;
    absl::optional<Candidate> best, second;
    for (size_t d = 0; d < detections.size(); ++d) {
      const Bound& db = detections[d].bound;
      const float iou = CalculateIOU(db, tb);
      if (iou > (best ? best->iou : 0.0f)) {
        if (best) second = best;
        best = MakeCandidate(static_cast<int>(d), iou, db, tb);
      } else if (!second || iou > second->iou) {
        second = MakeCandidate(static_cast<int>(d), iou, db, tb);
      }
    }
    if (!best) continue;
    records.push_back({static_cast<int>(t), *best, second.has_value(), second.value_or(Candidate{})});
  }
  return records;
}

// A second detection that overlaps the tracked face too makes the match ambiguous.
bool Ambiguous(const MatchRecord& r) {
  return r.has_second &&
         (r.second.iou >= 0.1f || r.second.over_detection >= 0.3f || r.second.over_tracked >= 0.3f);
}

}  // namespace

void UpdateROIFromFaceDetector(int32_t max_faces, const LandmarksFilterFactory& filter_factory,
                               const std::vector<utils::RectAndBound>& detections,
                               std::vector<FaceROI>* tracked, int32_t* last_face_id) {
  std::vector<MatchRecord> records = MatchTrackedFaces(detections, *tracked);
  // Equal IoUs keep tracked-face order, so the result is deterministic.
  std::stable_sort(records.begin(), records.end(),
                   [](const MatchRecord& a, const MatchRecord& b) { return a.best.iou > b.best.iou; });

  std::vector<bool> tracked_used(tracked->size(), false);
  std::vector<bool> detection_used(detections.size(), false);
  std::vector<FaceROI> next;
  const auto room = [&] { return static_cast<int32_t>(next.size()) < max_faces; };

  for (const MatchRecord& r : records) {
    if (!room()) break;
    const Candidate& best = r.best;
    if (Ambiguous(r)) {
      tracked_used[r.tracked] = true;
      continue;
    }
    if (best.iou < 0.1f && best.over_detection < 0.3f && best.over_tracked < 0.3f) continue;
    if (!(best.iou > 0.3f) || detection_used[best.detection] ||
        !(best.over_detection > 0.5f || best.over_tracked > 0.5f)) {
      tracked_used[r.tracked] = true;
      continue;
    }
    FaceROI& face = (*tracked)[r.tracked];
    const utils::RectAndBound& detection = detections[best.detection];
    face.predictor->AddFaceDetectorBound(detection);
    utils::RectAndBound predicted;
    if (face.predictor->Predict(detection.time, &predicted)) {
      face.rect = predicted.rect;
      face.bound = predicted.bound;
      face.time = predicted.time;
      next.push_back(std::move(face));
      detection_used[best.detection] = true;
    }
    tracked_used[r.tracked] = true;
  }

  for (size_t d = 0; d < detections.size() && room(); ++d) {
    if (detection_used[d]) continue;
    FaceROI face;
    face.rect = detections[d].rect;
    face.bound = detections[d].bound;
    face.time = detections[d].time;
    face.face_id = ++*last_face_id;
    face.filter = filter_factory.MakeFilter();
    face.predictor = utils::MakeBoundTranslationPredictor();
    face.predictor->AddFaceDetectorBound(detections[d]);
    next.push_back(std::move(face));
  }

  for (size_t t = 0; t < tracked->size() && room(); ++t) {
    if (!tracked_used[t]) next.push_back(std::move((*tracked)[t]));
  }
  *tracked = std::move(next);
}

namespace {

class LandmarksPipelineImpl : public LandmarksPipeline {
 public:
  LandmarksPipelineImpl(int32_t max_faces, FaceDetectionStrategy strategy, int32_t iterations,
                        std::unique_ptr<LandmarksRunner> runner,
                        std::unique_ptr<LandmarksROISource> roi_source,
                        std::unique_ptr<LandmarksFilterFactory> filter_factory)
      : max_faces_(max_faces),
        run_detector_every_frame_(strategy == RUN_ALWAYS_AND_COMBINE_WITH_PREVIOUS_RESULTS),
        check_frame_gap_(strategy != SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS),
        iterations_(iterations),
        runner_(std::move(runner)),
        roi_source_(std::move(roi_source)),
        filter_factory_(std::move(filter_factory)) {}

  bool Run(absl::optional<absl::Duration> time, std::vector<Result>* results) override {
    QM_TIMED_SCOPE(kRunSite, "Landmarks_pipeline Run()");
    if (run_detector_every_frame_) {
      force_detection_ = true;
    } else if (check_frame_gap_ && previous_time_.has_value() && time.has_value() &&
               *time - *previous_time_ > MaxTimeBetweenFrames()) {
      force_detection_ = true;
    }
    previous_time_ = time;

    const bool detect =
        tracked_.empty() ||
        (static_cast<int32_t>(tracked_.size()) != max_faces_ && frames_without_detection_ > 4) ||
        force_detection_;
    if (detect) {
      std::vector<utils::RectAndBound> detections;
      if (!roi_source_->GetROIs(&detections)) return false;
      UpdateROIFromFaceDetector(max_faces_, *filter_factory_, detections, &tracked_,
                                &last_face_id_);
      frames_without_detection_ = 0;
      force_detection_ = false;
    } else {
      ++frames_without_detection_;
    }

    results->clear();
    results->reserve(tracked_.size());
    std::vector<FaceROI> next;
    next.reserve(tracked_.size());
    for (FaceROI& face : tracked_) {
      std::vector<Landmark> landmarks;
      bool found = false;
      if (!UpdateFace(time, &face, &landmarks, &found)) {
        // The faces moved to `next` are gone with it; the rest stay tracked.
        DropMovedFaces();
        return false;
      }
      if (!found) continue;
      const bool duplicate = std::any_of(results->begin(), results->end(), [&](const Result& r) {
        return CalculateIOU(face.bound, r.bound) > 0.85f;
      });
      if (duplicate) continue;
      face.time = time;
      face.predictor->AddLandmarksDetectorBound({face.rect, face.bound, time});
      results->push_back({std::move(landmarks), face.bound, face.rect, face.face_id});
      next.push_back(std::move(face));
    }
    if (next.size() != tracked_.size()) force_detection_ = true;
    tracked_ = std::move(next);
    return true;
  }

  void Reset() override {
    tracked_.clear();
    previous_time_.reset();
    last_face_id_ = 0;
    frames_without_detection_ = 0;
    force_detection_ = false;
  }

 private:
  // Runs the landmark model iterations + 1 times on the face's crop, filters the last
  // pass and derives the next bound and crop. `found` is false when the model loses the
  // face (or no pass ran); false when the runner or the filter fails.
  bool UpdateFace(absl::optional<absl::Duration> time, FaceROI* face,
                  std::vector<Landmark>* landmarks, bool* found) {
    *found = false;
    for (int32_t i = 0; i <= iterations_; ++i) {
      bool has_face = false;
      {
        QM_TIMED_SCOPE(kRunnerRunSite, "runner->Run");
        if (!runner_->Run(face->rect, landmarks, &has_face)) return false;
      }
      if (!has_face) {
        if (i > 0) LOG(ERROR) << "Iterated mesh update has lost the tracked face";
        *found = false;
        return true;
      }
      if (i == iterations_) {
        QM_TIMED_SCOPE(kFilterApplySite, "filter->Apply");
        if (!face->filter->Apply(face->bound, time, absl::MakeSpan(*landmarks))) return false;
      }
      {
        QM_TIMED_SCOPE(kRunnerGetBoundSite, "runner->GetBound");
        if (!runner_->GetBound(*landmarks, &face->bound, &face->rect)) return false;
      }
      *found = true;
    }
    return true;
  }

  void DropMovedFaces() {
    tracked_.erase(std::remove_if(tracked_.begin(), tracked_.end(),
                                  [](const FaceROI& f) { return f.filter == nullptr; }),
                   tracked_.end());
  }

  int32_t max_faces_;
  bool run_detector_every_frame_;
  bool check_frame_gap_;
  int32_t iterations_;
  int32_t frames_without_detection_ = 0;
  std::unique_ptr<LandmarksRunner> runner_;
  std::unique_ptr<LandmarksROISource> roi_source_;
  std::unique_ptr<LandmarksFilterFactory> filter_factory_;
  std::vector<FaceROI> tracked_;
  int32_t last_face_id_ = 0;
  bool force_detection_ = false;
  absl::optional<absl::Duration> previous_time_;
};

}  // namespace

std::unique_ptr<LandmarksPipeline> LandmarksPipeline::Make(
    int32_t max_faces, FaceDetectionStrategy strategy, int32_t iterations,
    std::unique_ptr<LandmarksRunner>&& runner, std::unique_ptr<LandmarksROISource>&& roi_source,
    std::unique_ptr<LandmarksFilterFactory>&& filter_factory) {
  if (strategy < SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS ||
      strategy > SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS) {
    return nullptr;
  }
  return std::make_unique<LandmarksPipelineImpl>(max_faces, strategy, iterations,
                                                 std::move(runner), std::move(roi_source),
                                                 std::move(filter_factory));
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
