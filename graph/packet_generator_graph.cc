#include "graph/packet_generator_graph.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "base/logging.h"
#include "base/status_builder.h"
#include "base/status_macros.h"
#include "graph/packet_generator.h"
#include "graph/packet_set.h"
#include "graph/packet_type.h"
#include "graph/scheduler_queue.h"
#include "graph/thread_pool_executor.h"
#include "graph_config/status_util.h"

namespace kaldren {
namespace {

using SidePackets = std::map<std::string, Packet>;

absl::Status DefinedTwiceError(const std::string& name) {
  return absl::AlreadyExistsError(absl::StrCat("Side packet \"", name, "\" was defined twice."));
}

// Runs the generators of one ExecuteGenerators call: each as soon as all its inputs exist,
// and the generators that wait for its outputs after it.
class GeneratorScheduler {
 public:
  // Candidates are every generator when `initial`, else those of `non_base_generators`.
  GeneratorScheduler(const ValidatedGraphConfig* validated_graph, Executor* executor,
                     const std::vector<int>& non_base_generators, bool initial)
      : validated_graph_(validated_graph),
        executor_(executor),
        scheduled_generators_(validated_graph->Config().packet_generator_size(), !initial) {
    if (!initial) {
      for (int index : non_base_generators) scheduled_generators_[index] = false;
    }
    if (executor_ == nullptr) {
      delegating_executor_ = std::make_unique<internal::DelegatingExecutor>(
          [this](std::function<void()> task) { AddApplicationThreadTask(std::move(task)); });
      executor_ = delegating_executor_.get();
    }
  }

  // Hands every candidate whose inputs are all in `output_side_packets` to the executor.
  void ScheduleAllRunnableGenerators(SidePackets* output_side_packets);

  // Returns when every scheduled generator has finished.
  void WaitUntilIdle();

  // The collected errors combined, or OK with the candidates that never ran.
  absl::Status GetNonScheduledGenerators(std::vector<int>* non_scheduled_generators) const;

 private:
  void GenerateAndScheduleNext(int generator_index, SidePackets* output_side_packets,
                               const PacketSet& input_side_packets);

  // The delegating executor's scheduling function: queues the task for the calling thread.
  void AddApplicationThreadTask(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(task_mutex_);
    pending_tasks_.push_back(std::move(task));
  }

  const ValidatedGraphConfig* const validated_graph_;
  Executor* executor_;

  mutable std::mutex mutex_;
  int num_tasks_ = 0;                       // guarded by mutex_
  std::condition_variable idle_condvar_;    // signalled when num_tasks_ drops to 0
  std::vector<absl::Status> statuses_;      // guarded by mutex_
  std::vector<bool> scheduled_generators_;  // guarded by mutex_

