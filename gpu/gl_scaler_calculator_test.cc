// The scaler node in a graph on Mesa, fed with pixel buffers; what it draws is compared with
// references computed here from the input arrays.

#include "gpu/gl_scaler_calculator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gpu/gl_scaler_calculator.pb.h"
#include "gpu/gpu_buffer.h"
#include "gpu/gpu_resources.h"
#include "graph/calculator_graph.h"
#include "graph/packet.h"
#include "gtest/gtest.h"
#include "platform/corevideo/pixel_buffer.h"

namespace pellumo {
namespace {

using ::testing::HasSubstr;
using kaldren::Packet;
using kaldren::Timestamp;

// A 'BGRA' image as 32-bit words of the bytes B, G, R, A in memory order; row 0 first.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;

  Image(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h) {}
  uint32_t& at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
  uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
  bool operator==(const Image& other) const = default;
};

uint32_t Bgra(uint8_t b, uint8_t g, uint8_t r, uint8_t a = 255) {
  return b | (g << 8) | (r << 16) | (static_cast<uint32_t>(a) << 24);
}

// Every pixel its own colour.
Image Distinct(int width, int height) {
  Image image(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      image.at(x, y) = Bgra(static_cast<uint8_t>(7 * x + 3 * y), static_cast<uint8_t>(5 * y),
                            static_cast<uint8_t>(255 - x));
    }
  }
  return image;
}

Image Solid(int width, int height, uint32_t color) {
  Image image(width, height);
  std::fill(image.pixels.begin(), image.pixels.end(), color);
  return image;
}

GpuBuffer ToBuffer(const Image& image) {
  CVPixelBufferRef raw = nullptr;
  CHECK_EQ(CVPixelBufferCreate(kCFAllocatorDefault, image.width, image.height,
                               kCVPixelFormatType_32BGRA, nullptr, &raw),
           kCVReturnSuccess);
  const platform::corevideo::Plane plane = platform::corevideo::GetPlane(raw, 0);
  for (int y = 0; y < image.height; ++y) {
    std::memcpy(plane.data + y * plane.bytes_per_row, &image.pixels[y * image.width],
                4 * image.width);
  }
  return GpuBuffer(MakeCFHolderAdopting(raw));
}

Image FromBuffer(const GpuBuffer& buffer) {
  EXPECT_EQ(buffer.format(), GpuBufferFormat::kFormatBGRA);
  Image image(buffer.width(), buffer.height());
  const platform::corevideo::Plane plane = platform::corevideo::GetPlane(buffer.pixel_buffer(), 0);
  for (int y = 0; y < image.height; ++y) {
    std::memcpy(&image.at(0, y), plane.data + y * plane.bytes_per_row, 4 * image.width);
  }
  return image;
}

// A '420f' buffer of one colour.
GpuBuffer ConstantYuv(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
  CVPixelBufferRef raw = nullptr;
  CHECK_EQ(CVPixelBufferCreate(kCFAllocatorDefault, width, height,
                               kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, nullptr, &raw),
           kCVReturnSuccess);
  const platform::corevideo::Plane luma = platform::corevideo::GetPlane(raw, 0);
  const platform::corevideo::Plane chroma = platform::corevideo::GetPlane(raw, 1);
  for (size_t row = 0; row < luma.height; ++row) {
    std::memset(luma.data + row * luma.bytes_per_row, y, luma.width);
  }
  for (size_t row = 0; row < chroma.height; ++row) {
    for (size_t x = 0; x < chroma.width; ++x) {
      chroma.data[row * chroma.bytes_per_row + 2 * x] = u;
      chroma.data[row * chroma.bytes_per_row + 2 * x + 1] = v;
    }
  }
  return GpuBuffer(MakeCFHolderAdopting(raw));
}

