#include "gpu/pellumo_metal_helper.h"

#include "base/logging.h"
#include "base/status_macros.h"
#include "gpu/gpu_buffer_multi_pool.h"
#include "gpu/gpu_resources.h"
#include "graph/calculator_state.h"
#include "graph/legacy_calculator_support.h"
#include "platform/corefoundation/object.h"
#include "platform/corevideo/pixel_format.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_bundle.h"

namespace {

using kaldren::CalculatorContext;
using kaldren::CalculatorContract;
using kaldren::LegacyCalculatorSupport;

// The Metal pixel format of plane `plane` of a pixel buffer of Core Video format
// `pixel_format`. Keyed by the buffer's own code: 'fdep', which GPU buffers read as 'L00f',
// has no texture here.
enum class PlaneMapping { kMapped, kInvalidPlane, kInvalidFormat };

PlaneMapping MetalPixelFormatForPlane(OSType pixel_format, size_t plane, MTLPixelFormat* format) {
  switch (pixel_format) {
    case kCVPixelFormatType_32BGRA:
      *format = MTLPixelFormatBGRA8Unorm;
      break;
    case kCVPixelFormatType_64RGBAHalf:
      *format = MTLPixelFormatRGBA16Float;
      break;
    case kCVPixelFormatType_OneComponent8:
      // An integer format: shaders read the bytes as they are.
      *format = MTLPixelFormatR8Uint;
      break;
    case kCVPixelFormatType_OneComponent32Float:
      *format = MTLPixelFormatR32Float;
      break;
    case kCVPixelFormatType_TwoComponent16Half:
      *format = MTLPixelFormatRG16Float;
      break;
    case kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange:
    case kCVPixelFormatType_420YpCbCr8BiPlanarFullRange:
      if (plane > 1) return PlaneMapping::kInvalidPlane;
      *format = plane == 0 ? MTLPixelFormatR8Unorm : MTLPixelFormatRG8Unorm;
      return PlaneMapping::kMapped;
    default:
      return PlaneMapping::kInvalidFormat;
  }
  return plane == 0 ? PlaneMapping::kMapped : PlaneMapping::kInvalidPlane;
}

// What stands for "the bundle that contains this class".
const char kBundleAnchor = 0;

}  // namespace

absl::Status PellumoMetalHelper::updateContract(CalculatorContract* cc) {
  cc->UseService(kaldren::kGpuService);
  if (cc->InputSidePackets().HasTag(kaldren::kGpuSharedTagName)) {
    cc->InputSidePackets().Get(kaldren::kGpuSharedTagName, 0).Set<pellumo::GpuSharedData*>();
  }
  return absl::OkStatus();
}

absl::Status PellumoMetalHelper::setupInputSidePackets(kaldren::PacketTypeSet* inputSidePackets) {
  CalculatorContract* cc = LegacyCalculatorSupport::Scoped<CalculatorContract>::current();
  if (cc != nullptr) {
    CHECK(inputSidePackets == &cc->InputSidePackets());
    return updateContract(cc);
  }
  LOG(WARNING) << "CalculatorContract not available. If you're calling this from a "
                  "GetContract method, call updateContract instead.";
  auto id = inputSidePackets->GetId(kaldren::kGpuSharedTagName, 0);
  RET_CHECK(id.IsValid()) << "A " << kaldren::kGpuSharedTagName
                          << " input side packet is required here.";
  inputSidePackets->Get(id).Set<pellumo::GpuSharedData*>();
  return absl::OkStatus();
}

std::shared_ptr<PellumoMetalHelper> PellumoMetalHelper::initWithGpuResources(
    pellumo::GpuResources* gpuResources) {
  return std::make_shared<PellumoMetalHelper>(
      pellumo::GlGpuResources::From(gpuResources)->ios_gpu_data());
}

std::shared_ptr<PellumoMetalHelper> PellumoMetalHelper::initWithGpuSharedData(
    pellumo::GpuSharedData* gpuShared) {
  return initWithGpuResources(gpuShared->physical_gpu_resources.get());
}

