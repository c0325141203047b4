#include "face_ml/async_loader.h"

#include <dirent.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/status_macros.h"
#include "base/status_test_util.h"
#include "face_ml/testing/fake_model.h"
#include "face_ml/testing/log_capture.h"
#include "gmock/gmock.h"
#include "graph/calculator_base.h"
#include "graph/calculator_contract.h"
#include "graph/calculator_static_access.h"
#include "graph/calculator_graph.h"
#include "graph/legacy_calculator.h"
#include "graph/packet.h"
#include "graph/registration_macros.h"
#include "graph/tool/sink.h"
#include "graph_config/calculator.pb.h"
#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

namespace pellumo {
namespace sorvanti {
namespace {

using ::research::sorvanti::testing::BuildFakeModel;
using ::research::sorvanti::testing::CurrentThreadName;
using ::research::sorvanti::testing::FakeModel;
using ::research::sorvanti::testing::FakeModelLog;
using ::research::sorvanti::testing::LogCapture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

constexpr char kLoaderThread[] = "sorvanti_async_";

// Threads of this process whose name is `name`, as the system shows them.
int CountThreadsNamed(const std::string& name) {
  int count = 0;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) ++count;
  }
  return count;
}

// Loads a FakeModel from the "PATHS" side packet in the mode of "MODE", starting the load at
// every Process; emits the model's text on "TEXT" once loaded, and only the bound before.
class LoaderProbeCalculator : public kaldren::CalculatorBase {
 public:
  static absl::Status GetContract(kaldren::CalculatorContract* cc) {
    cc->Inputs().Tag("TICK").Set<int>();
    cc->Outputs().Tag("TEXT").Set<std::string>();
    cc->InputSidePackets().Tag("MODE").Set<int>();
    cc->InputSidePackets().Tag("PATHS").Set<std::vector<std::string>>();
    return SorvantiAsyncLoader::SetupInputPackets(&cc->Inputs(), &cc->InputSidePackets());
  }
  absl::Status Open(kaldren::CalculatorContext* cc) override {
    object_ = MakeAsyncLoadableObjectCPU<FakeModel>(
        static_cast<InitMode>(cc->InputSidePackets().Tag("MODE").Get<int>()), BuildFakeModel,
        cc->InputSidePackets().Tag("PATHS").Get<std::vector<std::string>>());
    return absl::OkStatus();
  }
  absl::Status Process(kaldren::CalculatorContext* cc) override {
    RETURN_IF_ERROR(object_->loader().MaybeStartLoading(cc));
    if (!object_->IsLoadingDone()) {
      cc->Outputs().Tag("TEXT").SetNextTimestampBound(cc->InputTimestamp().NextAllowedInStream());
      return absl::OkStatus();
    }
    ASSIGN_OR_RETURN(FakeModel * model, object_->get());
    cc->Outputs().Tag("TEXT").AddPacket(kaldren::MakePacket<std::string>(model->text).At(
        cc->InputTimestamp()));
    return absl::OkStatus();
  }

 private:
  std::unique_ptr<AsyncLoadableObject<FakeModel>> object_;
};
REGISTER_CALCULATOR(LoaderProbeCalculator);

// The legacy form, loading in Open as the face-transform calculator does.
class LegacyLoaderProbeCalculator : public pellumo::Calculator {
 public:
  static absl::Status FillExpectations(const pellumo::CalculatorOptions&,
                                       kaldren::PacketTypeSet* inputs,
                                       kaldren::PacketTypeSet* outputs,
                                       kaldren::PacketTypeSet* input_side_packets) {
    inputs->Tag("TICK").Set<int>();
    outputs->Tag("TEXT").Set<std::string>();
    input_side_packets->Tag("MODE").Set<int>();
    input_side_packets->Tag("PATHS").Set<std::vector<std::string>>();
    return SorvantiAsyncLoader::SetupInputPackets(inputs, input_side_packets);
  }
  absl::Status Open() override {
    object_ = MakeAsyncLoadableObjectCPU<FakeModel>(
        static_cast<InitMode>(InputSidePackets().Tag("MODE").Get<int>()), BuildFakeModel,
        InputSidePackets().Tag("PATHS").Get<std::vector<std::string>>());
    return object_->loader().MaybeStartLoading(this);
  }
  absl::Status Process() override {
    if (!object_->IsLoadingDone()) return absl::OkStatus();
    ASSIGN_OR_RETURN(FakeModel * model, object_->get());
    Outputs().Tag("TEXT")->AddPacket(kaldren::MakePacket<std::string>(model->text).At(
        InputTimestamp()));
    return absl::OkStatus();
  }

