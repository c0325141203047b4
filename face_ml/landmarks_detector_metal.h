// The landmarks front end: every tracked face of a camera frame with its dense landmarks.
//
//   std::unique_ptr<LandmarksDetector<MetalRGBABufferFrame>> detector =
//       MakeLandmarksDetectorMetal(device, landmark_model, face_detector_model, options);
//   if (detector == nullptr) ...                 // the reason was logged
//   LandmarksDetectionResult result;
//   detector->Detect(frame, &result);            // false on failure (logged)
//
// Inside, the landmarks pipeline (face_ml/landmarks_pipeline.h) asks the face detector
// (face_ml/zelkor_face_detector_metal.h) for regions when it needs them and runs the landmark
// model on a rotated crop per face. Landmarks can be refined in two ways: by refinement models
// run per face inside the pipeline (face_ml/refine_landmarks.h), or by a second, complete
// detector on regions around the first result's lips (RefineLandmarksDetector, one face only).
//
// Model arguments are the bytes of model files and are not copied. The face-detector model's
// bytes must stay valid and unchanged for the detector's lifetime (the face detector keeps
// pointers into them); landmark and refinement model bytes are read only while the factory
// runs. Factories return null on failure, with the reason logged. A detector, with everything
// it owns, is used by one thread at a time.

#ifndef FACE_ML_LANDMARKS_DETECTOR_METAL_H_
#define FACE_ML_LANDMARKS_DETECTOR_METAL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "absl/types/span.h"
#include "base/status.h"
#include "base/status_macros.h"
#include "base/statusor.h"
#include "face_ml/contours_metadata_generated.h"
#include "face_ml/interfaces.h"
#include "face_ml/landmarks_pipeline.h"
#include "face_ml/types.h"
#include "platform/metal/device.h"
#include "tflite/gpu/shape.h"
#include "tflite/schema_generated.h"

namespace research {
namespace sorvanti {
namespace api {

using MetalFrameDetector = LandmarksDetector<MetalRGBABufferFrame>;
using MetalFrameObjectDetector = ObjectDetector<MetalRGBABufferFrame>;

namespace internal {

// Makes the landmark runner of one model (its table and "COMD" metadata, both outliving the
// call only while the factory runs) over the detector's frame record; `flip` mirrors its crop.
using LandmarkRunnerFactory = std::function<util::StatusOr<std::unique_ptr<LandmarksRunner>>(
    const tflite::Model* model, const fb::ContoursMetadata* metadata, bool flip,
    const MetalRGBABufferFrame* frame)>;

// The landmark runner of one model on `device`: its metadata gives the landmark count and
// dimensions, the crop preparation and the landmarks that orient the next crop (swapped when
// `flip`). Fails when the compiled model does not fit the metadata (see below).
util::StatusOr<std::unique_ptr<LandmarksRunner>> MakeRunnerFromFb(
    const std::shared_ptr<MTLDevice>& device, const tflite::Model* model,
    const fb::ContoursMetadata* metadata, bool flip, const MetalRGBABufferFrame* frame);

// Checks that a compiled landmark model fits its metadata: one 3-channel input, a first
// output of `n_dimensions` * `points_number` channels and, when present, a second output of
// one value (the face presence). `Runner` has GetInputs() and GetOutputs() of tensors with
// GetShape().
template <typename Runner>
absl::Status CheckLandmarkModelTensors(const Runner* metal_runner, int n_dimensions,
                                       int points_number) {
  RET_CHECK_EQ(1, metal_runner->GetInputs().size());
  RET_CHECK_EQ(3, metal_runner->GetInputs()[0].GetShape().c);
  RET_CHECK(!metal_runner->GetOutputs().empty()) << "Expecting at least one output";
  const ::tflite::gpu::BHWC expected_points(1, 1, 1, n_dimensions * points_number);
  RET_CHECK(::tflite::gpu::BHWC(1, 1, 1, n_dimensions * points_number) ==
            metal_runner->GetOutputs()[0].GetShape())
      << "Invalid points output, actual: "
      << ::tflite::gpu::ToString(metal_runner->GetOutputs()[0].GetShape())
      << ", expected: " << ::tflite::gpu::ToString(expected_points);
  if (metal_runner->GetOutputs().size() > 1) {
    RET_CHECK(::tflite::gpu::BHWC(1, 1, 1, 1) == metal_runner->GetOutputs()[1].GetShape())
        << "Invalid has_face output, actual: "
        << ::tflite::gpu::ToString(metal_runner->GetOutputs()[1].GetShape())
        << ", expected: " << ::tflite::gpu::ToString(::tflite::gpu::BHWC(1, 1, 1, 1));
  }
  return absl::OkStatus();
}

// The regions of the current frame: the object detector run on it.
class RoiSourceFromObjectDetector : public LandmarksROISource {
 public:
  RoiSourceFromObjectDetector(std::unique_ptr<MetalFrameObjectDetector> detector,
                              const MetalRGBABufferFrame* frame)
      : detector_(std::move(detector)), frame_(frame) {}
  bool GetROIs(std::vector<utils::RectAndBound>* rois) const override {
    return detector_->Detect(*frame_, rois);
  }

 private:
  std::unique_ptr<MetalFrameObjectDetector> detector_;
  const MetalRGBABufferFrame* frame_;
};

// The face detector's faces as regions: each face's rect, oriented along its first two key
// points.
class ObjectDetectorFromZelkorFace : public MetalFrameObjectDetector {
 public:
  explicit ObjectDetectorFromZelkorFace(std::unique_ptr<MetalFrameDetector> face_detector)
      : face_detector_(std::move(face_detector)) {}
  bool Detect(const MetalRGBABufferFrame& frame, std::vector<utils::RectAndBound>* rois) override;

