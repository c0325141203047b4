#include "experiment_flags/configuration.h"

#include <gtest/gtest.h>

#include <string>

#include "experiment_flags/marovic_error.h"
#include "experiment_flags/store_test_util.h"

namespace {

using Flag = ZQLMarovicConfigurationFlag;

YRXParam Param(const std::string& name, YRXParam::ParamValueType type) {
  YRXParam param;
  param.set_name(name);
  param.set_value_type(type);
  param.set_int_value(7);
  param.set_bool_value(true);
  param.set_float64_value(2.5);
  param.set_string_value("text");
  param.mutable_extension_value()->set_serialized_value(std::string("\x08\x01", 2));
  return param;
}

TEST(ConfigurationTest, ParamsBecomeFlagsOfTheTypeTheyName) {
  struct Case {
    YRXParam::ParamValueType type;
    Flag::Value value;
    int64_t flag_type;
  } cases[] = {
      {YRXParam::IntValue, int64_t{7}, Flag::kInteger},
      {YRXParam::BoolValue, true, Flag::kBoolean},
      {YRXParam::Float64Value, 2.5, Flag::kDouble},
      {YRXParam::StringValue, std::string("text"), Flag::kString},
      {YRXParam::ExtensionValue, std::string("\x08\x01", 2), Flag::kBytes},
  };
  for (const Case& c : cases) {
    auto flag = ZQLSnapshot::paramToFlag(Param("f", c.type));
    ASSERT_NE(flag, nullptr) << c.type;
    EXPECT_TRUE(flag->isEqual(Flag("f", c.value, c.flag_type, 0))) << flag->description();
  }
  EXPECT_EQ(ZQLSnapshot::paramToFlag(Param("f", YRXParam::Unknown)), nullptr);
}

TEST(ConfigurationTest, SnapshotBecomesConfigurationWithOverridesWinning) {
  XVNConfigurationSnapshot snapshot;
  snapshot.set_obfuscated_hollin_id("acct");
  // Never synced: the empty configuration of the account.
  auto empty = ZQLSnapshot::snapshotToConfiguration(snapshot);
  EXPECT_TRUE(empty->isEqual(*ZQLSnapshot::emptyConfiguration("acct")));
  EXPECT_EQ(empty->flags(), std::nullopt);
  EXPECT_EQ(empty->userID(), "acct");
  EXPECT_TRUE(empty->tokens()->tokens().empty());

  snapshot.set_snapshot_token("S");
  snapshot.set_server_configuration_version(42);
  YRXApplicationResponse* response = snapshot.mutable_dunsfell_response();
  response->set_experiment_token("ET");
  response->set_server_trigger_token("ST");
  *response->add_param_partition()->add_param() = Param("gone", YRXParam::IntValue);
  *response->mutable_param_partition(0)->add_param() = Param("typed", YRXParam::IntValue);
  // A later param of unknown type removes the flag an earlier partition set.
  *response->add_param_partition()->add_param() = Param("gone", YRXParam::Unknown);
  (*snapshot.mutable_flag_overrides())["typed"] = Param("typed", YRXParam::StringValue);

  auto configuration = ZQLSnapshot::snapshotToConfiguration(snapshot);
  ASSERT_TRUE(configuration->flags().has_value());
  ASSERT_EQ(configuration->flags()->size(), 1u);
  EXPECT_EQ(configuration->flags()->at("typed")->valueType(), Flag::kString);
  EXPECT_FALSE(configuration->isDiff());
  EXPECT_EQ(configuration->diffToken(), "S");
  EXPECT_EQ(configuration->serverToken(), "ST");
  EXPECT_EQ(configuration->configurationVersion(), 42);
  EXPECT_EQ(configuration->tokens()->user(), "acct");
  EXPECT_EQ(configuration->tokens()->tokens(), std::vector<std::string>{"ET"});
}

TEST(ConfigurationTest, EqualityIgnoresDeletionOrderAndEmptyCollections) {
  auto tokens = ZQLMarovicExperimentTokens::initWithUser("u", {"t"}, {});
  auto a = ZQLMarovicConfiguration::initWithDiffDictionary(
      ZQLMarovicFlagMap{}, std::vector<std::string>{"x", "y"}, "d", "s", "u", tokens, 3);
  auto b = ZQLMarovicConfiguration::initWithDiffDictionary(
      std::nullopt, std::vector<std::string>{"y", "x"}, "d", "s", "u", tokens, 3);
  EXPECT_EQ(a->flags(), std::nullopt);
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());
  auto c = ZQLMarovicConfiguration::initWithDiffDictionary(
      std::nullopt, std::vector<std::string>{"y"}, "d", "s", "u", tokens, 3);
  EXPECT_FALSE(a->isEqual(*c));
  EXPECT_NE(a->description().find("configurationVersion:3"), std::string::npos);
}

