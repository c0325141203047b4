#include "gpu/pellumo_graph.h"

#include <atomic>
#include <map>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gpu/cf_holder.h"
#include "gpu/gpu_buffer.h"
#include "gpu/image_frame.h"
#include "gpu/pellumo_graph_status_error.h"
#include "graph/calculator_base.h"
#include "graph/calculator_context.h"
#include "graph/calculator_contract.h"
#include "graph/calculator_static_access.h"
#include "graph/gpu_resources.h"
#include "graph/registration_macros.h"
#include "gtest/gtest.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/system_log.h"
#include "platform/foundation/xctest.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Selector = PellumoGraphDelegate::Selector;

// Forwards every input packet to the output of the same index.
class PellumoGraphTestPassThrough : public kaldren::CalculatorBase {
 public:
  static absl::Status GetContract(kaldren::CalculatorContract* cc) {
    cc->Inputs().Index(0).SetAny();
    cc->Outputs().Index(0).SetSameAs(&cc->Inputs().Index(0));
    return absl::OkStatus();
  }
  absl::Status Process(kaldren::CalculatorContext* cc) override {
    cc->Outputs().Index(0).AddPacket(cc->Inputs().Index(0).Value());
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(PellumoGraphTestPassThrough);

// The same on the GPU: asks for the graph's GPU resources.
class PellumoGraphTestGpuPassThrough : public PellumoGraphTestPassThrough {
 public:
  static absl::Status GetContract(kaldren::CalculatorContract* cc) {
    cc->UseService(kaldren::kGpuService);
    return PellumoGraphTestPassThrough::GetContract(cc);
  }
};
REGISTER_CALCULATOR(PellumoGraphTestGpuPassThrough);

const kaldren::GraphService<int> kPellumoGraphTestService("PellumoGraphTestService");

// Answers every input packet with what the run gave it: the side packet "VALUE", its input
// stream's header and the test service's object.
class PellumoGraphTestReport : public kaldren::CalculatorBase {
 public:
  static absl::Status GetContract(kaldren::CalculatorContract* cc) {
    cc->Inputs().Index(0).SetAny();
    cc->InputSidePackets().Tag("VALUE").Set<int>();
    cc->Outputs().Index(0).Set<std::string>();
    cc->UseService(kPellumoGraphTestService).Optional();
    return absl::OkStatus();
  }
  absl::Status Process(kaldren::CalculatorContext* cc) override {
    const kaldren::Packet& header = cc->Inputs().Index(0).Header();
    const std::shared_ptr<int> service = cc->Service(kPellumoGraphTestService);
    const std::string report =
        "side " + std::to_string(cc->InputSidePackets().Tag("VALUE").Get<int>()) + " header " +
        (header.IsEmpty() ? "none" : std::to_string(header.Get<int>())) + " service " +
        (service == nullptr ? "none" : std::to_string(*service));
    cc->Outputs().Index(0).AddPacket(
        kaldren::MakePacket<std::string>(report).At(cc->InputTimestamp()));
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(PellumoGraphTestReport);

// Graph inputs "frames" and "trigger", each passed through to "<name>_out".
pellumo::CalculatorGraphConfig TwoStreamConfig(
    const std::string& calculator = "PellumoGraphTestPassThrough") {
  pellumo::CalculatorGraphConfig config;
  for (const std::string name : {"frames", "trigger"}) {
    config.add_input_stream(name);
    auto* node = config.add_node();
    node->set_calculator(calculator);
    node->add_input_stream(name);
    node->add_output_stream(name + "_out");
  }
  return config;
}

struct Delivery {
  std::string method;  // "pixelBuffer", "pixelBufferTimestamp" or "packet"
  std::string stream;
  kaldren::Timestamp timestamp;
  CFHolder<CVPixelBufferRef> pixelBuffer;
  kaldren::Packet packet;
};

class RecordingDelegate : public PellumoGraphDelegate {
 public:
  explicit RecordingDelegate(std::set<Selector> answers = {Selector::kDidOutputPixelBuffer,
                                                           Selector::kDidOutputPixelBufferTimestamp,
                                                           Selector::kDidOutputPacket})
      : answers_(std::move(answers)) {}

  bool respondsToSelector(Selector selector) const override { return answers_.count(selector); }
  void pellumoGraph(PellumoGraph*, CVPixelBufferRef pixelBuffer,
                    const std::string& streamName) override {
    Record({"pixelBuffer", streamName, kaldren::Timestamp::Unset(), CFHolder(pixelBuffer), {}});
  }
  void pellumoGraph(PellumoGraph*, CVPixelBufferRef pixelBuffer, const std::string& streamName,
                    const kaldren::Timestamp& timestamp) override {
    Record({"pixelBufferTimestamp", streamName, timestamp, CFHolder(pixelBuffer), {}});
  }
  void pellumoGraph(PellumoGraph*, const kaldren::Packet& packet,
                    const std::string& streamName) override {
    Record({"packet", streamName, packet.Timestamp(), {}, packet});
  }

  std::vector<Delivery> deliveries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }

 private:
  void Record(Delivery delivery) {
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.push_back(std::move(delivery));
  }

  const std::set<Selector> answers_;
  mutable std::mutex mutex_;
  std::vector<Delivery> deliveries_;
};

// A 4x2 BGRA buffer whose bytes are 0, 1, 2, ... in row order.
CFHolder<CVPixelBufferRef> MakeBGRABuffer() {
  CVPixelBufferRef raw = nullptr;
  EXPECT_EQ(CVPixelBufferCreate(kCFAllocatorDefault, 4, 2, kCVPixelFormatType_32BGRA, nullptr, &raw),
            kCVReturnSuccess);
  CVPixelBufferLockBaseAddress(raw, 0);
  auto* base = static_cast<uint8_t*>(CVPixelBufferGetBaseAddress(raw));
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 16; ++x) base[y * CVPixelBufferGetBytesPerRow(raw) + x] = y * 16 + x;
  }
  CVPixelBufferUnlockBaseAddress(raw, 0);
  return MakeCFHolderAdopting(raw);
}

// The pixel bytes of a 4-byte-per-pixel buffer, row by row without padding.
std::vector<uint8_t> BufferBytes(CVPixelBufferRef buffer) {
  CVPixelBufferLockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly);
  const auto* base = static_cast<const uint8_t*>(CVPixelBufferGetBaseAddress(buffer));
  std::vector<uint8_t> bytes;
  for (size_t y = 0; y < CVPixelBufferGetHeight(buffer); ++y) {
    const uint8_t* row = base + y * CVPixelBufferGetBytesPerRow(buffer);
    bytes.insert(bytes.end(), row, row + 4 * CVPixelBufferGetWidth(buffer));
  }
  CVPixelBufferUnlockBaseAddress(buffer, kCVPixelBufferLock_ReadOnly);
  return bytes;
}

