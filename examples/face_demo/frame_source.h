// Where the demo's camera frames come from: frames drawn here (a bright face-like patch moving
// across a dark room) or the PNG files of a folder, in file-name order.
//
//   std::string error;
//   std::unique_ptr<FrameSource> source = PngFolderFrames::Open("shots/", &error);
//   if (!source) { std::cerr << error << "\n"; return 1; }
//   for (size_t i = 0; i < source->count(); ++i) {
//     CFHolder<CVPixelBufferRef> frame = source->frame(i, &error);   // empty on a bad file
//   }
//
// Frames are 32-bit BGRA pixel buffers; every frame of a source has the same size.
#ifndef EXAMPLES_FACE_DEMO_FRAME_SOURCE_H_
#define EXAMPLES_FACE_DEMO_FRAME_SOURCE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "face_sdk/testing/generated_frames.h"
#include "gpu/cf_holder.h"
#include "platform/corevideo/pixel_buffer.h"

namespace face_demo {

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  virtual size_t count() const = 0;
  // A short name of frame `index` for messages and output files.
  virtual std::string name(size_t index) const = 0;
  // Frame `index` (below count()); empty, with `error` set, when it cannot be had.
  virtual CFHolder<CVPixelBufferRef> frame(size_t index, std::string* error) const = 0;
};

// `count` frames of `width` x `height`: a bright face-like patch half the frame high, with
// darker eyes and mouth, on a dark background, moving from left to right and back across the
// middle of the frame (face_sdk/testing/generated_frames.h draws them).
class GeneratedFrames : public FrameSource {
 public:
  GeneratedFrames(size_t width, size_t height, size_t count) : frames_(width, height, count) {}

  size_t count() const override { return frames_.count(); }
  std::string name(size_t index) const override { return frames_.name(index); }
  CFHolder<CVPixelBufferRef> frame(size_t index, std::string* error) const override {
    return frames_.frame(index, error);
  }

  // The centre of the face patch in frame `index`, in pixels.
  void patchCenter(size_t index, double* x, double* y) const {
    frames_.patchCenter(index, x, y);
  }

 private:
  face_sdk_testing::GeneratedFrames frames_;
};

// The "*.png" files of one folder (not its sub-folders), sorted by name. The first file sets
// the frame size; a later file of another size is refused when it is read.
class PngFolderFrames : public FrameSource {
 public:
  // Null, with `error` set, when the folder does not exist or holds no PNG file, or its first
  // file cannot be read.
  static std::unique_ptr<PngFolderFrames> Open(const std::string& folder, std::string* error);

  size_t count() const override { return paths_.size(); }
  std::string name(size_t index) const override;
  CFHolder<CVPixelBufferRef> frame(size_t index, std::string* error) const override;

  size_t width() const { return width_; }
  size_t height() const { return height_; }

 private:
  PngFolderFrames(std::vector<std::string> paths, size_t width, size_t height)
      : paths_(std::move(paths)), width_(width), height_(height) {}

  std::vector<std::string> paths_;
  size_t width_;
  size_t height_;
};

}  // namespace face_demo

#endif  // EXAMPLES_FACE_DEMO_FRAME_SOURCE_H_
