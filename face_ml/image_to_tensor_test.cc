#include "face_ml/image_to_tensor.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "base/logging.h"
#include "face_ml/image_kernels.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace research {
namespace sorvanti {
namespace api {
namespace internal {
namespace {

using ::testing::Each;
using ::testing::HasSubstr;

// An RGB frame with `padding` spare bytes at the end of every row.
struct Frame {
  int width;
  int height;
  int stride;
  std::vector<uint8_t> pixels;

  Frame(int w, int h, int padding = 0)
      : width(w), height(h), stride(3 * w + padding), pixels(size_t(stride) * h, 0xEE) {}
  uint8_t& at(int x, int y, int c) { return pixels[size_t(y) * stride + 3 * x + c]; }
  uint8_t at(int x, int y, int c) const { return pixels[size_t(y) * stride + 3 * x + c]; }
  CpuRGBFrame view(int rotation = 0) const {
    return {pixels.data(), height, width, stride, rotation};
  }
};

// Deterministic, position-dependent content with every channel different.
Frame Pattern(int w, int h, int padding = 0) {
  Frame frame(w, h, padding);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) frame.at(x, y, c) = uint8_t((x * 37 + y * 91 + c * 53) ^ (x * y));
    }
  }
  return frame;
}

// A float32 tensor [1, height, width, channels] over its own memory.
struct Tensor {
  std::vector<float> data;
  TfLiteTensor view;
  Tensor(int width, int height, int channels = 3, float fill = -7.0f)
      : data(size_t(width) * height * channels, fill) {
    view.type = kTfLiteFloat32;
    view.dims = TfLiteIntArrayFromVector({1, height, width, channels});
    view.data.f = data.data();
    view.bytes = data.size() * sizeof(float);
  }
  Tensor(const Tensor&) = delete;
  Tensor& operator=(const Tensor&) = delete;
  ~Tensor() { TfLiteIntArrayFree(view.dims); }
  float at(int x, int y, int c) const {
    return data[(size_t(y) * view.dims->data[2] + x) * view.dims->data[3] + c];
  }
};

// ---- Reference: the fixed-point sampling rules, written as plain loops. ----

int Div255(int t) { return (t + 128 + ((t + 128) >> 8)) >> 8; }

int Sample(const Frame& f, int64_t px, int64_t py, int c) {
  auto split = [](int64_t p, int extent, int* i0, int* i1, int* w) {
    const int64_t i = p >> 16;
    *i0 = int(std::clamp<int64_t>(i, 0, extent - 1));
    *i1 = int(std::clamp<int64_t>(i + 1, 0, extent - 1));
    *w = int(p & 0xffff) / 257;
  };
  int x0, x1, wx, y0, y1, wy;
  split(px, f.width, &x0, &x1, &wx);
  split(py, f.height, &y0, &y1, &wy);
  const int r0 = Div255(f.at(x0, y0, c) * (255 - wx) + f.at(x1, y0, c) * wx);
  const int r1 = Div255(f.at(x0, y1, c) * (255 - wx) + f.at(x1, y1, c) * wx);
  return Div255(r0 * (255 - wy) + r1 * wy);
}

int64_t ResizePosition(int index, int in, int out) {
  const int64_t step = (int64_t(in) * 65536 * 2 + out) / (int64_t(out) * 2);
  const int64_t start = int64_t(std::nearbyint(0.5f * float(in) / float(out) * 65536.0f - 32768.0f));
  return start + index * step;
}

// 8-bit samples of the resize kernel, as the tensor holds them with weight 1 and bias 0.
std::vector<float> ReferenceResize(const Frame& f, int out_w, int out_h) {
  std::vector<float> out;
  for (int y = 0; y < out_h; ++y)
    for (int x = 0; x < out_w; ++x)
      for (int c = 0; c < 3; ++c)
        out.push_back(float(Sample(f, ResizePosition(x, f.width, out_w),
                                   ResizePosition(y, f.height, out_h), c)));
  return out;
}

std::vector<float> ReferenceCrop(const Frame& f, const utils::RotatedRect& r, int out_w,
                                 int out_h) {
  auto fixed = [](float v) { return int64_t(std::nearbyint(v * 65536.0f)); };
  const float su = r.width / float(out_w), sv = r.height / float(out_h);
  const float du = r.center_x - r.width / 2 + 0.5f * su - r.center_x;
  const float dv = r.center_y - r.height / 2 + 0.5f * sv - r.center_y;
  const float co = std::cos(r.rotation), si = std::sin(r.rotation);
  const int64_t sx0 = fixed(r.center_x + co * du - si * dv - 0.5f);
  const int64_t sy0 = fixed(r.center_y + si * du + co * dv - 0.5f);
  const int64_t sxx = fixed(co * su), sxy = fixed(-si * sv);
  const int64_t syx = fixed(si * su), syy = fixed(co * sv);
  std::vector<float> out;
  for (int y = 0; y < out_h; ++y)
    for (int x = 0; x < out_w; ++x)
      for (int c = 0; c < 3; ++c)
        out.push_back(float(Sample(f, sx0 + x * sxx + y * sxy, sy0 + x * syx + y * syy, c)));
  return out;
}

// Largest absolute difference between two equally long arrays.
float MaxDifference(const std::vector<float>& a, const std::vector<float>& b) {
  EXPECT_EQ(a.size(), b.size());
  float worst = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

class RecordingSink : public absl::LogSink {
 public:
  RecordingSink() { absl::AddLogSink(this); }
  ~RecordingSink() override { absl::RemoveLogSink(this); }
  void Send(const absl::LogEntry& entry) override {
    text += std::string(entry.text_message()) + "\n";
  }
  std::string text;
};

// ---- Resize ----

TEST(ResizeToTensorTest, FourByFourToTwoByTwoAveragesNeighbourPairs) {
  // Columns alternate 0 and 255: every sample sits halfway between a 0 and a 255 column
  // (positions 0.5 and 2.5), weight 127 of the second.
  Frame frame(4, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x)
      for (int c = 0; c < 3; ++c) frame.at(x, y, c) = x % 2 == 0 ? 0 : 255;
  Tensor tensor(2, 2);
  ASSERT_TRUE(ResizeToTensor(frame.view(), 1.0f, 0.0f, &tensor.view));
  EXPECT_THAT(tensor.data, Each(127.0f));
}

TEST(ResizeToTensorTest, SamplesLeftOfTheFirstCentreRepeatTheEdge) {
  // Upscaling 2 -> 4: the first output position is -0.25, the last 1.25; both neighbours
  // clamp to the edge pixel.
  Frame frame(2, 1);
  for (int c = 0; c < 3; ++c) {
    frame.at(0, 0, c) = 10;
    frame.at(1, 0, c) = 200;
  }
  Tensor tensor(4, 1);
  ASSERT_TRUE(ResizeToTensor(frame.view(), 1.0f, 0.0f, &tensor.view));
  EXPECT_EQ(tensor.at(0, 0, 0), 10.0f);
  EXPECT_EQ(tensor.at(3, 0, 2), 200.0f);
}

TEST(ResizeToTensorTest, WeightAndBiasMapTheRange) {
  Frame frame(3, 2);
  for (int c = 0; c < 3; ++c) {
    for (int y = 0; y < 2; ++y) {
      frame.at(0, y, c) = 0;
      frame.at(1, y, c) = 128;
      frame.at(2, y, c) = 255;
    }
  }
  struct Case {
    float weight, bias, zero, mid, full;
  };
  for (const Case& k : {Case{2.0f / 255, -1.0f, -1.0f, 2.0f * 128 / 255 - 1, 1.0f},
                        Case{1.0f, 0.0f, 0.0f, 128.0f, 255.0f},
                        Case{1.0f / 255, 0.0f, 0.0f, 128.0f / 255, 1.0f}}) {
    SCOPED_TRACE(testing::Message() << "weight " << k.weight << " bias " << k.bias);
    Tensor tensor(3, 2);
    ASSERT_TRUE(ResizeToTensor(frame.view(), k.weight, k.bias, &tensor.view));
    EXPECT_FLOAT_EQ(tensor.at(0, 1, 0), k.zero);
    EXPECT_FLOAT_EQ(tensor.at(1, 0, 1), k.mid);
    EXPECT_FLOAT_EQ(tensor.at(2, 1, 2), k.full);
  }
}

// Sizes that exercise vector tails, partial row strips, single pixels and both directions.
struct ResizeCase {
  const char* name;
  int in_w, in_h, padding, out_w, out_h;
};
void PrintTo(const ResizeCase& c, std::ostream* os) { *os << c.name; }

class ResizeMatchesReferenceTest : public testing::TestWithParam<ResizeCase> {};

TEST_P(ResizeMatchesReferenceTest, EveryValue) {
  const ResizeCase& k = GetParam();
  const Frame frame = Pattern(k.in_w, k.in_h, k.padding);
  Tensor tensor(k.out_w, k.out_h);
  ASSERT_TRUE(ResizeToTensor(frame.view(), 1.0f, 0.0f, &tensor.view));
  EXPECT_EQ(MaxDifference(tensor.data, ReferenceResize(frame, k.out_w, k.out_h)), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ResizeMatchesReferenceTest,
    testing::Values(ResizeCase{"Identity", 13, 7, 0, 13, 7},
                    ResizeCase{"Downscale", 64, 48, 5, 19, 17},
                    ResizeCase{"Upscale", 5, 3, 1, 37, 33},
                    ResizeCase{"OnePixel", 9, 9, 0, 1, 1},
                    ResizeCase{"FromOnePixel", 1, 1, 0, 6, 3},
                    ResizeCase{"Stretch", 640, 480, 0, 128, 128}),
    [](const testing::TestParamInfo<ResizeCase>& info) { return std::string(info.param.name); });

// ---- Rotated crops ----

TEST(ResizeToTensorTest, QuarterTurnsRotateThePixelsExactly) {
  const Frame frame = Pattern(6, 4);
  struct Case {
    int rotation;
    int out_w, out_h;
    // Source pixel of output pixel (x, y).
    int (*sx)(int x, int y);
    int (*sy)(int x, int y);
  };
  const Case cases[] = {
      {90, 4, 6, [](int x, int y) { return y; }, [](int x, int y) { return 3 - x; }},
      {180, 6, 4, [](int x, int y) { return 5 - x; }, [](int x, int y) { return 3 - y; }},
      {270, 4, 6, [](int x, int y) { return 5 - y; }, [](int x, int y) { return x; }},
      {-90, 4, 6, [](int x, int y) { return 5 - y; }, [](int x, int y) { return x; }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "rotation " << k.rotation);
    Tensor tensor(k.out_w, k.out_h);
    ASSERT_TRUE(ResizeToTensor(frame.view(k.rotation), 1.0f, 0.0f, &tensor.view));
    for (int y = 0; y < k.out_h; ++y)
      for (int x = 0; x < k.out_w; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(tensor.at(x, y, c), frame.at(k.sx(x, y), k.sy(x, y), c))
              << "at " << x << "," << y << "," << c;
  }
}

TEST(ResizeToTensorTest, RotationNotAMultipleOf90IsRefusedAndWritesNothing) {
  const Frame frame = Pattern(4, 4);
  for (int rotation : {45, 1, -30}) {
    Tensor tensor(4, 4);
    EXPECT_FALSE(ResizeToTensor(frame.view(rotation), 1.0f, 0.0f, &tensor.view)) << rotation;
    EXPECT_THAT(tensor.data, Each(-7.0f));
  }
}

TEST(ExtractRotatedRectToTensorTest, ArbitraryCropMatchesReference) {
  const Frame frame = Pattern(40, 30, 2);
  struct Case {
    utils::RotatedRect rect;
    int out_w, out_h;
  };
  // An inside crop, one reaching past the border, and a small upscaled one.
  for (const Case& k : {Case{{20.0f, 15.0f, 16.0f, 12.0f, 0.3f}, 23, 9},
                        Case{{5.0f, 28.0f, 30.0f, 20.0f, -2.0f}, 17, 11},
                        Case{{10.5f, 10.5f, 3.0f, 3.0f, 1.0f}, 8, 8}}) {
    SCOPED_TRACE(testing::Message() << "rotation " << k.rect.rotation);
    Tensor tensor(k.out_w, k.out_h);
    ASSERT_TRUE(ExtractRotatedRectToTensor(frame.view(), 1.0f, 0.0f, k.rect, &tensor.view));
    // The kernel's sine and cosine may differ from the C library's in the last bit, which
    // can move a weight by one step: allow one 8-bit level.
    EXPECT_LE(MaxDifference(tensor.data, ReferenceCrop(frame, k.rect, k.out_w, k.out_h)), 1.0f);
  }
}

// ---- Refused inputs ----

TEST(ImageKernelsTest, BadBuffersAreRefusedWithTheRuntimesText) {
  const Frame frame = Pattern(8, 8);
  const utils::RotatedRect rect{4.0f, 4.0f, 8.0f, 8.0f, 0.0f};
  RecordingSink sink;
  {
    Tensor four_channels(4, 4, 4);
    EXPECT_FALSE(ExtractRotatedRectToTensor(frame.view(), 1.0f, 0.0f, rect, &four_channels.view));
    EXPECT_THAT(sink.text, HasSubstr("output.stride.0"));
    EXPECT_FALSE(ResizeToTensor(frame.view(), 1.0f, 0.0f, &four_channels.view));
  }
  {
    // Null memory must not be taken for a bounds query that "succeeds" without writing.
    CpuRGBFrame no_pixels = frame.view();
    no_pixels.data = nullptr;
    Tensor tensor(4, 4);
    Tensor no_data(4, 4);
    no_data.view.data.f = nullptr;
    EXPECT_FALSE(ResizeToTensor(no_pixels, 1.0f, 0.0f, &tensor.view));
    EXPECT_FALSE(ExtractRotatedRectToTensor(no_pixels, 1.0f, 0.0f, rect, &tensor.view));
    EXPECT_FALSE(ResizeToTensor(frame.view(), 1.0f, 0.0f, &no_data.view));
    EXPECT_FALSE(ExtractRotatedRectToTensor(frame.view(), 1.0f, 0.0f, rect, &no_data.view));
    EXPECT_FALSE(ResizeToTensor(frame.view(), 1.0f, 0.0f, nullptr));
  }
  {
    // Tensors the kernels cannot fill are refused before any kernel runs: memory shorter
    // than the dimensions, another element type, another rank.
    Tensor short_memory(4, 4);
    short_memory.view.bytes -= sizeof(float);
    Tensor int32(4, 4);
    int32.view.type = kTfLiteInt32;
    Tensor rank3(4, 4);
    TfLiteIntArrayFree(rank3.view.dims);
    rank3.view.dims = TfLiteIntArrayFromVector({4, 4, 3});
    for (Tensor* t : {&short_memory, &int32, &rank3}) {
      EXPECT_FALSE(ResizeToTensor(frame.view(), 1.0f, 0.0f, &t->view));
      EXPECT_FALSE(ExtractRotatedRectToTensor(frame.view(), 1.0f, 0.0f, rect, &t->view));
      EXPECT_THAT(t->data, Each(-7.0f));
    }
  }
  {
    // Negative sizes are the runtime's to refuse; nothing is written.
    CpuRGBFrame negative = frame.view();
    negative.width = -8;
    Tensor tensor(4, 4);
    EXPECT_FALSE(ResizeToTensor(negative, 1.0f, 0.0f, &tensor.view));
    EXPECT_FALSE(ExtractRotatedRectToTensor(negative, 1.0f, 0.0f, rect, &tensor.view));
    EXPECT_THAT(tensor.data, Each(-7.0f));
  }
  {
    // Rows of more than 2^31 floats cannot be described; nothing may be touched.
    // (The memory claims to hold them all; only the description may refuse.)
    float cell = -7.0f;
    TfLiteTensor huge;
    huge.type = kTfLiteFloat32;
    huge.dims = TfLiteIntArrayFromVector({1, 1, 1 << 30, 3});
    huge.data.f = &cell;
    huge.bytes = (size_t{3} << 30) * sizeof(float);
    EXPECT_FALSE(ResizeToTensor(frame.view(), 1.0f, 0.0f, &huge));
    EXPECT_EQ(cell, -7.0f);
    TfLiteIntArrayFree(huge.dims);
  }
  {
    Tensor tensor(4, 4);
    EXPECT_FALSE(ImageResizeWeightedBiased(nullptr, 1.0f, 0.0f, nullptr));
    utils::RotatedRect nan_rect = rect;
    nan_rect.rotation = NAN;
    EXPECT_FALSE(ExtractRotatedRectToTensor(frame.view(), 1.0f, 0.0f, nan_rect, &tensor.view));
    EXPECT_THAT(tensor.data, Each(-7.0f));
  }
  EXPECT_THAT(sink.text, HasSubstr("Halide: "));
}

// Callers of the argv entry points rely on this order.
TEST(ImageKernelsTest, MetadataListsTheArgumentsInCallOrder) {
  auto describe = [](const halide_filter_metadata_t* metadata) {
    std::vector<std::string> out;
    for (int i = 0; i < metadata->num_arguments; ++i) {
      const halide_filter_argument_t& a = metadata->arguments[i];
      out.push_back(std::string(a.name) + ":" + std::to_string(a.kind) + ":" +
                    std::to_string(a.dimensions) + ":" + std::to_string(a.type.code) +
                    std::to_string(a.type.bits));
    }
    return out;
  };
  const std::string in = ":1:3:18", out = ":2:3:232", f = ":0:0:232", i = ":0:0:032";
  EXPECT_EQ(describe(ImageResizeWeightedBiasedHalide_metadata()),
            (std::vector<std::string>{"input" + in, "weight" + f, "bias" + f, "dst_width" + i,
                                      "dst_height" + i, "output" + out}));
  EXPECT_EQ(describe(ImageRotationCropWeightedBiasedHalide_metadata()),
            (std::vector<std::string>{"input" + in, "weight" + f, "bias" + f,
                                      "rot_center_x" + f, "rot_center_y" + f, "rot_radians" + f,
                                      "roi_y_min" + f, "roi_y_max" + f, "roi_x_min" + f,
                                      "roi_x_max" + f, "dst_width" + i, "dst_height" + i,
                                      "output" + out}));
  EXPECT_THAT(ImageResizeWeightedBiasedHalide_metadata()->target, HasSubstr("x86-64-linux"));
  // The kernel's own name, not the name of the processor-specific build that runs.
  EXPECT_STREQ(ImageResizeWeightedBiasedHalide_metadata()->name,
               "ImageResizeWeightedBiasedHalide");
  EXPECT_STREQ(ImageRotationCropWeightedBiasedHalide_metadata()->name,
               "ImageRotationCropWeightedBiasedHalide");
}

// An older description of the frame and of a [height, width, 3] float output.
struct OldBuffers {
  buffer_t input = {};
  buffer_t output = {};
  OldBuffers(Frame& frame, Tensor& tensor) {
    const int out_w = tensor.view.dims->data[2], out_h = tensor.view.dims->data[1];
    input.host = frame.pixels.data();
    input.elem_size = 1;
    input.extent[0] = frame.width, input.extent[1] = frame.height, input.extent[2] = 3;
    input.stride[0] = 3, input.stride[1] = frame.stride, input.stride[2] = 1;
    output.host = reinterpret_cast<uint8_t*>(tensor.data.data());
    output.elem_size = 4;
    output.extent[0] = out_w, output.extent[1] = out_h, output.extent[2] = 3;
    output.stride[0] = 3, output.stride[1] = 3 * out_w, output.stride[2] = 1;
  }
};

TEST(ImageKernelsTest, OlderBufferEntryPointsMatchTheCurrentOnes) {
  Frame frame = Pattern(23, 17, 2);
  const utils::RotatedRect rect{11.0f, 8.0f, 14.0f, 10.0f, 0.4f};
  {
    Tensor expected(9, 7), actual(9, 7);
    ASSERT_TRUE(ResizeToTensor(frame.view(), 0.5f, 3.0f, &expected.view));
    OldBuffers old(frame, actual);
    ASSERT_EQ(ImageResizeWeightedBiasedHalide_old_buffer_t(&old.input, 0.5f, 3.0f, 9, 7,
                                                           &old.output),
              0);
    EXPECT_EQ(MaxDifference(actual.data, expected.data), 0.0f);
  }
  {
    Tensor expected(8, 6), actual(8, 6);
    ASSERT_TRUE(ExtractRotatedRectToTensor(frame.view(), 0.5f, 3.0f, rect, &expected.view));
    OldBuffers old(frame, actual);
    ASSERT_EQ(ImageRotationCropWeightedBiasedHalide_old_buffer_t(
                  &old.input, 0.5f, 3.0f, rect.center_x, rect.center_y, rect.rotation,
                  rect.center_y - 5, rect.center_y + 5, rect.center_x - 7, rect.center_x + 7, 8,
                  6, &old.output),
              0);
    EXPECT_EQ(MaxDifference(actual.data, expected.data), 0.0f);
  }
  {
    // An element size that is not the argument's type, a missing buffer: refused, untouched.
    RecordingSink sink;
    Tensor tensor(9, 7);
    OldBuffers old(frame, tensor);
    old.output.elem_size = 2;
    EXPECT_NE(ImageResizeWeightedBiasedHalide_old_buffer_t(&old.input, 1, 0, 9, 7, &old.output),
              0);
    EXPECT_NE(ImageResizeWeightedBiasedHalide_old_buffer_t(nullptr, 1, 0, 9, 7, &old.output), 0);
    EXPECT_THAT(tensor.data, Each(-7.0f));
    EXPECT_THAT(sink.text, HasSubstr("element size 2"));
  }
}

}  // namespace
}  // namespace internal
}  // namespace api
}  // namespace sorvanti
}  // namespace research
