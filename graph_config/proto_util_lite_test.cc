// Wire-level field editing: the view of one field, range edits along a path, and the text
// conversions of every field type, checked against the runtime's own encoding.

#include "graph_config/proto_util_lite.h"

#include <functional>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph_config/proto_descriptor.pb.h"
#include "graph_config/testdata/field_types.pb.h"
#include "gtest/gtest.h"

namespace kaldren {
namespace tool {
namespace {

using pellumo::testing::AllFieldTypes;
using std::string_literals::operator""s;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using FieldType = ProtoUtilLite::FieldType;
using WireFormatLite = ProtoUtilLite::WireFormatLite;

std::vector<std::string> Values(const std::string& message, uint32_t field, FieldType type) {
  ProtoUtilLite::FieldAccess access(field, type);
  EXPECT_TRUE(access.SetMessage(message).ok());
  return *access.mutable_field_values();
}

// One type row: a text, the reference message holding that value in the field numbered as
// the type, and the text that reading the value back gives.
struct TypeRow {
  FieldType type;
  std::string text;
  std::function<void(AllFieldTypes*)> set;
  std::string text_back;
};

void PrintTo(const TypeRow& row, std::ostream* os) {
  *os << "type " << static_cast<int>(row.type) << " text " << ::testing::PrintToString(row.text);
}

class FieldTypeRowTest : public ::testing::TestWithParam<TypeRow> {};

TEST_P(FieldTypeRowTest, SerializeMatchesTheRuntimeAndDeserializeReadsBack) {
  const TypeRow& row = GetParam();
  AllFieldTypes reference;
  row.set(&reference);
  const std::string encoded = reference.SerializeAsString();
  const std::vector<std::string> expected = Values(encoded, row.type, row.type);
  ASSERT_EQ(expected.size(), 1);

  std::vector<std::string> values;
  ASSERT_TRUE(ProtoUtilLite::Serialize({row.text}, row.type, &values).ok());
  EXPECT_EQ(values, expected);

  std::vector<std::string> texts;
  ASSERT_TRUE(ProtoUtilLite::Deserialize(values, row.type, &texts).ok());
  EXPECT_THAT(texts, ElementsAre(row.text_back));

  // The view writes the field back as the runtime did.
  ProtoUtilLite::FieldAccess access(row.type, row.type);
  ASSERT_TRUE(access.SetMessage(encoded).ok());
  std::string written;
  access.GetMessage(&written);
  EXPECT_EQ(written, encoded);
}

INSTANTIATE_TEST_SUITE_P(
    AllTypes, FieldTypeRowTest,
    ::testing::Values(
        TypeRow{WireFormatLite::TYPE_DOUBLE, "0.1", [](auto* m) { m->set_f_double(0.1); }, "0.1"},
        TypeRow{WireFormatLite::TYPE_DOUBLE, "1234567", [](auto* m) { m->set_f_double(1234567); },
                "1.23457e+06"},
        TypeRow{WireFormatLite::TYPE_FLOAT, " -1.5 ", [](auto* m) { m->set_f_float(-1.5f); },
                "-1.5"},
        TypeRow{WireFormatLite::TYPE_INT64, "-5", [](auto* m) { m->set_f_int64(-5); }, "-5"},
        TypeRow{WireFormatLite::TYPE_UINT64, "18446744073709551615",
                [](auto* m) { m->set_f_uint64(~0ull); }, "18446744073709551615"},
        TypeRow{WireFormatLite::TYPE_INT32, "-1", [](auto* m) { m->set_f_int32(-1); }, "-1"},
        TypeRow{WireFormatLite::TYPE_FIXED64, "7", [](auto* m) { m->set_f_fixed64(7); }, "7"},
        TypeRow{WireFormatLite::TYPE_FIXED32, "4294967295",
                [](auto* m) { m->set_f_fixed32(4294967295u); }, "4294967295"},
        TypeRow{WireFormatLite::TYPE_BOOL, "Yes", [](auto* m) { m->set_f_bool(true); }, "1"},
        TypeRow{WireFormatLite::TYPE_BOOL, "f", [](auto* m) { m->set_f_bool(false); }, "0"},
        TypeRow{WireFormatLite::TYPE_STRING, "abc", [](auto* m) { m->set_f_string("abc"); }, "abc"},
        TypeRow{WireFormatLite::TYPE_BYTES, "x\xffy"s, [](auto* m) { m->set_f_bytes("x\xffy"); },
                "x\xffy"s},
        TypeRow{WireFormatLite::TYPE_UINT32, "4000000000",
                [](auto* m) { m->set_f_uint32(4000000000u); }, "4000000000"},
        TypeRow{WireFormatLite::TYPE_ENUM, "5", [](auto* m) { m->set_f_enum(AllFieldTypes::BLUE); },
                "5"},
        TypeRow{WireFormatLite::TYPE_SFIXED32, "-2", [](auto* m) { m->set_f_sfixed32(-2); }, "-2"},
        TypeRow{WireFormatLite::TYPE_SFIXED64, "-3", [](auto* m) { m->set_f_sfixed64(-3); }, "-3"},
        TypeRow{WireFormatLite::TYPE_SINT32, "-1", [](auto* m) { m->set_f_sint32(-1); }, "-1"},
        TypeRow{WireFormatLite::TYPE_SINT64, "-9223372036854775808",
                [](auto* m) { m->set_f_sint64(INT64_MIN); }, "-9223372036854775808"}),
    [](const ::testing::TestParamInfo<TypeRow>& info) {
      return pellumo::FieldDescriptorProto_Type_Name(
                 static_cast<pellumo::FieldDescriptorProto_Type>(info.param.type)) +
             "_" + std::to_string(info.index);
    });

TEST(ProtoUtilLiteSerializeTest, EncodingsOfNote) {
  struct Case {
    FieldType type;
    std::string text;
    std::string value;
  };
  for (const Case& c : std::vector<Case>{
           {WireFormatLite::TYPE_INT32, "-1", "\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"s},
           {WireFormatLite::TYPE_ENUM, "-1", "\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"s},
           {WireFormatLite::TYPE_SINT32, "-1", "\x01"s},
           {WireFormatLite::TYPE_SINT32, "1", "\x02"s},
           {WireFormatLite::TYPE_BOOL, "Yes", "\x01"s},
           {WireFormatLite::TYPE_STRING, "abc", "abc"},
       }) {
    std::vector<std::string> values;
    ASSERT_TRUE(ProtoUtilLite::Serialize({c.text}, c.type, &values).ok()) << c.text;
    EXPECT_THAT(values, ElementsAre(c.value)) << c.text;
  }
}

TEST(ProtoUtilLiteSerializeTest, Failures) {
  struct Case {
    FieldType type;
    std::string text;
    absl::StatusCode code;
    std::string message;
  };
  const auto kInvalid = absl::StatusCode::kInvalidArgument;
  const auto kUnimplemented = absl::StatusCode::kUnimplemented;
  for (const Case& c : std::vector<Case>{
           {WireFormatLite::TYPE_INT32, "2.5", kInvalid, "Syntax error: \"2.5\" for type: int."},
           {WireFormatLite::TYPE_BOOL, "2", kInvalid, "Syntax error: \"2\" for type: bool."},
           {WireFormatLite::TYPE_ENUM, "BLUE", kInvalid, "Syntax error: \"BLUE\" for type: int."},
           {WireFormatLite::TYPE_UINT64, "-1", kInvalid,
            "Syntax error: \"-1\" for type: unsigned long long."},
           {WireFormatLite::TYPE_SINT64, "9223372036854775808", kInvalid,
            "Syntax error: \"9223372036854775808\" for type: long long."},
           {WireFormatLite::TYPE_FIXED32, "4294967296", kInvalid,
            "Syntax error: \"4294967296\" for type: unsigned int."},
           {WireFormatLite::TYPE_DOUBLE, "x", kInvalid, "Syntax error: \"x\" for type: double."},
           {WireFormatLite::TYPE_FLOAT, "", kInvalid, "Syntax error: \"\" for type: float."},
           {WireFormatLite::TYPE_MESSAGE, "", kUnimplemented,
            "SerializeValue cannot serialize a Message."},
           {WireFormatLite::TYPE_GROUP, "", kUnimplemented,
            "SerializeValue cannot serialize a Message."},
           {static_cast<FieldType>(0), "1", kUnimplemented, "SerializeValue unimplemented type."},
           {static_cast<FieldType>(19), "1", kUnimplemented, "SerializeValue unimplemented type."},
       }) {
    std::vector<std::string> values;
    const absl::Status status = ProtoUtilLite::Serialize({c.text}, c.type, &values);
    EXPECT_EQ(status.code(), c.code) << c.message;
    EXPECT_EQ(status.message(), c.message);
  }

  // The values made before the failing text stay.
  std::vector<std::string> values = {"stale"};
  EXPECT_FALSE(ProtoUtilLite::Serialize({"1", "x", "2"}, WireFormatLite::TYPE_INT32, &values).ok());
  EXPECT_THAT(values, ElementsAre("\x01"));
}

TEST(ProtoUtilLiteDeserializeTest, ReadsTheFirstValueAndRefusesShortOnes) {
  std::vector<std::string> texts;
  ASSERT_TRUE(
      ProtoUtilLite::Deserialize({"\x05", "\x00\x07"s}, WireFormatLite::TYPE_BOOL, &texts).ok());
  EXPECT_THAT(texts, ElementsAre("1", "0"));

  struct Case {
    FieldType type;
    std::string value;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {WireFormatLite::TYPE_FIXED32, "abc", "Bad serialized value: unsigned int."},
           {WireFormatLite::TYPE_DOUBLE, "1234567", "Bad serialized value: double."},
           {WireFormatLite::TYPE_FLOAT, "", "Bad serialized value: float."},
           {WireFormatLite::TYPE_SINT64, "\x80", "Bad serialized value: long long."},
           {WireFormatLite::TYPE_FIXED64, "1", "Bad serialized value: unsigned long long."},
           {WireFormatLite::TYPE_SINT32, "\xff", "Bad serialized value: int."},
           {WireFormatLite::TYPE_BOOL, "", "Bad serialized value: bool."},
           {WireFormatLite::TYPE_MESSAGE, "", "DeserializeValue cannot deserialize a Message."},
           {WireFormatLite::TYPE_GROUP, "", "DeserializeValue cannot deserialize a Message."},
           {static_cast<FieldType>(0), "", "DeserializeValue unimplemented type."},
       }) {
    const absl::Status status = ProtoUtilLite::Deserialize({"\x01", c.value}, c.type, &texts);
    EXPECT_EQ(status.message(), c.message);
  }
}

// Field 1 ("a", "b") among a varint field 2, a group 10 and an unknown fixed32 field 3.
// clang-format off
const std::string kMixed =
    "\x0a\x01" "a" "\x10\x07" "\x0a\x01" "b" "\x53\x08\x03\x54" "\x1d\x01\x02\x03\x04"s;
const std::string kMixedRest = "\x10\x07" "\x53\x08\x03\x54" "\x1d\x01\x02\x03\x04"s;
// clang-format on

TEST(FieldAccessTest, SplitsTheFieldFromTheRest) {
  ProtoUtilLite::FieldAccess access(1, WireFormatLite::TYPE_STRING);
  ASSERT_TRUE(access.SetMessage(kMixed).ok());
  EXPECT_THAT(*access.mutable_field_values(), ElementsAre("a", "b"));
  std::string written;
  access.GetMessage(&written);
  EXPECT_EQ(written, kMixedRest +
                         "\x0a\x01"
                         "a"
                         "\x0a\x01"
                         "b"s);

  // The group's value is its contents and end tag.
  EXPECT_THAT(Values(kMixed, 10, WireFormatLite::TYPE_GROUP), ElementsAre("\x08\x03\x54"s));
}

TEST(FieldAccessTest, PackedValuesComeOutOneTagEach) {
  AllFieldTypes message;
  for (int value : {1, 300, -1}) message.add_packed(value);
  const std::string encoded = message.SerializeAsString();
  ProtoUtilLite::FieldAccess access(19, WireFormatLite::TYPE_INT32);
  ASSERT_TRUE(access.SetMessage(encoded).ok());
  EXPECT_THAT(*access.mutable_field_values(),
              ElementsAre("\x01", "\xac\x02", "\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"));
  std::string written;
  access.GetMessage(&written);
  EXPECT_EQ(written.substr(0, 3), "\x98\x01\x01");
  AllFieldTypes reparsed;
  ASSERT_TRUE(reparsed.ParseFromString(written));
  EXPECT_THAT(reparsed.packed(), ElementsAre(1, 300, -1));
}

TEST(FieldAccessTest, UnreadableInputFails) {
  struct Case {
    std::string message;
    uint32_t field;
    FieldType type;
    std::string condition;
  };
  for (const Case& c : std::vector<Case>{
           {"\x0a\x05"
            "ab"s,
            1, WireFormatLite::TYPE_STRING, "in->ReadString(result, length)"},
           {"\x0a\x80"s, 1, WireFormatLite::TYPE_STRING, "in->ReadVarint32(&length)"},
           {"\x10\x80"s, 1, WireFormatLite::TYPE_STRING, "WireFormatLite::SkipField(in, tag, out)"},
           {"\x08\x80"s, 1, WireFormatLite::TYPE_INT32, "WireFormatLite::SkipField(in, tag, &cos)"},
           {"\x0a\x01\xac\x02"s, 1, WireFormatLite::TYPE_INT32, "(number.size())<=(data_size)"},
           {"\x0a"s, 1, WireFormatLite::TYPE_INT32, "in->ReadVarint32(&data_size)"},
           // A zero tag with bytes after it would drop them.
           {"\x10\x07\x00\x10\x08"s, 1, WireFormatLite::TYPE_STRING, "unreadable tag at byte 2"},
       }) {
    ProtoUtilLite::FieldAccess access(c.field, c.type);
    const absl::Status status = access.SetMessage(c.message);
    EXPECT_EQ(status.code(), absl::StatusCode::kInternal) << c.condition;
    EXPECT_THAT(std::string(status.message()), HasSubstr(c.condition));
  }

  // A zero tag at the very end just ends the message.
  EXPECT_THAT(Values("\x10\x07\x00"s, 2, WireFormatLite::TYPE_INT32), ElementsAre("\x07"));
}

TEST(ReplaceFieldRangeTest, IndexAndLengthAtTheLastStep) {
  struct Case {
    int index;
    int length;
    std::vector<std::string> values;
    std::vector<std::string> result;  // empty: `error` expected
    std::string error;
  };
  for (const Case& c : std::vector<Case>{
           {2, 0, {"z"}, {"a", "b", "z"}, ""},
           {0, 1, {}, {"b"}, ""},
           {1, 1, {"x", "y", "z"}, {"a", "x", "y", "z"}, ""},
           {0, 0, {"z"}, {"z", "a", "b"}, ""},
           {2, 1, {"z"}, {}, "index + length >= 0 && index + length <= v.size()"},
           {3, 0, {"z"}, {}, "index >= 0 && index <= v.size()"},
           {-1, 0, {"z"}, {}, "index >= 0 && index <= v.size()"},
       }) {
    std::string message = kMixed;
    const absl::Status status = ProtoUtilLite::ReplaceFieldRange(
        &message, {{1, c.index}}, c.length, WireFormatLite::TYPE_STRING, c.values);
    if (c.error.empty()) {
      ASSERT_TRUE(status.ok()) << status;
      // Every other field first, unchanged; then every value of the field.
      EXPECT_EQ(message.substr(0, kMixedRest.size()), kMixedRest);
      EXPECT_EQ(Values(message, 1, WireFormatLite::TYPE_STRING), c.result);
    } else {
      EXPECT_THAT(std::string(status.message()), HasSubstr(c.error));
      EXPECT_EQ(message, kMixed);
    }
  }
}

TEST(ReplaceFieldRangeTest, AlongAPathEveryLevelKeepsItsOtherFieldsFirst) {
  AllFieldTypes message;
  message.mutable_f_message()->set_a(4);
  message.mutable_f_message()->add_s("old");
  message.set_f_int32(9);
  message.set_f_sint64(-2);
  AllFieldTypes::Inner* second = message.add_inner();
  second->add_s("p");
  second = message.add_inner();
  second->set_a(2);
  second->add_s("q");
  std::string encoded = message.SerializeAsString();

  ASSERT_TRUE(ProtoUtilLite::ReplaceFieldRange(&encoded, {{20, 1}, {2, 0}}, 1,
                                               WireFormatLite::TYPE_STRING, {"x", "y"})
                  .ok());
  AllFieldTypes expected = message;
  expected.mutable_inner(1)->clear_s();
  expected.mutable_inner(1)->add_s("x");
  expected.mutable_inner(1)->add_s("y");
  EXPECT_EQ(encoded, expected.SerializeAsString());

  // The outer field 11 moves behind fields 5, 18 and 20.
  ASSERT_TRUE(ProtoUtilLite::ReplaceFieldRange(&encoded, {{11, 0}, {1, 0}}, 1,
                                               WireFormatLite::TYPE_INT32, {"\x06"})
                  .ok());
  AllFieldTypes rest = expected;
  rest.clear_f_message();
  AllFieldTypes::Inner inner;
  inner.add_s("old");
  inner.set_a(6);
  const std::string inner_bytes =
      "\x12\x03"
      "old"
      "\x08\x06"s;
  EXPECT_EQ(encoded, rest.SerializeAsString() + "\x5a" + char(inner_bytes.size()) + inner_bytes);

  // A step into a sub-message that is not there.
  const absl::Status status = ProtoUtilLite::ReplaceFieldRange(
      &encoded, {{20, 2}, {1, 0}}, 0, WireFormatLite::TYPE_INT32, {"\x01"});
  EXPECT_THAT(std::string(status.message()), HasSubstr("index >= 0 && index < v.size()"));
}

TEST(GetFieldRangeTest, PutsTheValuesBeforeWhatTheListHolds) {
  std::vector<std::string> values = {"old"};
  ASSERT_TRUE(
      ProtoUtilLite::GetFieldRange(kMixed, {{1, 0}}, 2, WireFormatLite::TYPE_STRING, &values).ok());
  EXPECT_THAT(values, ElementsAre("a", "b", "old"));

  AllFieldTypes message;
  message.add_inner()->add_s("deep");
  values.clear();
  ASSERT_TRUE(ProtoUtilLite::GetFieldRange(message.SerializeAsString(), {{20, 0}, {2, 0}}, 1,
                                           WireFormatLite::TYPE_STRING, &values)
                  .ok());
  EXPECT_THAT(values, ElementsAre("deep"));
  const absl::Status status =
      ProtoUtilLite::GetFieldRange(kMixed, {{1, 2}}, 1, WireFormatLite::TYPE_STRING, &values);
  EXPECT_THAT(std::string(status.message()),
              HasSubstr("index + length >= 0 && index + length <= v.size()"));
}

TEST(ProtoUtilLiteHelpersTest, FormatAndLengthDelimited) {
  EXPECT_EQ(FormatValue(-12LL), "-12");
  EXPECT_EQ(FormatValue(0u), "0");
  EXPECT_TRUE(IsLengthDelimited(WireFormatLite::WIRETYPE_LENGTH_DELIMITED));
  EXPECT_FALSE(IsLengthDelimited(WireFormatLite::WIRETYPE_START_GROUP));
  std::string copied;
  EXPECT_TRUE(ParseValue("any text", &copied).ok());
  EXPECT_EQ(copied, "any text");
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
