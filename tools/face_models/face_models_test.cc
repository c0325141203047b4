// The synthetic face models, evaluated by the plain float reference evaluator and read by the
// face ML code that reads the real ones: metadata readers, anchor decoding and suppression,
// landmark geometry.

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "face_ml/landmark_geometry.h"
#include "face_ml/landmarks_metadata.h"
#include "face_ml/metadata_loader.h"
#include "face_ml/non_max_suppression.h"
#include "face_ml/refinement_merge_rules.h"
#include "face_ml/tflite_conversion.h"
#include "face_ml/zelkor_face_pipeline.h"
#include "face_ml/zelkor_face_decoder.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tflite/gpu/model.h"
#include "tflite/model.h"
#include "tflite/testing/reference_evaluator.h"
#include "tools/canonical_face_model.h"
#include "tools/face_models/face_detector_model.h"
#include "tools/face_models/face_layout.h"
#include "tools/face_models/landmark_models.h"
#include "tools/face_models/model_files.h"

namespace tools {
namespace face_models {
namespace {

namespace api = research::sorvanti::api;
namespace fb = research::sorvanti::api::fb;
using tflite::testing::EvaluateModel;
using tflite::testing::FloatTensor;

// A square image of `size` pixels: `bright` inside the patch, `dark` elsewhere. With
// `features`, the patch has dark eyes and a dark mouth, as drawn faces do.
FloatTensor PatchImage(int size, const FacePatch* patch, float dark, float bright,
                       bool features = false) {
  FloatTensor image{{1, size, size, 3}, std::vector<float>(size_t{3} * size * size, dark)};
  if (patch == nullptr) return image;
  const auto eye0 = ProjectOntoPatch(*patch, DetectorKeyPoints()[0].x, DetectorKeyPoints()[0].y);
  const auto eye1 = ProjectOntoPatch(*patch, DetectorKeyPoints()[1].x, DetectorKeyPoints()[1].y);
  const auto mouth = ProjectOntoPatch(*patch, 0, kMouthCenterY);
  const double r = 0.08 * patch->half_height;
  const FacePatch dark_parts[] = {{eye0[0], eye0[1], 1.5 * r, r},
                                  {eye1[0], eye1[1], 1.5 * r, r},
                                  {mouth[0], mouth[1], 4 * r, r}};
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      if (!InsideFacePatch(*patch, x, y)) continue;
      bool in_feature = false;
      for (const FacePatch& part : dark_parts) in_feature |= InsideFacePatch(part, x, y);
      if (features && in_feature) continue;
      for (int c = 0; c < 3; ++c) image.data[(size_t{1} * y * size + x) * 3 + c] = bright;
    }
  }
  return image;
}

// The models' outputs with every tensor stored in half precision, as the GPU runtime keeps
// them.
std::vector<FloatTensor> Evaluate(const std::vector<uint8_t>& model, const FloatTensor& input) {
  auto outputs = EvaluateModel(model, {input}, {.half_storage = true});
  EXPECT_TRUE(outputs.ok()) << outputs.status();
  return outputs.ok() ? *outputs : std::vector<FloatTensor>();
}

// Faces in tensor pixels, decoded and merged as the face detector pipeline does.
api::LandmarksDetectionResult Detect(const std::vector<uint8_t>& model, const FloatTensor& image) {
  const auto* metadata = api::LoadMetadataFromModelFile<fb::FaceDetectorMetadata>(model, "FDMD");
  EXPECT_NE(metadata, nullptr);
  api::LandmarksDetectionResult result;
  if (metadata == nullptr) return result;
  const auto decoder = api::internal::MakeZelkorFaceDecoder(*metadata, kFaceDetectorInputSize,
                                                            kFaceDetectorInputSize);
  const std::vector<FloatTensor> out = Evaluate(model, image);
  EXPECT_EQ(out.size(), 2u);
  if (decoder == nullptr || out.size() != 2) return result;
  EXPECT_EQ(out[0].data.size(), static_cast<size_t>(decoder->expected_boxes_output_size()));
  EXPECT_EQ(out[1].data.size(), static_cast<size_t>(decoder->expected_scores_output_size()));
  float threshold;
  decoder->DecodeScoreThreshold(metadata->score_threshold(), &threshold);
  api::internal::ZelkorFaceBoxesSource source(out[0].data, out[1].data, decoder.get());
  EXPECT_TRUE(api::internal::RunNonMaxSuppression(source, threshold, metadata->iou_threshold(),
                                                  true, 10, &result));
  const float s = kFaceDetectorInputSize;
  for (auto& face : result.faces) {
    face.rect = {face.rect.left * s, face.rect.top * s, face.rect.right * s, face.rect.bottom * s};
  }
  for (auto& l : result.landmarks) l.x *= s, l.y *= s;
  return result;
}

struct PatchCase {
  std::string name;
  double x, y, height;  // tensor pixels
  bool features = false;
  float background = -1, face = 1;
};

void PrintTo(const PatchCase& c, std::ostream* os) { *os << c.name; }

class FaceDetectorTest : public ::testing::TestWithParam<PatchCase> {
 protected:
  static const std::vector<uint8_t>& Model() {
    static const auto* model = new std::vector<uint8_t>(MakeFaceDetectorModel(false));
    return *model;
  }
};

TEST_P(FaceDetectorTest, FindsThePatchWhereItIs) {
  const PatchCase& c = GetParam();
  const FacePatch patch = FacePatchOfHeight(c.x, c.y, c.height);
  const auto result =
      Detect(Model(), PatchImage(kFaceDetectorInputSize, &patch, c.background, c.face, c.features));
  ASSERT_EQ(result.faces.size(), 1u);
  const api::Bound& box = result.faces[0].rect;
  // Centre within a pixel and a half, size within 10% of the footprint's box.
  EXPECT_NEAR((box.left + box.right) / 2, c.x, 1.5);
  EXPECT_NEAR((box.top + box.bottom) / 2, c.y, 1.5);
  EXPECT_NEAR(box.right - box.left, 2 * patch.half_width, 0.1 * 2 * patch.half_width);
  EXPECT_NEAR(box.bottom - box.top, 2 * patch.half_height, 0.1 * 2 * patch.half_height);
  // The key points where the canonical face puts them; the eyes level, image-left one first.
  ASSERT_EQ(result.faces[0].landmarks_end - result.faces[0].landmarks_begin,
            kFaceDetectorKeyPoints);
  for (int k = 0; k < kFaceDetectorKeyPoints; ++k) {
    const Point3& p = DetectorKeyPoints()[k];
    const auto expected = ProjectOntoPatch(patch, p.x, p.y);
    EXPECT_NEAR(result.landmarks[k].x, expected[0], 0.05 * c.height) << "key point " << k;
    EXPECT_NEAR(result.landmarks[k].y, expected[1], 0.05 * c.height) << "key point " << k;
  }
  EXPECT_LT(result.landmarks[0].x, result.landmarks[1].x);
}

INSTANTIATE_TEST_SUITE_P(
    Positions, FaceDetectorTest,
    ::testing::Values(PatchCase{"Centre", 64, 64, 40}, PatchCase{"TopLeft", 18, 20, 28},
                      PatchCase{"BottomRight", 108, 104, 34},
                      PatchCase{"OffGrid", 57.3, 71.9, 36}, PatchCase{"Small", 40, 92, 14},
                      PatchCase{"CellCorner", 48, 80, 24}, PatchCase{"Large", 64, 64, 100},
                      PatchCase{"LargeOffCentre", 70, 58, 80},
                      PatchCase{"WithEyesAndMouth", 66, 60, 44, true},
                      // Brightness 0.15 around a face of 0.7.
                      PatchCase{"DimFaceOnGrey", 50, 70, 30, true, -0.7f, 0.4f}),
    [](const ::testing::TestParamInfo<PatchCase>& info) { return info.param.name; });

TEST_F(FaceDetectorTest, FindsTwoPatchesApartAndNothingOnADarkFrame) {
  EXPECT_TRUE(Detect(Model(), PatchImage(kFaceDetectorInputSize, nullptr, -1, 1)).faces.empty());

  FloatTensor image = PatchImage(kFaceDetectorInputSize, nullptr, -1, 1);
  for (const FacePatch& patch : {FacePatchOfHeight(28, 30, 26), FacePatchOfHeight(96, 90, 30)}) {
    for (int y = 0; y < kFaceDetectorInputSize; ++y) {
      for (int x = 0; x < kFaceDetectorInputSize; ++x) {
        if (!InsideFacePatch(patch, x, y)) continue;
        for (int c = 0; c < 3; ++c) image.data[(y * kFaceDetectorInputSize + x) * 3 + c] = 1;
      }
    }
  }
  EXPECT_EQ(Detect(Model(), image).faces.size(), 2u);
}

TEST(FaceDetectorMetadataTest, ReadsBackThroughTheReaders) {
  const std::vector<uint8_t> model = MakeFaceDetectorModel(false);
  const auto* metadata = api::LoadMetadataFromModelFile<fb::FaceDetectorMetadata>(model, "FDMD");
  ASSERT_NE(metadata, nullptr);
  EXPECT_EQ(api::LoadMetadataFromModelFile<fb::ContoursMetadata>(model, "COMD"), nullptr);
  EXPECT_EQ(metadata->num_keypoints(), kFaceDetectorKeyPoints);
  ASSERT_NE(metadata->output_spec(), nullptr);
  const auto decoder = api::internal::MakeZelkorFaceDecoder(*metadata, kFaceDetectorInputSize,
                                                            kFaceDetectorInputSize);
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(decoder->num_faces(), kFaceDetectorAnchors);
  const auto sets = api::internal::ReadContourSets(metadata->contour_sets());
  ASSERT_EQ(sets.size(), 6u);
  EXPECT_EQ(sets[0].type, 16);
  EXPECT_THAT(sets[5].indices, ::testing::ElementsAre(5));
}

// ---- Landmark models ----

class FaceMeshTest : public ::testing::Test {
 protected:
  static const std::vector<uint8_t>& Model() {
    static const auto* model = new std::vector<uint8_t>(MakeFaceMeshModel(false));
    return *model;
  }
};

TEST_F(FaceMeshTest, LandmarksFollowThePatchAcrossTheCrop) {
  const struct {
    FacePatch patch;
    bool features;
    float background = 0, face = 1;
  } cases[] = {{FacePatchOfHeight(96, 96, 120), false},
               {FacePatchOfHeight(70, 110, 110), false},
               {FacePatchOfHeight(120, 84, 90), false},
               {FacePatchOfHeight(100, 90, 120), true},
               {FacePatchOfHeight(90, 100, 110), true, 0.15f, 0.7f}};
  for (const auto& [patch, features, background, face] : cases) {
    const auto out =
        Evaluate(Model(), PatchImage(kFaceMeshInputSize, &patch, background, face, features));
    ASSERT_EQ(out.size(), 2u);
    std::vector<api::Landmark> landmarks;
    ASSERT_TRUE(api::internal::LandmarksFromRawOutput(out[0].data, kCanonicalVertexCount, 3,
                                                      &landmarks));
    const std::vector<Point3>& canonical = CanonicalVertices();
    for (int i : {kNoseTipVertex, kLeftForeheadVertex, kRightForeheadVertex, kOutlineBegin,
                  kOuterLipContourBegin, kCanonicalVertexCount - 1}) {
      const auto expected = ProjectOntoPatch(patch, canonical[i].x, canonical[i].y);
      EXPECT_NEAR(landmarks[i].x, expected[0], 1.5) << "vertex " << i;
      EXPECT_NEAR(landmarks[i].y, expected[1], 1.5) << "vertex " << i;
    }
    // The nose is nearer the camera than the face's outline.
    EXPECT_LT(landmarks[kNoseTipVertex].z, landmarks[kOutlineBegin].z);
    EXPECT_GT(out[1].data[0], 0) << "face flag";
  }
}

TEST_F(FaceMeshTest, FaceFlagIsNegativeOnADarkCrop) {
  const auto out = Evaluate(Model(), PatchImage(kFaceMeshInputSize, nullptr, 0, 1));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_LT(out[1].data[0], 0);
}

TEST(LandmarkMetadataTest, ReadsBackThroughTheReaders) {
  using api::internal::ReadRefinementSpecFromMetadata;
  using api::internal::RefinementSpec;
  const std::vector<uint8_t> mesh = MakeFaceMeshModel(false);
  const auto* m = api::LoadMetadataFromModelFile<fb::ContoursMetadata>(mesh, "COMD");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->num_landmarks(), kCanonicalVertexCount);
  EXPECT_EQ(m->num_dimensions(), 3);
  const auto sets = api::internal::ReadContourSets(m->contour_sets());
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(sets[0].indices.size(), static_cast<size_t>(CanonicalOutlineCount()));
  EXPECT_EQ(api::internal::ReadLandmarksInputSpecFromMetadata(m).roi_scale(), 1.5f);

