#include "graph/stream_handler/in_order_output_stream_handler.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "absl/strings/str_cat.h"
#include "gmock/gmock.h"
#include "graph/calculator_context.h"
#include "graph/calculator_context_manager.h"
#include "graph/calculator_state.h"
#include "graph/input_stream_mirror.h"
#include "graph/packet.h"
#include "graph/packet_type.h"
#include "graph/registration_macros.h"
#include "graph_config/calculator.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::shared_ptr<tool::TagMap> MakeTagMap(const std::vector<std::string>& names) {
  google::protobuf::RepeatedPtrField<std::string> entries(names.begin(), names.end());
  return tool::TagMap::Create(entries).value();
}

// The downstream input streams of every output: records what reaches them, as
// "<id> packet <timestamp>" and "<id> bound <timestamp>", and how many calls overlapped.
class RecordingMirror : public internal::InputStreamMirrorTarget {
 public:
  void AddPackets(CollectionItemId id, const std::list<Packet>& packets) override {
    Enter();
    for (const Packet& packet : packets) {
      Record(absl::StrCat(id.Value(), " packet ", packet.Timestamp().DebugString()));
    }
    Leave();
  }
  void MovePackets(CollectionItemId id, std::list<Packet>* packets) override {
    AddPackets(id, *packets);
    packets->clear();
  }
  void SetNextTimestampBound(CollectionItemId id, Timestamp bound) override {
    Enter();
    Record(absl::StrCat(id.Value(), " bound ", bound.DebugString()));
    if (on_bound) on_bound();
    Leave();
  }
  void SetHeader(CollectionItemId id, const Packet& header) override {
    std::lock_guard<std::mutex> lock(mutex_);
    headers_.push_back(header);
  }
  void SetMaxQueueSize(CollectionItemId id, int max_queue_size) override {}

  std::vector<std::string> TakeEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(events_, {});
  }
  std::vector<Packet> Headers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return headers_;
  }
  int MaxConcurrentCalls() const { return max_concurrent_calls_.load(); }

  // Runs inside every bound call, after recording it.
  std::function<void()> on_bound;

 private:
  void Enter() {
    int now = ++concurrent_calls_;
    int max = max_concurrent_calls_.load();
    while (now > max && !max_concurrent_calls_.compare_exchange_weak(max, now)) {
    }
  }
  void Leave() { --concurrent_calls_; }
  void Record(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }

  std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<Packet> headers_;
  std::atomic<int> concurrent_calls_{0};
  std::atomic<int> max_concurrent_calls_{0};
};

// A node's output side: its output streams feeding a recording mirror, its context manager
// and the handler made by name from the registry.
class OutputHandlerTest : public ::testing::Test {
 protected:
  OutputHandlerTest()
      : state_("node", 0, "Calc", pellumo::CalculatorGraphConfig_Node(), nullptr) {
    any_type_.SetAny();
  }

  void MakeHandler(const std::vector<std::string>& names, bool parallel) {
    tag_map_ = MakeTagMap(names);
    managers_ = std::make_unique<OutputStreamManager[]>(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      ASSERT_TRUE(managers_[i].Initialize(names[i], &any_type_).ok());
      managers_[i].AddMirror(&mirror_, static_cast<int>(i));
    }
    context_manager_.Initialize(&state_, MakeTagMap({}), tag_map_, parallel);
    auto handler = OutputStreamHandlerRegistry::CreateByName(
        "InOrderOutputStreamHandler", tag_map_, &context_manager_, pellumo::PellumoOptions(),
        parallel);
    ASSERT_TRUE(handler.ok()) << handler.status();
    handler_ = std::move(handler).value();
    // Registered by its class name.
    ASSERT_NE(dynamic_cast<InOrderOutputStreamHandler*>(handler_.get()), nullptr);
    ASSERT_TRUE(handler_->InitializeOutputStreamManagers(managers_.get()).ok());
    StartRun();
  }

