#include "graph/stream_handler/default_input_stream_handler.h"

#include <memory>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "absl/strings/str_cat.h"
#include "gmock/gmock.h"
#include "graph/calculator_context.h"
#include "graph/calculator_context_manager.h"
#include "graph/calculator_state.h"
#include "graph/packet.h"
#include "graph/packet_type.h"
#include "graph/registration_macros.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/default_input_stream_handler.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using NodeReadiness = InputStreamHandler::NodeReadiness;

std::shared_ptr<tool::TagMap> MakeTagMap(const std::vector<std::string>& names) {
  google::protobuf::RepeatedPtrField<std::string> entries(names.begin(), names.end());
  return tool::TagMap::Create(entries).value();
}

pellumo::PellumoOptions BatchOptions(int batch_size) {
  pellumo::PellumoOptions options;
  options.MutableExtension(pellumo::DefaultInputStreamHandlerOptions::ext)
      ->set_batch_size(batch_size);
  return options;
}

// A node's input side: its streams, its context manager and the handler made by name from
// the registry, with callbacks that record what the handler asks of the node.
class InputHandlerTest : public ::testing::Test {
 protected:
  InputHandlerTest() : state_("node", 0, "Calc", pellumo::CalculatorGraphConfig_Node(), nullptr) {
    any_type_.SetAny();
  }

  void MakeHandler(const std::vector<std::string>& names,
                   const pellumo::PellumoOptions& options = pellumo::PellumoOptions(),
                   bool parallel = false, const std::vector<bool>& back_edges = {}) {
    tag_map_ = MakeTagMap(names);
    managers_ = std::make_unique<InputStreamManager[]>(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      ASSERT_TRUE(managers_[i]
                      .Initialize(names[i], &any_type_, i < back_edges.size() && back_edges[i])
                      .ok());
    }
    context_manager_.Initialize(&state_, tag_map_, MakeTagMap({}), parallel);
    auto handler = InputStreamHandlerRegistry::CreateByName("DefaultInputStreamHandler", tag_map_,
                                                            &context_manager_, options, parallel);
    ASSERT_TRUE(handler.ok()) << handler.status();
    handler_ = std::move(handler).value();
    // Registered by its class name.
    ASSERT_NE(dynamic_cast<DefaultInputStreamHandler*>(handler_.get()), nullptr);
    ASSERT_TRUE(handler_->InitializeInputStreamManagers(managers_.get()).ok());
    PrepareForRun();
  }

  void PrepareForRun() {
    scheduled_.clear();
    handler_->PrepareForRun([this] { ++headers_ready_; }, [this] { ++notifications_; },
                            [this](CalculatorContext* cc) { scheduled_.push_back(cc); },
                            [this](absl::Status status) { errors_.push_back(status); });
    ASSERT_TRUE(context_manager_
                    .PrepareForRun([this](CalculatorContext* cc) {
                      return handler_->SetupInputShards(&cc->Inputs());
                    })
                    .ok());
  }

  void Add(int stream, int64_t timestamp) {
    handler_->AddPackets(stream, {MakePacket<int64_t>(timestamp).At(Timestamp(timestamp))});
  }
  void Bound(int stream, Timestamp bound) { handler_->SetNextTimestampBound(stream, bound); }

  // Schedules with the given allowance and returns the reported input bound.
  Timestamp Schedule(int max_allowance = 1) {
    Timestamp input_bound;
    scheduled_any_ = handler_->ScheduleInvocations(max_allowance, &input_bound);
    return input_bound;
  }

  // The timestamps of the packets in `stream`'s shard of `cc`, one per input timestamp of
  // the context, -1 for an empty packet.
  std::vector<int64_t> ShardTimestamps(CalculatorContext* cc, int stream) {
    std::vector<int64_t> timestamps;
    InputStreamShard& shard = cc->Inputs().Get(stream);
    for (int i = context_manager_.NumberOfContextTimestamps(*cc); i > 0; --i) {
      timestamps.push_back(shard.Value().IsEmpty() ? -1 : shard.Value().Get<int64_t>());
      shard.ClearCurrentPacket();
    }
    return timestamps;
  }

