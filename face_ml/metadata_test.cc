#include <string>
#include <vector>

#include "face_ml/landmarks_metadata.h"
#include "face_ml/metadata_loader.h"
#include "face_ml/testing/log_capture.h"
#include "face_ml/testing/metadata_builders.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace research {
namespace sorvanti {
namespace api {
namespace {

using internal::LandmarksInputSpec;
using internal::RefinementSpec;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using sorvanti::testing::Bytes;
using sorvanti::testing::DetectorMetadata;
using sorvanti::testing::DetectorMetadataSpec;
using sorvanti::testing::LogCapture;
using sorvanti::testing::ModelFileWith;
using sorvanti::testing::ContoursWithRefinementSpecs;
using sorvanti::testing::ModelFileWithMetadata;
using sorvanti::testing::SpecInput;

// A small "COMD" buffer: one contour set, 468 landmarks.
Bytes ContoursMetadataBytes() {
  flatbuffers::FlatBufferBuilder fbb;
  std::vector<int32_t> extra = {20, 5};
  auto set = fb::CreateContourSet(fbb, 3, 10, 13, fbb.CreateVector(extra));
  auto sets = fbb.CreateVector(std::vector<flatbuffers::Offset<fb::ContourSet>>{set});
  fb::ContoursMetadataBuilder b(fbb);
  b.add_contour_sets(sets);
  b.add_num_landmarks(468);
  fb::FinishContoursMetadataBuffer(fbb, b.Finish());
  return sorvanti::testing::Finish(fbb);
}

template <typename T>
const T* Load(const Bytes& model, const char* identifier) {
  return LoadMetadataFromModelFile<T>(model, identifier);
}

TEST(LoadMetadataTest, FindsTheBufferOfTheFirstIndexOnly) {
  const Bytes fdmd = DetectorMetadata({});
  const Bytes comd = ContoursMetadataBytes();
  struct Case {
    const char* name;
    Bytes model;
    bool found;
  } cases[] = {
      {"FirstIndex", ModelFileWith({comd, fdmd}, {1}), true},
      {"NoIndexList", ModelFileWith({fdmd}, {}, false), false},
      {"EmptyIndexList", ModelFileWith({fdmd}, {}), false},
      {"NegativeIndex", ModelFileWith({fdmd}, {-1}), false},
      {"IndexEqualsBufferCount", ModelFileWith({fdmd}, {1}), false},
      {"BufferWithoutData", ModelFileWith({{}, fdmd}, {0}), false},
      {"OnlySecondIndexNamesIt", ModelFileWith({comd, fdmd}, {0, 1}), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Load<fb::FaceDetectorMetadata>(c.model, "FDMD") != nullptr, c.found) << c.name;
  }
}

TEST(LoadMetadataTest, ComparesTheIdentifierOnlyWhenGiven) {
  const Bytes model = ModelFileWithMetadata(ContoursMetadataBytes());
  EXPECT_EQ(Load<fb::FaceDetectorMetadata>(model, "FDMD"), nullptr);
  EXPECT_NE(Load<fb::ContoursMetadata>(model, "COMD"), nullptr);
  const fb::ContoursMetadata* any = Load<fb::ContoursMetadata>(model, nullptr);
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(any->num_landmarks(), 468);
  EXPECT_EQ(Load<fb::ContoursMetadata>(model, "COM"), nullptr);  // not four characters
}

TEST(LoadMetadataTest, MalformedBytesAreRefused) {
  const Bytes model = ModelFileWithMetadata(DetectorMetadata({}));
  for (size_t cut : {size_t{0}, size_t{3}, model.size() / 2, model.size() - 1}) {
    const Bytes truncated(model.begin(), model.begin() + cut);
    EXPECT_EQ(Load<fb::FaceDetectorMetadata>(truncated, "FDMD"), nullptr) << cut;
  }
  // A nested buffer with the right identifier whose root offset points outside it.
  const Bytes bad_nested = {0xF0, 0xFF, 0, 0, 'F', 'D', 'M', 'D', 0, 0, 0, 0};
  EXPECT_EQ(Load<fb::FaceDetectorMetadata>(ModelFileWithMetadata(bad_nested), "FDMD"), nullptr);
}

// Face-detector metadata that the decoders or the pipeline could not use safely is refused
// when it is loaded.
TEST(LoadMetadataTest, IncompleteDetectorMetadataIsRefused) {
  struct Case {
    const char* name;
    void (*edit)(DetectorMetadataSpec*);
    bool accepted;
  } cases[] = {
      {"V1", [](DetectorMetadataSpec*) {}, true},
      {"V0", [](DetectorMetadataSpec* s) { s->v1 = false, s->strides = {64, 64}; }, true},
      {"V1WithoutSpecV1", [](DetectorMetadataSpec* s) { s->with_spec_v1 = false; }, true},
      {"NoInputSpec", [](DetectorMetadataSpec* s) { s->with_input_spec = false; }, false},
      {"NoInputSizes", [](DetectorMetadataSpec* s) { s->input_sizes.clear(); }, false},
      {"V1ShortAnchorsPerCell",
       [](DetectorMetadataSpec* s) { s->strides = {8, 16}, s->anchors_per_cell = {2}; }, false},
      {"V0WithoutAnchorsConfig",
       [](DetectorMetadataSpec* s) { s->v1 = false, s->with_anchors_config = false; }, false},
      {"V0ShortStrides", [](DetectorMetadataSpec* s) { s->v1 = false, s->strides = {64}; },
       false},
      {"V0ShortOffsets",
       [](DetectorMetadataSpec* s) { s->v1 = false, s->strides = {64, 64}, s->offsets = {32}; },
       false},
      {"V0ShortScales",
       [](DetectorMetadataSpec* s) { s->v1 = false, s->strides = {64, 64}, s->scales = {0.2f}; },
       false},
      // With fewer layers than scales, the last layer reads the scale after it.
      {"V0NextScaleMissing",
       [](DetectorMetadataSpec* s) {
         s->v1 = false, s->strides = {64, 64}, s->scales = {0.2f, 0.4f}, s->num_scales = 3;
       },
       false},
      {"V0NextScalePresent",
       [](DetectorMetadataSpec* s) {
         s->v1 = false, s->strides = {64}, s->offsets = {32}, s->num_layers = 1;
       },
       true},
      {"V0ZeroStride", [](DetectorMetadataSpec* s) { s->v1 = false, s->strides = {64, 0}; },
       false},
  };
  for (const Case& c : cases) {
    DetectorMetadataSpec spec;
    c.edit(&spec);
    const Bytes model = ModelFileWithMetadata(DetectorMetadata(spec));
    EXPECT_EQ(Load<fb::FaceDetectorMetadata>(model, "FDMD") != nullptr, c.accepted) << c.name;
  }
}

TEST(LoadMetadataTest, DetectorDefaults) {
  const Bytes model = ModelFileWithMetadata(DetectorMetadata({}));
  const fb::FaceDetectorMetadata* m = Load<fb::FaceDetectorMetadata>(model, "FDMD");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->landmark_dimensions(), 2);
  EXPECT_EQ(m->default_filter_type(), 0);
  EXPECT_FLOAT_EQ(m->score_threshold(), 0.5f);
  EXPECT_EQ(m->contour_sets(), nullptr);
}

TEST(ReadContourSetsTest, RangeThenIndices) {
  const Bytes model = ModelFileWithMetadata(ContoursMetadataBytes());
  const fb::ContoursMetadata* m = Load<fb::ContoursMetadata>(model, "COMD");
  ASSERT_NE(m, nullptr);
  const std::vector<ContourSet> sets = internal::ReadContourSets(m->contour_sets());
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].type, 3);
  EXPECT_THAT(sets[0].indices, ElementsAre(10, 11, 12, 20, 5));
  EXPECT_TRUE(internal::ReadContourSets(nullptr).empty());

