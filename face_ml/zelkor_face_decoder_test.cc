#include "face_ml/zelkor_face_decoder.h"

#include <cmath>
#include <vector>

#include "face_ml/testing/metadata_builders.h"
#include "gtest/gtest.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using sorvanti::testing::Bytes;
using sorvanti::testing::DetectorMetadata;
using sorvanti::testing::DetectorMetadataSpec;

const fb::FaceDetectorMetadata& Root(const Bytes& bytes) {
  return *flatbuffers::GetRoot<fb::FaceDetectorMetadata>(bytes.data());
}

TEST(AnchorsTest, V1GridPerStride) {
  DetectorMetadataSpec spec;
  spec.strides = {16, 32};
  spec.anchors_per_cell = {2, 1};
  const Bytes bytes = DetectorMetadata(spec);
  const auto anchors =
      ZelkorFaceDecoderV1::GenerateAnchorsV1(*Root(bytes).output_spec()->spec_v1(), 64, 48);
  // 3 rows x 4 columns x 2, then 2 rows x 2 columns x 1.
  ASSERT_EQ(anchors.size(), 24u + 4u);
  EXPECT_EQ(anchors[0].x, 8);
  EXPECT_EQ(anchors[0].y, 8);
  EXPECT_EQ(anchors[1].x, 8);
  EXPECT_EQ(anchors[2].x, 24);
  EXPECT_EQ(anchors[2].y, 8);
  EXPECT_EQ(anchors[8].y, 24);  // second row
  EXPECT_EQ(anchors[24].x, 16);
  EXPECT_EQ(anchors[27].y, 48);
}

DetectorMetadataSpec V0Spec() {
  DetectorMetadataSpec spec;
  spec.v1 = false;
  spec.strides = {64, 64};
  return spec;  // base 128, scales (0.2, 0.4), aspect ratios (1, 2), offsets 32
}

TEST(AnchorsTest, V0LayersAndSizes) {
  const Bytes bytes = DetectorMetadata(V0Spec());
  std::vector<Anchor> anchors = {{9, 9, 9, 9}};  // cleared first
  GenerateAnchors(128, 128, *Root(bytes).anchors_config(), &anchors);
  // 2 x 2 cells per layer; three anchors per cell on layer 0 whatever the aspect ratios,
  // one per aspect ratio plus the interpolated one on layer 1.
  ASSERT_EQ(anchors.size(), 24u);
  struct Expected {
    int index;
    float x, y, w, h;
  } expected[] = {{0, 0.25f, 0.25f, 0.1f, 0.1f},         {1, 0.25f, 0.25f, 0.2828f, 0.1414f},
                  {2, 0.25f, 0.25f, 0.1414f, 0.2828f},   {3, 0.75f, 0.25f, 0.1f, 0.1f},
                  {6, 0.25f, 0.75f, 0.1f, 0.1f},         {12, 0.25f, 0.25f, 0.4f, 0.4f},
                  {13, 0.25f, 0.25f, 0.5657f, 0.2828f},  {14, 0.25f, 0.25f, 0.6325f, 0.6325f},
                  {23, 0.75f, 0.75f, 0.6325f, 0.6325f}};
  for (const Expected& e : expected) {
    const Anchor& a = anchors[e.index];
    EXPECT_NEAR(a.x_center, e.x, 1e-6) << e.index;
    EXPECT_NEAR(a.y_center, e.y, 1e-6) << e.index;
    EXPECT_NEAR(a.width, e.w, 1e-4) << e.index;
    EXPECT_NEAR(a.height, e.h, 1e-4) << e.index;
  }
}

TEST(DecoderTest, V0DecodesBoxesAndKeypoints) {
  DetectorMetadataSpec spec = V0Spec();
  spec.num_keypoints = 1;
  spec.box_scale = 0.5f;
  const Bytes bytes = DetectorMetadata(spec);
  const ZelkorFaceDecoderV0 decoder({{0.5f, 0.5f, 0.2f, 0.2f}}, Root(bytes));
  Bound bound;
  ASSERT_TRUE(decoder.DecodeBound(std::vector<float>{0, 0, 0, 0, 0, 0}, 0, &bound));
  EXPECT_NEAR(bound.left, 0.4f, 1e-7);
  EXPECT_NEAR(bound.top, 0.4f, 1e-7);
  EXPECT_NEAR(bound.right, 0.6f, 1e-7);
  EXPECT_NEAR(bound.bottom, 0.6f, 1e-7);

  // Rows store y first: the box's first value moves the centre down, the key point's
  // first value moves it down too. log(2) / 0.5 doubles the height.
  const std::vector<float> row = {1, 0, 2 * std::log(2.0f), 0, 2, -1};
  ASSERT_TRUE(decoder.DecodeBound(row, 0, &bound));
  EXPECT_NEAR(bound.top, 0.6f - 0.2f, 1e-6);
  EXPECT_NEAR(bound.bottom, 0.6f + 0.2f, 1e-6);
  EXPECT_NEAR(bound.left, 0.4f, 1e-6);
  std::vector<Landmark> keypoints = {{7, 7, 7}};
  ASSERT_TRUE(decoder.DecodeLandmarks(row, 0, &keypoints));
  ASSERT_EQ(keypoints.size(), 2u);
  EXPECT_NEAR(keypoints[1].x, 0.5f - 0.1f, 1e-6);
  EXPECT_NEAR(keypoints[1].y, 0.5f + 0.2f, 1e-6);
  EXPECT_EQ(keypoints[1].z, 0);
}

