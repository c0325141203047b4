// Hand-built model files with nested metadata, for tests.

#ifndef FACE_ML_TESTING_METADATA_BUILDERS_H_
#define FACE_ML_TESTING_METADATA_BUILDERS_H_

#include <cstdint>
#include <vector>

#include "face_ml/contours_metadata_generated.h"
#include "face_ml/face_detector_metadata_generated.h"
#include "face_ml/model_file_generated.h"
#include "flatbuffers/flatbuffers.h"

namespace research {
namespace sorvanti {
namespace testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Finish(flatbuffers::FlatBufferBuilder& fbb) {
  return Bytes(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

// A model file whose buffers hold `buffers` (an empty entry is a buffer without data) and
// whose metadata_buffer holds `metadata_buffer` (absent when `with_index` is false).
inline Bytes ModelFileWith(const std::vector<Bytes>& buffers,
                           const std::vector<int32_t>& metadata_buffer, bool with_index = true) {
  namespace fb = api::fb;
  flatbuffers::FlatBufferBuilder fbb;
  std::vector<flatbuffers::Offset<fb::ModelBuffer>> offsets;
  for (const Bytes& b : buffers) {
    offsets.push_back(b.empty() ? fb::CreateModelBuffer(fbb)
                                : fb::CreateModelBuffer(fbb, fbb.CreateVector(b)));
  }
  const auto buffers_offset = fbb.CreateVector(offsets);
  const auto index_offset = with_index ? fbb.CreateVector(metadata_buffer) : 0;
  fbb.Finish(fb::CreateModelFile(fbb, buffers_offset, index_offset));
  return Finish(fbb);
}

// A model file with `metadata` as buffer 1 (buffer 0 holds unrelated bytes).
inline Bytes ModelFileWithMetadata(const Bytes& metadata) {
  return ModelFileWith({{1, 2, 3, 4}, metadata}, {1});
}

// The parts of a face-detector metadata table that tests vary.
struct DetectorMetadataSpec {
  bool v1 = true;
  bool with_input_spec = true;
  bool keep_aspect_ratio = false;
  std::vector<std::pair<int, int>> input_sizes = {{128, 128}};
  // V1
  bool with_spec_v1 = true;
  std::vector<int32_t> strides = {16};
  std::vector<int32_t> anchors_per_cell = {2};
  // V0
  bool with_anchors_config = true;
  float base_size = 128;
  std::vector<float> scales = {0.2f, 0.4f};
  std::vector<float> aspect_ratios = {1.0f, 2.0f};
  std::vector<int32_t> offsets = {32, 32};
  int32_t num_layers = 2;
  int32_t num_scales = 2;
  float box_scale = 1;  // x, y, w, h and key-point scales
  int32_t num_keypoints = 6;
  float iou_threshold = 0.3f;
  float score_threshold = 0.5f;
};

inline Bytes DetectorMetadata(const DetectorMetadataSpec& s) {
  namespace fb = api::fb;
  flatbuffers::FlatBufferBuilder fbb;
  flatbuffers::Offset<fb::ZelkorFaceInputSpec> input_spec = 0;
  if (s.with_input_spec) {
    std::vector<flatbuffers::Offset<fb::InputSize>> sizes;
    for (auto [w, h] : s.input_sizes) sizes.push_back(fb::CreateInputSize(fbb, w, h));
    input_spec = fb::CreateZelkorFaceInputSpec(fbb, s.keep_aspect_ratio, fbb.CreateVector(sizes));
  }
  flatbuffers::Offset<fb::ZelkorFaceOutputSpec> output_spec = 0;
  flatbuffers::Offset<fb::AnchorsConfig> anchors = 0;
  if (s.v1) {
    flatbuffers::Offset<fb::ZelkorFaceOutputSpecV1> v1 = 0;
    if (s.with_spec_v1) {
      v1 = fb::CreateZelkorFaceOutputSpecV1(fbb, fbb.CreateVector(s.strides),
                                            fbb.CreateVector(s.anchors_per_cell));
    }
    output_spec = fb::CreateZelkorFaceOutputSpec(fbb, v1);
  } else if (s.with_anchors_config) {
    anchors = fb::CreateAnchorsConfig(fbb, s.base_size, s.base_size, 1, 1,
                                      fbb.CreateVector(s.scales),
                                      fbb.CreateVector(s.aspect_ratios),
                                      fbb.CreateVector(s.strides), fbb.CreateVector(s.offsets),
                                      s.num_layers, s.num_scales);
  }
  fb::FaceDetectorMetadataBuilder b(fbb);
  b.add_x_scale(s.box_scale);
  b.add_y_scale(s.box_scale);
  b.add_w_scale(s.box_scale);
  b.add_h_scale(s.box_scale);
  b.add_keypoint_x_scale(s.box_scale);
  b.add_keypoint_y_scale(s.box_scale);
  b.add_num_keypoints(s.num_keypoints);
  b.add_iou_threshold(s.iou_threshold);
  b.add_score_threshold(s.score_threshold);
  if (!anchors.IsNull()) b.add_anchors_config(anchors);
  if (!input_spec.IsNull()) b.add_input_spec(input_spec);
  if (!output_spec.IsNull()) b.add_output_spec(output_spec);
  fb::FinishFaceDetectorMetadataBuffer(fbb, b.Finish());
  return Finish(fbb);
}

// "COMD" metadata with refinement specs (none: the field is absent).
// One z rule: copy (kind 1), copy-subtract-average (2), assign-average (3) or none (0).
struct ZRule {
  std::vector<int32_t> indices;
  int kind = 0;
  std::vector<int32_t> average = {};
};

struct SpecInput {
  std::vector<int32_t> index_map;
  bool with_roi = false;
  std::vector<int32_t> roi;
  bool flip = false;
  std::vector<ZRule> z;
};

inline Bytes ContoursWithRefinementSpecs(const std::vector<SpecInput>& specs) {
  namespace fb = api::fb;
  flatbuffers::FlatBufferBuilder fbb;
  std::vector<flatbuffers::Offset<fb::RefinementSpec>> offsets;
  for (const SpecInput& s : specs) {
    std::vector<flatbuffers::Offset<fb::ZRefinement>> zs;
    for (const ZRule& z : s.z) {
      const auto indices = fbb.CreateVector(z.indices);
      const auto average = fbb.CreateVector(z.average);
      flatbuffers::Offset<fb::ZRefinementCopy> copy = 0;
      flatbuffers::Offset<fb::ZRefinementCopySubtractAverage> csa = 0;
      flatbuffers::Offset<fb::ZRefinementAssignAverage> aa = 0;
      if (z.kind == 1) copy = fb::CreateZRefinementCopy(fbb);
      if (z.kind == 2) csa = fb::CreateZRefinementCopySubtractAverage(fbb, average);
      if (z.kind == 3) aa = fb::CreateZRefinementAssignAverage(fbb, average);
      zs.push_back(fb::CreateZRefinement(fbb, indices, copy, csa, aa));
    }
    offsets.push_back(fb::CreateRefinementSpec(
        fbb, fbb.CreateVector(s.index_map), s.flip, s.with_roi ? fbb.CreateVector(s.roi) : 0,
        fbb.CreateVector(zs)));
  }
  const auto specs_offset = specs.empty() ? 0 : fbb.CreateVector(offsets);
  fb::ContoursMetadataBuilder b(fbb);
  if (!specs.empty()) b.add_refinement_specs(specs_offset);
  fb::FinishContoursMetadataBuffer(fbb, b.Finish());
  return Finish(fbb);
}

}  // namespace testing
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_TESTING_METADATA_BUILDERS_H_