  const std::vector<uint8_t> lips = MakeLipsModel();
  const auto* lm = api::LoadMetadataFromModelFile<fb::ContoursMetadata>(lips, "COMD");
  ASSERT_NE(lm, nullptr);
  std::vector<RefinementSpec> lips_specs;
  ASSERT_TRUE(ReadRefinementSpecFromMetadata(lm, &lips_specs));
  ASSERT_EQ(lips_specs.size(), 1u);
  EXPECT_EQ(lips_specs[0].index_map, api::internal::GetLipsMapping());

  const std::vector<uint8_t> eyes = MakeEyesModel();
  const auto* em = api::LoadMetadataFromModelFile<fb::ContoursMetadata>(eyes, "COMD");
  ASSERT_NE(em, nullptr);
  std::vector<RefinementSpec> eye_specs;
  ASSERT_TRUE(ReadRefinementSpecFromMetadata(em, &eye_specs));
  ASSERT_EQ(eye_specs.size(), 1u);
  const RefinementSpec& spec = eye_specs[0];
  // The eyes and brows refine base landmarks in place: the mesh keeps its 468 landmarks.
  EXPECT_EQ(spec.index_map, EyeRegionVertices());
  EXPECT_LT(*std::max_element(spec.index_map.begin(), spec.index_map.end()),
            kCanonicalVertexCount);
  EXPECT_EQ(spec.roi_indices, EyeRegionVertices());
  EXPECT_EQ(em->num_landmarks(), static_cast<int>(spec.index_map.size()));
  // Every depth is the model's own.
  ASSERT_EQ(spec.z_refinements.size(), 1u);
  EXPECT_TRUE(absl::holds_alternative<RefinementSpec::ZRefinementCopy>(spec.z_refinements[0].rule));
  EXPECT_EQ(spec.z_refinements[0].indices.size(), spec.index_map.size());
  // Above each eye the model reaches the brow.
  const std::vector<Point3>& v = CanonicalVertices();
  for (int side = 0; side < 2; ++side) {
    const Point3& eye = DetectorKeyPoints()[side];
    const int above = static_cast<int>(std::count_if(
        spec.index_map.begin(), spec.index_map.end(), [&](int32_t i) {
          return std::abs(v[i].x - eye.x) < 2.2 && v[i].y > eye.y + 1.2;  // above the eye
        }));
    EXPECT_GE(above, 3) << "side " << side;
  }
}

