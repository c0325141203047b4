#include "gpu/pellumo_graph.h"

#include <GLES3/gl3.h>

#include <functional>
#include <utility>

#include "absl/strings/str_split.h"
#include "gpu/cf_holder.h"
#include "gpu/gl_context.h"
#include "gpu/gpu_buffer.h"
#include "gpu/gpu_resources.h"
#include "gpu/image_frame.h"
#include "gpu/pellumo_graph_status_error.h"
#include "gpu/pixel_buffer_conversions.h"
#include "graph/tool/sink.h"
#include "platform/accelerate/vimage.h"
#include "platform/corefoundation/dictionary.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_thread.h"
#include "platform/foundation/system_log.h"
#include "platform/foundation/xctest.h"

namespace {

// Stores the error of a failed `status` through `error`; the result is whether it was OK.
bool ReportStatus(const absl::Status& status, std::shared_ptr<NSError>* error) {
  if (status.ok()) return true;
  NSErrorAssign(error, vqz_errorWithStatus(status));
  return false;
}

// The attributes of the pixel buffers made for image-frame output: a backing surface and
// nothing else.
CFDictionaryRef OutputPixelBufferAttributes() {
  static const CFDictionaryRef attributes = [] {
    CFDictionaryRef empty = CFDictionaryCreate(kCFAllocatorDefault, nullptr, nullptr, 0,
                                               &kCFTypeDictionaryKeyCallBacks,
                                               &kCFTypeDictionaryValueCallBacks);
    const void* keys[] = {kCVPixelBufferIOSurfacePropertiesKey};
    const void* values[] = {empty};
    CFDictionaryRef made = CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                              &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks);
    CFRelease(empty);
    return made;
  }();
  return attributes;
}

// A new BGRA pixel buffer with the pixels of an RGBA8 or GRAY8 frame, or null when the frame
// has another format or a platform step fails (reported to the assertion handler).
CFHolder<CVPixelBufferRef> CreateBGRAPixelBufferForImageFrame(const kaldren::ImageFrame& frame) {
  const pellumo::ImageFormat_Format format = frame.Format();
  if (format != pellumo::ImageFormat::RGBA8 && format != pellumo::ImageFormat::GRAY8) return {};

  CVPixelBufferRef raw = nullptr;
  CVReturn cv_status =
      CVPixelBufferCreate(kCFAllocatorDefault, frame.Width(), frame.Height(),
                          kCVPixelFormatType_32BGRA, OutputPixelBufferAttributes(), &raw);
  NSCAssert(cv_status == kCVReturnSuccess, "CVPixelBufferCreate failed: %d", cv_status);
  if (cv_status != kCVReturnSuccess) return {};
  CFHolder<CVPixelBufferRef> buffer = MakeCFHolderAdopting(raw);

  cv_status = CVPixelBufferLockBaseAddress(raw, 0);
  NSCAssert(cv_status == kCVReturnSuccess, "CVPixelBufferLockBaseAddress failed: %d", cv_status);
  if (cv_status != kCVReturnSuccess) return {};

  vImage_Buffer source = {const_cast<uint8_t*>(frame.PixelData()),
                          static_cast<vImagePixelCount>(frame.Height()),
                          static_cast<vImagePixelCount>(frame.Width()),
                          static_cast<size_t>(frame.WidthStep())};
  vImage_Buffer destination = {CVPixelBufferGetBaseAddress(raw),
                               static_cast<vImagePixelCount>(frame.Height()),
                               static_cast<vImagePixelCount>(frame.Width()),
                               CVPixelBufferGetBytesPerRow(raw)};
  bool converted;
  if (format == pellumo::ImageFormat::RGBA8) {
    // Output channel i takes input channel map[i]: R, G, B, A becomes B, G, R, A.
    static const uint8_t kRGBAToBGRA[4] = {2, 1, 0, 3};
    const vImage_Error v_status =
        vImagePermuteChannels_ARGB8888(&source, &destination, kRGBAToBGRA, kvImageNoFlags);
    NSCAssert(v_status == kvImageNoError, "vImagePermuteChannels failed: %zd", v_status);
    converted = v_status == kvImageNoError;
  } else {
    const vImage_Error v_status = vImageGrayToBGRA(&source, &destination);
    NSCAssert(v_status == kvImageNoError, "vImageGrayToBGRA failed: %zd", v_status);
    converted = v_status == kvImageNoError;
  }

  cv_status = CVPixelBufferUnlockBaseAddress(raw, 0);
  if (!converted) return {};
  NSCAssert(cv_status == kCVReturnSuccess, "CVPixelBufferUnlockBaseAddress failed: %d", cv_status);
  if (cv_status != kCVReturnSuccess) return {};
  return buffer;
}

}  // namespace