std::string Counted(int n) { return "framesInFlight = " + std::to_string(n) + ">"; }

class PellumoGraphTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::foundation::SetXCTestLoaded(true); }
  void TearDown() override { platform::foundation::SetXCTestLoaded(false); }

  void Start() {
    graph_->setDelegate(delegate_);
    std::shared_ptr<NSError> error;
    ASSERT_TRUE(graph_->startWithError(&error)) << error->localizedDescription();
  }
  void WaitUntilIdle() {
    std::shared_ptr<NSError> error;
    ASSERT_TRUE(graph_->waitUntilIdleWithError(&error)) << error->localizedDescription();
  }
  void Finish() {
    ASSERT_TRUE(graph_->closeAllInputStreamsWithError(nullptr));
    ASSERT_TRUE(graph_->waitUntilDoneWithError(nullptr));
  }
  void Trigger(int64_t t) {
    ASSERT_TRUE(graph_->sendPacket(kaldren::MakePacket<int>(0).At(kaldren::Timestamp(t)), "trigger",
                                   nullptr));
  }

  std::shared_ptr<PellumoGraph> graph_ = PellumoGraph::initWithGraphConfig(TwoStreamConfig());
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  CFHolder<CVPixelBufferRef> buffer_ = MakeBGRABuffer();
};

