#include "face_ml/landmarks_detector_calculator_metal.h"

#include <mutex>
#include <utility>
#include <vector>

#include "absl/time/time.h"
#include "base/status_macros.h"
#include "face_ml/async_loader.h"
#include "face_ml/landmarks_detector_metal.h"
#include "face_ml/landmarks_detector_calculator.pb.h"
#include "face_ml/landmarks_detector_calculator_options_utils.h"
#include "gpu/gpu_buffer.h"
#include "graph/calculator_contract.h"
#include "graph/calculator_static_access.h"
#include "graph/legacy_calculator_support.h"
#include "graph/packet.h"
#include "graph/registration_macros.h"

namespace pellumo {
namespace sorvanti {
namespace {

using research::sorvanti::api::LandmarksDetectionResult;
using research::sorvanti::api::LandmarksOptions;
using research::sorvanti::api::MetalRGBABufferFrame;

constexpr char kInputTag[] = "INPUT";
constexpr char kInputRotationTag[] = "INPUT_ROTATION";
constexpr char kSequenceIdTag[] = "SEQUENCE_ID";
constexpr char kFacesTag[] = "FACES";
constexpr char kMetadataTag[] = "METADATA";

LandmarksFrontEnd DefaultLandmarksFrontEnd() {
  namespace api = research::sorvanti::api;
  LandmarksFrontEnd front_end;
  front_end.make_detector = [](const LandmarksFrontEnd::Device& device,
                               LandmarksFrontEnd::ModelData landmarks,
                               LandmarksFrontEnd::ModelData detector,
                               const LandmarksOptions& options) {
    return api::MakeLandmarksDetectorMetal(device, landmarks, detector, options);
  };
  front_end.make_with_refine_detector =
      [](const LandmarksFrontEnd::Device& device, LandmarksFrontEnd::ModelData landmarks,
         LandmarksFrontEnd::ModelData detector, LandmarksFrontEnd::ModelData refine,
         const LandmarksOptions& options) {
        return api::MakeLandmarksDetectorWithRefinementMetal(device, landmarks, detector, refine,
                                                             options);
      };
  front_end.make_with_refinement_models =
      [](const LandmarksFrontEnd::Device& device, LandmarksFrontEnd::ModelData landmarks,
         LandmarksFrontEnd::ModelData detector,
         absl::Span<const LandmarksFrontEnd::ModelData> refinement,
         const LandmarksOptions& options) {
        return api::MakeLandmarksDetectorWithRefinementMetal(device, landmarks, detector,
                                                             refinement, options);
      };
  return front_end;
}

std::mutex front_end_mutex;

LandmarksFrontEnd& CurrentFrontEnd() {
  static LandmarksFrontEnd* front_end = new LandmarksFrontEnd(DefaultLandmarksFrontEnd());
  return *front_end;
}

LandmarksFrontEnd GetFrontEnd() {
  std::lock_guard<std::mutex> lock(front_end_mutex);
  return CurrentFrontEnd();
}

// The entry with `tag` when the collection uses tags, else the entry at index 0.
template <typename Set>
auto& TagOrIndex(Set& set, const std::string& tag) {
  return set.UsesTags() ? set.Tag(tag) : set.Index(0);
}

template <typename T>
void MaybeSetStreamType(kaldren::PacketTypeSet* inputs, const std::string& tag) {
  if (inputs->HasTag(tag)) inputs->Tag(tag).template Set<T>();
}

void FillFaceMetadataExpetations(kaldren::PacketTypeSet* outputs) {
  if (outputs->HasTag(kMetadataTag)) outputs->Tag(kMetadataTag).Set<FaceResultMetadata>();
}

template <typename T>
const T* GetPacketValueOrNull(const kaldren::InputStreamSet& inputs, const std::string& tag) {
  if (!inputs.HasTag(tag)) return nullptr;
  const kaldren::Packet& packet = inputs.Tag(tag)->Value();
  if (packet.IsEmpty()) return nullptr;
  return &packet.Get<T>();
}

absl::Status MaybeOutputFaceMetadata(const FaceLandmarksDetector& detector,
                                     kaldren::Timestamp timestamp,
                                     kaldren::OutputStreamSet& outputs) {
  if (!outputs.HasTag(kMetadataTag)) return absl::OkStatus();
  kaldren::OutputStream* stream = outputs.Tag(kMetadataTag);
  if (stream->IsClosed()) return absl::OkStatus();
  ASSIGN_OR_RETURN(ContourList contours, internal::ConvertContourSets(detector.GetContoursSets()));
  stream->AddPacket(kaldren::MakePacket<FaceResultMetadata>(
                        FaceResultMetadata{std::move(contours), detector.GetNDimensions()})
                        .At(timestamp));
  stream->Close();
  return absl::OkStatus();
}

// Builds the detector from the model contents in path order: landmark model, face-detector
// model, then the refinement models.
util::StatusOr<std::unique_ptr<FaceLandmarksDetector>> MakeDetector(
    const LandmarksFrontEnd& front_end, const std::shared_ptr<MTLDevice>& device,
    const LandmarksOptions& options, bool has_refinement_list,
    const std::vector<std::string>& contents) {
  std::vector<LandmarksFrontEnd::ModelData> models(contents.begin(), contents.end());
  std::unique_ptr<FaceLandmarksDetector> detector;
  if (models.size() < 2) {
    // Not reached from Open, whose path list always holds both base models.
  } else if (has_refinement_list) {
    absl::Span<const LandmarksFrontEnd::ModelData> refinement;
    if (models.size() >= 3) refinement = absl::MakeConstSpan(models).subspan(2);
    if (front_end.make_with_refinement_models) {
      detector =
          front_end.make_with_refinement_models(device, models[0], models[1], refinement, options);
    }
  } else if (models.size() == 3) {
    if (front_end.make_with_refine_detector) {
      detector =
          front_end.make_with_refine_detector(device, models[0], models[1], models[2], options);
    }
  } else if (models.size() == 2) {
    if (front_end.make_detector) {
      detector = front_end.make_detector(device, models[0], models[1], options);
    }
  }
  RET_CHECK(detector != nullptr) << "Could not initialize landmarks detector";
  return detector;
}

}  // namespace

LandmarksFrontEnd SetLandmarksFrontEnd(LandmarksFrontEnd front_end) {
  std::lock_guard<std::mutex> lock(front_end_mutex);
  return std::exchange(CurrentFrontEnd(), std::move(front_end));
}

util::StatusOr<int> GetInputRotation(const kaldren::InputStreamSet& inputs,
                                     const std::string& tag) {
  const int* rotation = GetPacketValueOrNull<int>(inputs, tag);
  if (rotation == nullptr) return 0;
  const int input_rotation = *rotation;
  RET_CHECK(input_rotation % 90 == 0) << "Invalid input rotation: " << input_rotation;
  return input_rotation;
}

absl::Status SequenceIdHandler::MaybeStartNewSequence(const kaldren::InputStreamSet& inputs,
                                                      FaceLandmarksDetector* detector) {
  const int* current_id = GetPacketValueOrNull<int>(inputs, kSequenceIdTag);
  if (current_id == nullptr) return absl::OkStatus();
  RET_CHECK(*current_id >= previous_id_) << "Sequence ids should be incremental";
  if (*current_id != previous_id_) {
    previous_id_ = *current_id;
    detector->StartNewSequence();
  }
  return absl::OkStatus();
}

absl::Status LandmarksDetectorCalculatorMetal::FillExpectations(
    const CalculatorOptions& /*options*/, kaldren::PacketTypeSet* inputs,
    kaldren::PacketTypeSet* outputs, kaldren::PacketTypeSet* input_side_packets) {
  TagOrIndex(*inputs, kInputTag).Set<GpuBuffer>();
  MaybeSetStreamType<int>(inputs, kInputRotationTag);
  MaybeSetStreamType<int>(inputs, kSequenceIdTag);
  TagOrIndex(*outputs, kFacesTag).Set<std::vector<Face>>();
  FillFaceMetadataExpetations(outputs);
  RETURN_IF_ERROR(SorvantiAsyncLoader::SetupInputPackets(inputs, input_side_packets));
  kaldren::CalculatorContract* contract =
      kaldren::LegacyCalculatorSupport::Scoped<kaldren::CalculatorContract>::current();
  if (contract != nullptr) contract->UseService(kCacheService).Optional();
  return PellumoMetalHelper::setupInputSidePackets(input_side_packets);
}

LandmarksDetectorCalculatorMetal::~LandmarksDetectorCalculatorMetal() {
  // The holder may lend the detector to the cache; the helper goes after it.
  detector_.reset();
  metal_helper_.reset();
}

absl::Status LandmarksDetectorCalculatorMetal::Open() {
  SetOffset(kaldren::TimestampDiff(0));
  metal_helper_ = PellumoMetalHelper::initWithSidePackets(InputSidePackets());
  std::shared_ptr<MTLDevice> device = metal_helper_->mtlDevice();

  const auto& options = Options().GetExtension(LandmarksDetectorCalculatorOptions::ext);
  ASSIGN_OR_RETURN(LandmarksOptions landmarks_options, GetLandmarksOptionsFromProto(options));
  RETURN_IF_ERROR(CheckModelPaths(options));

  std::vector<std::string> paths = {options.landmarks_model_path(),
                                    options.face_detector_model_path()};
  const bool has_refinement_list = options.refinement_model_path_size() > 0;
  if (has_refinement_list) {
    paths.insert(paths.end(), options.refinement_model_path().begin(),
                 options.refinement_model_path().end());
  } else if (!options.refine_landmarks_model_path().empty()) {
    paths.push_back(options.refine_landmarks_model_path());
  }

  const InitMode init_mode = options.init_mode();
  AsyncLoadableObject<FaceLandmarksDetector>::ObjectLoadFunction make_detector =
      [front_end = GetFrontEnd(), device, landmarks_options,
       has_refinement_list](std::vector<std::string>* contents) {
        return MakeDetector(front_end, device, landmarks_options, has_refinement_list, *contents);
      };
  auto make_object =
      [init_mode, make_detector = std::move(make_detector),
       paths]() -> util::StatusOr<std::unique_ptr<AsyncLoadableObject<FaceLandmarksDetector>>> {
    return MakeAsyncLoadableObjectCPU<FaceLandmarksDetector>(init_mode, make_detector, paths);
  };
  detector_ = std::make_unique<CachableAsyncLoadableObject<FaceLandmarksDetector>>(
      init_mode, std::move(make_object), options.SerializeAsString());
  return detector_->MaybeStartLoading();
}

absl::Status LandmarksDetectorCalculatorMetal::Process() {
  RETURN_IF_ERROR(detector_->MaybeStartLoading());
  kaldren::OutputStream* faces_stream = TagOrIndex(Outputs(), kFacesTag);
  AsyncLoadableObject<FaceLandmarksDetector>* object = detector_->object();
  if (object == nullptr || !object->IsLoadingDone()) {
    faces_stream->SetNextTimestampBound(InputTimestamp().NextAllowedInStream());
    return absl::OkStatus();
  }
  ASSIGN_OR_RETURN(FaceLandmarksDetector * detector, object->get());
  RETURN_IF_ERROR(sequence_id_handler_.MaybeStartNewSequence(Inputs(), detector));
  RETURN_IF_ERROR(MaybeOutputFaceMetadata(*detector, InputTimestamp(), Outputs()));

  const kaldren::Packet& input = TagOrIndex(Inputs(), kInputTag)->Value();
  if (input.IsEmpty()) {
    // Only a rotation or a sequence id arrived: no frame, so no faces for this timestamp.
    faces_stream->SetNextTimestampBound(InputTimestamp().NextAllowedInStream());
    return absl::OkStatus();
  }
  const GpuBuffer& buffer = input.Get<GpuBuffer>();
  RET_CHECK(buffer) << "The INPUT packet holds no pixel buffer";
  ASSIGN_OR_RETURN(const int rotation, GetInputRotation(Inputs(), kInputRotationTag));

  MetalRGBABufferFrame frame;
  frame.height = buffer.height();
  frame.width = buffer.width();
  frame.pixel_buffer = buffer.pixel_buffer();
  frame.rotation_degrees = rotation;
  frame.timestamp = absl::Microseconds(InputTimestamp().Value());
  LandmarksDetectionResult detection_result;
  RET_CHECK(detector->Detect(frame, &detection_result));

  faces_stream->AddPacket(
      kaldren::Adopt(new std::vector<Face>(internal::GetFaces(detection_result)))
          .At(InputTimestamp()));
  return absl::OkStatus();
}

REGISTER_LEGACY_CALCULATOR_WITH_NAME("LandmarksDetectorCalculatorMetal",
                                     LandmarksDetectorCalculatorMetal);
REGISTER_LEGACY_CALCULATOR_WITH_NAME("LandmarksDetectorCalculatorGPU",
                                     LandmarksDetectorCalculatorMetal);

}  // namespace sorvanti
}  // namespace pellumo
