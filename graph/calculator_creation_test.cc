#include "graph/calculator_creation.h"

#include <memory>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph/calculator_context_manager.h"
#include "graph/calculator_static_access.h"
#include "graph/legacy_calculator.h"
#include "graph/legacy_calculator_support.h"
#include "graph/registration_macros.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

std::shared_ptr<tool::TagMap> MakeTagMap(const std::vector<std::string>& entries) {
  google::protobuf::RepeatedPtrField<std::string> list(entries.begin(), entries.end());
  return tool::TagMap::Create(list).value();
}

int legacy_closes = 0;
const pellumo::CalculatorOptions* seen_options = nullptr;

// Legacy: Open fails with a recognisable status; Close counts.
class LegacyProbe : public pellumo::Calculator {
 public:
  static absl::Status FillExpectations(const pellumo::CalculatorOptions& options,
                                       PacketTypeSet* inputs, PacketTypeSet* outputs,
                                       PacketTypeSet* input_side_packets) {
    seen_options = &options;
    for (PacketType& type : *inputs) type.SetAny();
    for (PacketType& type : *outputs) type.SetAny();
    return absl::OkStatus();
  }
  absl::Status Open() override { return absl::DataLossError("legacy open"); }
  absl::Status Process() override { return absl::OkStatus(); }
  absl::Status Close() override {
    ++legacy_closes;
    return absl::OkStatus();
  }
};
REGISTER_LEGACY_CALCULATOR(LegacyProbe);

class CurrentProbe : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    return absl::InvalidArgumentError("bad");
  }
  absl::Status Process(CalculatorContext*) override { return absl::OkStatus(); }
};
REGISTER_CALCULATOR(CurrentProbe);

// Reachable only through the package "a.b".
const Unregister kNamespaced(pellumo::internal::StaticAccessToCalculatorRegistry::Register(
    "::a::Namespaced",
    [] { return std::make_unique<pellumo::internal::StaticAccessToCalculatorTyped<LegacyProbe>>(); }));

TEST(CalculatorCreationTest, VerifiesThroughTheRightInterface) {
  EXPECT_TRUE(IsLegacyCalculator("", "LegacyProbe"));
  EXPECT_FALSE(IsLegacyCalculator("", "CurrentProbe"));
  EXPECT_TRUE(IsLegacyCalculator("a.b", "Namespaced"));

  pellumo::CalculatorGraphConfig_Node node;
  node.add_input_stream("in");
  CalculatorContract contract;
  ASSERT_TRUE(contract.Initialize(node).ok());
  ASSERT_TRUE(VerifyCalculatorWithContract("", "LegacyProbe", &contract).ok());
  EXPECT_EQ(seen_options, &pellumo::CalculatorOptions::default_instance());
  EXPECT_TRUE(ValidatePacketTypeSet(contract.Inputs()).ok());

  absl::Status bad = VerifyCalculatorWithContract("", "CurrentProbe", &contract);
  EXPECT_EQ(bad.code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(bad.message(), "CurrentProbe: bad");

  absl::Status missing = VerifyCalculatorWithContract("", "Foo", &contract);
  EXPECT_EQ(missing.code(), absl::StatusCode::kNotFound);
  EXPECT_EQ(missing.message(),
            "No registered object with name: Foo; Unable to find Calculator \"Foo\"");
}

class CreationTest : public ::testing::Test {
 protected:
  void Make(const std::string& calculator, const std::vector<std::string>& inputs) {
    state_ = std::make_unique<CalculatorState>("node", 0, calculator, node_, nullptr);
    inputs_ = MakeTagMap(inputs);
    outputs_ = MakeTagMap({"out"});
    context_ = std::make_unique<CalculatorContext>(state_.get(), inputs_, outputs_);
  }

  pellumo::CalculatorGraphConfig_Node node_;
  std::unique_ptr<CalculatorState> state_;
  std::shared_ptr<tool::TagMap> inputs_;
  std::shared_ptr<tool::TagMap> outputs_;
  std::unique_ptr<CalculatorContext> context_;
  CalculatorContextManager manager_;  // only to set the graph status
};

TEST_F(CreationTest, LegacyCalculatorsComeWrapped) {
  Make("LegacyProbe", {"a", "b"});
  auto calculator = CreateCalculator(inputs_, outputs_, "", state_.get(), context_.get());
  ASSERT_TRUE(calculator.ok());
  EXPECT_EQ((*calculator)->Open(nullptr).message(), "legacy open");
  // The state's stream sets point at the context's shards.
  EXPECT_EQ(state_->InputStreams().Get(CollectionItemId(1)), &context_->Inputs().Get(CollectionItemId(1)));
  EXPECT_EQ(state_->OutputStreams().Get(CollectionItemId(0)),
            &context_->Outputs().Get(CollectionItemId(0)));

  legacy_closes = 0;
  manager_.SetGraphStatusInContext(context_.get(), absl::UnknownError("run failed"));
  EXPECT_TRUE((*calculator)->Close(context_.get()).ok());
  EXPECT_EQ(legacy_closes, 0);
  manager_.SetGraphStatusInContext(context_.get(), absl::OkStatus());
  EXPECT_TRUE((*calculator)->Close(context_.get()).ok());
  EXPECT_EQ(legacy_closes, 1);
}

TEST_F(CreationTest, CurrentAndMissingCalculators) {
  Make("CurrentProbe", {});
  auto current = CreateCalculator(inputs_, outputs_, "", state_.get(), context_.get());
  ASSERT_TRUE(current.ok());
  EXPECT_NE(dynamic_cast<CurrentProbe*>(current->get()), nullptr);

  Make("Foo", {});
  auto missing = CreateCalculator(inputs_, outputs_, "", state_.get(), context_.get());
  EXPECT_EQ(missing.status().code(), absl::StatusCode::kNotFound);
  EXPECT_EQ(missing.status().message(), "No registered object with name: Foo");

  // The legacy test ignores the package, so a class reachable only through it is not found.
  Make("Namespaced", {});
  EXPECT_EQ(CreateCalculator(inputs_, outputs_, "a.b", state_.get(), context_.get())
                .status()
                .code(),
            absl::StatusCode::kNotFound);
}

}  // namespace
}  // namespace kaldren