 private:
  std::unique_ptr<AsyncLoadableObject<FakeModel>> object_;
};
REGISTER_LEGACY_CALCULATOR(LegacyLoaderProbeCalculator);

// Model files in a temporary folder and a graph "tick" -> probe -> "text" with a sink.
class AsyncLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeModelLog::Get().Reset();
    dir_ = folder_.path();
    Write("a.bin", "alpha");
    Write("b.bin", std::string("be\0ta", 5));
    Write("bad.bin", "bad bytes");
  }
  void Write(const std::string& name, const std::string& contents) {
    std::ofstream(dir_ / name, std::ios::binary) << contents;
  }
  std::string PathOf(const std::string& name) { return (dir_ / name).string(); }

  // `with_load_model` adds the input stream "load" as "LOAD_MODEL"; `asset_base` adds the side
  // packet "asset_base" as "ASSET_BASE".
  absl::Status Start(const std::string& calculator, InitMode mode,
                     std::vector<std::string> paths, bool with_load_model = false,
                     const std::string* asset_base = nullptr) {
    CalculatorGraphConfig config;
    config.add_input_stream("tick");
    auto* node = config.add_node();
    node->set_calculator(calculator);
    node->add_input_stream("TICK:tick");
    node->add_output_stream("TEXT:text");
    node->add_input_side_packet("MODE:mode");
    node->add_input_side_packet("PATHS:paths");
    std::map<std::string, kaldren::Packet> side_packets = {
        {"mode", kaldren::MakePacket<int>(mode)},
        {"paths", kaldren::MakePacket<std::vector<std::string>>(std::move(paths))}};
    if (with_load_model) {
      config.add_input_stream("load");
      node->add_input_stream("LOAD_MODEL:load");
    }
    if (asset_base != nullptr) {
      node->add_input_side_packet("ASSET_BASE:asset_base");
      side_packets["asset_base"] = kaldren::MakePacket<std::string>(*asset_base);
    }
    kaldren::tool::AddVectorSink("text", &config, &texts_);
    graph_ = std::make_unique<kaldren::CalculatorGraph>();
    RETURN_IF_ERROR(graph_->Initialize(config));
    return graph_->StartRun(side_packets, {});
  }
  absl::Status Tick(int64_t t) {
    RETURN_IF_ERROR(graph_->AddPacketToInputStream("tick", kaldren::MakePacket<int>(0).At(
                                                               kaldren::Timestamp(t))));
    return graph_->WaitUntilIdle();
  }
  absl::Status Finish() {
    RETURN_IF_ERROR(graph_->CloseAllInputStreams());
    return graph_->WaitUntilDone();
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const kaldren::Packet& p : texts_) {
      texts.push_back(std::to_string(p.Timestamp().Value()) + ":" + p.Get<std::string>());
    }
    return texts;
  }

  platform::foundation::ScopedTestFolder folder_;
  fs::path dir_;
  std::unique_ptr<kaldren::CalculatorGraph> graph_;
  std::vector<kaldren::Packet> texts_;
};