TEST(ConfigurationTest, FileErrorWrapsWhatTheOutErrorHeld) {
  EXPECT_FALSE(ZQLMarovicError::fileError(nullptr));
  std::shared_ptr<NSError> error;
  ZQLMarovicError::fileError(&error);
  EXPECT_EQ(error->code(), ZQLMarovicErrorCodeFileError);
  EXPECT_EQ(error->underlyingError(), nullptr);
  auto cause = NSError::errorWithDomain(NSPOSIXErrorDomain, 5);
  error = cause;
  ZQLMarovicError::fileError(&error);
  EXPECT_EQ(error->underlyingError(), cause);
}

using SnapshotLookupTest = StoreFolderTest;

TEST_F(SnapshotLookupTest, UncommittedSnapshotNeedsARegistration) {
  std::shared_ptr<NSError> error;
  EXPECT_EQ(ZQLSnapshot::uncommittedSnapshotForPackage("p", "acct", &error), nullptr);
  EXPECT_EQ(error->code(), ZQLMarovicErrorCodeNotRegistered);

  Write(Shared("registration/p.pb"), "");
  error = nullptr;
  auto never_synced = ZQLSnapshot::uncommittedSnapshotForPackage("p", "acct", &error);
  ASSERT_NE(never_synced, nullptr);
  EXPECT_EQ(never_synced->obfuscated_hollin_id(), "acct");
  EXPECT_FALSE(never_synced->has_snapshot_token());

  Write(Shared("uncommitted/acct/p.pb"), "\xff\xff");
  EXPECT_EQ(ZQLSnapshot::uncommittedSnapshotForPackage("p", "acct", &error), nullptr);
  EXPECT_EQ(error->domain(), kZQLRecordParseErrorDomain);
}

TEST_F(SnapshotLookupTest, CommittedSnapshotPrefersTheLocalCopy) {
  auto record = [](const std::string& token) {
    XVNConfigurationSnapshot snapshot;
    snapshot.set_snapshot_token(token);
    return snapshot.SerializeAsString();
  };
  std::shared_ptr<NSError> error;
  EXPECT_EQ(ZQLSnapshot::committedSnapshotForPackage("p", "a", &error), nullptr);
  EXPECT_EQ(error->code(), ZQLMarovicErrorCodeNotCommitted);

  Write(Shared("committed/p.pb"), record("shared"));
  EXPECT_EQ(ZQLSnapshot::committedSnapshotForPackage("p", "a", &error)->snapshot_token(),
            "shared");
  Write(Local("committed/p.pb"), record("local"));
  EXPECT_EQ(ZQLSnapshot::committedSnapshotForPackage("p", "a", &error)->snapshot_token(),
            "local");

  // Only a multi-commit package names the account.
  Write(Local("committed/x#@m-a.pb"), record("of a"));
  EXPECT_EQ(ZQLSnapshot::committedSnapshotForPackage("x#@m", "a", &error)->snapshot_token(),
            "of a");
  EXPECT_EQ(ZQLSnapshot::committedSnapshotForPackage("x#@m", "b", &error), nullptr);
  EXPECT_EQ(error->code(), ZQLMarovicErrorCodeNotCommitted);
}

}  // namespace