  flatbuffers::FlatBufferBuilder fbb;
  auto empty = fb::CreateContourSet(fbb, 1, 7, 7);
  auto inverted = fb::CreateContourSet(fbb, 2, 9, 4);
  fbb.Finish(fbb.CreateVector(std::vector<flatbuffers::Offset<fb::ContourSet>>{empty, inverted}));
  const auto* vec = flatbuffers::GetRoot<flatbuffers::Vector<flatbuffers::Offset<fb::ContourSet>>>(
      fbb.GetBufferPointer());
  const std::vector<ContourSet> none = internal::ReadContourSets(vec);
  ASSERT_EQ(none.size(), 2u);
  EXPECT_TRUE(none[0].indices.empty());
  EXPECT_TRUE(none[1].indices.empty());
}

TEST(ReadContourSetsTest, RangesBeyondAnyModelAreRefused) {
  struct Case {
    int begin, end, sets;
    bool accepted;
  } cases[] = {{-1, 3, 1, false},
               {0, kMaxLandmarks + 1, 1, false},
               {0, kMaxLandmarks, 16, true},
               // The same table many times over: too many indices in all.
               {0, kMaxLandmarks, 17, false}};
  for (const Case& c : cases) {
    flatbuffers::FlatBufferBuilder fbb;
    auto set = fb::CreateContourSet(fbb, 0, c.begin, c.end);
    auto sets = fbb.CreateVector(std::vector<flatbuffers::Offset<fb::ContourSet>>(c.sets, set));
    fb::FinishContoursMetadataBuffer(fbb, fb::CreateContoursMetadata(fbb, sets));
    const Bytes model = ModelFileWithMetadata(sorvanti::testing::Finish(fbb));
    EXPECT_EQ(Load<fb::ContoursMetadata>(model, "COMD") != nullptr, c.accepted)
        << c.begin << ".." << c.end << " x" << c.sets;
  }
}