  void StartRun() {
    handler_->PrepareForRun([this](absl::Status status) {
      std::lock_guard<std::mutex> lock(errors_mutex_);
      errors_.push_back(status);
    });
    ASSERT_TRUE(context_manager_
                    .PrepareForRun([this](CalculatorContext* cc) {
                      return handler_->SetupOutputShards(&cc->Outputs());
                    })
                    .ok());
  }

  // Opens the node; stream i gets the offset offsets[i] where one is given.
  void Open(const std::vector<std::optional<int>>& offsets = {}) {
    OutputStreamShardSet& outputs = context_manager_.GetDefaultCalculatorContext()->Outputs();
    handler_->PrepareOutputs(Timestamp::Unstarted(), &outputs);
    for (size_t i = 0; i < offsets.size(); ++i) {
      if (offsets[i]) outputs.Get(static_cast<int>(i)).SetOffset(TimestampDiff(*offsets[i]));
    }
    handler_->Open(&outputs);
    mirror_.TakeEvents();
  }

  // Starts the invocation at `t`, as the node's scheduling loop does.
  CalculatorContext* Begin(int64_t t) {
    CalculatorContext* cc = context_manager_.PrepareCalculatorContext(Timestamp(t));
    context_manager_.PushInputTimestampToContext(cc, Timestamp(t));
    handler_->PrepareOutputs(Timestamp(t), &cc->Outputs());
    return cc;
  }

  // Ends the invocation at `t`, which wrote a packet at `t` to stream 0.
  void Finish(CalculatorContext* cc, int64_t t) {
    cc->Outputs().Get(0).AddPacket(MakePacket<int>(0).At(Timestamp(t)));
    context_manager_.PopInputTimestampFromContext(cc);
    handler_->PostProcess(Timestamp(t));
  }

  std::vector<absl::Status> Errors() {
    std::lock_guard<std::mutex> lock(errors_mutex_);
    return errors_;
  }

  PacketType any_type_;
  CalculatorState state_;
  CalculatorContextManager context_manager_;
  RecordingMirror mirror_;
  std::shared_ptr<tool::TagMap> tag_map_;
  std::unique_ptr<OutputStreamManager[]> managers_;
  std::unique_ptr<OutputStreamHandler> handler_;
  std::mutex errors_mutex_;
  std::vector<absl::Status> errors_;
};

TEST_F(OutputHandlerTest, SerialNodePropagatesEachInvocationAtOnce) {
  MakeHandler({"out"}, /*parallel=*/false);
  Open();
  Finish(Begin(10), 10);
  EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("0 packet 10"));
  // An invocation without output leaves the bound where it was.
  CalculatorContext* cc = Begin(11);
  context_manager_.PopInputTimestampFromContext(cc);
  handler_->PostProcess(Timestamp(11));
  EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("0 bound 11"));
  EXPECT_THAT(Errors(), IsEmpty());
}

// The bound the inputs imply reaches only streams with an offset, shifted by it, and only
// where it raises their bound; in a parallel node only while nothing is in flight.
TEST_F(OutputHandlerTest, TaskBoundReachesStreamsWithAnOffset) {
  for (bool parallel : {false, true}) {
    SCOPED_TRACE(parallel);
    MakeHandler({"shifted", "plain", "still"}, parallel);
    Open({5, std::nullopt, 0});
    handler_->UpdateTaskTimestampBound(Timestamp(30));
    EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("0 bound 35", "2 bound 30"));
    handler_->UpdateTaskTimestampBound(Timestamp(30));
    for (Timestamp special : {Timestamp::PostStream(), Timestamp::Done()}) {
      handler_->UpdateTaskTimestampBound(special);
    }
    EXPECT_THAT(mirror_.TakeEvents(), IsEmpty());
  }
  MakeHandler({"shifted"}, /*parallel=*/false);
  Open({-10});
  handler_->UpdateTaskTimestampBound(Timestamp(30));
  handler_->UpdateTaskTimestampBound(Timestamp(25));  // Not above the stream's bound.
  EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("0 bound 20"));
}

