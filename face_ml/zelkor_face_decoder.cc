#include "face_ml/zelkor_face_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "face_ml/metadata_loader.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

constexpr float kSqrt2 = 1.4142135f;
// No detector has more anchors or outputs; the bounds keep a bad model from exhausting
// memory.
constexpr int64_t kMaxAnchors = int64_t{1} << 20;
constexpr int64_t kMaxBoxesOutput = int64_t{1} << 24;  // floats
constexpr int kMaxKeypoints = 65535;

// 1 / (1 + e^-x), the exponential in single and the division in double precision.
float Sigmoid(float x) {
  const float e = std::exp(-x);
  return static_cast<float>(1.0 / (1.0 + static_cast<double>(e)));
}

bool ValidIndex(int index, int count) { return index >= 0 && index < count; }

// Grid cells along a tensor side of `size` for a positive stride: ceil(size / stride).
int64_t CellsV1(int size, int stride) {
  return stride <= 0 ? 0 : (int64_t{size} + stride - 1) / stride;
}

float CellsV0(int size, float stride) {
  return std::trunc((static_cast<float>(size) + stride - 1) / stride);
}

int64_t CountV0Anchors(int tw, int th, const fb::AnchorsConfig& config) {
  const int32_t layers = std::min(config.num_layers(), config.num_scales());
  int64_t count = 0;
  for (int32_t l = 0; l < layers; ++l) {
    const float stride = static_cast<float>(config.strides()->Get(l));
    const int64_t per_cell = l == 0 ? 3 : int64_t{config.aspect_ratios()->size()} + 1;
    const double cells = double{CellsV0(th, stride)} * double{CellsV0(tw, stride)};
    if (cells > 0) count += static_cast<int64_t>(std::min(cells * per_cell, 2.0 * kMaxAnchors));
    if (count > kMaxAnchors) break;
  }
  return count;
}

}  // namespace

// ---- Shared --------------------------------------------------------------------------

bool ZelkorFaceRowDecoder::DecodeScore(absl::Span<const float> scores, int index,
                                       float* score) const {
  if (!ValidIndex(index, num_faces_) || static_cast<size_t>(index) >= scores.size()) {
    return false;
  }
  *score = Sigmoid(scores[index]);
  return true;
}

int ZelkorFaceRowDecoder::expected_boxes_output_size() const {
  return (4 + 2 * num_keypoints_) * num_faces_;
}

const float* ZelkorFaceRowDecoder::Row(absl::Span<const float> boxes, int index) const {
  const size_t row_size = 4 + 2 * static_cast<size_t>(num_keypoints_);
  if (!ValidIndex(index, num_faces_) || (index + size_t{1}) * row_size > boxes.size()) {
    return nullptr;
  }
  return boxes.data() + index * row_size;
}

// ---- V1 --------------------------------------------------------------------------------

std::vector<ZelkorFaceDecoderV1::Anchor> ZelkorFaceDecoderV1::GenerateAnchorsV1(
    const fb::ZelkorFaceOutputSpecV1& spec, int tensor_width, int tensor_height) {
  std::vector<Anchor> anchors;
  for (uint32_t i = 0; i < spec.strides()->size(); ++i) {
    const int stride = spec.strides()->Get(i);
    const int per_cell = spec.anchors_per_cell()->Get(i);
    if (per_cell <= 0) continue;  // a grid without anchors
    const int64_t rows = CellsV1(tensor_height, stride);
    const int64_t columns = CellsV1(tensor_width, stride);
    for (int64_t y = 0; y < rows; ++y) {
      for (int64_t x = 0; x < columns; ++x) {
        const Anchor anchor{(static_cast<float>(x) + 0.5f) * static_cast<float>(stride),
                            (static_cast<float>(y) + 0.5f) * static_cast<float>(stride)};
        for (int n = 0; n < per_cell; ++n) anchors.push_back(anchor);
      }
    }
  }
  return anchors;
}

ZelkorFaceDecoderV1::ZelkorFaceDecoderV1(std::vector<Anchor> anchors, int tensor_width,
                                         int tensor_height, int num_keypoints)
    : ZelkorFaceRowDecoder(static_cast<int>(anchors.size()), num_keypoints),
      anchors_(std::move(anchors)),
      tensor_width_(tensor_width),
      tensor_height_(tensor_height) {}

bool ZelkorFaceDecoderV1::DecodeScoreThreshold(float raw_threshold, float* threshold) const {
  *threshold = raw_threshold;
  return true;
}