  std::mutex task_mutex_;
  std::deque<std::function<void()>> pending_tasks_;  // guarded by task_mutex_
  std::unique_ptr<internal::DelegatingExecutor> delegating_executor_;
};

void GeneratorScheduler::ScheduleAllRunnableGenerators(SidePackets* output_side_packets) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto& generator_configs = validated_graph_->Config().packet_generator();
  for (int index = 0; index < generator_configs.size(); ++index) {
    if (scheduled_generators_[index]) continue;
    const NodeTypeInfo& info = validated_graph_->GeneratorInfos()[index];
    const PacketTypeSet& input_types = info.Contract().InputSidePackets();
    auto input_side_packets = std::make_shared<PacketSet>(input_types.GetTagMap());
    bool missing_input = false;
    std::vector<absl::Status> errors;
    const std::vector<std::string>& names = input_types.GetTagMap()->Names();
    for (CollectionItemId id = input_types.BeginId(); id < input_types.EndId(); ++id) {
      const std::string& name = names[id.Value()];
      auto it = output_side_packets->find(name);
      if (it == output_side_packets->end()) {
        missing_input = true;
        continue;
      }
      input_side_packets->Get(id) = it->second;
      absl::Status status = input_types.Get(id).Validate(it->second);
      if (!status.ok()) {
        errors.push_back(tool::AddStatusPrefix(
            absl::StrCat("Input side packet \"", name, "\" for PacketGenerator \"",
                         generator_configs[index].packet_generator(),
                         "\" is not of the correct type: "),
            status));
      }
    }
    if (!errors.empty()) {
      statuses_.push_back(tool::CombinedStatus(
          absl::StrCat(generator_configs[index].packet_generator(),
                       " had invalid configuration."),
          errors));
      continue;
    }
    if (missing_input) continue;

    scheduled_generators_[index] = true;
    VLOG(1) << "Scheduling generator " << index;
    ++num_tasks_;
    lock.unlock();
    executor_->Schedule([this, index, output_side_packets, input_side_packets] {
      GenerateAndScheduleNext(index, output_side_packets, *input_side_packets);
    });
    lock.lock();
  }
}

void GeneratorScheduler::GenerateAndScheduleNext(int generator_index,
                                                 SidePackets* output_side_packets,
                                                 const PacketSet& input_side_packets) {
  bool has_error;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    has_error = !statuses_.empty();
  }
  if (!has_error) {
    const pellumo::PacketGeneratorConfig& config =
        validated_graph_->Config().packet_generator(generator_index);
    const std::string& type = config.packet_generator();
    const NodeTypeInfo& info = validated_graph_->GeneratorInfos()[generator_index];
    PacketSet output_packets(info.Contract().OutputSidePackets().GetTagMap());
    VLOG(1) << "Running generator " << generator_index;
    absl::Status status;
    auto access = PacketGeneratorRegistry::CreateByNameInNamespace(
        validated_graph_->Package(), type);
    if (!access.ok()) {
      status = util::StatusBuilder(access.status(), QM_LOC)
               << type << " is not a valid PacketGenerator.";
    } else {
      status = access.value()->Generate(config.has_options()
                                            ? config.options()
                                            : pellumo::PacketGeneratorOptions::default_instance(),
                                        input_side_packets, &output_packets);
      if (!status.ok()) {
        status = util::StatusBuilder(status, QM_LOC).SetPrepend()
                 << type << "::Generate() failed. ";
      } else {
        status = ValidatePacketSet(info.Contract().OutputSidePackets(), output_packets);
        if (!status.ok()) {
          status = util::StatusBuilder(status, QM_LOC).SetPrepend()
                   << type << "::Generate() output packets were of incorrect type: ";
        }
      }
    }

    std::unique_lock<std::mutex> lock(mutex_);
    if (!status.ok()) {
      statuses_.push_back(std::move(status));
    } else {
      const std::vector<std::string>& names = output_packets.GetTagMap()->Names();
      for (CollectionItemId id = output_packets.BeginId(); id < output_packets.EndId(); ++id) {
        const std::string& name = names[id.Value()];
        if (!output_side_packets->emplace(name, output_packets.Get(id)).second) {
          statuses_.push_back(DefinedTwiceError(name));
        }
      }
      if (statuses_.empty()) {
        lock.unlock();
        ScheduleAllRunnableGenerators(output_side_packets);
      }
    }
  }
  // Lowered only after this task's own scheduling, so the count cannot reach 0 while more
  // work is on its way.
  std::lock_guard<std::mutex> lock(mutex_);
  if (--num_tasks_ == 0) idle_condvar_.notify_one();
}

void GeneratorScheduler::WaitUntilIdle() {
  if (delegating_executor_ != nullptr) {
    // Tasks run here queue their successors behind the tasks already queued.
    while (true) {
      std::function<void()> task;
      {
        std::lock_guard<std::mutex> lock(task_mutex_);
        if (pending_tasks_.empty()) break;
        task = std::move(pending_tasks_.front());
        pending_tasks_.pop_front();
      }
      task();
    }
  } else {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_condvar_.wait(lock, [this] { return num_tasks_ == 0; });
  }
}

