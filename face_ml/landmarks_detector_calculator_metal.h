// The face graph's landmarks node: camera frames in, the faces seen in each frame out.
//
// Registered as "LandmarksDetectorCalculatorMetal" and "LandmarksDetectorCalculatorGPU" (the
// same class). Its options are the extension LandmarksDetectorCalculatorOptions::ext:
//
//   node {
//     calculator: "LandmarksDetectorCalculatorMetal"
//     input_stream: "INPUT:input_video"            # pellumo::GpuBuffer
//     input_stream: "INPUT_ROTATION:rotation"      # optional int, a multiple of 90
//     input_stream: "SEQUENCE_ID:sequence"         # optional int, never decreasing
//     output_stream: "FACES:faces"                 # std::vector<pellumo::sorvanti::Face>
//     output_stream: "METADATA:face_metadata"      # optional FaceResultMetadata, sent once
//     options { [pellumo.sorvanti.LandmarksDetectorCalculatorOptions.ext] {
//       landmarks_model_path: "face_landmark.tflite"
//       face_detector_model_path: "face_detector.tflite"
//       init_mode: ASYNC
//     } }
//   }
//
// The node builds its detector from the model files on the loader's thread (see
// face_ml/async_loader.h), or borrows one from the detector cache service (see
// face_ml/detector_cache.h). Until the detector is there, a frame only moves the "FACES" bound
// past its timestamp; afterwards every frame gets exactly one "FACES" packet, an empty vector
// when no face is seen. A timestamp without an "INPUT" packet gets no "FACES" packet either,
// only the bound.

#ifndef FACE_ML_LANDMARKS_DETECTOR_CALCULATOR_METAL_H_
#define FACE_ML_LANDMARKS_DETECTOR_CALCULATOR_METAL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "absl/types/span.h"
#include "base/status.h"
#include "face_ml/detector_cache.h"
#include "face_ml/face_utils.h"
#include "face_ml/interfaces.h"
#include "gpu/pellumo_metal_helper.h"
#include "graph/legacy_calculator.h"
#include "graph/packet_type.h"
#include "graph_config/calculator_options.pb.h"
#include "platform/metal/metal.h"

namespace pellumo {
namespace sorvanti {

using FaceLandmarksDetector =
    research::sorvanti::api::LandmarksDetector<research::sorvanti::api::MetalRGBABufferFrame>;

// The payload of "METADATA": how the detector's landmarks form contours.
struct FaceResultMetadata {
  ContourList contours;
  int32_t n_dimensions = 0;  // coordinates per landmark the detector produces
};

// The factories of the landmarks front end the node builds its detector with. Model arguments
// are the bytes of the model files; each factory answers null on failure (logged).
struct LandmarksFrontEnd {
  using ModelData = absl::Span<const char>;
  using Options = research::sorvanti::api::LandmarksOptions;
  using Device = std::shared_ptr<MTLDevice>;

  // Landmark model, face-detector model.
  std::function<std::unique_ptr<FaceLandmarksDetector>(Device, ModelData, ModelData,
                                                       const Options&)>
      make_detector;
  // Landmark model, face-detector model, the single refine detector's model.
  std::function<std::unique_ptr<FaceLandmarksDetector>(Device, ModelData, ModelData, ModelData,
                                                       const Options&)>
      make_with_refine_detector;
  // Landmark model, face-detector model, refinement models run per face.
  std::function<std::unique_ptr<FaceLandmarksDetector>(Device, ModelData, ModelData,
                                                       absl::Span<const ModelData>, const Options&)>
      make_with_refinement_models;
};

// The front end nodes use from now on (by default the Metal one of
// face_ml/landmarks_detector_metal.h); tests install fakes with it. Returns the previous one.
LandmarksFrontEnd SetLandmarksFrontEnd(LandmarksFrontEnd front_end);

// Remembers the last "SEQUENCE_ID" and restarts the detector's tracking when it changes.
class SequenceIdHandler {
 public:
  // FAILED_PRECONDITION (RET_CHECK) when the id is below the previous one.
  absl::Status MaybeStartNewSequence(const kaldren::InputStreamSet& inputs,
                                     FaceLandmarksDetector* detector);

 private:
  int32_t previous_id_ = -1;
};

class LandmarksDetectorCalculatorMetal : public pellumo::Calculator {
 public:
  static absl::Status FillExpectations(const CalculatorOptions& options,
                                       kaldren::PacketTypeSet* inputs,
                                       kaldren::PacketTypeSet* outputs,
                                       kaldren::PacketTypeSet* input_side_packets);

  ~LandmarksDetectorCalculatorMetal() override;

  absl::Status Open() override;
  absl::Status Process() override;

 private:
  std::unique_ptr<CachableAsyncLoadableObject<FaceLandmarksDetector>> detector_;
  SequenceIdHandler sequence_id_handler_;
  std::shared_ptr<PellumoMetalHelper> metal_helper_;
};

// The rotation at this timestamp: 0 without the tag or without a packet. INVALID (RET_CHECK)
// unless a multiple of 90; other multiples, negative or past 270, pass unchanged.
util::StatusOr<int> GetInputRotation(const kaldren::InputStreamSet& inputs, const std::string& tag);

}  // namespace sorvanti
}  // namespace pellumo

#endif  // FACE_ML_LANDMARKS_DETECTOR_CALCULATOR_METAL_H_
