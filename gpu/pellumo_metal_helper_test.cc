#include "gpu/pellumo_metal_helper.h"

#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/logging.h"
#include "gmock/gmock.h"
#include "gpu/gpu_resources.h"
#include "graph/legacy_calculator_support.h"
#include "gtest/gtest.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_bundle.h"
#include "platform/foundation/scoped_test_folder.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Records the WARNING lines of the helper.
class WarningSink : public absl::LogSink {
 public:
  WarningSink() { absl::AddLogSink(this); }
  ~WarningSink() override { absl::RemoveLogSink(this); }
  void Send(const absl::LogEntry& entry) override {
    if (entry.source_basename() != "pellumo_metal_helper.cc") return;
    if (entry.log_severity() != absl::LogSeverity::kWarning) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(entry.text_message());
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A node with the given input side packets, for contracts.
pellumo::CalculatorGraphConfig::Node NodeWithSidePackets(std::vector<std::string> side_packets) {
  pellumo::CalculatorGraphConfig::Node node;
  node.set_calculator("MetalTestCalculator");
  for (const std::string& s : side_packets) node.add_input_side_packet(s);
  return node;
}

TEST(PellumoMetalHelperTest, UpdateContractRequestsTheServiceOnceAndTypesGpuShared) {
  for (bool with_gpu_shared : {false, true}) {
    pellumo::CalculatorGraphConfig::Node node =
        with_gpu_shared ? NodeWithSidePackets({"GPU_SHARED:gpu_shared"}) : NodeWithSidePackets({});
    kaldren::CalculatorContract contract;
    ASSERT_TRUE(contract.Initialize(node).ok());
    ASSERT_TRUE(PellumoMetalHelper::updateContract(&contract).ok());
    ASSERT_TRUE(PellumoMetalHelper::updateContract(&contract).ok());
    ASSERT_EQ(contract.ServiceRequests().size(), 1u);
    EXPECT_EQ(contract.ServiceRequests().begin()->first, "kGpuService");
    EXPECT_FALSE(contract.ServiceRequests().begin()->second.IsOptional());
    // Untyped entries would fail validation.
    EXPECT_TRUE(kaldren::ValidatePacketTypeSet(contract.InputSidePackets()).ok()) << with_gpu_shared;
  }
}

TEST(PellumoMetalHelperTest, SetupInputSidePacketsUsesTheCurrentContractOrWantsGpuShared) {
  {
    // Inside a contract step: the contract is updated, no side packet needed.
    kaldren::CalculatorContract contract;
    ASSERT_TRUE(contract.Initialize(NodeWithSidePackets({})).ok());
    kaldren::LegacyCalculatorSupport::Scoped<kaldren::CalculatorContract> scope(&contract);
    WarningSink sink;
    ASSERT_TRUE(PellumoMetalHelper::setupInputSidePackets(&contract.InputSidePackets()).ok());
    EXPECT_EQ(contract.ServiceRequests().count("kGpuService"), 1u);
    EXPECT_TRUE(sink.lines().empty());
  }
  const std::string kWarning =
      "CalculatorContract not available. If you're calling this from a GetContract method, call "
      "updateContract instead.";
  {
    kaldren::CalculatorContract contract;
    ASSERT_TRUE(contract.Initialize(NodeWithSidePackets({"OTHER:x"})).ok());
    WarningSink sink;
    absl::Status status = PellumoMetalHelper::setupInputSidePackets(&contract.InputSidePackets());
    EXPECT_THAT(std::string(status.message()),
                HasSubstr("id.IsValid() A GPU_SHARED input side packet is required here."));
    EXPECT_THAT(sink.lines(), ElementsAre(kWarning));
  }
  {
    kaldren::CalculatorContract contract;
    ASSERT_TRUE(contract.Initialize(NodeWithSidePackets({"GPU_SHARED:gpu_shared"})).ok());
    WarningSink sink;
    EXPECT_TRUE(PellumoMetalHelper::setupInputSidePackets(&contract.InputSidePackets()).ok());
    EXPECT_TRUE(kaldren::ValidatePacketTypeSet(contract.InputSidePackets()).ok());
    EXPECT_TRUE(contract.ServiceRequests().empty());
    EXPECT_THAT(sink.lines(), ElementsAre(kWarning));
  }
}

TEST(PellumoMetalHelperDeathTest, SidePacketsOfAnotherContractAreFatal) {
  kaldren::CalculatorContract current, other;
  ASSERT_TRUE(current.Initialize(NodeWithSidePackets({})).ok());
  ASSERT_TRUE(other.Initialize(NodeWithSidePackets({})).ok());
  EXPECT_DEATH(
      {
        kaldren::LegacyCalculatorSupport::Scoped<kaldren::CalculatorContract> scope(&current);
        (void)PellumoMetalHelper::setupInputSidePackets(&other.InputSidePackets());
      },
      "inputSidePackets == &cc->InputSidePackets\\(\\)");
}

class PellumoMetalHelperResourcesTest : public testing::Test {
 protected:
  void SetUp() override {
    auto resources = pellumo::GlGpuResources::Create();
    ASSERT_TRUE(resources.ok()) << resources.status();
    resources_ = *std::move(resources);
    helper_ = PellumoMetalHelper::initWithGpuResources(resources_.get());
  }

  std::shared_ptr<pellumo::GlGpuResources> resources_;
  std::shared_ptr<PellumoMetalHelper> helper_;
};

TEST_F(PellumoMetalHelperResourcesTest, HelpersOfOneResourcesShareTheirMetalObjects) {
  EXPECT_EQ(PellumoMetalHelper::initWithCalculatorContext(nullptr), nullptr);
  pellumo::GpuSharedData shared(resources_);
  std::shared_ptr<PellumoMetalHelper> other = PellumoMetalHelper::initWithGpuSharedData(&shared);
  ASSERT_NE(helper_->mtlDevice(), nullptr);
  EXPECT_EQ(other->mtlDevice(), helper_->mtlDevice());
  EXPECT_EQ(other->mtlCommandQueue(), helper_->mtlCommandQueue());
  EXPECT_EQ(other->mtlTextureCache(), helper_->mtlTextureCache());
  EXPECT_NE(helper_->commandBuffer(), nullptr);

  // Outside a calculator call the side packet "GPU_SHARED" binds the helper, with a warning.
  pellumo::CalculatorGraphConfig::Node node = NodeWithSidePackets({"GPU_SHARED:gpu_shared"});
  auto tag_map = kaldren::tool::TagMap::Create(node.input_side_packet());
  ASSERT_TRUE(tag_map.ok());
  kaldren::PacketSet side_packets(*tag_map);
  side_packets.Tag("GPU_SHARED") = kaldren::MakePacket<pellumo::GpuSharedData*>(&shared);
  WarningSink sink;
  std::shared_ptr<PellumoMetalHelper> legacy = PellumoMetalHelper::initWithSidePackets(side_packets);
  EXPECT_EQ(legacy->mtlDevice(), helper_->mtlDevice());
  EXPECT_THAT(sink.lines(),
              ElementsAre("CalculatorContext not available. If this calculator uses "
                          "CalculatorBase, call initWithCalculatorContext instead."));
}

struct TextureCase {
  const char* name;
  OSType pixel_format;
  size_t plane;
  MTLPixelFormat expected_format;  // MTLPixelFormatInvalid: refused
  int expected_width;
  int expected_height;
  const char* assertion;  // the description when refused
};

TEST_F(PellumoMetalHelperResourcesTest, TexturesFollowThePixelFormatTable) {
  const TextureCase cases[] = {
      {"BGRA", kCVPixelFormatType_32BGRA, 0, MTLPixelFormatBGRA8Unorm, 640, 480, nullptr},
      {"RGhA", kCVPixelFormatType_64RGBAHalf, 0, MTLPixelFormatRGBA16Float, 640, 480, nullptr},
      {"L008 is an integer format", kCVPixelFormatType_OneComponent8, 0, MTLPixelFormatR8Uint, 640,
       480, nullptr},
      {"L00f", kCVPixelFormatType_OneComponent32Float, 0, MTLPixelFormatR32Float, 640, 480, nullptr},
      {"2C0h", kCVPixelFormatType_TwoComponent16Half, 0, MTLPixelFormatRG16Float, 640, 480, nullptr},
      {"420f luma", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 0, MTLPixelFormatR8Unorm, 640,
       480, nullptr},
      {"420f chroma", kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 1, MTLPixelFormatRG8Unorm,
       320, 240, nullptr},
      {"420v chroma", kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, 1, MTLPixelFormatRG8Unorm,
       320, 240, nullptr},
      {"BGRA plane 1", kCVPixelFormatType_32BGRA, 1, MTLPixelFormatInvalid, 0, 0,
       "Invalid plane number"},
      {"420v plane 2", kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, 2, MTLPixelFormatInvalid,
       0, 0, "Invalid plane number"},
      {"RGfA", kCVPixelFormatType_128RGBAFloat, 0, MTLPixelFormatInvalid, 0, 0,
       "Invalid pixel buffer format"},
      {"fdep, although GPU buffers read it as L00f", kCVPixelFormatType_DepthFloat32, 0,
       MTLPixelFormatInvalid, 0, 0, "Invalid pixel buffer format"},
      {"L00h", kCVPixelFormatType_OneComponent16Half, 0, MTLPixelFormatInvalid, 0, 0,
       "Invalid pixel buffer format"},
  };
  for (const TextureCase& c : cases) {
    SCOPED_TRACE(c.name);
    CVPixelBufferRef pixel_buffer = nullptr;
    ASSERT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 640, 480, c.pixel_format, nullptr,
                                  &pixel_buffer),
              kCVReturnSuccess);
    pellumo::GpuBuffer buffer(pixel_buffer);
    CFRelease(pixel_buffer);
    auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
    platform::foundation::ScopedAssertionHandler scoped(handler);
    std::shared_ptr<MTLTexture> texture = helper_->metalTextureWithGpuBuffer(&buffer, c.plane);
    if (c.assertion == nullptr) {
      ASSERT_NE(texture, nullptr);
      EXPECT_EQ(texture->pixelFormat(), c.expected_format);
      EXPECT_EQ(texture->width(), c.expected_width);
      EXPECT_EQ(texture->height(), c.expected_height);
      EXPECT_TRUE(handler->failures().empty());
    } else {
      EXPECT_EQ(texture, nullptr);
      ASSERT_EQ(handler->failures().size(), 1u);
      EXPECT_EQ(handler->failures()[0].description, c.assertion);
      EXPECT_EQ(handler->failures()[0].name, "PellumoMetalHelper::copyCVMetalTextureWithGpuBuffer");
    }
  }
}

