#include "infra/account_id.h"

#include "gtest/gtest.h"
#include "infra/error_handler.h"
#include "platform/foundation/assertion_handler.h"
#include "platform/utility/base_logger.h"

namespace {

// A Hollin id of another class: equal to XLMHollinAccountId when both texts agree.
class OtherHollin : public ZRBHollinAccountID {
 public:
  OtherHollin(std::string identifier, std::string hollin)
      : identifier_(std::move(identifier)), hollin_(std::move(hollin)) {}
  std::string identifier() const override { return identifier_; }
  std::string hollinID() const override { return hollin_; }
  std::shared_ptr<SRLAccountID> copy() const override { return nullptr; }
  bool isEqual(const SRLAccountID* other) const override { return other == this; }
  uint64_t hash() const override { return 0; }
  std::string description() const override { return ""; }
  void encodeWithCoder(NSCoder*) const override {}
  std::string classForCoder() const override { return "OtherHollin"; }

 private:
  std::string identifier_;
  std::string hollin_;
};

class AccountIdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XLMErrorHandler::registerHandler();
    XLMErrorHandler::resetAfterTest();
    XLMErrorHandler::sharedInstance()->setErrorHandlerBlock(
        [this](const std::shared_ptr<XLMErrorDescription>& error) { faults_.push_back(error); });
  }
  void TearDown() override { XLMErrorHandler::resetAfterTest(); }

  std::vector<std::shared_ptr<XLMErrorDescription>> faults_;
  platform::utility::BaseLoggerCapture base_log_;
};

TEST_F(AccountIdTest, EqualityHashCopyAndDescription) {
  auto email = XLMEmailAccountId::initWithEmail("a@b.c");
  auto hollin = XLMHollinAccountId::initWithHollinId("42");
  auto phone = XLMPhoneAccountId::initWithPhoneNumber("a@b.c");
  auto none = XLMNoAccountId::sharedInstance();
  OtherHollin other_hollin("42", "42");
  OtherHollin half_hollin("42", "43");
  struct Row {
    const char* name;
    const SRLAccountID* a;
    const SRLAccountID* b;
    bool equal;
  };
  auto same_email = XLMEmailAccountId::initWithEmail("a@b.c");
  auto same_phone = XLMPhoneAccountId::initWithPhoneNumber("a@b.c");
  auto same_hollin = XLMHollinAccountId::initWithHollinId("42");
  const Row rows[] = {
      {"email_same_text", email.get(), same_email.get(), true},
      {"email_vs_phone_same_text", email.get(), phone.get(), false},
      {"phone_same_text", phone.get(), same_phone.get(), true},
      {"hollin_same_id", hollin.get(), same_hollin.get(), true},
      {"hollin_other_class_both_texts", hollin.get(), &other_hollin, true},
      {"hollin_other_class_one_text", hollin.get(), &half_hollin, false},
      {"hollin_vs_email", hollin.get(), email.get(), false},
      {"no_account_itself", none.get(), XLMNoAccountId::sharedInstance().get(), true},
      {"no_account_vs_email", none.get(), email.get(), false},
      {"against_null", email.get(), nullptr, false},
  };
  for (const Row& row : rows) EXPECT_EQ(row.a->isEqual(row.b), row.equal) << row.name;

  const std::hash<std::string> text_hash;
  EXPECT_EQ(email->hash(), text_hash("a@b.c"));
  EXPECT_EQ(phone->hash(), text_hash("a@b.c"));
  EXPECT_EQ(hollin->hash(), text_hash("42") + 2657);
  EXPECT_EQ(none->hash(), 6389u);

  EXPECT_EQ(email->description(), "Email AccountId: a@b.c");
  EXPECT_EQ(hollin->description(), "Hollin AccountId: 42");
  EXPECT_EQ(phone->description(), "Phone AccountId: a@b.c");
  EXPECT_EQ(none->description(), "No Account Id");
  EXPECT_EQ(none->identifier(), "NO_ACCOUNT");
  EXPECT_EQ(hollin->hollinId(), "42");
  EXPECT_EQ(email->email(), "a@b.c");

  // Copies: the Hollin and no-account values are themselves, the others new and equal.
  EXPECT_EQ(hollin->copy().get(), hollin.get());
  EXPECT_EQ(none->copy().get(), none.get());
  for (const SRLAccountID* value : {static_cast<const SRLAccountID*>(email.get()),
                                    static_cast<const SRLAccountID*>(phone.get())}) {
    auto copy = value->copy();
    EXPECT_NE(copy.get(), value);
    EXPECT_TRUE(copy->isEqual(value)) << value->description();
  }
  EXPECT_TRUE(faults_.empty());
}

