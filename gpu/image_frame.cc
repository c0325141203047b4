#include "gpu/image_frame.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "base/logging.h"

namespace kaldren {
namespace {

using pellumo::ImageFormat;

// Channels and bytes per channel of the formats a frame may have, indexed by value - 1.
// Zero marks the planar formats, which no frame holds.
constexpr int kNumberOfChannels[] = {3, 4, 1, 1, 0, 0, 3, 4, 1, 3, 4};
constexpr int kChannelSize[] = {1, 1, 1, 2, 0, 0, 2, 2, 4, 1, 1};
// Bit (value - 1) is set for each value a frame may have: 1 to 4 and 7 to 11.
constexpr uint32_t kValidFormatMask = 0x7CF;

bool IsFrameFormat(ImageFormat::Format format) {
  const int index = static_cast<int>(format) - 1;
  return index >= 0 && index < 11 && ((kValidFormatMask >> index) & 1) != 0;
}

int TableEntry(const int (&table)[11], ImageFormat::Format format) {
  if (!IsFrameFormat(format)) {
    LOG(FATAL) << ImageFrame::InvalidFormatString(format);
  }
  return table[static_cast<int>(format) - 1];
}

void AlignedFree(uint8_t* data) { free(data); }

// Copies `height` rows of `row_bytes`; one block move when both sides are packed.
void CopyRows(const uint8_t* src, int src_step, uint8_t* dst, int dst_step, int row_bytes,
              int height) {
  if (src_step == row_bytes && dst_step == row_bytes) {
    if (int64_t{height} * row_bytes > 0) memcpy(dst, src, int64_t{height} * row_bytes);
    return;
  }
  for (int row = 0; row < height; ++row) {
    memcpy(dst, src, row_bytes);
    src += src_step;
    dst += dst_step;
  }
}

}  // namespace

const ImageFrame::Deleter ImageFrame::PixelDataDeleter::kArrayDelete = [](uint8_t* data) {
  delete[] data;
};
const ImageFrame::Deleter ImageFrame::PixelDataDeleter::kFree = [](uint8_t* data) { free(data); };
const ImageFrame::Deleter ImageFrame::PixelDataDeleter::kAlignedFree = [](uint8_t* data) {
  AlignedFree(data);
};
const ImageFrame::Deleter ImageFrame::PixelDataDeleter::kNone = [](uint8_t*) {};

ImageFrame::ImageFrame()
    : format_(ImageFormat::UNKNOWN), width_(0), height_(0), width_step_(0),
      pixel_data_(nullptr, PixelDataDeleter::kNone) {}

ImageFrame::ImageFrame(pellumo::ImageFormat_Format format, int width, int height,
                       uint32_t alignment_boundary)
    : ImageFrame() {
  Reset(format, width, height, alignment_boundary);
}

ImageFrame::ImageFrame(pellumo::ImageFormat_Format format, int width, int height)
    : ImageFrame(format, width, height, kDefaultAlignmentBoundary) {}

ImageFrame::ImageFrame(pellumo::ImageFormat_Format format, int width, int height, int width_step,
                       uint8_t* pixel_data, Deleter deleter)
    : ImageFrame() {
  AdoptPixelData(format, width, height, width_step, pixel_data, std::move(deleter));
}

ImageFrame::ImageFrame(ImageFrame&& other) noexcept
    : format_(other.format_), width_(other.width_), height_(other.height_),
      width_step_(other.width_step_), pixel_data_(std::move(other.pixel_data_)) {
  other.format_ = ImageFormat::UNKNOWN;
  other.width_ = 0;
  other.height_ = 0;
  other.width_step_ = 0;
}

ImageFrame& ImageFrame::operator=(ImageFrame&& other) noexcept {
  if (this != &other) {
    pixel_data_ = std::move(other.pixel_data_);  // frees the old data through its deleter
    format_ = std::exchange(other.format_, ImageFormat::UNKNOWN);
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
    width_step_ = std::exchange(other.width_step_, 0);
  }
  return *this;
}

ImageFrame::~ImageFrame() = default;

void ImageFrame::Reset(pellumo::ImageFormat_Format format, int width, int height,
                       uint32_t alignment_boundary) {
  format_ = format;
  width_ = width;
  height_ = height;
  CHECK_NE(ImageFormat::UNKNOWN, format_);
  CHECK(IsValidAlignmentNumber(alignment_boundary));
  // Sizes are worked out in 64 bits so that an absurd width or height ends in the clear
  // allocation failure below rather than in a wrapped-around, too small block.
  int64_t step = int64_t{width} * NumberOfChannels() * ByteDepth();
  if (alignment_boundary != 1 && step > 0) {
    step = ((alignment_boundary - 1) | (step - 1)) + 1;
  }
  const int64_t bytes = step * height;
  const bool size_ok = width >= 0 && height >= 0 && step <= std::numeric_limits<int>::max() &&
                       (height == 0 || step <= std::numeric_limits<int64_t>::max() / height);
  CHECK(size_ok) << "cannot allocate pixel data for a " << width << " x " << height
                 << " image of format " << static_cast<int>(format_);
  width_step_ = static_cast<int>(step);
  // Empty images still get a block, so that "has pixel data" means the frame was allocated.
  const size_t alloc_bytes = std::max<int64_t>(bytes, 1);

  uint8_t* data = nullptr;
  Deleter deleter;
  if (alignment_boundary == 1) {
    data = new (std::nothrow) uint8_t[alloc_bytes];
    deleter = PixelDataDeleter::kArrayDelete;
  } else {
    if (alignment_boundary > 7) {
      void* aligned = nullptr;
      if (posix_memalign(&aligned, alignment_boundary, alloc_bytes) == 0) {
        data = static_cast<uint8_t*>(aligned);
      }
    } else {
      data = static_cast<uint8_t*>(malloc(alloc_bytes));
    }
    deleter = PixelDataDeleter::kAlignedFree;
  }
  CHECK(data != nullptr) << "failed to allocate " << bytes << " bytes of pixel data for a "
                         << width << " x " << height << " image (width step " << width_step_
                         << ", alignment " << alignment_boundary << ")";
  pixel_data_ = OwnedPixelData(data, std::move(deleter));
}

void ImageFrame::AdoptPixelData(pellumo::ImageFormat_Format format, int width, int height,
                                int width_step, uint8_t* pixel_data, Deleter deleter) {
  format_ = format;
  width_ = width;
  height_ = height;
  width_step_ = width_step;
  CHECK_NE(ImageFormat::UNKNOWN, format_);
  CHECK_GE(width_step_, width * NumberOfChannels() * ByteDepth());
  pixel_data_ = OwnedPixelData(pixel_data, std::move(deleter));
}

ImageFrame::OwnedPixelData ImageFrame::Release() {
  return std::exchange(pixel_data_, OwnedPixelData(nullptr, PixelDataDeleter::kNone));
}

void ImageFrame::CopyFrom(const ImageFrame& image_frame, uint32_t alignment_boundary) {
  Reset(image_frame.Format(), image_frame.Width(), image_frame.Height(), alignment_boundary);
  CHECK_EQ(format_, image_frame.Format());
  InternalCopyFrom(image_frame.Width(), image_frame.Height(), image_frame.WidthStep(),
                   image_frame.ChannelSize(), image_frame.PixelData());
}

void ImageFrame::CopyPixelData(pellumo::ImageFormat_Format format, int width, int height,
                               const uint8_t* pixel_data, uint32_t alignment_boundary) {
  CopyPixelData(format, width, height, 0, pixel_data, alignment_boundary);
}

void ImageFrame::CopyPixelData(pellumo::ImageFormat_Format format, int width, int height,
                               int width_step, const uint8_t* pixel_data,
                               uint32_t alignment_boundary) {
  Reset(format, width, height, alignment_boundary);
  InternalCopyFrom(width, height, width_step, ChannelSizeForFormat(format), pixel_data);
}

void ImageFrame::CopyToBuffer(uint8_t* buffer, int buffer_size) const {
  CHECK(buffer);
  CHECK_EQ(1, ByteDepth());
  CopyToBufferOfDepth(1, buffer, buffer_size);
}

void ImageFrame::CopyToBuffer(uint16_t* buffer, int buffer_size) const {
  CHECK(buffer);
  CHECK_EQ(2, ByteDepth());
  CopyToBufferOfDepth(2, reinterpret_cast<uint8_t*>(buffer), buffer_size);
}

void ImageFrame::CopyToBuffer(float* buffer, int buffer_size) const {
  CHECK(buffer);
  CHECK_EQ(4, ByteDepth());
  CopyToBufferOfDepth(4, reinterpret_cast<uint8_t*>(buffer), buffer_size);
}

void ImageFrame::CopyToBufferOfDepth(int element_size, uint8_t* buffer, int buffer_size) const {
  const int64_t data_size = int64_t{width_} * height_ * NumberOfChannels();
  CHECK_LE(data_size, buffer_size);
  CHECK(pixel_data_ || data_size == 0) << "the frame has no pixel data to copy";
  if (IsContiguous()) {
    if (data_size > 0) memmove(buffer, pixel_data_.get(), data_size * element_size);
  } else {
    InternalCopyToBuffer(0, buffer);
  }
}

void ImageFrame::SetToZero() {
  if (pixel_data_ && int64_t{height_} * width_step_ > 0) {
    memset(pixel_data_.get(), 0, int64_t{height_} * width_step_);
  }
}

void ImageFrame::SetAlignmentPaddingAreas() {
  if (!pixel_data_) return;
  CHECK_GE(width_, 1);
  CHECK_GE(height_, 1);
  const int pixel_size = ByteDepth() * NumberOfChannels();
  const int row_bytes = width_ * pixel_size;
  const int padding = width_step_ - row_bytes;
  for (int row = 0; row < height_; ++row) {
    uint8_t* row_start = pixel_data_.get() + int64_t{row} * width_step_;
    const uint8_t* last_pixel = row_start + row_bytes - pixel_size;
    uint8_t* out = row_start + row_bytes;
    int left = padding;
    while (left >= pixel_size) {
      memcpy(out, last_pixel, pixel_size);
      out += pixel_size;
      left -= pixel_size;
    }
    if (left > 0) memset(out, 0, left);
  }
}

int ImageFrame::NumberOfChannels() const { return NumberOfChannelsForFormat(format_); }
int ImageFrame::ChannelSize() const { return ChannelSizeForFormat(format_); }
int ImageFrame::ByteDepth() const { return ByteDepthForFormat(format_); }

bool ImageFrame::IsContiguous() const {
  return pixel_data_ && width_step_ == width_ * NumberOfChannels() * ByteDepth();
}

bool ImageFrame::IsAligned(uint32_t alignment_boundary) const {
  CHECK(IsValidAlignmentNumber(alignment_boundary));
  if (!pixel_data_) return false;
  return reinterpret_cast<uintptr_t>(pixel_data_.get()) % alignment_boundary == 0 &&
         width_step_ % alignment_boundary == 0;
}

bool ImageFrame::IsValidAlignmentNumber(uint32_t alignment_boundary) {
  return alignment_boundary != 0 && (alignment_boundary & (alignment_boundary - 1)) == 0;
}

int ImageFrame::NumberOfChannelsForFormat(pellumo::ImageFormat_Format format) {
  return TableEntry(kNumberOfChannels, format);
}

int ImageFrame::ChannelSizeForFormat(pellumo::ImageFormat_Format format) {
  return TableEntry(kChannelSize, format);
}

int ImageFrame::ByteDepthForFormat(pellumo::ImageFormat_Format format) {
  return TableEntry(kChannelSize, format);
}

std::string ImageFrame::InvalidFormatString(pellumo::ImageFormat_Format format) {
  return "Invalid format.";
}

void ImageFrame::InternalCopyFrom(int width, int height, int src_width_step, int channel_size,
                                  const uint8_t* src) {
  CHECK_EQ(width_, width);
  CHECK_EQ(height_, height);
  const int row_bytes = width * channel_size * NumberOfChannels();
  CopyRows(src, src_width_step == 0 ? row_bytes : src_width_step, pixel_data_.get(), width_step_,
           row_bytes, height);
}

void ImageFrame::InternalCopyToBuffer(int dst_width_step, uint8_t* dst) const {
  const int row_bytes = width_ * ChannelSize() * NumberOfChannels();
  CopyRows(pixel_data_.get(), width_step_, dst, dst_width_step == 0 ? row_bytes : dst_width_step,
           row_bytes, height_);
}

}  // namespace kaldren
