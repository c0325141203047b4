#include "graph/calculator_context_manager.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "graph/calculator_context.h"
#include "graph/calculator_state.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/tag_map.h"
#include "graph_config/testdata/test_options.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

std::shared_ptr<tool::TagMap> MakeTagMap(const std::vector<std::string>& entries) {
  google::protobuf::RepeatedPtrField<std::string> list(entries.begin(), entries.end());
  return tool::TagMap::Create(list).value();
}

class ContextManagerTest : public ::testing::Test {
 protected:
  // Prepares a run; the setup callback counts the contexts it connects.
  void Start(bool parallel) {
    manager_.Initialize(&state_, MakeTagMap({"in"}), MakeTagMap({"out_a", "out_b"}), parallel);
    ASSERT_TRUE(manager_
                    .PrepareForRun([this](CalculatorContext*) {
                      ++setups_;
                      return absl::OkStatus();
                    })
                    .ok());
  }

  pellumo::CalculatorGraphConfig_Node node_;
  CalculatorState state_{"detector", 2, "FaceDetector", node_, nullptr};
  CalculatorContextManager manager_;
  std::atomic<int> setups_{0};
};

TEST_F(ContextManagerTest, WithoutParallelismEveryInvocationUsesTheDefaultContext) {
  Start(/*parallel=*/false);
  CalculatorContext* context = manager_.GetDefaultCalculatorContext();
  EXPECT_EQ(manager_.PrepareCalculatorContext(Timestamp(5)), context);
  EXPECT_EQ(manager_.PrepareCalculatorContext(Timestamp(6)), context);
  EXPECT_FALSE(manager_.HasActiveContexts());
  EXPECT_EQ(context->Inputs().NumEntries(), 1);
  EXPECT_EQ(context->Outputs().NumEntries(), 2);
  EXPECT_EQ(setups_, 1);
  Timestamp front;
  EXPECT_DEATH(manager_.GetFrontCalculatorContext(&front), "Check failed: calculator_run_in_parallel_");
}

TEST_F(ContextManagerTest, ParallelContextsAreRecycledInTimestampOrder) {
  Start(/*parallel=*/true);
  CalculatorContext* six = manager_.PrepareCalculatorContext(Timestamp(6));
  CalculatorContext* five = manager_.PrepareCalculatorContext(Timestamp(5));
  EXPECT_NE(five, six);
  EXPECT_NE(five, manager_.GetDefaultCalculatorContext());
  EXPECT_TRUE(manager_.HasActiveContexts());

  Timestamp front;
  EXPECT_EQ(manager_.GetFrontCalculatorContext(&front), five);
  EXPECT_EQ(front, Timestamp(5));
  manager_.RecycleCalculatorContext();
  EXPECT_EQ(manager_.PrepareCalculatorContext(Timestamp(7)), five);
  EXPECT_EQ(manager_.GetFrontCalculatorContext(&front), six);
  EXPECT_EQ(front, Timestamp(6));
  // The default context and two parallel ones: the recycled one was not set up again.
  EXPECT_EQ(setups_, 3);

  manager_.RecycleCalculatorContext();
  manager_.RecycleCalculatorContext();
  EXPECT_FALSE(manager_.HasActiveContexts());
  EXPECT_DEATH(manager_.GetFrontCalculatorContext(&front), "Check failed: !active_contexts_.empty\\(\\)");
}

TEST_F(ContextManagerTest, DuplicateParallelTimestampIsFatal) {
  Start(/*parallel=*/true);
  manager_.PrepareCalculatorContext(Timestamp(5));
  EXPECT_DEATH(manager_.PrepareCalculatorContext(Timestamp(5)),
               "Check failed: !::kaldren::ContainsKey\\(active_contexts_, input_timestamp\\) "
               "Multiple invocations with the same timestamps are not allowed with parallel "
               "execution, input_timestamp = 5");
}

TEST_F(ContextManagerTest, FailingShardSetupIsReportedOrFatal) {
  manager_.Initialize(&state_, MakeTagMap({}), MakeTagMap({}), /*parallel=*/true);
  EXPECT_DEATH(manager_.GetDefaultCalculatorContext(), "Check failed: default_context_.get\\(\\)");
  bool fail = true;
  absl::Status status = manager_.PrepareForRun([&fail](CalculatorContext*) {
    return fail ? absl::InternalError("no stream") : absl::OkStatus();
  });
  EXPECT_EQ(status, absl::InternalError("no stream"));
  EXPECT_DEATH(manager_.PrepareCalculatorContext(Timestamp(1)),
               "::util::OkStatus\\(\\) == \\(setup_shards_callback_\\(new_context.get\\(\\)\\)\\)");
}

