#include "usage_log/log_transformers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <random>
#include <set>
#include <thread>

#include "experiment_flags/marovic_error.h"
#include "experiment_flags/marovic_stub_test_util.h"
#include "platform/foundation/device.h"
#include "usage_log/farmhash.h"
#include "experiment_flags/fake_flags_test_util.h"

namespace {

using ::testing::ElementsAre;

TEST(FarmHashTest, KnownFingerprints) {
  EXPECT_EQ(util::Fingerprint64("hello"), 0xb48be5a931380ce8ull);
  EXPECT_EQ(JQXFarmHash::fingerprint64ForString("hello"), 0xb48be5a931380ce8ull);
  // The string form stops at the first zero byte.
  EXPECT_EQ(JQXFarmHash::fingerprint64ForString(std::string("hello\0tail", 10)),
            0xb48be5a931380ce8ull);
  // Every length class gives a value of its own and the same value again.
  std::string text(200, 'a');
  std::set<uint64_t> seen;
  for (size_t len : {0, 1, 3, 4, 8, 16, 17, 32, 33, 64, 65, 128, 200}) {
    uint64_t h = util::Fingerprint64(text.data(), len);
    EXPECT_EQ(h, util::Fingerprint64(text.data(), len));
    seen.insert(h);
  }
  EXPECT_EQ(seen.size(), 13u);
}

// Keys past 16 bytes take the fingerprint's longer paths (17-32, 33-64 and over 64 bytes); the
// device key is a 36-byte identifier. The values come from Debian's libfarmhash, an
// implementation independent of ours, called from Python through ctypes.
TEST(FarmHashTest, KnownFingerprintsOfLongKeys) {
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += static_cast<char>('a' + i % 26);
  const std::pair<std::string, uint64_t> cases[] = {
      {"abcdefghijklmnopqrst", 0x65fed21c0de0497eull},
      {"123E4567-E89B-12D3-A456-426614174000", 0x2c5aca8b380eadd2ull},
      {hundred, 0xd4d417919b0a94e2ull},
  };
  for (const auto& [key, fingerprint] : cases) {
    SCOPED_TRACE(key.size());
    EXPECT_EQ(JQXFarmHash::fingerprint64ForString(key), fingerprint);
  }
}

LogSamplingRules::Rule Rule(int64_t numerator, int64_t denominator, const std::string& token = "",
                            std::optional<int32_t> code = std::nullopt) {
  LogSamplingRules::Rule rule;
  rule.set_keep_numerator(numerator);
  rule.set_keep_denominator(denominator);
  if (!token.empty()) rule.set_correlation_token(token);
  if (code) rule.set_event_code(*code);
  return rule;
}

class SamplerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_->setNumber("enable_log_sampling_rules", ZQLMarovicNumber::Boolean(true));
    std::mt19937_64 random(25);
    for (int i = 0; i < 20000; ++i) keys_.push_back("device-" + std::to_string(random()));
  }

  void SetRules(const std::vector<LogSamplingRules::Rule>& list) {
    LogSamplingRules rules;
    for (const auto& rule : list) *rules.add_rules() = rule;
    fake_->setData("sampling_rules_for_log_source_700", rules.SerializeAsString());
  }

  // Which keys keep an event of `code`.
  std::vector<bool> Kept(int32_t code = 0) {
    std::vector<bool> kept;
    for (const std::string& key : keys_) {
      auto sampler = JQXLogSampler::initWithFlags(flags_, key);
      auto event = JQXTrassenLogEvent::initWithLogSource(700, true, 0, 0, 0);
      event->setEventCode(code);
      kept.push_back(sampler->transform(event) != nullptr);
    }
    return kept;
  }
  static double Share(const std::vector<bool>& kept) {
    return static_cast<double>(std::count(kept.begin(), kept.end(), true)) / kept.size();
  }

  std::shared_ptr<FakeMarovicFlags> fake_ = std::make_shared<FakeMarovicFlags>();
  std::shared_ptr<JQXTrassenFlags> flags_ = JQXTrassenFlags::initWithMarovicFlags(fake_);
  std::vector<std::string> keys_;
};

TEST_F(SamplerTest, OneRuleKeepsItsShareOfDevices) {
  SetRules({Rule(1, 4)});
  EXPECT_NEAR(Share(Kept()), 0.25, 0.01);
  // The same device decides the same way every time.
  EXPECT_EQ(Kept(), Kept());
}

TEST_F(SamplerTest, TwoRulesDrawIndependentlyUnlessTheirTokensAgree) {
  SetRules({Rule(1, 2, "a")});
  std::vector<bool> one_rule = Kept();
  SetRules({Rule(1, 2, "a"), Rule(1, 2, "b")});
  EXPECT_NEAR(Share(Kept()), 0.25, 0.01);
  SetRules({Rule(1, 2, "a"), Rule(1, 2, "a")});
  EXPECT_EQ(Kept(), one_rule);
}

