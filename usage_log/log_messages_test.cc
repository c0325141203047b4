#include <gtest/gtest.h>

#include <string>

#include "usage_log/log_local.pb.h"
#include "usage_base/log_wire.pb.h"
#include "usage_base/wire_test_util.h"

namespace {

using qm_wire_test::Bytes;
using qm_wire_test::DecodeRaw;
using qm_wire_test::Hex;

TEST(LogMessagesTest, EventRecordHasExactWireFields) {
  LogEvent event;
  event.set_event_time_ms(1700000000123);
  event.set_timezone_offset_seconds(-18000);
  event.set_event_uptime_ms(5000);
  event.mutable_experiment_ids()->add_encrypted_blob("t");
  event.add_test_code(3);
  event.add_test_code(4);
  event.add_generic_dimensions(5);
  event.add_generic_dimensions(6);
  const std::string bytes = event.SerializeAsString();

  // sint64 is zigzag-encoded: -18000 travels as 35999.
  EXPECT_EQ(DecodeRaw(bytes),
            "1: 1700000000123\n"
            "15: 35999\n"
            "16 {\n"
            "  2: \"t\"\n"
            "}\n"
            "17: 5000\n"
            "20: 3\n"
            "20: 4\n"
            "27: \"\\005\\006\"\n");
  // Test codes: one tag per element. Generic dimensions: one packed block.
  EXPECT_NE(Hex(bytes).find("A0 01 03 A0 01 04 DA 01 02 05 06"), std::string::npos) << Hex(bytes);
}

TEST(LogMessagesTest, RepeatedIntegersParseInBothForms) {
  // Test codes packed, generic dimensions one tag per element: the opposite of how we write them.
  LogEvent event;
  ASSERT_TRUE(event.ParseFromString(Bytes("A2 01 02 07 08 D8 01 09 D8 01 0A")));
  ASSERT_EQ(event.test_code_size(), 2);
  EXPECT_EQ(event.test_code(0), 7);
  EXPECT_EQ(event.test_code(1), 8);
  ASSERT_EQ(event.generic_dimensions_size(), 2);
  EXPECT_EQ(event.generic_dimensions(0), 9);
  EXPECT_EQ(event.generic_dimensions(1), 10);
  EXPECT_EQ(Hex(event.SerializeAsString()), "A0 01 07 A0 01 08 DA 01 02 09 0A");
}

TEST(LogMessagesTest, AbsentFieldsReadTheirDeclaredDefaults) {
  LogEvent event;
  ASSERT_TRUE(event.ParseFromString(Bytes("08 01")));
  EXPECT_FALSE(event.has_timezone_offset_seconds());
  EXPECT_EQ(event.timezone_offset_seconds(), 180000);

  LogResponse response;
  ASSERT_TRUE(response.ParseFromString(""));
  EXPECT_EQ(response.next_request_wait_millis(), -1);

  EXPECT_EQ(LogRequest().log_source(), LogRequest_LogSource_Unknown);
  EXPECT_EQ(LogRequest().log_source(), -1);
  EXPECT_EQ(QosTierConfiguration().log_source(), -1);
  EXPECT_EQ(JQXLogContext().log_source(), -1);
  EXPECT_EQ(MetalogCounterDimensions().log_source(), -1);
  EXPECT_EQ(LogRequest().qos_tier(), QosTierConfiguration::Default);
  EXPECT_EQ(ClientInfo().client_type(), ClientInfo::Unknown);

  // Nothing set, nothing written: the default is not put on the wire.
  EXPECT_EQ(LogEvent().SerializeAsString(), "");
}

TEST(LogMessagesTest, UnknownFieldsAndValuesSurviveAParse) {
  // A client type beyond the enumeration, an unknown field 999 and an extension field 1000.
  const std::string bytes = Bytes("08 17 B8 3E 05 C0 3E 01");
  ClientInfo client;
  ASSERT_TRUE(client.ParseFromString(bytes.substr(0, 2)));
  EXPECT_FALSE(client.has_client_type());
  EXPECT_EQ(client.SerializeAsString(), bytes.substr(0, 2));

  LogEvent event;
  ASSERT_TRUE(event.ParseFromString(bytes.substr(2)));
  event.set_event_code(2);
  EXPECT_EQ(DecodeRaw(event.SerializeAsString()), "11: 2\n999: 5\n1000: 1\n");
}

TEST(LogMessagesTest, MalformedBytesFailToParse) {
  // A length that runs past the end, and a truncated varint.
  for (const char* hex : {"32 05 61", "08 FF"}) {
    LogEvent event;
    EXPECT_FALSE(event.ParseFromString(Bytes(hex))) << hex;
    JQXUploaderState state;
    EXPECT_FALSE(state.ParseFromString(Bytes(hex))) << hex;
  }
}

TEST(LogMessagesTest, CounterHasOneOfItsTwoHashes) {
  ZVKCCounter counter;
  counter.set_hashed_name(0xFFFFFFFFFFFFFFFFull);
  counter.set_ephemeral_hashed_name(-5);
  EXPECT_FALSE(counter.has_hashed_name());
  EXPECT_EQ(counter.ephemeral_hashed_name(), -5);
  counter.set_hashed_name(7);
  EXPECT_FALSE(counter.has_ephemeral_hashed_name());
  // hashed_name is a fixed64: tag 09 and eight little-endian bytes.
  EXPECT_EQ(Hex(counter.SerializeAsString()), "09 07 00 00 00 00 00 00 00");
}

TEST(LogMessagesTest, ContextCarriesTheClientInformation) {
  JQXLogContext context;
  context.set_log_source(LogRequest_LogSource_FaceSdk);
  context.set_qos_tier(2);
  IosClientInfo* ios = context.mutable_client_info()->mutable_ios_client_info();
  ios->set_application_version("1.2.3");
  ios->mutable_accessibility_state()->set_speak_selection_enabled(true);
  EXPECT_EQ(DecodeRaw(context.SerializeAsString()),
            "2: 700\n"
            "4 {\n"
            "  4 {\n"
            "    12: \"1.2.3\"\n"
            "    13 {\n"
            "      15: 1\n"
            "    }\n"
            "  }\n"
            "}\n"
            "5: 2\n");
}

struct LogSourceCase {
  int value;
  bool valid;
};

TEST(LogSourceTest, RegistryCoversTheAssignedRange) {
  const LogSourceCase cases[] = {
      {-2, false}, {-1, true},   {0, true},    {69, true},   {298, false},
      {324, false}, {435, false}, {542, false}, {592, false}, {620, false},
      {839, false}, {840, true},  {1250, true}, {1251, false},
  };
  for (const LogSourceCase& c : cases) {
    EXPECT_EQ(LogRequest_LogSource_IsValid(c.value), c.valid) << c.value;
  }
  int valid = 0;
  for (int v = -1; v <= 1250; ++v) valid += LogRequest_LogSource_IsValid(v);
  EXPECT_EQ(valid, 1245);

  EXPECT_EQ(LogRequest_LogSource_FaceSdk, 700);
  EXPECT_EQ(LogRequest_LogSource_UsageLogMetaCounters, 103);
  EXPECT_EQ(LogRequest_LogSource_BatchedRequest, 357);
  EXPECT_EQ(LogRequest_LogSource_LoggingDemo, 327);
  EXPECT_EQ(LogRequest_LogSource_FlagStoreEvents, 69);
  EXPECT_EQ(LogRequest_LogSource_FlagStoreCounters, 70);
  EXPECT_EQ(LogRequest_LogSource_Source700, LogRequest_LogSource_FaceSdk);
  EXPECT_EQ(LogRequest_LogSource_MIN, -1);
  EXPECT_EQ(LogRequest_LogSource_MAX, 1250);
}

}  // namespace