TEST_F(PellumoGraphTest, FramesInFlightCountsFramesInAndEveryOutputPacketOut) {
  graph_->addFrameOutputStream("trigger_out", KLDPacketTypeAnyPacket);
  graph_->setMaxFramesInFlight(2);
  Start();
  auto send = [&](int64_t t) {
    return graph_->sendPixelBuffer(*buffer_, "frames", KLDPacketTypeGpuBuffer, kaldren::Timestamp(t));
  };
  EXPECT_TRUE(send(1));
  EXPECT_TRUE(send(2));
  // At the limit the frame is dropped before anything is made or sent: the same timestamp is
  // accepted later, which the graph would refuse had the first one gone in.
  EXPECT_FALSE(send(3));
  EXPECT_THAT(graph_->description(), HasSubstr(Counted(2)));

  // A plain packet is not a frame, but its output counts one out.
  Trigger(1);
  WaitUntilIdle();
  EXPECT_THAT(graph_->description(), HasSubstr(Counted(1)));
  EXPECT_TRUE(send(3));
  EXPECT_FALSE(send(4));

  // Without a limit nothing is refused; nothing clamps the count either.
  graph_->setMaxFramesInFlight(0);
  EXPECT_TRUE(send(4));
  for (int t = 2; t < 7; ++t) Trigger(t);
  WaitUntilIdle();
  EXPECT_THAT(graph_->description(), HasSubstr(Counted(-2)));
  EXPECT_THAT(graph_->description(), ::testing::StartsWith("<PellumoGraph: 0x"));
  Finish();
}

TEST_F(PellumoGraphTest, AutomaticTimestampsStartAtMinAndAdvanceEvenWhenRefused) {
  graph_->addFrameOutputStream("frames_out", KLDPacketTypeAnyPacket);
  Start();
  EXPECT_TRUE(graph_->sendPixelBuffer(*buffer_, "frames", KLDPacketTypeGpuBuffer));
  // Explicit timestamps elsewhere take no part.
  EXPECT_TRUE(graph_->sendPixelBuffer(*buffer_, "trigger", KLDPacketTypeGpuBuffer,
                                      kaldren::Timestamp(1000)));
  EXPECT_TRUE(graph_->sendPixelBuffer(*buffer_, "frames", KLDPacketTypeGpuBuffer));
  EXPECT_FALSE(graph_->sendPixelBuffer(*buffer_, "no_such_stream", KLDPacketTypeGpuBuffer));
  EXPECT_TRUE(graph_->sendPixelBuffer(*buffer_, "frames", KLDPacketTypeGpuBuffer));
  Finish();

  std::vector<int64_t> timestamps;
  for (const Delivery& d : delegate_->deliveries()) {
    timestamps.push_back(d.timestamp.Value());
  }
  EXPECT_THAT(timestamps, ElementsAre(-9223372036854775805, -9223372036854775804,
                                      -9223372036854775802));
}

