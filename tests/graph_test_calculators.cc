#include "tests/graph_test_calculators.h"

#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include "absl/strings/match.h"
#include "absl/strings/str_cat.h"

#include "base/status.h"
#include "graph/calculator.h"
#include "graph/gpu_resources.h"
#include "graph/status_handler.h"
#include "graph_config/status_util.h"

namespace kaldren {
namespace graph_test {

namespace {

std::mutex& GateMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}
std::condition_variable& GateCondition() {
  static std::condition_variable* const condition = new std::condition_variable;
  return *condition;
}
bool gate_open = false;

std::mutex& ThreadLogMutex() {
  static std::mutex* const mutex = new std::mutex;
  return *mutex;
}
std::vector<std::thread::id>& ThreadLogEntries() {
  static auto* const entries = new std::vector<std::thread::id>;
  return *entries;
}

absl::Status PassThroughContract(CalculatorContract* cc) {
  for (int i = 0; i < cc->Inputs().NumEntries(); ++i) {
    cc->Inputs().Index(i).SetAny();
    if (i < cc->Outputs().NumEntries()) cc->Outputs().Index(i).SetSameAs(&cc->Inputs().Index(i));
  }
  return absl::OkStatus();
}

void PassThrough(CalculatorContext* cc) {
  for (int i = 0; i < cc->Inputs().NumEntries() && i < cc->Outputs().NumEntries(); ++i) {
    const Packet& packet = cc->Inputs().Index(i).Value();
    if (!packet.IsEmpty()) cc->Outputs().Index(i).AddPacket(packet);
  }
}

}  // namespace

void Gate::Open() {
  {
    std::lock_guard<std::mutex> lock(GateMutex());
    gate_open = true;
  }
  GateCondition().notify_all();
}

void Gate::Reset() {
  std::lock_guard<std::mutex> lock(GateMutex());
  gate_open = false;
}

void Gate::Wait() {
  std::unique_lock<std::mutex> lock(GateMutex());
  GateCondition().wait(lock, [] { return gate_open; });
}

void ThreadLog::Record() {
  std::lock_guard<std::mutex> lock(ThreadLogMutex());
  ThreadLogEntries().push_back(std::this_thread::get_id());
}

std::vector<std::thread::id> ThreadLog::Take() {
  std::lock_guard<std::mutex> lock(ThreadLogMutex());
  std::vector<std::thread::id> entries;
  entries.swap(ThreadLogEntries());
  return entries;
}

const void*& LastGpuSharedData() {
  static const void* data = nullptr;
  return data;
}

class GraphTestPassThroughCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) { return PassThroughContract(cc); }
  absl::Status Process(CalculatorContext* cc) override {
    PassThrough(cc);
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(GraphTestPassThroughCalculator);

class GraphTestFailingCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->InputSidePackets().Tag("FAIL_AT").Set<int64_t>();
    return PassThroughContract(cc);
  }
  absl::Status Process(CalculatorContext* cc) override {
    if (cc->InputTimestamp() == Timestamp(cc->InputSidePackets().Tag("FAIL_AT").Get<int64_t>())) {
      return absl::InvalidArgumentError("failing on purpose");
    }
    PassThrough(cc);
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(GraphTestFailingCalculator);

class GraphTestFailingOpenCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->InputSidePackets().Tag("CODE").Set<int>();
    return absl::OkStatus();
  }
  absl::Status Open(CalculatorContext* cc) override {
    return absl::Status(
        static_cast<absl::StatusCode>(cc->InputSidePackets().Tag("CODE").Get<int>()),
        "open failed");
  }
  absl::Status Process(CalculatorContext* cc) override { return absl::OkStatus(); }
};
REGISTER_CALCULATOR(GraphTestFailingOpenCalculator);

class GraphTestGatedCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) { return PassThroughContract(cc); }
  absl::Status Process(CalculatorContext* cc) override {
    Gate::Wait();
    PassThrough(cc);
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(GraphTestGatedCalculator);

class GraphTestSlowCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) { return PassThroughContract(cc); }
  absl::Status Process(CalculatorContext* cc) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    PassThrough(cc);
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(GraphTestSlowCalculator);

class GraphTestThreadRecorderCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) { return PassThroughContract(cc); }
  absl::Status Process(CalculatorContext* cc) override {
    ThreadLog::Record();
    PassThrough(cc);
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(GraphTestThreadRecorderCalculator);

class GraphTestGpuCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->UseService(kGpuService);
    return PassThroughContract(cc);
  }
  absl::Status Process(CalculatorContext* cc) override {
    ThreadLog::Record();
    PassThrough(cc);
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(GraphTestGpuCalculator);

class GraphTestGpuSharedCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->InputSidePackets().Tag(kGpuSharedTagName).Set<pellumo::GpuSharedData*>();
    return absl::OkStatus();
  }
  absl::Status Open(CalculatorContext* cc) override {
    LastGpuSharedData() =
        cc->InputSidePackets().Tag(kGpuSharedTagName).Get<pellumo::GpuSharedData*>();
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override { return absl::OkStatus(); }
};
REGISTER_CALCULATOR(GraphTestGpuSharedCalculator);

class GraphTestSpammingCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) { return PassThroughContract(cc); }
  absl::Status Process(CalculatorContext* cc) override {
    for (int i = 0; i < kSpamCount; ++i) cc->Outputs().Index(0).AddPacket(Packet());
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(GraphTestSpammingCalculator);

class GraphTestCountingSourceCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->InputSidePackets().Tag("N").Set<int>();
    cc->Outputs().Index(0).Set<int>();
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override {
    if (next_ >= cc->InputSidePackets().Tag("N").Get<int>()) return tool::StatusStop();
    cc->Outputs().Index(0).AddPacket(MakePacket<int>(next_).At(Timestamp(next_)));
    ++next_;
    return absl::OkStatus();
  }

 private:
  int next_ = 0;
};
REGISTER_CALCULATOR(GraphTestCountingSourceCalculator);

absl::Status& LastRunStatus() {
  static absl::Status* const status = new absl::Status(absl::UnknownError("never called"));
  return *status;
}

class GraphTestStatusHandler {
 public:
  static absl::Status FillExpectations(const pellumo::PellumoOptions& options,
                                       PacketTypeSet* input_side_packets) {
    input_side_packets->Tag("FLAG").Set<int>();
    return absl::OkStatus();
  }
  static absl::Status HandlePreRunStatus(const pellumo::PellumoOptions& options,
                                         const PacketSet& input_side_packets,
                                         const absl::Status& pre_run_status) {
    if (input_side_packets.Tag("FLAG").Get<int>() == 1) {
      return absl::NotFoundError("pre-run refused");
    }
    return absl::OkStatus();
  }
  static absl::Status HandleStatus(const pellumo::PellumoOptions& options,
                                   const PacketSet& input_side_packets,
                                   const absl::Status& run_status) {
    LastRunStatus() = run_status;
    return absl::OkStatus();
  }
};
REGISTER_FACTORY_FUNCTION_QUALIFIED(
    ::kaldren::StatusHandlerRegistry, status_handler_registration, "GraphTestStatusHandler", [] {
      return std::make_unique<internal::StaticAccessToStatusHandlerTyped<GraphTestStatusHandler>>();
    });

int CountThreadsNamed(const std::string& prefix) {
  int count = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(absl::StrCat("/proc/self/task/", entry->d_name, "/comm"));
    std::string name;
    std::getline(comm, name);
    if (absl::StartsWith(name, prefix)) ++count;
  }
  closedir(dir);
  return count;
}

int CountThreadsNamedWhenSettled(const std::string& prefix, int expected) {
  int count = CountThreadsNamed(prefix);
  for (int i = 0; i < 2000 && count != expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    count = CountThreadsNamed(prefix);
  }
  return count;
}

}  // namespace graph_test
}  // namespace kaldren