// A refinement model on the crop the runtime cuts around base landmarks that lie on a face
// patch: its landmarks, mapped back into the frame, land on the base landmarks they replace.
TEST(RefinementModelsTest, ReproduceTheBaseMeshOnTheFacePatch) {
  constexpr int kWidth = 640, kHeight = 480;
  const FacePatch patch = FacePatchOfHeight(300, 250, 320);
  std::vector<api::Landmark> base;
  for (const Point3& p : CanonicalVertices()) {
    const auto at = ProjectOntoPatch(patch, p.x, p.y);
    base.push_back({static_cast<float>(at[0] / kWidth), static_cast<float>(at[1] / kHeight), 0});
  }
  const struct {
    std::vector<uint8_t> model;
    int side;
  } models[] = {{MakeLipsModel(), kLipsInputSize}, {MakeEyesModel(), kEyesInputSize}};
  for (const auto& [model, side] : models) {
    const auto* m = api::LoadMetadataFromModelFile<fb::ContoursMetadata>(model, "COMD");
    ASSERT_NE(m, nullptr);
    std::vector<api::internal::RefinementSpec> specs;
    ASSERT_TRUE(api::internal::ReadRefinementSpecFromMetadata(m, &specs));
    const auto& spec = specs[0];
    std::vector<api::Landmark> roi_points;
    for (int32_t i : spec.roi_indices) roi_points.push_back(base[i]);
    api::utils::RotatedRect roi;
    ASSERT_TRUE(api::internal::CalculateContoursRegionOfInterest(
        roi_points, kWidth, kHeight, m->roi_landmark_a(), m->roi_landmark_b(), &roi));
    const auto input_spec = api::internal::ReadLandmarksInputSpecFromMetadata(m);
    roi = input_spec.UpdateROI(roi, side, side);

    // The crop, rendered through the runtime's crop transform.
    api::Matrix4 matrix;
    api::internal::GetRotatedSubRectToRectTransformMatrix(roi, kWidth, kHeight, false, &matrix);
    FloatTensor crop{{1, side, side, 3}, std::vector<float>(size_t{3} * side * side, 0)};
    for (int v = 0; v < side; ++v) {
      for (int u = 0; u < side; ++u) {
        api::Landmark p{(u + 0.5f) / side, (v + 0.5f) / side, 0};
        api::internal::TransformLandmark(matrix, &p);
        if (!InsideFacePatch(patch, static_cast<int>(std::floor(p.x * kWidth)),
                             static_cast<int>(std::floor(p.y * kHeight)))) {
          continue;
        }
        for (int c = 0; c < 3; ++c) crop.data[(size_t{1} * v * side + u) * 3 + c] = 1;
      }
    }
    const auto out = Evaluate(model, crop);
    ASSERT_EQ(out.size(), 1u);
    std::vector<api::Landmark> refined;
    ASSERT_TRUE(api::internal::LandmarksFromRawOutput(out[0].data, m->num_landmarks(),
                                                      m->num_dimensions(), &refined));
    api::internal::TransformLandmarks(kWidth, kHeight, side, side, roi, false, &refined);
    for (size_t k = 0; k < spec.index_map.size(); ++k) {
      const int32_t i = spec.index_map[k];
      EXPECT_NEAR(refined[k].x * kWidth, base[i].x * kWidth, 2.0) << "landmark " << k;
      EXPECT_NEAR(refined[k].y * kHeight, base[i].y * kHeight, 2.0) << "landmark " << k;
    }
  }
}

