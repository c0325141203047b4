#include "graph/calculator_creation.h"

#include <memory>
#include <utility>

#include "absl/strings/str_replace.h"
#include "base/status_macros.h"
#include "graph/calculator_static_access.h"
#include "graph/legacy_calculator.h"

namespace kaldren {

namespace {

// Runs a legacy calculator as a current one. The legacy calculator reaches its streams
// through the context it was bound to at creation, so the contexts handed to the calls
// here are not used (except for the graph status at Close).
class LegacyCalculatorWrapper : public CalculatorBase {
 public:
  ~LegacyCalculatorWrapper() override {
    output_streams_.reset();
    input_streams_.reset();
    calculator_.reset();
  }

  absl::Status Open(CalculatorContext*) override { return calculator_->Open(); }
  absl::Status Process(CalculatorContext*) override { return calculator_->Process(); }
  absl::Status Close(CalculatorContext* cc) override {
    // After a failed run the legacy calculator is not closed.
    if (!cc->GraphStatus().ok()) return absl::OkStatus();
    return calculator_->Close();
  }
  Timestamp SourceProcessOrder(const CalculatorContext*) const override {
    return calculator_->SourceProcessOrder();
  }

  std::unique_ptr<pellumo::Calculator> calculator_;
  std::unique_ptr<InputStreamSet> input_streams_;
  std::unique_ptr<OutputStreamSet> output_streams_;
};

}  // namespace

bool IsLegacyCalculator(const std::string& package, const std::string& node_class) {
  return pellumo::internal::StaticAccessToCalculatorRegistry::CreateByNameInNamespace(
             package, node_class)
      .ok();
}

absl::Status VerifyCalculatorWithContract(const std::string& package,
                                          const std::string& node_class,
                                          CalculatorContract* contract) {
  // The legacy registry comes first: a name of both interfaces counts as legacy.
  auto legacy = pellumo::internal::StaticAccessToCalculatorRegistry::CreateByNameInNamespace(
      package, node_class);
  if (legacy.ok()) {
    RETURN_IF_ERROR((*legacy)->FillExpectations(contract->Options(), &contract->Inputs(),
                                                 &contract->Outputs(),
                                                 &contract->InputSidePackets()))
            .SetPrepend()
        << node_class << ": ";
    return absl::OkStatus();
  }
  ASSIGN_OR_RETURN(std::unique_ptr<internal::StaticAccessToCalculatorBase> static_access,
                   internal::StaticAccessToCalculatorBaseRegistry::CreateByNameInNamespace(
                       package, node_class),
                   _ << "Unable to find Calculator \"" << node_class << "\"");
  RETURN_IF_ERROR(static_access->GetContract(contract)).SetPrepend() << node_class << ": ";
  return absl::OkStatus();
}

util::StatusOr<std::unique_ptr<CalculatorBase>> CreateCalculator(
    const std::shared_ptr<tool::TagMap>& input_tag_map,
    const std::shared_ptr<tool::TagMap>& output_tag_map, const std::string& package,
    CalculatorState* calculator_state, CalculatorContext* calculator_context) {
  const std::string& name = calculator_state->CalculatorType();
  absl::string_view unqualified = name;
  if (!unqualified.empty() && unqualified[0] == '.') unqualified.remove_prefix(1);
  const std::string legacy_key = absl::StrReplaceAll(unqualified, {{".", "::"}});
  if (!pellumo::CalculatorRegistry::functions()->IsRegistered(legacy_key)) {
    return CalculatorBaseRegistry::CreateByNameInNamespace(package, name);
  }

  auto wrapper = std::make_unique<LegacyCalculatorWrapper>();
  wrapper->input_streams_ = std::make_unique<InputStreamSet>(input_tag_map);
  for (CollectionItemId id = wrapper->input_streams_->BeginId();
       id < wrapper->input_streams_->EndId(); ++id) {
    wrapper->input_streams_->Get(id) = &calculator_context->Inputs().Get(id);
  }
  wrapper->output_streams_ = std::make_unique<OutputStreamSet>(output_tag_map);
  for (CollectionItemId id = wrapper->output_streams_->BeginId();
       id < wrapper->output_streams_->EndId(); ++id) {
    wrapper->output_streams_->Get(id) = &calculator_context->Outputs().Get(id);
  }
  // Created before the state learns of the sets, so that a failure leaves the state
  // without pointers into the discarded wrapper.
  ASSIGN_OR_RETURN(wrapper->calculator_,
                   pellumo::CalculatorRegistry::CreateByNameInNamespace(package, name));
  calculator_state->SetInputStreamSet(wrapper->input_streams_.get());
  calculator_state->SetOutputStreamSet(wrapper->output_streams_.get());
  wrapper->calculator_->SetContext(calculator_context);
  return std::unique_ptr<CalculatorBase>(std::move(wrapper));
}

}  // namespace kaldren
