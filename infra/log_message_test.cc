#include "infra/log_message.h"

#include <thread>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/dispatch/dispatch.h"

namespace {

TEST(LogMetadataTest, DifferentFactoriesWithTheSamePairsAreEqualAndHashAlike) {
  auto error = NSError::errorWithDomain("d", -1);
  auto stack = ZRBLogSymbolCallstack::initWithSymbols({"a", "b"});
  auto four = ZRBLogMetadata::metadataWithObfuscatedHollinID("id", "comp", error, stack);
  auto derived = ZRBLogMetadata::metadataWithComponent("comp", stack)
                     ->metadataByAddingObfuscatedHollinID("id")
                     ->metadataByAddingCause(NSError::errorWithDomain("d", -1));
  auto from_dictionary = ZRBLogMetadata::initWithProperties(
      {{ZRBLogMetadataObfuscatedHollinID, std::string("id")},
       {ZRBLogMetadataComponent, std::string("comp")},
       {ZRBLogMetadataCause, error},
       {ZRBLogMetadataCallstack, std::shared_ptr<ZRBLogCallstack>(
                                     ZRBLogSymbolCallstack::initWithSymbols({"a", "b"}))}});
  EXPECT_TRUE(four->isEqual(derived.get()));
  EXPECT_TRUE(four->isEqual(from_dictionary.get()));
  EXPECT_EQ(four->hash(), derived->hash());
  EXPECT_EQ(four->hash(), from_dictionary->hash());
  EXPECT_FALSE(four->isEqual(nullptr));

  // None leaves a key out; two-value factories agree with their one-value forms.
  EXPECT_TRUE(ZRBLogMetadata::metadataWithObfuscatedHollinID(std::nullopt, "comp")
                  ->isEqual(ZRBLogMetadata::metadataWithComponent("comp").get()));
  EXPECT_TRUE(ZRBLogMetadata::metadataWithCause(nullptr)->properties().empty());
}

TEST(LogMetadataTest, AddingNoneRemovesTheKeyAndLeavesTheReceiver) {
  auto metadata = ZRBLogMetadata::metadataWithObfuscatedHollinID("id", "comp");
  auto without = metadata->metadataByAddingComponent(std::nullopt);
  EXPECT_EQ(without->component(), std::nullopt);
  EXPECT_EQ(without->obfuscatedHollinID(), "id");
  EXPECT_EQ(metadata->component(), "comp");
  EXPECT_EQ(metadata->cause(), nullptr);
  EXPECT_EQ(metadata->propertyForKey("unknown"), nullptr);
}

TEST(SafeParameterTest, TypesAndEquality) {
  EXPECT_EQ(ZRBSafeParameter::initWithType(5), nullptr);
  EXPECT_EQ(ZRBSafeStringParameter::parameterWithString("x", 5), nullptr);
  EXPECT_EQ(ZRBSafeNumberParameter::parameterWithNumber(int64_t{1}, 99), nullptr);
  EXPECT_FALSE(ZRBSafeParameter::initWithType(0)->isUploadSafeType());
  for (uint64_t type = 1; type <= 4; ++type) {
    EXPECT_TRUE(ZRBSafeParameter::initWithType(type)->isUploadSafeType()) << type;
  }
  auto a = ZRBSafeStringParameter::parameterWithString("x", 1);
  auto b = ZRBSafeStringParameter::parameterWithString("x", 1);
  EXPECT_TRUE(a->isEqual(b.get()));
  EXPECT_EQ(a->hash(), b->hash());
  EXPECT_FALSE(a->isEqual(ZRBSafeStringParameter::parameterWithString("x", 2).get()));
  EXPECT_FALSE(a->isEqual(ZRBSafeNumberParameter::parameterWithNumber(int64_t{1}, 1).get()));
  EXPECT_TRUE(ZRBSafeStringParameter::parameterWithString(std::nullopt, 3)
                  ->isEqual(ZRBSafeStringParameter::parameterWithString(std::nullopt, 3).get()));
  EXPECT_EQ(a->description(), "x");
  EXPECT_EQ(ZRBSafeNumberParameter::parameterWithNumber(int64_t{-7}, 1)->description(), "-7");
  EXPECT_EQ(ZRBSafeNumberParameter::parameterWithNumber(1.5, 1)->description(), "1.5");
}

std::shared_ptr<ZRBLogMessage> MessageWith(std::shared_ptr<ZRBLogCallstack> stack) {
  return ZRBLogMessage::initWithLevel(
      3, "%@", "x", "infra/a.cc", "f", 7, "t", std::nullopt, std::move(stack),
      ZRBSafeParameters{{0, ZRBSafeStringParameter::parameterWithString("x", 1)}},
      ZRBLogMetadata::metadataWithComponent("c"));
}

TEST(LogMessageTest, EqualityComparesEveryFieldWithNoneEqualToNone) {
  auto plain = MessageWith(nullptr);
  EXPECT_TRUE(plain->isEqual(MessageWith(nullptr).get()));
  EXPECT_EQ(plain->hash(), MessageWith(nullptr)->hash());
  auto with_stack = MessageWith(ZRBLogSymbolCallstack::initWithSymbols({"a"}));
  EXPECT_FALSE(plain->isEqual(with_stack.get()));
  EXPECT_FALSE(with_stack->isEqual(MessageWith(ZRBLogSymbolCallstack::initWithSymbols({"b"})).get()));
  EXPECT_TRUE(with_stack->isEqual(MessageWith(ZRBLogSymbolCallstack::initWithSymbols({"a"})).get()));
  auto other_level = ZRBLogMessage::initWithLevel(4, "%@", "x", "infra/a.cc", "f", 7, "t",
                                                  std::nullopt, nullptr, std::nullopt, nullptr);
  EXPECT_FALSE(plain->isEqual(other_level.get()));
}

TEST(LogMessageTest, DispatchQueueLabel) {
  std::optional<std::string> on_thread = "unset";
  std::thread([&] { on_thread = ZRBCurrentDispatchQueueLabel(); }).join();
  EXPECT_EQ(on_thread, std::nullopt) << "a plain thread runs no queue";
  auto queue = dispatch_queue_create("infra.label", DISPATCH_QUEUE_SERIAL);
  std::optional<std::string> label;
  dispatch_sync(queue, [&] { label = ZRBCurrentDispatchQueueLabel(); });
  EXPECT_EQ(label, "infra.label");
}

}  // namespace
