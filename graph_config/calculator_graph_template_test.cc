// The template messages: oneof behaviour of argument values, unknown enum values kept as
// raw fields, repeated keys, the field-type names and the subgraph options extension.

#include <string>

#include "graph_config/calculator_graph_template.pb.h"
#include "graph_config/proto_descriptor.pb.h"
#include "gtest/gtest.h"

namespace pellumo {
namespace {

using std::string_literals::operator""s;

TemplateArgument ParseArgument(const std::string& bytes) {
  TemplateArgument argument;
  EXPECT_TRUE(argument.ParseFromString(bytes));
  return argument;
}

TEST(TemplateArgumentTest, OneofKeepsOnlyTheLastMember) {
  // str "a" (field 1), then num 1.0 (field 2, tag byte 17).
  TemplateArgument argument = ParseArgument(
      "\x0a\x01"
      "a"
      "\x11\x00\x00\x00\x00\x00\x00\xf0\x3f"s);
  EXPECT_EQ(argument.param_value_case(), TemplateArgument::kNum);
  EXPECT_EQ(argument.num(), 1.0);
  EXPECT_EQ(argument.str(), "");

  // Two dictionaries merge: {k1: "x"} then {k2: "y"}.
  const std::string dict1 = "\x0a\x09\x0a\x02k1\x12\x03\x0a\x01x"s;
  const std::string dict2 = "\x0a\x09\x0a\x02k2\x12\x03\x0a\x01y"s;
  argument =
      ParseArgument("\x1a"s + char(dict1.size()) + dict1 + "\x1a"s + char(dict2.size()) + dict2);
  ASSERT_EQ(argument.param_value_case(), TemplateArgument::kDict);
  ASSERT_EQ(argument.dict().arg_size(), 2);
  EXPECT_EQ(argument.dict().arg(0).key(), "k1");
  EXPECT_EQ(argument.dict().arg(1).value().str(), "y");

  // A text after a dictionary drops the dictionary; elements stay beside the member.
  argument.set_str("t");
  argument.add_element()->set_num(2);
  EXPECT_EQ(argument.param_value_case(), TemplateArgument::kStr);
  EXPECT_FALSE(argument.has_dict());
  EXPECT_EQ(ParseArgument(argument.SerializeAsString()).element_size(), 1);

  argument.clear_param_value();
  EXPECT_EQ(argument.param_value_case(), TemplateArgument::PARAM_VALUE_NOT_SET);
  argument.set_allocated_dict(new TemplateDict);
  EXPECT_TRUE(argument.has_dict());
}

TEST(TemplateArgumentTest, MergeOfDictionariesAndScalars) {
  TemplateArgument target;
  target.mutable_dict()->add_arg()->set_key("a");
  TemplateArgument source;
  source.mutable_dict()->add_arg()->set_key("b");
  target.MergeFrom(source);
  ASSERT_EQ(target.dict().arg_size(), 2);
  EXPECT_EQ(target.dict().arg(1).key(), "b");

  TemplateArgument number;
  number.set_num(5);
  target.MergeFrom(number);
  EXPECT_EQ(target.param_value_case(), TemplateArgument::kNum);
  EXPECT_EQ(target.num(), 5);

  TemplateArgument fresh;
  fresh.MergeFrom(source);
  EXPECT_EQ(fresh.dict().arg(0).key(), "b");
}

TEST(TemplateExpressionTest, FieldTypeOutsideTheEnumerationStaysAnUnknownField) {
  // path "/1[0]", then field 5 = 19, then op "x".
  const std::string bytes = "\x22\x05/1[0]\x28\x13\x12\x01x"s;
  TemplateExpression expression;
  ASSERT_TRUE(expression.ParseFromString(bytes));
  EXPECT_FALSE(expression.has_field_type());
  EXPECT_EQ(expression.field_type(), FieldDescriptorProto::TYPE_INVALID);
  EXPECT_EQ(expression.path(), "/1[0]");
  // Known fields in number order, the unknown varint after them.
  EXPECT_EQ(expression.SerializeAsString(), "\x12\x01x\x22\x05/1[0]\x28\x13"s);

  // A known value replaces the earlier one; the unknown one stays.
  expression.set_field_type(FieldDescriptorProto::TYPE_SINT64);
  TemplateExpression reparsed;
  ASSERT_TRUE(reparsed.ParseFromString(expression.SerializeAsString()));
  EXPECT_EQ(reparsed.field_type(), FieldDescriptorProto::TYPE_SINT64);
}

TEST(CalculatorGraphTemplateTest, AbsentConfigReadsEmptyAndIsNotWritten) {
  CalculatorGraphTemplate graph_template;
  graph_template.add_rule()->set_op("for");
  EXPECT_FALSE(graph_template.has_config());
  EXPECT_EQ(graph_template.config().node_size(), 0);
  EXPECT_TRUE(graph_template.IsInitialized());
  EXPECT_EQ(graph_template.SerializeAsString(),
            "\x12\x05\x12\x03"
            "for"s);

  graph_template.mutable_config()->add_node()->set_name("n");
  CalculatorGraphTemplate copy;
  ASSERT_TRUE(copy.ParseFromString(graph_template.SerializeAsString()));
  EXPECT_EQ(copy.config().node(0).name(), "n");
  EXPECT_EQ(copy.rule(0).op(), "for");
  EXPECT_EQ(copy.GetTypeName(), "pellumo.CalculatorGraphTemplate");
}

TEST(TemplateDictTest, RepeatedKeysAreKeptInOrder) {
  TemplateDict dict;
  for (const char* value : {"first", "second"}) {
    TemplateDict::Parameter* parameter = dict.add_arg();
    parameter->set_key("k");
    parameter->mutable_value()->set_str(value);
  }
  TemplateDict parsed;
  ASSERT_TRUE(parsed.ParseFromString(dict.SerializeAsString()));
  ASSERT_EQ(parsed.arg_size(), 2);
  EXPECT_EQ(parsed.arg(0).value().str(), "first");
  EXPECT_EQ(parsed.arg(1).value().str(), "second");
}

TEST(FieldDescriptorProtoTest, TypeNamesValidityAndParse) {
  EXPECT_EQ(FieldDescriptorProto_Type_Name(FieldDescriptorProto::TYPE_INVALID), "TYPE_INVALID");
  EXPECT_EQ(FieldDescriptorProto_Type_Name(FieldDescriptorProto::TYPE_SINT64), "TYPE_SINT64");
  EXPECT_EQ(FieldDescriptorProto_Type_Name(static_cast<FieldDescriptorProto_Type>(19)), "");
  for (int value : {-1, 19}) EXPECT_FALSE(FieldDescriptorProto_Type_IsValid(value));
  for (int value = 0; value <= 18; ++value) EXPECT_TRUE(FieldDescriptorProto_Type_IsValid(value));

  FieldDescriptorProto_Type type = FieldDescriptorProto::TYPE_INVALID;
  EXPECT_TRUE(FieldDescriptorProto_Type_Parse("TYPE_BOOL", &type));
  EXPECT_EQ(type, 8);
  EXPECT_FALSE(FieldDescriptorProto_Type_Parse("type_bool", &type));
  EXPECT_EQ(type, 8);
}

TEST(TemplateSubgraphOptionsTest, ExtensionOfNodeOptions) {
  EXPECT_EQ(TemplateSubgraphOptions::kExtFieldNumber, 172998261);
  CalculatorOptions options;
  TemplateDict::Parameter* parameter =
      options.MutableExtension(TemplateSubgraphOptions::ext)->mutable_dict()->add_arg();
  parameter->set_key("n");
  parameter->mutable_value()->set_num(3);

  CalculatorOptions parsed;
  ASSERT_TRUE(parsed.ParseFromString(options.SerializeAsString()));
  ASSERT_TRUE(parsed.HasExtension(TemplateSubgraphOptions::ext));
  EXPECT_EQ(parsed.GetExtension(TemplateSubgraphOptions::ext).dict().arg(0).value().num(), 3);
}

}  // namespace
}  // namespace pellumo