TEST_F(PellumoGraphTest, StartsOnceAndReportsMisuseThroughTheAssertionHandler) {
  auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(handler);
  platform::foundation::SetXCTestLoaded(false);
  graph_->addFrameOutputStream("frames_out", KLDPacketTypeAnyPacket);
  Start();

  std::shared_ptr<NSError> error;
  EXPECT_FALSE(graph_->startWithError(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), "BrenvikUtilStatusErrorDomain");
  EXPECT_THAT(error->localizedDescription(),
              HasSubstr("CalculatorGraph can be initialized only once."));

  // Still started: a setter reports, and stores anyway.
  graph_->setSidePacket(kaldren::MakePacket<int>(1), "late");
  // The test runs on the main thread; the wait is reported and then goes on.
  ASSERT_TRUE(graph_->closeAllInputStreamsWithError(nullptr));
  EXPECT_TRUE(graph_->waitUntilDoneWithError(nullptr));
  // Done clears the started flag.
  graph_->setSidePacket(kaldren::MakePacket<int>(2), "later");

  const std::vector<platform::foundation::AssertionFailure> failures = handler->failures();
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].name, "PellumoGraph::setSidePacket");
  EXPECT_EQ(failures[0].file, "gpu/pellumo_graph.cc");
  EXPECT_EQ(failures[0].description, "setSidePacket must be called before the graph is started");
  EXPECT_EQ(failures[1].name, "PellumoGraph::waitUntilDoneWithError");
  EXPECT_EQ(failures[1].description,
            "waitUntilDoneWithError: should not be called on the main thread");
}

// What the facade holds before the start reaches the run: side packets (an added entry never
// replaces one already set), stream headers and service packets.
TEST_F(PellumoGraphTest, SidePacketsHeadersAndServicesReachTheRun) {
  pellumo::CalculatorGraphConfig config;
  config.add_input_stream("trigger");
  auto* node = config.add_node();
  node->set_calculator("PellumoGraphTestReport");
  node->add_input_stream("trigger");
  node->add_input_side_packet("VALUE:value");
  node->add_output_stream("report");
  graph_ = PellumoGraph::initWithGraphConfig(config);
  graph_->addFrameOutputStream("report", KLDPacketTypeAnyPacket);
  graph_->setSidePacket(kaldren::MakePacket<int>(1), "value");
  graph_->addSidePackets({{"value", kaldren::MakePacket<int>(2)},
                          {"unused", kaldren::MakePacket<int>(3)}});
  graph_->setHeaderPacket(kaldren::MakePacket<int>(40), "trigger");
  graph_->setHeaderPacket(kaldren::MakePacket<int>(41), "trigger");  // replaces the first
  kaldren::Packet service = kaldren::MakePacket<std::shared_ptr<int>>(std::make_shared<int>(7));
  graph_->setServicePacket(std::move(service), kPellumoGraphTestService);
  EXPECT_TRUE(service.IsEmpty()) << "the facade takes the packet";
  Start();
  Trigger(1);
  Finish();
  const std::vector<Delivery> deliveries = delegate_->deliveries();
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(deliveries[0].packet.Get<std::string>(), "side 1 header 41 service 7");
}

// The add mode is the runtime's graph-input-stream add mode, read back through the facade.
TEST_F(PellumoGraphTest, PacketAddModeIsForwardedToTheRuntime) {
  EXPECT_EQ(graph_->packetAddMode(), 0);
  graph_->setPacketAddMode(1);
  EXPECT_EQ(graph_->packetAddMode(), 1);
  graph_->setPacketAddMode(0);
  EXPECT_EQ(graph_->packetAddMode(), 0);
}

TEST_F(PellumoGraphTest, FailedStartReturnsTheGraphError) {
  graph_->addFrameOutputStream("no_such_stream", KLDPacketTypeAnyPacket);
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(graph_->startWithError(&error));
  ASSERT_NE(error, nullptr);
  EXPECT_THAT(error->localizedDescription(), HasSubstr("no_such_stream"));
  // Not started, so configuring goes on unreported (the default handler would abort).
  graph_->setSidePacket(kaldren::MakePacket<int>(1), "x");
}

struct PreferenceCase {
  std::string name;
  std::set<Selector> answers;
  std::vector<std::string> expected_methods;
};
void PrintTo(const PreferenceCase& c, std::ostream* os) { *os << c.name; }

class PellumoGraphDelegatePreferenceTest : public PellumoGraphTest,
                                           public ::testing::WithParamInterface<PreferenceCase> {};

