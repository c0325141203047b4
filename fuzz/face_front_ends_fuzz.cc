// Reads arbitrary bytes as a face model file and hands them to the front-end factories: as a
// face-detector model ("FDMD" metadata lookup, verification, the detector pipeline) and as a
// landmark model ("COMD" metadata, the compiled model's tensor checks). Whatever the
// factories accept detects once on a small synthetic frame with a bright patch: the face
// detector on the whole frame, the landmarks detector in one fixed region. A landmark model
// that is accepted also runs as a refinement model of the generated face mesh. Any crash,
// hang, leak or sanitizer report is a fault; refusing the model is expected.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/logging.h"
#include "face_ml/landmarks_detector_metal.h"
#include "face_ml/zelkor_face_detector_metal.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/metal/device.h"
#include "tools/face_models/landmark_models.h"

namespace {

namespace api = research::sorvanti::api;

constexpr int kWidth = 48;
constexpr int kHeight = 64;

// A dark BGRA frame with a bright upright patch in its middle, made once.
class PatchFrame {
 public:
  PatchFrame() {
    CVPixelBufferCreate(kCFAllocatorDefault, kWidth, kHeight, kCVPixelFormatType_32BGRA, nullptr,
                        &buffer_);
    CVPixelBufferLockBaseAddress(buffer_, 0);
    auto* base = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(buffer_));
    const size_t row = CVPixelBufferGetBytesPerRow(buffer_);
    std::memset(base, 16, row * kHeight);
    for (int y = kHeight / 4; y < kHeight * 3 / 4; ++y) {
      std::memset(base + y * row + kWidth / 4 * 4, 230, kWidth / 2 * 4);
    }
    CVPixelBufferUnlockBaseAddress(buffer_, 0);
    frame_.width = kWidth;
    frame_.height = kHeight;
    frame_.pixel_buffer = buffer_;
    frame_.timestamp = absl::Milliseconds(33);
  }
  const api::MetalRGBABufferFrame& frame() const { return frame_; }

 private:
  CVPixelBufferRef buffer_ = nullptr;
  api::MetalRGBABufferFrame frame_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Refusals are logged at ERROR; keep the fuzzer's output readable.
  absl::SetFlag(&FLAGS_minloglevel, 3);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::shared_ptr<MTLDevice> device = MTLCreateSystemDefaultDevice();
  static const PatchFrame* const patch = new PatchFrame;
  // Flat buffers are read in place: a copy has the alignment of a loaded file and exactly
  // `size` bytes, for the sanitizers. The detector keeps pointers into it while it lives.
  const std::vector<char> bytes(data, data + size);
  const absl::Span<const char> model(bytes.data(), bytes.size());

  api::ZelkorFaceOptions detector_options;
  detector_options.max_num_faces = 2;
  if (auto detector = api::MakeZelkorFaceMetal(device, detector_options, model)) {
    api::LandmarksDetectionResult result;
    detector->Detect(patch->frame(), &result);
  }

  // One region around the patch, handed out whatever the frame.
  static const std::vector<api::utils::RectAndBound>* const rois =
      new std::vector<api::utils::RectAndBound>{
          {{kWidth / 2.0f, kHeight / 2.0f, kWidth / 2.0f, kHeight / 2.0f, 0},
           {0.25f, 0.25f, 0.75f, 0.75f},
           absl::Milliseconds(33)}};
  auto landmarks = api::MakeLandmarksDetectorMetal(
      device, model, std::make_unique<api::internal::ForwardObjectDetector>(rois),
      api::LandmarksOptions{});
  if (landmarks == nullptr) return 0;
  api::LandmarksDetectionResult result;
  landmarks->Detect(patch->frame(), &result);

  static const std::vector<uint8_t>* const face_mesh =
      new std::vector<uint8_t>(tools::face_models::MakeFaceMeshModel(false));
  const absl::Span<const char> refinement[] = {model};
  auto refined = api::LandmarksDetectorMetal::Make(
      absl::Span<const char>(reinterpret_cast<const char*>(face_mesh->data()), face_mesh->size()),
      refinement, std::make_unique<api::internal::ForwardObjectDetector>(rois),
      api::LandmarksOptions{},
      [](const tflite::Model* m, const api::fb::ContoursMetadata* metadata, bool flip,
         const api::MetalRGBABufferFrame* frame) {
        return api::internal::MakeRunnerFromFb(device, m, metadata, flip, frame);
      });
  if (refined.ok()) (*refined)->Detect(patch->frame(), &result);
  return 0;
}