// The reference orientation: a counter-clockwise turn as the image is shown (row 0 on top),
// then the mirrors of the result.
Image Oriented(const Image& in, int degrees_ccw, bool flip_horizontal, bool flip_vertical) {
  const int w = in.width;
  const int h = in.height;
  const bool quarter = degrees_ccw == 90 || degrees_ccw == 270;
  Image out(quarter ? h : w, quarter ? w : h);
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      switch (degrees_ccw) {
        case 90:
          out.at(x, y) = in.at(w - 1 - y, x);
          break;
        case 180:
          out.at(x, y) = in.at(w - 1 - x, h - 1 - y);
          break;
        case 270:
          out.at(x, y) = in.at(y, h - 1 - x);
          break;
        default:
          out.at(x, y) = in.at(x, y);
      }
    }
  }
  Image flipped = out;
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      flipped.at(x, y) = out.at(flip_horizontal ? out.width - 1 - x : x,
                                flip_vertical ? out.height - 1 - y : y);
    }
  }
  return flipped;
}

// One scaler node between the graph streams "video" (and "rotation") and "out" (and the
// padding streams "top_bottom", "left_right").
struct Node {
  std::optional<GlScalerCalculatorOptions> options;
  bool rotation_stream = false;
  bool padding_outputs = false;
  std::optional<std::array<int, 2>> output_dimensions;
  std::optional<int> rotation_side_packet;
  std::optional<GlScalerCalculatorOptions> options_side_packet;
};

struct Result {
  absl::Status status;
  std::vector<Packet> video;
  std::vector<float> top_bottom;
  std::vector<float> left_right;
};

class ScalerGraph {
 public:
  explicit ScalerGraph(const Node& node, std::shared_ptr<GpuResources> resources = nullptr) {
    CalculatorGraphConfig config;
    config.add_input_stream("video");
    CalculatorGraphConfig::Node* scaler = config.add_node();
    scaler->set_calculator("GlScalerCalculator");
    scaler->add_input_stream("VIDEO:video");
    if (node.rotation_stream) {
      config.add_input_stream("rotation");
      scaler->add_input_stream("ROTATION:rotation");
    }
    scaler->add_output_stream("VIDEO:out");
    if (node.padding_outputs) {
      scaler->add_output_stream("TOP_BOTTOM_PADDING:top_bottom");
      scaler->add_output_stream("LEFT_RIGHT_PADDING:left_right");
    }
    if (node.options) {
      *scaler->mutable_options()->MutableExtension(GlScalerCalculatorOptions::ext) = *node.options;
    }
    if (node.output_dimensions) {
      scaler->add_input_side_packet("OUTPUT_DIMENSIONS:dimensions");
      side_packets_["dimensions"] =
          kaldren::MakePacket<GlScalerCalculator::DimensionsPacketType>(*node.output_dimensions);
    }
    if (node.rotation_side_packet) {
      scaler->add_input_side_packet("ROTATION:rotation_degrees");
      side_packets_["rotation_degrees"] = kaldren::MakePacket<int>(*node.rotation_side_packet);
    }
    if (node.options_side_packet) {
      scaler->add_input_side_packet("OPTIONS:options");
      side_packets_["options"] =
          kaldren::MakePacket<GlScalerCalculatorOptions>(*node.options_side_packet);
    }
    if (resources != nullptr) CHECK(graph_.SetGpuResources(std::move(resources)).ok());
    initialized_ = graph_.Initialize(config);
    if (!initialized_.ok()) return;
    CHECK(graph_.ObserveOutputStream("out", [this](const Packet& p) {
                  result_.video.push_back(p);
                  return absl::OkStatus();
                }).ok());
    if (node.padding_outputs) {
      CHECK(graph_.ObserveOutputStream("top_bottom", [this](const Packet& p) {
                    result_.top_bottom.push_back(p.Get<float>());
                    return absl::OkStatus();
                  }).ok());
      CHECK(graph_.ObserveOutputStream("left_right", [this](const Packet& p) {
                    result_.left_right.push_back(p.Get<float>());
                    return absl::OkStatus();
                  }).ok());
    }
  }

