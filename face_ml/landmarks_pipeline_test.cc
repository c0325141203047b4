#include "face_ml/landmarks_pipeline.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/flags.h"
#include "face_ml/testing/log_capture.h"
#include "gtest/gtest.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using sorvanti::testing::LogCapture;
using utils::RectAndBound;
using utils::RotatedRect;

// Frames are 100 x 100 pixels, so a bound is a crop divided by 100.
Bound BoundOf(const RotatedRect& r) {
  return {(r.center_x - r.width / 2) / 100, (r.center_y - r.height / 2) / 100,
          (r.center_x + r.width / 2) / 100, (r.center_y + r.height / 2) / 100};
}

RectAndBound Detection(float cx, float cy, float size,
                       absl::optional<absl::Duration> time = absl::nullopt) {
  const RotatedRect rect{cx, cy, size, size, 0};
  return {rect, BoundOf(rect), time};
}

// The landmarks are the crop's two corners, moved right by `drift` pixels per pass; the
// face is found unless `has_face` says otherwise.
class FakeRunner : public LandmarksRunner {
 public:
  bool Run(RotatedRect roi, std::vector<Landmark>* landmarks, bool* has_face) override {
    ++runs;
    if (runs == fail_at_run) return false;
    *has_face = has_face_for(roi, runs);
    roi.center_x += drift;
    const Bound b = BoundOf(roi);
    *landmarks = {{b.left, b.top, 0}, {b.right, b.bottom, 0}};
    return true;
  }
  bool GetBound(const std::vector<Landmark>& l, Bound* bound, RotatedRect* roi) const override {
    *bound = {l[0].x, l[0].y, l[1].x, l[1].y};
    *roi = {(l[0].x + l[1].x) * 50, (l[0].y + l[1].y) * 50, (l[1].x - l[0].x) * 100,
            (l[1].y - l[0].y) * 100, 0};
    return true;
  }

  int runs = 0;
  int fail_at_run = -1;
  float drift = 0;
  std::function<bool(const RotatedRect&, int)> has_face_for = [](const RotatedRect&, int) {
    return true;
  };
};

class FakeSource : public LandmarksROISource {
 public:
  bool GetROIs(std::vector<RectAndBound>* rois) const override {
    ++calls;
    *rois = detections;
    return !fail;
  }
  std::vector<RectAndBound> detections;
  bool fail = false;
  mutable int calls = 0;
};

// Counts the filter passes and remembers the bounds they were given.
struct FilterLog {
  int applies = 0;
  std::vector<Bound> bounds;
};

class FakeFilterFactory : public LandmarksFilterFactory {
 public:
  explicit FakeFilterFactory(FilterLog* log) : log_(log) {}
  std::unique_ptr<LandmarksFilter> MakeFilter() const override {
    return std::make_unique<Filter>(log_);
  }
  std::unique_ptr<LandmarksFilter> MakeRelativeVelocityFilter(int, float) const override {
    return MakeFilter();
  }

 private:
  class Filter : public LandmarksFilter {
   public:
    explicit Filter(FilterLog* log) : log_(log) {}
    bool Apply(const Bound& bound, absl::optional<absl::Duration>,
               absl::Span<Landmark>) override {
      ++log_->applies;
      log_->bounds.push_back(bound);
      return true;
    }

   private:
    FilterLog* log_;
  };
  FilterLog* log_;
};

struct Fixture {
  explicit Fixture(int max_faces, FaceDetectionStrategy strategy = SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS,
                   int iterations = 0) {
    auto r = std::make_unique<FakeRunner>();
    auto s = std::make_unique<FakeSource>();
    runner = r.get();
    source = s.get();
    pipeline = LandmarksPipeline::Make(max_faces, strategy, iterations, std::move(r),
                                       std::move(s), std::make_unique<FakeFilterFactory>(&filters));
  }
  // Runs one frame and returns the face ids of its results.
  std::vector<int32_t> Frame(absl::optional<absl::Duration> time = absl::nullopt) {
    std::vector<LandmarksPipeline::Result> results;
    EXPECT_TRUE(pipeline->Run(time, &results));
    std::vector<int32_t> ids;
    for (const auto& r : results) ids.push_back(r.face_id);
    return ids;
  }

  FilterLog filters;
  FakeRunner* runner;
  FakeSource* source;
  std::unique_ptr<LandmarksPipeline> pipeline;
};

using Ids = std::vector<int32_t>;