// Every model converts into the GPU graph with the output shapes the front ends check.
TEST(FaceModelsTest, ConvertForTheGpu) {
  using tflite::gpu::BHWC;
  const int eyes_landmarks = static_cast<int>(EyeRegionVertices().size());
  const struct {
    std::vector<uint8_t> model;
    BHWC input;
    std::vector<BHWC> outputs;
  } cases[] = {
      {MakeFaceDetectorModel(false), BHWC(1, 128, 128, 3),
       {BHWC(1, 1, kFaceDetectorAnchors, 16), BHWC(1, 1, kFaceDetectorAnchors, 1)}},
      {MakeFaceDetectorModel(true), BHWC(1, 128, 128, 3),
       {BHWC(1, 1, kFaceDetectorAnchors, 16), BHWC(1, 1, kFaceDetectorAnchors, 1)}},
      {MakeFaceMeshModel(false), BHWC(1, 192, 192, 3),
       {BHWC(1, 1, 1, 3 * kCanonicalVertexCount), BHWC(1, 1, 1, 1)}},
      {MakeFaceMeshModel(true), BHWC(1, 192, 192, 3),
       {BHWC(1, 1, 1, 3 * kCanonicalVertexCount), BHWC(1, 1, 1, 1)}},
      {MakeLipsModel(), BHWC(1, 80, 80, 3), {BHWC(1, 1, 1, 2 * 80)}},
      {MakeEyesModel(), BHWC(1, 64, 64, 3), {BHWC(1, 1, 1, 3 * eyes_landmarks)}},
  };
  for (const auto& c : cases) {
    auto model = tflite::FlatBufferModel::BuildFromBuffer(
        reinterpret_cast<const char*>(c.model.data()), c.model.size());
    ASSERT_NE(model, nullptr);
    tflite::gpu::GraphFloat32 graph;
    ASSERT_TRUE(research::sorvanti::ConvertTfliteToModelWithTransforms(*model, &graph).ok());
    ASSERT_EQ(graph.inputs().size(), 1u);
    EXPECT_EQ(graph.inputs()[0]->tensor.shape, c.input);
    ASSERT_EQ(graph.outputs().size(), c.outputs.size());
    for (size_t i = 0; i < c.outputs.size(); ++i) {
      EXPECT_EQ(graph.outputs()[i]->tensor.shape, c.outputs[i]) << "output " << i;
    }
  }
}

