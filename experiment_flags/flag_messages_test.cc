#include <gtest/gtest.h>

#include <string>

#include "experiment_flags/config_sync.pb.h"
#include "experiment_flags/flag_store_log_event.pb.h"
#include "usage_base/log_wire.pb.h"
#include "usage_base/wire_test_util.h"

namespace {

using qm_wire_test::Bytes;
using qm_wire_test::DecodeRaw;
using qm_wire_test::Hex;

TEST(SyncMessagesTest, RequestSendsClientTypeAsPlainFieldFive) {
  YRXExperimentsAndConfigsRequest request;
  request.set_fetch_reason(YRXExperimentsAndConfigsRequest::NewApplication);
  request.set_client_type(YRXExperimentsAndConfigsRequest::IosFlatFileMarovic);
  request.mutable_client_properties()->set_user_id(1);
  request.mutable_client_properties()->mutable_client_info()->set_client_type(ClientInfo::Ios);
  YRXApplicationRequest* app = request.add_application_request();
  app->mutable_scope()->set_config_package("com.example.app");
  app->mutable_scope()->set_version_code(12);

  const std::string bytes = request.SerializeAsString();
  EXPECT_NE(Hex(bytes).find("20 06 28 41"), std::string::npos) << Hex(bytes);
  EXPECT_EQ(DecodeRaw(bytes),
            "1 {\n"
            "  2: 1\n"
            "  4 {\n"
            "    1: 3\n"
            "  }\n"
            "}\n"
            "2 {\n"
            "  1 {\n"
            "    1: \"com.example.app\"\n"
            "    2: 12\n"
            "  }\n"
            "}\n"
            "4: 6\n"
            "5: 65\n");
}

TEST(SyncMessagesTest, ParamKeepsEveryValueFieldItWasGiven) {
  YRXParam param;
  param.set_name("flag");
  param.set_value_type(YRXParam::IntValue);
  param.set_int_value(-2);
  param.set_string_value("also");
  YRXParam read;
  ASSERT_TRUE(read.ParseFromString(param.SerializeAsString()));
  EXPECT_EQ(read.value_type(), YRXParam::IntValue);
  EXPECT_EQ(read.int_value(), -2);
  EXPECT_TRUE(read.has_string_value());
  EXPECT_EQ(read.string_value(), "also");
}

TEST(SyncMessagesTest, UnlistedEnumerationValuesGoToUnknownFields) {
  // value_type 6 and provenance 9 are outside their enumerations.
  YRXParam param;
  ASSERT_TRUE(param.ParseFromString(Bytes("48 06")));
  EXPECT_FALSE(param.has_value_type());
  EXPECT_EQ(param.value_type(), YRXParam::Unknown);
  EXPECT_EQ(Hex(param.SerializeAsString()), "48 06");

  YRXCrossAppDescriptor descriptor;
  ASSERT_TRUE(descriptor.ParseFromString(Bytes("18 09")));
  EXPECT_FALSE(descriptor.has_provenance());
}

TEST(SyncMessagesTest, Int64ListIsPackedAndParsesInBothForms) {
  Int64ListParam list;
  list.add_element(1);
  list.add_element(-1);
  EXPECT_EQ(Hex(list.SerializeAsString()), "0A 0B 01 FF FF FF FF FF FF FF FF FF 01");

  Int64ListParam unpacked;
  ASSERT_TRUE(unpacked.ParseFromString(Bytes("08 05 08 06")));
  ASSERT_EQ(unpacked.element_size(), 2);
  EXPECT_EQ(unpacked.element(0), 5);
  EXPECT_EQ(unpacked.element(1), 6);
}

TEST(SyncMessagesTest, EventCarriesExperimentIdsAsFieldSixteen) {
  YRXDeviceExperimentIds ids;
  ids.add_by_hollin(11);
  ids.add_always(12);
  LogEvent event;
  event.mutable_experiment_ids()->set_clear_blob(ids.SerializeAsString());
  event.mutable_experiment_ids()->add_encrypted_blob("tok");
  EXPECT_EQ(DecodeRaw(event.SerializeAsString()),
            "16 {\n"
            "  1 {\n"
            "    1: 11\n"
            "    3: 12\n"
            "  }\n"
            "  2: \"tok\"\n"
            "}\n");
}

TEST(FlagStoreEventTest, FailedSyncCarriesSyncInfoAndError) {
  ZQLMarovicLogEvent event;
  ZQLDunsfellSyncInfo* sync = event.mutable_dunsfell_sync_info();
  sync->set_client_type(YRXExperimentsAndConfigsRequest::IosFlatFileMarovic);
  sync->set_fetch_reason(YRXExperimentsAndConfigsRequest::Periodic);
  sync->set_host_application_name("com.example.app");
  ZQLDunsfellSingleSync* single = sync->add_single_sync();
  single->set_request_type(ZQLDunsfellSingleSync::LoggedOut);
  single->set_single_sync_error_type(ZQLDunsfellSingleSync::Network);
  event.mutable_marovic_api_error_info()->set_exception("MarovicErrorDomain");
  event.mutable_marovic_api_error_info()->set_error_code(-3);

  // A negative int32 travels as a ten-byte varint.
  EXPECT_EQ(DecodeRaw(event.SerializeAsString()),
            "7 {\n"
            "  1: \"MarovicErrorDomain\"\n"
            "  2: 18446744073709551613\n"
            "}\n"
            "8 {\n"
            "  1: 65\n"
            "  2: 1\n"
            "  4: \"com.example.app\"\n"
            "  5 {\n"
            "    1: 1\n"
            "    2: 2\n"
            "  }\n"
            "}\n");
  EXPECT_EQ(ZQLDunsfellSingleSync().single_sync_error_type(), ZQLDunsfellSingleSync::Unset);
}

TEST(FlagStoreEventTest, TokenLookupNamesAnEmptyPackageAndOneSource) {
  ZQLMarovicLogEvent event;
  ZQLApplicationInfo* info = event.mutable_application_info();
  info->set_package_name("");
  info->add_log_source(LogRequest_LogSource_FaceSdk);
  info->set_user("");
  EXPECT_EQ(Hex(event.SerializeAsString()), "0A 07 0A 00 20 BC 05 32 00");
  EXPECT_EQ(ZQLMarovicLogEvent::Sync, 28);
  EXPECT_FALSE(ZQLMarovicLogEvent_MarovicEventType_IsValid(40));
}

}  // namespace
