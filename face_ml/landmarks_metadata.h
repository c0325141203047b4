// Plain values read from a landmark model's metadata ("COMD"): contour sets, the input
// spec and the refinement specs. The metadata comes from LoadMetadata (metadata_loader.h),
// which has verified it.

#ifndef FACE_ML_LANDMARKS_METADATA_H_
#define FACE_ML_LANDMARKS_METADATA_H_

#include <utility>
#include <vector>

#include "face_ml/contours_metadata_generated.h"
#include "face_ml/refinement_merge_rules.h"
#include "face_ml/types.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

// Each set's indices are its range followed by its index list. Null gives no sets.
std::vector<ContourSet> ReadContourSets(
    const flatbuffers::Vector<flatbuffers::Offset<fb::ContourSet>>* sets);

// How a crop is prepared for a landmark model.
class LandmarksInputSpec {
 public:
  LandmarksInputSpec(float range_min, float range_max, float roi_scale, bool keep_aspect_ratio)
      : range_min_(range_min),
        range_max_(range_max),
        roi_scale_(roi_scale),
        keep_aspect_ratio_(keep_aspect_ratio) {}

  float range_min() const { return range_min_; }
  float range_max() const { return range_max_; }
  float roi_scale() const { return roi_scale_; }
  bool keep_aspect_ratio() const { return keep_aspect_ratio_; }

  // (scale, offset) that map [from, to] onto [range_min, range_max] as v * scale + offset.
  std::pair<float, float> GetInputRangeScaleAndOffset(float from, float to) const;

  // `roi` scaled by roi_scale; with keep_aspect_ratio then grown (never shrunk) to the
  // input's aspect ratio and rounded to whole pixels. Centre and rotation stay.
  utils::RotatedRect UpdateROI(const utils::RotatedRect& roi, int input_width,
                               int input_height) const;

 private:
  float range_min_;
  float range_max_;
  float roi_scale_;
  bool keep_aspect_ratio_;
};

// Without an input spec table: range [0, 1], roi_scale 1.5, no aspect-ratio correction.
LandmarksInputSpec ReadLandmarksInputSpecFromMetadata(const fb::ContoursMetadata* metadata);

// Without refinement specs, appends one spec that maps the lips model onto the base mesh.
// Otherwise replaces `specs` by the metadata's specs, with each depth rule's indices turned
// into positions in the refinement spec's index map. Fails (logged at ERROR) for a depth-rule
// index that the index map lacks, a depth rule that averages over no landmarks, or a landmark
// index outside [0, kMaxLandmarks).
bool ReadRefinementSpecFromMetadata(const fb::ContoursMetadata* metadata,
                                    std::vector<RefinementSpec>* specs);

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_LANDMARKS_METADATA_H_
