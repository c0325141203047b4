#include "face_geometry/face_transform_calculator.h"

#include <cstring>
#include <string>
#include <utility>

#include "base/logging.h"
#include "base/status_macros.h"
#include "face_geometry/face_model.h"
#include "gpu/gpu_buffer.h"
#include "gpu/image_frame.h"
#include "graph/calculator_static_access.h"
#include "graph/registration_macros.h"

namespace pellumo {
namespace quorrel {
namespace {

namespace ft = ::quorrel::face_transform;
using sorvanti::Face;

constexpr char kFrameTag[] = "FRAME";
constexpr char kImageFrameTag[] = "IMAGE_FRAME";
constexpr char kLandmarksTag[] = "LANDMARKS";
constexpr char kMultipleFacesTag[] = "MULTIPLE_FACES";
constexpr char kMultiple2dFacesTag[] = "MULTIPLE_2D_FACES";
constexpr char kMultiple3dFacesTag[] = "MULTIPLE_3D_FACES";
constexpr char kFaceSpaceParametersTag[] = "FACE_SPACE_PARAMETERS";
constexpr char kFaceTransformTag[] = "FACE_TRANSFORM";
constexpr char kMultipleFaceTransformsTag[] = "MULTIPLE_FACE_TRANSFORMS";
constexpr char kSpaceTransformTag[] = "SPACE_TRANSFORM";

// The multi-face inputs in the order they are chosen.
constexpr const char* kMultipleFacesTags[] = {kMultipleFacesTag, kMultiple2dFacesTag,
                                              kMultiple3dFacesTag};

// Keypoint k(i) of a face-detector face gives point i.
constexpr int kZelkorKeypointOfPoint[12] = {2, 2, 0, 3, 0, 4, 4, 1, 3, 1, 5, 5};
constexpr int kZelkorKeypointCount = 6;

// The screen size of either kind of space parameters.
struct ScreenDimensionsVisitor {
  template <typename Parameters>
  void operator()(const Parameters& parameters) {
    screen_width = parameters.screen_width;
    screen_height = parameters.screen_height;
  }
  int32_t screen_width = 0;
  int32_t screen_height = 0;
};

// Whether two sets of space parameters are of one kind and equal bit for bit, and so build
// the very same handler.
bool SameBits(const ft::SpaceParameters& a, const ft::SpaceParameters& b) {
  static_assert(sizeof(ft::CameraFrameSpaceParameters) == 8 * 4, "fields without padding");
  static_assert(sizeof(ft::MetricSpaceParameters) == 8 * 4, "fields without padding");
  if (a.index() != b.index()) return false;
  return a.index() == 0 ? std::memcmp(&absl::get<0>(a), &absl::get<0>(b),
                                      sizeof(ft::CameraFrameSpaceParameters)) == 0
                        : std::memcmp(&absl::get<1>(a), &absl::get<1>(b),
                                      sizeof(ft::MetricSpaceParameters)) == 0;
}

template <typename T>
absl::optional<T> OptionalIf(bool present, T value) {
  return present ? absl::optional<T>(value) : absl::nullopt;
}

absl::optional<ft::ScreenOriginLocation> ScreenOriginLocationOption(
    const FaceTransformCalculatorOptions& options) {
  if (!options.has_screen_origin_location()) return absl::nullopt;
  return options.screen_origin_location() == FaceTransformCalculatorOptions::TOP_LEFT_CORNER
             ? ft::kTopLeftCorner
             : ft::kBottomLeftCorner;
}

std::vector<Eigen::Vector3f> ScaledLandmarks(const Face& face, float width, float height,
                                             float z_scale) {
  std::vector<Eigen::Vector3f> points;
  points.reserve(face.landmarks.size());
  for (const sorvanti::Landmark& landmark : face.landmarks) {
    points.emplace_back(landmark.x * width, landmark.y * height, landmark.z * z_scale);
  }
  return points;
}

}  // namespace

util::StatusOr<std::vector<Eigen::Vector3f>> ExtractLandmarksFromZelkorFace(const Face& face,
                                                                            float width,
                                                                            float height) {
  if (face.landmarks.size() < kZelkorKeypointCount) {
    return absl::InvalidArgumentError(
        "A face-detector face needs 6 keypoints, this one has " +
        std::to_string(face.landmarks.size()));
  }
  std::vector<Eigen::Vector3f> points;
  points.reserve(std::size(kZelkorKeypointOfPoint));
  for (int keypoint : kZelkorKeypointOfPoint) {
    const sorvanti::Landmark& landmark = face.landmarks[keypoint];
    points.emplace_back(landmark.x * width, landmark.y * height, 0.0f);
  }
  return points;
}

std::vector<Eigen::Vector3f> ExtractLandmarksFrom2dFaces(const Face& face, float width,
                                                         float height) {
  return ScaledLandmarks(face, width, height, 0.0f);
}

std::vector<Eigen::Vector3f> ExtractLandmarksFrom3dFaces(const Face& face, float width,
                                                         float height) {
  return ScaledLandmarks(face, width, height, width);
}

absl::Status QuorrelFaceTransformCalculator::FillExpectations(
    const CalculatorOptions& /*options*/, kaldren::PacketTypeSet* inputs,
    kaldren::PacketTypeSet* outputs, kaldren::PacketTypeSet* input_side_packets) {
  if (inputs->HasTag(kFrameTag)) {
    inputs->Tag(kFrameTag).Set<GpuBuffer>();
  } else {
    inputs->Tag(kImageFrameTag).Set<kaldren::ImageFrame>();
  }
  if (inputs->HasTag(kLandmarksTag)) {
    inputs->Tag(kLandmarksTag).Set<std::vector<sorvanti::Landmark>>();
    outputs->Tag(kFaceTransformTag).Set<absl::optional<ft::Transform>>();
  } else {
    for (const char* tag : kMultipleFacesTags) {
      if (!inputs->HasTag(tag)) continue;
      inputs->Tag(tag).Set<std::vector<Face>>();
      outputs->Tag(kMultipleFaceTransformsTag).Set<std::vector<absl::optional<ft::Transform>>>();
      break;
    }
  }
  if (inputs->HasTag(kFaceSpaceParametersTag)) {
    inputs->Tag(kFaceSpaceParametersTag).Set<ft::SpaceParameters>();
  }
  if (outputs->HasTag(kSpaceTransformTag)) {
    outputs->Tag(kSpaceTransformTag).Set<ft::SpaceTransform>();
  }
  return sorvanti::SorvantiAsyncLoader::SetupInputPackets(inputs, input_side_packets);
}

absl::Status QuorrelFaceTransformCalculator::Open() {
  SetOffset(kaldren::TimestampDiff(0));
  const FaceTransformCalculatorOptions& opts = options();
  const std::vector<std::string> paths = {opts.face_model_path()};
  face_model_ = sorvanti::MakeAsyncLoadableObjectCPU<ft::FaceModelT>(
      opts.init_mode(),
      [](std::vector<std::string>* contents) { return ft::LoadFaceModel(*contents); }, paths);
  return face_model_->loader().MaybeStartLoading(this);
}

absl::Status QuorrelFaceTransformCalculator::Process() {
  RETURN_IF_ERROR(face_model_->loader().MaybeStartLoading(this));

  const char* face_tag = FaceGeometryInputTag();
  const bool faces_missing = face_tag != nullptr && Inputs().Tag(face_tag)->Value().IsEmpty();
  if (!face_model_->IsLoadingDone() || IsFramePacketEmpty() || faces_missing) {
    const kaldren::Timestamp bound = InputTimestamp().NextAllowedInStream();
    if (face_tag != nullptr) {
      const char* output_tag =
          Outputs().HasTag(kFaceTransformTag) ? kFaceTransformTag : kMultipleFaceTransformsTag;
      Outputs().Tag(output_tag)->SetNextTimestampBound(bound);
    }
    if (Outputs().HasTag(kSpaceTransformTag)) {
      Outputs().Tag(kSpaceTransformTag)->SetNextTimestampBound(bound);
    }
    return absl::OkStatus();
  }

  int32_t frame_width;
  int32_t frame_height;
  if (Inputs().HasTag(kFrameTag)) {
    const GpuBuffer& frame = Inputs().Tag(kFrameTag)->Value().Get<GpuBuffer>();
    frame_width = frame.width();
    frame_height = frame.height();
  } else {
    const auto& frame = Inputs().Tag(kImageFrameTag)->Value().Get<kaldren::ImageFrame>();
    frame_width = frame.Width();
    frame_height = frame.Height();
  }
  RETURN_IF_ERROR(MaybeInitializeFaceTransformHandler(frame_width, frame_height));

  if (Inputs().HasTag(kLandmarksTag)) {
    ProcessSingleFace();
  } else if (face_tag != nullptr) {
    ProcessMultipleFaces();
  }
  if (Outputs().HasTag(kSpaceTransformTag)) {
    Outputs().Tag(kSpaceTransformTag)
        ->AddPacket(kaldren::MakePacket<ft::SpaceTransform>(handler_->GetSpaceTransform())
                        .At(InputTimestamp()));
  }
  return absl::OkStatus();
}

absl::Status QuorrelFaceTransformCalculator::MaybeInitializeFaceTransformHandler(
    int32_t frame_width, int32_t frame_height) {
  if (Inputs().HasTag(kFaceSpaceParametersTag) &&
      !Inputs().Tag(kFaceSpaceParametersTag)->Value().IsEmpty()) {
    const auto& parameters =
        Inputs().Tag(kFaceSpaceParametersTag)->Value().Get<ft::SpaceParameters>();
    ScreenDimensionsVisitor screen_dimensions_visitor;
    absl::visit(screen_dimensions_visitor, parameters);
    RET_CHECK_EQ(screen_dimensions_visitor.screen_width, frame_width)
        << "The screen width face space parameter must match the current frame "
        << "width!";
    RET_CHECK_EQ(screen_dimensions_visitor.screen_height, frame_height)
        << "The screen height face space parameter must match the current frame "
        << "height!";
    // The host sends them with every frame; a handler depends on nothing else (and the model,
    // which is loaded once), so equal ones would build the same handler again.
    if (handler_ != nullptr && frame_width == frame_width_ && frame_height == frame_height_ &&
        handler_parameters_.has_value() && SameBits(*handler_parameters_, parameters)) {
      return absl::OkStatus();
    }
    return InitializeFaceTransformHandler(parameters, frame_width, frame_height);
  }
  if (frame_width == frame_width_ && frame_height == frame_height_ && handler_ != nullptr) {
    return absl::OkStatus();
  }
  ASSIGN_OR_RETURN(ft::SpaceParameters parameters,
                   SpaceParametersFromOptions(frame_width, frame_height));
  return InitializeFaceTransformHandler(parameters, frame_width, frame_height);
}

util::StatusOr<ft::SpaceParameters> QuorrelFaceTransformCalculator::SpaceParametersFromOptions(
    int32_t frame_width, int32_t frame_height) const {
  const FaceTransformCalculatorOptions& opts = options();
  const auto vertical_fov =
      OptionalIf(opts.has_vertical_fov_degrees(), opts.vertical_fov_degrees());
  const auto horizontal_fov =
      OptionalIf(opts.has_horizontal_fov_degrees(), opts.horizontal_fov_degrees());
  const auto origin = ScreenOriginLocationOption(opts);
  const auto principal_x = OptionalIf(opts.has_principal_point_x(), opts.principal_point_x());
  const auto principal_y = OptionalIf(opts.has_principal_point_y(), opts.principal_point_y());
  switch (opts.space_type()) {
    case FaceTransformCalculatorOptions::DEFAULT_SPACE_TYPE:
    case FaceTransformCalculatorOptions::CAMERA_FRAME_SPACE: {
      ASSIGN_OR_RETURN(
          ft::CameraFrameSpaceParameters parameters,
          ft::CreateCameraFrameSpaceParameters(
              frame_width, frame_height, vertical_fov, horizontal_fov,
              OptionalIf(opts.has_near_z_factor(), opts.near_z_factor()),
              OptionalIf(opts.has_far_z_factor(), opts.far_z_factor()), origin, principal_x,
              principal_y),
          _ << "while creating camera frame space parameters!");
      return ft::SpaceParameters(absl::in_place_index<0>, parameters);
    }
    case FaceTransformCalculatorOptions::METRIC_SPACE: {
      ASSIGN_OR_RETURN(
          ft::MetricSpaceParameters parameters,
          ft::CreateMetricSpaceParameters(
              frame_width, frame_height, vertical_fov, horizontal_fov,
              OptionalIf(opts.has_near_z(), opts.near_z()),
              OptionalIf(opts.has_far_z(), opts.far_z()), origin, principal_x, principal_y),
          _ << "while creating metric space parameters!");
      return ft::SpaceParameters(absl::in_place_index<1>, parameters);
    }
  }
  RET_CHECK_FAIL() << "Unknown face AR space type!";
}

absl::Status QuorrelFaceTransformCalculator::InitializeFaceTransformHandler(
    const ft::SpaceParameters& parameters, int32_t frame_width, int32_t frame_height) {
  frame_width_ = frame_width;
  frame_height_ = frame_height;
  handler_parameters_.reset();
  RET_CHECK(face_model_->IsLoadingDone()) << "Face model hasn't been loaded yet!";
  ASSIGN_OR_RETURN(const ft::FaceModelT* model, face_model_->get());
  ASSIGN_OR_RETURN(handler_, ft::Handler::Create(parameters, *model));
  handler_parameters_ = parameters;
  return absl::OkStatus();
}

void QuorrelFaceTransformCalculator::ProcessSingleFace() {
  const auto& landmarks =
      Inputs().Tag(kLandmarksTag)->Value().Get<std::vector<sorvanti::Landmark>>();
  std::vector<Eigen::Vector3f> points;
  points.reserve(landmarks.size());
  for (const sorvanti::Landmark& landmark : landmarks) {
    points.emplace_back(landmark.x, landmark.y, landmark.z);
  }
  absl::optional<ft::Transform> transform;
  util::StatusOr<ft::Transform> fitted = handler_->GetTransform(points);
  if (fitted.ok()) transform = std::move(fitted).value();
  Outputs().Tag(kFaceTransformTag)
      ->AddPacket(kaldren::MakePacket<absl::optional<ft::Transform>>(std::move(transform))
                      .At(InputTimestamp()));
}

void QuorrelFaceTransformCalculator::ProcessMultipleFaces() {
  const char* tag = FaceGeometryInputTag();
  const auto& faces = Inputs().Tag(tag)->Value().Get<std::vector<Face>>();
  const float width = static_cast<float>(frame_width_);
  const float height = static_cast<float>(frame_height_);
  std::vector<absl::optional<ft::Transform>> transforms(faces.size());
  for (size_t i = 0; i < faces.size(); ++i) {
    util::StatusOr<std::vector<Eigen::Vector3f>> points =
        tag == kMultipleFacesTag    ? ExtractLandmarksFromZelkorFace(faces[i], width, height)
        : tag == kMultiple2dFacesTag ? ExtractLandmarksFrom2dFaces(faces[i], width, height)
                                     : ExtractLandmarksFrom3dFaces(faces[i], width, height);
    util::StatusOr<ft::Transform> fitted =
        points.ok() ? handler_->GetTransform(*points) : util::StatusOr<ft::Transform>(points.status());
    if (fitted.ok()) {
      transforms[i] = std::move(fitted).value();
    } else {
      LOG(ERROR) << fitted.status();
    }
  }
  Outputs().Tag(kMultipleFaceTransformsTag)
      ->AddPacket(
          kaldren::MakePacket<std::vector<absl::optional<ft::Transform>>>(std::move(transforms))
              .At(InputTimestamp()));
}

const char* QuorrelFaceTransformCalculator::FaceGeometryInputTag() const {
  if (Inputs().HasTag(kLandmarksTag)) return kLandmarksTag;
  for (const char* tag : kMultipleFacesTags) {
    if (Inputs().HasTag(tag)) return tag;
  }
  return nullptr;
}

bool QuorrelFaceTransformCalculator::IsFramePacketEmpty() const {
  const char* tag = Inputs().HasTag(kFrameTag) ? kFrameTag : kImageFrameTag;
  return Inputs().Tag(tag)->Value().IsEmpty();
}

REGISTER_LEGACY_CALCULATOR_WITH_NAME("QuorrelFaceTransformCalculator",
                                     QuorrelFaceTransformCalculator);

}  // namespace quorrel
}  // namespace pellumo
