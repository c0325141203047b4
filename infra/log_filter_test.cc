#include "infra/log_filter.h"

#include "gtest/gtest.h"

namespace {

std::shared_ptr<ZRBLogMessage> Message(uint64_t level, std::shared_ptr<ZRBLogMetadata> metadata) {
  return ZRBLogMessage::initWithLevel(level, "f", "f", std::nullopt, std::nullopt, 0, std::nullopt,
                                      std::nullopt, nullptr, std::nullopt, std::move(metadata));
}

TEST(LogFilterTest, TruthTable) {
  auto yes = ZRBLogNoFilter::init();
  auto no = ZRBLogDropAllFilter::init();
  auto min4 = ZRBLogMininumLevelFilter::initWithMinimumLevel(4);
  auto flags = ZRBLogComponentFilter::initWithComponent("flags");
  auto level3 = Message(3, nullptr);
  auto level4 = Message(4, nullptr);
  auto huge = Message(UINT64_MAX, nullptr);
  auto from_flags = Message(0, ZRBLogMetadata::metadataWithComponent("flags"));
  auto from_other = Message(0, ZRBLogMetadata::metadataWithComponent("other"));
  auto no_component = Message(0, ZRBLogMetadata::metadataWithObfuscatedHollinID("id"));
  struct Row {
    const char* name;
    std::shared_ptr<ZRBLogFilter> filter;
    std::shared_ptr<ZRBLogMessage> message;
    bool allowed;
  };
  const Row rows[] = {
      {"no_filter", yes, level3, true},
      {"drop_all", no, level4, false},
      {"minimum_allows_equal", min4, level4, true},
      {"minimum_refuses_below", min4, level3, false},
      {"minimum_unsigned", min4, huge, true},
      {"component_match", flags, from_flags, true},
      {"component_other", flags, from_other, false},
      {"component_missing", flags, no_component, false},
      {"component_no_metadata", flags, level4, false},
      {"empty_and", ZRBLogLogicalAndFilter::initWithFilters({}), level4, false},
      {"empty_or", ZRBLogLogicalOrFilter::initWithFilters({}), level4, false},
      {"and_all_yes", ZRBLogLogicalAndFilter::initWithFilters({yes, min4}), level4, true},
      {"and_one_no", ZRBLogLogicalAndFilter::initWithFilters({yes, min4}), level3, false},
      {"or_one_yes", ZRBLogLogicalOrFilter::initWithFilters({no, flags}), from_flags, true},
      {"or_all_no", ZRBLogLogicalOrFilter::initWithFilters({no, flags}), from_other, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.filter->allowLogMessage(row.message), row.allowed) << row.name;
  }
}

// Members are asked in order and the deciding answer ends the walk.
TEST(LogFilterTest, LogicalFiltersStopAtTheDecidingMember) {
  class Counting : public ZRBLogFilter {
   public:
    explicit Counting(bool answer) : answer_(answer) {}
    bool allowLogMessage(const std::shared_ptr<ZRBLogMessage>&) override {
      ++calls;
      return answer_;
    }
    int calls = 0;

   private:
    bool answer_;
  };
  auto message = Message(1, nullptr);
  auto later = std::make_shared<Counting>(true);
  EXPECT_TRUE(ZRBLogLogicalOrFilter::initWithFilters({std::make_shared<Counting>(true), later})
                  ->allowLogMessage(message));
  EXPECT_FALSE(ZRBLogLogicalAndFilter::initWithFilters({std::make_shared<Counting>(false), later})
                   ->allowLogMessage(message));
  EXPECT_EQ(later->calls, 0);
}

}  // namespace