  const absl::Status& initialized() const { return initialized_; }

  // One run: `frames` on "video" and `rotations` on "rotation", by timestamp.
  Result Run(const std::map<int64_t, GpuBuffer>& frames,
             const std::map<int64_t, int>& rotations = {}) {
    result_ = Result();
    result_.status = graph_.StartRun(side_packets_);
    if (!result_.status.ok()) return result_;
    // A node that fails ends the run, and later packets are refused.
    for (const auto& [t, frame] : frames) {
      graph_.AddPacketToInputStream("video", kaldren::MakePacket<GpuBuffer>(frame).At(Timestamp(t)))
          .IgnoreError();
    }
    for (const auto& [t, degrees] : rotations) {
      graph_.AddPacketToInputStream("rotation", kaldren::MakePacket<int>(degrees).At(Timestamp(t)))
          .IgnoreError();
    }
    graph_.CloseAllInputStreams().IgnoreError();
    result_.status = graph_.WaitUntilDone();
    return std::move(result_);
  }

  // A run with one frame at timestamp 0.
  Result RunOne(const GpuBuffer& frame) { return Run({{0, frame}}); }

 private:
  kaldren::CalculatorGraph graph_;
  absl::Status initialized_;
  std::map<std::string, Packet> side_packets_;
  Result result_;
};

GlScalerCalculatorOptions Options(int width, int height, int rotation = 0,
                                  ScaleMode::Mode mode = ScaleMode::DEFAULT) {
  GlScalerCalculatorOptions options;
  if (width != 0) options.set_output_width(width);
  if (height != 0) options.set_output_height(height);
  if (rotation != 0) options.set_rotation(rotation);
  if (mode != ScaleMode::DEFAULT) options.set_scale_mode(mode);
  return options;
}

TEST(GlScalerCalculatorTest, WithoutSizeOrRotationTheFramePassesUnchanged) {
  const Image input = Distinct(1280, 720);
  const GpuBuffer buffer = ToBuffer(input);
  ScalerGraph graph(Node{});
  ASSERT_TRUE(graph.initialized().ok()) << graph.initialized();
  Result result = graph.Run({{42, buffer}});
  ASSERT_TRUE(result.status.ok()) << result.status;
  ASSERT_EQ(result.video.size(), 1u);
  EXPECT_EQ(result.video[0].Timestamp(), Timestamp(42));
  EXPECT_EQ(result.video[0].Get<GpuBuffer>().pixel_buffer(), buffer.pixel_buffer());
  EXPECT_TRUE(FromBuffer(result.video[0].Get<GpuBuffer>()) == input);
}

