#include "face_sdk/face_mesh_graph.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "absl/types/optional.h"
#include "face_ml/landmarks_detector_calculator.pb.h"
#include "face_sdk/augmented_face.h"
#include "face_sdk/transformation_utils.h"
#include "graph/timestamp.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_error.h"
#include "platform/foundation/system_log.h"

namespace {

constexpr char kGraphName[] = "sorvanti_mesh_468_video";
constexpr char kGraphType[] = "binarypb";
constexpr char kResourceBundleName[] = "OstrellFaceResources";
constexpr char kLandmarksCalculator[] = "LandmarksDetectorCalculatorMetal";
constexpr char kLipsModelPath[] =
    "OstrellFaceRefinementResources.bundle/facelips-full-2019_01_26-v0.f16.tflite";
constexpr char kEyesModelPath[] =
    "OstrellFaceRefinementResources.bundle/faceeyenbrow-full-2019_02_14-v0.f16.tflite";

constexpr char kSpaceParametersStream[] = "quorrel_face_space_parameters";
constexpr char kPreRotationStream[] = "pre_rotation";
constexpr char kInputFramesStream[] = "input_frames";
constexpr char kSequenceIdStream[] = "sequence_id";
constexpr char kFaceTransformStream[] = "face_transform";

using FaceTransforms = std::vector<absl::optional<quorrel::face_transform::Transform>>;

// The facade whose outputs this thread has delivered, so this thread is one of that graph's own.
thread_local const PellumoGraph* delivering_graph = nullptr;

// The graph timestamp of a host time in seconds: the microseconds rounded to nearest. None when
// the time is not finite, or the result lies outside the range of packet timestamps (the
// reserved values at both ends included).
std::optional<kaldren::Timestamp> GraphTimestamp(double seconds) {
  double micros = std::round(seconds * kaldren::Timestamp::kTimestampUnitsPerSecond);
  // 2^63 is exact as a double; every finite double below it converts.
  constexpr double kLimit = 9223372036854775808.0;
  if (!std::isfinite(micros) || micros >= kLimit || micros < -kLimit) return std::nullopt;
  int64_t value = static_cast<int64_t>(micros);
  if (value <= kaldren::Timestamp::Min().Value() || value >= kaldren::Timestamp::Max().Value()) {
    return std::nullopt;
  }
  return kaldren::Timestamp(value);
}

std::string ErrorText(const std::shared_ptr<NSError>& error) {
  return error ? error->localizedDescription() : "(null)";
}

}  // namespace

// --- QVXPixBufHolder ---------------------------------------------------------------------------

std::shared_ptr<QVXPixBufHolder> QVXPixBufHolder::initWithPixBuf(
    CVPixelBufferRef pixBuf, double timestamp, unsigned long preprocessRotation) {
  return std::make_shared<QVXPixBufHolder>(pixBuf, timestamp, preprocessRotation);
}

QVXPixBufHolder::QVXPixBufHolder(CVPixelBufferRef pixBuf, double timestamp,
                                 unsigned long preprocessRotation)
    : pixBuf_(pixBuf ? CVPixelBufferRetain(pixBuf) : nullptr),
      timestamp_(timestamp),
      preprocessRotation_(preprocessRotation) {}

QVXPixBufHolder::~QVXPixBufHolder() {
  if (pixBuf_) CVPixelBufferRelease(pixBuf_);
}

// --- Creation ----------------------------------------------------------------------------------

std::shared_ptr<NSBundle> QVXFaceMeshGraph::graphResourceBundle() {
  static const int kAnchor = 0;
  auto code_bundle = NSBundle::bundleForAddress(&kAnchor);
  if (code_bundle == nullptr) return nullptr;
  std::optional<std::string> path = code_bundle->pathForResource(kResourceBundleName, "bundle");
  if (!path) return nullptr;
  return NSBundle::bundleWithPath(*path);
}

pellumo::CalculatorGraphConfig QVXFaceMeshGraph::loadGraphConfigWithURL(
    const std::shared_ptr<NSURL>& url) {
  pellumo::CalculatorGraphConfig config;
  if (url == nullptr) return config;
  std::optional<std::vector<uint8_t>> data = NSDataWithContentsOfURL(*url, nullptr);
  if (!data) return config;
  // A partly parsed configuration could start a graph that is not the one asked for.
  if (!config.ParseFromArray(data->data(), static_cast<int>(data->size()))) config.Clear();
  return config;
}

