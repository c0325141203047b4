#include "tools/face_models/landmark_models.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "face_ml/contours_metadata_generated.h"
#include "face_ml/refinement_merge_rules.h"
#include "tools/canonical_face_model.h"
#include "tools/face_models/brightness_moments.h"
#include "tools/face_models/convolution_stack.h"
#include "tools/face_models/face_layout.h"
#include "tools/face_models/network.h"
#include "tools/require.h"

namespace tools {
namespace face_models {
namespace {

namespace fb = research::sorvanti::api::fb;

// Brightness is pooled over a grid of this many cells per side before the moments.
constexpr int kGrid = 24;
constexpr int kRefinementGrid = 16;

// The face flag: positive when the bright fraction of the crop exceeds kMinFill.
constexpr float kMinFill = 0.08f;
constexpr float kFlagWeight = 50.0f;

// Crop preparation written into every landmark model's metadata.
constexpr float kRoiScale = 1.5f;

// Eye regions: the vertices within these half axes (cm) of each eye centre, and brow regions:
// those within these half axes of a point kBrowRaise above it.
constexpr double kEyeHalfWidth = 1.9;
constexpr double kEyeHalfHeight = 1.2;
constexpr double kBrowRaise = 1.7;
constexpr double kBrowHalfWidth = 2.2;
constexpr double kBrowHalfHeight = 0.7;

void Require(bool condition, const char* what) {
  tools::Require(condition, "landmark models", what);
}

std::vector<uint8_t> Bytes(const flatbuffers::FlatBufferBuilder& fbb) {
  return std::vector<uint8_t>(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

// The input's brightness pooled to a grid x grid map and flattened; cell offsets from the
// crop centre in crop widths (heights) are ((j + 0.5) / grid - 0.5).
struct PooledCrop {
  Tensor input;
  Tensor flat;  // [1, grid * grid]
  int grid = 0;
};

PooledCrop PoolCrop(Network& net, int size, int grid) {
  PooledCrop crop;
  crop.grid = grid;
  crop.input = net.Input({1, size, size, 3}, "input");
  const Tensor brightness = Brightness(net, crop.input, 0, 1);
  const Tensor pooled =
      net.AveragePool(brightness, size / grid, size / grid, tflite::Padding_VALID);
  crop.flat = net.Reshape(pooled, {1, grid * grid});
  return crop;
}

double CellOffset(int j, int grid) { return (j + 0.5) / grid - 0.5; }

// Fully connected moments of the pooled crop: the fill (power 0), and the mean of
// offset^power per axis.
Tensor Moment(Network& net, const PooledCrop& crop, int power) {
  const int n = crop.grid * crop.grid;
  const int channels = power == 0 ? 1 : 2;
  std::vector<float> w(static_cast<size_t>(channels) * n);
  for (int y = 0; y < crop.grid; ++y) {
    for (int x = 0; x < crop.grid; ++x) {
      const int i = y * crop.grid + x;
      if (power == 0) {
        w[i] = 1.0f / n;
        continue;
      }
      w[i] = static_cast<float>(std::pow(CellOffset(x, crop.grid), power) / n);
      w[n + i] = static_cast<float>(std::pow(CellOffset(y, crop.grid), power) / n);
    }
  }
  return net.FullyConnected(crop.flat, channels, w, std::vector<float>(channels, 0.0f));
}

std::vector<flatbuffers::Offset<fb::ContourSet>> MeshContourSets(
    flatbuffers::FlatBufferBuilder& fbb) {
  // Dense-mesh contour kinds are type ids 1 to 15: the face oval, then the outer and inner lips.
  return {fb::CreateContourSet(fbb, 1, kOutlineBegin, kOutlineBegin + CanonicalOutlineCount()),
          fb::CreateContourSet(fbb, 2, kOuterLipContourBegin, kInnerLipContourBegin),
          fb::CreateContourSet(fbb, 3, kInnerLipContourBegin, kOutlineBegin)};
}

flatbuffers::Offset<fb::LandmarksInputSpec> InputSpec(flatbuffers::FlatBufferBuilder& fbb) {
  return fb::CreateLandmarksInputSpec(fbb, 0.0f, 1.0f, kRoiScale, true);
}

// ---- Refinement crops ------------------------------------------------------------------

// A point in image coordinates (y down) of the canonical face at 1 px per cm.
std::array<double, 2> ImagePoint(const Point3& p) { return {p.x, -p.y}; }

// The crop a refinement model runs on when the base landmarks are the canonical face: the
// tightest box around the crop vertices, oriented along the line from crop vertex a to b,
// scaled and grown to the input's aspect ratio as the metadata says.
struct Crop {
  double center_x = 0, center_y = 0, width = 0, height = 0, angle = 0;
  int size = 0;  // the model input's side

  // Image point to model-input pixels.
  std::array<double, 2> ToInput(const std::array<double, 2>& p) const {
    const double dx = p[0] - center_x, dy = p[1] - center_y;
    const double c = std::cos(angle), s = std::sin(angle);
    return {((c * dx + s * dy) / width + 0.5) * size, ((-s * dx + c * dy) / height + 0.5) * size};
  }
  // Model-input pixels to an image point.
  std::array<double, 2> FromInput(double u, double v) const {
    const double qx = (u / size - 0.5) * width, qy = (v / size - 0.5) * height;
    const double c = std::cos(angle), s = std::sin(angle);
    return {center_x + c * qx - s * qy, center_y + s * qx + c * qy};
  }
};

Crop RefinementCrop(const std::vector<int32_t>& crop_vertices, int a, int b, int size) {
  const std::vector<Point3>& v = CanonicalVertices();
  const auto o = ImagePoint(v[crop_vertices[a]]);
  const auto e = ImagePoint(v[crop_vertices[b]]);
  Crop crop;
  crop.size = size;
  crop.angle = std::atan2(e[1] - o[1], e[0] - o[0]);
  const double c = std::cos(crop.angle), s = std::sin(crop.angle);
  double min_x = 1e30, min_y = 1e30, max_x = -1e30, max_y = -1e30;
  for (int32_t i : crop_vertices) {
    const auto p = ImagePoint(v[i]);
    const double dx = p[0] - o[0], dy = p[1] - o[1];
    const double rx = c * dx + s * dy, ry = -s * dx + c * dy;
    min_x = std::min(min_x, rx), max_x = std::max(max_x, rx);
    min_y = std::min(min_y, ry), max_y = std::max(max_y, ry);
  }
  const double cx = (min_x + max_x) / 2, cy = (min_y + max_y) / 2;
  crop.center_x = o[0] + c * cx - s * cy;
  crop.center_y = o[1] + s * cx + c * cy;
  // Scaled, then grown to the square input.
  crop.width = crop.height = std::max(max_x - min_x, max_y - min_y) * kRoiScale;
  return crop;
}

// Where the model measures the bright content's centre when the crop shows the canonical
// face's footprint, in crop widths and heights from its centre: the same pooled moments as
// the network, over a brightness of 1 inside the footprint.
std::array<double, 2> FootprintCentre(const Crop& crop, int grid) {
  const int cell = crop.size / grid;
  double fill = 0, mx = 0, my = 0;
  for (int v = 0; v < crop.size; ++v) {
    for (int u = 0; u < crop.size; ++u) {
      const auto p = crop.FromInput(u + 0.5, v + 0.5);
      const double fx = p[0] / kFaceHalfWidth, fy = (-p[1] - kFaceCenterY) / kFaceHalfHeight;
      if (fx * fx + fy * fy > 1.0) continue;
      fill += 1;
      mx += CellOffset(u / cell, grid);
      my += CellOffset(v / cell, grid);
    }
  }
  Require(fill > 0, "a refinement crop shows none of the face");
  return {mx / fill, my / fill};
}

// One output landmark of a refinement model: canonical position, and whether its depth is
// written (otherwise 0).
struct RefinedPoint {
  Point3 position;
  bool with_depth = true;
};

double MeanCanonicalDepth() {
  double sum = 0;
  for (const Point3& p : CanonicalVertices()) sum += p.z;
  return sum / CanonicalVertices().size();
}

// The refinement network: landmarks at their places in the crop, shifted by the offset of the
// bright content's centre from the footprint's.
std::vector<uint8_t> RefinementNetwork(const std::vector<RefinedPoint>& points,
                                       const Crop& crop, int dimensions,
                                       std::vector<uint8_t> metadata) {
  Network net;
  const PooledCrop pooled = PoolCrop(net, crop.size, kRefinementGrid);
  const Tensor centre =
      MeasureCentre(net, Moment(net, pooled, 0), Moment(net, pooled, 1));
  const auto expected = FootprintCentre(crop, kRefinementGrid);
  const float size = static_cast<float>(crop.size);
  const double mean_depth = MeanCanonicalDepth();
  std::vector<float> w, bias;
  for (const RefinedPoint& p : points) {
    const auto at = crop.ToInput(ImagePoint(p.position));
    w.insert(w.end(), {size, 0});
    bias.push_back(static_cast<float>(at[0] - size * expected[0]));
    w.insert(w.end(), {0, size});
    bias.push_back(static_cast<float>(at[1] - size * expected[1]));
    if (dimensions == 3) {
      w.insert(w.end(), {0, 0});
      bias.push_back(p.with_depth
                         ? static_cast<float>(-(p.position.z - mean_depth) / crop.width * size)
                         : 0.0f);
    }
  }
  const int outputs = static_cast<int>(points.size()) * dimensions;
  const Tensor landmarks = net.FullyConnected(centre, outputs, w, bias);
  net.Name(landmarks, "landmarks");
  net.SetInputs({pooled.input});
  net.SetOutputs({landmarks});
  net.builder().AddMetadata("contours_metadata", std::move(metadata));
  return net.builder().Finish();
}

// A refinement model's metadata: its landmark count and dimensions, the positions in its
// crop vertices that orient the crop, and its refinement specs (none: the lips default).
std::vector<uint8_t> RefinementMetadata(
    flatbuffers::FlatBufferBuilder& fbb, size_t landmarks, int orient_a, int orient_b,
    int dimensions,
    flatbuffers::Offset<flatbuffers::Vector<flatbuffers::Offset<fb::RefinementSpec>>> specs) {
  const auto spec = InputSpec(fbb);
  fb::ContoursMetadataBuilder m(fbb);
  m.add_num_landmarks(static_cast<int32_t>(landmarks));
  m.add_roi_landmark_a(orient_a);
  m.add_roi_landmark_b(orient_b);
  m.add_num_dimensions(static_cast<int8_t>(dimensions));
  m.add_input_spec(spec);
  if (!specs.IsNull()) m.add_refinement_specs(specs);
  fb::FinishContoursMetadataBuffer(fbb, m.Finish());
  return Bytes(fbb);
}

// The positions in `vertices` of the leftmost and rightmost vertex: the crop's orientation.
std::pair<int, int> HorizontalExtremes(const std::vector<int32_t>& vertices) {
  const std::vector<Point3>& v = CanonicalVertices();
  int a = 0, b = 0;
  for (size_t k = 1; k < vertices.size(); ++k) {
    if (v[vertices[k]].x < v[vertices[a]].x) a = static_cast<int>(k);
    if (v[vertices[k]].x > v[vertices[b]].x) b = static_cast<int>(k);
  }
  return {a, b};
}

bool Inside(const Point3& p, double cx, double cy, double half_width, double half_height) {
  const double fx = (p.x - cx) / half_width, fy = (p.y - cy) / half_height;
  return fx * fx + fy * fy <= 1.0;
}

// The vertices around one eye and its brow, in vertex order.
std::vector<int32_t> EyeAndBrowVertices(int side) {
  const Point3& eye = DetectorKeyPoints()[side];
  const std::vector<Point3>& v = CanonicalVertices();
  std::vector<int32_t> out;
  int brow = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    const bool in_eye = Inside(v[i], eye.x, eye.y, kEyeHalfWidth, kEyeHalfHeight);
    const bool in_brow =
        Inside(v[i], eye.x, eye.y + kBrowRaise, kBrowHalfWidth, kBrowHalfHeight);
    if (in_brow && !in_eye) ++brow;
    if (in_eye || in_brow) out.push_back(static_cast<int32_t>(i));
  }
  Require(out.size() - brow >= 3, "too few vertices around an eye");
  Require(brow >= 3, "too few vertices along a brow");
  return out;
}

}  // namespace

std::vector<uint8_t> MakeFaceMeshModel(bool realistic) {
  Network net;
  const PooledCrop crop = PoolCrop(net, kFaceMeshInputSize, kGrid);
  const Tensor fill = Moment(net, crop, 0);
  const CentreAndSpread bright =
      MeasureBrightContent(net, fill, Moment(net, crop, 1), Moment(net, crop, 2));
  const Tensor features = net.Concat({bright.centre, bright.spread}, 1);  // cx, cy, sx, sy

  // The canonical face over the patch: its footprint's centre on the centre, two standard
  // deviations to a half axis.
  const float s = static_cast<float>(kFaceMeshInputSize);
  const double mean_depth = MeanCanonicalDepth();
  std::vector<float> w, bias;
  for (const Point3& p : CanonicalVertices()) {
    const float kx = static_cast<float>(2 * p.x / kFaceHalfWidth);
    const float ky = static_cast<float>(-2 * (p.y - kFaceCenterY) / kFaceHalfHeight);
    const float kz = static_cast<float>(-2 * (p.z - mean_depth) / kFaceHalfWidth);
    w.insert(w.end(), {s, 0, s * kx, 0, 0, s, 0, s * ky, 0, 0, s * kz, 0});
    bias.insert(bias.end(), {s / 2, s / 2, 0});
  }
  const int outputs = kCanonicalVertexCount * 3;
  const Tensor landmarks = net.FullyConnected(features, outputs, w, bias);
  Tensor flag = net.FullyConnected(fill, 1, {kFlagWeight}, {-kFlagWeight * kMinFill});
  if (realistic) {
    const Tensor stack = ConvolutionStack(
        net, crop.input, 3, 16,
        {{16}, {32, 2}, {32}, {64, 2}, {64}, {128, 2}, {128}}, /*seed=*/3);
    const Tensor pooled = net.AveragePool(stack, stack.shape[1], stack.shape[1],
                                          tflite::Padding_VALID);
    flag = net.Add(flag, net.Reshape(ZeroWeightedSummary(net, pooled, /*seed=*/4), {1, 1}));
  }
  net.Name(landmarks, "landmarks");
  net.Name(flag, "face_flag");
  net.SetInputs({crop.input});
  net.SetOutputs({landmarks, flag});

  flatbuffers::FlatBufferBuilder fbb;
  const auto sets = fbb.CreateVector(MeshContourSets(fbb));
  const auto spec = InputSpec(fbb);
  fb::ContoursMetadataBuilder m(fbb);
  m.add_contour_sets(sets);
  m.add_num_landmarks(kCanonicalVertexCount);
  // The crop turns with the line between the forehead points, image-left to image-right.
  m.add_roi_landmark_a(kRightForeheadVertex);
  m.add_roi_landmark_b(kLeftForeheadVertex);
  m.add_num_dimensions(3);
  m.add_input_spec(spec);
  fb::FinishContoursMetadataBuffer(fbb, m.Finish());
  net.builder().AddMetadata("contours_metadata", Bytes(fbb));
  return net.builder().Finish();
}

std::vector<uint8_t> MakeLipsModel() {
  const std::vector<int32_t>& map = research::sorvanti::api::internal::GetLipsMapping();
  const auto [a, b] = HorizontalExtremes(map);
  const Crop crop = RefinementCrop(map, a, b, kLipsInputSize);
  std::vector<RefinedPoint> points;
  for (int32_t i : map) points.push_back({CanonicalVertices()[i], false});

  flatbuffers::FlatBufferBuilder fbb;
  return RefinementNetwork(points, crop, 2, RefinementMetadata(fbb, points.size(), a, b, 2, 0));
}

const std::vector<int32_t>& EyeRegionVertices() {
  static const std::vector<int32_t>* const vertices = [] {
    auto* v = new std::vector<int32_t>(EyeAndBrowVertices(0));
    const std::vector<int32_t> right = EyeAndBrowVertices(1);
    v->insert(v->end(), right.begin(), right.end());
    return v;
  }();
  return *vertices;
}

std::vector<uint8_t> MakeEyesModel() {
  // Model landmark k refines base landmark region[k], position and depth; nothing is added to
  // the mesh, so a face keeps its 468 landmarks with or without this model.
  const std::vector<int32_t>& region = EyeRegionVertices();
  const auto [a, b] = HorizontalExtremes(region);
  const Crop crop = RefinementCrop(region, a, b, kEyesInputSize);
  std::vector<RefinedPoint> points;
  for (int32_t i : region) points.push_back({CanonicalVertices()[i], true});

  flatbuffers::FlatBufferBuilder fbb;
  const std::vector<flatbuffers::Offset<fb::ZRefinement>> z_rules = {
      fb::CreateZRefinement(fbb, fbb.CreateVector(region), fb::CreateZRefinementCopy(fbb))};
  const auto refinement = fb::CreateRefinementSpec(fbb, fbb.CreateVector(region), false,
                                                   fbb.CreateVector(region),
                                                   fbb.CreateVector(z_rules));
  const std::vector<flatbuffers::Offset<fb::RefinementSpec>> specs = {refinement};
  return RefinementNetwork(
      points, crop, 3,
      RefinementMetadata(fbb, points.size(), a, b, 3, fbb.CreateVector(specs)));
}

}  // namespace face_models
}  // namespace tools
