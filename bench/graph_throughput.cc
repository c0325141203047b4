// Throughput and latency of the calculator graph against oneTBB's flow graph.
//
// Every chain is: a graph input stream, N pass-through nodes, and a callback node that counts
// the packets; the oneTBB chain is N serial function_nodes and a serial counting node. A
// packet therefore runs N + 1 nodes, and "ns per hop" is the time per packet divided by that.
// Chains run with the default thread pool and with the application-thread executor (every
// task runs on the thread that waits in the graph); the oneTBB counterparts are its default
// arena and an arena of one thread.
//
// The latency benchmarks send one packet at a time through four pass-through nodes and wait
// until it reaches the callback before sending the next one.
//
//   graph_throughput [--packets=N] [benchmark flags]
//
// At the end a summary table gives packets/s, ns per hop, the oneTBB figures and the ratios.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "base/status.h"
#include "benchmark/benchmark.h"
#include "graph/calculator.h"
#include "graph/calculator_graph.h"
#include "graph/tool/sink.h"
#include "graph_config/calculator.pb.h"
#include "oneapi/tbb/flow_graph.h"
#include "oneapi/tbb/task_arena.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kaldren {

// Forwards its input packet to its output unchanged.
class BenchPassThroughCalculator : public CalculatorBase {
 public:
  static absl::Status GetContract(CalculatorContract* cc) {
    cc->Inputs().Index(0).SetAny();
    cc->Outputs().Index(0).SetSameAs(&cc->Inputs().Index(0));
    return absl::OkStatus();
  }
  absl::Status Process(CalculatorContext* cc) override {
    cc->Outputs().Index(0).AddPacket(cc->Inputs().Index(0).Value());
    return absl::OkStatus();
  }
};
REGISTER_CALCULATOR(BenchPassThroughCalculator);

namespace {

int64_t g_packets = 1000000;

enum class Executor { kDefault, kApplicationThread };

const char* ExecutorName(Executor executor) {
  return executor == Executor::kDefault ? "default" : "app_thread";
}

// Best (smallest) time per packet seen for each configuration, for the summary.
std::map<std::string, double>& BestNsPerPacket() {
  static auto* best = new std::map<std::string, double>;
  return *best;
}

void Record(const std::string& key, double ns_per_packet) {
  auto [it, inserted] = BestNsPerPacket().emplace(key, ns_per_packet);
  if (!inserted && ns_per_packet < it->second) it->second = ns_per_packet;
}

std::string Key(const char* runtime, const char* executor, int nodes) {
  return absl::StrCat(runtime, "/", executor, "/", nodes);
}

inline void CpuRelax() {
#if defined(__x86_64__)
  _mm_pause();
#endif
}

// ---- Calculator graph ----

// "in" -> N pass-through nodes -> callback node. Stores the callback's side packet name.
pellumo::CalculatorGraphConfig ChainConfig(int nodes, Executor executor,
                                           std::string* callback_side_packet) {
  pellumo::CalculatorGraphConfig config;
  config.add_input_stream("in");
  std::string stream = "in";
  for (int i = 0; i < nodes; ++i) {
    auto* node = config.add_node();
    node->set_calculator("BenchPassThroughCalculator");
    node->add_input_stream(stream);
    stream = absl::StrCat("s", i + 1);
    node->add_output_stream(stream);
  }
  if (executor == Executor::kApplicationThread) {
    config.add_executor()->set_type("ApplicationThreadExecutor");
  }
  tool::AddCallbackCalculator(stream, &config, callback_side_packet, /*use_std_function=*/true);
  return config;
}

// A graph of one chain, initialised; runs are started by the benchmarks.
struct ChainGraph {
  ChainGraph(int nodes, Executor executor) {
    std::string callback_side_packet;
    const pellumo::CalculatorGraphConfig config =
        ChainConfig(nodes, executor, &callback_side_packet);
    status = graph.Initialize(config);
    side_packets[callback_side_packet] =
        MakePacket<std::function<void(const Packet&)>>([this](const Packet&) {
          received.fetch_add(1, std::memory_order_release);
        });
  }
  absl::Status StartRun() {
    received.store(0, std::memory_order_relaxed);
    return graph.StartRun(side_packets);
  }
  absl::Status Finish() {
    absl::Status status = graph.CloseAllInputStreams();
    absl::Status done = graph.WaitUntilDone();
    return status.ok() ? done : status;
  }

