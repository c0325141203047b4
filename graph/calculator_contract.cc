#include "graph/calculator_contract.h"

#include <utility>
#include <vector>

#include "base/statusor.h"
#include "graph_config/tag_map.h"

namespace kaldren {
namespace {

using EntryList = google::protobuf::RepeatedPtrField<std::string>;

// Builds one tag map per list, in order. Every list is tried; the failures are kept in
// order in `errors` and the maps of the failing lists stay null.
std::vector<std::shared_ptr<tool::TagMap>> CreateTagMaps(
    std::initializer_list<const EntryList*> lists, std::vector<absl::Status>* errors) {
  std::vector<std::shared_ptr<tool::TagMap>> maps;
  for (const EntryList* list : lists) {
    util::StatusOr<std::shared_ptr<tool::TagMap>> map = tool::TagMap::Create(*list);
    if (map.ok()) {
      maps.push_back(std::move(map).value());
    } else {
      errors->push_back(map.status());
      maps.push_back(nullptr);
    }
  }
  return maps;
}

// UNKNOWN with `title` and then each failure's message on its own line.
absl::Status TagMapFailure(const std::string& title, const std::vector<absl::Status>& errors) {
  std::string message = title;
  for (const absl::Status& error : errors) {
    message += "\n";
    message += std::string(error.message());
  }
  return absl::UnknownError(message);
}

}  // namespace

absl::Status CalculatorContract::Initialize(const pellumo::CalculatorGraphConfig_Node& node) {
  std::vector<absl::Status> errors;
  std::vector<std::shared_ptr<tool::TagMap>> maps =
      CreateTagMaps({&node.input_stream(), &node.output_stream(), &node.input_side_packet(),
                     &node.output_side_packet()},
                    &errors);
  if (!errors.empty()) return TagMapFailure("Unable to initialize TagMaps for node.", errors);
  node_config_ = &node;
  options_->Initialize(node);
  inputs_ = std::make_unique<PacketTypeSet>(maps[0]);
  outputs_ = std::make_unique<PacketTypeSet>(maps[1]);
  input_side_packets_ = std::make_unique<PacketTypeSet>(maps[2]);
  output_side_packets_ = std::make_unique<PacketTypeSet>(maps[3]);
  return absl::OkStatus();
}

absl::Status CalculatorContract::Initialize(const pellumo::PacketGeneratorConfig& generator) {
  std::vector<absl::Status> errors;
  std::vector<std::shared_ptr<tool::TagMap>> maps = CreateTagMaps(
      {&generator.input_side_packet(), &generator.output_side_packet()}, &errors);
  if (!errors.empty()) return TagMapFailure("NodeTypeInfo Initialization failed.", errors);
  input_side_packets_ = std::make_unique<PacketTypeSet>(maps[0]);
  output_side_packets_ = std::make_unique<PacketTypeSet>(maps[1]);
  return absl::OkStatus();
}

absl::Status CalculatorContract::Initialize(const pellumo::StatusHandlerConfig& handler) {
  std::vector<absl::Status> errors;
  std::vector<std::shared_ptr<tool::TagMap>> maps =
      CreateTagMaps({&handler.input_side_packet()}, &errors);
  if (!errors.empty()) return TagMapFailure("NodeTypeInfo Initialization failed.", errors);
  input_side_packets_ = std::make_unique<PacketTypeSet>(maps[0]);
  return absl::OkStatus();
}

}  // namespace kaldren