// Offsets are declared in Open, so each run decides afresh which streams take the bound.
TEST_F(OutputHandlerTest, EveryRunDeclaresItsOwnOffsets) {
  MakeHandler({"out"}, /*parallel=*/false);
  Open();
  handler_->UpdateTaskTimestampBound(Timestamp(30));
  EXPECT_THAT(mirror_.TakeEvents(), IsEmpty());
  StartRun();
  Open({0});
  handler_->UpdateTaskTimestampBound(Timestamp(30));
  EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("0 bound 30"));
  StartRun();
  Open();
  handler_->UpdateTaskTimestampBound(Timestamp(40));
  EXPECT_THAT(mirror_.TakeEvents(), IsEmpty());
}

TEST_F(OutputHandlerTest, ParallelOutputsLeaveInInputTimestampOrder) {
  MakeHandler({"out"}, /*parallel=*/true);
  Open({0});
  CalculatorContext* at10 = Begin(10);
  CalculatorContext* at20 = Begin(20);
  handler_->UpdateTaskTimestampBound(Timestamp(30));
  Finish(at20, 20);
  // 10 is still running.
  EXPECT_THAT(mirror_.TakeEvents(), IsEmpty());
  Finish(at10, 10);
  // Then the bound that waited behind the invocations.
  EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("0 packet 10", "0 packet 20", "0 bound 30"));
  EXPECT_FALSE(context_manager_.HasActiveContexts());
  // Contexts are recycled.
  EXPECT_EQ(Begin(40), at10);
}

TEST_F(OutputHandlerTest, TaskBoundOfAParallelNodeMustNotGoDown) {
  MakeHandler({"out"}, /*parallel=*/true);
  Open({0});
  handler_->UpdateTaskTimestampBound(Timestamp(30));
  EXPECT_DEATH(handler_->UpdateTaskTimestampBound(Timestamp(20)),
               "timestamp > task_timestamp_bound_");
}

// A bound that arrives while another thread propagates the previous one is left to that
// thread, which propagates it before going idle.
TEST_F(OutputHandlerTest, BoundArrivingDuringBoundPropagationIsPropagatedByThePropagator) {
  MakeHandler({"out"}, /*parallel=*/true);
  Open({0});
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool released = false;
  mirror_.on_bound = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (entered) return;
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
  };
  std::thread propagator([&] { handler_->UpdateTaskTimestampBound(Timestamp(30)); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return entered; });
  }
  handler_->UpdateTaskTimestampBound(Timestamp(40));
  EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("0 bound 30"));
  {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
  }
  changed.notify_all();
  propagator.join();
  EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("0 bound 40"));
}

TEST_F(OutputHandlerTest, InvocationsFinishingOnManyThreadsLeaveInOrder) {
  MakeHandler({"out"}, /*parallel=*/true);
  Open({0});
  constexpr int kInvocations = 300;
  std::vector<CalculatorContext*> contexts;
  std::vector<int64_t> order;
  for (int64_t t = 0; t < kInvocations; ++t) {
    contexts.push_back(Begin(t));
    order.push_back(t);
  }
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  std::atomic<int> next{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&] {
      for (int i = next++; i < kInvocations; i = next++) Finish(contexts[order[i]], order[i]);
    });
  }
  for (int64_t bound = 1; bound <= kInvocations + 5; ++bound) {
    handler_->UpdateTaskTimestampBound(Timestamp(bound));
  }
  for (std::thread& worker : workers) worker.join();

  std::vector<std::string> expected;
  for (int t = 0; t < kInvocations; ++t) expected.push_back(absl::StrCat("0 packet ", t));
  std::vector<std::string> events = mirror_.TakeEvents();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), absl::StrCat("0 bound ", kInvocations + 5));
  events.erase(std::remove_if(events.begin(), events.end(),
                              [](const std::string& e) { return e.find("bound") != e.npos; }),
               events.end());
  EXPECT_EQ(events, expected);
  EXPECT_EQ(mirror_.MaxConcurrentCalls(), 1);
  EXPECT_FALSE(context_manager_.HasActiveContexts());
  EXPECT_THAT(Errors(), IsEmpty());
}