// A 'BGRA' frame that the drawing would reproduce exactly is passed on as the same buffer;
// everything else is drawn into a new one.
TEST(GlScalerCalculatorTest, OnlyFramesDrawnUnchangedArePassedOn) {
  struct Case {
    const char* name;
    Node node;
    bool yuv;
    bool passed_on;
  };
  GlScalerCalculatorOptions flipped;
  flipped.set_flip_vertical(true);
  const Case cases[] = {
      {"no options", Node{}, false, true},
      {"size of the input requested", Node{.options = Options(64, 48)}, false, true},
      {"fit at the input's size", Node{.options = Options(64, 48, 0, ScaleMode::FIT)}, false, true},
      {"rotation 360 is none", Node{.options = Options(0, 0, 360)}, false, true},
      {"rotation -90 is none", Node{.rotation_side_packet = -90}, false, true},
      {"rotation 180", Node{.options = Options(0, 0, 180)}, false, false},
      {"flip", Node{.options = flipped}, false, false},
      {"other size", Node{.options = Options(32, 24)}, false, false},
      {"Y'CbCr", Node{}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Node node = c.node;
    node.padding_outputs = true;
    ScalerGraph graph(node);
    const GpuBuffer input = c.yuv ? ConstantYuv(64, 48, 128, 128, 128)
                                  : ToBuffer(Solid(64, 48, Bgra(1, 2, 3)));
    Result result = graph.Run({{7, input}});
    ASSERT_TRUE(result.status.ok()) << result.status;
    ASSERT_EQ(result.video.size(), 1u);
    EXPECT_EQ(result.video[0].Timestamp(), Timestamp(7));
    EXPECT_EQ(result.video[0].Get<GpuBuffer>().pixel_buffer() == input.pixel_buffer(),
              c.passed_on);
    EXPECT_EQ(result.top_bottom, std::vector<float>{0.0f});
    EXPECT_EQ(result.left_right, std::vector<float>{0.0f});
  }
}

// Turns and mirrors are exact: every output pixel is one input pixel.
TEST(GlScalerCalculatorTest, RotationsAndFlipsMatchTheReferenceExactly) {
  struct Case {
    const char* name;
    int rotation;  // options
    bool flip_horizontal, flip_vertical;
    int expected_rotation;
  };
  const Case cases[] = {
      {"rotation 90", 90, false, false, 90},
      {"rotation 180", 180, false, false, 180},
      {"rotation 270", 270, false, false, 270},
      {"rotation 450", 450, false, false, 90},
      {"rotation -90 is none", -90, false, false, 0},
      {"flip horizontal", 0, true, false, 0},
      {"flip vertical", 0, false, true, 0},
      {"rotation 90 then flip horizontal", 90, true, false, 90},
      {"rotation 270 then both flips", 270, true, true, 270},
  };
  const Image input = Distinct(32, 16);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GlScalerCalculatorOptions options = Options(0, 0, c.rotation);
    options.set_flip_horizontal(c.flip_horizontal);
    options.set_flip_vertical(c.flip_vertical);
    ScalerGraph graph(Node{.options = options});
    Result result = graph.RunOne(ToBuffer(input));
    ASSERT_TRUE(result.status.ok()) << result.status;
    ASSERT_EQ(result.video.size(), 1u);
    const Image output = FromBuffer(result.video[0].Get<GpuBuffer>());
    const Image expected = Oriented(input, c.expected_rotation, c.flip_horizontal, c.flip_vertical);
    ASSERT_EQ(output.width, expected.width);
    ASSERT_EQ(output.height, expected.height);
    EXPECT_TRUE(output == expected);
  }
}

TEST(GlScalerCalculatorTest, QuarterTurnPutsTheTopRightCornerTopLeft) {
  // The convention in words, on a 2 x 1 image: left pixel A, right pixel B. A quarter turn
  // counter-clockwise stands B above A.
  Image input(2, 1);
  input.at(0, 0) = Bgra(10, 10, 10);
  input.at(1, 0) = Bgra(200, 200, 200);
  ScalerGraph graph(Node{.options = Options(0, 0, 90)});
  Result result = graph.RunOne(ToBuffer(input));
  ASSERT_TRUE(result.status.ok()) << result.status;
  const Image output = FromBuffer(result.video[0].Get<GpuBuffer>());
  ASSERT_EQ(output.width, 1);
  ASSERT_EQ(output.height, 2);
  EXPECT_EQ(output.at(0, 0), input.at(1, 0));
  EXPECT_EQ(output.at(0, 1), input.at(0, 0));
}