std::shared_ptr<PellumoGraph> PellumoGraph::initWithGraphConfig(
    const pellumo::CalculatorGraphConfig& config) {
  return std::shared_ptr<PellumoGraph>(new PellumoGraph(config));
}

PellumoGraph::PellumoGraph(const pellumo::CalculatorGraphConfig& config)
    : graph_(std::make_unique<kaldren::CalculatorGraph>()), config_(config) {}

PellumoGraph::~PellumoGraph() {
  // The callback nodes call into this object without owning it: end the run while every
  // member, the graph runtime included, is still whole, so that a callback still running may
  // use any method of the facade.
  if (started_) {
    graph_->Cancel();
    graph_->WaitUntilDone().IgnoreError();
  }
}

std::shared_ptr<PellumoGraphDelegate> PellumoGraph::delegate() const {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  return delegate_.lock();
}

void PellumoGraph::setDelegate(const std::shared_ptr<PellumoGraphDelegate>& delegate) {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  delegate_ = delegate;
}

int32_t PellumoGraph::packetAddMode() const {
  return static_cast<int32_t>(graph_->GetGraphInputStreamAddMode());
}

void PellumoGraph::setPacketAddMode(int32_t packetAddMode) {
  graph_->SetGraphInputStreamAddMode(
      static_cast<kaldren::CalculatorGraph::GraphInputStreamAddMode>(packetAddMode));
}

void PellumoGraph::checkNotStarted(const char* method, int line) const {
  if (!started_) return;
  platform::foundation::internal::ReportFailureInFunction(
      (std::string("PellumoGraph::") + method).c_str(), __FILE__, line,
      "%s must be called before the graph is started", method);
}

void PellumoGraph::addFrameOutputStream(const std::string& outputStreamName,
                                        KLDPacketType packetType) {
  std::string callbackSidePacketName;
  kaldren::tool::AddCallbackCalculator(outputStreamName, &config_, &callbackSidePacketName,
                                       /*use_std_function=*/true);
  // Unowned: the destructor ends the run before this object goes.
  PellumoGraph* const self = this;
  inputSidePackets_[callbackSidePacketName] =
      kaldren::MakePacket<std::function<void(const kaldren::Packet&)>>(
          [self, outputStreamName, packetType](const kaldren::Packet& packet) {
            self->outputPacket(packet, outputStreamName, packetType);
          });
}

void PellumoGraph::setHeaderPacket(const kaldren::Packet& packet, const std::string& streamName) {
  checkNotStarted("setHeaderPacket", __LINE__);
  streamHeaders_[streamName] = packet;
}

void PellumoGraph::setSidePacket(const kaldren::Packet& packet, const std::string& name) {
  checkNotStarted("setSidePacket", __LINE__);
  inputSidePackets_[name] = packet;
}

void PellumoGraph::setServicePacket(kaldren::Packet&& packet,
                                    const kaldren::GraphServiceBase& service) {
  checkNotStarted("setServicePacket", __LINE__);
  servicePackets_[&service] = std::move(packet);
}

void PellumoGraph::addSidePackets(const std::map<std::string, kaldren::Packet>& extraSidePackets) {
  checkNotStarted("addSidePackets", __LINE__);
  inputSidePackets_.insert(extraSidePackets.begin(), extraSidePackets.end());
}