TEST_F(AsyncLoaderTest, SyncAndDefaultLoadBeforeTheFirstCallReturns) {
  for (const char* calculator : {"LoaderProbeCalculator", "LegacyLoaderProbeCalculator"}) {
    for (InitMode mode : {DEFAULT, SYNC}) {
      SCOPED_TRACE(std::string(calculator) + " mode " + std::to_string(mode));
      FakeModelLog::Get().Reset();
      texts_.clear();
      ASSERT_OK(Start(calculator, mode, {PathOf("a.bin"), PathOf("b.bin")}));
      ASSERT_OK(Tick(1));
      ASSERT_OK(Tick(2));
      ASSERT_OK(Finish());
      // Files arrive whole and in path order; the build ran on the loader thread once.
      const std::string text = "alpha|" + std::string("be\0ta", 5);
      EXPECT_THAT(Texts(), ElementsAre("1:" + text, "2:" + text));
      EXPECT_THAT(FakeModelLog::Get().build_threads(), ElementsAre(kLoaderThread));
      graph_.reset();
      // The object is deleted on the loader thread, which is then gone.
      EXPECT_THAT(FakeModelLog::Get().delete_threads(), ElementsAre(kLoaderThread));
      EXPECT_EQ(CountThreadsNamed(kLoaderThread), 0);
    }
  }
}

TEST_F(AsyncLoaderTest, AsyncSkipsFramesWhileTheLoaderThreadWorks) {
  FakeModelLog::Get().SetGateOpen(false);
  ASSERT_OK(Start("LoaderProbeCalculator", ASYNC, {PathOf("a.bin")}));
  ASSERT_OK(Tick(1));
  FakeModelLog::Get().WaitForBlockedBuild();
  // The load is running on its own named thread while the graph goes on.
  EXPECT_EQ(CountThreadsNamed(kLoaderThread), 1);
  ASSERT_OK(Tick(2));
  EXPECT_TRUE(Texts().empty());

  FakeModelLog::Get().SetGateOpen(true);
  int64_t t = 3;
  while (texts_.empty()) {  // until the worker has published the object
    ASSERT_OK(Tick(t++));
    std::this_thread::yield();
  }
  ASSERT_OK(Finish());
  EXPECT_EQ(Texts().front(), std::to_string(t - 1) + ":alpha");
  EXPECT_EQ(texts_.size(), 1u);
  EXPECT_EQ(FakeModelLog::Get().builds(), 1);
}

TEST_F(AsyncLoaderTest, LoadWaitsForTheFirstLoadModelPacket) {
  ASSERT_OK(Start("LoaderProbeCalculator", SYNC, {PathOf("a.bin")}, /*with_load_model=*/true));
  ASSERT_OK(Tick(1));
  ASSERT_OK(Tick(2));
  EXPECT_EQ(FakeModelLog::Get().builds(), 0);
  // Any payload type starts the load, together with a tick of the same timestamp.
  ASSERT_OK(graph_->AddPacketToInputStream("load", kaldren::MakePacket<std::string>("go").At(
                                                         kaldren::Timestamp(3))));
  ASSERT_OK(Tick(3));
  ASSERT_OK(graph_->AddPacketToInputStream("load", kaldren::MakePacket<int>(7).At(
                                                         kaldren::Timestamp(4))));
  ASSERT_OK(Tick(4));
  ASSERT_OK(Finish());
  EXPECT_EQ(FakeModelLog::Get().builds(), 1);
  EXPECT_THAT(Texts(), ElementsAre("3:alpha", "4:alpha"));
}

TEST_F(AsyncLoaderTest, AssetBaseIsJoinedToEveryPath) {
  const std::string base = dir_.string();
  ASSERT_OK(Start("LoaderProbeCalculator", SYNC, {"a.bin", "b.bin"}, false, &base));
  ASSERT_OK(Tick(1));
  ASSERT_OK(Finish());
  ASSERT_EQ(texts_.size(), 1u);
  EXPECT_EQ(texts_[0].Get<std::string>(), "alpha|" + std::string("be\0ta", 5));
}