TEST_F(ContextManagerTest, InputTimestampsQueueInTheContext) {
  Start(/*parallel=*/false);
  CalculatorContext* context = manager_.GetDefaultCalculatorContext();
  EXPECT_EQ(context->InputTimestamp(), Timestamp::Unset());
  manager_.PushInputTimestampToContext(context, Timestamp(3));
  manager_.PushInputTimestampToContext(context, Timestamp(4));
  EXPECT_EQ(manager_.NumberOfContextTimestamps(*context), 2);
  EXPECT_EQ(context->InputTimestamp(), Timestamp(3));
  manager_.PopInputTimestampFromContext(context);
  EXPECT_EQ(context->InputTimestamp(), Timestamp(4));
  manager_.PopInputTimestampFromContext(context);
  EXPECT_DEATH(manager_.PopInputTimestampFromContext(context),
               "Check failed: !input_timestamps_.empty\\(\\)");
  EXPECT_DEATH(manager_.PopInputTimestampFromContext(nullptr), "Check failed: calculator_context");

  EXPECT_TRUE(context->GraphStatus().ok());
  manager_.SetGraphStatusInContext(context, absl::CancelledError("stop"));
  EXPECT_EQ(context->GraphStatus(), absl::CancelledError("stop"));
}

TEST_F(ContextManagerTest, ContextReadsTheNodeThroughItsState) {
  node_.mutable_options()->MutableExtension(pellumo::testing::TestCalculatorOptions::ext)
      ->set_value(3);
  CalculatorState state("detector", 2, "FaceDetector", node_, nullptr);
  CalculatorContext context(&state, MakeTagMap({}), MakeTagMap({"out"}));
  EXPECT_EQ(context.NodeName(), "detector");
  EXPECT_EQ(context.NodeId(), 2);
  EXPECT_EQ(context.CalculatorType(), "FaceDetector");
  EXPECT_EQ(context.Options<pellumo::testing::TestCalculatorOptions>().value(), 3);

  OutputStreamSpec spec;
  spec.name = "out";
  context.Outputs().Index(0).SetSpec(&spec);
  context.SetOffset(TimestampDiff(2));
  EXPECT_TRUE(spec.offset_enabled);
  EXPECT_EQ(spec.offset, TimestampDiff(2));

  CalculatorContext orphan(nullptr, MakeTagMap({}), MakeTagMap({}));
  EXPECT_DEATH(orphan.NodeName(), "Check failed: calculator_state_");
}

// Invocations are prepared on one thread and recycled on another, as the input and the
// output stream handlers of a parallel node do.
TEST_F(ContextManagerTest, PrepareAndRecycleFromTwoThreads) {
  Start(/*parallel=*/true);
  constexpr int kInvocations = 2000;
  constexpr int kMaxInFlight = 4;
  std::atomic<int> prepared{0};
  std::atomic<int> recycled{0};
  std::thread scheduler([&] {
    for (int t = 0; t < kInvocations; ++t) {
      while (t - recycled.load() >= kMaxInFlight) std::this_thread::yield();
      CalculatorContext* context = manager_.PrepareCalculatorContext(Timestamp(t));
      manager_.PushInputTimestampToContext(context, Timestamp(t));
      prepared.store(t + 1);
    }
  });
  while (recycled.load() < kInvocations) {
    if (recycled.load() == prepared.load()) {
      std::this_thread::yield();
      continue;
    }
    Timestamp front;
    CalculatorContext* context = manager_.GetFrontCalculatorContext(&front);
    ASSERT_EQ(front, Timestamp(recycled.load()));
    ASSERT_EQ(context->InputTimestamp(), front);
    manager_.PopInputTimestampFromContext(context);
    manager_.RecycleCalculatorContext();
    recycled.fetch_add(1);
  }
  scheduler.join();
  // Contexts are reused: never more than the invocations in flight, plus the default one.
  EXPECT_LE(setups_, kMaxInFlight + 1);
  manager_.CleanupAfterRun();
  EXPECT_FALSE(manager_.HasActiveContexts());
}

}  // namespace
}  // namespace kaldren