bool ZelkorFaceDecoderV1::DecodeBound(absl::Span<const float> boxes, int index,
                                      Bound* bound) const {
  const float* r = Row(boxes, index);
  if (r == nullptr) return false;
  const Anchor& a = anchors_[index];
  const float tw = static_cast<float>(tensor_width_);
  const float th = static_cast<float>(tensor_height_);
  const float cx = (r[0] + a.x) / tw;
  const float cy = (r[1] + a.y) / th;
  const double half_width = static_cast<double>(r[2]) / tensor_width_ * 0.5;
  const double half_height = static_cast<double>(r[3]) / tensor_height_ * 0.5;
  bound->left = static_cast<float>(cx - half_width);
  bound->top = static_cast<float>(cy - half_height);
  bound->right = static_cast<float>(cx + half_width);
  bound->bottom = static_cast<float>(cy + half_height);
  return true;
}

bool ZelkorFaceDecoderV1::DecodeLandmarks(absl::Span<const float> boxes, int index,
                                          std::vector<Landmark>* landmarks) const {
  const float* r = Row(boxes, index);
  if (r == nullptr) return false;
  const Anchor& a = anchors_[index];
  const float tw = static_cast<float>(tensor_width_);
  const float th = static_cast<float>(tensor_height_);
  for (int k = 0; k < num_keypoints(); ++k) {
    landmarks->push_back({(r[4 + 2 * k] + a.x) / tw, (r[4 + 2 * k + 1] + a.y) / th, 0.0f});
  }
  return true;
}

// ---- V0 --------------------------------------------------------------------------------

void AddAnchor(float x, float y, float width, float height, const fb::AnchorsConfig& config,
               std::vector<Anchor>* anchors) {
  anchors->push_back(
      {x, y, width * config.width_multiplier(), height * config.height_multiplier()});
}

void GenerateAnchors(int tensor_width, int tensor_height, const fb::AnchorsConfig& config,
                     std::vector<Anchor>* anchors) {
  anchors->clear();
  const float tw = static_cast<float>(tensor_width);
  const float th = static_cast<float>(tensor_height);
  const float base_width = config.base_width() / tw;
  const float base_height = config.base_height() / th;
  std::vector<float> ratio_roots;
  for (float ratio : *config.aspect_ratios()) ratio_roots.push_back(std::sqrt(ratio));

  const int32_t layers = std::min(config.num_layers(), config.num_scales());
  for (int32_t l = 0; l < layers; ++l) {
    const float scale = config.scales()->Get(l);
    const float next_scale = l == config.num_scales() - 1 ? 1.0f : config.scales()->Get(l + 1);
    const float stride = static_cast<float>(config.strides()->Get(l));
    const float offset = static_cast<float>(config.offsets()->Get(l));
    const float rows = CellsV0(tensor_height, stride);
    const float columns = CellsV0(tensor_width, stride);
    const float w = base_width * scale;
    const float h = base_height * scale;
    const float interpolated = std::sqrt(scale * next_scale);
    const float interpolated_w = base_width * interpolated;
    const float interpolated_h = base_height * interpolated;
    for (float y = 0; y < rows; ++y) {
      for (float x = 0; x < columns; ++x) {
        const float cx = (stride * x + offset) / tw;
        const float cy = (stride * y + offset) / th;
        if (l == 0) {
          AddAnchor(cx, cy, static_cast<float>(double{base_width} * 0.1),
                    static_cast<float>(double{base_height} * 0.1), config, anchors);
          AddAnchor(cx, cy, w * kSqrt2, h / kSqrt2, config, anchors);
          AddAnchor(cx, cy, w / kSqrt2, h * kSqrt2, config, anchors);
        } else {
          for (float r : ratio_roots) AddAnchor(cx, cy, w * r, h / r, config, anchors);
          AddAnchor(cx, cy, interpolated_w, interpolated_h, config, anchors);
        }
      }
    }
  }
}

ZelkorFaceDecoderV0::ZelkorFaceDecoderV0(std::vector<Anchor> anchors,
                                         const fb::FaceDetectorMetadata& metadata)
    : ZelkorFaceRowDecoder(static_cast<int>(anchors.size()), metadata.num_keypoints()),
      anchors_(std::move(anchors)),
      x_scale_(metadata.x_scale()),
      y_scale_(metadata.y_scale()),
      w_scale_(metadata.w_scale()),
      h_scale_(metadata.h_scale()),
      keypoint_x_scale_(metadata.keypoint_x_scale()),
      keypoint_y_scale_(metadata.keypoint_y_scale()) {}

bool ZelkorFaceDecoderV0::DecodeScoreThreshold(float raw_threshold, float* threshold) const {
  *threshold = Sigmoid(raw_threshold);
  return true;
}