TEST_F(AsyncLoaderTest, LoadErrorsReachTheGraphAndAreNotRetried) {
  struct Case {
    const char* name;
    std::vector<std::string> paths;
    std::string error;
    int builds;
  };
  const Case cases[] = {
      {"create fails", {PathOf("a.bin"), PathOf("bad.bin")}, "broken model", 1},
      // The first missing file ends the load before the create function runs.
      {"file missing", {PathOf("absent.bin"), PathOf("a.bin")}, PathOf("absent.bin"), 0},
  };
  for (const Case& c : cases) {
    for (InitMode mode : {SYNC, ASYNC}) {
      SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(mode));
      FakeModelLog::Get().Reset();
      texts_.clear();
      ASSERT_OK(Start("LoaderProbeCalculator", mode, c.paths));
      absl::Status status;
      for (int64_t t = 1; status.ok() && t < 100000; ++t) status = Tick(t);
      EXPECT_THAT(std::string(status.message()), HasSubstr(c.error));
      EXPECT_THAT(std::string(Finish().message()), HasSubstr(c.error));
      EXPECT_TRUE(texts_.empty());
      EXPECT_EQ(FakeModelLog::Get().builds(), c.builds);
      graph_.reset();
      EXPECT_TRUE(FakeModelLog::Get().delete_threads().empty());
    }
  }
}

// The loader on its own, driven through its executor.

TEST(AsyncLoaderExecutorTest, SyncReturnsTheLoadStatusAfterTheLoad) {
  auto executor = MakeAsyncLoaderExecutorCPU();
  std::atomic<bool> done{false};
  absl::Status status;
  std::string seen_base, seen_thread;
  absl::Status result = executor->RunLoadFunction(
      SYNC,
      [&](absl::string_view base) {
        seen_base = std::string(base);
        seen_thread = CurrentThreadName();
        return absl::NotFoundError("no file");
      },
      "models", &done, &status);
  EXPECT_EQ(result.code(), absl::StatusCode::kNotFound);
  EXPECT_TRUE(done.load());
  EXPECT_EQ(status.code(), absl::StatusCode::kNotFound);
  EXPECT_EQ(seen_base, "models");
  EXPECT_EQ(seen_thread, kLoaderThread);
}

TEST(AsyncLoaderExecutorTest, DestroyWaitsForARunningLoadAndRunsOnTheWorker) {
  FakeModelLog::Get().Reset();
  FakeModelLog::Get().SetGateOpen(false);
  std::vector<std::string> events;  // written by the worker only, read after the join
  std::string destroy_thread;
  std::atomic<bool> done{false};
  absl::Status status;
  auto executor = MakeAsyncLoaderExecutorCPU();
  ASSERT_TRUE(executor->RunLoadFunction(ASYNC, [&](absl::string_view) {
                FakeModelLog::Get().RecordBuild();
                events.push_back("load");
                return absl::OkStatus();
              }, "", &done, &status).ok());
  FakeModelLog::Get().WaitForBlockedBuild();
  EXPECT_FALSE(done.load());
  std::thread opener([] {
    // Opening the gate from elsewhere lets the destruction below finish.
    FakeModelLog::Get().SetGateOpen(true);
  });
  executor->RunDestroyFunction([&] {
    events.push_back("destroy");
    destroy_thread = CurrentThreadName();
    return absl::OkStatus();
  });
  opener.join();
  EXPECT_TRUE(done.load());
  EXPECT_THAT(events, ElementsAre("load", "destroy"));
  EXPECT_EQ(destroy_thread, kLoaderThread);
  executor.reset();
  EXPECT_EQ(CountThreadsNamed(kLoaderThread), 0);
}

TEST(AsyncLoaderExecutorTest, NeverStartedLoaderStillDestroysAndLogsItsError) {
  LogCapture log;
  {
    auto loader = MakeAsyncLoaderCPU(DEFAULT, [](absl::string_view) { return absl::OkStatus(); },
                                     [] { return absl::AbortedError("gpu gone"); });
    EXPECT_EQ(loader->init_mode(), SYNC);
  }
  std::ostringstream text;
  text << absl::AbortedError("gpu gone");
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, text.str()), 1);
}

}  // namespace
}  // namespace sorvanti
}  // namespace pellumo