std::shared_ptr<PellumoGraph> QVXFaceMeshGraph::createFaceMeshPellumoGraphWithRunMode(
    unsigned long runMode, unsigned long maxFaces) {
  std::shared_ptr<NSURL> url;
  if (auto bundle = graphResourceBundle()) url = bundle->URLForResource(kGraphName, kGraphType);
  pellumo::CalculatorGraphConfig config = loadGraphConfigWithURL(url);

  for (pellumo::CalculatorGraphConfig_Node& node : *config.mutable_node()) {
    if (node.calculator() != kLandmarksCalculator) continue;
    auto* options = node.mutable_options()->MutableExtension(
        pellumo::sorvanti::LandmarksDetectorCalculatorOptions::ext);
    options->set_num_faces(maxFaces);
    if (runMode == 2) {
      options->add_refinement_model_path(kLipsModelPath);
      options->add_refinement_model_path(kEyesModelPath);
    }
  }

  auto graph = PellumoGraph::initWithGraphConfig(config);
  graph->addFrameOutputStream(kFaceTransformStream, KLDPacketTypeAnyPacket);
  std::shared_ptr<NSError> error;
  if (!graph->startWithError(&error)) NSLog("Error starting: %s", ErrorText(error).c_str());
  return graph;
}

std::shared_ptr<QVXFaceMeshGraph> QVXFaceMeshGraph::initWithFieldOfView(float fieldOfView,
                                                                         unsigned long runMode,
                                                                         unsigned long maxFaces) {
  return initWithFieldOfView(fieldOfView,
                             createFaceMeshPellumoGraphWithRunMode(runMode, maxFaces));
}

std::shared_ptr<QVXFaceMeshGraph> QVXFaceMeshGraph::initWithFieldOfView(
    float fieldOfView, std::shared_ptr<PellumoGraph> pellumoGraph) {
  auto driver = std::make_shared<QVXFaceMeshGraph>(fieldOfView, std::move(pellumoGraph));
  if (driver->meshPellumoGraph_) driver->meshPellumoGraph_->setDelegate(driver);
  return driver;
}

QVXFaceMeshGraph::QVXFaceMeshGraph(float fieldOfView, std::shared_ptr<PellumoGraph> pellumoGraph)
    : meshPellumoGraph_(std::move(pellumoGraph)), fieldOfView_(fieldOfView) {}

QVXFaceMeshGraph::~QVXFaceMeshGraph() {
  // Letting the facade go ends its graph's run and waits for the graph's threads. When the last
  // owner let this driver go on one of those threads (within an output), that wait would never
  // end: another thread lets the facade go instead, once this output has returned.
  if (meshPellumoGraph_ != nullptr && delivering_graph == meshPellumoGraph_.get()) {
    dispatch_async(dispatch_get_global_queue(QOS_CLASS_UTILITY, 0),
                   [graph = std::move(meshPellumoGraph_)]() mutable { graph.reset(); });
  }
}

std::shared_ptr<QVXFaceMeshGraphDelegate> QVXFaceMeshGraph::delegate() const {
  std::lock_guard<std::mutex> lock(delegate_mutex_);
  return delegate_.lock();
}

void QVXFaceMeshGraph::setDelegate(std::weak_ptr<QVXFaceMeshGraphDelegate> delegate) {
  std::lock_guard<std::mutex> lock(delegate_mutex_);
  delegate_ = std::move(delegate);
}

size_t QVXFaceMeshGraph::heldFrameCount() const {
  std::lock_guard<std::mutex> lock(pixelBuffers_mutex_);
  return pixelBuffers_.size();
}

// --- Per frame ---------------------------------------------------------------------------------

quorrel::face_transform::CameraFrameSpaceParameters
QVXFaceMeshGraph::buildQuorrelFaceSpaceParameters(CVPixelBufferRef pixelBuffer,
                                                  unsigned long rotation) const {
  const auto width = static_cast<int32_t>(CVPixelBufferGetWidth(pixelBuffer));
  const auto height = static_cast<int32_t>(CVPixelBufferGetHeight(pixelBuffer));
  const float fov = fieldOfView();
  quorrel::face_transform::CameraFrameSpaceParameters parameters;
  if (rotation == 90 || rotation == 270) {
    // The field of view across the buffer's width is the vertical one of the upright frame.
    parameters.screen_width = height;
    parameters.screen_height = width;
    parameters.vertical_fov_degrees = fov;
  } else {
    parameters.screen_width = width;
    parameters.screen_height = height;
    float vertical = QVXConvertFovWithAspect(static_cast<float>(fov * M_PI / 180),
                                             float(height) / float(width));
    parameters.vertical_fov_degrees = static_cast<float>((vertical * 180.0f) / M_PI);
  }
  parameters.near_z_factor = 0.2f;
  parameters.far_z_factor = 5.0f;
  parameters.screen_origin_location = quorrel::face_transform::kBottomLeftCorner;
  parameters.principal_point_x = 0;
  parameters.principal_point_y = 0;
  return parameters;
}