// Builds "COMD" metadata with an input spec table (absent when `with_spec` is false).
Bytes ContoursWithInputSpec(bool with_spec, float min, float max, float scale, bool keep) {
  flatbuffers::FlatBufferBuilder fbb;
  flatbuffers::Offset<fb::LandmarksInputSpec> spec = 0;
  if (with_spec) spec = fb::CreateLandmarksInputSpec(fbb, min, max, scale, keep);
  fb::ContoursMetadataBuilder b(fbb);
  if (with_spec) b.add_input_spec(spec);
  fb::FinishContoursMetadataBuffer(fbb, b.Finish());
  return sorvanti::testing::Finish(fbb);
}

TEST(LandmarksInputSpecTest, AbsentTableDiffersFromEmptyTable) {
  struct Case {
    const char* name;
    bool with_spec;
    float min, max, scale;
  } cases[] = {{"Absent", false, 0, 1, 1.5f}, {"Empty", true, 0, 0, 0}};
  for (const Case& c : cases) {
    const Bytes model = ModelFileWithMetadata(ContoursWithInputSpec(c.with_spec, 0, 0, 0, false));
    const fb::ContoursMetadata* m = Load<fb::ContoursMetadata>(model, "COMD");
    ASSERT_NE(m, nullptr);
    const LandmarksInputSpec spec = internal::ReadLandmarksInputSpecFromMetadata(m);
    EXPECT_EQ(spec.range_min(), c.min) << c.name;
    EXPECT_EQ(spec.range_max(), c.max) << c.name;
    EXPECT_EQ(spec.roi_scale(), c.scale) << c.name;
    EXPECT_FALSE(spec.keep_aspect_ratio());
  }
}

TEST(LandmarksInputSpecTest, RangeScaleAndOffset) {
  const auto [scale, offset] =
      LandmarksInputSpec(-1, 1, 1, false).GetInputRangeScaleAndOffset(0, 1);
  EXPECT_EQ(scale, 2);
  EXPECT_EQ(offset, -1);
  const auto [scale255, offset255] =
      LandmarksInputSpec(0, 1, 1, false).GetInputRangeScaleAndOffset(0, 255);
  EXPECT_FLOAT_EQ(scale255 * 255 + offset255, 1);
}

TEST(LandmarksInputSpecTest, UpdateROI) {
  const utils::RotatedRect crop{50, 60, 100, 100, 0.5f};
  struct Case {
    const char* name;
    LandmarksInputSpec spec;
    int input_width, input_height;
    float width, height;
  } cases[] = {
      {"ScaleOnly", {0, 1, 1.5f, false}, 192, 256, 150, 150},
      {"GrowHeight", {0, 1, 1, true}, 192, 256, 100, 133},
      {"GrowWidth", {0, 1, 1, true}, 256, 192, 133, 100},
      {"ScaleThenGrow", {0, 1, 1.5f, true}, 100, 300, 150, 450},
  };
  for (const Case& c : cases) {
    const utils::RotatedRect out = c.spec.UpdateROI(crop, c.input_width, c.input_height);
    EXPECT_EQ(out.width, c.width) << c.name;
    EXPECT_EQ(out.height, c.height) << c.name;
    EXPECT_EQ(out.center_x, 50);
    EXPECT_EQ(out.center_y, 60);
    EXPECT_EQ(out.rotation, 0.5f);
  }
}

const fb::ContoursMetadata* Parse(const Bytes& model) {
  return Load<fb::ContoursMetadata>(model, "COMD");
}