TEST_F(SamplerTest, RulesThatKeepOrDropOutright) {
  struct Case {
    const char* name;
    std::vector<LogSamplingRules::Rule> rules;
    int32_t code;
    double share;
  };
  const Case cases[] = {
      {"3/2 keeps all", {Rule(3, 2)}, 0, 1.0},
      {"denominator 0 keeps all, before a rule that drops", {Rule(1, 0), Rule(0, 10)}, 0, 1.0},
      {"0/10 drops all", {Rule(0, 10)}, 0, 0.0},
      {"a rule for code 5 skips code 0", {Rule(0, 10, "", 5)}, 0, 1.0},
      {"a rule for code 5 applies to code 5", {Rule(0, 10, "", 5)}, 5, 0.0},
      {"a rule without a code applies to code 0", {Rule(0, 10)}, 0, 0.0},
      {"no rules keep all", {}, 0, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetRules(c.rules);
    keys_.resize(200);
    EXPECT_EQ(Share(Kept(c.code)), c.share);
  }
}

TEST_F(SamplerTest, SettingsAndDeviceKey) {
  SetRules({Rule(0, 10)});
  auto event = JQXTrassenLogEvent::initWithLogSource(700, true, 0, 0, 0);
  auto sampler = JQXLogSampler::initWithFlags(flags_, std::nullopt);
  EXPECT_EQ(sampler->transform(event), nullptr);
  // The device's vendor identifier became the key.
  ASSERT_NE(sampler->idfv(), nullptr);
  EXPECT_EQ(*sampler->idfv(), UIDevice::currentDevice()->identifierForVendor()->UUIDString());

  // Without a vendor identifier every event is kept.
  auto device = platform::foundation::CurrentDevice();
  device.identifierForVendor.reset();
  platform::foundation::SetDevice(device);
  EXPECT_EQ(JQXLogSampler::initWithFlags(flags_, std::nullopt)->transform(event), event);
  platform::foundation::ResetDevice();

  // Rules are not read while they are switched off; sampling everything drops every event.
  fake_->setNumber("enable_log_sampling_rules", ZQLMarovicNumber::Boolean(false));
  EXPECT_EQ(sampler->transform(event), event);
  fake_->setNumber("sample_all_log_sources", ZQLMarovicNumber::Boolean(true));
  EXPECT_EQ(sampler->transform(event), nullptr);

  EXPECT_EQ(JQXLogSampler::initWithFlags(nullptr, std::nullopt), nullptr);
  EXPECT_EQ(JQXLogSampler::initWithFlags(flags_, ""), nullptr);
}

// A store whose answers the test chooses, given on another thread after a while.
class FakeMarovic : public ZQLMarovicStub {
 public:
  using ZQLMarovicStub::experimentTokens;
  void experimentTokens(int64_t logSource, const std::string& user,
                        TokensCallback callback) override {
    ++calls;
    last_user = user;
    last_source = logSource;
    std::thread([this, callback] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      callback(tokens, error);
    }).detach();
  }

  std::atomic<int> calls{0};
  std::string last_user;
  int64_t last_source = 0;
  std::shared_ptr<ZQLMarovicExperimentTokens> tokens;
  std::shared_ptr<NSError> error;
};

TEST(MarovicLogTransformerTest, AnswersOfTheStore) {
  auto store = std::make_shared<FakeMarovic>();
  auto transformer = JQXMarovicLogTransformer::initWithMarovic(store);
  auto event_for = [] {
    auto event = JQXTrassenLogEvent::initWithLogSource(700, false, 0, 0, 0);
    event->setObfuscatedHollinID("acct");
    return event;
  };

  for (long code : {-2L, -3L}) {
    store->error = NSError::errorWithDomain(kZQLMarovicErrorDomain, code);
    auto event = event_for();
    EXPECT_EQ(transformer->transform(event), event);
    EXPECT_EQ(event->experimentIDs(), std::nullopt) << code;
    EXPECT_EQ(event->experimentTokens(), std::nullopt) << code;
  }
  for (auto error : {NSError::errorWithDomain(kZQLMarovicErrorDomain, -10),
                     NSError::errorWithDomain("elsewhere", -3)}) {
    store->error = error;
    auto event = event_for();
    transformer->transform(event);
    ASSERT_TRUE(event->experimentIDs().has_value());
    EXPECT_THAT(*event->experimentIDs(), ElementsAre(14900290));
  }
  store->error = nullptr;
  store->tokens = ZQLMarovicExperimentTokens::initWithUser("acct", {"tok"}, {});
  auto event = event_for();
  transformer->transform(event);
  EXPECT_EQ(store->last_user, "acct");
  EXPECT_EQ(store->last_source, 700);
  auto proto = event->toLogEventProto();
  EXPECT_THAT(proto->experiment_ids().encrypted_blob(), ElementsAre("tok"));

  // Anonymous events pass unchanged without asking the store.
  int before = store->calls;
  auto anonymous = JQXTrassenLogEvent::initWithLogSource(700, true, 0, 0, 0);
  EXPECT_EQ(transformer->transform(anonymous), anonymous);
  EXPECT_EQ(store->calls, before);
  EXPECT_EQ(anonymous->experimentTokens(), std::nullopt);
}

}  // namespace
