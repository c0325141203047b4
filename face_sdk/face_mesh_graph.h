// QVXFaceMeshGraph: the bridge between a face session and the dataflow graph that tracks faces.
//
// The driver loads the face graph's configuration from the "OstrellFaceResources" bundle, sets
// the number of faces (and, in run mode 2, the lips and eye refinement models) on every
// "LandmarksDetectorCalculatorMetal" node, and starts a PellumoGraph over it. Per camera frame
// it keeps the pixel buffer under the frame's graph timestamp and sends, at that timestamp and in
// this order, "quorrel_face_space_parameters", "pre_rotation", "input_frames" and "sequence_id".
// Each packet of "face_transform" becomes a QVXAugmentedFaceFrame (the held frame's image, time
// and rotation; only the first face of the list) handed to the delegate on the graph's thread;
// then every frame held at or before the packet's timestamp is let go.
//
//   auto driver = QVXFaceMeshGraph::initWithFieldOfView(60, /*runMode=*/1, /*maxFaces=*/1);
//   driver->setDelegate(session);          // receives didOutputFace on a graph thread
//   driver->updateWithPixelBuffer(buffer, /*timestamp=*/0.033, /*rotation=*/90,
//                                 /*canDropFrame=*/true);
//
// Frames are let go only by outputs: while the graph emits nothing, at most two frames are held
// and every further droppable frame is refused. Graph failures (start, sends) are logged with
// NSLog and never reported to the caller. A frame time that is not a usable graph timestamp
// (NaN, infinite, out of range, or landing on a reserved timestamp) is refused and logged.
//
// Updates come from one thread at a time; outputs may arrive on any graph thread meanwhile. The
// last owner may let the driver go from any thread, a graph thread within an output included:
// the graph's run then ends on another thread, after that output has returned.
#ifndef FACE_SDK_FACE_MESH_GRAPH_H_
#define FACE_SDK_FACE_MESH_GRAPH_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "face_geometry/space_parameters.h"
#include "face_sdk/augmented_face_frame.h"
#include "gpu/pellumo_graph.h"
#include "graph/packet.h"
#include "graph_config/calculator.pb.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/ns_url.h"

// What a face-mesh driver hands its delegate: one frame per graph output.
class QVXFaceMeshGraphDelegate {
 public:
  virtual ~QVXFaceMeshGraphDelegate() = default;
  virtual void didOutputFace(std::shared_ptr<QVXAugmentedFaceFrame> frame) = 0;
};

// One frame in flight: its pixel buffer (retained while the holder lives), time and rotation.
class QVXPixBufHolder {
 public:
  static std::shared_ptr<QVXPixBufHolder> initWithPixBuf(CVPixelBufferRef pixBuf,
                                                         double timestamp,
                                                         unsigned long preprocessRotation);

  QVXPixBufHolder(CVPixelBufferRef pixBuf, double timestamp, unsigned long preprocessRotation);
  ~QVXPixBufHolder();
  QVXPixBufHolder(const QVXPixBufHolder&) = delete;
  QVXPixBufHolder& operator=(const QVXPixBufHolder&) = delete;

  CVPixelBufferRef pixBuf() const { return pixBuf_; }
  // Seconds, as the host gave them.
  double timestamp() const { return timestamp_; }
  // Degrees: 0, 90, 180 or 270.
  unsigned long preprocessRotation() const { return preprocessRotation_; }
  void setPreprocessRotation(unsigned long rotation) { preprocessRotation_ = rotation; }

 private:
  const CVPixelBufferRef pixBuf_;
  const double timestamp_;
  unsigned long preprocessRotation_;
};

class QVXFaceMeshGraph : public PellumoGraphDelegate,
                         public std::enable_shared_from_this<QVXFaceMeshGraph> {
 public:
  // The "OstrellFaceResources" bundle beside the SDK's code; null when it is missing.
  static std::shared_ptr<NSBundle> graphResourceBundle();
  // The configuration in the file at `url`. A file that is missing or does not parse gives an
  // empty configuration (which cannot start).
  static pellumo::CalculatorGraphConfig loadGraphConfigWithURL(const std::shared_ptr<NSURL>& url);
  // Loads and edits the face graph's configuration and starts a facade over it, observing
  // "face_transform". A failed start is logged ("Error starting: ..."); the facade is returned
  // either way.
  static std::shared_ptr<PellumoGraph> createFaceMeshPellumoGraphWithRunMode(
      unsigned long runMode, unsigned long maxFaces);

  // `fieldOfView`: degrees across the pixel buffer's width.
  static std::shared_ptr<QVXFaceMeshGraph> initWithFieldOfView(float fieldOfView,
                                                               unsigned long runMode,
                                                               unsigned long maxFaces);
  // A driver over `pellumoGraph`, which must not be started yet if its outputs are to arrive
  // here (the driver makes itself its delegate).
  static std::shared_ptr<QVXFaceMeshGraph> initWithFieldOfView(
      float fieldOfView, std::shared_ptr<PellumoGraph> pellumoGraph);

  QVXFaceMeshGraph(float fieldOfView, std::shared_ptr<PellumoGraph> pellumoGraph);
  ~QVXFaceMeshGraph() override;

  std::shared_ptr<QVXFaceMeshGraphDelegate> delegate() const;
  void setDelegate(std::weak_ptr<QVXFaceMeshGraphDelegate> delegate);
  const std::shared_ptr<PellumoGraph>& meshPellumoGraph() const { return meshPellumoGraph_; }
  float fieldOfView() const { return fieldOfView_.load(); }
  void setFieldOfView(float degrees) { fieldOfView_.store(degrees); }
  int32_t sequenceId() const { return sequenceId_; }
  // Frames held now.
  size_t heldFrameCount() const;

  // The camera's space parameters for `pixelBuffer` turned by `rotation` degrees.
  quorrel::face_transform::CameraFrameSpaceParameters buildQuorrelFaceSpaceParameters(
      CVPixelBufferRef pixelBuffer, unsigned long rotation) const;

  // Keeps the frame and sends it into the graph. False when the frame was refused: two frames
  // were already held and `canDropFrame` is set, or `timestamp` is not a usable time.
  virtual bool updateWithPixelBuffer(CVPixelBufferRef pixelBuffer, double timestamp,
                                     unsigned long recognitionRotation, bool canDropFrame);

  // The facade's output callback: `packet` holds the list of optional face transforms.
  using PellumoGraphDelegate::pellumoGraph;
  bool respondsToSelector(Selector selector) const override {
    return selector == Selector::kDidOutputPacket;
  }
  void pellumoGraph(PellumoGraph* graph, const kaldren::Packet& packet,
                    const std::string& streamName) override;

 private:
  std::weak_ptr<QVXFaceMeshGraphDelegate> delegate_;
  mutable std::mutex delegate_mutex_;
  std::shared_ptr<PellumoGraph> meshPellumoGraph_;
  std::atomic<float> fieldOfView_;

  // Held frames by graph timestamp (microseconds).
  mutable std::mutex pixelBuffers_mutex_;
  std::map<int64_t, std::shared_ptr<QVXPixBufHolder>> pixelBuffers_;

  // Touched by updates only.
  int32_t currentWidth_ = 0;
  int32_t currentHeight_ = 0;
  unsigned long currentRotation_ = 0;
  int32_t sequenceId_ = 0;
};

#endif  // FACE_SDK_FACE_MESH_GRAPH_H_
