// Camera frames drawn for tests and demos: a bright face-like patch, with darker eyes and mouth,
// on a dark background, moving from left to right and back across the middle of the frame. The
// patch's outline is the one the generated face models are made to find, so a face session
// tracks it.
//
//   face_sdk_testing::GeneratedFrames frames(640, 480, /*count=*/90);
//   std::string error;
//   CFHolder<CVPixelBufferRef> frame = frames.frame(0, &error);   // 32-bit BGRA
//   double x, y;
//   frames.patchCenter(0, &x, &y);                                 // where the face is
#ifndef FACE_SDK_TESTING_GENERATED_FRAMES_H_
#define FACE_SDK_TESTING_GENERATED_FRAMES_H_

#include <cstddef>
#include <string>

#include "gpu/cf_holder.h"
#include "platform/corevideo/pixel_buffer.h"

namespace face_sdk_testing {

// `count` frames of `width` x `height`; the patch is half the frame high.
class GeneratedFrames {
 public:
  GeneratedFrames(size_t width, size_t height, size_t count)
      : width_(width), height_(height), count_(count) {}

  size_t count() const { return count_; }
  // "frame_NNNN", the frame's index in four or more digits.
  std::string name(size_t index) const;
  // Frame `index` as a new BGRA pixel buffer; empty, with `error` set, when no buffer can be
  // made.
  CFHolder<CVPixelBufferRef> frame(size_t index, std::string* error) const;

  // The centre of the face patch in frame `index`, in pixels.
  void patchCenter(size_t index, double* x, double* y) const;

 private:
  size_t width_;
  size_t height_;
  size_t count_;
};

}  // namespace face_sdk_testing

#endif  // FACE_SDK_TESTING_GENERATED_FRAMES_H_
