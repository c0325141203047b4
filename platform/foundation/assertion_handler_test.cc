#include "platform/foundation/assertion_handler.h"

#include <thread>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/foundation/system_log.h"

namespace {

using platform::foundation::RecordingAssertionHandler;
using platform::foundation::ScopedAssertionHandler;

class Graph {
 public:
  // Refuses to change after start, but goes on when the handler returns.
  int setSidePacket(int value) {
    NSAssert(!started_, "%s must be called before the graph is started", "setSidePacket");
    value_ = value;
    return value_;
  }
  bool started_ = true;
  int value_ = 0;
};

int CheckedWidth(int width) {
  NSCAssert(width > 0, "Invalid major width: %d", width);
  return width;
}

TEST(AssertionHandlerTest, ReplacedHandlerRecordsMethodFileAndLineAndReturns) {
  auto handler = std::make_shared<RecordingAssertionHandler>();
  ScopedAssertionHandler scoped(handler);
  Graph graph;
  int line = __LINE__ + 1;
  EXPECT_EQ(graph.setSidePacket(7), 7);  // the call goes on after the report
  EXPECT_EQ(CheckedWidth(0), 0);
  EXPECT_EQ(CheckedWidth(3), 3);  // no report when the condition holds

  auto failures = handler->failures();
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_TRUE(failures[0].in_method);
  EXPECT_EQ(failures[0].name, "{anonymous}::Graph::setSidePacket");
  EXPECT_EQ(failures[0].file, "platform/foundation/assertion_handler_test.cc");
  EXPECT_EQ(failures[0].description, "setSidePacket must be called before the graph is started");
  EXPECT_GT(failures[0].line, 0);
  EXPECT_LT(failures[0].line, line);  // the line of the NSAssert inside the method
  EXPECT_FALSE(failures[1].in_method);
  EXPECT_EQ(failures[1].name, "CheckedWidth");
  EXPECT_EQ(failures[1].description, "Invalid major width: 0");
}

TEST(AssertionHandlerTest, OneHandlerServesEveryThreadAndScopesRestore) {
  auto outer = std::make_shared<RecordingAssertionHandler>();
  ScopedAssertionHandler scoped_outer(outer);
  {
    auto inner = std::make_shared<RecordingAssertionHandler>();
    ScopedAssertionHandler scoped_inner(inner);
    std::thread([] { CheckedWidth(-1); }).join();
    EXPECT_EQ(inner->failures().size(), 1u);
  }
  CheckedWidth(-2);
  ASSERT_EQ(outer->failures().size(), 1u);
  EXPECT_EQ(outer->failures()[0].description, "Invalid major width: -2");
}

TEST(AssertionHandlerDeathTest, DefaultHandlerLogsLocationAndAborts) {
  EXPECT_DEATH(CheckedWidth(0),
               "Assertion failure in CheckedWidth, "
               "platform/foundation/assertion_handler_test.cc:[0-9]+: Invalid major width: 0");
}

TEST(AssertionHandlerTest, MethodNameFromSignature) {
  using platform::foundation::internal::MethodNameFromSignature;
  struct Case {
    const char* signature;
    const char* name;
  };
  for (const Case& c : {
           Case{"bool PellumoGraph::setSidePacket(const Packet&, const string&)",
                "PellumoGraph::setSidePacket"},
           Case{"void Foo::bar() const", "Foo::bar"},
           Case{"std::map<int, int> Foo::Table(int)", "Foo::Table"},
           Case{"static std::shared_ptr<Foo> Foo::make()", "Foo::make"},
           Case{"Foo::Foo(int)", "Foo::Foo"},
           Case{"int Foo::operator()(int)", "Foo::operator()"},
           Case{"void ns::Run()::<lambda()>", "ns::Run"},
       }) {
    EXPECT_EQ(MethodNameFromSignature(c.signature), c.name) << c.signature;
  }
}

}  // namespace