absl::Status GeneratorScheduler::GetNonScheduledGenerators(
    std::vector<int>* non_scheduled_generators) const {
  non_scheduled_generators->clear();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!statuses_.empty()) {
    return tool::CombinedStatus("PacketGeneratorGraph failed.", statuses_);
  }
  for (int index = 0; index < static_cast<int>(scheduled_generators_.size()); ++index) {
    if (!scheduled_generators_[index]) non_scheduled_generators->push_back(index);
  }
  return absl::OkStatus();
}

}  // namespace

PacketGeneratorGraph::~PacketGeneratorGraph() = default;

absl::Status PacketGeneratorGraph::Initialize(const ValidatedGraphConfig* validated_graph,
                                              Executor* executor,
                                              const SidePackets& input_side_packets) {
  validated_graph_ = validated_graph;
  executor_ = executor;
  base_packets_ = input_side_packets;
  RETURN_IF_ERROR(validated_graph_->CanAcceptSidePackets(input_side_packets));
  return ExecuteGenerators(&base_packets_, &non_base_generators_, /*initial=*/true);
}

absl::Status PacketGeneratorGraph::RunGraphSetup(const SidePackets& input_side_packets,
                                                 SidePackets* output_side_packets) const {
  if (output_side_packets != &base_packets_) *output_side_packets = base_packets_;
  for (const auto& [name, packet] : input_side_packets) {
    if (!output_side_packets->emplace(name, packet).second) return DefinedTwiceError(name);
  }
  RETURN_IF_ERROR(validated_graph_->CanAcceptSidePackets(input_side_packets));
  RETURN_IF_ERROR(validated_graph_->ValidateRequiredSidePackets(*output_side_packets));
  std::vector<int> non_scheduled_generators;
  RETURN_IF_ERROR(ExecuteGenerators(output_side_packets, &non_scheduled_generators,
                                    /*initial=*/false));
  RET_CHECK(non_scheduled_generators.empty())
      << "Some Generators were unrunnable (validation should have failed).\n"
         "Generator indexes: "
      << absl::StrJoin(non_scheduled_generators, ", ");
  return absl::OkStatus();
}

absl::Status PacketGeneratorGraph::ExecuteGenerators(SidePackets* output_side_packets,
                                                     std::vector<int>* non_scheduled_generators,
                                                     bool initial) const {
  VLOG(1) << "ExecuteGenerators initial == " << initial;
  GeneratorScheduler scheduler(validated_graph_, executor_, non_base_generators_, initial);
  scheduler.ScheduleAllRunnableGenerators(output_side_packets);
  scheduler.WaitUntilIdle();
  return scheduler.GetNonScheduledGenerators(non_scheduled_generators);
}

absl::Status PacketGeneratorGraph::InitializeGraph(
    const SidePackets& input_side_packets,
    const std::vector<pellumo::PacketFactoryConfig>& packet_factories,
    const std::vector<pellumo::PacketGeneratorConfig>& packet_generators) {
  pellumo::CalculatorGraphConfig config;
  for (const auto& factory : packet_factories) *config.add_packet_factory() = factory;
  for (const auto& generator : packet_generators) *config.add_packet_generator() = generator;
  owned_validated_graph_ = std::make_unique<ValidatedGraphConfig>();
  RETURN_IF_ERROR(owned_validated_graph_->Initialize(config));
  owned_executor_ = std::make_unique<ThreadPoolExecutor>(5);
  return Initialize(owned_validated_graph_.get(), owned_executor_.get(), input_side_packets);
}

absl::Status PacketGeneratorGraph::ProcessGraph(const SidePackets& input_side_packets,
                                                SidePackets* output_side_packets) {
  return RunGraphSetup(input_side_packets, output_side_packets);
}

std::vector<pellumo::PacketGeneratorConfig> PacketGeneratorGraph::GetNonBaseGenerators() const {
  std::vector<pellumo::PacketGeneratorConfig> generators;
  for (int index : non_base_generators_) {
    generators.push_back(validated_graph_->Config().packet_generator(index));
  }
  return generators;
}

}  // namespace kaldren
