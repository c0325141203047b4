// Byte-exact checks of how configurations and their options carriers are parsed and written.

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph_config/calculator.pb.h"
#include "graph_config/calculator_options.pb.h"
#include "graph_config/default_input_stream_handler.pb.h"
#include "graph_config/packet_factory.pb.h"
#include "graph_config/packet_generator.pb.h"
#include "graph_config/stream_handler.pb.h"
#include "graph_config/testdata/test_options.pb.h"
#include "gtest/gtest.h"

namespace pellumo {
namespace {

using ::pellumo::testing::TestCalculatorOptions;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

template <typename M>
M Parsed(const std::string& bytes) {
  M m;
  EXPECT_TRUE(m.ParseFromString(bytes));
  return m;
}

TEST(GraphConfigWireTest, EmptyAndZeroValues) {
  CalculatorGraphConfig config;
  EXPECT_TRUE(config.ParseFromArray("", 0));
  EXPECT_EQ(config.node_size(), 0);

  // Zero scalars, false bools and empty strings have no presence and are not written.
  config.set_num_threads(0);
  config.set_report_deadlock(false);
  config.set_package("");
  EXPECT_EQ(config.SerializeAsString(), "");

  config.set_max_queue_size(-1);
  EXPECT_EQ(config.SerializeAsString(),
            Bytes({0x58, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
  EXPECT_EQ(Parsed<CalculatorGraphConfig>(config.SerializeAsString()).max_queue_size(), -1);
}

TEST(GraphConfigWireTest, PresentEmptySubMessageIsWrittenAndKept) {
  CalculatorGraphConfig::Node node;
  EXPECT_EQ(node.SerializeAsString(), "");
  node.mutable_input_stream_handler();
  EXPECT_EQ(node.SerializeAsString(), Bytes({0x5A, 0x00}));
  auto parsed = Parsed<CalculatorGraphConfig::Node>(Bytes({0x5A, 0x00}));
  EXPECT_TRUE(parsed.has_input_stream_handler());
  EXPECT_FALSE(parsed.input_stream_handler().has_input_stream_handler());

  CalculatorGraphConfig config;
  config.mutable_options();
  EXPECT_EQ(config.SerializeAsString(), Bytes({0xCA, 0x3E, 0x00}));
}

TEST(GraphConfigWireTest, UnknownFieldsAreKeptAndWrittenLast) {
  // Field 3 (not in the schema) as varint 7, then the graph options (field 1001), then
  // num_threads (field 8) with wire type 2, which is not its own wire type.
  const std::string input = Bytes({0x18, 0x07, 0xCA, 0x3E, 0x00, 0x42, 0x01, 0x41});
  auto config = Parsed<CalculatorGraphConfig>(input);
  EXPECT_EQ(config.num_threads(), 0);
  EXPECT_TRUE(config.has_options());
  EXPECT_EQ(config.SerializeAsString(),
            Bytes({0xCA, 0x3E, 0x00, 0x18, 0x07, 0x42, 0x01, 0x41}));

  // Merging appends the source's unknown bytes after the target's.
  auto target = Parsed<CalculatorGraphConfig>(Bytes({0x18, 0x01}));
  target.MergeFrom(Parsed<CalculatorGraphConfig>(Bytes({0x18, 0x02})));
  EXPECT_EQ(target.SerializeAsString(), Bytes({0x18, 0x01, 0x18, 0x02}));
}

TEST(GraphConfigWireTest, RepeatedOccurrencesOfSingularFields) {
  // name "a", options {flag}, name "b", options {ext {value 5}}: the last name wins and
  // both option messages merge into one.
  CalculatorOptions first;
  first.set_flag(true);
  CalculatorOptions second;
  second.MutableExtension(TestCalculatorOptions::ext)->set_value(5);
  std::string input = Bytes({0x0A, 0x01, 'a'});
  input += Bytes({0x3A, static_cast<int>(first.ByteSizeLong())}) + first.SerializeAsString();
  input += Bytes({0x0A, 0x01, 'b'});
  input += Bytes({0x3A, static_cast<int>(second.ByteSizeLong())}) + second.SerializeAsString();
  auto node = Parsed<CalculatorGraphConfig::Node>(input);
  EXPECT_EQ(node.name(), "b");
  EXPECT_TRUE(node.options().flag());
  EXPECT_EQ(node.options().GetExtension(TestCalculatorOptions::ext).value(), 5);

  // A packed int32 list given as single varints reads in order and is written packed.
  auto profiler = Parsed<ProfilerConfig>(Bytes({0x40, 0x01, 0x40, 0x02, 0x40, 0x03}));
  EXPECT_THAT(profiler.int32_values_8(), ::testing::ElementsAre(1, 2, 3));
  EXPECT_EQ(profiler.SerializeAsString(), Bytes({0x42, 0x03, 0x01, 0x02, 0x03}));
}

TEST(GraphConfigWireTest, Utf8IsCheckedOnlyInGraphConfigurationStrings) {
  // Node name 0xFF: the whole parse fails.
  CalculatorGraphConfig::Node node;
  EXPECT_FALSE(node.ParseFromString(Bytes({0x0A, 0x01, 0xFF})));
  CalculatorGraphConfig config;
  EXPECT_FALSE(config.ParseFromString(Bytes({0x0A, 0x03, 0x0A, 0x01, 0xFF})));

  // Writing such a string logs an error naming the field and writes it all the same.
  node.Clear();
  node.set_name("\xFF");
  ::testing::internal::CaptureStderr();
  const std::string written = node.SerializeAsString();
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(written, Bytes({0x0A, 0x01, 0xFF}));
  EXPECT_THAT(log, ::testing::HasSubstr("pellumo.CalculatorGraphConfig.Node.name"));

  // The stream-handler messages take their strings as raw bytes.
  auto handler = Parsed<InputStreamHandlerConfig>(Bytes({0x0A, 0x01, 0xFF}));
  EXPECT_EQ(handler.input_stream_handler(), "\xFF");
}

TEST(GraphConfigWireTest, EnumValuesOutsideTheirRange) {
  // The graph configuration's enumeration is open: 9 is stored and written back.
  auto collection = Parsed<InputCollection>(Bytes({0x18, 0x09}));
  EXPECT_EQ(collection.input_type(), 9);
  EXPECT_FALSE(InputCollection_InputType_IsValid(9));
  EXPECT_EQ(InputCollection_InputType_Name(static_cast<InputCollection_InputType>(9)), "");
  EXPECT_EQ(collection.SerializeAsString(), Bytes({0x18, 0x09}));
  InputCollection_InputType type = InputCollection::RECORDIO;
  EXPECT_FALSE(InputCollection_InputType_Parse("recordio", &type));
  EXPECT_EQ(type, InputCollection::RECORDIO);

  // Options enumerations are closed: an unknown value is not stored but kept as an unknown
  // field, in arrival order after the known fields.
  auto options = Parsed<TestCalculatorOptions>(Bytes({0x20, 0x05, 0x08, 0x02}));
  EXPECT_FALSE(options.has_mode());
  EXPECT_EQ(options.value(), 2);
  EXPECT_EQ(options.SerializeAsString(), Bytes({0x08, 0x02, 0x20, 0x05}));
}

TEST(OptionsWireTest, UnregisteredExtensionsRoundTripUnchanged) {
  // Extension 400000000 (registered by nobody) holding field 1 = 3, a registered extension
  // with the wrong wire type, then the carrier's own flag.
  const std::string input = Bytes({0x82, 0xC0, 0xF0, 0xF5, 0x0B, 0x02, 0x08, 0x03,  //
                                   0x88, 0xB0, 0xB4, 0xF8, 0x08, 0x01,              //
                                   0x08, 0x01});
  auto options = Parsed<CalculatorOptions>(input);
  EXPECT_TRUE(options.flag());
  EXPECT_FALSE(options.HasExtension(TestCalculatorOptions::ext));
  EXPECT_EQ(options.SerializeAsString(), Bytes({0x08, 0x01}) + input.substr(0, 14));

  CalculatorOptions copy;
  copy.CopyFrom(options);
  EXPECT_EQ(copy.SerializeAsString(), options.SerializeAsString());
}

TEST(OptionsWireTest, ExtensionReadsAndMerges) {
  CalculatorOptions options;
  // Absent: the default instance, nothing created.
  EXPECT_EQ(options.GetExtension(TestCalculatorOptions::ext).value(), 7);
  EXPECT_FALSE(options.HasExtension(TestCalculatorOptions::ext));

  // Two occurrences of one extension merge: scalars of the second win, lists concatenate.
  TestCalculatorOptions a, b;
  a.set_value(1);
  a.set_label("a");
  a.add_item(1);
  b.set_value(2);
  b.add_item(2);
  CalculatorOptions first, second;
  *first.MutableExtension(TestCalculatorOptions::ext) = a;
  *second.MutableExtension(TestCalculatorOptions::ext) = b;
  options = Parsed<CalculatorOptions>(first.SerializeAsString() + second.SerializeAsString());
  const TestCalculatorOptions& merged = options.GetExtension(TestCalculatorOptions::ext);
  EXPECT_EQ(merged.value(), 2);
  EXPECT_EQ(merged.label(), "a");
  EXPECT_THAT(merged.item(), ::testing::ElementsAre(1, 2));
}

TEST(OptionsWireTest, PresenceAndDefaultsOfProto2Messages) {
  PacketGeneratorOptions generator;
  EXPECT_TRUE(Parsed<PacketGeneratorOptions>("").flag());
  EXPECT_FALSE(generator.has_flag());
  EXPECT_EQ(generator.SerializeAsString(), "");

  InputStreamHandlerConfig input;
  EXPECT_EQ(input.input_stream_handler(), "DefaultInputStreamHandler");
  EXPECT_EQ(input.SerializeAsString(), "");
  input.set_input_stream_handler("DefaultInputStreamHandler");
  EXPECT_EQ(input.SerializeAsString(), Bytes({0x0A, 0x19}) + "DefaultInputStreamHandler");

  OutputStreamHandlerConfig output;
  EXPECT_EQ(output.output_stream_handler(), "InOrderOutputStreamHandler");
  EXPECT_EQ(output.SerializeAsString(), "");

  DefaultInputStreamHandlerOptions batch;
  EXPECT_EQ(batch.batch_size(), 1);
  EXPECT_EQ(batch.SerializeAsString(), "");
  batch.set_batch_size(1);
  EXPECT_EQ(batch.SerializeAsString(), Bytes({0x08, 0x01}));

  // A present empty string survives a copy.
  PacketFactoryConfig factory;
  factory.set_output_side_packet("");
  PacketFactoryConfig factory_copy;
  factory_copy.CopyFrom(factory);
  EXPECT_EQ(factory_copy.SerializeAsString(), Bytes({0x12, 0x00}));
}

TEST(OptionsWireTest, MergeAndClearOfStreamHandlerConfig) {
  InputStreamHandlerConfig target;
  target.set_input_stream_handler("ImmediateInputStreamHandler");
  target.MergeFrom(InputStreamHandlerConfig());
  EXPECT_EQ(target.input_stream_handler(), "ImmediateInputStreamHandler");
  InputStreamHandlerConfig source;
  source.set_input_stream_handler("DefaultInputStreamHandler");
  target.MergeFrom(source);
  EXPECT_EQ(target.input_stream_handler(), "DefaultInputStreamHandler");

  target.mutable_options()->MutableExtension(DefaultInputStreamHandlerOptions::ext);
  EXPECT_EQ(target.SerializeAsString(),
            Bytes({0x0A, 0x19}) + "DefaultInputStreamHandler" +
                Bytes({0x1A, 0x06, 0xAA, 0xEF, 0xE6, 0xF2, 0x04, 0x00}));
  target.Clear();
  EXPECT_FALSE(target.has_options());
  EXPECT_FALSE(target.has_input_stream_handler());
  EXPECT_EQ(target.input_stream_handler(), "DefaultInputStreamHandler");

  // Merging a node keeps the target's executor when the source's is empty.
  CalculatorGraphConfig::Node node;
  node.set_executor("gpu_thread");
  node.MergeFrom(CalculatorGraphConfig::Node());
  EXPECT_EQ(node.executor(), "gpu_thread");
}

}  // namespace
}  // namespace pellumo
