#include "face_ml/detector_cache.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
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
#include "graph/calculator_graph.h"
#include "graph/calculator_static_access.h"
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
using ::research::sorvanti::testing::FakeModel;
using ::research::sorvanti::testing::FakeModelLog;
using ::research::sorvanti::testing::LogCapture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

// A stand-in for a stored detector.
struct Detector {
  int id = 0;
};

TEST(CacheTest, BorrowReservesTakesAndPutsBack) {
  Cache cache;
  const absl::Duration no_wait = absl::ZeroDuration();
  // A new key answers empty; only a reserving borrow marks it in use.
  EXPECT_EQ(cache.Borrow<Detector>("Calc", "k", no_wait, false).state, Cache::kEmpty);
  EXPECT_EQ(cache.Borrow<Detector>("Calc", "k", no_wait, true).state, Cache::kEmpty);
  EXPECT_EQ(cache.Borrow<Detector>("Calc", "k", no_wait, true).state, Cache::kInUse);

  cache.Put("Calc", "k", std::make_unique<Detector>(Detector{7}));
  // Keys hold zero bytes, and the type keeps equal keys apart.
  EXPECT_EQ(cache.Borrow<Detector>("Calc", std::string("k\0", 2), no_wait, false).state,
            Cache::kEmpty);
  EXPECT_EQ(cache.Borrow<Detector>("Other", "k", no_wait, false).state, Cache::kEmpty);

  Cache::StateValue<Detector> taken = cache.Borrow<Detector>("Calc", "k", no_wait, false);
  ASSERT_EQ(taken.state, Cache::kAvailable);
  EXPECT_EQ(taken.value->id, 7);
  // Taken without reserving, the entry is free for the next borrower to make its own.
  EXPECT_EQ(cache.Borrow<Detector>("Calc", "k", no_wait, false).state, Cache::kEmpty);
}

TEST(CacheTest, AnotherStoredTypeIsLoggedAndAnsweredEmpty) {
  Cache cache;
  cache.Put("Calc", "k", std::make_unique<int>(3));
  LogCapture log;
  Cache::StateValue<Detector> taken = cache.Borrow<Detector>("Calc", "k", absl::Seconds(1), true);
  EXPECT_EQ(taken.state, Cache::kEmpty);
  EXPECT_EQ(taken.value, nullptr);
  EXPECT_EQ(log.Count(absl::LogSeverity::kError, (std::ostringstream() << absl::FailedPreconditionError(
      "The cache stores another type than the one requested for Calc::k")).str()), 1);
  EXPECT_EQ(cache.Borrow<Detector>("Calc", "k", absl::ZeroDuration(), true).state, Cache::kInUse);
}

TEST(CacheTest, WaitsEndAtTheDeadlineOrAtThePut) {
  Cache cache;
  cache.Borrow<Detector>("Calc", "k", absl::ZeroDuration(), true);
  // Nobody puts: the wait gives up, leaving the entry as it was.
  EXPECT_EQ(cache.Borrow<Detector>("Calc", "k", absl::Milliseconds(20), true).state, Cache::kInUse);
  // A put from another thread ends a wait whose deadline is far away.
  std::thread putter([&] { cache.Put("Calc", "k", std::make_unique<Detector>(Detector{1})); });
  Cache::StateValue<Detector> taken = cache.Borrow<Detector>("Calc", "k", absl::Hours(1), true);
  putter.join();
  EXPECT_EQ(taken.state, Cache::kAvailable);
}

TEST(CacheTest, EveryWaiterWakesAtAPutWhateverItsKey) {
  Cache cache;
  constexpr int kWaiters = 4;
  for (int i = 0; i < kWaiters; ++i) {
    cache.Borrow<Detector>("Calc", std::to_string(i), absl::ZeroDuration(), true);
  }
  std::vector<int> states(kWaiters, -1);
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      // A waiter that misses its put gives up after a minute, and the state says so.
      states[i] = cache.Borrow<Detector>("Calc", std::to_string(i), absl::Minutes(1), false).state;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let them wait (not required)
  for (int i = kWaiters - 1; i >= 0; --i) {
    cache.Put("Calc", std::to_string(i), std::make_unique<Detector>(Detector{i}));
  }
  for (std::thread& t : waiters) t.join();
  EXPECT_THAT(states, ElementsAre(Cache::kAvailable, Cache::kAvailable, Cache::kAvailable,
                                  Cache::kAvailable));
}

TEST(CacheTest, DiscardedReservationGoesToTheNextBorrower) {
  Cache cache;
  cache.Borrow<Detector>("Calc", "k", absl::ZeroDuration(), true);
  std::thread discarder([&] { cache.Discard("Calc", "k"); });
  // The waiter, woken by the discard (or arriving after it), reserves the key for itself.
  EXPECT_EQ(cache.Borrow<Detector>("Calc", "k", absl::Hours(1), true).state, Cache::kEmpty);
  discarder.join();
  EXPECT_EQ(cache.Borrow<Detector>("Calc", "k", absl::ZeroDuration(), true).state, Cache::kInUse);
}

