// Non-maximum suppression over scored boxes with key points. In weighted mode every
// candidate that overlaps a kept face enough is merged into it, so that each face is the
// score-weighted mean of all its boxes; in plain mode overlapping candidates are dropped.

#ifndef FACE_ML_NON_MAX_SUPPRESSION_H_
#define FACE_ML_NON_MAX_SUPPRESSION_H_

#include <vector>

#include "absl/types/span.h"
#include "face_ml/types.h"
#include "face_ml/zelkor_face_decoder.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

// Scored boxes with key points, read lazily by index.
class BoxesSource {
 public:
  virtual ~BoxesSource() = default;
  virtual int num_boxes() const = 0;
  virtual bool GetScore(int index, float* score) const = 0;
  virtual bool GetBound(int index, Bound* bound) const = 0;
  // Appends the box's key points; nothing on failure.
  virtual bool AppendLandmarks(int index, std::vector<Landmark>* landmarks) const = 0;
};

// The face detector's two outputs read through a decoder. Borrows all three, which must
// outlive it.
class ZelkorFaceBoxesSource : public BoxesSource {
 public:
  ZelkorFaceBoxesSource(absl::Span<const float> boxes, absl::Span<const float> scores,
                        const ZelkorFaceDecoder* decoder)
      : boxes_(boxes), scores_(scores), decoder_(decoder) {}

  int num_boxes() const override { return decoder_->num_faces(); }
  bool GetScore(int index, float* score) const override {
    return decoder_->DecodeScore(scores_, index, score);
  }
  bool GetBound(int index, Bound* bound) const override {
    return decoder_->DecodeBound(boxes_, index, bound);
  }
  bool AppendLandmarks(int index, std::vector<Landmark>* landmarks) const override {
    return decoder_->DecodeLandmarks(boxes_, index, landmarks);
  }

 private:
  absl::Span<const float> boxes_;
  absl::Span<const float> scores_;
  const ZelkorFaceDecoder* decoder_;
};

// Appends a face with `bound` and the box's key points (face id -1). False, with nothing
// appended, when the key points cannot be read.
bool AppendBox(const Bound& bound, int index, const BoxesSource& source,
               LandmarksDetectionResult* result);

// Replaces `result` by at most `max_faces` faces from the boxes whose score is at or
// above `score_threshold`, visited by descending score (the higher index first between
// equal scores). Weighted: a box whose best IoU with a kept face reaches `iou_threshold`
// is merged into that face, also once `max_faces` are kept. Plain: a box with an IoU
// above the threshold with any kept face is dropped. False when the source fails, on a
// negative score in weighted mode, or when merged boxes differ in key-point count (logged);
// the result then holds what was appended before.
bool RunNonMaxSuppression(const BoxesSource& source, float score_threshold,
                          float iou_threshold, bool weighted, int max_faces,
                          LandmarksDetectionResult* result);

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_NON_MAX_SUPPRESSION_H_
