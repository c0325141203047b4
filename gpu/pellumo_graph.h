// PellumoGraph: the one object through which platform code builds, starts, feeds and observes
// a graph.
//
// The facade keeps a copy of the configuration until it starts. Observed output streams, side
// packets, stream headers and service packets are collected first; `startWithError` then
// initialises the graph runtime with them and starts the run. Camera frames go in as pixel
// buffers, packed as the `KLDPacketType` says; packets of observed streams come back through the
// delegate on the graph thread that runs the stream's callback node.
//
//   auto graph = PellumoGraph::initWithGraphConfig(config);
//   graph->addFrameOutputStream("face_transform", KLDPacketTypeAnyPacket);
//   graph->setDelegate(delegate);          // a PellumoGraphDelegate; held weakly
//   std::shared_ptr<NSError> error;
//   if (!graph->startWithError(&error)) { ... error->localizedDescription() ... }
//   graph->sendPixelBuffer(pixel_buffer, "input_frames", KLDPacketTypeGpuBuffer,
//                          kaldren::Timestamp(microseconds));
//
// Errors: methods with an error out-parameter return false on failure and store an error made
// from the failing status (see gpu/pellumo_graph_status_error.h) when the pointer is not null.
// The pixel-buffer senders answer only true or false: a frame refused by the frames-in-flight
// limit and a failed send look the same. Misuse (a setter after the start, a blocking wait on
// the main thread, an automatic timestamp past Done) is reported to the assertion handler, and
// the operation goes on when the handler returns.
//
// Frames in flight: every accepted pixel buffer adds one, every packet delivered from any
// observed stream subtracts one, whatever its kind; nothing clamps the count, so streams that
// emit more packets than frames drive it below zero. With `maxFramesInFlight` above 0 a frame
// is refused while the count is at or above the limit; several senders at once can overshoot
// it by up to their number, because the test and the increment are separate steps.
//
// Threads: configuration and start come from one thread before the run. Sends may come from any
// thread (the automatic timestamp is a plain field: callers of the three-argument
// `sendPixelBuffer` serialise themselves). Delegate calls come from graph threads, for
// different streams possibly at once. The destructor cancels a run in progress and waits for
// it before anything else of the facade goes, so no callback ever sees a half-destroyed facade;
// a delegate must therefore not drop the last reference to the facade from inside a callback.

#ifndef GPU_PELLUMO_GRAPH_H_
#define GPU_PELLUMO_GRAPH_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/status.h"
#include "graph/calculator_graph.h"
#include "graph/graph_service.h"
#include "graph/packet.h"
#include "graph/timestamp.h"
#include "graph_config/calculator.pb.h"
#include "platform/corevideo/pixel_buffer.h"
#include "platform/foundation/ns_error.h"

// How a pixel buffer is packed when it is sent, and how a packet of an observed stream reaches
// the delegate.
//
//   value  sending a pixel buffer                     receiving an output packet
//   0      an empty packet                            the packet itself (didOutputPacket)
//   1      a pellumo::GpuBuffer retaining the buffer  the GPU buffer's pixel buffer
//   2      an RGBA8 ImageFrame (BGRA: a swapped copy)  an RGBA8 or GRAY8 ImageFrame as a new
//                                                     BGRA pixel buffer
//   3      an ImageFrame over the buffer's memory,    nothing
//          bytes left in B, G, R, A order
//
// Other values send like 0 and receive like 3.
enum KLDPacketType : int32_t {
  KLDPacketTypeAnyPacket = 0,
  KLDPacketTypeGpuBuffer = 1,
  KLDPacketTypeImageFrameRGBA = 2,
  KLDPacketTypeImageFrameBGRA = 3,
};

class PellumoGraph;

// The receiver of a facade's output. Every method is optional. Pixel buffers of kinds 1 and 2 go
// to the form with the timestamp when the delegate answers `respondsToSelector` for it, else to
// the form without when it answers for that one, else nowhere; so a delegate answers true for
// each pixel-buffer method it overrides. Packets of kind 0 go to the packet form unasked.
// Pixel buffers are not retained for the delegate beyond the call.
class PellumoGraphDelegate {
 public:
  enum class Selector {
    kDidOutputPixelBuffer,           // pellumoGraph(graph, pixelBuffer, streamName)
    kDidOutputPixelBufferTimestamp,  // pellumoGraph(graph, pixelBuffer, streamName, timestamp)
    kDidOutputPacket,                // pellumoGraph(graph, packet, streamName)
  };

  virtual ~PellumoGraphDelegate() = default;

  virtual bool respondsToSelector(Selector selector) const { return false; }

  virtual void pellumoGraph(PellumoGraph* graph, CVPixelBufferRef pixelBuffer,
                            const std::string& streamName) {}
  virtual void pellumoGraph(PellumoGraph* graph, CVPixelBufferRef pixelBuffer,
                            const std::string& streamName, const kaldren::Timestamp& timestamp) {}
  virtual void pellumoGraph(PellumoGraph* graph, const kaldren::Packet& packet,
                            const std::string& streamName) {}
};

class PellumoGraph {
 public:
  // A facade around a new, uninitialised graph runtime object and a copy of `config`.
  static std::shared_ptr<PellumoGraph> initWithGraphConfig(
      const pellumo::CalculatorGraphConfig& config);

  // Cancels a run in progress and waits for it, then lets the rest go.
  ~PellumoGraph();
  PellumoGraph(const PellumoGraph&) = delete;
  PellumoGraph& operator=(const PellumoGraph&) = delete;

  // ---- Properties ----