TEST(DecoderTest, V1DecodesBoxesAndKeypoints) {
  DetectorMetadataSpec spec;
  spec.num_keypoints = 1;
  const Bytes bytes = DetectorMetadata(spec);
  const ZelkorFaceDecoderV1 decoder({{8, 8}}, 128, 128, 1);
  const std::vector<float> row = {4, -4, 16, 8, 24, 56};
  Bound bound;
  ASSERT_TRUE(decoder.DecodeBound(row, 0, &bound));
  EXPECT_FLOAT_EQ(bound.left, 0.03125f);
  EXPECT_FLOAT_EQ(bound.top, 0);
  EXPECT_FLOAT_EQ(bound.right, 0.15625f);
  EXPECT_FLOAT_EQ(bound.bottom, 0.0625f);
  std::vector<Landmark> keypoints;
  ASSERT_TRUE(decoder.DecodeLandmarks(row, 0, &keypoints));
  ASSERT_EQ(keypoints.size(), 1u);
  EXPECT_FLOAT_EQ(keypoints[0].x, 0.25f);  // x first
  EXPECT_FLOAT_EQ(keypoints[0].y, 0.5f);
}

TEST(DecoderTest, ScoresAndThresholds) {
  const Bytes bytes = DetectorMetadata(V0Spec());
  const ZelkorFaceDecoderV0 v0({{0.5f, 0.5f, 0.2f, 0.2f}}, Root(bytes));
  const ZelkorFaceDecoderV1 v1({{8, 8}}, 128, 128, 6);
  float threshold;
  ASSERT_TRUE(v0.DecodeScoreThreshold(0, &threshold));
  EXPECT_EQ(threshold, 0.5f);  // a logit
  ASSERT_TRUE(v1.DecodeScoreThreshold(0.5f, &threshold));
  EXPECT_EQ(threshold, 0.5f);  // a probability
  for (const ZelkorFaceDecoder* d : {static_cast<const ZelkorFaceDecoder*>(&v0),
                                     static_cast<const ZelkorFaceDecoder*>(&v1)}) {
    float score;
    ASSERT_TRUE(d->DecodeScore(std::vector<float>{2}, 0, &score));
    EXPECT_FLOAT_EQ(score, 1 / (1 + std::exp(-2.0f)));
    ASSERT_TRUE(d->DecodeScore(std::vector<float>{-200}, 0, &score));  // not clipped
    EXPECT_EQ(score, 0);
  }
}

TEST(DecoderTest, BadIndexOrShortOutputFails) {
  const ZelkorFaceDecoderV1 decoder({{8, 8}, {24, 8}}, 128, 128, 1);
  const std::vector<float> boxes(12), scores(2);
  Bound bound;
  float score;
  std::vector<Landmark> landmarks;
  for (int index : {-1, 2}) {
    EXPECT_FALSE(decoder.DecodeScore(scores, index, &score)) << index;
    EXPECT_FALSE(decoder.DecodeBound(boxes, index, &bound)) << index;
    EXPECT_FALSE(decoder.DecodeLandmarks(boxes, index, &landmarks)) << index;
  }
  EXPECT_TRUE(landmarks.empty());
  const std::vector<float> short_boxes(11), short_scores(1);
  EXPECT_FALSE(decoder.DecodeBound(short_boxes, 1, &bound));
  EXPECT_FALSE(decoder.DecodeLandmarks(short_boxes, 1, &landmarks));
  EXPECT_FALSE(decoder.DecodeScore(short_scores, 1, &score));
  EXPECT_TRUE(landmarks.empty());
}

TEST(MakeDecoderTest, ChoosesTheKindFromTheMetadata) {
  const Bytes v1_bytes = DetectorMetadata({});  // stride 16, 2 per cell, 6 key points
  auto v1 = MakeZelkorFaceDecoder(Root(v1_bytes), 128, 64);
  ASSERT_NE(v1, nullptr);
  EXPECT_EQ(v1->num_faces(), 8 * 4 * 2);
  EXPECT_EQ(v1->expected_scores_output_size(), 64);
  EXPECT_EQ(v1->expected_boxes_output_size(), 64 * 16);

  const Bytes v0_bytes = DetectorMetadata(V0Spec());
  auto v0 = MakeZelkorFaceDecoder(Root(v0_bytes), 128, 128);
  ASSERT_NE(v0, nullptr);
  EXPECT_EQ(v0->num_faces(), 24);

  DetectorMetadataSpec no_v1;
  no_v1.with_spec_v1 = false;
  EXPECT_EQ(MakeZelkorFaceDecoder(Root(DetectorMetadata(no_v1)), 128, 128), nullptr);
  EXPECT_EQ(MakeZelkorFaceDecoder(Root(v1_bytes), 0, 128), nullptr);
  // A grid far beyond any detector is refused instead of exhausting memory.
  DetectorMetadataSpec dense;
  dense.strides = {1};
  dense.anchors_per_cell = {1 << 20};
  EXPECT_EQ(MakeZelkorFaceDecoder(Root(DetectorMetadata(dense)), 128, 128), nullptr);
  // A grid without anchors adds none, however many cells it has.
  DetectorMetadataSpec empty_grid;
  empty_grid.strides = {1, 1 << 25};
  empty_grid.anchors_per_cell = {0, 1};
  auto sparse = MakeZelkorFaceDecoder(Root(DetectorMetadata(empty_grid)), 1 << 30, 1 << 30);
  ASSERT_NE(sparse, nullptr);
  EXPECT_EQ(sparse->num_faces(), 32 * 32);
}

}  // namespace
}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