// Other readers of the format expect the options table of every operator that has one; ADD
// and MUL carry theirs with no fused activation.
TEST(FaceModelsTest, EveryOperatorCarriesItsOptionsTable) {
  using tflite::BuiltinOperator;
  using tflite::BuiltinOptions;
  const std::map<BuiltinOperator, BuiltinOptions> options_of = {
      {tflite::BuiltinOperator_ADD, tflite::BuiltinOptions_AddOptions},
      {tflite::BuiltinOperator_MUL, tflite::BuiltinOptions_MulOptions},
      {tflite::BuiltinOperator_CONV_2D, tflite::BuiltinOptions_Conv2DOptions},
      {tflite::BuiltinOperator_DEPTHWISE_CONV_2D, tflite::BuiltinOptions_DepthwiseConv2DOptions},
      {tflite::BuiltinOperator_AVERAGE_POOL_2D, tflite::BuiltinOptions_Pool2DOptions},
      {tflite::BuiltinOperator_MAX_POOL_2D, tflite::BuiltinOptions_Pool2DOptions},
      {tflite::BuiltinOperator_FULLY_CONNECTED, tflite::BuiltinOptions_FullyConnectedOptions},
      {tflite::BuiltinOperator_CONCATENATION, tflite::BuiltinOptions_ConcatenationOptions},
      {tflite::BuiltinOperator_RESHAPE, tflite::BuiltinOptions_ReshapeOptions},
      {tflite::BuiltinOperator_PAD, tflite::BuiltinOptions_PadOptions},
      {tflite::BuiltinOperator_LEAKY_RELU, tflite::BuiltinOptions_LeakyReluOptions},
  };
  // Operators the format gives no options table.
  const std::set<BuiltinOperator> without_options = {tflite::BuiltinOperator_RELU,
                                                     tflite::BuiltinOperator_LOGISTIC,
                                                     tflite::BuiltinOperator_PRELU};
  const std::vector<uint8_t> models[] = {MakeFaceDetectorModel(false), MakeFaceDetectorModel(true),
                                         MakeFaceMeshModel(false),     MakeFaceMeshModel(true),
                                         MakeLipsModel(),              MakeEyesModel()};
  std::set<BuiltinOperator> seen;
  for (const std::vector<uint8_t>& bytes : models) {
    const tflite::Model* model = tflite::GetModel(bytes.data());
    for (const tflite::SubGraph* subgraph : *model->subgraphs()) {
      for (const tflite::Operator* op : *subgraph->operators()) {
        const BuiltinOperator code =
            tflite::GetBuiltinCode(*model->operator_codes()->Get(op->opcode_index()));
        seen.insert(code);
        SCOPED_TRACE(tflite::EnumNameBuiltinOperator(code));
        if (without_options.count(code) != 0) continue;
        ASSERT_EQ(options_of.count(code), 1u) << "an operator this test does not know";
        EXPECT_EQ(op->builtin_options_type(), options_of.at(code));
        ASSERT_NE(op->builtin_options(), nullptr);
        if (code == tflite::BuiltinOperator_ADD) {
          EXPECT_EQ(op->builtin_options_as_AddOptions()->fused_activation_function(),
                    tflite::ActivationFunctionType_NONE);
        }
        if (code == tflite::BuiltinOperator_MUL) {
          EXPECT_EQ(op->builtin_options_as_MulOptions()->fused_activation_function(),
                    tflite::ActivationFunctionType_NONE);
        }
      }
    }
  }
  EXPECT_EQ(seen.count(tflite::BuiltinOperator_ADD), 1u);
  EXPECT_EQ(seen.count(tflite::BuiltinOperator_MUL), 1u);
}

