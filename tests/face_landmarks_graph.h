// What the landmarks-node tests and benchmark share: camera frames with the face-like patch
// the generated models see, and the one-node graph around "LandmarksDetectorCalculatorMetal".

#ifndef TESTS_FACE_LANDMARKS_GRAPH_H_
#define TESTS_FACE_LANDMARKS_GRAPH_H_

#include <cstdint>
#include <cstring>

#include "face_ml/landmarks_detector_calculator.pb.h"
#include "gpu/gpu_buffer.h"
#include "graph_config/calculator.pb.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/corevideo/pixel_format.h"
#include "tools/face_models/face_layout.h"

namespace quillmere_testing {

// A BGRA frame, dark, with the bright face-like patch when `patch` is not null.
inline pellumo::GpuBuffer MakeFacePatchFrame(int width, int height,
                                             const tools::face_models::FacePatch* patch) {
  CVPixelBufferRef buffer = nullptr;
  CVPixelBufferCreate(kCFAllocatorDefault, width, height, kCVPixelFormatType_32BGRA, nullptr,
                      &buffer);
  CVPixelBufferLockBaseAddress(buffer, 0);
  auto* base = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(buffer));
  const size_t stride = CVPixelBufferGetBytesPerRow(buffer);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = base + y * stride;
    for (int x = 0; x < width; ++x) {
      const bool inside = patch != nullptr && tools::face_models::InsideFacePatch(*patch, x, y);
      std::memset(row + 4 * x, inside ? 230 : 20, 3);
      row[4 * x + 3] = 255;
    }
  }
  CVPixelBufferUnlockBaseAddress(buffer, 0);
  pellumo::GpuBuffer frame(buffer);
  CVPixelBufferRelease(buffer);
  return frame;
}

// "input_video" (GpuBuffer) -> LandmarksDetectorCalculatorMetal -> "faces".
inline pellumo::CalculatorGraphConfig LandmarksNodeGraph(
    const pellumo::sorvanti::LandmarksDetectorCalculatorOptions& options) {
  pellumo::CalculatorGraphConfig config;
  config.add_input_stream("input_video");
  auto* node = config.add_node();
  node->set_calculator("LandmarksDetectorCalculatorMetal");
  node->add_input_stream("INPUT:input_video");
  node->add_output_stream("FACES:faces");
  *node->mutable_options()->MutableExtension(
      pellumo::sorvanti::LandmarksDetectorCalculatorOptions::ext) = options;
  return config;
}

}  // namespace quillmere_testing

#endif  // TESTS_FACE_LANDMARKS_GRAPH_H_