TEST_F(AccountIdTest, EmptyPhoneNumberIsOneFault) {
  EXPECT_EQ(XLMPhoneAccountId::initWithPhoneNumber(""), nullptr);
  ASSERT_EQ(faults_.size(), 1u);
  EXPECT_EQ(faults_[0]->errorMessage(), "|phoneNumber| cannot be nil/empty");
  EXPECT_EQ(faults_[0]->functionName(), "XLMPhoneAccountId::initWithPhoneNumber");
  EXPECT_EQ(faults_[0]->filePath(), "infra/account_id.cc");
}

template <typename T>
std::shared_ptr<T> RoundTrip(const std::shared_ptr<NSCoding>& value) {
  std::shared_ptr<NSError> error;
  auto data = NSKeyedArchiver::archivedDataWithRootObject(value, true, &error);
  EXPECT_TRUE(data.has_value()) << (error ? error->description() : "");
  if (!data) return nullptr;
  auto back = NSKeyedUnarchiver::unarchivedObjectOfClass<T>(*data, &error);
  EXPECT_EQ(error, nullptr) << error->description();
  return back;
}

TEST_F(AccountIdTest, ArchiveRoundTrips) {
  auto email = XLMEmailAccountId::initWithEmail("a@b.c");
  auto hollin = XLMHollinAccountId::initWithHollinId("42");
  auto phone = XLMPhoneAccountId::initWithPhoneNumber("+1 555");
  auto email_back = RoundTrip<XLMEmailAccountId>(email);
  auto hollin_back = RoundTrip<XLMHollinAccountId>(hollin);
  auto phone_back = RoundTrip<XLMPhoneAccountId>(phone);
  auto none_back = RoundTrip<XLMNoAccountId>(XLMNoAccountId::sharedInstance());
  ASSERT_TRUE(email_back && hollin_back && phone_back);
  EXPECT_TRUE(email_back->isEqual(email.get()));
  EXPECT_TRUE(hollin_back->isEqual(hollin.get()));
  EXPECT_TRUE(phone_back->isEqual(phone.get()));
  EXPECT_EQ(none_back, XLMNoAccountId::sharedInstance());
  EXPECT_TRUE(faults_.empty());
}

// An archive of the class with an empty identifier (the initializers accept empty texts).
template <typename T>
std::vector<uint8_t> EmptyArchive() {
  std::shared_ptr<NSError> error;
  return *NSKeyedArchiver::archivedDataWithRootObject(std::make_shared<T>(""), true, &error);
}

TEST_F(AccountIdTest, ArchivesWithoutIdentifierDecodeToNull) {
  std::shared_ptr<NSError> error;
  EXPECT_EQ(NSKeyedUnarchiver::unarchivedObjectOfClass<XLMEmailAccountId>(
                EmptyArchive<XLMEmailAccountId>(), &error),
            nullptr);
  EXPECT_EQ(NSKeyedUnarchiver::unarchivedObjectOfClass<XLMPhoneAccountId>(
                EmptyArchive<XLMPhoneAccountId>(), &error),
            nullptr);
  EXPECT_TRUE(faults_.empty()) << "e-mail and phone decodings fail silently";
  EXPECT_EQ(NSKeyedUnarchiver::unarchivedObjectOfClass<XLMHollinAccountId>(
                EmptyArchive<XLMHollinAccountId>(), &error),
            nullptr);
  ASSERT_EQ(faults_.size(), 1u);
  EXPECT_EQ(faults_[0]->errorMessage(), "Invalid hollin id found in archive");
  EXPECT_EQ(faults_[0]->functionName(), "XLMHollinAccountId::initWithCoder");
}

TEST_F(AccountIdTest, BuiltInBannerNamesTheHollinDecoding) {
  XLMErrorHandler::resetAfterTest();  // no block: the built-in one reports the assertion
  auto assertions = std::make_shared<platform::foundation::RecordingAssertionHandler>();
  platform::foundation::ScopedAssertionHandler scoped(assertions);
  std::shared_ptr<NSError> error;
  NSKeyedUnarchiver::unarchivedObjectOfClass<XLMHollinAccountId>(EmptyArchive<XLMHollinAccountId>(),
                                                                 &error);
  ASSERT_EQ(assertions->failures().size(), 1u);
  const std::string banner = assertions->failures()[0].description;
  EXPECT_NE(banner.find("   in account_id.cc\n   in XLMHollinAccountId::initWithCoder\n   Line "),
            std::string::npos)
      << banner;
  EXPECT_NE(banner.find(" says:\n\n   Invalid hollin id found in archive\n\n\n"), std::string::npos);
}

}  // namespace