// ---- Both models on whole frames ----

// A frame of `width` x `height` pixels, bright inside the patch and dark elsewhere, seen
// through a crop as the runtime's crop extraction does (nearest pixel, dark outside the
// frame), with colours mapped by value * alpha + beta.
struct Frame {
  int width, height;
  FacePatch patch;

  FloatTensor Crop(const api::utils::RotatedRect& roi, int size, float alpha, float beta) const {
    api::Matrix4 matrix;
    api::internal::GetRotatedSubRectToRectTransformMatrix(roi, width, height, false, &matrix);
    FloatTensor crop{{1, size, size, 3}, std::vector<float>(size_t{3} * size * size, beta)};
    for (int v = 0; v < size; ++v) {
      for (int u = 0; u < size; ++u) {
        api::Landmark p{(u + 0.5f) / size, (v + 0.5f) / size, 0};
        api::internal::TransformLandmark(matrix, &p);
        const int x = static_cast<int>(std::floor(p.x * width));
        const int y = static_cast<int>(std::floor(p.y * height));
        if (x < 0 || y < 0 || x >= width || y >= height || !InsideFacePatch(patch, x, y)) continue;
        for (int c = 0; c < 3; ++c) crop.data[(size_t{1} * v * size + u) * 3 + c] = alpha + beta;
      }
    }
    return crop;
  }
};

// The face detector's model behind the face detector pipeline, over one frame.
class FrameDetectorRunner : public api::internal::ZelkorFaceInferenceRunner {
 public:
  FrameDetectorRunner(const std::vector<uint8_t>* model, const Frame* frame)
      : model_(model), frame_(frame) {}
  bool ResizeInputTensor(int width, int height) override {
    return width == kFaceDetectorInputSize && height == kFaceDetectorInputSize;
  }
  int GetBoxesSize() override { return kFaceDetectorAnchors * 16; }
  int GetScoresSize() override { return kFaceDetectorAnchors; }
  bool Run(const api::utils::RotatedRect& rect, absl::Span<const float>* boxes,
           absl::Span<const float>* scores) override {
    outputs_ = Evaluate(*model_, frame_->Crop(rect, kFaceDetectorInputSize, 2, -1));
    if (outputs_.size() != 2) return false;
    *boxes = outputs_[0].data;
    *scores = outputs_[1].data;
    return true;
  }