TEST_P(PellumoGraphDelegatePreferenceTest, GpuBufferOutputGoesToThePreferredMethod) {
  delegate_ = std::make_shared<RecordingDelegate>(GetParam().answers);
  graph_->addFrameOutputStream("frames_out", KLDPacketTypeGpuBuffer);
  Start();
  ASSERT_TRUE(
      graph_->sendPixelBuffer(*buffer_, "frames", KLDPacketTypeGpuBuffer, kaldren::Timestamp(7)));
  Finish();

  std::vector<std::string> methods;
  for (const Delivery& d : delegate_->deliveries()) {
    methods.push_back(d.method);
    EXPECT_EQ(*d.pixelBuffer, *buffer_);  // the same buffer, no copy
    EXPECT_EQ(d.stream, "frames_out");
    if (d.method == "pixelBufferTimestamp") {
      EXPECT_EQ(d.timestamp, kaldren::Timestamp(7));
    }
  }
  EXPECT_EQ(methods, GetParam().expected_methods);
  EXPECT_THAT(graph_->description(), HasSubstr(Counted(0)));
}

INSTANTIATE_TEST_SUITE_P(
    Delegates, PellumoGraphDelegatePreferenceTest,
    ::testing::Values(
        PreferenceCase{"Both",
                       {Selector::kDidOutputPixelBuffer, Selector::kDidOutputPixelBufferTimestamp},
                       {"pixelBufferTimestamp"}},
        PreferenceCase{"WithoutTimestamp", {Selector::kDidOutputPixelBuffer}, {"pixelBuffer"}},
        PreferenceCase{"Neither", {Selector::kDidOutputPacket}, {}}),
    [](const ::testing::TestParamInfo<PreferenceCase>& info) { return info.param.name; });

TEST_F(PellumoGraphTest, ImageFrameOutputBecomesANewBGRAPixelBuffer) {
  graph_->addFrameOutputStream("frames_out", KLDPacketTypeImageFrameRGBA);
  graph_->addFrameOutputStream("trigger_out", KLDPacketTypeImageFrameRGBA);
  Start();
  // BGRA in as an RGBA8 frame (channels swapped into a copy), back out as BGRA.
  ASSERT_TRUE(graph_->sendPixelBuffer(*buffer_, "frames", KLDPacketTypeImageFrameRGBA,
                                      kaldren::Timestamp(1), /*allowOverwrite=*/true));
  auto gray = std::make_unique<kaldren::ImageFrame>(pellumo::ImageFormat::GRAY8, 2, 1);
  gray->MutablePixelData()[0] = 9;
  gray->MutablePixelData()[1] = 200;
  ASSERT_TRUE(graph_->sendPacket(kaldren::Adopt(gray.release()).At(kaldren::Timestamp(1)), "trigger",
                                 nullptr));
  Finish();

  const std::vector<Delivery> deliveries = delegate_->deliveries();
  ASSERT_EQ(deliveries.size(), 2u);
  for (const Delivery& d : deliveries) {
    ASSERT_NE(*d.pixelBuffer, *buffer_);
    EXPECT_EQ(CVPixelBufferGetPixelFormatType(*d.pixelBuffer), kCVPixelFormatType_32BGRA);
    EXPECT_EQ(d.timestamp, kaldren::Timestamp(1));
    if (d.stream == "frames_out") {
      EXPECT_EQ(BufferBytes(*d.pixelBuffer), BufferBytes(*buffer_));
    } else {
      EXPECT_THAT(BufferBytes(*d.pixelBuffer), ElementsAre(9, 9, 9, 255, 200, 200, 200, 255));
    }
  }
}

