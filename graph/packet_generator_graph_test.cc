#include "graph/packet_generator_graph.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "graph/packet_generator.h"
#include "graph/registration.h"
#include "graph/thread_pool_executor.h"
#include "graph/validated_graph_config.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using SidePackets = std::map<std::string, Packet>;

// What the generators ran: the input value of each run and the thread it ran on.
struct RunLog {
  std::mutex mutex;
  std::vector<int> inputs;
  std::vector<std::thread::id> threads;

  void Record(int input) {
    std::lock_guard<std::mutex> lock(mutex);
    inputs.push_back(input);
    threads.push_back(std::this_thread::get_id());
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    inputs.clear();
    threads.clear();
  }
};

RunLog& Log() {
  static RunLog* const log = new RunLog;
  return *log;
}

// Makes its int input plus one.
struct AddOneGenerator {
  static absl::Status FillExpectations(const pellumo::PacketGeneratorOptions&,
                                       PacketTypeSet* inputs, PacketTypeSet* outputs) {
    inputs->Index(0).Set<int>();
    outputs->Index(0).Set<int>();
    return absl::OkStatus();
  }
  static absl::Status Generate(const pellumo::PacketGeneratorOptions&, const PacketSet& inputs,
                               PacketSet* outputs) {
    const int input = inputs.Index(0).Get<int>();
    Log().Record(input);
    outputs->Index(0) = MakePacket<int>(input + 1);
    return absl::OkStatus();
  }
};

// Takes anything and declares an int output.
struct AnyToIntExpectations {
  static absl::Status FillExpectations(const pellumo::PacketGeneratorOptions&,
                                       PacketTypeSet* inputs, PacketTypeSet* outputs) {
    inputs->Index(0).SetAny();
    outputs->Index(0).Set<int>();
    return absl::OkStatus();
  }
};

struct FailingGenerator : AnyToIntExpectations {
  static absl::Status Generate(const pellumo::PacketGeneratorOptions&, const PacketSet&,
                               PacketSet*) {
    return absl::InvalidArgumentError("boom");
  }
};

// Makes a string where it declared an int.
struct WrongOutputGenerator : AnyToIntExpectations {
  static absl::Status Generate(const pellumo::PacketGeneratorOptions&, const PacketSet&,
                               PacketSet* outputs) {
    outputs->Index(0) = MakePacket<std::string>("five");
    return absl::OkStatus();
  }
};

template <typename T>
Unregister RegisterGenerator(const std::string& name) {
  return Unregister(PacketGeneratorRegistry::Register(
      name, [] { return std::make_unique<internal::StaticAccessToGeneratorTyped<T>>(); }));
}

const Unregister kRegistrations[] = {
    RegisterGenerator<AddOneGenerator>("AddOneGenerator"),
    RegisterGenerator<FailingGenerator>("FailingGenerator"),
    RegisterGenerator<WrongOutputGenerator>("WrongOutputGenerator"),
};

struct GeneratorSpec {
  std::string type;
  std::string input;
  std::string output;
};

pellumo::CalculatorGraphConfig MakeConfig(const std::vector<GeneratorSpec>& generators) {
  pellumo::CalculatorGraphConfig config;
  for (const GeneratorSpec& spec : generators) {
    pellumo::PacketGeneratorConfig* generator = config.add_packet_generator();
    generator->set_packet_generator(spec.type);
    generator->add_input_side_packet(spec.input);
    generator->add_output_side_packet(spec.output);
  }
  return config;
}

std::map<std::string, int> IntValues(const SidePackets& packets) {
  std::map<std::string, int> values;
  for (const auto& [name, packet] : packets) values[name] = packet.Get<int>();
  return values;
}

SidePackets Ints(const std::map<std::string, int>& values) {
  SidePackets packets;
  for (const auto& [name, value] : values) packets[name] = MakePacket<int>(value);
  return packets;
}

// Runs every case once on the calling thread (no executor) and once on a thread pool.
class PacketGeneratorGraphTest : public ::testing::TestWithParam<bool> {
 protected:
  PacketGeneratorGraphTest() {
    Log().Clear();
    if (GetParam()) pool_ = std::make_unique<ThreadPoolExecutor>(4);
  }

  absl::Status Initialize(const std::vector<GeneratorSpec>& generators,
                          const SidePackets& side_packets) {
    absl::Status status = validated_.Initialize(MakeConfig(generators));
    if (!status.ok()) return status;
    return graph_.Initialize(&validated_, pool_.get(), side_packets);
  }

  std::unique_ptr<ThreadPoolExecutor> pool_;
  ValidatedGraphConfig validated_;
  PacketGeneratorGraph graph_;
};

