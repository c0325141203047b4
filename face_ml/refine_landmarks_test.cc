#include "face_ml/refine_landmarks.h"

#include <memory>
#include <vector>

#include "face_ml/testing/log_capture.h"
#include "face_ml/testing/metadata_builders.h"
#include "gtest/gtest.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using sorvanti::testing::Bytes;
using sorvanti::testing::ContoursWithRefinementSpecs;
using sorvanti::testing::LogCapture;
using sorvanti::testing::ModelFileWith;
using sorvanti::testing::ModelFileWithMetadata;
using sorvanti::testing::SpecInput;
using utils::RotatedRect;

// The base model: `count` landmarks, landmark i at (i, i, i) / 1000.
class BaseRunner : public LandmarksRunner {
 public:
  BaseRunner(int count, bool face) : count_(count), face_(face) {}
  bool Run(RotatedRect, std::vector<Landmark>* landmarks, bool* has_face) override {
    landmarks->clear();
    for (int i = 0; i < count_; ++i) {
      const float v = i / 1000.0f;
      landmarks->push_back({v, v, v});
    }
    *has_face = face_;
    return true;
  }
  bool GetBound(const std::vector<Landmark>& landmarks, Bound* bound,
                RotatedRect* roi) const override {
    *bound = {0, 0, static_cast<float>(landmarks.size()), 1};
    *roi = {1, 2, 3, 4, 5};
    return true;
  }

 private:
  int count_;
  bool face_;
};

// What the refinement runners saw and give: each returns `output` (landmark k at
// (k + 1000 * model, -k, z[k])) and records the crop input it was given.
struct RefinementLog {
  std::vector<std::vector<Landmark>> crop_inputs;
  int runs = 0;
  std::vector<bool> flips;
};

class RefinementRunner : public LandmarksRunner {
 public:
  RefinementRunner(RefinementLog* log, int model, std::vector<float> z)
      : log_(log), model_(model), z_(std::move(z)) {}
  bool Run(RotatedRect, std::vector<Landmark>* landmarks, bool* has_face) override {
    ++log_->runs;
    landmarks->clear();
    for (size_t k = 0; k < z_.size(); ++k) {
      landmarks->push_back({k + 1000.0f * model_, -static_cast<float>(k), z_[k]});
    }
    *has_face = false;  // not consulted
    return true;
  }
  bool GetBound(const std::vector<Landmark>& landmarks, Bound*, RotatedRect*) const override {
    log_->crop_inputs.push_back(landmarks);
    return true;
  }

 private:
  RefinementLog* log_;
  int model_;
  std::vector<float> z_;
};

// A factory whose runners output `outputs[n]` depths for the n-th runner it builds.
RefinementRunnerFactory Factory(RefinementLog* log, std::vector<std::vector<float>> outputs) {
  auto made = std::make_shared<int>(0);
  return [=](absl::Span<const uint8_t>, const fb::ContoursMetadata* metadata,
             bool flip) -> std::unique_ptr<LandmarksRunner> {
    if (metadata == nullptr || *made >= static_cast<int>(outputs.size())) return nullptr;
    log->flips.push_back(flip);
    const int model = (*made)++;
    return std::make_unique<RefinementRunner>(log, model, outputs[model]);
  };
}

std::unique_ptr<LandmarksRunner> Make(int base_count, bool face, const std::vector<Bytes>& files,
                                      const RefinementRunnerFactory& factory) {
  std::vector<absl::Span<const uint8_t>> spans;
  for (const Bytes& f : files) spans.emplace_back(f);
  return MakeRefineLandmarksRunner(std::make_unique<BaseRunner>(base_count, face), spans,
                                   factory);
}

std::vector<Landmark> RunOnce(LandmarksRunner* runner, bool* ok = nullptr) {
  std::vector<Landmark> landmarks;
  bool has_face = false;
  const bool run_ok = runner->Run({}, &landmarks, &has_face);
  if (ok != nullptr) *ok = run_ok;
  return landmarks;
}

TEST(RefineLandmarksRunnerTest, WithoutFilesBehavesLikeTheBase) {
  RefinementLog log;
  auto runner = Make(10, true, {}, Factory(&log, {}));
  ASSERT_NE(runner, nullptr);
  const std::vector<Landmark> l = RunOnce(runner.get());
  ASSERT_EQ(l.size(), 10u);
  EXPECT_EQ(l[3].x, 0.003f);
  Bound bound;
  RotatedRect roi;
  ASSERT_TRUE(runner->GetBound(l, &bound, &roi));
  EXPECT_EQ(bound.right, 10);
  EXPECT_EQ(roi.rotation, 5);
}

