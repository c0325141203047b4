// The two calculator interfaces: defaults of the current base, the legacy accessors bound to
// a context, and the thread's current-context guards.

#include "graph/legacy_calculator.h"

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "graph/calculator_base.h"
#include "graph/calculator_context.h"
#include "graph/calculator_state.h"
#include "graph/legacy_calculator_support.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/tag_map.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

std::shared_ptr<tool::TagMap> MakeTagMap(const std::vector<std::string>& entries) {
  google::protobuf::RepeatedPtrField<std::string> list(entries.begin(), entries.end());
  return tool::TagMap::Create(list).value();
}

class NothingCalculator : public CalculatorBase {
 public:
  absl::Status Process(CalculatorContext*) override { return absl::OkStatus(); }
};

class LegacyNothing : public pellumo::Calculator {
 public:
  absl::Status Process() override { return absl::OkStatus(); }
};

// A node with the given streams and side packets, set up the way the node and the legacy
// wrapper set it up: a context, and stream pointer sets pointing at the context's shards.
class LegacyNode {
 public:
  LegacyNode(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
             const std::vector<std::string>& side_packets = {})
      : context_(&state_, MakeTagMap(inputs), MakeTagMap(outputs)),
        input_streams_(context_.Inputs().GetTagMap()),
        output_streams_(context_.Outputs().GetTagMap()),
        side_packets_(MakeTagMap(side_packets)) {
    for (CollectionItemId id = input_streams_.BeginId(); id < input_streams_.EndId(); ++id) {
      input_streams_.Get(id) = &context_.Inputs().Get(id);
    }
    for (CollectionItemId id = output_streams_.BeginId(); id < output_streams_.EndId(); ++id) {
      output_streams_.Get(id) = &context_.Outputs().Get(id);
    }
    state_.SetInputStreamSet(&input_streams_);
    state_.SetOutputStreamSet(&output_streams_);
    state_.SetInputSidePackets(&side_packets_);
    calculator_.SetContext(&context_);
  }

  CalculatorContext& context() { return context_; }
  LegacyNothing& calculator() { return calculator_; }

 private:
  pellumo::CalculatorGraphConfig_Node node_;
  CalculatorState state_{"landmarks", 1, "LegacyNothing", node_, nullptr};
  CalculatorContext context_;
  InputStreamSet input_streams_;
  OutputStreamSet output_streams_;
  PacketSet side_packets_;
  LegacyNothing calculator_;
};

TEST(LegacyCalculatorTest, UnboundOrRebindingIsFatal) {
  LegacyNothing unbound;
  EXPECT_DEATH(unbound.NodeName(),
               "Check failed: calculator_context_ Calculator context has not been initialized, "
               "you probably are doing something in the constructor that should be done in "
               "Open\\(\\).");
  EXPECT_DEATH(unbound.Inputs(), "Calculator context has not been initialized");
  EXPECT_DEATH(unbound.SetContext(nullptr), "Check failed: context != nullptr");

  LegacyNode node({}, {});
  EXPECT_DEATH(node.calculator().SetContext(&node.context()),
               "Check failed: nullptr == calculator_context_ SetContext can only be called once.");
}

TEST(LegacyCalculatorTest, SingleEntryAccessorsNeedExactlyOneEntry) {
  LegacyNode none({}, {});
  EXPECT_DEATH(none.calculator().Input(),
               "Check failed: Inputs\\(\\).NumEntries\\(\\) == 1 \\(0 vs. 1\\) Use "
               "Inputs\\(\\).Index\\(index\\) instead of Input\\(\\) when "
               "Inputs\\(\\).NumEntries\\(\\) != 1.");
  EXPECT_DEATH(none.calculator().Output(),
               "Use Outputs\\(\\).Index\\(index\\) instead of Output\\(\\) when "
               "Outputs\\(\\).NumEntries\\(\\) != 1.");
  EXPECT_DEATH(none.calculator().InputSidePacket(),
               "Use InputSidePackets\\(\\).Index\\(index\\) instead of InputSidePacket\\(\\) "
               "when InputSidePackets\\(\\).NumEntries\\(\\) != 1.");

  LegacyNode two({"a", "b"}, {"c", "d"}, {"e", "f"});
  EXPECT_DEATH(two.calculator().Input(), "\\(2 vs. 1\\) Use Inputs\\(\\).Index");

  LegacyNode one({"VIDEO:frames"}, {"faces"}, {"model"});
  // Entry 0 of the untagged entries: a tagged-only node has none.
  EXPECT_DEATH(one.calculator().Input(), "Failed to get tag \"\" index 0");
  EXPECT_EQ(one.calculator().Output(), &one.context().Outputs().Index(0));
  EXPECT_EQ(one.calculator().NumInputs(), 1);
  EXPECT_EQ(one.calculator().NumInputSidePackets(), 1);
  EXPECT_TRUE(one.calculator().InputSidePacket().IsEmpty());
  EXPECT_EQ(one.calculator().NodeName(), "landmarks");
  EXPECT_EQ(one.calculator().CalculatorType(), "LegacyNothing");
}

TEST(LegacyCalculatorTest, InputTimestampIsTheContextsOldest) {
  LegacyNode node({"in"}, {});
  EXPECT_EQ(node.calculator().InputTimestamp(), Timestamp::Unset());
  EXPECT_EQ(node.calculator().Input(), &node.context().Inputs().Index(0));
}

TEST(CalculatorBaseTest, SourceProcessOrderIsTheSmallestOutputBound) {
  NothingCalculator current;
  LegacyNode without({}, {});
  EXPECT_EQ(current.SourceProcessOrder(&without.context()), Timestamp::Max());
  EXPECT_EQ(without.calculator().SourceProcessOrder(), Timestamp::Max());
  // Offsets on no outputs change nothing.
  without.calculator().SetOffset(TimestampDiff(1));

  LegacyNode with({}, {"a", "b"});
  with.context().Outputs().Index(0).Reset(Timestamp(10), false);
  with.context().Outputs().Index(1).Reset(Timestamp(5), false);
  EXPECT_EQ(current.SourceProcessOrder(&with.context()), Timestamp(5));
  EXPECT_EQ(with.calculator().SourceProcessOrder(), Timestamp(5));
  CalculatorContext* cc = &with.context();
  EXPECT_TRUE(current.Open(cc).ok());
  EXPECT_TRUE(current.Close(cc).ok());
}

TEST(LegacyCalculatorSupportTest, GuardsNestAndRestore) {
  using Scoped = LegacyCalculatorSupport::Scoped<CalculatorContext>;
  LegacyNode a({}, {});
  LegacyNode b({}, {});
  EXPECT_EQ(Scoped::current(), nullptr);
  {
    Scoped outer(&a.context());
    EXPECT_EQ(Scoped::current(), &a.context());
    {
      Scoped inner(&b.context());
      EXPECT_EQ(Scoped::current(), &b.context());
    }
    EXPECT_EQ(Scoped::current(), &a.context());
    // Each thread has its own pointer.
    std::thread([] { EXPECT_EQ(Scoped::current(), nullptr); }).join();
  }
  EXPECT_EQ(Scoped::current(), nullptr);
}

}  // namespace
}  // namespace kaldren
