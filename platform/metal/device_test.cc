// The device, its libraries of registered shader functions, and pipeline creation.

#include "platform/metal/device.h"

#include <fstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using platform::metal::ArgumentTable;
using platform::metal::ComputeGrid;
using platform::metal::float4;
using platform::metal::FragmentIn;
using platform::metal::VertexOut;

constexpr char kSource[] = "vertex float4 v(); fragment float4 f(); kernel void k();";

std::vector<platform::metal::ShaderFunction> Functions() {
  return {
      platform::metal::VertexShader("v", [](uint32_t, const ArgumentTable&) { return VertexOut{}; }),
      platform::metal::FragmentShader("f", [](const FragmentIn&, const ArgumentTable&) { return float4{}; }),
      platform::metal::KernelShader("k", [](const ComputeGrid&, const ArgumentTable&) {}),
  };
}

[[maybe_unused]] const bool kRegistered = platform::metal::RegisterShaderLibrary(kSource, Functions());

TEST(MTLDeviceTest, SystemDefaultDeviceIsOneObjectAndTheHookHidesIt) {
  std::shared_ptr<MTLDevice> device = MTLCreateSystemDefaultDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(MTLCreateSystemDefaultDevice(), device);
  {
    platform::metal::ScopedSystemDefaultDeviceAvailable no_gpu(false);
    EXPECT_EQ(MTLCreateSystemDefaultDevice(), nullptr);
  }
  EXPECT_EQ(MTLCreateSystemDefaultDevice(), device);
  EXPECT_EQ(device->newCommandQueue()->device(), device);
}

TEST(MTLLibraryTest, SourceLibrariesResolveRegisteredNamesOnly) {
  auto device = MTLCreateSystemDefaultDevice();
  std::shared_ptr<NSError> error;
  auto library = device->newLibraryWithSource(kSource, nullptr, &error);
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(library->functionNames(), (std::vector<std::string>{"f", "k", "v"}));
  ASSERT_NE(library->newFunctionWithName("v"), nullptr);
  EXPECT_EQ(library->newFunctionWithName("v")->functionType(), MTLFunctionTypeVertex);
  EXPECT_EQ(library->newFunctionWithName("k")->functionType(), MTLFunctionTypeKernel);
  EXPECT_EQ(library->newFunctionWithName("vertexShader"), nullptr);

  EXPECT_EQ(device->newLibraryWithSource("kernel void unknown();", nullptr, &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), MTLLibraryErrorDomain);
  EXPECT_EQ(error->code(), MTLLibraryErrorCompileFailure);
  EXPECT_EQ(device->newLibraryWithSource("kernel void unknown();", nullptr, nullptr), nullptr);
}

TEST(MTLLibraryTest, MetallibFilesHoldTheTextOfARegisteredSource) {
  platform::foundation::ScopedTestFolder folder;
  auto device = MTLCreateSystemDefaultDevice();
  std::ofstream(folder.Path("shaders.metallib")) << kSource;
  std::ofstream(folder.Path("other.metallib")) << "kernel void unknown();";

  std::shared_ptr<NSError> error;
  auto library = device->newLibraryWithFile(folder.Path("shaders.metallib"), &error);
  ASSERT_NE(library, nullptr);
  EXPECT_NE(library->newFunctionWithName("k"), nullptr);

  EXPECT_EQ(device->newLibraryWithFile(folder.Path("other.metallib"), &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), MTLLibraryErrorCompileFailure);
  for (const std::string& missing : {folder.Path("missing.metallib"), std::string()}) {
    error.reset();
    EXPECT_EQ(device->newLibraryWithFile(missing, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), MTLLibraryErrorDomain);
    EXPECT_EQ(error->code(), MTLLibraryErrorFileNotFound);
  }
}

TEST(MTLLibraryTest, RegisteringASourceAgainReplacesFunctionsOfTheSameName) {
  constexpr char kSourceTwice[] = "kernel void a(); kernel void b();";
  int called = 0;
  platform::metal::RegisterShaderLibrary(
      kSourceTwice, {platform::metal::KernelShader("a", [&](const ComputeGrid&, const ArgumentTable&) { called = 1; })});
  platform::metal::RegisterShaderLibrary(
      kSourceTwice, {platform::metal::KernelShader("a", [&](const ComputeGrid&, const ArgumentTable&) { called = 2; }),
                     platform::metal::KernelShader("b", [](const ComputeGrid&, const ArgumentTable&) {})});
  auto library = MTLCreateSystemDefaultDevice()->newLibraryWithSource(kSourceTwice, nullptr, nullptr);
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(library->functionNames(), (std::vector<std::string>{"a", "b"}));
  library->newFunctionWithName("a")->implementation().kernel(ComputeGrid{}, ArgumentTable{});
  EXPECT_EQ(called, 2);
}

TEST(MTLPipelineTest, PipelinesNeedFunctionsOfTheRightKind) {
  auto device = MTLCreateSystemDefaultDevice();
  auto library = device->newLibraryWithSource(kSource, nullptr, nullptr);
  const auto function = [&](const char* name) { return library->newFunctionWithName(name); };
  struct Case {
    std::string name;
    std::shared_ptr<MTLFunction> vertex, fragment;
    MTLPixelFormat format;
    std::string error;  // empty: the pipeline is made
  };
  const Case cases[] = {
      {"complete", function("v"), function("f"), MTLPixelFormatRGBA16Float, ""},
      {"unknown vertex name", function("vertexShader"), function("f"), MTLPixelFormatRGBA16Float,
       "Render pipeline needs a vertex function"},
      {"fragment as vertex", function("f"), function("f"), MTLPixelFormatRGBA16Float,
       "Render pipeline needs a vertex function"},
      {"kernel as fragment", function("v"), function("k"), MTLPixelFormatRGBA16Float,
       "Render pipeline needs a fragment function"},
      {"no attachment format", function("v"), function("f"), MTLPixelFormatInvalid,
       "Colour attachment 0 has no renderable pixel format (0)"},
  };
  for (const Case& c : cases) {
    auto descriptor = std::make_shared<MTLRenderPipelineDescriptor>();
    descriptor->setVertexFunction(c.vertex);
    descriptor->setFragmentFunction(c.fragment);
    descriptor->colorAttachments()[0].setPixelFormat(c.format);
    std::shared_ptr<NSError> error;
    auto pipeline = device->newRenderPipelineStateWithDescriptor(descriptor, &error);
    if (c.error.empty()) {
      ASSERT_NE(pipeline, nullptr) << c.name;
      EXPECT_EQ(pipeline->colorPixelFormat(), c.format);
      continue;
    }
    EXPECT_EQ(pipeline, nullptr) << c.name;
    ASSERT_NE(error, nullptr) << c.name;
    EXPECT_EQ(error->domain(), MTLLibraryErrorDomain) << c.name;
    EXPECT_EQ(error->localizedDescription(), c.error) << c.name;
  }

  std::shared_ptr<NSError> error;
  EXPECT_NE(device->newComputePipelineStateWithFunction(function("k"), &error), nullptr);
  EXPECT_EQ(device->newComputePipelineStateWithFunction(function("v"), &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->localizedDescription(), "Compute pipeline needs a kernel function");
  EXPECT_EQ(device->newComputePipelineStateWithFunction(function("missing"), nullptr), nullptr);
}

}  // namespace