 private:
  const std::vector<uint8_t>* model_;
  const Frame* frame_;
  std::vector<FloatTensor> outputs_;
};

struct FrameCase {
  std::string name;
  int width, height;
  double x, y, face_height;
};

void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

class FrameTest : public ::testing::TestWithParam<FrameCase> {};

// The detector finds the face in the frame; the landmark model, on the crop the detection
// gives, lays the mesh over it.
TEST_P(FrameTest, DetectorAndFaceMeshFindTheFace) {
  const FrameCase& c = GetParam();
  const Frame frame{c.width, c.height, FacePatchOfHeight(c.x, c.y, c.face_height)};
  const double tolerance = 0.02 * c.face_height;
  const std::vector<uint8_t> detector = MakeFaceDetectorModel(false);
  const auto* metadata =
      api::LoadMetadataFromModelFile<fb::FaceDetectorMetadata>(detector, "FDMD");
  ASSERT_NE(metadata, nullptr);
  auto pipeline = api::internal::ZelkorFacePipeline::Make(
      api::ZelkorFaceOptions{}, std::make_unique<FrameDetectorRunner>(&detector, &frame),
      metadata,
      api::internal::MakeFilterFactory(api::DEFAULT_FILTER, api::DEFAULT_FILTER, 2));
  ASSERT_TRUE(pipeline->ResizeInput(frame.width, frame.height, 0));
  api::LandmarksDetectionResult faces;
  ASSERT_TRUE(pipeline->Run(absl::nullopt, &faces));
  ASSERT_EQ(faces.faces.size(), 1u);
  const api::Bound& box = faces.faces[0].rect;
  EXPECT_NEAR((box.left + box.right) / 2 * frame.width, c.x, tolerance);
  EXPECT_NEAR((box.top + box.bottom) / 2 * frame.height, c.y, tolerance);

  api::utils::RotatedRect roi;
  ASSERT_TRUE(api::internal::CalculateZelkorFaceRegionOfInterest(
      faces.faces[0], faces.landmarks, frame.width, frame.height, &roi));
  EXPECT_NEAR(roi.rotation, 0, 0.02);
  const std::vector<uint8_t> mesh = MakeFaceMeshModel(false);
  const auto* mesh_metadata = api::LoadMetadataFromModelFile<fb::ContoursMetadata>(mesh, "COMD");
  ASSERT_NE(mesh_metadata, nullptr);
  const auto spec = api::internal::ReadLandmarksInputSpecFromMetadata(mesh_metadata);
  roi = spec.UpdateROI(roi, kFaceMeshInputSize, kFaceMeshInputSize);
  const auto [scale, offset] = spec.GetInputRangeScaleAndOffset(0, 1);
  const auto out = Evaluate(mesh, frame.Crop(roi, kFaceMeshInputSize, scale, offset));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_GT(out[1].data[0], 0) << "face flag";
  std::vector<api::Landmark> landmarks;
  ASSERT_TRUE(api::internal::LandmarksFromRawOutput(out[0].data, kCanonicalVertexCount, 3,
                                                    &landmarks));
  api::internal::TransformLandmarks(frame.width, frame.height, kFaceMeshInputSize,
                                    kFaceMeshInputSize, roi, false, &landmarks);
  for (int i = 0; i < kCanonicalVertexCount; i += 7) {
    const auto expected =
        ProjectOntoPatch(frame.patch, CanonicalVertices()[i].x, CanonicalVertices()[i].y);
    EXPECT_NEAR(landmarks[i].x * frame.width, expected[0], tolerance) << "vertex " << i;
    EXPECT_NEAR(landmarks[i].y * frame.height, expected[1], tolerance) << "vertex " << i;
  }
}

