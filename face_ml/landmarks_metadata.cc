#include "face_ml/landmarks_metadata.h"

#include <algorithm>
#include <cmath>

#include "base/logging.h"
#include "face_ml/metadata_loader.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using IntVector = flatbuffers::Vector<int32_t>;

std::vector<int32_t> ToVector(const IntVector* v) {
  return v == nullptr ? std::vector<int32_t>() : std::vector<int32_t>(v->begin(), v->end());
}

bool LandmarkIndicesInRange(const std::vector<int32_t>& indices) {
  for (int32_t i : indices) {
    if (i < 0 || i >= kMaxLandmarks) {
      LOG(ERROR) << "Landmark index " << i << " out of range";
      return false;
    }
  }
  return true;
}

// An averaging rule's list of base landmarks: non-empty and in range.
bool ReadAverageIndices(const IntVector* v, std::vector<int32_t>* indices) {
  *indices = ToVector(v);
  if (indices->empty()) {
    LOG(ERROR) << "Z refinement averages over no landmarks";
    return false;
  }
  return LandmarkIndicesInRange(*indices);
}

bool ReadZRefinement(const fb::ZRefinement& z, const std::vector<int32_t>& index_map,
                     RefinementSpec::ZRefinement* out) {
  for (int32_t index : *z.indices()) {
    const auto it = std::find(index_map.begin(), index_map.end(), index);
    if (it == index_map.end()) {
      LOG(ERROR) << "Can't find index for " << index << " in mapping";
      return false;
    }
    out->indices.push_back(static_cast<int32_t>(it - index_map.begin()));
  }
  if (z.copy() != nullptr) {
    out->rule = RefinementSpec::ZRefinementCopy{};
  } else if (z.copy_subtract_average() != nullptr) {
    RefinementSpec::ZRefinementCopySubtractAverage rule;
    if (!ReadAverageIndices(z.copy_subtract_average()->indices(), &rule.indices)) return false;
    out->rule = std::move(rule);
  } else if (z.assign_average() != nullptr) {
    RefinementSpec::ZRefinementAssignAverage rule;
    if (!ReadAverageIndices(z.assign_average()->indices(), &rule.indices)) return false;
    out->rule = std::move(rule);
  } else {
    out->rule = RefinementSpec::ZRefinementCopy{};
  }
  return true;
}

}  // namespace

std::vector<ContourSet> ReadContourSets(
    const flatbuffers::Vector<flatbuffers::Offset<fb::ContourSet>>* sets) {
  std::vector<ContourSet> result;
  if (sets == nullptr) return result;
  result.reserve(sets->size());
  for (const fb::ContourSet* set : *sets) {
    ContourSet out;
    out.type = set->type();
    for (int32_t i = set->range_begin(); i < set->range_end(); ++i) out.indices.push_back(i);
    if (set->indices() != nullptr) {
      out.indices.insert(out.indices.end(), set->indices()->begin(), set->indices()->end());
    }
    result.push_back(std::move(out));
  }
  return result;
}

std::pair<float, float> LandmarksInputSpec::GetInputRangeScaleAndOffset(float from,
                                                                         float to) const {
  const float scale = (range_max_ - range_min_) / (to - from);
  return {scale, range_min_ - scale * from};
}

utils::RotatedRect LandmarksInputSpec::UpdateROI(const utils::RotatedRect& roi,
                                                 int input_width, int input_height) const {
  utils::RotatedRect result = roi;
  result.width = roi.width * roi_scale_;
  result.height = roi.height * roi_scale_;
  if (keep_aspect_ratio_) {
    const float target = static_cast<float>(input_height) / static_cast<float>(input_width);
    const float current = result.height / result.width;
    if (target > current) {
      result.height = target * result.width;
    } else {
      result.width = result.height / target;
    }
    result.width = std::trunc(result.width + 0.5f);
    result.height = std::trunc(result.height + 0.5f);
  }
  return result;
}

LandmarksInputSpec ReadLandmarksInputSpecFromMetadata(const fb::ContoursMetadata* metadata) {
  const fb::LandmarksInputSpec* spec = metadata->input_spec();
  if (spec == nullptr) return LandmarksInputSpec(0.0f, 1.0f, 1.5f, false);
  return LandmarksInputSpec(spec->range_min(), spec->range_max(), spec->roi_scale(),
                            spec->keep_aspect_ratio());
}

bool ReadRefinementSpecFromMetadata(const fb::ContoursMetadata* metadata,
                                    std::vector<RefinementSpec>* specs) {
  const auto* fb_specs = metadata->refinement_specs();
  if (fb_specs == nullptr || fb_specs->size() == 0) {
    RefinementSpec lips;
    lips.index_map = GetLipsMapping();
    lips.roi_indices = GetLipsMapping();
    specs->push_back(std::move(lips));
    return true;
  }
  specs->clear();
  specs->resize(fb_specs->size());
  for (uint32_t i = 0; i < fb_specs->size(); ++i) {
    const fb::RefinementSpec& in = *fb_specs->Get(i);
    RefinementSpec& out = (*specs)[i];
    out.flip = in.flip();
    out.index_map = ToVector(in.index_map());
    out.roi_indices = in.roi_indices() != nullptr ? ToVector(in.roi_indices()) : out.index_map;
    if (!LandmarkIndicesInRange(out.index_map) || !LandmarkIndicesInRange(out.roi_indices)) {
      return false;
    }
    if (in.z_refinements() == nullptr) continue;
    for (const fb::ZRefinement* z : *in.z_refinements()) {
      RefinementSpec::ZRefinement refinement;
      if (!ReadZRefinement(*z, out.index_map, &refinement)) return false;
      out.z_refinements.push_back(std::move(refinement));
    }
  }
  return true;
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