std::shared_ptr<PellumoMetalHelper> PellumoMetalHelper::initWithCalculatorContext(
    CalculatorContext* cc) {
  if (cc == nullptr) return nullptr;
  return initWithGpuResources(cc->Service(kaldren::kGpuService).get());
}

std::shared_ptr<PellumoMetalHelper> PellumoMetalHelper::initWithSidePackets(
    const kaldren::PacketSet& inputSidePackets) {
  CalculatorContext* cc = LegacyCalculatorSupport::Scoped<CalculatorContext>::current();
  if (cc != nullptr) {
    CHECK(&inputSidePackets == &cc->InputSidePackets());
    return initWithCalculatorContext(cc);
  }
  LOG(WARNING) << "CalculatorContext not available. If this calculator uses CalculatorBase, "
                  "call initWithCalculatorContext instead.";
  auto* gpu_shared =
      inputSidePackets.Get(kaldren::kGpuSharedTagName, 0).Get<pellumo::GpuSharedData*>();
  return initWithGpuResources(gpu_shared->physical_gpu_resources.get());
}

std::shared_ptr<MTLCommandBuffer> PellumoMetalHelper::commandBuffer() const {
  return mtlCommandQueue()->commandBuffer();
}

CVMetalTextureRef PellumoMetalHelper::copyCVMetalTextureWithGpuBuffer(
    const pellumo::GpuBuffer* gpuBuffer, size_t plane) const {
  CVPixelBufferRef pixel_buffer = gpuBuffer->pixel_buffer();
  const OSType pixel_format = CVPixelBufferGetPixelFormatType(pixel_buffer);
  MTLPixelFormat metal_format = MTLPixelFormatInvalid;
  const PlaneMapping mapping = MetalPixelFormatForPlane(pixel_format, plane, &metal_format);
  NSAssert(mapping != PlaneMapping::kInvalidPlane, "Invalid plane number");
  NSAssert(mapping != PlaneMapping::kInvalidFormat, "Invalid pixel buffer format");
  // A handler that returns lets the caller go on without a texture.
  if (mapping != PlaneMapping::kMapped) return nullptr;

  const bool planar = CVPixelBufferGetPlaneCount(pixel_buffer) > 0;
  const int width = static_cast<int>(planar ? CVPixelBufferGetWidthOfPlane(pixel_buffer, plane)
                                            : CVPixelBufferGetWidth(pixel_buffer));
  const int height = static_cast<int>(planar ? CVPixelBufferGetHeightOfPlane(pixel_buffer, plane)
                                             : CVPixelBufferGetHeight(pixel_buffer));
  CVMetalTextureRef texture = nullptr;
  CVReturn err = CVMetalTextureCacheCreateTextureFromImage(
      kCFAllocatorDefault, mtlTextureCache(), pixel_buffer, nullptr, metal_format, width, height,
      plane, &texture);
  CHECK(err == kCVReturnSuccess);
  return texture;
}

std::shared_ptr<MTLTexture> PellumoMetalHelper::metalTextureWithGpuBuffer(
    const pellumo::GpuBuffer* gpuBuffer, size_t plane) const {
  CVMetalTextureRef cv_texture = copyCVMetalTextureWithGpuBuffer(gpuBuffer, plane);
  if (cv_texture == nullptr) return nullptr;
  std::shared_ptr<MTLTexture> texture = CVMetalTextureGetTexture(cv_texture);
  CFRelease(cv_texture);
  return texture;
}

pellumo::GpuBuffer PellumoMetalHelper::pellumoGpuBufferWithWidth(
    int width, int height, pellumo::GpuBufferFormat format) const {
  return gpu_shared_->gpuBufferPool()->GetBuffer(width, height, format);
}

std::shared_ptr<MTLLibrary> PellumoMetalHelper::newLibraryWithResourceName(
    const std::string& name, std::shared_ptr<NSError>* error) const {
  std::shared_ptr<MTLDevice> device = mtlDevice();
  std::shared_ptr<NSBundle> bundle = NSBundle::bundleForAddress(&kBundleAnchor);
  std::optional<std::string> path;
  if (bundle != nullptr) path = bundle->pathForResource(name, "metallib");
  return device->newLibraryWithFile(path.value_or(""), error);
}