bool PellumoGraph::startWithError(std::shared_ptr<NSError>* error) {
  const absl::Status status = performStart();
  if (status.ok()) started_ = true;
  return ReportStatus(status, error);
}

absl::Status PellumoGraph::performStart() {
  absl::Status status = graph_->Initialize(config_);
  if (!status.ok()) return status;
  for (const auto& [service, packet] : servicePackets_) {
    status = graph_->SetServicePacket(*service, packet);
    if (!status.ok()) return status;
  }
  return graph_->StartRun(inputSidePackets_, streamHeaders_);
}

bool PellumoGraph::waitUntilDoneWithError(std::shared_ptr<NSError>* error) {
  // Waiting blocks the thread, which the main thread must never do; test harnesses may.
  NSAssert(!NSThread::isMainThread() || platform::foundation::IsXCTestLoaded(),
           "waitUntilDoneWithError: should not be called on the main thread");
  const absl::Status status = graph_->WaitUntilDone();
  started_ = false;
  return ReportStatus(status, error);
}

bool PellumoGraph::waitUntilIdleWithError(std::shared_ptr<NSError>* error) {
  return ReportStatus(graph_->WaitUntilIdle(), error);
}

bool PellumoGraph::closeInputStream(const std::string& inputName,
                                    std::shared_ptr<NSError>* error) {
  return ReportStatus(graph_->CloseInputStream(inputName), error);
}

bool PellumoGraph::closeAllInputStreamsWithError(std::shared_ptr<NSError>* error) {
  return ReportStatus(graph_->CloseAllInputStreams(), error);
}

bool PellumoGraph::setMaxQueueSize(int32_t maxQueueSize, const std::string& streamName,
                                   std::shared_ptr<NSError>* error) {
  return ReportStatus(graph_->SetInputStreamMaxQueueSize(streamName, maxQueueSize), error);
}

bool PellumoGraph::hasInputStream(const std::string& inputName) {
  return graph_->HasInputStream(inputName);
}

void PellumoGraph::cancel() { graph_->Cancel(); }

kaldren::ProfilingContext* PellumoGraph::getProfiler() { return graph_->profiler().get(); }

bool PellumoGraph::sendPacket(const kaldren::Packet& packet, const std::string& streamName,
                              std::shared_ptr<NSError>* error) {
  return ReportStatus(graph_->AddPacketToInputStream(streamName, packet), error);
}

bool PellumoGraph::movePacket(kaldren::Packet&& packet, const std::string& streamName,
                              std::shared_ptr<NSError>* error) {
  return ReportStatus(graph_->AddPacketToInputStream(streamName, std::move(packet)), error);
}

kaldren::Packet PellumoGraph::packetWithPixelBuffer(CVPixelBufferRef imageBuffer,
                                                    KLDPacketType packetType) {
  switch (packetType) {
    case KLDPacketTypeGpuBuffer:
      return kaldren::MakePacket<pellumo::GpuBuffer>(imageBuffer);
    case KLDPacketTypeImageFrameRGBA:
      return kaldren::Adopt(CreateImageFrameForCVPixelBuffer(imageBuffer, /*can_overwrite=*/false,
                                                             /*bgr_as_rgb=*/false)
                                .release());
    case KLDPacketTypeImageFrameBGRA:
      return kaldren::Adopt(CreateImageFrameForCVPixelBuffer(imageBuffer, /*can_overwrite=*/false,
                                                             /*bgr_as_rgb=*/true)
                                .release());
    default:
      return kaldren::Packet();
  }
}

bool PellumoGraph::sendPixelBuffer(CVPixelBufferRef imageBuffer, const std::string& inputName,
                                   KLDPacketType packetType, const kaldren::Timestamp& timestamp,
                                   bool allowOverwrite) {
  if (maxFramesInFlight_ != 0 && framesInFlight_.load() >= maxFramesInFlight_) return false;
  kaldren::Packet packet = packetWithPixelBuffer(imageBuffer, packetType);
  bool sent;
  if (allowOverwrite) {
    packet = std::move(packet).At(timestamp);
    sent = movePacket(std::move(packet), inputName, nullptr);
  } else {
    sent = sendPacket(packet.At(timestamp), inputName, nullptr);
  }
  if (sent) framesInFlight_.fetch_add(1);
  return sent;
}