// Loadable objects the probe nodes have had made (not borrowed).
std::atomic<int> objects_made{0};

// A node that borrows or loads a FakeModel from the "PATHS" side packet under the key of
// "KEY", in the mode of "MODE"; emits the model's text on "TEXT" once loaded.
class CacheProbeCalculator : public kaldren::CalculatorBase {
 public:
  static absl::Status GetContract(kaldren::CalculatorContract* cc) {
    cc->Inputs().Tag("TICK").Set<int>();
    cc->Outputs().Tag("TEXT").Set<std::string>();
    cc->InputSidePackets().Tag("MODE").Set<int>();
    cc->InputSidePackets().Tag("PATHS").Set<std::vector<std::string>>();
    cc->InputSidePackets().Tag("KEY").Set<std::string>();
    cc->UseService(kCacheService).Optional();
    return SorvantiAsyncLoader::SetupInputPackets(&cc->Inputs(), &cc->InputSidePackets());
  }
  absl::Status Open(kaldren::CalculatorContext* cc) override {
    const auto mode = static_cast<InitMode>(cc->InputSidePackets().Tag("MODE").Get<int>());
    const auto paths = cc->InputSidePackets().Tag("PATHS").Get<std::vector<std::string>>();
    holder_ = std::make_unique<CachableAsyncLoadableObject<FakeModel>>(
        mode,
        [mode, paths]() -> util::StatusOr<std::unique_ptr<AsyncLoadableObject<FakeModel>>> {
          ++objects_made;
          return MakeAsyncLoadableObjectCPU<FakeModel>(mode, BuildFakeModel, paths);
        },
        cc->InputSidePackets().Tag("KEY").Get<std::string>());
    return absl::OkStatus();
  }
  absl::Status Process(kaldren::CalculatorContext* cc) override {
    RETURN_IF_ERROR(holder_->MaybeStartLoading());
    AsyncLoadableObject<FakeModel>* object = holder_->object();
    if (object == nullptr || !object->IsLoadingDone()) {
      cc->Outputs().Tag("TEXT").SetNextTimestampBound(cc->InputTimestamp().NextAllowedInStream());
      return absl::OkStatus();
    }
    ASSIGN_OR_RETURN(FakeModel * model, object->get());
    cc->Outputs().Tag("TEXT").AddPacket(
        kaldren::MakePacket<std::string>(model->text).At(cc->InputTimestamp()));
    return absl::OkStatus();
  }

 private:
  std::unique_ptr<CachableAsyncLoadableObject<FakeModel>> holder_;
};
REGISTER_CALCULATOR(CacheProbeCalculator);
REGISTER_CALCULATOR_WITH_NAME("OtherCacheProbeCalculator", CacheProbeCalculator);

struct NodeSpec {
  std::string calculator = "CacheProbeCalculator";
  std::string key = "options";
  std::string file = "a.bin";
};

class CachedLoadingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeModelLog::Get().Reset();
    dir_ = folder_.path();
    std::ofstream(dir_ / "a.bin") << "alpha";
    std::ofstream(dir_ / "b.bin") << "beta";
    std::ofstream(dir_ / "bad.bin") << "bad bytes";
  }
  // One run of a graph with one node per entry of `nodes`, each emitting on "text<i>"; returns
  // the texts per node as "timestamp:text". `cache` may be null.
  absl::Status Run(const std::vector<NodeSpec>& nodes, InitMode mode, int ticks,
                   std::shared_ptr<Cache> cache, std::vector<std::vector<std::string>>* texts,
                   absl::optional<int64_t> wait_ms = absl::nullopt) {
    CalculatorGraphConfig config;
    config.add_input_stream("tick");
    std::map<std::string, kaldren::Packet> side_packets = {{"mode", kaldren::MakePacket<int>(mode)}};
    std::vector<std::vector<kaldren::Packet>> outputs(nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
      const std::string n = std::to_string(i);
      auto* node = config.add_node();
      node->set_calculator(nodes[i].calculator);
      node->add_input_stream("TICK:tick");
      node->add_output_stream("TEXT:text" + n);
      node->add_input_side_packet("MODE:mode");
      node->add_input_side_packet("PATHS:paths" + n);
      node->add_input_side_packet("KEY:key" + n);
      if (wait_ms.has_value()) node->add_input_side_packet("CACHE_WAIT_TIME_MS:wait");
      side_packets["paths" + n] = kaldren::MakePacket<std::vector<std::string>>(
          std::vector<std::string>{(dir_ / nodes[i].file).string()});
      side_packets["key" + n] = kaldren::MakePacket<std::string>(nodes[i].key);
      kaldren::tool::AddVectorSink("text" + n, &config, &outputs[i]);
    }
    if (wait_ms.has_value()) side_packets["wait"] = kaldren::MakePacket<int64_t>(*wait_ms);
    absl::Status status;
    {
      kaldren::CalculatorGraph graph;
      RETURN_IF_ERROR(graph.Initialize(config));
      if (cache != nullptr) {
        RETURN_IF_ERROR(graph.SetServicePacket(
            kCacheService, kaldren::MakePacket<std::shared_ptr<Cache>>(cache)));
      }
      RETURN_IF_ERROR(graph.StartRun(side_packets, {}));
      for (int t = 1; t <= ticks && status.ok(); ++t) {
        status = graph.AddPacketToInputStream("tick", kaldren::MakePacket<int>(0).At(
                                                          kaldren::Timestamp(t)));
        if (status.ok()) status = graph.WaitUntilIdle();
        made_after_tick_.push_back(objects_made.load());
      }
      graph.CloseAllInputStreams().IgnoreError();
      absl::Status done = graph.WaitUntilDone();
      if (status.ok()) status = done;
    }
    texts->assign(nodes.size(), {});
    for (size_t i = 0; i < nodes.size(); ++i) {
      for (const kaldren::Packet& p : outputs[i]) {
        (*texts)[i].push_back(std::to_string(p.Timestamp().Value()) + ":" + p.Get<std::string>());
      }
    }
    return status;
  }

  platform::foundation::ScopedTestFolder folder_;
  fs::path dir_;
  std::vector<int> made_after_tick_;
};