bool ZelkorFaceDecoderV0::DecodeBound(absl::Span<const float> boxes, int index,
                                      Bound* bound) const {
  const float* r = Row(boxes, index);
  if (r == nullptr) return false;
  const Anchor& a = anchors_[index];
  // The first value of a row is the y offset.
  const float cx = r[1] * x_scale_ * a.width + a.x_center;
  const float cy = r[0] * y_scale_ * a.height + a.y_center;
  const double height = std::exp(double{r[2]} * h_scale_) * a.height;
  const double width = std::exp(double{r[3]} * w_scale_) * a.width;
  bound->left = static_cast<float>(cx - width / 2);
  bound->top = static_cast<float>(cy - height / 2);
  bound->right = static_cast<float>(cx + width / 2);
  bound->bottom = static_cast<float>(cy + height / 2);
  return true;
}

bool ZelkorFaceDecoderV0::DecodeLandmarks(absl::Span<const float> boxes, int index,
                                          std::vector<Landmark>* landmarks) const {
  const float* r = Row(boxes, index);
  if (r == nullptr) return false;
  const Anchor& a = anchors_[index];
  // Key-point pairs are stored y first.
  for (int k = 0; k < num_keypoints(); ++k) {
    landmarks->push_back({r[4 + 2 * k + 1] * keypoint_x_scale_ * a.width + a.x_center,
                          r[4 + 2 * k] * keypoint_y_scale_ * a.height + a.y_center, 0.0f});
  }
  return true;
}

// ---- Factories -------------------------------------------------------------------------

namespace {

bool UsableDecoderInputs(const fb::FaceDetectorMetadata& metadata, int tensor_width,
                         int tensor_height) {
  return tensor_width > 0 && tensor_height > 0 && metadata.num_keypoints() >= 0 &&
         metadata.num_keypoints() <= kMaxKeypoints;
}

}  // namespace

std::unique_ptr<ZelkorFaceDecoder> MakeZelkorFaceDecoderV0(
    const fb::FaceDetectorMetadata& metadata, int tensor_width, int tensor_height) {
  const fb::AnchorsConfig* config = metadata.anchors_config();
  if (config == nullptr || !IsUsableAnchorsConfig(*config) ||
      !UsableDecoderInputs(metadata, tensor_width, tensor_height)) {
    return nullptr;
  }
  const int64_t count = CountV0Anchors(tensor_width, tensor_height, *config);
  if (count > kMaxAnchors || count * (4 + 2 * int64_t{metadata.num_keypoints()}) > kMaxBoxesOutput) {
    return nullptr;
  }
  std::vector<Anchor> anchors;
  GenerateAnchors(tensor_width, tensor_height, *config, &anchors);
  return std::make_unique<ZelkorFaceDecoderV0>(std::move(anchors), metadata);
}

std::unique_ptr<ZelkorFaceDecoder> MakeZelkorFaceDecoderV1(
    const fb::FaceDetectorMetadata& metadata, int tensor_width, int tensor_height) {
  if (metadata.output_spec() == nullptr || !UsableDecoderInputs(metadata, tensor_width, tensor_height)) {
    return nullptr;
  }
  const fb::ZelkorFaceOutputSpecV1* spec = metadata.output_spec()->spec_v1();
  if (spec == nullptr || spec->anchors_per_cell()->size() < spec->strides()->size()) {
    return nullptr;
  }
  int64_t count = 0;
  for (uint32_t i = 0; i < spec->strides()->size() && count <= kMaxAnchors; ++i) {
    const int64_t per_cell = std::max(spec->anchors_per_cell()->Get(i), 0);
    count += std::min(CellsV1(tensor_height, spec->strides()->Get(i)) *
                          CellsV1(tensor_width, spec->strides()->Get(i)),
                      kMaxAnchors + 1) *
             per_cell;
  }
  if (count > kMaxAnchors || count * (4 + 2 * int64_t{metadata.num_keypoints()}) > kMaxBoxesOutput) {
    return nullptr;
  }
  return std::make_unique<ZelkorFaceDecoderV1>(
      ZelkorFaceDecoderV1::GenerateAnchorsV1(*spec, tensor_width, tensor_height), tensor_width,
      tensor_height, metadata.num_keypoints());
}

std::unique_ptr<ZelkorFaceDecoder> MakeZelkorFaceDecoder(const fb::FaceDetectorMetadata& metadata,
                                                         int tensor_width, int tensor_height) {
  if (metadata.output_spec() == nullptr) {
    return MakeZelkorFaceDecoderV0(metadata, tensor_width, tensor_height);
  }
  return MakeZelkorFaceDecoderV1(metadata, tensor_width, tensor_height);
}

}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
