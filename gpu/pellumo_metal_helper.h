// PellumoMetalHelper: how a Metal calculator reaches the GPU resources of its graph.
//
//   static absl::Status GetContract(kaldren::CalculatorContract* cc) {
//     ...
//     return PellumoMetalHelper::updateContract(cc);      // requests kaldren::kGpuService
//   }
//   absl::Status Open(kaldren::CalculatorContext* cc) override {
//     helper_ = PellumoMetalHelper::initWithCalculatorContext(cc);
//     device_ = helper_->mtlDevice();                      // the graph's one device
//     ...
//   }
//
// Every helper bound to the same resources answers the same device, command queue and Metal
// texture cache: the helper keeps only the resources' PellumoGraphGPUData, which makes them
// once. Legacy calculators, which have no contract or context argument, use
// `setupInputSidePackets` and `initWithSidePackets`; inside a graph these find the contract
// or context current on the thread, elsewhere they fall back to the "GPU_SHARED" side packet
// (with a WARNING).
//
// Misuse of the texture operations (a plane or pixel format the table in the source does not
// map) is reported through the assertion handler; when the handler returns, no texture is
// made. After initialisation the helper does not change; it may be used from any thread.

#ifndef GPU_PELLUMO_METAL_HELPER_H_
#define GPU_PELLUMO_METAL_HELPER_H_

#include <memory>
#include <string>

#include "base/status.h"
#include "gpu/gpu_buffer.h"
#include "gpu/gpu_buffer_format.h"
#include "gpu/pellumo_graph_gpu_data.h"
#include "graph/calculator_context.h"
#include "graph/calculator_contract.h"
#include "graph/gpu_resources.h"
#include "graph/packet_set.h"
#include "graph/packet_type.h"
#include "platform/foundation/ns_error.h"
#include "platform/metal/metal.h"

class PellumoMetalHelper {
 public:
  // Requests the GPU service and types a "GPU_SHARED" side packet when the node lists one.
  static absl::Status updateContract(kaldren::CalculatorContract* cc);
  // `updateContract` of the contract current on this thread, whose input side packets must be
  // `inputSidePackets` (fatal otherwise). Without one, requires and types "GPU_SHARED".
  static absl::Status setupInputSidePackets(kaldren::PacketTypeSet* inputSidePackets);

  static std::shared_ptr<PellumoMetalHelper> initWithGpuResources(pellumo::GpuResources* gpuResources);
  static std::shared_ptr<PellumoMetalHelper> initWithGpuSharedData(pellumo::GpuSharedData* gpuShared);
  // Null for a null context.
  static std::shared_ptr<PellumoMetalHelper> initWithCalculatorContext(kaldren::CalculatorContext* cc);
  // Through the context current on this thread, whose side packets must be `inputSidePackets`
  // (fatal otherwise); without one, through the "GPU_SHARED" side packet.
  static std::shared_ptr<PellumoMetalHelper> initWithSidePackets(const kaldren::PacketSet& inputSidePackets);

  std::shared_ptr<MTLDevice> mtlDevice() const { return gpu_shared_->mtlDevice(); }
  std::shared_ptr<MTLCommandQueue> mtlCommandQueue() const { return gpu_shared_->mtlCommandQueue(); }
  CVMetalTextureCacheRef mtlTextureCache() const { return gpu_shared_->mtlTextureCache(); }

  // A new command buffer of mtlCommandQueue().
  std::shared_ptr<MTLCommandBuffer> commandBuffer() const;

  // A texture over plane `plane` of the buffer's pixel buffer, which the caller releases;
  // NULL after a reported misuse.
  CVMetalTextureRef copyCVMetalTextureWithGpuBuffer(const pellumo::GpuBuffer* gpuBuffer,
                                                    size_t plane = 0) const;
  // The Metal texture of the same; null after a reported misuse.
  std::shared_ptr<MTLTexture> metalTextureWithGpuBuffer(const pellumo::GpuBuffer* gpuBuffer,
                                                        size_t plane = 0) const;

  // A buffer from the graph's pool.
  pellumo::GpuBuffer pellumoGpuBufferWithWidth(
      int width, int height,
      pellumo::GpuBufferFormat format = pellumo::GpuBufferFormat::kFormatBGRA) const;

  // The library of the "<name>.metallib" resource of the bundle holding this code; null with
  // the device's error when it cannot be made.
  std::shared_ptr<MTLLibrary> newLibraryWithResourceName(const std::string& name,
                                                         std::shared_ptr<NSError>* error) const;

  // Use the init... factories.
  explicit PellumoMetalHelper(std::shared_ptr<PellumoGraphGPUData> gpu_shared)
      : gpu_shared_(std::move(gpu_shared)) {}

 private:
  const std::shared_ptr<PellumoGraphGPUData> gpu_shared_;
};

#endif  // GPU_PELLUMO_METAL_HELPER_H_