TEST_P(PacketGeneratorGraphTest, WithoutGeneratorsOnlyMergesAndChecks) {
  ASSERT_TRUE(Initialize({}, Ints({{"a", 1}})).ok());
  EXPECT_THAT(graph_.NonBaseGenerators(), IsEmpty());

  SidePackets all;
  ASSERT_TRUE(graph_.RunGraphSetup(Ints({{"r", 2}}), &all).ok());
  EXPECT_EQ(IntValues(all), (std::map<std::string, int>{{"a", 1}, {"r", 2}}));

  absl::Status status = graph_.RunGraphSetup(Ints({{"a", 3}}), &all);
  EXPECT_EQ(status.code(), absl::StatusCode::kAlreadyExists);
  EXPECT_EQ(status.message(), "Side packet \"a\" was defined twice.");
}

TEST_P(PacketGeneratorGraphTest, ChainRunsAtInitializationInDependencyOrder) {
  ASSERT_TRUE(Initialize({{"AddOneGenerator", "b", "c"}, {"AddOneGenerator", "a", "b"}},
                         Ints({{"a", 1}}))
                  .ok());
  EXPECT_EQ(IntValues(graph_.BasePackets()),
            (std::map<std::string, int>{{"a", 1}, {"b", 2}, {"c", 3}}));
  EXPECT_THAT(graph_.NonBaseGenerators(), IsEmpty());
  EXPECT_THAT(Log().inputs, ElementsAre(1, 2));
  for (std::thread::id thread : Log().threads) {
    // Without an executor everything runs on the caller's thread.
    EXPECT_EQ(thread == std::this_thread::get_id(), !GetParam());
  }

  // Nothing is left for the runs.
  Log().Clear();
  SidePackets all;
  ASSERT_TRUE(graph_.RunGraphSetup({}, &all).ok());
  EXPECT_EQ(IntValues(all), IntValues(graph_.BasePackets()));
  EXPECT_THAT(Log().inputs, IsEmpty());
}

TEST_P(PacketGeneratorGraphTest, GeneratorsWaitingForRunSidePacketsRunAtEveryRunSetup) {
  ASSERT_TRUE(Initialize({{"AddOneGenerator", "a", "b"}, {"AddOneGenerator", "r", "s"},
                          {"AddOneGenerator", "s", "t"}},
                         Ints({{"a", 1}}))
                  .ok());
  EXPECT_THAT(graph_.NonBaseGenerators(), ElementsAre(1, 2));
  EXPECT_EQ(IntValues(graph_.BasePackets()), (std::map<std::string, int>{{"a", 1}, {"b", 2}}));

  for (int r : {10, 20}) {
    SidePackets all;
    ASSERT_TRUE(graph_.RunGraphSetup(Ints({{"r", r}}), &all).ok());
    EXPECT_EQ(IntValues(all), (std::map<std::string, int>{
                                  {"a", 1}, {"b", 2}, {"r", r}, {"s", r + 1}, {"t", r + 2}}));
  }
  EXPECT_THAT(Log().inputs, ElementsAre(1, 10, 11, 20, 21));
  EXPECT_EQ(graph_.BasePackets().size(), 2);

  SidePackets all;
  absl::Status status = graph_.RunGraphSetup({}, &all);
  EXPECT_THAT(std::string(status.message()), HasSubstr("Side packet \"r\" is required but was not provided."));
}

TEST_P(PacketGeneratorGraphTest, SidePacketsThatGeneratorsMakeCannotBeGiven) {
  absl::Status status = Initialize({{"AddOneGenerator", "a", "b"}}, Ints({{"a", 1}, {"b", 5}}));
  EXPECT_EQ(status.code(), absl::StatusCode::kUnknown);
  EXPECT_EQ(status.message(),
            "Side packet \"b\" is both provided and generated by a PacketGenerator.");

  ASSERT_TRUE(graph_.Initialize(&validated_, pool_.get(), {}).ok());
  SidePackets all;
  status = graph_.RunGraphSetup(Ints({{"a", 1}, {"b", 5}}), &all);
  EXPECT_EQ(status.code(), absl::StatusCode::kUnknown);
  EXPECT_EQ(status.message(),
            "Side packet \"b\" is both provided and generated by a PacketGenerator.");
  EXPECT_THAT(Log().inputs, IsEmpty());
}