TEST(LandmarksPipelineTest, DetectsUntilAFaceIsFound) {
  Fixture f(1);
  EXPECT_EQ(f.Frame(), Ids{});
  EXPECT_EQ(f.Frame(), Ids{});
  EXPECT_EQ(f.source->calls, 2);
  f.source->detections = {Detection(30, 30, 20)};
  EXPECT_EQ(f.Frame(), Ids{1});
  EXPECT_EQ(f.Frame(), Ids{1});
  EXPECT_EQ(f.source->calls, 3);
}

TEST(LandmarksPipelineTest, DetectsAgainOnTheSixthFrameWhileFacesAreMissing) {
  Fixture f(2);
  f.source->detections = {Detection(30, 30, 20)};
  f.Frame();
  for (int frame = 1; frame <= 5; ++frame) {
    f.Frame();
    EXPECT_EQ(f.source->calls, 1) << frame;
  }
  f.Frame();
  EXPECT_EQ(f.source->calls, 2);
}

// With the maximum tracked, only forced detections run: the strategy or a frame gap.
TEST(LandmarksPipelineTest, FrameGapAndStrategy) {
  const auto ms = [](int n) { return absl::Milliseconds(n); };
  struct Case {
    const char* name;
    FaceDetectionStrategy strategy;
    std::vector<absl::optional<absl::Duration>> times;  // after the first frame at 0
    int calls;
  } cases[] = {
      {"Gap100msDoesNotForce", SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS, {ms(100), ms(200)}, 1},
      {"GapAbove100msForces", SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS, {ms(100), ms(201)}, 2},
      {"NoTimeNeverForces", SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS,
       {absl::nullopt, ms(500), absl::nullopt}, 1},
      {"SkipHeavilyIgnoresGaps", SKIP_HEAVILY_AND_USE_PREVIOUS_RESULTS, {ms(500), ms(1000)}, 1},
      {"RunAlways", RUN_ALWAYS_AND_COMBINE_WITH_PREVIOUS_RESULTS, {ms(10), ms(20), ms(30)}, 4},
  };
  for (const Case& c : cases) {
    Fixture f(1, c.strategy);
    f.source->detections = {Detection(30, 30, 20, ms(0))};
    EXPECT_EQ(f.Frame(ms(0)), Ids{1}) << c.name;
    for (const auto& t : c.times) {
      for (auto& d : f.source->detections) d.time = t;
      EXPECT_EQ(f.Frame(t), Ids{1}) << c.name;  // a confirmed face keeps its id
    }
    EXPECT_EQ(f.source->calls, c.calls) << c.name;
  }
}

TEST(LandmarksPipelineTest, DuplicateFacesAreDroppedAndForceDetection) {
  Fixture f(3);
  // IoU of the two crops is 19 * 20 / (2 * 400 - 380), above 0.85.
  f.source->detections = {Detection(30, 30, 20), Detection(31, 30, 20)};
  EXPECT_EQ(f.Frame(), Ids{1});
  f.source->detections = {Detection(30, 30, 20)};
  EXPECT_EQ(f.Frame(), Ids{1});
  EXPECT_EQ(f.source->calls, 2);
}

TEST(LandmarksPipelineTest, ExtraIterationsFilterOnlyTheLastPass) {
  for (int iterations : {0, 2}) {
    Fixture f(1, SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS, iterations);
    f.runner->drift = 1;
    f.source->detections = {Detection(30, 30, 20)};
    std::vector<LandmarksPipeline::Result> results;
    ASSERT_TRUE(f.pipeline->Run(absl::nullopt, &results));
    EXPECT_EQ(f.runner->runs, iterations + 1);
    EXPECT_EQ(f.filters.applies, 1);
    ASSERT_EQ(results.size(), 1u);
    // Each pass crops where the previous one left the face.
    EXPECT_FLOAT_EQ(results[0].rect.center_x, 30 + iterations + 1);
    // The filter saw the bound before the last pass.
    EXPECT_NEAR(f.filters.bounds[0].left, (20 + iterations) / 100.0f, 1e-6);
  }
}

TEST(LandmarksPipelineTest, LostFacesAreDroppedAndLoggedAfterTheFirstPass) {
  Fixture f(2, SKIP_IF_POSSIBLE_AND_USE_PREVIOUS_RESULTS, 1);
  f.source->detections = {Detection(30, 30, 20), Detection(70, 70, 20)};
  // The first face is lost in its first pass, the second in its second.
  f.runner->has_face_for = [](const RotatedRect&, int run) { return run != 1 && run != 3; };
  LogCapture log;
  EXPECT_EQ(f.Frame(), Ids{});
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, "Iterated mesh update has lost the tracked face"),
            1);
}

