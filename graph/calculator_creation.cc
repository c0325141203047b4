#include "graph/calculator_creation.h"

#include <memory>

#include "base/status_macros.h"
#include "graph/calculator_static_access.h"

namespace kaldren {

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

}  // namespace kaldren