TEST_P(PacketGeneratorGraphTest, FailuresAreCollectedAndStopLaterGenerators) {
  struct Case {
    std::string name;
    std::vector<GeneratorSpec> generators;
    SidePackets side_packets;
    absl::StatusCode code;
    std::string message;
  };
  const Case cases[] = {
      {"generate fails",
       {{"FailingGenerator", "a", "b"}, {"AddOneGenerator", "b", "c"}},
       Ints({{"a", 1}}),
       absl::StatusCode::kInvalidArgument,
       "PacketGeneratorGraph failed.\nFailingGenerator::Generate() failed. boom"},
      {"output of the wrong type",
       {{"WrongOutputGenerator", "a", "b"}, {"AddOneGenerator", "b", "c"}},
       Ints({{"a", 1}}),
       absl::StatusCode::kInvalidArgument,
       "PacketGeneratorGraph failed.\nWrongOutputGenerator::Generate() output packets were of "
       "incorrect type: "},
      {"input of the wrong type",
       {{"AddOneGenerator", "a", "b"}},
       {{"a", MakePacket<std::string>("one")}},
       absl::StatusCode::kInvalidArgument,
       "PacketGeneratorGraph failed.\nAddOneGenerator had invalid configuration.\nInput side "
       "packet \"a\" for PacketGenerator \"AddOneGenerator\" is not of the correct type: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Log().Clear();
    ValidatedGraphConfig validated;
    ASSERT_TRUE(validated.Initialize(MakeConfig(c.generators)).ok());
    PacketGeneratorGraph graph;
    absl::Status status = graph.Initialize(&validated, pool_.get(), c.side_packets);
    EXPECT_EQ(status.code(), c.code);
    EXPECT_THAT(std::string(status.message()), ::testing::StartsWith(c.message));
    EXPECT_THAT(Log().inputs, IsEmpty());
    EXPECT_THAT(graph.NonBaseGenerators(), IsEmpty());
  }
}

TEST_P(PacketGeneratorGraphTest, UnregisteredGeneratorIsReported) {
  Unregister temporary = RegisterGenerator<AddOneGenerator>("TemporaryGenerator");
  ASSERT_TRUE(validated_.Initialize(MakeConfig({{"TemporaryGenerator", "a", "b"}})).ok());
  temporary.Reset();
  absl::Status status = graph_.Initialize(&validated_, pool_.get(), Ints({{"a", 1}}));
  EXPECT_EQ(status.code(), absl::StatusCode::kNotFound);
  EXPECT_THAT(std::string(status.message()), HasSubstr("TemporaryGenerator is not a valid PacketGenerator."));
  EXPECT_THAT(std::string(status.message()), ::testing::StartsWith("PacketGeneratorGraph failed.\n"));
}

INSTANTIATE_TEST_SUITE_P(CallingThreadAndPool, PacketGeneratorGraphTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "ThreadPool" : "CallingThread";
                         });

TEST(PacketGeneratorGraphOrderTest, OnTheCallingThreadDependentsRunAfterQueuedGenerators) {
  Log().Clear();
  ValidatedGraphConfig validated;
  ASSERT_TRUE(validated
                  .Initialize(MakeConfig({{"AddOneGenerator", "a", "b"},
                                          {"AddOneGenerator", "b", "c"},
                                          {"AddOneGenerator", "x", "y"}}))
                  .ok());
  PacketGeneratorGraph graph;
  ASSERT_TRUE(graph.Initialize(&validated, nullptr, Ints({{"a", 1}, {"x", 100}})).ok());
  EXPECT_THAT(Log().inputs, ElementsAre(1, 100, 2));
}

TEST(PacketGeneratorGraphStandaloneTest, RunsItsOwnConfigurationOnItsOwnPool) {
  Log().Clear();
  const pellumo::CalculatorGraphConfig config =
      MakeConfig({{"AddOneGenerator", "a", "b"}, {"AddOneGenerator", "r", "s"}});
  const std::vector<pellumo::PacketGeneratorConfig> generators(
      config.packet_generator().begin(), config.packet_generator().end());
  PacketGeneratorGraph graph;
  ASSERT_TRUE(graph.InitializeGraph(Ints({{"a", 1}}), {}, generators).ok());
  std::vector<pellumo::PacketGeneratorConfig> non_base = graph.GetNonBaseGenerators();
  ASSERT_EQ(non_base.size(), 1);
  EXPECT_EQ(non_base[0].input_side_packet(0), "r");

  SidePackets all;
  ASSERT_TRUE(graph.ProcessGraph(Ints({{"r", 5}}), &all).ok());
  EXPECT_EQ(IntValues(all),
            (std::map<std::string, int>{{"a", 1}, {"b", 2}, {"r", 5}, {"s", 6}}));
}

}  // namespace
}  // namespace kaldren