bool PellumoGraph::sendPixelBuffer(CVPixelBufferRef imageBuffer, const std::string& inputName,
                                   KLDPacketType packetType, const kaldren::Timestamp& timestamp) {
  return sendPixelBuffer(imageBuffer, inputName, packetType, timestamp, /*allowOverwrite=*/false);
}

bool PellumoGraph::sendPixelBuffer(CVPixelBufferRef imageBuffer, const std::string& inputName,
                                   KLDPacketType packetType) {
  NSAssert(frameTimestamp_ != kaldren::Timestamp::Done(),
           "Trying to send frame after stream is done.");
  if (frameTimestamp_ < kaldren::Timestamp::Min()) {
    frameTimestamp_ = kaldren::Timestamp::Min();
  } else {
    ++frameTimestamp_;
  }
  return sendPixelBuffer(imageBuffer, inputName, packetType, frameTimestamp_);
}

std::string PellumoGraph::description() const {
  return platform::foundation::StringWithFormat("<PellumoGraph: %p; framesInFlight = %d>",
                                                static_cast<const void*>(this),
                                                framesInFlight_.load());
}

void PellumoGraph::debugPrintGlInfo() {
  std::shared_ptr<pellumo::GpuResources> resources = graph_->GetGpuResources();
  if (!resources) {
    NSLog("GPU not set up.");
    return;
  }
  const char* extensions = nullptr;
  pellumo::GlGpuResources::From(resources)
      ->gl_context(static_cast<kaldren::CalculatorContext*>(nullptr))
      ->Run([&extensions]() -> absl::Status {
        extensions = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
        return absl::OkStatus();
      })
      .IgnoreError();
  if (extensions == nullptr) return;
  // Every piece between white-space characters, the empty ones included.
  for (absl::string_view piece : absl::StrSplit(extensions, absl::ByAnyChar(" \t"))) {
    NSLog("%.*s", static_cast<int>(piece.size()), piece.data());
  }
}

void PellumoGraph::outputPacket(const kaldren::Packet& packet, const std::string& streamName,
                                KLDPacketType packetType) {
  switch (packetType) {
    case KLDPacketTypeImageFrameRGBA: {
      CFHolder<CVPixelBufferRef> pixelBuffer =
          CreateBGRAPixelBufferForImageFrame(packet.Get<kaldren::ImageFrame>());
      // The facade keeps no reference after the call: a delegate that keeps the buffer
      // retains it.
      if (pixelBuffer) deliverPixelBuffer(*pixelBuffer, streamName, packet.Timestamp());
      break;
    }
    case KLDPacketTypeGpuBuffer:
      deliverPixelBuffer(packet.Get<pellumo::GpuBuffer>().pixel_buffer(), streamName,
                         packet.Timestamp());
      break;
    case KLDPacketTypeAnyPacket:
      if (std::shared_ptr<PellumoGraphDelegate> receiver = delegate()) {
        receiver->pellumoGraph(this, packet, streamName);
      }
      break;
    default:
      break;
  }
  framesInFlight_.fetch_sub(1);
}

void PellumoGraph::deliverPixelBuffer(CVPixelBufferRef pixelBuffer, const std::string& streamName,
                                      const kaldren::Timestamp& timestamp) {
  std::shared_ptr<PellumoGraphDelegate> receiver = delegate();
  if (!receiver) return;
  using Selector = PellumoGraphDelegate::Selector;
  if (receiver->respondsToSelector(Selector::kDidOutputPixelBufferTimestamp)) {
    receiver->pellumoGraph(this, pixelBuffer, streamName, timestamp);
  } else if (receiver->respondsToSelector(Selector::kDidOutputPixelBuffer)) {
    receiver->pellumoGraph(this, pixelBuffer, streamName);
  }
}