TEST_F(PellumoMetalHelperResourcesTest, PooledBuffersComeFromTheGraphsPool) {
  pellumo::GpuBuffer buffer = helper_->pellumoGpuBufferWithWidth(64, 32);
  EXPECT_EQ(buffer.width(), 64);
  EXPECT_EQ(buffer.height(), 32);
  EXPECT_EQ(buffer.format(), pellumo::GpuBufferFormat::kFormatBGRA);
  CVPixelBufferRef first = buffer.pixel_buffer();
  buffer = pellumo::GpuBuffer();
  // The pool of that spec hands the freed buffer out again.
  EXPECT_EQ(resources_->gpu_buffer_pool().GetBuffer(64, 32).pixel_buffer(), first);
  EXPECT_EQ(helper_->pellumoGpuBufferWithWidth(8, 8, pellumo::GpuBufferFormat::kFormatL008).format(),
            pellumo::GpuBufferFormat::kFormatL008);
}

constexpr char kHelperTestShader[] = "kernel void helperTestKernel() {}";
const bool kHelperTestShaderRegistered = platform::metal::RegisterShaderLibrary(
    kHelperTestShader,
    {platform::metal::KernelShader("helperTestKernel", [](const auto&, const auto&) {})});

TEST_F(PellumoMetalHelperResourcesTest, LibrariesComeFromMetallibResourcesOfTheCodeBundle) {
  platform::foundation::ScopedTestFolder bundle;
  const std::string folder = bundle.path();
  std::ofstream(folder + "/shaders.metallib") << kHelperTestShader;
  platform::foundation::SetCodeBundlePath(folder);
  std::shared_ptr<NSError> error;
  std::shared_ptr<MTLLibrary> library = helper_->newLibraryWithResourceName("shaders", &error);
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(error, nullptr);
  EXPECT_THAT(library->functionNames(), ElementsAre("helperTestKernel"));

  EXPECT_EQ(helper_->newLibraryWithResourceName("missing", &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), MTLLibraryErrorFileNotFound);
  platform::foundation::SetCodeBundlePath("");
}

}  // namespace