TEST_F(CachedLoadingTest, SecondRunBorrowsTheDetectorOfTheFirst) {
  for (InitMode mode : {SYNC, ASYNC}) {
    SCOPED_TRACE(mode);
    FakeModelLog::Get().Reset();
    auto cache = std::make_shared<Cache>();
    std::vector<std::vector<std::string>> texts;
    ASSERT_OK(Run({NodeSpec()}, SYNC, 1, cache, &texts));
    ASSERT_THAT(texts[0], ElementsAre("1:alpha"));
    EXPECT_EQ(FakeModelLog::Get().builds(), 1);
    // Loaded already, the borrowed detector serves the first frame of the next run, whatever
    // that run's mode.
    ASSERT_OK(Run({NodeSpec()}, mode, 2, cache, &texts));
    EXPECT_THAT(texts[0], ElementsAre("1:alpha", "2:alpha"));
    EXPECT_EQ(FakeModelLog::Get().builds(), 1);
    // Another calculator name or other options never share it.
    ASSERT_OK(Run({{"OtherCacheProbeCalculator", "options", "b.bin"}}, SYNC, 1, cache, &texts));
    ASSERT_OK(Run({{"CacheProbeCalculator", "other options", "b.bin"}}, SYNC, 1, cache, &texts));
    EXPECT_EQ(FakeModelLog::Get().builds(), 3);
  }
}

TEST_F(CachedLoadingTest, TwoNodesWithOneKeyEachMakeTheirOwn) {
  auto cache = std::make_shared<Cache>();
  std::vector<std::vector<std::string>> texts;
  // SYNC: the second node finds the key in use and, with no wait time, makes its own at once.
  ASSERT_OK(Run({NodeSpec(), NodeSpec()}, SYNC, 1, cache, &texts));
  EXPECT_THAT(texts, ElementsAre(ElementsAre("1:alpha"), ElementsAre("1:alpha")));
  EXPECT_EQ(FakeModelLog::Get().builds(), 2);

  // ASYNC: the node that finds the key in use waits one call, then makes its own.
  objects_made = 0;
  made_after_tick_.clear();
  ASSERT_OK(Run({NodeSpec(), NodeSpec()}, ASYNC, 2, std::make_shared<Cache>(), &texts));
  EXPECT_THAT(made_after_tick_, ElementsAre(1, 2));
}

TEST_F(CachedLoadingTest, FailedLoadIsNotPutBack) {
  for (InitMode mode : {SYNC, ASYNC}) {
    SCOPED_TRACE(mode);
    FakeModelLog::Get().Reset();
    auto cache = std::make_shared<Cache>();
    std::vector<std::vector<std::string>> texts;
    absl::Status status = Run({{"CacheProbeCalculator", "options", "bad.bin"}}, mode, 100000, cache, &texts);
    EXPECT_THAT(std::string(status.message()), HasSubstr("broken model"));
    // The next run with the same key loads afresh instead of inheriting the error.
    ASSERT_OK(Run({NodeSpec()}, SYNC, 1, cache, &texts));
    EXPECT_THAT(texts[0], ElementsAre("1:alpha"));
    EXPECT_EQ(FakeModelLog::Get().builds(), 2);
  }
}

TEST_F(CachedLoadingTest, WithoutTheServiceNothingIsShared) {
  std::vector<std::vector<std::string>> texts;
  ASSERT_OK(Run({NodeSpec(), NodeSpec()}, SYNC, 1, nullptr, &texts, /*wait_ms=*/int64_t{60000}));
  ASSERT_OK(Run({NodeSpec()}, SYNC, 1, nullptr, &texts, int64_t{60000}));
  EXPECT_EQ(FakeModelLog::Get().builds(), 3);
}

}  // namespace
}  // namespace sorvanti
}  // namespace pellumo
