#include "platform/metal/library.h"

#include <cstring>
#include <mutex>

#include "base/logging.h"
#include "platform/metal/buffer.h"

const char* const MTLLibraryErrorDomain = "MTLLibraryErrorDomain";

namespace platform::metal {

void* ArgumentTable::buffer(size_t index) const {
  CHECK(index < kMaxBuffers) << "buffer index " << index << " beyond " << kMaxBuffers - 1;
  const BufferBinding& binding = buffers_[index];
  if (binding.bytes != nullptr) return binding.bytes->data();
  if (binding.buffer != nullptr) return static_cast<uint8_t*>(binding.buffer->contents()) + binding.offset;
  return nullptr;
}

size_t ArgumentTable::bufferLength(size_t index) const {
  CHECK(index < kMaxBuffers) << "buffer index " << index << " beyond " << kMaxBuffers - 1;
  const BufferBinding& binding = buffers_[index];
  if (binding.bytes != nullptr) return binding.bytes->size();
  if (binding.buffer != nullptr) return binding.buffer->length() - binding.offset;
  return 0;
}

MTLTexture* ArgumentTable::texture(size_t index) const {
  CHECK(index < kMaxTextures) << "texture index " << index << " beyond " << kMaxTextures - 1;
  return textures_[index].get();
}

const MTLSamplerState* ArgumentTable::samplerState(size_t index) const {
  CHECK(index < kMaxSamplers) << "sampler index " << index << " beyond " << kMaxSamplers - 1;
  return samplers_[index].get();
}

void ArgumentTable::setBuffer(std::shared_ptr<MTLBuffer> buffer, size_t offset, size_t index) {
  CHECK(index < kMaxBuffers) << "buffer index " << index << " beyond " << kMaxBuffers - 1;
  CHECK(buffer == nullptr || offset <= buffer->length())
      << "buffer offset " << offset << " beyond its length " << buffer->length();
  buffers_[index] = BufferBinding{std::move(buffer), offset, nullptr};
}

void ArgumentTable::setBytes(const void* bytes, size_t length, size_t index) {
  CHECK(index < kMaxBuffers) << "buffer index " << index << " beyond " << kMaxBuffers - 1;
  auto copy = std::make_shared<std::vector<uint8_t>>(length);
  if (length > 0) std::memcpy(copy->data(), bytes, length);
  buffers_[index] = BufferBinding{nullptr, 0, std::move(copy)};
}

void ArgumentTable::setTexture(std::shared_ptr<MTLTexture> texture, size_t index) {
  CHECK(index < kMaxTextures) << "texture index " << index << " beyond " << kMaxTextures - 1;
  textures_[index] = std::move(texture);
}

void ArgumentTable::setSamplerState(std::shared_ptr<MTLSamplerState> sampler, size_t index) {
  CHECK(index < kMaxSamplers) << "sampler index " << index << " beyond " << kMaxSamplers - 1;
  samplers_[index] = std::move(sampler);
}

ShaderFunction VertexShader(std::string name, VertexFunctionImpl impl) {
  return ShaderFunction{std::move(name), MTLFunctionTypeVertex, std::move(impl), nullptr, nullptr, nullptr};
}

ShaderFunction FragmentShader(std::string name, FragmentFunctionImpl impl) {
  return ShaderFunction{std::move(name), MTLFunctionTypeFragment, nullptr, std::move(impl), nullptr, nullptr};
}

ShaderFunction FragmentShader(std::string name, FragmentFunctionImpl impl, FragmentSpanImpl span_impl) {
  return ShaderFunction{std::move(name), MTLFunctionTypeFragment, nullptr, std::move(impl), nullptr,
                        std::move(span_impl)};
}

ShaderFunction KernelShader(std::string name, KernelFunctionImpl impl) {
  return ShaderFunction{std::move(name), MTLFunctionTypeKernel, nullptr, nullptr, std::move(impl), nullptr};
}

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::map<std::string, ShaderFunction>> libraries;  // source -> name -> function
};

Registry& GetRegistry() {
  static Registry* const registry = new Registry;
  return *registry;
}

}  // namespace

bool RegisterShaderLibrary(const std::string& source, std::vector<ShaderFunction> functions) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  std::map<std::string, ShaderFunction>& library = registry.libraries[source];
  for (ShaderFunction& function : functions) {
    std::string name = function.name;
    library.insert_or_assign(std::move(name), std::move(function));
  }
  return true;
}

namespace internal {

std::shared_ptr<MTLLibrary> LibraryForSource(const std::string& source, std::shared_ptr<NSError>* error) {
  Registry& registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto it = registry.libraries.find(source);
  if (it == registry.libraries.end()) {
    NSErrorAssign(error, NSError::errorWithDomain(
                             MTLLibraryErrorDomain, MTLLibraryErrorCompileFailure,
                             {{NSLocalizedDescriptionKey,
                               std::string("Compilation failed: no shader functions are registered "
                                           "for this library source")}}));
    return nullptr;
  }
  return std::make_shared<MTLLibrary>(it->second);
}

}  // namespace internal
}  // namespace platform::metal

std::shared_ptr<MTLFunction> MTLLibrary::newFunctionWithName(const std::string& name) const {
  auto it = functions_.find(name);
  if (it == functions_.end()) return nullptr;
  return std::make_shared<MTLFunction>(it->second);
}

std::vector<std::string> MTLLibrary::functionNames() const {
  std::vector<std::string> names;
  for (const auto& [name, function] : functions_) names.push_back(name);
  return names;
}