TEST_F(PellumoGraphTest, OutputsThatReachNoDelegateStillCountOut) {
  // A three-channel frame has no conversion; kind 3 delivers nothing; a gone delegate gets
  // nothing.
  graph_->addFrameOutputStream("frames_out", KLDPacketTypeImageFrameRGBA);
  graph_->addFrameOutputStream("trigger_out", KLDPacketTypeImageFrameBGRA);
  Start();
  ASSERT_TRUE(graph_->sendPacket(
      kaldren::MakePacket<kaldren::ImageFrame>(pellumo::ImageFormat::RGB8, 2, 2)
          .At(kaldren::Timestamp(1)),
      "frames", nullptr));
  ASSERT_TRUE(graph_->sendPixelBuffer(*buffer_, "trigger", KLDPacketTypeImageFrameBGRA,
                                      kaldren::Timestamp(1)));
  WaitUntilIdle();
  EXPECT_TRUE(delegate_->deliveries().empty());
  EXPECT_THAT(graph_->description(), HasSubstr(Counted(-1)));

  delegate_.reset();
  ASSERT_TRUE(graph_->sendPixelBuffer(*buffer_, "frames", KLDPacketTypeImageFrameRGBA,
                                      kaldren::Timestamp(2)));
  Finish();
  EXPECT_THAT(graph_->description(), HasSubstr(Counted(-1)));
}

TEST_F(PellumoGraphTest, KindThreeWrapsTheBufferWithoutSwapping) {
  kaldren::Packet packet = graph_->packetWithPixelBuffer(*buffer_, KLDPacketTypeImageFrameBGRA);
  const auto& frame = packet.Get<kaldren::ImageFrame>();
  EXPECT_EQ(frame.Format(), pellumo::ImageFormat::RGBA8);
  EXPECT_EQ(frame.PixelData()[0], 0);  // B of the first pixel stays first
  EXPECT_EQ(frame.PixelData()[2], 2);
  EXPECT_EQ(packet.Timestamp(), kaldren::Timestamp::Unset());
}

TEST_F(PellumoGraphTest, DebugPrintGlInfoNeedsGpuResources) {
  {
    platform::foundation::SystemLogCapture capture;
    graph_->debugPrintGlInfo();
    EXPECT_THAT(capture.messages(), ElementsAre("GPU not set up."));
  }
  graph_ = PellumoGraph::initWithGraphConfig(TwoStreamConfig("PellumoGraphTestGpuPassThrough"));
  Start();
  platform::foundation::SystemLogCapture capture;
  graph_->debugPrintGlInfo();
  const std::vector<std::string> lines = capture.messages();
  ASSERT_FALSE(lines.empty());
  EXPECT_THAT(lines.front(), HasSubstr("GL_"));
  for (const std::string& line : lines) EXPECT_EQ(line.find(' '), std::string::npos) << line;
  Finish();
}

// Uses the facade from inside its callback, also while the facade is being destroyed.
class FacadeReadingDelegate : public PellumoGraphDelegate {
 public:
  void pellumoGraph(PellumoGraph* graph, const kaldren::Packet&, const std::string&) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      entered_ = true;
    }
    entered_condition_.notify_all();
    for (int i = 0; i < 200; ++i) {
      EXPECT_THAT(graph->description(), HasSubstr("framesInFlight"));
      EXPECT_TRUE(graph->hasInputStream("frames"));
      EXPECT_NE(graph->delegate(), nullptr);
    }
  }
  void WaitUntilEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_condition_.wait(lock, [this] { return entered_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable entered_condition_;
  bool entered_ = false;
};

TEST(PellumoGraphLifetimeTest, DestroyingTheFacadeEndsTheRunBeforeItsMembersGo) {
  auto delegate = std::make_shared<FacadeReadingDelegate>();
  auto graph = PellumoGraph::initWithGraphConfig(TwoStreamConfig());
  graph->addFrameOutputStream("frames_out", KLDPacketTypeAnyPacket);
  graph->setDelegate(delegate);
  ASSERT_TRUE(graph->startWithError(nullptr));
  CFHolder<CVPixelBufferRef> buffer = MakeBGRABuffer();
  for (int t = 0; t < 20; ++t) {
    ASSERT_TRUE(graph->sendPixelBuffer(*buffer, "frames", KLDPacketTypeGpuBuffer,
                                       kaldren::Timestamp(t)));
  }
  delegate->WaitUntilEntered();
  graph.reset();  // with the run still going and a callback running
}

}  // namespace