  CalculatorGraph graph;
  absl::Status status;
  std::map<std::string, Packet> side_packets;
  std::atomic<int64_t> received{0};
};

bool Fail(benchmark::State& state, const absl::Status& status) {
  if (status.ok()) return false;
  state.SkipWithError(std::string(status.message()).c_str());
  return true;
}

void SetThroughputCounters(benchmark::State& state, double seconds, int64_t packets, int nodes) {
  const double ns_per_packet = seconds * 1e9 / packets;
  state.counters["packets_per_s"] = packets / seconds;
  state.counters["ns_per_hop"] = ns_per_packet / (nodes + 1);
}

void BM_GraphChain(benchmark::State& state, int nodes, Executor executor) {
  ChainGraph chain(nodes, executor);
  if (Fail(state, chain.status)) return;
  const int64_t packets = g_packets;
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (Fail(state, chain.StartRun())) return;
    for (int64_t i = 0; i < packets; ++i) {
      absl::Status status =
          chain.graph.AddPacketToInputStream("in", MakePacket<int64_t>(i).At(Timestamp(i)));
      if (Fail(state, status)) return;
    }
    if (Fail(state, chain.Finish())) return;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    if (chain.received.load() != packets) {
      state.SkipWithError("the callback did not see every packet");
      return;
    }
    Record(Key("graph", ExecutorName(executor), nodes), elapsed * 1e9 / packets);
  }
  SetThroughputCounters(state, seconds / state.iterations(), packets, nodes);
}

// One packet at a time through four nodes: add it, wait until the callback saw it.
void BM_GraphLatency(benchmark::State& state, Executor executor) {
  constexpr int kNodes = 4;
  ChainGraph chain(kNodes, executor);
  if (Fail(state, chain.status)) return;
  if (Fail(state, chain.StartRun())) return;
  int64_t next = 0;
  for (auto _ : state) {
    absl::Status status =
        chain.graph.AddPacketToInputStream("in", MakePacket<int64_t>(next).At(Timestamp(next)));
    if (Fail(state, status)) return;
    ++next;
    if (executor == Executor::kApplicationThread) {
      // Tasks run only on a waiting caller.
      if (Fail(state, chain.graph.WaitUntilIdle())) return;
    } else {
      while (chain.received.load(std::memory_order_acquire) != next) CpuRelax();
    }
  }
  Fail(state, chain.Finish());
}

// ---- oneTBB flow graph ----

namespace flow = oneapi::tbb::flow;

struct TbbChain {
  explicit TbbChain(int nodes) {
    for (int i = 0; i < nodes; ++i) {
      stages.push_back(std::make_unique<flow::function_node<int64_t, int64_t>>(
          graph, flow::serial, [](int64_t value) { return value; }));
      if (i > 0) flow::make_edge(*stages[i - 1], *stages[i]);
    }
    sink = std::make_unique<flow::function_node<int64_t, flow::continue_msg>>(
        graph, flow::serial, [this](int64_t) {
          received.fetch_add(1, std::memory_order_release);
          return flow::continue_msg();
        });
    flow::make_edge(*stages.back(), *sink);
  }

  flow::graph graph;
  std::vector<std::unique_ptr<flow::function_node<int64_t, int64_t>>> stages;
  std::unique_ptr<flow::function_node<int64_t, flow::continue_msg>> sink;
  std::atomic<int64_t> received{0};
};

// Runs `body` in the default arena (`threads` 0, every core) or in an arena of one thread,
// the caller's. A flow graph sends its tasks to the arena it was built in, so the chains are
// built inside `body`.
template <typename Body>
void InArena(int threads, Body&& body) {
  if (threads == 1) {
    oneapi::tbb::task_arena arena(1, 1);
    arena.execute(body);
  } else {
    body();
  }
}

void BM_TbbChain(benchmark::State& state, int nodes, int threads) {
  const int64_t packets = g_packets;
  const char* executor = threads == 1 ? "app_thread" : "default";
  double seconds = 0;
  for (auto _ : state) {
    int64_t received = 0;
    double elapsed = 0;
    InArena(threads, [&] {
      TbbChain chain(nodes);
      const auto start = std::chrono::steady_clock::now();
      for (int64_t i = 0; i < packets; ++i) chain.stages.front()->try_put(i);
      chain.graph.wait_for_all();
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      received = chain.received.load();
    });
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    if (received != packets) {
      state.SkipWithError("the sink did not see every item");
      return;
    }
    Record(Key("tbb", executor, nodes), elapsed * 1e9 / packets);
  }
  SetThroughputCounters(state, seconds / state.iterations(), packets, nodes);
}

// One item at a time through four nodes. With one thread the caller runs the chain inside
// wait_for_all. With every core the item is handed to the arena as an enqueued task, which
// a worker is bound to run, and the caller waits until the sink saw it.
void BM_TbbLatency(benchmark::State& state, int threads) {
  constexpr int kNodes = 4;
  if (threads == 1) {
    InArena(1, [&] {
      TbbChain chain(kNodes);
      int64_t next = 0;
      for (auto _ : state) {
        chain.stages.front()->try_put(next++);
        chain.graph.wait_for_all();
      }
    });
    return;
  }
  oneapi::tbb::task_arena arena;
  std::unique_ptr<TbbChain> chain;
  arena.execute([&] { chain = std::make_unique<TbbChain>(kNodes); });
  int64_t next = 0;
  for (auto _ : state) {
    const int64_t item = next++;
    arena.enqueue([&chain, item] { chain->stages.front()->try_put(item); });
    while (chain->received.load(std::memory_order_acquire) != next) CpuRelax();
  }
  arena.execute([&] {
    chain->graph.wait_for_all();
    chain.reset();
  });
}

