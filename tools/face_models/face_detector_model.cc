#include "tools/face_models/face_detector_model.h"

#include "face_ml/face_detector_metadata_generated.h"
#include "tools/canonical_face_model.h"
#include "tools/face_models/brightness_moments.h"
#include "tools/face_models/convolution_stack.h"
#include "tools/face_models/face_layout.h"
#include "tools/face_models/network.h"

namespace tools {
namespace face_models {
namespace {

namespace fb = research::sorvanti::api::fb;

// Brightness is averaged over cells of this many pixels before the moments are taken.
constexpr int kCell = 4;

// One anchor grid: its stride and the window whose moments each anchor reads, in cells.
struct Head {
  int stride;
  int window;
};
constexpr Head kHeads[] = {{4, 20}, {8, 40}};

// Score terms, in the moments' units (offsets in four anchor strides, fills as fractions of
// the window). The bright fraction of the window counts up to kFillCap and must exceed
// kMinFill; a centre further than kCellReach (5/8 of a stride) from the anchor, a window
// fuller than kMaxFill (a face too large to measure) or content more spread out than one face
// (below) pulls the logit down steeply.
constexpr float kMinFill = 0.008f;
constexpr float kFillCap = 0.1f;
constexpr float kFillWeight = 50.0f;
constexpr float kCellReach = 0.625f / 4;
constexpr float kOffCentreWeight = 100.0f;
constexpr float kMaxFill = 0.45f;
constexpr float kOverfullWeight = 200.0f;
// Content that fills less than this fraction of the ellipse its spread describes.
constexpr float kSparseFraction = 0.6f;
constexpr float kSparseWeight = 300.0f;
constexpr double kPi = 3.14159265358979323846;

struct HeadOutputs {
  Tensor boxes;   // [1, n, 16]
  Tensor logits;  // [1, n, 1]
};

// Offset of kernel cell k from the window centre, in pixels.
double CellOffset(int k, int window) { return kCell * k + kCell / 2.0 - kCell * window / 2.0; }

HeadOutputs BuildHead(Network& net, const Tensor& grid, const Head& head,
                      const Tensor* extra_logit) {
  const int k = head.window;
  const int pad = (head.window - head.stride) / 2;
  const double unit = 4.0 * kCell * head.stride;  // pixels per moment unit: four strides
  const Tensor padded = net.Pad(grid, pad, pad, pad, pad);

  const size_t taps = static_cast<size_t>(k) * k;
  std::vector<float> w_fill(taps), w_mean(2 * taps), w_square(2 * taps);
  for (int ky = 0; ky < k; ++ky) {
    for (int kx = 0; kx < k; ++kx) {
      const size_t i = static_cast<size_t>(ky) * k + kx;
      const double dx = CellOffset(kx, k) / unit, dy = CellOffset(ky, k) / unit;
      w_fill[i] = static_cast<float>(1.0 / taps);
      w_mean[i] = static_cast<float>(dx / taps);
      w_mean[taps + i] = static_cast<float>(dy / taps);
      w_square[i] = static_cast<float>(dx * dx / taps);
      w_square[taps + i] = static_cast<float>(dy * dy / taps);
    }
  }
  const Tensor fill =
      net.Conv(padded, 1, k, k, w_fill, {0}, head.stride, tflite::Padding_VALID);
  const Tensor mean =
      net.Conv(padded, 2, k, k, w_mean, {0, 0}, head.stride, tflite::Padding_VALID);
  const Tensor square =
      net.Conv(padded, 2, k, k, w_square, {0, 0}, head.stride, tflite::Padding_VALID);

  const CentreAndSpread bright = MeasureBrightContent(net, fill, mean, square);
  const Tensor& centre = bright.centre;
  const Tensor features = net.Concat({bright.centre, bright.spread}, 3);  // cx, cy, sx, sy

  // Box rows: centre offset, size, key points; all linear in the features.
  const float u = static_cast<float>(unit);
  std::vector<float> w_box;
  auto row = [&](float cx, float cy, float sx, float sy) {
    w_box.insert(w_box.end(), {cx * u, cy * u, sx * u, sy * u});
  };
  row(1, 0, 0, 0);
  row(0, 1, 0, 0);
  row(0, 0, 4, 0);  // the ellipse's width is four standard deviations
  row(0, 0, 0, 4);
  for (const Point3& p : DetectorKeyPoints()) {
    row(1, 0, static_cast<float>(2 * p.x / kFaceHalfWidth), 0);
    row(0, 1, 0, static_cast<float>(-2 * (p.y - kFaceCenterY) / kFaceHalfHeight));
  }
  const Tensor boxes =
      net.Pointwise(features, 16, w_box, std::vector<float>(16, 0.0f));

  const Tensor off_centre = net.Pointwise(centre, 4, {1, 0, -1, 0, 0, 1, 0, -1},
                                          std::vector<float>(4, -kCellReach),
                                          tflite::ActivationFunctionType_RELU);
  // A single face fills as much of the window as an ellipse of its spread at its peak
  // brightness would; content spread over more than it fills (patches apart, or a patch and a
  // part of another) is not one face.
  const Tensor spread_x = net.Pointwise(bright.spread, 1, {1, 0}, {0});
  const Tensor spread_y = net.Pointwise(bright.spread, 1, {0, 1}, {0});
  const Tensor peak = net.MaxPool(padded, k, head.stride, tflite::Padding_VALID);
  const double window_units = kCell * head.window / unit;
  const float ellipse_fill = static_cast<float>(4 * kPi / (window_units * window_units));
  const Tensor fill_terms = net.Pointwise(
      net.Concat({fill, net.Mul(net.Mul(spread_x, spread_y), peak)}, 3), 3,
      {-1, 0, 1, 0, -1, kSparseFraction * ellipse_fill}, {kFillCap, -kMaxFill, 0},
      tflite::ActivationFunctionType_RELU);
  Tensor logits = net.Pointwise(
      net.Concat({off_centre, fill_terms}, 3), 1,
      {-kOffCentreWeight, -kOffCentreWeight, -kOffCentreWeight, -kOffCentreWeight, -kFillWeight,
       -kOverfullWeight, -kSparseWeight},
      {kFillWeight * (kFillCap - kMinFill)});
  if (extra_logit != nullptr) logits = net.Add(logits, *extra_logit);

  const int n = boxes.shape[1] * boxes.shape[2];
  return {net.Reshape(boxes, {1, n, 16}), net.Reshape(logits, {1, n, 1})};
}

std::vector<uint8_t> Metadata() {
  flatbuffers::FlatBufferBuilder fbb;
  std::vector<flatbuffers::Offset<fb::ContourSet>> sets;
  for (int k = 0; k < kFaceDetectorKeyPoints; ++k) {
    // Type ids 16 to 21 are the detector's key-point kinds.
    sets.push_back(fb::CreateContourSet(fbb, static_cast<int8_t>(16 + k), k, k + 1));
  }
  const auto contour_sets = fbb.CreateVector(sets);
  const std::vector<flatbuffers::Offset<fb::InputSize>> sizes = {
      fb::CreateInputSize(fbb, kFaceDetectorInputSize, kFaceDetectorInputSize)};
  const auto input_spec = fb::CreateZelkorFaceInputSpec(fbb, true, fbb.CreateVector(sizes));
  std::vector<int32_t> strides, per_cell;
  for (const Head& head : kHeads) {
    strides.push_back(kCell * head.stride);
    per_cell.push_back(1);
  }
  const auto spec_v1 = fb::CreateZelkorFaceOutputSpecV1(fbb, fbb.CreateVector(strides),
                                                         fbb.CreateVector(per_cell));
  const auto output_spec = fb::CreateZelkorFaceOutputSpec(fbb, spec_v1);
  fb::FaceDetectorMetadataBuilder m(fbb);
  m.add_num_keypoints(kFaceDetectorKeyPoints);
  m.add_iou_threshold(0.3f);
  m.add_score_threshold(0.5f);
  m.add_contour_sets(contour_sets);
  m.add_input_spec(input_spec);
  m.add_output_spec(output_spec);
  m.add_landmark_dimensions(2);
  fb::FinishFaceDetectorMetadataBuffer(fbb, m.Finish());
  return std::vector<uint8_t>(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

}  // namespace

std::vector<uint8_t> MakeFaceDetectorModel(bool realistic) {
  Network net;
  const Tensor input =
      net.Input({1, kFaceDetectorInputSize, kFaceDetectorInputSize, 3}, "input");
  // Brightness of colours in [-1, 1], averaged over cells.
  const Tensor brightness = Brightness(net, input, -1, 1);
  const Tensor grid = net.AveragePool(brightness, kCell, kCell, tflite::Padding_VALID);

  Tensor extra;
  if (realistic) {
    const Tensor stack = ConvolutionStack(net, input, 5, 24,
                                          {{24}, {28}, {32, 2, true}, {32}, {36}, {42, 2},
                                           {48}, {48}, {64, 2, true}, {64}, {64}},
                                          /*seed=*/1);
    extra = ZeroWeightedSummary(net, stack, /*seed=*/2);
  }
  std::vector<Tensor> boxes, logits;
  for (const Head& head : kHeads) {
    // The stack ends on the first head's grid.
    const bool with_extra = realistic && &head == &kHeads[0];
    const HeadOutputs out = BuildHead(net, grid, head, with_extra ? &extra : nullptr);
    boxes.push_back(out.boxes);
    logits.push_back(out.logits);
  }
  const Tensor all_boxes = net.Concat(boxes, 1);
  const Tensor all_logits = net.Concat(logits, 1);
  net.Name(all_boxes, "boxes");
  net.Name(all_logits, "scores");
  net.SetInputs({input});
  net.SetOutputs({all_boxes, all_logits});
  net.builder().AddMetadata("face_detector_metadata", Metadata());
  return net.builder().Finish();
}

}  // namespace face_models
}  // namespace tools
