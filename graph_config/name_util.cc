#include "graph_config/name_util.h"

#include <set>

#include "absl/strings/str_format.h"
#include "graph_config/validate_name.h"

namespace kaldren {
namespace tool {
namespace {

std::string FirstUnused(const std::set<std::string>& used, absl::string_view base) {
  std::string candidate(base);
  for (int counter = 2; used.count(candidate) > 0; ++counter) {
    candidate = absl::StrFormat("%s_%02d", base, counter);
  }
  return candidate;
}

}  // namespace

std::string GetUnusedNodeName(const pellumo::CalculatorGraphConfig& config,
                              absl::string_view base) {
  std::set<std::string> used;
  for (const auto& node : config.node()) {
    if (!node.name().empty()) used.insert(node.name());
  }
  return FirstUnused(used, base);
}

std::string GetUnusedSidePacketName(const pellumo::CalculatorGraphConfig& config,
                                    absl::string_view base) {
  std::set<std::string> used;
  for (const auto& node : config.node()) {
    for (const std::string& entry : node.input_side_packet()) {
      std::string tag;
      int index;
      std::string name;
      // An entry that does not parse names nothing; validation reports it.
      if (ParseTagIndexName(entry, &tag, &index, &name).ok()) used.insert(name);
    }
  }
  return FirstUnused(used, base);
}

}  // namespace tool
}  // namespace kaldren