// Frame after frame, the crop for the next frame comes from the landmarks of this one, as the
// landmarks pipeline tracks a face: the mesh stays on a moving patch without the detector.
TEST(FaceMeshTrackingTest, FollowsAMovingPatchFromItsOwnLandmarks) {
  const std::vector<uint8_t> mesh = MakeFaceMeshModel(false);
  const auto* metadata = api::LoadMetadataFromModelFile<fb::ContoursMetadata>(mesh, "COMD");
  ASSERT_NE(metadata, nullptr);
  const auto spec = api::internal::ReadLandmarksInputSpecFromMetadata(metadata);
  const auto [scale, offset] = spec.GetInputRangeScaleAndOffset(0, 1);
  Frame frame{640, 480, FacePatchOfHeight(200, 300, 160)};
  // The first crop: around the face, somewhat off.
  api::utils::RotatedRect roi{215, 290, 140, 170, 0};
  for (int step = 0; step < 12; ++step) {
    frame.patch.center_x += 14;
    frame.patch.center_y -= 6;
    const api::utils::RotatedRect crop =
        spec.UpdateROI(roi, kFaceMeshInputSize, kFaceMeshInputSize);
    const auto out = Evaluate(mesh, frame.Crop(crop, kFaceMeshInputSize, scale, offset));
    ASSERT_EQ(out.size(), 2u);
    ASSERT_GT(out[1].data[0], 0) << "face lost at step " << step;
    std::vector<api::Landmark> landmarks;
    ASSERT_TRUE(api::internal::LandmarksFromRawOutput(out[0].data, kCanonicalVertexCount, 3,
                                                      &landmarks));
    api::internal::TransformLandmarks(frame.width, frame.height, kFaceMeshInputSize,
                                      kFaceMeshInputSize, crop, false, &landmarks);
    // Each frame the patch moved by 15 pixels since its crop was chosen; the mesh sits on it.
    const Point3& tip = CanonicalVertices()[kNoseTipVertex];
    const auto nose = ProjectOntoPatch(frame.patch, tip.x, tip.y);
    EXPECT_NEAR(landmarks[kNoseTipVertex].x * frame.width, nose[0], 4) << "step " << step;
    EXPECT_NEAR(landmarks[kNoseTipVertex].y * frame.height, nose[1], 4) << "step " << step;
    ASSERT_TRUE(api::internal::CalculateContoursRegionOfInterest(
        landmarks, frame.width, frame.height, metadata->roi_landmark_a(),
        metadata->roi_landmark_b(), &roi));
    EXPECT_NEAR(roi.rotation, 0, 0.01);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameTest,
    ::testing::Values(FrameCase{"Landscape", 640, 480, 320, 240, 200},
                      FrameCase{"LandscapeCorner", 640, 480, 120, 360, 150},
                      FrameCase{"Portrait", 480, 640, 300, 420, 180},
                      FrameCase{"PortraitSmall", 480, 640, 100, 150, 90}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return info.param.name; });

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The build writes the models into the resource bundles, the same bytes on every run.
TEST(FaceModelsTest, BuildWritesTheModelsDeterministically) {
  const std::string face = QM_FACE_RESOURCES_DIR "/";
  const std::string refinement = QM_FACE_REFINEMENT_RESOURCES_DIR "/";
  const std::string bench = QM_FACE_BENCHMARK_MODELS_DIR "/";
  EXPECT_EQ(ReadFile(face + kFaceDetectorFile), MakeFaceDetectorModel(false));
  EXPECT_EQ(ReadFile(face + kFaceMeshFile), MakeFaceMeshModel(false));
  EXPECT_EQ(ReadFile(refinement + kLipsFile), MakeLipsModel());
  EXPECT_EQ(ReadFile(refinement + kEyesFile), MakeEyesModel());
  EXPECT_EQ(ReadFile(bench + kRealisticFaceDetectorFile), MakeFaceDetectorModel(true));
  EXPECT_EQ(ReadFile(bench + kRealisticFaceMeshFile), MakeFaceMeshModel(true));
}

// The benchmark variants cost what small real networks cost and compute the same outputs.
TEST(FaceModelsTest, RealisticVariantsAreBenchmarkSizedAndAgree) {
  struct Variant {
    std::vector<uint8_t> plain, realistic;
    FloatTensor input;
  };
  const FacePatch detector_patch = FacePatchOfHeight(60, 70, 40);
  const FacePatch mesh_patch = FacePatchOfHeight(96, 96, 120);
  const Variant variants[] = {
      {MakeFaceDetectorModel(false), MakeFaceDetectorModel(true),
       PatchImage(kFaceDetectorInputSize, &detector_patch, -1, 1)},
      {MakeFaceMeshModel(false), MakeFaceMeshModel(true),
       PatchImage(kFaceMeshInputSize, &mesh_patch, 0, 1)}};
  for (const Variant& v : variants) {
    auto macs = tflite::testing::CountMultiplyAdds(v.realistic);
    ASSERT_TRUE(macs.ok()) << macs.status();
    EXPECT_GE(2 * *macs, 30'000'000);
    EXPECT_LE(2 * *macs, 45'000'000);
    const auto plain = Evaluate(v.plain, v.input);
    const auto realistic = Evaluate(v.realistic, v.input);
    ASSERT_EQ(plain.size(), realistic.size());
    for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(plain[i].data, realistic[i].data);
  }
}

}  // namespace
}  // namespace face_models
}  // namespace tools
