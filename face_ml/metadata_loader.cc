#include "face_ml/metadata_loader.h"

#include <algorithm>

namespace research {
namespace sorvanti {
namespace api {
namespace {

// Sets may share one table, so ranges are limited in total too.
constexpr int64_t kMaxContourRangeIndices = int64_t{1} << 20;

bool ContourSetsWithinLimits(
    const flatbuffers::Vector<flatbuffers::Offset<fb::ContourSet>>* sets) {
  if (sets == nullptr) return true;
  int64_t total = 0;
  for (const fb::ContourSet* set : *sets) {
    if (set->range_end() <= set->range_begin()) continue;  // an empty range
    if (set->range_begin() < 0 || set->range_end() > kMaxLandmarks) return false;
    total += set->range_end() - set->range_begin();
    if (total > kMaxContourRangeIndices) return false;
  }
  return true;
}

}  // namespace

bool IsUsableAnchorsConfig(const fb::AnchorsConfig& config) {
  const int32_t layers = std::min(config.num_layers(), config.num_scales());
  if (layers < 1) return true;  // no anchors
  // Every layer but the one with index num_scales - 1 also reads the next layer's scale.
  const int64_t scales_read = layers == config.num_scales() ? layers : int64_t{layers} + 1;
  if (config.scales()->size() < scales_read || config.strides()->size() < uint32_t(layers) ||
      config.offsets()->size() < uint32_t(layers)) {
    return false;
  }
  for (int32_t l = 0; l < layers; ++l) {
    if (config.strides()->Get(l) <= 0) return false;
  }
  return true;
}

bool IsWellFormedMetadata(const fb::FaceDetectorMetadata& metadata) {
  const fb::ZelkorFaceInputSpec* input_spec = metadata.input_spec();
  if (input_spec == nullptr || input_spec->recommended_input_sizes() == nullptr ||
      input_spec->recommended_input_sizes()->size() == 0) {
    return false;
  }
  if (metadata.output_spec() == nullptr) {
    if (metadata.anchors_config() == nullptr ||
        !IsUsableAnchorsConfig(*metadata.anchors_config())) {
      return false;
    }
  } else if (const fb::ZelkorFaceOutputSpecV1* v1 = metadata.output_spec()->spec_v1()) {
    if (v1->anchors_per_cell()->size() < v1->strides()->size()) return false;
  }
  return ContourSetsWithinLimits(metadata.contour_sets());
}

bool IsWellFormedMetadata(const fb::ContoursMetadata& metadata) {
  return ContourSetsWithinLimits(metadata.contour_sets());
}

const fb::ModelFile* VerifiedModelFile(absl::Span<const uint8_t> model_file) {
  flatbuffers::Verifier verifier(model_file.data(), model_file.size());
  if (!verifier.VerifyBuffer<fb::ModelFile>(nullptr)) return nullptr;
  return flatbuffers::GetRoot<fb::ModelFile>(model_file.data());
}

}  // namespace api
}  // namespace sorvanti
}  // namespace research