// ---- Registration and summary ----

constexpr int kChains[] = {1, 4, 16};

void RegisterAll(int repetitions) {
  for (int nodes : kChains) {
    for (Executor executor : {Executor::kDefault, Executor::kApplicationThread}) {
      benchmark::RegisterBenchmark(
          absl::StrCat("BM_GraphChain/", ExecutorName(executor), "/nodes:", nodes).c_str(),
          [nodes, executor](benchmark::State& state) { BM_GraphChain(state, nodes, executor); })
          ->Iterations(1)
          ->Repetitions(repetitions)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
    for (int threads : {0, 1}) {
      benchmark::RegisterBenchmark(
          absl::StrCat("BM_TbbChain/", threads == 1 ? "one_thread" : "default",
                       "/nodes:", nodes)
              .c_str(),
          [nodes, threads](benchmark::State& state) { BM_TbbChain(state, nodes, threads); })
          ->Iterations(1)
          ->Repetitions(repetitions)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (Executor executor : {Executor::kDefault, Executor::kApplicationThread}) {
    benchmark::RegisterBenchmark(
        absl::StrCat("BM_GraphLatency/", ExecutorName(executor), "/nodes:4").c_str(),
        [executor](benchmark::State& state) { BM_GraphLatency(state, executor); })
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
  for (int threads : {0, 1}) {
    benchmark::RegisterBenchmark(
        absl::StrCat("BM_TbbLatency/", threads == 1 ? "one_thread" : "default", "/nodes:4")
            .c_str(),
        [threads](benchmark::State& state) { BM_TbbLatency(state, threads); })
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
}

void PrintSummary() {
  const auto& best = BestNsPerPacket();
  std::printf("\nSummary: %lld packets per run, best of the repetitions; a packet runs N+1 nodes\n",
              static_cast<long long>(g_packets));
  std::printf("%-6s %-11s %14s %12s %12s %8s\n", "nodes", "executor", "packets/s",
              "ns/hop", "oneTBB ns/hop", "ratio");
  for (int nodes : kChains) {
    for (const char* executor : {"default", "app_thread"}) {
      auto ours = best.find(Key("graph", executor, nodes));
      auto tbb = best.find(Key("tbb", executor, nodes));
      if (ours == best.end()) continue;
      const double hop = ours->second / (nodes + 1);
      std::printf("%-6d %-11s %14.0f %12.1f", nodes, executor, 1e9 / ours->second, hop);
      if (tbb != best.end()) {
        const double tbb_hop = tbb->second / (nodes + 1);
        std::printf(" %12.1f %8.2f", tbb_hop, hop / tbb_hop);
      }
      std::printf("\n");
    }
  }
  // The cost of one more node, from the 1- and 16-node chains.
  for (const char* executor : {"default", "app_thread"}) {
    auto o1 = best.find(Key("graph", executor, 1)), o16 = best.find(Key("graph", executor, 16));
    auto t1 = best.find(Key("tbb", executor, 1)), t16 = best.find(Key("tbb", executor, 16));
    if (o1 == best.end() || o16 == best.end()) continue;
    const double ours = (o16->second - o1->second) / 15;
    std::printf("marginal ns per added node, %-10s: graph %.1f", executor, ours);
    if (t1 != best.end() && t16 != best.end()) {
      const double tbb = (t16->second - t1->second) / 15;
      std::printf(", oneTBB %.1f, ratio %.2f", tbb, ours / tbb);
    }
    std::printf("\n");
  }
  std::printf("(oneTBB app_thread rows: an arena of one thread; default rows: every core)\n");
}

}  // namespace
}  // namespace kaldren

int main(int argc, char** argv) {
  // Our own flag, taken out before the benchmark library sees the rest.
  int repetitions = 3;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--packets=", 10) == 0) {
      kaldren::g_packets = std::atoll(argv[i] + 10);
    } else if (std::strncmp(argv[i], "--repetitions=", 14) == 0) {
      repetitions = std::atoi(argv[i] + 14);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (kaldren::g_packets <= 0 || repetitions <= 0) {
    std::fprintf(stderr, "--packets and --repetitions must be positive\n");
    return 2;
  }
  kaldren::RegisterAll(repetitions);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kaldren::PrintSummary();
  return 0;
}
