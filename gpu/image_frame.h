// kaldren::ImageFrame: an image in CPU memory.
//
// A frame has a format (pellumo::ImageFormat_Format), a width and a height in pixels, a
// width step (bytes from the start of one row to the start of the next) and a block of pixel
// data that it owns through a deleter:
//
//   kaldren::ImageFrame frame(pellumo::ImageFormat::RGB8, 5, 2);   // rows padded to 16 bytes
//   frame.WidthStep();                       // 16: 5 x 3 bytes rounded up to the boundary
//   uint8_t* row1 = frame.MutablePixelData() + frame.WidthStep();
//   frame.SetAlignmentPaddingAreas();        // padding repeats each row's last pixel
//
//   // Wrap memory someone else owns, without a copy:
//   kaldren::ImageFrame view(pellumo::ImageFormat::GRAY8, w, h, bytes_per_row, data,
//                            kaldren::ImageFrame::PixelDataDeleter::kNone);
//
// Allocated rows start on the alignment boundary (16 bytes unless asked otherwise) and their
// width step is a multiple of it; with boundary 1 rows are packed. Pixel contents are not
// initialised. Frames move but do not copy; `CopyFrom` makes a deep copy.
//
// Misuse is fatal (a failed CHECK): a format that no frame may have (UNKNOWN, the planar
// ones, anything unknown), an alignment that is not a power of two, a width step too small
// for the width, mismatched sizes in copies, the wrong element width or too small a buffer
// in CopyToBuffer. Pixel memory that cannot be allocated is fatal too, with a message that
// names the size asked for.

#ifndef GPU_IMAGE_FRAME_H_
#define GPU_IMAGE_FRAME_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// pellumo::ImageFormat_Format (also spelled pellumo::ImageFormat::Format).
#include "gpu/image_format.pb.h"

namespace kaldren {

class ImageFrame {
 public:
  // Frees the pixel data of a frame; called once with the data pointer.
  using Deleter = std::function<void(uint8_t*)>;
  // The deleters for the usual kinds of memory.
  struct PixelDataDeleter {
    static const Deleter kArrayDelete;  // memory from new[]
    static const Deleter kFree;         // memory from malloc
    static const Deleter kAlignedFree;  // memory from posix_memalign
    static const Deleter kNone;         // memory that belongs to someone else
  };
  // Pixel data together with the deleter that frees it.
  using OwnedPixelData = std::unique_ptr<uint8_t[], Deleter>;

  static constexpr uint32_t kDefaultAlignmentBoundary = 16;
  static constexpr uint32_t kGlDefaultAlignmentBoundary = 4;

  // An empty frame: format UNKNOWN, size 0 x 0, width step 0, no pixel data.
  ImageFrame();
  // A frame with fresh, uninitialised pixel data (see Reset).
  ImageFrame(pellumo::ImageFormat_Format format, int width, int height,
             uint32_t alignment_boundary);
  ImageFrame(pellumo::ImageFormat_Format format, int width, int height);
  // A frame over caller memory (see AdoptPixelData).
  ImageFrame(pellumo::ImageFormat_Format format, int width, int height, int width_step,
             uint8_t* pixel_data, Deleter deleter);

  ImageFrame(ImageFrame&& other) noexcept;
  ImageFrame& operator=(ImageFrame&& other) noexcept;
  ImageFrame(const ImageFrame&) = delete;
  ImageFrame& operator=(const ImageFrame&) = delete;
  ~ImageFrame();

  // Replaces the pixel data with a fresh block for `format`, `width` x `height`, rows aligned
  // to `alignment_boundary` (a power of two; 1 packs the rows).
  void Reset(pellumo::ImageFormat_Format format, int width, int height,
             uint32_t alignment_boundary);
  // Takes `pixel_data` with `deleter` in place of the current data. `width_step` must hold a
  // row of pixels.
  void AdoptPixelData(pellumo::ImageFormat_Format format, int width, int height, int width_step,
                      uint8_t* pixel_data, Deleter deleter);
  // Hands the pixel data and its deleter to the caller; format, size and width step stay.
  OwnedPixelData Release();

  // Deep copy of `image_frame` with rows aligned to `alignment_boundary`.
  void CopyFrom(const ImageFrame& image_frame, uint32_t alignment_boundary);
  // Reset, then copy rows from `pixel_data`, which are `width_step` bytes apart (0: packed).
  void CopyPixelData(pellumo::ImageFormat_Format format, int width, int height,
                     const uint8_t* pixel_data, uint32_t alignment_boundary);
  void CopyPixelData(pellumo::ImageFormat_Format format, int width, int height, int width_step,
                     const uint8_t* pixel_data, uint32_t alignment_boundary);
  // Copies the pixels, rows packed, into `buffer` of `buffer_size` elements. The element width
  // must equal the format's bytes per channel.
  void CopyToBuffer(uint8_t* buffer, int buffer_size) const;
  void CopyToBuffer(uint16_t* buffer, int buffer_size) const;
  void CopyToBuffer(float* buffer, int buffer_size) const;

  // Zeroes every byte of the pixel data, padding included.
  void SetToZero();
  // Fills each row's padding with copies of the row's last pixel while a whole pixel fits,
  // and zeroes the bytes left over.
  void SetAlignmentPaddingAreas();

  pellumo::ImageFormat_Format Format() const { return format_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  int WidthStep() const { return width_step_; }
  const uint8_t* PixelData() const { return pixel_data_.get(); }
  uint8_t* MutablePixelData() { return pixel_data_.get(); }

  int NumberOfChannels() const;
  int ChannelSize() const;
  int ByteDepth() const;
  // There is pixel data and the rows are packed.
  bool IsContiguous() const;
  // There is pixel data, and its address and the width step are multiples of the boundary.
  bool IsAligned(uint32_t alignment_boundary) const;

  // Exactly one bit of `alignment_boundary` is set.
  static bool IsValidAlignmentNumber(uint32_t alignment_boundary);
  // Per-format tables; a format no frame may have is fatal.
  static int NumberOfChannelsForFormat(pellumo::ImageFormat_Format format);
  static int ChannelSizeForFormat(pellumo::ImageFormat_Format format);
  static int ByteDepthForFormat(pellumo::ImageFormat_Format format);
  static std::string InvalidFormatString(pellumo::ImageFormat_Format format);

 private:
  // Copies rows of `width` x `height` pixels from `src` (rows `src_width_step` bytes apart,
  // 0 for packed) into this frame.
  void InternalCopyFrom(int width, int height, int src_width_step, int channel_size,
                        const uint8_t* src);
  // Copies this frame's rows, packed, to `dst`.
  void InternalCopyToBuffer(int dst_width_step, uint8_t* dst) const;
  // Shared body of the CopyToBuffer overloads.
  void CopyToBufferOfDepth(int element_size, uint8_t* buffer, int buffer_size) const;

  pellumo::ImageFormat_Format format_;
  int width_;
  int height_;
  int width_step_;
  OwnedPixelData pixel_data_;
};

}  // namespace kaldren

#endif  // GPU_IMAGE_FRAME_H_