TEST_F(OutputHandlerTest, OpenPropagatesOpensOutputsAndHeadersThenLocksThem) {
  MakeHandler({"out"}, /*parallel=*/false);
  OutputStreamShardSet& outputs = context_manager_.GetDefaultCalculatorContext()->Outputs();
  handler_->PrepareOutputs(Timestamp::Unstarted(), &outputs);
  outputs.Get(0).SetHeader(MakePacket<int>(3));
  outputs.Get(0).AddPacket(MakePacket<int>(1).At(Timestamp::PreStream()));
  handler_->Open(&outputs);
  EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("0 packet Timestamp::PreStream()"));
  ASSERT_EQ(mirror_.Headers().size(), 1u);
  EXPECT_EQ(mirror_.Headers()[0].Get<int>(), 3);
  outputs.Get(0).SetHeader(MakePacket<int>(4));
  EXPECT_EQ(Errors().size(), 1u);
  EXPECT_DEATH(handler_->Open(nullptr), "Check failed: output_shards");
  EXPECT_DEATH(handler_->PrepareOutputs(Timestamp(1), nullptr), "Check failed: output_shards");
}

TEST_F(OutputHandlerTest, ClosingAShardClosesItsStreamForGood) {
  MakeHandler({"out", "other"}, /*parallel=*/false);
  Open();
  CalculatorContext* cc = Begin(5);
  cc->Outputs().Get(0).Close();
  context_manager_.PopInputTimestampFromContext(cc);
  handler_->PostProcess(Timestamp(5));
  EXPECT_TRUE(managers_[0].IsClosed());
  EXPECT_FALSE(managers_[1].IsClosed());
  mirror_.TakeEvents();
  Finish(Begin(6), 6);  // Refused by the closed shard, and the stream is skipped.
  EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("1 bound Timestamp::PreStream()"));
  EXPECT_EQ(Errors().size(), 1u);
}

TEST_F(OutputHandlerTest, CloseWithAndWithoutShards) {
  MakeHandler({"out"}, /*parallel=*/false);
  Open();
  handler_->Close(nullptr);
  EXPECT_THAT(mirror_.TakeEvents(), ElementsAre("0 bound Timestamp::Done()"));
  EXPECT_TRUE(managers_[0].IsClosed());

  MakeHandler({"out"}, /*parallel=*/false);
  Open();
  OutputStreamShardSet& outputs = context_manager_.GetDefaultCalculatorContext()->Outputs();
  handler_->PrepareOutputs(Timestamp(7), &outputs);
  outputs.Get(0).AddPacket(MakePacket<int>(0).At(Timestamp(7)));
  handler_->Close(&outputs);
  std::vector<std::string> events = mirror_.TakeEvents();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0], "0 packet 7");
  EXPECT_EQ(events[1], "0 bound Timestamp::Done()");
  EXPECT_TRUE(managers_[0].IsClosed());
}

TEST_F(OutputHandlerTest, FirstStreamNameAndConstruction) {
  MakeHandler({}, /*parallel=*/false);
  EXPECT_EQ(handler_->FirstStreamName(), "");
  MakeHandler({"a", "b"}, /*parallel=*/false);
  EXPECT_EQ(handler_->FirstStreamName(), "a");
  EXPECT_DEATH(
      (void)OutputStreamHandlerRegistry::CreateByName("InOrderOutputStreamHandler", tag_map_,
                                                      nullptr, pellumo::PellumoOptions(), false),
      "Check failed: calculator_context_manager_");
}

}  // namespace
}  // namespace kaldren
