// Throttling of graph input by a full poller, whose queue only its reader drains.
#include <cstdint>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include "base/status.h"
#include "graph/calculator_graph.h"
#include "graph/packet.h"
#include "graph/stream_handler/default_input_stream_handler.h"
#include "graph/stream_handler/in_order_output_stream_handler.h"
#include "graph/timestamp.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

absl::Status AddAt(CalculatorGraph* graph, int64_t timestamp) {
  return graph->AddPacketToInputStream("in", MakePacket<int>(0).At(Timestamp(timestamp)));
}

// The thread that adds is the one that polls: a full poller must refuse its adds, not hold
// the thread inside one, and reading the poller must let the input through again.
TEST(CalculatorGraphThrottleTest, FullPollerThrottlesTheGraphInputThatFeedsItUntilRead) {
  // Links in the stream handlers, which register themselves by name.
  ASSERT_STRNE(typeid(DefaultInputStreamHandler).name(), "");
  ASSERT_STRNE(typeid(InOrderOutputStreamHandler).name(), "");
  for (const bool application_thread : {false, true}) {
    SCOPED_TRACE(application_thread ? "application thread" : "thread pool");
    pellumo::CalculatorGraphConfig config;
    config.add_input_stream("in");
    if (application_thread) config.add_executor()->set_type("ApplicationThreadExecutor");
    CalculatorGraph graph;
    const absl::Status initialized = graph.Initialize(config);
    ASSERT_TRUE(initialized.ok()) << initialized;
    util::StatusOr<OutputStreamPoller> poller = graph.AddOutputStreamPoller("in");
    ASSERT_TRUE(poller.ok());
    poller->SetMaxQueueSize(2);
    ASSERT_TRUE(graph.StartRun({}).ok());
    graph.SetGraphInputStreamAddMode(CalculatorGraph::FAIL_WHEN_FULL);

    ASSERT_TRUE(AddAt(&graph, 0).ok());
    ASSERT_TRUE(AddAt(&graph, 1).ok());
    EXPECT_EQ(AddAt(&graph, 2), absl::UnavailableError("Graph is throttled."));

    std::vector<int64_t> polled;
    Packet packet;
    ASSERT_TRUE(poller->Next(&packet));
    polled.push_back(packet.Timestamp().Value());
    EXPECT_TRUE(AddAt(&graph, 2).ok());

    ASSERT_TRUE(graph.CloseAllInputStreams().ok());
    while (poller->Next(&packet)) polled.push_back(packet.Timestamp().Value());
    ASSERT_TRUE(graph.WaitUntilDone().ok());
    EXPECT_EQ(polled, (std::vector<int64_t>{0, 1, 2}));
  }
}

}  // namespace
}  // namespace kaldren
