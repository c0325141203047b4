#include "graph/calculator_context_manager.h"

#include <utility>

#include "base/logging.h"

namespace kaldren {
namespace {

template <typename Map, typename Key>
bool ContainsKey(const Map& map, const Key& key) {
  return map.find(key) != map.end();
}

}  // namespace

void CalculatorContextManager::Initialize(CalculatorState* calculator_state,
                                          std::shared_ptr<tool::TagMap> input_tag_map,
                                          std::shared_ptr<tool::TagMap> output_tag_map,
                                          bool calculator_run_in_parallel) {
  CHECK(calculator_state);
  calculator_state_ = calculator_state;
  input_tag_map_ = std::move(input_tag_map);
  output_tag_map_ = std::move(output_tag_map);
  calculator_run_in_parallel_ = calculator_run_in_parallel;
}

absl::Status CalculatorContextManager::PrepareForRun(SetupShardsCallback setup_shards_callback) {
  setup_shards_callback_ = std::move(setup_shards_callback);
  default_context_ =
      std::make_unique<CalculatorContext>(calculator_state_, input_tag_map_, output_tag_map_);
  return setup_shards_callback_(default_context_.get());
}

void CalculatorContextManager::CleanupAfterRun() {
  default_context_.reset();
  std::lock_guard<std::mutex> lock(contexts_mutex_);
  active_contexts_.clear();
  idle_contexts_.clear();
}

CalculatorContext* CalculatorContextManager::PrepareParallelCalculatorContext(
    Timestamp input_timestamp) {
  std::lock_guard<std::mutex> lock(contexts_mutex_);
  CHECK(!::kaldren::ContainsKey(active_contexts_, input_timestamp))
      << "Multiple invocations with the same timestamps are not allowed with parallel "
         "execution, input_timestamp = "
      << input_timestamp.DebugString();
  std::unique_ptr<CalculatorContext> new_context;
  if (!idle_contexts_.empty()) {
    new_context = std::move(idle_contexts_.front());
    idle_contexts_.pop_front();
  } else {
    new_context =
        std::make_unique<CalculatorContext>(calculator_state_, input_tag_map_, output_tag_map_);
    CHECK(::util::OkStatus() == (setup_shards_callback_(new_context.get())));
  }
  CalculatorContext* result = new_context.get();
  active_contexts_.emplace(input_timestamp, std::move(new_context));
  return result;
}

CalculatorContext* CalculatorContextManager::GetFrontCalculatorContext(
    Timestamp* context_input_timestamp) {
  CHECK(calculator_run_in_parallel_);
  std::lock_guard<std::mutex> lock(contexts_mutex_);
  CHECK(!active_contexts_.empty());
  auto front = active_contexts_.begin();
  *context_input_timestamp = front->first;
  return front->second.get();
}

void CalculatorContextManager::RecycleCalculatorContext() {
  std::lock_guard<std::mutex> lock(contexts_mutex_);
  CHECK(!active_contexts_.empty());
  auto front = active_contexts_.begin();
  idle_contexts_.push_back(std::move(front->second));
  active_contexts_.erase(front);
}

bool CalculatorContextManager::HasActiveParallelContexts() {
  std::lock_guard<std::mutex> lock(contexts_mutex_);
  return !active_contexts_.empty();
}

void CalculatorContextManager::SetGraphStatusInContext(CalculatorContext* calculator_context,
                                                       const absl::Status& status) {
  CHECK(calculator_context);
  calculator_context->SetGraphStatus(status);
}

}  // namespace kaldren