// The rotation may come from the options, the side packet (which wins) or the stream (which
// wins from its timestamp on, also when it arrives without a frame).
TEST(GlScalerCalculatorTest, RotationSources) {
  const Image input = Distinct(32, 16);
  {
    ScalerGraph graph(Node{.options = Options(0, 0, 180), .rotation_side_packet = 90});
    Result result = graph.RunOne(ToBuffer(input));
    ASSERT_TRUE(result.status.ok()) << result.status;
    EXPECT_TRUE(FromBuffer(result.video[0].Get<GpuBuffer>()) == Oriented(input, 90, false, false));
  }
  {
    ScalerGraph graph(Node{.options = Options(0, 0, 180), .rotation_stream = true});
    // t=0 frame alone (options' rotation); t=1 rotation alone; t=2 frame alone.
    Result result = graph.Run({{0, ToBuffer(input)}, {2, ToBuffer(input)}}, {{1, 270}});
    ASSERT_TRUE(result.status.ok()) << result.status;
    ASSERT_EQ(result.video.size(), 2u);
    EXPECT_EQ(result.video[0].Timestamp(), Timestamp(0));
    EXPECT_EQ(result.video[1].Timestamp(), Timestamp(2));
    EXPECT_TRUE(FromBuffer(result.video[0].Get<GpuBuffer>()) ==
                Oriented(input, 180, false, false));
    EXPECT_TRUE(FromBuffer(result.video[1].Get<GpuBuffer>()) ==
                Oriented(input, 270, false, false));
  }
  {
    // Turned, then back to upright: the second frame is passed on, the third turned again.
    ScalerGraph graph(Node{.rotation_stream = true});
    const GpuBuffer buffer = ToBuffer(input);
    Result result =
        graph.Run({{0, buffer}, {1, buffer}, {2, buffer}}, {{0, 90}, {1, 0}, {2, 270}});
    ASSERT_TRUE(result.status.ok()) << result.status;
    ASSERT_EQ(result.video.size(), 3u);
    EXPECT_TRUE(FromBuffer(result.video[0].Get<GpuBuffer>()) == Oriented(input, 90, false, false));
    EXPECT_EQ(result.video[1].Get<GpuBuffer>().pixel_buffer(), buffer.pixel_buffer());
    EXPECT_TRUE(FromBuffer(result.video[2].Get<GpuBuffer>()) ==
                Oriented(input, 270, false, false));
  }
}