TEST(RefineLandmarksRunnerTest, NoFaceRunsNoRefinement) {
  RefinementLog log;
  const Bytes file = ModelFileWithMetadata(ContoursWithRefinementSpecs({{{0, 1}}}));
  auto runner = Make(10, false, {file}, Factory(&log, {{0, 0}}));
  bool ok = false;
  const std::vector<Landmark> l = RunOnce(runner.get(), &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(l.size(), 10u);
  EXPECT_EQ(l[1].x, 0.001f);
  EXPECT_EQ(log.runs, 0);
}

TEST(RefineLandmarksRunnerTest, DefaultLipsSpecCropsFromMappedLandmarks) {
  RefinementLog log;
  const Bytes file = ModelFileWithMetadata(ContoursWithRefinementSpecs({}));
  auto runner = Make(468, true, {file}, Factory(&log, {std::vector<float>(80, 0.5f)}));
  const std::vector<Landmark> l = RunOnce(runner.get());
  ASSERT_EQ(log.crop_inputs.size(), 1u);
  ASSERT_EQ(log.crop_inputs[0].size(), 80u);
  EXPECT_EQ(log.crop_inputs[0][10].x, 0.291f);  // lips landmark 10 is base landmark 291
  EXPECT_EQ(l[291].x, 10);                      // written back from the model's landmark 10
  EXPECT_EQ(l[291].y, -10);
  EXPECT_EQ(l[291].z, 0.291f);                  // no depth rule: base depth kept
  EXPECT_EQ(l.size(), 468u);
}

TEST(RefineLandmarksRunnerTest, GrowsTheMeshAndLaterSpecsWin) {
  RefinementLog log;
  // Two files: irises at 468..477 (cropped from base landmarks 5 and 6) and a second model,
  // cropped from base landmarks 7 and 8, that also writes base landmark 469 (and 7).
  const Bytes irises = ModelFileWithMetadata(ContoursWithRefinementSpecs(
      {{{468, 469, 470, 471, 472, 473, 474, 475, 476, 477}, true, {5, 6}, true}}));
  const Bytes second = ModelFileWithMetadata(ContoursWithRefinementSpecs({{{7, 469}, true, {7, 8}}}));
  auto runner = Make(468, true, {irises, second},
                     Factory(&log, {std::vector<float>(10, 0.25f), {0.5f, 0.5f}}));
  ASSERT_NE(runner, nullptr);
  const std::vector<Landmark> l = RunOnce(runner.get());
  ASSERT_EQ(l.size(), 478u);
  EXPECT_EQ(log.flips, (std::vector<bool>{true, false}));
  EXPECT_EQ(log.crop_inputs[0].size(), 2u);
  EXPECT_EQ(log.crop_inputs[0][1].x, 0.006f);
  EXPECT_EQ(l[468].x, 0);
  EXPECT_EQ(l[468].z, 0);  // a new landmark starts at (0, 0, 0)
  EXPECT_EQ(l[477].x, 9);
  EXPECT_EQ(l[469].x, 1001);  // the second model's landmark 1
  EXPECT_EQ(l[7].x, 1000);
}

TEST(RefineLandmarksRunnerTest, DepthRulesInOrderWithCompensatedAverages) {
  RefinementLog log;
  // Base depths at 0..3 (set below through copies), averaged by later rules.
  const float big = 9007199254740992.0f;  // 2^53
  const Bytes file = ModelFileWithMetadata(ContoursWithRefinementSpecs({{
      {0, 1, 2, 3, 4, 5, 6},
      false,
      {},
      false,
      {{{0, 1, 2, 3}, 1},              // copy: base depths 0..3 = big, 1, 1, -big
       {{4}, 3, {0, 1, 2, 3}},         // assign: (big + 1 + 1 - big) / 4 = 0.5
       {{5}, 2, {0, 1, 2, 3, 4}},      // copy minus the average, which sees the 0.5 above
       {{6}, 0}},                      // no rule: copy
  }}));
  auto runner = Make(
      10, true, {file}, Factory(&log, {{big, 1, 1, -big, 7, 3, 2}}));
  const std::vector<Landmark> l = RunOnce(runner.get());
  EXPECT_EQ(l[0].z, big);
  EXPECT_EQ(l[4].z, 0.5f);  // a plain sum would lose both 1s
  EXPECT_EQ(l[5].z, 3 - 2.5f / 5);
  EXPECT_EQ(l[6].z, 2);
  EXPECT_EQ(l[8].z, 0.008f);  // untouched
}

TEST(RefineLandmarksRunnerTest, ShortOutputsOrLandmarksFailTheFrame) {
  struct Case {
    const char* name;
    SpecInput spec;
    std::vector<float> output;
  } cases[] = {
      {"OutputShorterThanMap", {{0, 1, 2}}, {0, 0}},
      {"CropBeyondBase", {{0}, true, {10}}, {0}},
      {"AverageBeyondLandmarks", {{0}, false, {}, false, {{{0}, 3, {10}}}}, {0}},
  };
  for (const Case& c : cases) {
    RefinementLog log;
    const Bytes file = ModelFileWithMetadata(ContoursWithRefinementSpecs({c.spec}));
    auto runner = Make(10, true, {file}, Factory(&log, {c.output}));
    ASSERT_NE(runner, nullptr) << c.name;
    LogCapture capture;
    bool ok = true;
    RunOnce(runner.get(), &ok);
    EXPECT_FALSE(ok) << c.name;
    EXPECT_EQ(capture.lines().size(), 1u) << c.name;
  }
}

TEST(RefineLandmarksRunnerTest, BuildFailures) {
  RefinementLog log;
  const Bytes good = ModelFileWithMetadata(ContoursWithRefinementSpecs({{{0}}}));
  const Bytes garbage = {1, 2, 3};
  const Bytes no_metadata = ModelFileWith({{1, 2, 3, 4}}, {});
  const Bytes bad_spec = ModelFileWithMetadata(ContoursWithRefinementSpecs({{{0}, false, {}, false, {{{5}, 1}}}}));
  LogCapture capture;
  EXPECT_EQ(Make(10, true, {good, garbage}, Factory(&log, {{0}})), nullptr);
  EXPECT_EQ(capture.Count(absl::LogSeverity::kError, "Failed to parse fb"), 1);
  EXPECT_EQ(Make(10, true, {no_metadata}, Factory(&log, {{0}})), nullptr);
  EXPECT_EQ(Make(10, true, {bad_spec}, Factory(&log, {{0}})), nullptr);
  EXPECT_EQ(Make(10, true, {good}, Factory(&log, {})), nullptr);  // no runner
}

// ---- Lips detector halves ----------------------------------------------------------------

// Faces of 468 landmarks, landmark i at (0.1 + i / 10000, 0.5, 0) plus `shift`.
LandmarksDetectionResult MeshFaces(int faces, int count = 468) {
  LandmarksDetectionResult r;
  for (int f = 0; f < faces; ++f) {
    const int32_t begin = static_cast<int32_t>(r.landmarks.size());
    for (int i = 0; i < count; ++i) r.landmarks.push_back({0.1f + i / 10000.0f + f * 0.3f, 0.5f, 0});
    r.faces.push_back({{0, 0, 1, 1}, begin, begin + count, -1});
  }
  return r;
}

TEST(RefineDetectorTest, RoisFromTheLips) {
  const LandmarksDetectionResult result = MeshFaces(2);
  std::vector<utils::RectAndBound> rois;
  ASSERT_TRUE(GetROIsForRefineDetector(result, 1000, 100, absl::Milliseconds(3), &rois));
  ASSERT_EQ(rois.size(), 2u);
  // Lips landmarks 0 and 10 are base 61 and 291, on one horizontal line.
  EXPECT_NEAR(rois[1].rect.rotation, 0, 1e-6);
  const float left = 0.1f + 0 / 10000.0f + 0.3f, right = 0.1f + 415 / 10000.0f + 0.3f;
  EXPECT_NEAR(rois[1].rect.width, (right - left) * 1000, 1e-3);
  EXPECT_NEAR(rois[1].bound.left, left - (right - left) * 0.1f, 1e-6);
  EXPECT_EQ(rois[1].time, absl::Milliseconds(3));

  const LandmarksDetectionResult short_face = MeshFaces(1, 415);
  LogCapture log;
  EXPECT_FALSE(GetROIsForRefineDetector(short_face, 1000, 100, absl::nullopt, &rois));
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST(RefineDetectorTest, RefineResultCopiesLipsByPosition) {
  LandmarksDetectionResult refined;
  for (int f = 0; f < 2; ++f) {
    const int32_t begin = static_cast<int32_t>(refined.landmarks.size());
    for (int k = 0; k < 80; ++k) refined.landmarks.push_back({f + 10.0f, k + 0.0f, 1});
    refined.faces.push_back({{0, 0, 1, 1}, begin, begin + 80, -1});
  }
  LandmarksDetectionResult result = MeshFaces(2);
  ASSERT_TRUE(RefineResult(refined, &result));
  EXPECT_EQ(result.landmarks[468 + 291].x, 11);  // second face, lips landmark 10
  EXPECT_EQ(result.landmarks[468 + 291].y, 10);
  EXPECT_EQ(result.landmarks[468 + 291].z, 1);
  EXPECT_EQ(result.landmarks[468 + 1].z, 0);  // not a lips landmark

  // One refined face for two: nothing is copied.
  LandmarksDetectionResult one = refined;
  one.faces.pop_back();
  LandmarksDetectionResult untouched = MeshFaces(2);
  ASSERT_TRUE(RefineResult(one, &untouched));
  EXPECT_EQ(untouched.landmarks[291].z, 0);

  // Too few refined landmarks: refused before anything is copied.
  LandmarksDetectionResult short_refined = refined;
  short_refined.faces[1].landmarks_end -= 1;
  LandmarksDetectionResult target = MeshFaces(2);
  LogCapture log;
  EXPECT_FALSE(RefineResult(short_refined, &target));
  EXPECT_EQ(target.landmarks[291].z, 0);
}

}  // namespace
}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
