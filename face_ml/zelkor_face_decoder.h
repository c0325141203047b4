// Decoders of the face detector's raw outputs. The boxes output has one row of
// 4 + 2 * K floats per anchor (a box, then K key points) and the scores output one raw
// (pre-sigmoid) score per anchor. Anchors are laid out from the model metadata and the
// tensor size, once per decoder: V0 models use a multi-scale layout with aspect ratios
// (anchors_config), V1 models a pixel grid per stride (output_spec). Decoded boxes and key
// points are normalised to the model input.

#ifndef FACE_ML_ZELKOR_FACE_DECODER_H_
#define FACE_ML_ZELKOR_FACE_DECODER_H_

#include <memory>
#include <vector>

#include "absl/types/span.h"
#include "face_ml/face_detector_metadata_generated.h"
#include "face_ml/types.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {

// A V0 anchor, normalised to the tensor (1.0 = tensor width or height).
struct Anchor {
  float x_center = 0;
  float y_center = 0;
  float width = 0;
  float height = 0;
};

// Reads the score, box and key points of one anchor. Immutable after construction. Every
// operation fails for an anchor index outside [0, num_faces()) or outputs too short for it.
class ZelkorFaceDecoder {
 public:
  virtual ~ZelkorFaceDecoder() = default;
  // The metadata's score threshold in the domain of DecodeScore.
  virtual bool DecodeScoreThreshold(float raw_threshold, float* threshold) const = 0;
  virtual bool DecodeScore(absl::Span<const float> scores, int index, float* score) const = 0;
  virtual bool DecodeBound(absl::Span<const float> boxes, int index, Bound* bound) const = 0;
  // Appends the anchor's K key points (z = 0); nothing on failure.
  virtual bool DecodeLandmarks(absl::Span<const float> boxes, int index,
                               std::vector<Landmark>* landmarks) const = 0;
  // The number of anchors, that is of candidate faces.
  virtual int num_faces() const = 0;
  virtual int expected_boxes_output_size() const = 0;
  virtual int expected_scores_output_size() const = 0;
};

// What both decoders share: the row layout of the outputs and the score's sigmoid.
class ZelkorFaceRowDecoder : public ZelkorFaceDecoder {
 public:
  bool DecodeScore(absl::Span<const float> scores, int index, float* score) const override;
  int num_faces() const override { return num_faces_; }
  int expected_boxes_output_size() const override;
  int expected_scores_output_size() const override { return num_faces_; }

 protected:
  ZelkorFaceRowDecoder(int num_faces, int num_keypoints)
      : num_faces_(num_faces), num_keypoints_(num_keypoints) {}
  // The boxes row of anchor `index`, or null for a bad index or too short an output.
  const float* Row(absl::Span<const float> boxes, int index) const;
  int num_keypoints() const { return num_keypoints_; }

 private:
  int num_faces_;
  int num_keypoints_;
};

class ZelkorFaceDecoderV1 : public ZelkorFaceRowDecoder {
 public:
  // A V1 anchor centre in tensor pixels.
  struct Anchor {
    float x = 0;
    float y = 0;
  };

  // Per stride in order: a grid of ceil(size / stride) cells, rows outer, with
  // anchors_per_cell identical anchors at each cell centre.
  static std::vector<Anchor> GenerateAnchorsV1(const fb::ZelkorFaceOutputSpecV1& spec,
                                               int tensor_width, int tensor_height);

  ZelkorFaceDecoderV1(std::vector<Anchor> anchors, int tensor_width, int tensor_height,
                      int num_keypoints);

  bool DecodeScoreThreshold(float raw_threshold, float* threshold) const override;
  bool DecodeBound(absl::Span<const float> boxes, int index, Bound* bound) const override;
  bool DecodeLandmarks(absl::Span<const float> boxes, int index,
                       std::vector<Landmark>* landmarks) const override;
 private:
  std::vector<Anchor> anchors_;
  int tensor_width_;
  int tensor_height_;
};

class ZelkorFaceDecoderV0 : public ZelkorFaceRowDecoder {
 public:
  ZelkorFaceDecoderV0(std::vector<Anchor> anchors, const fb::FaceDetectorMetadata& metadata);

  bool DecodeScoreThreshold(float raw_threshold, float* threshold) const override;
  bool DecodeBound(absl::Span<const float> boxes, int index, Bound* bound) const override;
  bool DecodeLandmarks(absl::Span<const float> boxes, int index,
                       std::vector<Landmark>* landmarks) const override;
 private:
  std::vector<Anchor> anchors_;
  float x_scale_, y_scale_, w_scale_, h_scale_;
  float keypoint_x_scale_, keypoint_y_scale_;
};

// Clears `anchors` and lays out the V0 anchors of `config` for the tensor size: per layer,
// row and column, three anchors on layer 0 and one per aspect ratio plus one of the
// interpolated scale on later layers. The configuration must be usable
// (IsUsableAnchorsConfig).
void GenerateAnchors(int tensor_width, int tensor_height, const fb::AnchorsConfig& config,
                     std::vector<Anchor>* anchors);
// Appends (x, y, width * width_multiplier, height * height_multiplier).
void AddAnchor(float x, float y, float width, float height, const fb::AnchorsConfig& config,
               std::vector<Anchor>* anchors);

// The decoder of the metadata's kind for this tensor size: V1 with an output spec, V0
// without. None for an output spec without its V1 table, an unusable anchors
// configuration, a key-point count that is negative or above 65535, a tensor size that is
// not positive, more than 2^20 anchors or a boxes output of more than 2^24 floats.
std::unique_ptr<ZelkorFaceDecoder> MakeZelkorFaceDecoder(const fb::FaceDetectorMetadata& metadata,
                                                         int tensor_width, int tensor_height);
std::unique_ptr<ZelkorFaceDecoder> MakeZelkorFaceDecoderV0(
    const fb::FaceDetectorMetadata& metadata, int tensor_width, int tensor_height);
std::unique_ptr<ZelkorFaceDecoder> MakeZelkorFaceDecoderV1(
    const fb::FaceDetectorMetadata& metadata, int tensor_width, int tensor_height);

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_ZELKOR_FACE_DECODER_H_
