// A sample configuration encoded by protoc from its text form must come back byte for byte
// from our parse and write.

#include <fstream>
#include <sstream>
#include <string>

#include "graph_config/calculator.pb.h"
#include "graph_config/default_input_stream_handler.pb.h"
#include "graph_config/testdata/test_options.pb.h"
#include "gtest/gtest.h"

namespace pellumo {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST(SampleGraphTest, ParseAndWriteReproduceProtocBytes) {
  const std::string encoded = ReadFile(QM_SAMPLE_GRAPH_BINARY);
  ASSERT_FALSE(encoded.empty());

  CalculatorGraphConfig config;
  ASSERT_TRUE(config.ParseFromArray(encoded.data(), static_cast<int>(encoded.size())));
  EXPECT_EQ(config.SerializeAsString(), encoded);

  // Copies write the same bytes.
  CalculatorGraphConfig copy;
  copy.CopyFrom(config);
  EXPECT_EQ(copy.SerializeAsString(), encoded);

  // The parse saw what the text says, extensions included.
  EXPECT_EQ(config.max_queue_size(), -1);
  ASSERT_EQ(config.node_size(), 2);
  const CalculatorGraphConfig::Node& node = config.node(0);
  EXPECT_EQ(node.calculator(), "SampleDetectorCalculator");
  const auto& options = node.options().GetExtension(testing::TestCalculatorOptions::ext);
  EXPECT_EQ(options.value(), -1);
  EXPECT_EQ(options.label(), "Grüße");
  EXPECT_EQ(options.mode(), testing::TestCalculatorOptions::ACCURATE);
  EXPECT_EQ(node.input_stream_handler()
                .options()
                .GetExtension(DefaultInputStreamHandlerOptions::ext)
                .batch_size(),
            2);
  EXPECT_TRUE(node.has_output_stream_handler());
  EXPECT_EQ(config.executor(0).options().GetExtension(testing::TestExecutorOptions::ext).num_workers(),
            3);
  EXPECT_FALSE(config.packet_generator(0).options().flag());
  EXPECT_TRUE(config.packet_factory(0).has_output_side_packet());
}

}  // namespace
}  // namespace pellumo
