// Every name registered from a static initialiser can be created, in a binary that links the
// registering libraries as applications do (whole). A linker that dropped a registering
// object would show here as a missing name.

#include <memory>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph/calculator_base.h"
#include "graph/calculator_context_manager.h"
#include "graph/calculator_static_access.h"
#include "graph/executor.h"
#include "graph/legacy_calculator.h"
#include "graph/input_stream_handler.h"
#include "graph/output_stream_handler.h"
#include "graph/packet_generator.h"
#include "graph/registration_macros.h"
#include "graph/status_handler.h"
#include "graph/thread_pool_executor.pb.h"
#include "graph_config/pellumo_options.pb.h"
#include "graph_config/tag_map.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace {

using ::testing::IsSupersetOf;

TEST(RegisteredNamesTest, TheSystemsOwnComponentsAreRegistered) {
  EXPECT_THAT(CalculatorBaseRegistry::GetRegisteredNames(),
              IsSupersetOf({"CallbackCalculator", "CallbackPacketCalculator",
                            "CallbackWithHeaderCalculator", "GlScalerCalculator",
                            "PellumoInternalSidePacketToPacketStreamCalculator",
                            "SidePacketsToStreamsCalculator"}));
  EXPECT_THAT(pellumo::CalculatorRegistry::GetRegisteredNames(),
              IsSupersetOf({"LandmarksDetectorCalculatorMetal", "LandmarksDetectorCalculatorGPU",
                            "QuorrelFaceTransformCalculator"}));
  EXPECT_THAT(InputStreamHandlerRegistry::GetRegisteredNames(),
              IsSupersetOf({"DefaultInputStreamHandler"}));
  EXPECT_THAT(OutputStreamHandlerRegistry::GetRegisteredNames(),
              IsSupersetOf({"InOrderOutputStreamHandler"}));
  EXPECT_THAT(ExecutorRegistry::GetRegisteredNames(), IsSupersetOf({"ThreadPoolExecutor"}));
  EXPECT_THAT(PacketGeneratorRegistry::GetRegisteredNames(),
              IsSupersetOf({"PacketFactoryWrapperGenerator"}));
}

TEST(RegisteredNamesTest, EveryRegisteredNameCanBeCreated) {
  for (const std::string& name : CalculatorBaseRegistry::GetRegisteredNames()) {
    auto calculator = CalculatorBaseRegistry::CreateByName(name);
    ASSERT_TRUE(calculator.ok()) << name << ": " << calculator.status();
    EXPECT_NE(*calculator, nullptr) << name;
    auto access = internal::StaticAccessToCalculatorBaseRegistry::CreateByName(name);
    ASSERT_TRUE(access.ok()) << name << ": " << access.status();
    EXPECT_NE(*access, nullptr) << name;
  }
  EXPECT_EQ(CalculatorBaseRegistry::GetRegisteredNames(),
            internal::StaticAccessToCalculatorBaseRegistry::GetRegisteredNames());

  for (const std::string& name : pellumo::CalculatorRegistry::GetRegisteredNames()) {
    auto calculator = pellumo::CalculatorRegistry::CreateByName(name);
    ASSERT_TRUE(calculator.ok()) << name << ": " << calculator.status();
    EXPECT_NE(*calculator, nullptr) << name;
  }

  auto tag_map = tool::TagMap::Create(google::protobuf::RepeatedPtrField<std::string>());
  ASSERT_TRUE(tag_map.ok());
  const pellumo::PellumoOptions no_options;
  CalculatorContextManager context_manager;
  for (const std::string& name : InputStreamHandlerRegistry::GetRegisteredNames()) {
    auto handler = InputStreamHandlerRegistry::CreateByName(name, *tag_map, &context_manager,
                                                            no_options, false);
    ASSERT_TRUE(handler.ok()) << name << ": " << handler.status();
    EXPECT_NE(*handler, nullptr) << name;
  }
  for (const std::string& name : OutputStreamHandlerRegistry::GetRegisteredNames()) {
    auto handler = OutputStreamHandlerRegistry::CreateByName(name, *tag_map, &context_manager,
                                                             no_options, false);
    ASSERT_TRUE(handler.ok()) << name << ": " << handler.status();
    EXPECT_NE(*handler, nullptr) << name;
  }

  pellumo::PellumoOptions executor_options;
  executor_options.MutableExtension(pellumo::ThreadPoolExecutorOptions::ext)->set_num_threads(1);
  for (const std::string& name : ExecutorRegistry::GetRegisteredNames()) {
    auto executor = ExecutorRegistry::CreateByName(name, executor_options);
    ASSERT_TRUE(executor.ok()) << name << ": " << executor.status();
    ASSERT_NE(*executor, nullptr) << name;
    delete *executor;
  }

  for (const std::string& name : PacketGeneratorRegistry::GetRegisteredNames()) {
    auto generator = PacketGeneratorRegistry::CreateByName(name);
    ASSERT_TRUE(generator.ok()) << name << ": " << generator.status();
    EXPECT_NE(*generator, nullptr) << name;
  }
  for (const std::string& name : StatusHandlerRegistry::GetRegisteredNames()) {
    auto handler = StatusHandlerRegistry::CreateByName(name);
    ASSERT_TRUE(handler.ok()) << name << ": " << handler.status();
    EXPECT_NE(*handler, nullptr) << name;
  }
}

}  // namespace
}  // namespace kaldren