  PacketType any_type_;
  CalculatorState state_;
  CalculatorContextManager context_manager_;
  std::shared_ptr<tool::TagMap> tag_map_;
  std::unique_ptr<InputStreamManager[]> managers_;
  std::unique_ptr<InputStreamHandler> handler_;
  int headers_ready_ = 0;
  int notifications_ = 0;
  std::vector<CalculatorContext*> scheduled_;
  std::vector<absl::Status> errors_;
  bool scheduled_any_ = false;
};

// Two streams A and B: what A and B hold decides whether the node runs at A's head.
TEST_F(InputHandlerTest, ReadinessOfTwoStreams) {
  struct Case {
    const char* name;
    std::vector<int64_t> a_packets;
    Timestamp a_bound;  // Applied after the packets; Unset leaves the bound alone.
    std::vector<int64_t> b_packets;
    Timestamp b_bound;
    NodeReadiness readiness;
    Timestamp min_timestamp;
  };
  const Case cases[] = {
      {"empty B bounded at A's head", {10}, Timestamp::Unset(), {}, Timestamp(10),
       NodeReadiness::kNotReady, Timestamp(10)},
      {"empty B bounded past A's head", {10}, Timestamp::Unset(), {}, Timestamp(11),
       NodeReadiness::kReadyForProcess, Timestamp(10)},
      {"B holds a later packet", {10}, Timestamp::Unset(), {12}, Timestamp::Unset(),
       NodeReadiness::kReadyForProcess, Timestamp(10)},
      {"both hold the same timestamp", {10}, Timestamp::Unset(), {10}, Timestamp::Unset(),
       NodeReadiness::kReadyForProcess, Timestamp(10)},
      {"both empty, different bounds", {}, Timestamp(5), {}, Timestamp(7),
       NodeReadiness::kNotReady, Timestamp(5)},
      {"both empty at the start", {}, Timestamp::Unset(), {}, Timestamp::Unset(),
       NodeReadiness::kNotReady, Timestamp::PreStream()},
      {"both done", {}, Timestamp::Done(), {}, Timestamp::Done(),
       NodeReadiness::kReadyForClose, Timestamp::Done()},
      {"A done, B holds a packet", {}, Timestamp::Done(), {3}, Timestamp::Unset(),
       NodeReadiness::kReadyForProcess, Timestamp(3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeHandler({"a", "b"});
    for (int64_t t : c.a_packets) Add(0, t);
    if (c.a_bound != Timestamp::Unset()) Bound(0, c.a_bound);
    for (int64_t t : c.b_packets) Add(1, t);
    if (c.b_bound != Timestamp::Unset()) Bound(1, c.b_bound);
    Timestamp min_timestamp;
    EXPECT_EQ(handler_->GetNodeReadiness(&min_timestamp), c.readiness);
    EXPECT_EQ(min_timestamp, c.min_timestamp);
    // The look an ending invocation takes agrees, and schedules nothing.
    Timestamp input_bound = Timestamp::Unset();
    EXPECT_EQ(handler_->NotReadyInputBound(&input_bound),
              c.readiness == NodeReadiness::kNotReady);
    if (c.readiness == NodeReadiness::kNotReady) {
      EXPECT_EQ(input_bound, c.min_timestamp);
    }
    EXPECT_TRUE(scheduled_.empty());
    EXPECT_TRUE(errors_.empty());
  }
}

TEST_F(InputHandlerTest, NotReadyReportsTheMinimumAsInputBound) {
  MakeHandler({"a", "b"});
  Add(0, 10);
  Bound(1, Timestamp(10));
  EXPECT_EQ(Schedule(), Timestamp(10));
  EXPECT_FALSE(scheduled_any_);
  EXPECT_TRUE(scheduled_.empty());
}

TEST_F(InputHandlerTest, ReadyFillsThePacketsOfOneTimestampAndLeavesLaterOnesQueued) {
  MakeHandler({"a", "b"});
  Add(0, 10);
  Add(1, 12);
  EXPECT_EQ(Schedule(), Timestamp::Unset());
  ASSERT_TRUE(scheduled_any_);
  ASSERT_EQ(scheduled_.size(), 1u);
  CalculatorContext* cc = scheduled_[0];
  EXPECT_EQ(cc, context_manager_.GetDefaultCalculatorContext());
  EXPECT_EQ(cc->InputTimestamp(), Timestamp(10));
  EXPECT_EQ(cc->Inputs().Get(0).Name(), "a");
  EXPECT_THAT(ShardTimestamps(cc, 0), ElementsAre(10));
  EXPECT_THAT(ShardTimestamps(cc, 1), ElementsAre(-1));
  EXPECT_EQ(managers_[1].QueueSize(), 1);
  EXPECT_EQ(managers_[0].QueueSize(), 0);
}

TEST_F(InputHandlerTest, AllowanceLimitsTheInvocationsScheduledInOneCall) {
  MakeHandler({"a"}, pellumo::PellumoOptions(), /*parallel=*/true);
  for (int64_t t : {1, 2, 3}) Add(0, t);
  Schedule(/*max_allowance=*/0);
  EXPECT_FALSE(scheduled_any_);
  EXPECT_TRUE(scheduled_.empty());

  Schedule(/*max_allowance=*/2);
  EXPECT_TRUE(scheduled_any_);
  ASSERT_EQ(scheduled_.size(), 2u);
  // A parallel node gets one context per timestamp.
  EXPECT_NE(scheduled_[0], scheduled_[1]);
  EXPECT_EQ(scheduled_[0]->InputTimestamp(), Timestamp(1));
  EXPECT_EQ(scheduled_[1]->InputTimestamp(), Timestamp(2));
  EXPECT_EQ(managers_[0].QueueSize(), 1);
}

TEST_F(InputHandlerTest, CloseIsScheduledOncePerRunAndWaitsForActiveContexts) {
  MakeHandler({"a", "b"}, pellumo::PellumoOptions(), /*parallel=*/true);
  Add(0, 4);
  Bound(1, Timestamp::Done());
  Schedule();
  ASSERT_EQ(scheduled_.size(), 1u);
  Bound(0, Timestamp::Done());
  // The invocation at 4 is still in flight: no close yet.
  Schedule();
  EXPECT_FALSE(scheduled_any_);
  Timestamp front;
  context_manager_.GetFrontCalculatorContext(&front);
  context_manager_.RecycleCalculatorContext();

  Schedule(/*max_allowance=*/5);
  ASSERT_EQ(scheduled_.size(), 2u);
  EXPECT_EQ(scheduled_[1], context_manager_.GetDefaultCalculatorContext());
  EXPECT_EQ(scheduled_[1]->InputTimestamp(), Timestamp::Done());
  Schedule();
  EXPECT_FALSE(scheduled_any_);
  EXPECT_EQ(scheduled_.size(), 2u);

  // A new run may close again.
  PrepareForRun();
  handler_->Close();
  Schedule();
  EXPECT_EQ(scheduled_.size(), 1u);
}

TEST_F(InputHandlerTest, SourceNodeGetsItsDefaultContextOnEveryCall) {
  MakeHandler({});
  for (int allowance : {0, 1, 3}) {
    EXPECT_EQ(Schedule(allowance), Timestamp::Unset());
    EXPECT_TRUE(scheduled_any_);
  }
  ASSERT_EQ(scheduled_.size(), 3u);
  for (CalculatorContext* cc : scheduled_) {
    EXPECT_EQ(cc, context_manager_.GetDefaultCalculatorContext());
  }
}

TEST_F(InputHandlerTest, BatchGathersTimestampsBeforeOneInvocation) {
  MakeHandler({"a", "b"}, BatchOptions(3));
  Add(0, 10);
  Add(1, 10);
  Add(0, 20);
  Bound(1, Timestamp(21));
  // Two timestamps gathered, the third not yet settled: the bound is the oldest gathered.
  EXPECT_EQ(Schedule(), Timestamp(10));
  EXPECT_FALSE(scheduled_any_);
  // Only a scheduling pass knows the gathered timestamps.
  Timestamp input_bound;
  EXPECT_FALSE(handler_->NotReadyInputBound(&input_bound));
  Add(0, 30);
  Bound(1, Timestamp(31));
  Schedule();
  ASSERT_EQ(scheduled_.size(), 1u);
  CalculatorContext* cc = scheduled_[0];
  EXPECT_EQ(context_manager_.NumberOfContextTimestamps(*cc), 3);
  EXPECT_THAT(ShardTimestamps(cc, 0), ElementsAre(10, 20, 30));
  EXPECT_THAT(ShardTimestamps(cc, 1), ElementsAre(10, -1, -1));
}

TEST_F(InputHandlerTest, ClearCurrentInputsDropsTheOldestTimestampAndItsPackets) {
  MakeHandler({"a", "b"}, BatchOptions(2));
  Add(0, 1);
  Add(1, 1);
  Add(0, 2);
  Add(1, 2);
  Add(0, 3);
  Schedule();
  ASSERT_EQ(scheduled_.size(), 1u);
  CalculatorContext* cc = scheduled_[0];
  handler_->ClearCurrentInputs(cc);
  EXPECT_EQ(cc->InputTimestamp(), Timestamp(2));
  EXPECT_EQ(cc->Inputs().Get(1).Value().Get<int64_t>(), 2);
  EXPECT_DEATH(handler_->ClearCurrentInputs(nullptr), "Check failed: calculator_context");
}

TEST_F(InputHandlerTest, PacketsAndBoundsNotifyAndReportErrors) {
  MakeHandler({"a"});
  Add(0, 5);
  EXPECT_EQ(notifications_, 1);
  Add(0, 6);  // The queue was not empty.
  EXPECT_EQ(notifications_, 1);
  std::list<Packet> late = {MakePacket<int64_t>(1).At(Timestamp(1))};
  handler_->MovePackets(0, &late);
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_THAT(std::string(errors_[0].message()),
              HasSubstr(". Current minimum expected timestamp is "));

  MakeHandler({"a"});
  Bound(0, Timestamp(3));
  EXPECT_EQ(notifications_, 2);
}

TEST_F(InputHandlerTest, HeadersReadyOnceAfterTheLastStreamThatIsNotABackEdge) {
  MakeHandler({"a", "b", "loop"}, pellumo::PellumoOptions(), false, {false, false, true});
  EXPECT_EQ(handler_->UnsetHeaderCount(), 2);
  Packet header = MakePacket<int>(1);
  handler_->SetHeader(2, header);
  handler_->SetHeader(0, header);
  EXPECT_EQ(headers_ready_, 0);
  handler_->SetHeader(1, header);
  EXPECT_EQ(headers_ready_, 1);
  handler_->SetHeader(2, header);
  EXPECT_EQ(headers_ready_, 1);

  InputStreamShardSet shards(tag_map_);
  ASSERT_TRUE(handler_->SetupInputShards(&shards).ok());
  EXPECT_EQ(shards.Get(1).Header().Get<int>(), 1);
  EXPECT_EQ(shards.Get(1).Name(), "b");
  EXPECT_FALSE(handler_->SetupInputShards(nullptr).ok());

  // A header with a timestamp is refused and counts for nothing.
  PrepareForRun();
  handler_->SetHeader(0, header.At(Timestamp(1)));
  EXPECT_EQ(errors_.size(), 1u);
  EXPECT_EQ(handler_->UnsetHeaderCount(), 2);
}

TEST_F(InputHandlerTest, HeadersSetFromManyThreadsReportReadinessOnce) {
  std::vector<std::string> names;
  for (int i = 0; i < 8; ++i) names.push_back(absl::StrCat("s", i));
  std::atomic<int> headers_ready{0};
  for (int run = 0; run < 20; ++run) {
    MakeHandler(names);
    handler_->PrepareForRun([&] { ++headers_ready; }, [] {}, [](CalculatorContext*) {},
                            [](absl::Status) {});
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([this, i] { handler_->SetHeader(i, MakePacket<int>(i)); });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(headers_ready.exchange(0), 1);
    EXPECT_EQ(handler_->UnsetHeaderCount(), 0);
  }
}

TEST_F(InputHandlerTest, DebugStreamNames) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no input streams"},
      {{"a"}, "input stream: <a>"},
      {{"a", "b"}, "input streams: <a,b>"},
  };
  for (const auto& [names, expected] : cases) {
    MakeHandler(names);
    EXPECT_EQ(handler_->DebugStreamNames(), expected);
  }
}