  std::shared_ptr<PellumoGraphDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<PellumoGraphDelegate>& delegate);
  // 0 (the default) means no limit.
  int32_t maxFramesInFlight() const { return maxFramesInFlight_; }
  void setMaxFramesInFlight(int32_t maxFramesInFlight) { maxFramesInFlight_ = maxFramesInFlight; }
  // The graph runtime's add mode of graph input streams: 0, the default, makes a send to a
  // throttled stream wait; 1 makes it fail at once.
  int32_t packetAddMode() const;
  void setPacketAddMode(int32_t packetAddMode);

  // ---- Configuration, before the start ----

  // Adds a callback node for `outputStreamName` to the configuration and the side packet that
  // calls the output routine with `packetType`. Observing a stream twice delivers each of its
  // packets twice. After the start it changes only what the running graph no longer reads.
  void addFrameOutputStream(const std::string& outputStreamName, KLDPacketType packetType);
  // These four report a call after the start to the assertion handler, and store anyway.
  void setHeaderPacket(const kaldren::Packet& packet, const std::string& streamName);
  void setSidePacket(const kaldren::Packet& packet, const std::string& name);
  // Takes the packet; the caller's packet is left empty.
  void setServicePacket(kaldren::Packet&& packet, const kaldren::GraphServiceBase& service);
  // Adds the entries whose names are not yet set; those already present are kept.
  void addSidePackets(const std::map<std::string, kaldren::Packet>& extraSidePackets);

  // ---- Running ----

  // Initialises the graph runtime, installs the service packets and starts the run. The graph
  // runtime accepts one initialisation only, so the facade starts once.
  bool startWithError(std::shared_ptr<NSError>* error);
  absl::Status performStart();
  // Waits for the run to end. Refused on the main thread unless a test harness is loaded.
  bool waitUntilDoneWithError(std::shared_ptr<NSError>* error);
  bool waitUntilIdleWithError(std::shared_ptr<NSError>* error);
  bool closeInputStream(const std::string& inputName, std::shared_ptr<NSError>* error);
  bool closeAllInputStreamsWithError(std::shared_ptr<NSError>* error);
  bool setMaxQueueSize(int32_t maxQueueSize, const std::string& streamName,
                       std::shared_ptr<NSError>* error);
  bool hasInputStream(const std::string& inputName);
  void cancel();
  // The graph runtime's own profiling context; owned by the graph.
  kaldren::ProfilingContext* getProfiler();

  // ---- Sending ----

  bool sendPacket(const kaldren::Packet& packet, const std::string& streamName,
                  std::shared_ptr<NSError>* error);
  // The caller's packet is left empty.
  bool movePacket(kaldren::Packet&& packet, const std::string& streamName,
                  std::shared_ptr<NSError>* error);
  // A packet without timestamp holding `imageBuffer` packed as `packetType` says.
  kaldren::Packet packetWithPixelBuffer(CVPixelBufferRef imageBuffer, KLDPacketType packetType);
  // Sends `imageBuffer` at `timestamp` unless the frames-in-flight limit refuses it. With
  // `allowOverwrite` the graph gets the only reference to the payload.
  bool sendPixelBuffer(CVPixelBufferRef imageBuffer, const std::string& inputName,
                       KLDPacketType packetType, const kaldren::Timestamp& timestamp,
                       bool allowOverwrite);
  bool sendPixelBuffer(CVPixelBufferRef imageBuffer, const std::string& inputName,
                       KLDPacketType packetType, const kaldren::Timestamp& timestamp);
  // Sends at the automatic timestamp: Timestamp::Min() first, then one microsecond more each
  // call, whether or not the frame is accepted; explicit timestamps take no part.
  bool sendPixelBuffer(CVPixelBufferRef imageBuffer, const std::string& inputName,
                       KLDPacketType packetType);

  // ---- Diagnostics ----

  // "<PellumoGraph: 0x...; framesInFlight = N>".
  std::string description() const;
  // Logs the GL extensions of the graph's shared GL context, one per line, or
  // "GPU not set up." when the graph has no GPU resources.
  void debugPrintGlInfo();

 private:
  explicit PellumoGraph(const pellumo::CalculatorGraphConfig& config);

  // Reports a configuration call made after the start.
  void checkNotStarted(const char* method, int line) const;
  // Hands one packet of an observed stream to the delegate and counts it out of flight.
  void outputPacket(const kaldren::Packet& packet, const std::string& streamName,
                    KLDPacketType packetType);
  // Offers a pixel buffer to the delegate's preferred pixel-buffer method.
  void deliverPixelBuffer(CVPixelBufferRef pixelBuffer, const std::string& streamName,
                          const kaldren::Timestamp& timestamp);

  std::unique_ptr<kaldren::CalculatorGraph> graph_;
  std::map<std::string, kaldren::Packet> inputSidePackets_;
  std::map<std::string, kaldren::Packet> streamHeaders_;
  std::map<const kaldren::GraphServiceBase*, kaldren::Packet> servicePackets_;
  std::atomic<int32_t> framesInFlight_{0};
  kaldren::Timestamp frameTimestamp_ = kaldren::Timestamp::Unset();
  pellumo::CalculatorGraphConfig config_;
  bool started_ = false;
  int32_t maxFramesInFlight_ = 0;
  // Guarded, so that setting the delegate during a run is safe, as weak references are.
  mutable std::mutex delegateMutex_;
  std::weak_ptr<PellumoGraphDelegate> delegate_;
};

#endif  // GPU_PELLUMO_GRAPH_H_
