#include "gpu/gl_scaler_calculator.h"

#include <string>
#include <utility>

#include "absl/strings/str_cat.h"
#include "base/status_macros.h"
#include "gpu/gl_simple_shaders.h"
#include "gpu/tag_or_index.h"
#include "graph/calculator.h"
#include "graph/tool/retrieve_options.h"

namespace pellumo {
namespace {

constexpr char kVideoTag[] = "VIDEO";
constexpr char kRotationTag[] = "ROTATION";
constexpr char kOptionsTag[] = "OPTIONS";
constexpr char kOutputDimensionsTag[] = "OUTPUT_DIMENSIONS";
constexpr char kTopBottomPaddingTag[] = "TOP_BOTTOM_PADDING";
constexpr char kLeftRightPaddingTag[] = "LEFT_RIGHT_PADDING";

bool IsQuarterTurn(FrameRotation rotation) {
  return rotation == FrameRotation::k90 || rotation == FrameRotation::k270;
}

bool HasPaddingOutputs(const kaldren::OutputStreamShardSet& outputs) {
  return outputs.HasTag(kTopBottomPaddingTag) && outputs.HasTag(kLeftRightPaddingTag);
}

// Input that a graph's host hands in is checked before GL sees it: the texture table knows
// only its own formats, and a 4:2:0 chroma plane must be at least one texel.
absl::Status CheckInput(const GpuBuffer& input) {
  const GpuBufferFormat format = input.format();
  if (format == GpuBufferFormat::kFormatNone) {
    return absl::InvalidArgumentError(
        absl::StrCat("GlScalerCalculator: unsupported pixel format ",
                     CVPixelBufferGetPixelFormatType(input.pixel_buffer())));
  }
  if ((format == GpuBufferFormat::kFormat420v || format == GpuBufferFormat::kFormat420f) &&
      (input.width() < 2 || input.height() < 2)) {
    return absl::InvalidArgumentError(absl::StrCat("GlScalerCalculator: a ", input.width(),
                                                   " x ", input.height(),
                                                   " Y'CbCr frame has no chroma texel"));
  }
  return absl::OkStatus();
}

}  // namespace

GlScalerCalculator::~GlScalerCalculator() {
  if (rgb_renderer_ == nullptr && yuv_renderer_ == nullptr) return;
  std::unique_ptr<QuadRenderer> rgb = std::move(rgb_renderer_);
  std::unique_ptr<QuadRenderer> yuv = std::move(yuv_renderer_);
  helper_
      .RunInGlContext([&] {
        if (rgb != nullptr) rgb->GlTeardown();
        if (yuv != nullptr) yuv->GlTeardown();
        rgb.reset();
        yuv.reset();
      })
      .IgnoreError();
}

absl::Status GlScalerCalculator::GetContract(kaldren::CalculatorContract* cc) {
  TagOrIndex(&cc->Inputs(), kVideoTag, 0).Set<GpuBuffer>();
  TagOrIndex(&cc->Outputs(), kVideoTag, 0).Set<GpuBuffer>();
  if (cc->Inputs().HasTag(kRotationTag)) cc->Inputs().Tag(kRotationTag).Set<int>();
  RETURN_IF_ERROR(GlCalculatorHelper::UpdateContract(cc));

  kaldren::PacketTypeSet& side_packets = cc->InputSidePackets();
  if (side_packets.HasTag(kOptionsTag)) {
    side_packets.Tag(kOptionsTag).Set<GlScalerCalculatorOptions>();
  }
  if (HasTagOrIndex(side_packets, kOutputDimensionsTag, 1)) {
    TagOrIndex(&side_packets, kOutputDimensionsTag, 1).Set<DimensionsPacketType>();
  }
  if (side_packets.HasTag(kRotationTag)) side_packets.Tag(kRotationTag).Set<int>();

  // A node with only one of the two is left untyped, which the graph refuses.
  if (cc->Outputs().HasTag(kTopBottomPaddingTag) && cc->Outputs().HasTag(kLeftRightPaddingTag)) {
    cc->Outputs().Tag(kTopBottomPaddingTag).Set<float>();
    cc->Outputs().Tag(kLeftRightPaddingTag).Set<float>();
  }
  return absl::OkStatus();
}

absl::Status GlScalerCalculator::Open(kaldren::CalculatorContext* cc) {
  cc->SetOffset(kaldren::TimestampDiff(int64_t{0}));
  RETURN_IF_ERROR(helper_.Open(cc));

  const kaldren::PacketSet& side_packets = cc->InputSidePackets();
  const GlScalerCalculatorOptions options = kaldren::tool::RetrieveOptions(
      cc->Options<GlScalerCalculatorOptions>(), side_packets, kOptionsTag);

  if (options.has_output_width()) dst_width_ = options.output_width();
  if (options.has_output_height()) dst_height_ = options.output_height();
  flip_vertical_ = options.has_flip_vertical() && options.flip_vertical();
  flip_horizontal_ = options.has_flip_horizontal() && options.flip_horizontal();
  if (options.has_scale_mode()) {
    scale_mode_ = FrameScaleModeFromProto(options.scale_mode(), FrameScaleMode::kStretch);
  }

  if (HasTagOrIndex(side_packets, kOutputDimensionsTag, 1)) {
    const auto& dimensions =
        TagOrIndex(side_packets, kOutputDimensionsTag, 1).Get<DimensionsPacketType>();
    dst_width_ = dimensions[0];
    dst_height_ = dimensions[1];
  }

  int rotation_ccw = 0;
  if (side_packets.HasTag(kRotationTag)) {
    rotation_ccw = side_packets.Tag(kRotationTag).Get<int>();
  } else if (options.has_rotation()) {
    rotation_ccw = options.rotation();
  }
  return FrameRotationFromInt(&rotation_, rotation_ccw);
}

absl::Status GlScalerCalculator::Process(kaldren::CalculatorContext* cc) {
  // A new rotation holds from this timestamp on, also when it comes without a frame.
  if (cc->Inputs().HasTag(kRotationTag)) {
    const kaldren::Packet& rotation = cc->Inputs().Tag(kRotationTag).Value();
    if (!rotation.IsEmpty()) {
      RETURN_IF_ERROR(FrameRotationFromInt(&rotation_, rotation.Get<int>()));
    }
  }
  // Nodes also run for timestamps at which only other inputs have packets.
  const kaldren::Packet& video = TagOrIndex(&cc->Inputs(), kVideoTag, 0).Value();
  if (video.IsEmpty()) return absl::OkStatus();
  if (DrawsUnchanged(video.Get<GpuBuffer>())) {
    // The drawing would copy the frame texel for texel; packets are immutable, so the input
    // buffer itself is the output.
    const GpuBuffer& input = video.Get<GpuBuffer>();
    AddPaddingPackets(cc, input.width(), input.height(), input.width(), input.height());
    TagOrIndex(&cc->Outputs(), kVideoTag, 0).AddPacket(video);
    return absl::OkStatus();
  }
  return helper_.RunInGlContext([this, cc]() -> absl::Status { return ProcessInGlContext(cc); });
}

bool GlScalerCalculator::DrawsUnchanged(const GpuBuffer& input) const {
  if (input.format() != GpuBufferFormat::kFormatBGRA) return false;
  if (rotation_ != FrameRotation::kNone || flip_horizontal_ || flip_vertical_) return false;
  int dst_width = 0;
  int dst_height = 0;
  GetOutputDimensions(input.width(), input.height(), &dst_width, &dst_height);
  return IsTexelExact(input.width(), input.height(), dst_width, dst_height);
}

bool GlScalerCalculator::IsTexelExact(int src_width, int src_height, int dst_width,
                                      int dst_height) const {
  if (IsQuarterTurn(rotation_)) std::swap(src_width, src_height);
  return dst_width == src_width && dst_height == src_height;
}

void GlScalerCalculator::AddPaddingPackets(kaldren::CalculatorContext* cc, int src_width,
                                           int src_height, int dst_width, int dst_height) const {
  if (!HasPaddingOutputs(cc->Outputs())) return;
  float top_bottom = 0.0f;
  float left_right = 0.0f;
  GetOutputPadding(src_width, src_height, dst_width, dst_height, &top_bottom, &left_right);
  cc->Outputs().Tag(kTopBottomPaddingTag).AddPacket(
      kaldren::MakePacket<float>(top_bottom).At(cc->InputTimestamp()));
  cc->Outputs().Tag(kLeftRightPaddingTag).AddPacket(
      kaldren::MakePacket<float>(left_right).At(cc->InputTimestamp()));
}

absl::Status GlScalerCalculator::ProcessInGlContext(kaldren::CalculatorContext* cc) {
  const GpuBuffer& input = TagOrIndex(&cc->Inputs(), kVideoTag, 0).Value().Get<GpuBuffer>();
  RETURN_IF_ERROR(CheckInput(input));

  QuadRenderer* renderer = nullptr;
  GlTexture src1;
  GlTexture src2;
  const GpuBufferFormat format = input.format();
  if (format == GpuBufferFormat::kFormat420v || format == GpuBufferFormat::kFormat420f) {
    if (yuv_renderer_ == nullptr) {
      yuv_renderer_ = std::make_unique<QuadRenderer>();
      RETURN_IF_ERROR(
          yuv_renderer_->GlSetup(kYUV2TexToRGBFragmentShader, {"video_frame_y", "video_frame_uv"}));
    }
    renderer = yuv_renderer_.get();
    src1 = helper_.CreateSourceTexture(input, 0);
    src2 = helper_.CreateSourceTexture(input, 1);
  } else {
    src1 = helper_.CreateSourceTexture(input);
    if (rgb_renderer_ == nullptr) {
      rgb_renderer_ = std::make_unique<QuadRenderer>();
      RETURN_IF_ERROR(rgb_renderer_->GlSetup());
    }
    renderer = rgb_renderer_.get();
  }

  int dst_width = 0;
  int dst_height = 0;
  GetOutputDimensions(src1.width(), src1.height(), &dst_width, &dst_height);
  GLint max_size = 0;
  glGetIntegerv(GL_MAX_TEXTURE_SIZE, &max_size);
  if (dst_width > max_size || dst_height > max_size) {
    return absl::InvalidArgumentError(absl::StrCat("GlScalerCalculator: output ", dst_width,
                                                   " x ", dst_height, " exceeds the GL limit ",
                                                   max_size));
  }

  AddPaddingPackets(cc, src1.width(), src1.height(), dst_width, dst_height);

  GlTexture dst = helper_.CreateDestinationTexture(dst_width, dst_height,
                                                   GpuBufferFormat::kFormatBGRA);
  helper_.BindFramebuffer(dst);
  if (scale_mode_ == FrameScaleMode::kFit) {
    // The pool hands out buffers that still hold older frames; the part the picture leaves
    // uncovered must not show them.
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
  }

  glActiveTexture(GL_TEXTURE1);
  glBindTexture(src1.target(), src1.name());
  if (src2.name() == 0 && IsTexelExact(src1.width(), src1.height(), dst_width, dst_height)) {
    // Every output pixel's centre falls on an input texel's centre, where bilinear filtering
    // gives that texel: the nearest texel is the same picture, and much cheaper to sample on
    // a software rasteriser.
    glTexParameteri(src1.target(), GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(src1.target(), GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  }
  if (src2.name() != 0) {
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(src2.target(), src2.name());
  }

  RETURN_IF_ERROR(renderer->GlRender(static_cast<float>(src1.width()),
                                     static_cast<float>(src1.height()),
                                     static_cast<float>(dst.width()),
                                     static_cast<float>(dst.height()), scale_mode_, rotation_,
                                     flip_horizontal_, flip_vertical_, /*flip_texture=*/false));

  glActiveTexture(GL_TEXTURE1);
  glBindTexture(src1.target(), 0);
  if (src2.name() != 0) {
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(src2.target(), 0);
  }
  glFlush();

  std::unique_ptr<GpuBuffer> output = dst.GetFrame<GpuBuffer>();
  // Releasing the destination is what puts the drawing into the output buffer, which others
  // may read as soon as the packet is out.
  dst.Release();
  src2.Release();
  src1.Release();
  TagOrIndex(&cc->Outputs(), kVideoTag, 0)
      .AddPacket(kaldren::Adopt(output.release()).At(cc->InputTimestamp()));
  return absl::OkStatus();
}

void GlScalerCalculator::GetOutputDimensions(int src_width, int src_height, int* dst_width,
                                             int* dst_height) const {
  if (dst_width_ > 0 && dst_height_ > 0) {
    *dst_width = dst_width_;
    *dst_height = dst_height_;
  } else if (IsQuarterTurn(rotation_)) {
    *dst_width = src_height;
    *dst_height = src_width;
  } else {
    *dst_width = src_width;
    *dst_height = src_height;
  }
}

void GlScalerCalculator::GetOutputPadding(int src_width, int src_height, int dst_width,
                                          int dst_height, float* top_bottom_padding,
                                          float* left_right_padding) const {
  *top_bottom_padding = 0.0f;
  *left_right_padding = 0.0f;
  if (scale_mode_ != FrameScaleMode::kFit) return;
  if (IsQuarterTurn(rotation_)) std::swap(src_width, src_height);
  const float src_aspect = static_cast<float>(src_width) / src_height;
  const float dst_aspect = static_cast<float>(dst_width) / dst_height;
  constexpr float kEpsilon = 1e-5f;
  if (src_aspect - dst_aspect > kEpsilon) {
    // Wider than the output: bands above and below.
    *top_bottom_padding =
        (1.0f - (static_cast<float>(dst_width) / src_width) * src_height / dst_height) * 0.5f;
  } else if (dst_aspect - src_aspect > kEpsilon) {
    // Narrower: bands left and right.
    *left_right_padding =
        (1.0f - (1.0f / dst_width) * src_width / src_height * dst_height) * 0.5f;
  }
}

}  // namespace pellumo

REGISTER_CALCULATOR_WITH_NAME("GlScalerCalculator", ::pellumo::GlScalerCalculator);