 private:
  std::unique_ptr<MetalFrameDetector> face_detector_;
};

// Hands out a list that someone else fills, whatever the frame.
class ForwardObjectDetector : public MetalFrameObjectDetector {
 public:
  explicit ForwardObjectDetector(const std::vector<utils::RectAndBound>* rois) : rois_(rois) {}
  bool Detect(const MetalRGBABufferFrame& frame, std::vector<utils::RectAndBound>* rois) override;

 private:
  const std::vector<utils::RectAndBound>* rois_;
};

}  // namespace internal

// The landmarks pipeline over a landmark runner, fed by an object detector.
class LandmarksDetectorMetal : public MetalFrameDetector {
 public:
  // Reads the landmark model's metadata, makes its runner with `make_runner` (and, with
  // refinement models, the refinement runner around it) and the pipeline. The error names the
  // first failure.
  static util::StatusOr<std::unique_ptr<LandmarksDetectorMetal>> Make(
      absl::Span<const char> model_data, absl::Span<const absl::Span<const char>> refinement_models,
      std::unique_ptr<MetalFrameObjectDetector> object_detector, const LandmarksOptions& options,
      const internal::LandmarkRunnerFactory& make_runner);

  LandmarksDetectorMetal(std::vector<ContourSet> contour_sets, int32_t n_dimensions,
                         bool output_face_ids,
                         std::unique_ptr<internal::LandmarksPipeline> pipeline,
                         std::unique_ptr<MetalRGBABufferFrame> frame);

  // The faces' landmark ranges are adjacent and in face order; face ids are -1 unless the
  // options asked for them.
  bool Detect(const MetalRGBABufferFrame& frame, LandmarksDetectionResult* result) override;
  std::vector<ContourSet> GetContoursSets() const override { return contour_sets_; }
  int GetNDimensions() const override { return n_dimensions_; }
  // Resets the landmarks pipeline's tracking; the face detector keeps its own.
  void StartNewSequence() override { pipeline_->Reset(); }

 private:
  std::vector<ContourSet> contour_sets_;
  int32_t n_dimensions_;
  bool output_face_ids_;
  std::unique_ptr<internal::LandmarksPipeline> pipeline_;
  std::unique_ptr<MetalRGBABufferFrame> frame_;  // read by the region source and the runners
};

// A base detector whose faces' lips landmarks are replaced by those of a second detector run
// on regions around them.
class RefineLandmarksDetector : public MetalFrameDetector {
 public:
  // Makes the refine detector over an object detector that forwards the regions taken from
  // the base result. Null, dropping `base`, when `make_refine_detector` gives null.
  static std::unique_ptr<RefineLandmarksDetector> Make(
      std::unique_ptr<MetalFrameDetector> base,
      const std::function<std::unique_ptr<MetalFrameDetector>(
          std::unique_ptr<MetalFrameObjectDetector>)>& make_refine_detector);

  bool Detect(const MetalRGBABufferFrame& frame, LandmarksDetectionResult* result) override;
  std::vector<ContourSet> GetContoursSets() const override { return base_->GetContoursSets(); }
  int GetNDimensions() const override { return base_->GetNDimensions(); }
  void StartNewSequence() override;

 private:
  RefineLandmarksDetector(std::unique_ptr<MetalFrameDetector> base,
                          std::unique_ptr<MetalFrameDetector> refine,
                          std::unique_ptr<std::vector<utils::RectAndBound>> rois)
      : base_(std::move(base)), refine_(std::move(refine)), rois_(std::move(rois)) {}

  std::unique_ptr<MetalFrameDetector> base_;
  std::unique_ptr<MetalFrameDetector> refine_;
  std::unique_ptr<std::vector<utils::RectAndBound>> rois_;  // read by refine_'s forwarder
};

// The face detector of `model` (tracking off, default filter, at most `num_faces` faces) as an
// object detector; null on failure ("Failed to initialize zelkor face").
std::unique_ptr<MetalFrameObjectDetector> MakeObjectDetectorFromZelkorFaceModelData(
    const std::shared_ptr<MTLDevice>& device, absl::Span<const char> model, int32_t num_faces);

// A landmarks detector over a new face detector.
std::unique_ptr<MetalFrameDetector> MakeLandmarksDetectorMetal(
    const std::shared_ptr<MTLDevice>& device, absl::Span<const char> landmark_model,
    absl::Span<const char> face_detector_model, const LandmarksOptions& options);

// A landmarks detector over the given object detector, without refinement models.
std::unique_ptr<MetalFrameDetector> MakeLandmarksDetectorMetal(
    const std::shared_ptr<MTLDevice>& device, absl::Span<const char> landmark_model,
    std::unique_ptr<MetalFrameObjectDetector> object_detector, const LandmarksOptions& options);

// The first form refined by a second detector on `refinement_model` (a RefineLandmarksDetector);
// only for one face ("Only one face is supported for refined detector right now").
std::unique_ptr<MetalFrameDetector> MakeLandmarksDetectorWithRefinementMetal(
    const std::shared_ptr<MTLDevice>& device, absl::Span<const char> landmark_model,
    absl::Span<const char> face_detector_model, absl::Span<const char> refinement_model,
    const LandmarksOptions& options);

// A landmarks detector whose landmark runner also runs `refinement_models` per face.
std::unique_ptr<MetalFrameDetector> MakeLandmarksDetectorWithRefinementMetal(
    const std::shared_ptr<MTLDevice>& device, absl::Span<const char> landmark_model,
    absl::Span<const char> face_detector_model,
    absl::Span<const absl::Span<const char>> refinement_models, const LandmarksOptions& options);

}  // namespace api
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_LANDMARKS_DETECTOR_METAL_H_