TEST(ReadRefinementSpecTest, WithoutSpecsAppendsTheLipsSpec) {
  const Bytes model = ModelFileWithMetadata(ContoursWithRefinementSpecs({}));
  std::vector<RefinementSpec> specs(1);  // kept: the default spec is appended
  ASSERT_TRUE(internal::ReadRefinementSpecFromMetadata(Parse(model), &specs));
  ASSERT_EQ(specs.size(), 2u);
  EXPECT_EQ(specs[1].index_map, internal::GetLipsMapping());
  EXPECT_EQ(specs[1].roi_indices, internal::GetLipsMapping());
  EXPECT_TRUE(specs[1].z_refinements.empty());
  EXPECT_FALSE(specs[1].flip);
  ASSERT_EQ(internal::GetLipsMapping().size(), 80u);
  EXPECT_EQ(internal::GetLipsMapping()[10], 291);
  EXPECT_EQ(internal::GetLipsMapping()[79], 407);
}

TEST(ReadRefinementSpecTest, ReadsSpecsAndTurnsDepthIndicesIntoPositions) {
  const Bytes model = ModelFileWithMetadata(ContoursWithRefinementSpecs({
      {{468, 469, 470}, false, {}, true,
       {{{470, 468}, 1}, {{469}, 2, {1, 2}}, {{468}, 3, {5}}, {{470}, 0}}},
      {{33, 7}, true, {7, 33, 9}},
  }));
  std::vector<RefinementSpec> specs(5);
  ASSERT_TRUE(internal::ReadRefinementSpecFromMetadata(Parse(model), &specs));
  ASSERT_EQ(specs.size(), 2u);
  EXPECT_THAT(specs[0].index_map, ElementsAre(468, 469, 470));
  EXPECT_EQ(specs[0].roi_indices, specs[0].index_map);
  EXPECT_TRUE(specs[0].flip);
  ASSERT_EQ(specs[0].z_refinements.size(), 4u);
  EXPECT_THAT(specs[0].z_refinements[0].indices, ElementsAre(2, 0));
  EXPECT_TRUE(absl::holds_alternative<RefinementSpec::ZRefinementCopy>(
      specs[0].z_refinements[0].rule));
  const auto& csa = absl::get<RefinementSpec::ZRefinementCopySubtractAverage>(
      specs[0].z_refinements[1].rule);
  EXPECT_THAT(csa.indices, ElementsAre(1, 2));  // base landmarks, kept as they are
  EXPECT_THAT(specs[0].z_refinements[1].indices, ElementsAre(1));
  EXPECT_THAT(
      absl::get<RefinementSpec::ZRefinementAssignAverage>(specs[0].z_refinements[2].rule).indices,
      ElementsAre(5));
  EXPECT_TRUE(absl::holds_alternative<RefinementSpec::ZRefinementCopy>(
      specs[0].z_refinements[3].rule));
  EXPECT_THAT(specs[1].roi_indices, ElementsAre(7, 33, 9));
  EXPECT_FALSE(specs[1].flip);
}

TEST(ReadRefinementSpecTest, BadSpecsFailWithALogLine) {
  struct Case {
    const char* name;
    SpecInput spec;
    std::string error;
  } cases[] = {
      {"DepthIndexNotMapped", {{1, 2}, false, {}, false, {{{3}, 1}}},
       "Can't find index for 3 in mapping"},
      {"EmptyAverage", {{1, 2}, false, {}, false, {{{1}, 3, {}}}},
       "Z refinement averages over no landmarks"},
      {"NegativeMapEntry", {{1, -2}}, "Landmark index -2 out of range"},
      {"HugeRoiEntry", {{1}, true, {kMaxLandmarks}}, "Landmark index 65536 out of range"},
      {"NegativeAverageEntry", {{1}, false, {}, false, {{{1}, 2, {-1}}}},
       "Landmark index -1 out of range"},
  };
  for (const Case& c : cases) {
    const Bytes model = ModelFileWithMetadata(ContoursWithRefinementSpecs({c.spec}));
    std::vector<RefinementSpec> specs;
    LogCapture log;
    EXPECT_FALSE(internal::ReadRefinementSpecFromMetadata(Parse(model), &specs)) << c.name;
    EXPECT_EQ(log.Count(absl::LogSeverity::kError, c.error), 1) << c.name;
  }
}

}  // namespace
}  // namespace api
}  // namespace sorvanti
}  // namespace research
