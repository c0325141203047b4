// Graphs whose nodes use the GPU, with the GPU layer linked whole: the graph makes its GPU
// resources itself, gives each node its GL context and runs the nodes, like every other node,
// on the executor their configuration names (the graph's pool when none).

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/status_macros.h"
#include "gpu/gl_context.h"
#include "gpu/gl_context_options.pb.h"
#include "gpu/gpu_resources.h"
#include "gpu/pellumo_metal_helper.h"
#include "graph/calculator_base.h"
#include "graph/calculator_graph.h"
#include "graph/calculator_node.h"
#include "graph/calculator_static_access.h"
#include "graph/input_stream_manager.h"
#include "graph/output_side_packet_impl.h"
#include "graph/output_stream_manager.h"
#include "graph/registration_macros.h"
#include "graph/validated_graph_config.h"
#include "gtest/gtest.h"
#include "platform/metal/device.h"

namespace kaldren {
namespace {

// What the test calculators saw, by node name.
struct NodeRecord {
  pellumo::GlContext* context = nullptr;       // gl_context(cc) in Open
  pellumo::GlContext* current = nullptr;       // the GL context current during Process
  std::shared_ptr<MTLDevice> device;           // the Metal helper's device
  int processed = 0;
};

class Records {
 public:
  static Records& Get() {
    static Records* const records = new Records;
    return *records;
  }
  template <typename F>
  void Update(const std::string& node, F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f(records_[node]);
  }
  std::map<std::string, NodeRecord> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(records_);
  }

 private:
  std::mutex mutex_;
  std::map<std::string, NodeRecord> records_;
};

absl::Status PassThroughContract(CalculatorContract* cc) {
  cc->Inputs().Index(0).SetAny();
  cc->Outputs().Index(0).SetSameAs(&cc->Inputs().Index(0));
  return absl::OkStatus();
}

void RecordProcess(CalculatorContext* cc) {
  std::shared_ptr<pellumo::GlContext> current = pellumo::GlContext::GetCurrent();
  Records::Get().Update(cc->NodeName(), [&](NodeRecord& r) {
    r.current = current.get();
    ++r.processed;
  });
  cc->Outputs().Index(0).AddPacket(cc->Inputs().Index(0).Value());
}

// Asks for the GPU service and notes the GL context its resources give it.
class GpuTestContextCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->UseService(kGpuService);
    return PassThroughContract(cc);
  }
  absl::Status Open(CalculatorContext* cc) override {
    pellumo::GlContext* context =
        pellumo::GlGpuResources::From(cc->Service(kGpuService))->gl_context(cc).get();
    Records::Get().Update(cc->NodeName(), [&](NodeRecord& r) { r.context = context; });
    return absl::OkStatus();
  }
  // Works inside its GL context, as a GL calculator does.
  absl::Status Process(CalculatorContext* cc) override {
    return pellumo::GlGpuResources::From(cc->Service(kGpuService))->gl_context(cc)->Run([cc] {
      RecordProcess(cc);
      return absl::OkStatus();
    });
  }
};
REGISTER_CALCULATOR(GpuTestContextCalculator);
REGISTER_CALCULATOR_WITH_NAME("ImageFrameToGpuBufferCalculator", GpuTestContextCalculator);
REGISTER_CALCULATOR_WITH_NAME("GlSurfaceSinkCalculator", GpuTestContextCalculator);

// A Metal calculator written the legacy way: contract and helper through the side packets.
class GpuTestMetalCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    RETURN_IF_ERROR(PellumoMetalHelper::setupInputSidePackets(&cc->InputSidePackets()));
    return PassThroughContract(cc);
  }
  absl::Status Open(CalculatorContext* cc) override {
    helper_ = PellumoMetalHelper::initWithSidePackets(cc->InputSidePackets());
    Records::Get().Update(cc->NodeName(), [&](NodeRecord& r) { r.device = helper_->mtlDevice(); });
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override {
    RecordProcess(cc);
    return absl::OkStatus();
  }

 private:
  std::shared_ptr<PellumoMetalHelper> helper_;
};
REGISTER_CALCULATOR(GpuTestMetalCalculator);

class GpuTestPlainCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) { return PassThroughContract(cc); }
  absl::Status Process(CalculatorContext* cc) override {
    RecordProcess(cc);
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(GpuTestPlainCalculator);

struct NodeSpec {
  std::string name;
  std::string calculator;
  std::string context_name;  // GlContextOptions; "-" for a context_name that is set but empty
};

// in -> nodes in order -> out.
pellumo::CalculatorGraphConfig Chain(const std::vector<NodeSpec>& nodes) {
  pellumo::CalculatorGraphConfig config;
  config.add_input_stream("in");
  std::string previous = "in";
  for (const NodeSpec& spec : nodes) {
    pellumo::CalculatorGraphConfig::Node* node = config.add_node();
    node->set_name(spec.name);
    node->set_calculator(spec.calculator);
    node->add_input_stream(previous);
    previous = spec.name + "_out";
    node->add_output_stream(previous);
    if (!spec.context_name.empty()) {
      node->mutable_options()
          ->MutableExtension(pellumo::GlContextOptions::ext)
          ->set_context_name(spec.context_name == "-" ? "" : spec.context_name);
    }
  }
  config.add_output_stream(previous);
  return config;
}

// One run with `packets` packets.
void RunOnce(CalculatorGraph* graph, int packets) {
  EXPECT_TRUE(graph->StartRun({}).ok());
  for (int t = 0; t < packets; ++t) {
    EXPECT_TRUE(graph->AddPacketToInputStream("in", MakePacket<int>(t).At(Timestamp(t))).ok());
  }
  EXPECT_TRUE(graph->CloseAllInputStreams().ok());
  EXPECT_TRUE(graph->WaitUntilDone().ok());
}

TEST(GpuGraphTest, GpuNodesRunOnTheGlContextExecutorAcrossRuns) {
  Records::Get().Take();
  CalculatorGraph graph;
  ASSERT_TRUE(graph
                  .Initialize(Chain({{"plain", "GpuTestPlainCalculator", ""},
                                     {"gl", "GpuTestContextCalculator", ""},
                                     {"metal", "GpuTestMetalCalculator", ""}}))
                  .ok());
  std::vector<int64_t> out;
  ASSERT_TRUE(graph
                  .ObserveOutputStream("metal_out",
                                       [&](const Packet& p) {
                                         out.push_back(p.Timestamp().Value());
                                         return absl::OkStatus();
                                       })
                  .ok());
  EXPECT_EQ(graph.GetGpuResources(), nullptr);

  for (int run = 0; run < 2; ++run) {
    out.clear();
    RunOnce(&graph, 20);
    EXPECT_EQ(out.size(), 20u) << run;
    std::map<std::string, NodeRecord> records = Records::Get().Take();
    pellumo::GlGpuResources* resources = pellumo::GlGpuResources::From(graph.GetGpuResources());
    pellumo::GlContext* shared = resources->gl_context(pellumo::SharedContextKey()).get();
    // A GPU node runs on the graph's pool like any other: GL work runs inside its context,
    // and nothing is current outside it.
    EXPECT_EQ(records["gl"].context, shared);
    EXPECT_EQ(records["gl"].current, shared);
    EXPECT_EQ(records["metal"].current, nullptr);
    EXPECT_EQ(records["plain"].current, nullptr);
    EXPECT_EQ(records["gl"].processed, 20);
    EXPECT_EQ(records["metal"].processed, 20);
    EXPECT_NE(records["metal"].device, nullptr);
    // One executor, the same one in every run.
    ASSERT_EQ(resources->GetGpuExecutors().size(), 1u);
    EXPECT_EQ(resources->GetGpuExecutors().begin()->first, "__gpu");
  }
}

TEST(GpuGraphTest, GpuNodesFedFromSeveralThreadsTakeTheSharedContextInTurn) {
  // Three branches: each plain node hands its output to a GPU node, and the GPU nodes run on
  // the pool's threads at once, so their GL work asks for the shared context concurrently.
  Records::Get().Take();
  pellumo::CalculatorGraphConfig config;
  config.add_input_stream("in");
  for (const std::string branch : {"a", "b", "c"}) {
    pellumo::CalculatorGraphConfig::Node* plain = config.add_node();
    plain->set_name("plain_" + branch);
    plain->set_calculator("GpuTestPlainCalculator");
    plain->add_input_stream("in");
    plain->add_output_stream("plain_" + branch + "_out");
    pellumo::CalculatorGraphConfig::Node* gpu = config.add_node();
    gpu->set_name("gpu_" + branch);
    gpu->set_calculator("GpuTestContextCalculator");
    gpu->add_input_stream("plain_" + branch + "_out");
    gpu->add_output_stream("gpu_" + branch + "_out");
  }
  config.set_num_threads(4);
  CalculatorGraph graph;
  ASSERT_TRUE(graph.Initialize(config).ok());
  RunOnce(&graph, 50);
  std::map<std::string, NodeRecord> records = Records::Get().Take();
  pellumo::GlContext* shared =
      pellumo::GlGpuResources::From(graph.GetGpuResources())->gl_context("").get();
  for (const char* node : {"gpu_a", "gpu_b", "gpu_c"}) {
    EXPECT_EQ(records[node].processed, 50) << node;
    EXPECT_EQ(records[node].current, shared) << node;
  }
}

TEST(GpuGraphTest, ContextKeysFollowOptionsAndCalculatorType) {
  Records::Get().Take();
  CalculatorGraph graph;
  ASSERT_TRUE(graph
                  .Initialize(Chain({
                      {"face_a", "GpuTestContextCalculator", "face"},
                      {"face_b", "GpuTestContextCalculator", "face"},
                      {"sink", "GlSurfaceSinkCalculator", "-"},
                      {"convert_a", "ImageFrameToGpuBufferCalculator", ""},
                      {"convert_b", "ImageFrameToGpuBufferCalculator", ""},
                      {"named_convert", "ImageFrameToGpuBufferCalculator", "face"},
                      {"plain_gpu", "GpuTestContextCalculator", ""},
                  }))
                  .ok());
  RunOnce(&graph, 1);
  std::map<std::string, NodeRecord> records = Records::Get().Take();
  pellumo::GlGpuResources* resources = pellumo::GlGpuResources::From(graph.GetGpuResources());
  struct Case {
    const char* node;
    std::string key;
  } cases[] = {
      {"face_a", "user:face"},
      {"face_b", "user:face"},
      {"named_convert", "user:face"},
      {"sink", "auto:GlSurfaceSinkCalculator"},
      {"convert_a", "auto:ImageFrameToGpuBufferCalculator"},
      {"convert_b", "auto:ImageFrameToGpuBufferCalculator"},
      {"plain_gpu", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(records[c.node].context, resources->gl_context(c.key).get()) << c.node;
    EXPECT_NE(records[c.node].context, nullptr) << c.node;
  }
  // Three contexts of their own besides the shared one, all distinct.
  std::set<pellumo::GlContext*> distinct;
  for (const char* key : {"", "user:face", "auto:GlSurfaceSinkCalculator",
                          "auto:ImageFrameToGpuBufferCalculator"}) {
    distinct.insert(resources->gl_context(key).get());
  }
  EXPECT_EQ(distinct.size(), 4u);
  EXPECT_EQ(resources->gl_context(nullptr), resources->gl_context(pellumo::SharedContextKey()));
}

TEST(GpuGraphTest, MetalHelpersOfOneGraphShareOneLazilyMadeDevice) {
  Records::Get().Take();
  CalculatorGraph graph;
  ASSERT_TRUE(graph
                  .Initialize(Chain({{"metal_a", "GpuTestMetalCalculator", ""},
                                     {"metal_b", "GpuTestMetalCalculator", ""}}))
                  .ok());
  {
    // No device while the nodes open: nothing is remembered.
    platform::metal::ScopedSystemDefaultDeviceAvailable no_device(false);
    RunOnce(&graph, 1);
    std::map<std::string, NodeRecord> records = Records::Get().Take();
    EXPECT_EQ(records["metal_a"].device, nullptr);
    EXPECT_EQ(records["metal_b"].device, nullptr);
  }
  RunOnce(&graph, 1);
  std::map<std::string, NodeRecord> records = Records::Get().Take();
  ASSERT_NE(records["metal_a"].device, nullptr);
  EXPECT_EQ(records["metal_a"].device, records["metal_b"].device);
  // Once made, the graph keeps its device even when the system has none any more.
  platform::metal::ScopedSystemDefaultDeviceAvailable no_device(false);
  RunOnce(&graph, 1);
  records = Records::Get().Take();
  EXPECT_EQ(records["metal_a"].device, records["metal_b"].device);
  EXPECT_NE(records["metal_b"].device, nullptr);
}

// No streams, no GPU.
class GpuTestIdleCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) { return absl::OkStatus(); }
  absl::Status Process(CalculatorContext* cc) override { return absl::OkStatus(); }
};
REGISTER_CALCULATOR(GpuTestIdleCalculator);

TEST(GpuGraphDeathTest, PreparingANodeThatDoesNotUseTheGpuIsFatal) {
  pellumo::CalculatorGraphConfig config;
  config.add_node()->set_calculator("GpuTestIdleCalculator");
  ValidatedGraphConfig validated;
  ASSERT_TRUE(validated.Initialize(config).ok());
  CalculatorNode node;
  int buffer_size_hint = 0;
  // The node has no streams or side packets; the arrays are never read.
  InputStreamManager no_inputs;
  OutputStreamManager no_outputs;
  OutputSidePacketImpl no_side_packets;
  ASSERT_TRUE(node.Initialize(&validated, 0, &no_inputs, &no_outputs, &no_side_packets,
                              &buffer_size_hint, nullptr)
                  .ok());
  std::shared_ptr<pellumo::GlGpuResources> resources =
      pellumo::GlGpuResources::CreateGpuResourcesOrDie();
  EXPECT_DEATH(resources->PrepareGpuNode(&node), "Check failed: node->UsesGpu\\(\\)");
}

}  // namespace
}  // namespace kaldren
