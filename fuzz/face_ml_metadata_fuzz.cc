// Reads arbitrary bytes as face-model metadata: as a whole model file, and as a nested
// "FDMD" or "COMD" buffer on its own. Whatever the lookup accepts goes through the readers
// that the face detector and the landmark runners use: decoders with their anchors, contour
// sets, the input spec, refinement specs, and one refinement merge. Any crash, hang, leak or
// sanitizer report is a fault; refusing the bytes is expected.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/logging.h"
#include "face_ml/landmarks_metadata.h"
#include "face_ml/metadata_loader.h"
#include "face_ml/refine_landmarks.h"
#include "face_ml/zelkor_face_decoder.h"
#include "face_ml/zelkor_face_utils.h"

namespace {

namespace api = research::sorvanti::api;
namespace fb = research::sorvanti::api::fb;
namespace internal = research::sorvanti::api::internal;

void ReadDetector(const fb::FaceDetectorMetadata* metadata) {
  if (metadata == nullptr) return;
  internal::ReadContourSets(metadata->contour_sets());
  const auto [width, height] = internal::GetBestInputTensorWidthAndHeight(
      480, 640, metadata->input_spec());
  auto decoder = internal::MakeZelkorFaceDecoder(*metadata, width, height);
  if (decoder == nullptr) return;
  // Decode the first and last anchors of zero outputs; large outputs are left empty, which
  // the decoder must refuse.
  const bool small = decoder->expected_boxes_output_size() <= (1 << 20);
  std::vector<float> boxes(small ? decoder->expected_boxes_output_size() : 0);
  std::vector<float> scores(small ? decoder->expected_scores_output_size() : 0);
  std::vector<api::Landmark> landmarks;
  api::Bound bound;
  float score;
  for (int i : {0, decoder->num_faces() - 1}) {
    decoder->DecodeScore(scores, i, &score);
    decoder->DecodeBound(boxes, i, &bound);
    decoder->DecodeLandmarks(boxes, i, &landmarks);
  }
}

void ReadContours(const fb::ContoursMetadata* metadata) {
  if (metadata == nullptr) return;
  internal::ReadContourSets(metadata->contour_sets());
  const internal::LandmarksInputSpec spec = internal::ReadLandmarksInputSpecFromMetadata(metadata);
  spec.UpdateROI({50, 50, 100, 100, 0}, 192, 256);
  std::vector<internal::RefinementSpec> specs;
  internal::ReadRefinementSpecFromMetadata(metadata, &specs);
}

// The base runner gives 468 landmarks; each refinement model gives `count` of them.
class FixedRunner : public api::internal::LandmarksRunner {
 public:
  explicit FixedRunner(size_t count) : count_(count) {}
  bool Run(api::utils::RotatedRect, std::vector<api::Landmark>* landmarks,
           bool* has_face) override {
    landmarks->assign(count_, api::Landmark{0.5f, 0.5f, 0.1f});
    *has_face = true;
    return true;
  }
  bool GetBound(const std::vector<api::Landmark>&, api::Bound* bound,
                api::utils::RotatedRect* roi) const override {
    *bound = {0, 0, 1, 1};
    *roi = {50, 50, 100, 100, 0};
    return true;
  }

 private:
  size_t count_;
};

void Refine(absl::Span<const uint8_t> model_file, size_t output_count) {
  auto runner = internal::MakeRefineLandmarksRunner(
      std::make_unique<FixedRunner>(468), {model_file},
      [output_count](absl::Span<const uint8_t>, const fb::ContoursMetadata*, bool) {
        return std::make_unique<FixedRunner>(output_count);
      });
  if (runner == nullptr) return;
  std::vector<api::Landmark> landmarks;
  bool has_face;
  runner->Run({}, &landmarks, &has_face);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Refusals are logged at ERROR; keep the fuzzer's output readable.
  absl::SetFlag(&FLAGS_minloglevel, 3);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Flat buffers are read in place: give them the alignment a loaded file has.
  const std::vector<uint8_t> bytes(data + 1, data + size);
  const uint8_t mode = data[0];
  if (mode % 2 == 0) {
    ReadDetector(api::LoadMetadataFromModelFile<fb::FaceDetectorMetadata>(bytes, "FDMD"));
    ReadContours(api::LoadMetadataFromModelFile<fb::ContoursMetadata>(bytes, "COMD"));
    ReadContours(api::LoadMetadataFromModelFile<fb::ContoursMetadata>(bytes, nullptr));
    Refine(bytes, mode / 2);
  } else {
    ReadDetector(
        internal::ReadNestedMetadata<fb::FaceDetectorMetadata>(bytes.data(), bytes.size(), "FDMD"));
    ReadContours(internal::ReadNestedMetadata<fb::ContoursMetadata>(bytes.data(), bytes.size(),
                                                                    nullptr));
  }
  return 0;
}