TEST(GlScalerCalculatorTest, OutputSize) {
  struct Case {
    const char* name;
    Node node;
    int expected_width, expected_height;
  };
  const Case cases[] = {
      {"input size", Node{}, 1280, 720},
      {"quarter turn exchanges the sides", Node{.options = Options(0, 0, 90)}, 720, 1280},
      {"quarter turn from the side packet", Node{.rotation_side_packet = 270}, 720, 1280},
      {"requested size", Node{.options = Options(640, 480, 90)}, 640, 480},
      {"width alone is ignored", Node{.options = Options(640, 0)}, 1280, 720},
      {"zero height is ignored", Node{.options = Options(640, -5)}, 1280, 720},
      {"OUTPUT_DIMENSIONS wins over the options",
       Node{.options = Options(320, 240), .output_dimensions = std::array<int, 2>{640, 480}}, 640,
       480},
      {"OPTIONS side packet merged over the node's options",
       Node{.options = Options(320, 240, 90), .options_side_packet = Options(0, 200)}, 320, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScalerGraph graph(c.node);
    Result result = graph.RunOne(ToBuffer(Solid(1280, 720, Bgra(1, 2, 3))));
    ASSERT_TRUE(result.status.ok()) << result.status;
    ASSERT_EQ(result.video.size(), 1u);
    const GpuBuffer& output = result.video[0].Get<GpuBuffer>();
    EXPECT_EQ(output.width(), c.expected_width);
    EXPECT_EQ(output.height(), c.expected_height);
    EXPECT_EQ(output.format(), GpuBufferFormat::kFormatBGRA);
    // A one-colour frame stays one colour at any size.
    EXPECT_TRUE(FromBuffer(output) == Solid(c.expected_width, c.expected_height, Bgra(1, 2, 3)));
  }
}

TEST(GlScalerCalculatorTest, PaddingOutputs) {
  struct Case {
    const char* name;
    int src_width, src_height;
    GlScalerCalculatorOptions options;
    float top_bottom, left_right;
  };
  const Case cases[] = {
      // (1 - 720 / 1280 * 720 / 720) * 0.5
      {"fit, wider source", 1280, 720, Options(720, 720, 0, ScaleMode::FIT), 0.21875f, 0.0f},
      // (1 - (1 / 1280) * 720 / 1280 * 720) * 0.5
      {"fit, narrower source", 720, 1280, Options(1280, 720, 0, ScaleMode::FIT), 0.0f,
       0.341796875f},
      {"fit, quarter turn makes it narrower", 1280, 720, Options(1280, 720, 90, ScaleMode::FIT),
       0.0f, 0.341796875f},
      {"fit, same aspect ratio", 1280, 720, Options(640, 360, 0, ScaleMode::FIT), 0.0f, 0.0f},
      {"stretch", 1280, 720, Options(720, 720, 0, ScaleMode::STRETCH), 0.0f, 0.0f},
      {"fill and crop", 1280, 720, Options(720, 720, 0, ScaleMode::FILL_AND_CROP), 0.0f, 0.0f},
      {"default is stretch", 1280, 720, Options(720, 720), 0.0f, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScalerGraph graph(Node{.options = c.options, .padding_outputs = true});
    Result result = graph.Run({{5, ToBuffer(Solid(c.src_width, c.src_height, Bgra(0, 0, 0)))}});
    ASSERT_TRUE(result.status.ok()) << result.status;
    ASSERT_EQ(result.top_bottom.size(), 1u);
    ASSERT_EQ(result.left_right.size(), 1u);
    EXPECT_FLOAT_EQ(result.top_bottom[0], c.top_bottom);
    EXPECT_FLOAT_EQ(result.left_right[0], c.left_right);
  }
}

// The fit mode shows the whole frame centred; the bands it leaves are black, also when the
// pool hands out a buffer that held something else.
TEST(GlScalerCalculatorTest, FitLeavesBlackBandsOverWhateverThePooledBufferHeld) {
  std::shared_ptr<GlGpuResources> resources = GlGpuResources::CreateGpuResourcesOrDie();
  CVPixelBufferRef stale = nullptr;
  {
    GpuBuffer used = resources->gpu_buffer_pool().GetBuffer(72, 72, GpuBufferFormat::kFormatBGRA);
    const platform::corevideo::Plane plane = platform::corevideo::GetPlane(used.pixel_buffer(), 0);
    std::memset(plane.data, 0x7F, plane.bytes_per_row * plane.height);
    stale = used.pixel_buffer();
  }  // back in the pool, still grey
  ScalerGraph graph(Node{.options = Options(72, 72, 0, ScaleMode::FIT), .padding_outputs = true},
                    resources);
  const uint32_t white = Bgra(255, 255, 255);
  Result result = graph.RunOne(ToBuffer(Solid(128, 72, white)));
  ASSERT_TRUE(result.status.ok()) << result.status;
  const GpuBuffer& output = result.video[0].Get<GpuBuffer>();
  ASSERT_EQ(output.pixel_buffer(), stale);  // the test shows something only then
  // 72 / 128 * 72 = 40.5 rows of picture: rows 0-15 and 56-71 are bands.
  EXPECT_FLOAT_EQ(result.top_bottom[0], (1.0f - 72.0f / 128.0f) * 0.5f);
  const Image image = FromBuffer(output);
  for (int y : {0, 15, 56, 71}) {
    for (int x : {0, 36, 71}) EXPECT_EQ(image.at(x, y), Bgra(0, 0, 0)) << x << "," << y;
  }
  for (int y : {17, 36, 54}) {
    for (int x : {0, 36, 71}) EXPECT_EQ(image.at(x, y), white) << x << "," << y;
  }
}

// Full-range Y'CbCr becomes RGB by the conversion matrix, within one step of 255; a later
// 'BGRA' frame on the same node goes through the other program.
TEST(GlScalerCalculatorTest, YuvFramesAreConvertedByTheMatrix) {
  struct Yuv {
    uint8_t y, u, v;
  };
  const Yuv colors[] = {{128, 128, 128}, {200, 90, 170}, {60, 180, 100}, {235, 16, 240}};
  std::map<int64_t, GpuBuffer> frames;
  int64_t t = 0;
  for (const Yuv& c : colors) frames[t++] = ConstantYuv(64, 48, c.y, c.u, c.v);
  const uint32_t bgra = Bgra(12, 34, 56);
  frames[t++] = ToBuffer(Solid(64, 48, bgra));

  ScalerGraph graph(Node{.options = Options(32, 24)});
  Result result = graph.Run(frames);
  ASSERT_TRUE(result.status.ok()) << result.status;
  ASSERT_EQ(result.video.size(), frames.size());
  for (size_t i = 0; i < std::size(colors); ++i) {
    const Yuv& c = colors[i];
    const double y = c.y / 255.0, u = c.u / 255.0 - 0.5, v = c.v / 255.0 - 0.5;
    const double rgb[3] = {y + 1.57481 * v, y - 0.18732 * u - 0.46813 * v, y + 1.8556 * u};
    int expected[3];
    for (int k = 0; k < 3; ++k) {
      expected[k] = static_cast<int>(std::lround(std::clamp(rgb[k], 0.0, 1.0) * 255.0));
    }
    const Image output = FromBuffer(result.video[i].Get<GpuBuffer>());
    ASSERT_EQ(output.width, 32);
    for (uint32_t pixel : {output.at(0, 0), output.at(17, 11), output.at(31, 23)}) {
      SCOPED_TRACE(::testing::Message() << "Y'CbCr " << int{c.y} << " " << int{c.u} << " "
                                        << int{c.v});
      EXPECT_NEAR(static_cast<int>((pixel >> 16) & 0xFF), expected[0], 1);  // R
      EXPECT_NEAR(static_cast<int>((pixel >> 8) & 0xFF), expected[1], 1);   // G
      EXPECT_NEAR(static_cast<int>(pixel & 0xFF), expected[2], 1);          // B
      EXPECT_EQ(pixel >> 24, 255u);
    }
  }
  EXPECT_TRUE(FromBuffer(result.video.back().Get<GpuBuffer>()) == Solid(32, 24, bgra));
}

// A scale mode the options do not know stays in the message as an unknown field and the node
// stretches.
TEST(GlScalerCalculatorTest, UnknownScaleModeIsKeptAndStretches) {
  GlScalerCalculatorOptions options = Options(720, 720);
  std::string bytes = options.SerializeAsString();
  bytes += std::string("\x30\x07", 2);  // field 6, varint 7
  GlScalerCalculatorOptions parsed;
  ASSERT_TRUE(parsed.ParseFromString(bytes));
  EXPECT_FALSE(parsed.has_scale_mode());
  EXPECT_EQ(parsed.output_width(), 720);
  EXPECT_EQ(parsed.SerializeAsString(), bytes);

  ScalerGraph graph(Node{.options = parsed, .padding_outputs = true});
  Result result = graph.RunOne(ToBuffer(Solid(1280, 720, Bgra(9, 9, 9))));
  ASSERT_TRUE(result.status.ok()) << result.status;
  EXPECT_EQ(result.top_bottom, std::vector<float>{0.0f});
  // Stretched: no black band.
  EXPECT_TRUE(FromBuffer(result.video[0].Get<GpuBuffer>()) == Solid(720, 720, Bgra(9, 9, 9)));
}

TEST(GlScalerCalculatorTest, Errors) {
  {
    ScalerGraph graph(Node{.options = Options(0, 0, 45)});
    Result result = graph.RunOne(ToBuffer(Solid(4, 4, 0)));
    EXPECT_THAT(result.status.ToString(),
                HasSubstr("rotation must be a multiple of 90; 45 was provided"));
  }
  {
    ScalerGraph graph(Node{.rotation_stream = true});
    Result result = graph.Run({{0, ToBuffer(Solid(4, 4, 0))}}, {{0, -45}});
    EXPECT_THAT(result.status.ToString(),
                HasSubstr("rotation must be a multiple of 90; -45 was provided"));
    EXPECT_TRUE(result.video.empty());
  }
  {
    // A pixel format GL is not given.
    CVPixelBufferRef raw = nullptr;
    ASSERT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 4, 4, kCVPixelFormatType_32RGBA, nullptr,
                                  &raw),
              kCVReturnSuccess);
    ScalerGraph graph(Node{});
    Result result = graph.RunOne(GpuBuffer(MakeCFHolderAdopting(raw)));
    EXPECT_EQ(result.status.code(), absl::StatusCode::kInvalidArgument) << result.status;
    EXPECT_THAT(result.status.ToString(), HasSubstr("unsupported pixel format"));
  }
  {
    // A 4:2:0 frame of one row has no chroma row to make a texture of.
    ScalerGraph graph(Node{});
    Result result = graph.RunOne(ConstantYuv(8, 1, 1, 2, 3));
    EXPECT_EQ(result.status.code(), absl::StatusCode::kInvalidArgument) << result.status;
  }
  {
    ScalerGraph graph(Node{.output_dimensions = std::array<int, 2>{100000, 8}});
    Result result = graph.RunOne(ToBuffer(Solid(4, 4, 0)));
    EXPECT_EQ(result.status.code(), absl::StatusCode::kInvalidArgument) << result.status;
  }
}