bool QVXFaceMeshGraph::updateWithPixelBuffer(CVPixelBufferRef pixelBuffer, double timestamp,
                                             unsigned long recognitionRotation,
                                             bool canDropFrame) {
  std::optional<kaldren::Timestamp> ts = GraphTimestamp(timestamp);
  if (!ts) {
    NSLog("QVXFaceMeshGraph: invalid timestamp %f", timestamp);
    return false;
  }
  const int64_t key = ts->Value();
  {
    std::lock_guard<std::mutex> lock(pixelBuffers_mutex_);
    if (pixelBuffers_.size() >= 2 && canDropFrame) return false;
    if (pixelBuffers_.count(key) != 0) {
      NSLog("QVXFaceMeshGraph: pixel buffer dict collision for key %lld",
            static_cast<long long>(key));
    }
    pixelBuffers_[key] =
        QVXPixBufHolder::initWithPixBuf(pixelBuffer, timestamp, recognitionRotation);
  }

  quorrel::face_transform::CameraFrameSpaceParameters parameters =
      buildQuorrelFaceSpaceParameters(pixelBuffer, recognitionRotation);
  PellumoGraph* graph = meshPellumoGraph_.get();
  std::shared_ptr<NSError> error;
  if (graph == nullptr ||
      !graph->sendPacket(kaldren::Adopt(new quorrel::face_transform::SpaceParameters(parameters))
                             .At(*ts),
                         kSpaceParametersStream, &error)) {
    NSLog("Error while setting face space params: %s", ErrorText(error).c_str());
  }
  error.reset();
  if (graph == nullptr ||
      !graph->sendPacket(
          kaldren::Adopt(new int32_t(static_cast<int32_t>(recognitionRotation))).At(*ts),
          kPreRotationStream, &error)) {
    NSLog("Error while setting pre-rotation: %s", ErrorText(error).c_str());
  }
  if (graph != nullptr) {
    graph->sendPixelBuffer(pixelBuffer, kInputFramesStream, KLDPacketTypeGpuBuffer, *ts);
  }

  if (parameters.screen_width != currentWidth_ || parameters.screen_height != currentHeight_ ||
      recognitionRotation != currentRotation_) {
    ++sequenceId_;
  }
  currentWidth_ = parameters.screen_width;
  currentHeight_ = parameters.screen_height;
  currentRotation_ = recognitionRotation;

  error.reset();
  if (graph == nullptr ||
      !graph->sendPacket(kaldren::Adopt(new int32_t(sequenceId_)).At(*ts), kSequenceIdStream,
                         &error)) {
    NSLog("Error while setting sequence_id: %s", ErrorText(error).c_str());
  }
  return true;
}

// --- Per output --------------------------------------------------------------------------------

void QVXFaceMeshGraph::pellumoGraph(PellumoGraph* graph, const kaldren::Packet& packet,
                                    const std::string& /*streamName*/) {
  delivering_graph = graph;
  const int64_t ts = packet.Timestamp().Value();
  std::shared_ptr<QVXPixBufHolder> holder;
  {
    std::lock_guard<std::mutex> lock(pixelBuffers_mutex_);
    auto it = pixelBuffers_.find(ts);
    if (it != pixelBuffers_.end()) holder = it->second;
  }
  if (holder == nullptr) {
    NSLog("QVXFaceMeshGraph: did not find a pix buf for timestamp %lld",
          static_cast<long long>(ts));
  }

  const auto& transforms = packet.Get<FaceTransforms>();
  std::shared_ptr<QVXAugmentedFace> face;
  const float rotation = holder ? static_cast<float>(holder->preprocessRotation()) : 0.0f;
  if (!transforms.empty() && transforms.front().has_value()) {
    face = QVXAugmentedFace::initWithFaceTransform(&*transforms.front(), rotation);
  }
  auto frame = QVXAugmentedFaceFrame::initWithFace(
      face, holder ? holder->pixBuf() : nullptr, holder ? holder->timestamp() : 0.0,
      fieldOfView());
  holder.reset();

  if (auto delegate = this->delegate()) delegate->didOutputFace(frame);

  size_t released = 0;
  {
    std::vector<std::shared_ptr<QVXPixBufHolder>> removed;
    std::lock_guard<std::mutex> lock(pixelBuffers_mutex_);
    auto end = pixelBuffers_.upper_bound(ts);
    for (auto it = pixelBuffers_.begin(); it != end; ++it) removed.push_back(it->second);
    pixelBuffers_.erase(pixelBuffers_.begin(), end);
    released = removed.size();
  }
  if (released != 1) {
    NSLog("QVXFaceMeshGraph: released %lu pix bufs in a frame",
          static_cast<unsigned long>(released));
  }
}