// A batch size from a configuration is refused with a status; the same misuse in code is
// fatal with the same text.
TEST_F(InputHandlerTest, BadBatchSizes) {
  struct Case {
    std::vector<std::string> streams;
    bool parallel;
    int batch_size;
    const char* text;
  };
  const Case cases[] = {
      {{"a"}, true, 2, "Batching cannot be combined with parallel execution."},
      {{"a"}, false, 0, "Batch size has to be greater than or equal to 1."},
      {{"a"}, false, -3, "Batch size has to be greater than or equal to 1."},
      {{}, false, 2, "Source nodes cannot batch input packets."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.batch_size);
    MakeHandler(c.streams, BatchOptions(c.batch_size), c.parallel);
    EXPECT_EQ(handler_->OptionsStatus().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(handler_->OptionsStatus().message(), c.text);
    EXPECT_DEATH(handler_->SetBatchSize(c.batch_size), c.text);
  }
  MakeHandler({"a"}, BatchOptions(1), true);
  EXPECT_TRUE(handler_->OptionsStatus().ok());

  MakeHandler({"a"}, BatchOptions(2));
  EXPECT_TRUE(handler_->OptionsStatus().ok());
  EXPECT_DEATH(handler_->SetLatePreparation(true),
               "Batching cannot be combined with late preparation.");
  handler_->SetBatchSize(1);
  handler_->SetLatePreparation(true);
  EXPECT_EQ(handler_->CheckBatchSize(2).message(),
            "Batching cannot be combined with late preparation.");
  EXPECT_DEATH(handler_->SetBatchSize(2), "Batching cannot be combined with late preparation.");
}

TEST_F(InputHandlerTest, LatePreparationFillsJustBeforeTheInvocation) {
  MakeHandler({"a"});
  handler_->SetLatePreparation(true);
  Add(0, 7);
  Schedule();
  ASSERT_EQ(scheduled_.size(), 1u);
  CalculatorContext* cc = scheduled_[0];
  EXPECT_TRUE(cc->Inputs().Get(0).Value().IsEmpty());
  handler_->FinalizeInputSet(cc->InputTimestamp(), &cc->Inputs());
  EXPECT_THAT(ShardTimestamps(cc, 0), ElementsAre(7));
}

TEST_F(InputHandlerTest, FillingOverAnEarlierPacketIsFatal) {
  MakeHandler({"a"});
  Add(0, 10);
  Add(0, 20);
  CalculatorContext* cc = context_manager_.GetDefaultCalculatorContext();
  EXPECT_DEATH(handler_->FillInputSet(Timestamp(20), &cc->Inputs()),
               "num_packets_dropped == 0.*Dropped 1 packet\\(s\\) on input stream \"a\"\\.");
  EXPECT_DEATH(handler_->FillInputSet(Timestamp::Unset(), &cc->Inputs()),
               "input_timestamp.IsAllowedInStream\\(\\)");
  EXPECT_DEATH(handler_->FillInputSet(Timestamp(10), nullptr), "Check failed: input_set");
}

}  // namespace
}  // namespace kaldren