TEST(LandmarksPipelineTest, ResetRestartsIds) {
  Fixture f(1);
  f.source->detections = {Detection(30, 30, 20)};
  EXPECT_EQ(f.Frame(), Ids{1});
  f.runner->has_face_for = [](const RotatedRect&, int run) { return run != 2; };
  EXPECT_EQ(f.Frame(), Ids{});   // lost
  EXPECT_EQ(f.Frame(), Ids{2});  // found again with a new id
  f.pipeline->Reset();
  EXPECT_EQ(f.Frame(), Ids{1});
}

TEST(LandmarksPipelineTest, Failures) {
  Fixture f(2);
  f.source->fail = true;
  std::vector<LandmarksPipeline::Result> results(1);
  EXPECT_FALSE(f.pipeline->Run(absl::nullopt, &results));
  EXPECT_EQ(results.size(), 1u);  // untouched

  f.source->fail = false;
  f.source->detections = {Detection(30, 30, 20), Detection(70, 70, 20)};
  f.runner->fail_at_run = 2;
  EXPECT_FALSE(f.pipeline->Run(absl::nullopt, &results));
  ASSERT_EQ(results.size(), 1u);  // the face before the failure
  EXPECT_EQ(results[0].face_id, 1);
  // The pipeline still works: the face that failed is tracked, the other is gone.
  EXPECT_EQ(f.Frame(), Ids{2});

  auto runner = std::make_unique<FakeRunner>();
  std::unique_ptr<LandmarksROISource> source = std::make_unique<FakeSource>();
  std::unique_ptr<LandmarksFilterFactory> factory = std::make_unique<FakeFilterFactory>(nullptr);
  std::unique_ptr<LandmarksRunner> owned_runner = std::move(runner);
  EXPECT_EQ(LandmarksPipeline::Make(1, static_cast<FaceDetectionStrategy>(3), 0,
                                    std::move(owned_runner), std::move(source), std::move(factory)),
            nullptr);
  EXPECT_NE(owned_runner, nullptr);  // left with the caller
  EXPECT_NE(source, nullptr);
  EXPECT_NE(factory, nullptr);
}

TEST(LandmarksPipelineTest, TimingLinesWhenEnabled) {
  Fixture f(1);
  f.source->detections = {Detection(30, 30, 20)};
  FLAGS_measure_time = true;
  LogCapture log;
  f.Frame();
  f.Frame();
  FLAGS_measure_time = false;
  f.Frame();
  std::vector<std::string> labels;
  for (const auto& line : log.lines()) {
    EXPECT_EQ(line.file, "landmarks_pipeline.cc");
    EXPECT_NE(line.text.find(" TIMES: [Curr: "), std::string::npos) << line.text;
    EXPECT_NE(line.text.find(" ms, Avg: "), std::string::npos) << line.text;
    labels.push_back(line.text.substr(0, line.text.find(" TIMES")));
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"runner->Run", "filter->Apply", "runner->GetBound",
                                              "Landmarks_pipeline Run()", "runner->Run",
                                              "filter->Apply", "runner->GetBound",
                                              "Landmarks_pipeline Run()"}));
  ASSERT_EQ(log.lines().size(), 8u);
  EXPECT_NE(log.lines()[7].text.find(" ms, 2 calls]"), std::string::npos);
}

// ---- Merging detections into tracked faces ---------------------------------------------

// A tracked face whose predictor knows its landmark region at time 0.
FaceROI Tracked(int32_t id, float cx, float cy, float size) {
  const RectAndBound region = Detection(cx, cy, size, absl::ZeroDuration());
  FaceROI face;
  face.rect = region.rect;
  face.bound = region.bound;
  face.time = region.time;
  face.face_id = id;
  face.filter = FakeFilterFactory(nullptr).MakeFilter();
  face.predictor = utils::MakeBoundTranslationPredictor();
  face.predictor->AddLandmarksDetectorBound(region);
  return face;
}

struct MergeCase {
  const char* name;
  int max_faces;
  std::vector<std::array<float, 3>> tracked;     // cx, cy, size; ids 1, 2, ...
  std::vector<std::array<float, 3>> detections;  // cx, cy, size
  Ids ids;                                       // of the merged list, in order
};
void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.name; }

class MergeTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTest, KeepsAndCreatesFaces) {
  const MergeCase& c = GetParam();
  std::vector<FaceROI> tracked;
  for (size_t i = 0; i < c.tracked.size(); ++i) {
    tracked.push_back(Tracked(static_cast<int32_t>(i + 1), c.tracked[i][0], c.tracked[i][1],
                              c.tracked[i][2]));
  }
  std::vector<RectAndBound> detections;
  for (const auto& d : c.detections) detections.push_back(Detection(d[0], d[1], d[2]));
  int32_t last_id = static_cast<int32_t>(c.tracked.size());
  FakeFilterFactory factory(nullptr);
  UpdateROIFromFaceDetector(c.max_faces, factory, detections, &tracked, &last_id);
  Ids ids;
  for (const FaceROI& face : tracked) ids.push_back(face.face_id);
  EXPECT_EQ(ids, c.ids);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeTest,
    ::testing::Values(
        MergeCase{"Confirmed", 2, {{30, 30, 20}}, {{31, 30, 20}}, {1}},
        MergeCase{"NewDetectionsBeforeUnconfirmedFaces", 3, {{30, 30, 20}}, {{70, 70, 20}},
                  {2, 1}},
        MergeCase{"NoRoomForUnconfirmedFace", 1, {{30, 30, 20}}, {{70, 70, 20}}, {2}},
        MergeCase{"MaxFacesZeroKeepsNothing", 0, {{30, 30, 20}}, {{30, 30, 20}}, {}},
        // One detection between two faces: the closer takes it, the other overlaps it
        // with IoU >= 0.1 and is dropped.
        MergeCase{"CloserFaceTakesSharedDetection", 3, {{30, 30, 20}, {42, 30, 20}},
                  {{33, 30, 20}}, {1}},
        // A face overlapped by a second detection (IoU >= 0.1) is ambiguous: dropped, and
        // both detections become new faces.
        MergeCase{"AmbiguousFaceIsReplaced", 3, {{30, 30, 20}}, {{31, 30, 20}, {44, 30, 20}},
                  {2, 3}},
        // A slight overlap (IoU below 0.1, ratios below 0.3) leaves the face alone.
        MergeCase{"SlightOverlapKeepsFace", 3, {{30, 30, 20}}, {{48, 30, 20}}, {2, 1}},
        MergeCase{"FartherFaceWithSlightOverlapStays", 3, {{30, 30, 20}, {51, 30, 20}},
                  {{33, 30, 20}}, {1, 2}},
        // Best IoU 0.29, not above 0.3: the face is dropped.
        MergeCase{"WeakIouDropsFace", 3, {{30, 30, 20}}, {{41, 30, 20}}, {2}},
        // IoU 0.33 but the overlap is only half of either box: dropped too.
        MergeCase{"NeitherRatioAboveHalfDropsFace", 3, {{30, 30, 20}}, {{40, 30, 20}}, {2}}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });

TEST(MergeTest, ConfirmedFaceTakesThePredictedCrop) {
  std::vector<FaceROI> tracked;
  tracked.push_back(Tracked(7, 30, 30, 20));
  const std::vector<RectAndBound> detections = {Detection(32, 30, 22, absl::Milliseconds(5))};
  int32_t last_id = 7;
  UpdateROIFromFaceDetector(2, FakeFilterFactory(nullptr), detections, &tracked, &last_id);
  ASSERT_EQ(tracked.size(), 1u);
  // The landmark region, unmoved (one detection only), at the detection's time.
  EXPECT_EQ(tracked[0].rect.center_x, 30);
  EXPECT_EQ(tracked[0].rect.width, 20);
  EXPECT_EQ(tracked[0].time, absl::Milliseconds(5));
  EXPECT_EQ(last_id, 7);
}

TEST(MergeTest, FaceWithoutLandmarkRegionIsReplacedByANewFace) {
  std::vector<FaceROI> tracked;
  tracked.push_back(Tracked(1, 30, 30, 20));
  tracked[0].predictor = utils::MakeBoundTranslationPredictor();  // nothing to predict from
  int32_t last_id = 1;
  UpdateROIFromFaceDetector(2, FakeFilterFactory(nullptr), {Detection(31, 30, 20)}, &tracked,
                            &last_id);
  ASSERT_EQ(tracked.size(), 1u);
  EXPECT_EQ(tracked[0].face_id, 2);
}

}  // namespace
}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