TEST(GlScalerCalculatorTest, OnePaddingOutputAloneIsRefused) {
  CalculatorGraphConfig config;
  config.add_input_stream("video");
  CalculatorGraphConfig::Node* scaler = config.add_node();
  scaler->set_calculator("GlScalerCalculator");
  scaler->add_input_stream("VIDEO:video");
  scaler->add_output_stream("VIDEO:out");
  scaler->add_output_stream("TOP_BOTTOM_PADDING:top_bottom");
  kaldren::CalculatorGraph graph;
  EXPECT_FALSE(graph.Initialize(config).ok());
}

// A node that lists its streams without tags names them by position.
TEST(GlScalerCalculatorTest, UntaggedStreams) {
  CalculatorGraphConfig config;
  config.add_input_stream("video");
  CalculatorGraphConfig::Node* scaler = config.add_node();
  scaler->set_calculator("GlScalerCalculator");
  scaler->add_input_stream("video");
  scaler->add_output_stream("out");
  *scaler->mutable_options()->MutableExtension(GlScalerCalculatorOptions::ext) = Options(6, 2);
  kaldren::CalculatorGraph graph;
  ASSERT_TRUE(graph.Initialize(config).ok());
  std::vector<Packet> out;
  ASSERT_TRUE(graph
                  .ObserveOutputStream("out",
                                       [&](const Packet& p) {
                                         out.push_back(p);
                                         return absl::OkStatus();
                                       })
                  .ok());
  ASSERT_TRUE(graph.StartRun({}).ok());
  GpuBuffer frame = ToBuffer(Solid(4, 4, 0));
  ASSERT_TRUE(
      graph.AddPacketToInputStream("video", kaldren::MakePacket<GpuBuffer>(frame).At(Timestamp(0)))
          .ok());
  ASSERT_TRUE(graph.CloseAllInputStreams().ok());
  ASSERT_TRUE(graph.WaitUntilDone().ok());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Get<GpuBuffer>().width(), 6);
  EXPECT_EQ(out[0].Get<GpuBuffer>().height(), 2);
}

}  // namespace
}  // namespace pellumo
