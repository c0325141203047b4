// Template expansion: rule kinds, the operator table, conversions, error recording, and the
// worked example checked by decoding its bytes with protoc.

#include "graph_config/template_expander.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "graph_config/proto_descriptor.pb.h"
#include "gtest/gtest.h"
#include "platform/foundation/scoped_test_folder.h"

namespace kaldren {
namespace tool {
namespace {

using pellumo::CalculatorGraphConfig;
using pellumo::CalculatorGraphTemplate;
using pellumo::FieldDescriptorProto;
using pellumo::TemplateArgument;
using pellumo::TemplateDict;
using pellumo::TemplateExpression;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TemplateExpression Lit(const std::string& text) {
  TemplateExpression expression;
  expression.set_op("literal");
  expression.set_param(text);
  return expression;
}

TemplateExpression Param(const std::string& name) {
  TemplateExpression expression;
  expression.set_param(name);
  return expression;
}

TemplateExpression Op(const std::string& op, const std::vector<TemplateExpression>& args = {}) {
  TemplateExpression expression;
  expression.set_op(op);
  for (const TemplateExpression& arg : args) *expression.add_arg() = arg;
  return expression;
}

TemplateExpression Rule(const std::string& path, FieldDescriptorProto::Type type,
                        TemplateExpression expression) {
  expression.set_path(path);
  expression.set_field_type(type);
  return expression;
}

// A rule that sets the name of the node at `node_path`, which has none.
TemplateExpression NameRule(const std::string& node_path, TemplateExpression expression) {
  expression = Rule(node_path + "/1[0]", FieldDescriptorProto::TYPE_STRING, expression);
  expression.set_field_value("");
  return expression;
}

TemplateArgument Str(const std::string& text) {
  TemplateArgument argument;
  argument.set_str(text);
  return argument;
}

TemplateArgument Num(double number) {
  TemplateArgument argument;
  argument.set_num(number);
  return argument;
}

TemplateArgument List(const std::vector<TemplateArgument>& elements) {
  TemplateArgument argument;
  for (const TemplateArgument& element : elements) *argument.add_element() = element;
  return argument;
}

TemplateDict Dict(const std::vector<std::pair<std::string, TemplateArgument>>& entries) {
  TemplateDict dict;
  for (const auto& [key, value] : entries) {
    TemplateDict::Parameter* parameter = dict.add_arg();
    parameter->set_key(key);
    *parameter->mutable_value() = value;
  }
  return dict;
}

// A configuration of `count` unnamed nodes running calculators "C0", "C1", ...
CalculatorGraphConfig Nodes(int count) {
  CalculatorGraphConfig config;
  for (int i = 0; i < count; ++i) config.add_node()->set_calculator("C" + std::to_string(i));
  return config;
}

struct Expansion {
  absl::Status status;
  CalculatorGraphConfig config;
  std::vector<std::string> names() const {
    std::vector<std::string> result;
    for (const auto& node : config.node()) result.push_back(node.name());
    return result;
  }
  std::vector<std::string> calculators() const {
    std::vector<std::string> result;
    for (const auto& node : config.node()) result.push_back(node.calculator());
    return result;
  }
};

Expansion Expand(const CalculatorGraphConfig& config, const std::vector<TemplateExpression>& rules,
                 const TemplateDict& args = {}) {
  CalculatorGraphTemplate graph_template;
  *graph_template.mutable_config() = config;
  for (const TemplateExpression& rule : rules) *graph_template.add_rule() = rule;
  Expansion expansion;
  TemplateExpander expander;
  expansion.status = expander.ExpandTemplates(args, graph_template, &expansion.config);
  return expansion;
}

// The worked example: node 0 repeated for i in [a, b], each named "x_" + i.
std::vector<TemplateExpression> WorkedExampleRules() {
  TemplateExpression loop = Rule("/1[0]", FieldDescriptorProto::TYPE_MESSAGE,
                                 Op("for", {Param("i"), Op("list", {Lit("a"), Lit("b")})}));
  return {loop, NameRule("/1[0]", Op("concat", {Lit("x_"), Param("i")}))};
}

TEST(TemplateExpanderTest, WorkedExampleDecodesWithProtoc) {
  const Expansion expansion = Expand(Nodes(1), WorkedExampleRules());
  ASSERT_TRUE(expansion.status.ok()) << expansion.status;

  platform::foundation::ScopedTestFolder folder;
  const std::string path = folder.Path("worked_example.binarypb");
  {
    std::ofstream out(path, std::ios::binary);
    out << expansion.config.SerializeAsString();
  }
  const std::string command = std::string(QM_PROTOC) +
                              " --decode=pellumo.CalculatorGraphConfig -I " + QM_SOURCE_ROOT +
                              " graph_config/calculator.proto < " + path;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string decoded;
  char buffer[256];
  while (size_t n = fread(buffer, 1, sizeof(buffer), pipe)) decoded.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(decoded,
            "node {\n  name: \"x_a\"\n  calculator: \"C0\"\n}\n"
            "node {\n  name: \"x_b\"\n  calculator: \"C0\"\n}\n");
}

TEST(TemplateExpanderTest, WithoutRulesTheConfigurationComesBackUnchanged) {
  CalculatorGraphConfig config = Nodes(2);
  config.add_input_stream("in");
  Expansion expansion = Expand(config, {});
  ASSERT_TRUE(expansion.status.ok());
  EXPECT_EQ(expansion.config.SerializeAsString(), config.SerializeAsString());

  CalculatorGraphTemplate empty;
  TemplateExpander expander;
  CalculatorGraphConfig output = Nodes(1);
  ASSERT_TRUE(expander.ExpandTemplates({}, empty, &output).ok());
  EXPECT_EQ(output.node_size(), 0);
}

// The node's name after a name rule with `expression`; "<none>" when it yields no value.
struct EvalCase {
  std::string label;
  TemplateExpression expression;
  std::string name;
};

void PrintTo(const EvalCase& c, std::ostream* os) { *os << c.label; }

const TemplateDict& EvalArgs() {
  static const TemplateDict* const args =
      new TemplateDict(Dict({{"two", Num(2)},
                             {"d",
                              [] {
                                TemplateArgument dict;
                                *dict.mutable_dict() = Dict({{"k", Str("v")}, {"n", Num(7)}});
                                return dict;
                              }()},
                             {"three", List({Str("a"), Str("b"), Str("c")})}}));
  return *args;
}

class OperatorTest : public ::testing::TestWithParam<EvalCase> {};

TEST_P(OperatorTest, Evaluates) {
  const Expansion expansion =
      Expand(Nodes(1), {NameRule("/1[0]", GetParam().expression)}, EvalArgs());
  ASSERT_TRUE(expansion.status.ok()) << expansion.status;
  const auto& node = expansion.config.node(0);
  EXPECT_EQ(node.name().empty() ? "<none>" : node.name(), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OperatorTest,
    ::testing::Values(
        EvalCase{"PlusOfNumericTexts", Op("+", {Lit("2"), Lit("3")}), "5"},
        EvalCase{"PlusOfText", Op("+", {Lit("2"), Lit("x")}), "2x"},
        EvalCase{"ConcatOfNumericTexts", Op("concat", {Lit("2"), Lit("3")}), "23"},
        EvalCase{"Minus", Op("-", {Lit("2"), Param("two")}), "0"},
        EvalCase{"Times", Op("*", {Lit("1.5"), Param("two")}), "3"},
        EvalCase{"DivideByZero", Op("/", {Lit("1"), Lit("0")}), "inf"},
        EvalCase{"Fraction", Op("/", {Lit("1"), Lit("10")}), "0.1"},
        EvalCase{"EqualNumbers", Op("==", {Lit("2.0"), Param("two")}), "1"},
        EvalCase{"LessByText", Op("<", {Lit("b"), Lit("ab")}), "0"},
        EvalCase{"PrefixIsSmaller", Op("<", {Lit("ab"), Lit("abc")}), "1"},
        EvalCase{"Greater", Op(">", {Lit("10"), Lit("9")}), "1"},
        EvalCase{"GreaterOrEqual", Op(">=", {Lit("9"), Lit("9")}), "1"},
        EvalCase{"LessOrEqual", Op("<=", {Lit("10"), Lit("9")}), "0"},
        EvalCase{"NotEqual", Op("!=", {Lit("a"), Lit("a")}), "0"},
        EvalCase{"And", Op("&&", {Lit("yes"), Lit("0")}), "0"},
        EvalCase{"AndSkipsTheSecondWhenFalse", Op("&&", {Lit("no"), Lit("maybe")}), "0"},
        EvalCase{"Or", Op("||", {Lit("f"), Lit("T")}), "1"},
        EvalCase{"Not", Op("!", {Lit("false")}), "1"},
        EvalCase{"Min", Op("min", {Lit("3"), Lit("-1")}), "-1"},
        EvalCase{"Max", Op("max", {Lit("3"), Lit("-1")}), "3"},
        EvalCase{"Lowercase", Op("lowercase", {Lit("AbC")}), "abc"},
        EvalCase{"Uppercase", Op("uppercase", {Lit("AbC")}), "ABC"},
        EvalCase{"Paren", Op("paren", {Lit("p")}), "p"},
        EvalCase{"SizeOfDict", Op("size", {Op("dict", {Lit("a"), Lit("1"), Lit("b"), Lit("2")})}),
                 "2"},
        EvalCase{"SizeOfList", Op("size", {Param("three")}), "3"},
        EvalCase{"SizeOfText", Op("size", {Lit("abc")}), "0"},
        EvalCase{"Dot", Op(".", {Param("d"), Param("k")}), "v"},
        EvalCase{"NumberAsText", Op("concat", {Lit("n"), Op(".", {Param("d"), Param("n")})}), "n7"},
        EvalCase{"SixDigitText", Op("concat", {Lit(""), Op("*", {Lit("1234567"), Lit("1")})}),
                 "1.23457e+06"},
        EvalCase{"RoundTripNumber", Op("*", {Lit("1234567"), Lit("1")}), "1234567"},
        EvalCase{"UnknownOperatorIsUnset", Op("nope", {Lit("a")}), "<none>"},
        EvalCase{"EmptyListIsUnset", Op("list"), "<none>"},
        EvalCase{"ListHasNoFieldValue", Op("list", {Lit("a")}), "<none>"}),
    [](const ::testing::TestParamInfo<EvalCase>& info) { return info.param.label; });

TEST(TemplateExpanderTest, EvaluationErrorsAreRecordedAndGiveFallbackValues) {
  struct Case {
    TemplateExpression expression;
    absl::StatusCode code;
    std::string message;
    std::string name;
  };
  const auto kInvalid = absl::StatusCode::kInvalidArgument;
  const auto kNotFound = absl::StatusCode::kNotFound;
  for (const Case& c : std::vector<Case>{
           {Param("zz"), kNotFound, "param: zz", "0"},
           {Op(".", {Param("d"), Param("q")}), kNotFound, "param field: q", "0"},
           {Op(".", {Lit("not a dict"), Param("k")}), kNotFound, "param field: k", "0"},
           {Op("-", {Lit("x"), Lit("1")}), kInvalid, "x", "-1"},
           {Op("!", {Lit("maybe")}), kInvalid, "maybe", "1"},
           {Op("dict", {Lit("a"), Lit("b"), Lit("c")}), kInvalid,
            "Dict requires an even number of arguments, got: 3", ""},
           {Op("+", {Lit("2")}), kInvalid, "Operator \"+\" requires 2 arguments, got: 1", "2"},
           {Op(".", {Param("d")}), kInvalid, "Operator \".\" requires 2 arguments, got: 1", "0"},
       }) {
    const Expansion expansion = Expand(Nodes(1), {NameRule("/1[0]", c.expression)}, EvalArgs());
    EXPECT_EQ(expansion.status.code(), c.code) << c.message;
    EXPECT_EQ(expansion.status.message(), c.message);
    EXPECT_EQ(expansion.config.node(0).name(), c.name) << c.message;
  }
}

TEST(TemplateExpanderTest, NumbersAndTextsBecomeFieldValuesOfTheRuleType) {
  // source_layer is an int32 (field 9 of a node).
  TemplateExpression layer =
      Rule("/1[0]/9[0]", FieldDescriptorProto::TYPE_INT32, Op("+", {Lit("1"), Lit("2")}));
  layer.set_field_value("");
  Expansion expansion = Expand(Nodes(1), {layer});
  ASSERT_TRUE(expansion.status.ok()) << expansion.status;
  EXPECT_EQ(expansion.config.node(0).source_layer(), 3);

  *layer.mutable_arg(1) = Lit("1.5");
  expansion = Expand(Nodes(1), {layer});
  EXPECT_EQ(expansion.status.message(), "Syntax error: \"2.5\" for type: int.");
  EXPECT_EQ(expansion.config.node(0).source_layer(), 0);

  // A field that has a value already refuses another one.
  CalculatorGraphConfig named = Nodes(1);
  named.mutable_node(0)->set_name("taken");
  expansion = Expand(named, {NameRule("/1[0]", Lit("x"))});
  EXPECT_EQ(expansion.status.message(),
            "Multiple values specified for non-repeated field: /1[0]/1[0]");
  EXPECT_EQ(expansion.status.code(), absl::StatusCode::kInvalidArgument);

  // Bytes that are not UTF-8 make the configuration unreadable.
  expansion = Expand(Nodes(1), {NameRule("/1[0]", Lit("\xff"))});
  EXPECT_EQ(expansion.status, absl::InternalError("ExpandTemplates failed"));

  // A message field typed as such refuses a text.
  expansion = Expand(Nodes(1), {Rule("/1[0]", FieldDescriptorProto::TYPE_MESSAGE, Lit("x"))});
  EXPECT_EQ(expansion.status.code(), absl::StatusCode::kUnimplemented);
  EXPECT_EQ(expansion.config.node_size(), 0);
}

TEST(TemplateExpanderTest, ConditionsKeepOrRemoveTheValue) {
  struct Case {
    TemplateExpression condition;
    bool kept;
    std::string error;
  };
  for (const Case& c : std::vector<Case>{{Lit("yes"), true, ""},
                                         {Lit("no"), false, ""},
                                         {Lit("0"), false, ""},
                                         {Op("-", {Lit("1"), Lit("1")}), false, ""},
                                         {Op("/", {Lit("0"), Lit("0")}), true, ""},
                                         {Lit("maybe"), false, "maybe"}}) {
    const Expansion expansion = Expand(
        Nodes(2), {Rule("/1[0]", FieldDescriptorProto::TYPE_MESSAGE, Op("if", {c.condition}))});
    EXPECT_EQ(std::string(expansion.status.message()), c.error);
    const std::vector<std::string> expected =
        c.kept ? std::vector<std::string>{"C0", "C1"} : std::vector<std::string>{"C1"};
    EXPECT_EQ(expansion.calculators(), expected) << c.condition.param();
  }
}

TEST(TemplateExpanderTest, LoopsRepeatRemoveAndRestoreTheirVariable) {
  const auto loop = [](const TemplateExpression& range) {
    return Rule("/1[0]", FieldDescriptorProto::TYPE_MESSAGE, Op("for", {Param("i"), range}));
  };
  const TemplateExpression name = NameRule("/1[0]", Op("concat", {Lit("n"), Param("i")}));
  const TemplateDict args = Dict({{"i", Str("arg")}, {"xs", List({Num(1), Num(2), Num(3)})}});

  // The variable shadows the argument inside the loop; the rule after the loop sees the
  // argument again.
  Expansion expansion =
      Expand(Nodes(2), {loop(Param("xs")), name, NameRule("/1[1]", Param("i"))}, args);
  ASSERT_TRUE(expansion.status.ok()) << expansion.status;
  EXPECT_THAT(expansion.names(), ElementsAre("n1", "n2", "n3", "arg"));

  for (const TemplateExpression& range : {Op("list"), Lit("text"), Param("i")}) {
    expansion = Expand(Nodes(2), {loop(range), name}, args);
    EXPECT_TRUE(expansion.status.ok());
    EXPECT_THAT(expansion.calculators(), ElementsAre("C1"));
  }

  // With two entries of the name, lookups see the first while the loop binds the last.
  const TemplateDict twice = Dict({{"i", Str("first")}, {"i", Str("second")}});
  expansion =
      Expand(Nodes(2), {loop(Op("list", {Lit("a")})), name, NameRule("/1[1]", Param("i"))}, twice);
  ASSERT_TRUE(expansion.status.ok()) << expansion.status;
  EXPECT_THAT(expansion.names(), ElementsAre("nfirst", "first"));

  // Without the argument, the variable is unbound again after the loop.
  expansion = Expand(Nodes(2), {loop(Op("list", {Lit("a")})), name, NameRule("/1[1]", Param("i"))});
  EXPECT_EQ(expansion.status.message(), "param: i");
  EXPECT_THAT(expansion.names(), ElementsAre("na", "0"));
}

TEST(TemplateExpanderTest, RulesForTheSameFieldApplyInOrder) {
  // Nodes 0 and 1 each become two; the second rule's edit goes first.
  const auto twice = [](const std::string& path, const std::string& prefix) {
    return std::vector<TemplateExpression>{
        Rule(path, FieldDescriptorProto::TYPE_MESSAGE,
             Op("for", {Param("j"), Op("list", {Lit("a"), Lit("b")})})),
        NameRule(path, Op("concat", {Lit(prefix), Param("j")}))};
  };
  std::vector<TemplateExpression> rules = twice("/1[0]", "p");
  for (const TemplateExpression& rule : twice("/1[1]", "q")) rules.push_back(rule);
  const Expansion expansion = Expand(Nodes(3), rules);
  ASSERT_TRUE(expansion.status.ok()) << expansion.status;
  EXPECT_THAT(expansion.names(), ElementsAre("pa", "pb", "qa", "qb", ""));
  EXPECT_THAT(expansion.calculators(), ElementsAre("C0", "C0", "C1", "C1", "C2"));
}

TEST(TemplateExpanderTest, PeerRulesApplyOutsideIn) {
  // param, then for, then if, all on node 0: the default applies, the loop repeats, and the
  // condition keeps only the elements other than "b".
  const std::string path = "/1[0]";
  const auto rule = [&](const TemplateExpression& e) {
    return Rule(path, FieldDescriptorProto::TYPE_MESSAGE, e);
  };
  const std::vector<TemplateExpression> rules = {
      rule(Op("param", {Param("xs"), Op("list", {Lit("a"), Lit("b"), Lit("c")})})),
      rule(Op("for", {Param("x"), Param("xs")})),
      rule(Op("if", {Op("!=", {Param("x"), Lit("b")})})), NameRule(path, Param("x"))};
  Expansion expansion = Expand(Nodes(1), rules);
  ASSERT_TRUE(expansion.status.ok()) << expansion.status;
  EXPECT_THAT(expansion.names(), ElementsAre("a", "c"));

  // An argument of the same name wins over the default.
  expansion = Expand(Nodes(1), rules, Dict({{"xs", List({Str("z")})}}));
  EXPECT_THAT(expansion.names(), ElementsAre("z"));

  // A declaration with one operand binds nothing, and still expands what follows it; so
  // does one with three, after recording an error.
  expansion = Expand(Nodes(1), {rule(Op("param", {Param("v")})), NameRule(path, Param("v"))});
  EXPECT_EQ(expansion.status, absl::NotFoundError("param: v"));
  EXPECT_THAT(expansion.names(), ElementsAre("0"));
  expansion = Expand(
      Nodes(1), {rule(Op("param", {Param("v"), Lit("1"), Lit("2")})), NameRule(path, Lit("kept"))});
  EXPECT_EQ(expansion.status.message(),
            "Param declaration must specify a parameter name and may specify a single default "
            "value.");
  EXPECT_THAT(expansion.names(), ElementsAre("kept"));
}

TEST(TemplateExpanderTest, PathsAreTextPrefixes) {
  // A path without its closing bracket still reads ("/1[1" is node 1), and as a text prefix
  // it holds "/1[10]" below it: relative to it, "0]" does not read.
  const Expansion expansion =
      Expand(Nodes(2), {Rule("/1[1", FieldDescriptorProto::TYPE_MESSAGE, Op("if", {Lit("1")})),
                        Rule("/1[10]", FieldDescriptorProto::TYPE_MESSAGE, Lit("x"))});
  EXPECT_EQ(expansion.status, absl::InvalidArgumentError("0]"));
  // The enclosing rule yields no value: node 1 is gone.
  EXPECT_THAT(expansion.calculators(), ElementsAre("C0"));

  // Well-formed paths nest only below a whole step.
  const Expansion siblings =
      Expand(Nodes(2), {Rule("/1[1]", FieldDescriptorProto::TYPE_MESSAGE, Op("if", {Lit("1")})),
                        NameRule("/1[0]", Lit("x"))});
  EXPECT_TRUE(siblings.status.ok()) << siblings.status;
  EXPECT_THAT(siblings.names(), ElementsAre("x", ""));

  // When writing, a path that does not read is a failed check.
  const Expansion bad = Expand(Nodes(1), {NameRule("/x[0]", Lit("n"))});
  EXPECT_EQ(bad.status.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(std::string(bad.status.message()),
              HasSubstr("ProtoPathSplit(ProtoPathRelative(rule.path(), base_path), &field_path)"));
}

TEST(TemplateExpanderTest, RulesWithoutPathReplaceTheWholeMessage) {
  CalculatorGraphConfig replacement = Nodes(1);
  replacement.mutable_node(0)->set_calculator("Whole");
  TemplateExpression whole = Lit(replacement.SerializeAsString());
  whole.set_field_type(FieldDescriptorProto::TYPE_BYTES);
  Expansion expansion = Expand(Nodes(2), {whole});
  ASSERT_TRUE(expansion.status.ok()) << expansion.status;
  EXPECT_THAT(expansion.calculators(), ElementsAre("Whole"));

  // No value: the message stays as it was, and the error says so.
  TemplateExpression none = Op("if", {Lit("no")});
  expansion = Expand(Nodes(2), {none});
  EXPECT_EQ(expansion.status, absl::InvalidArgumentError("Rule without path produced no value"));
  EXPECT_THAT(expansion.calculators(), ElementsAre("C0", "C1"));
}

TEST(TemplateExpanderTest, ReadErrorsOfBaseValuesAndParents) {
  struct Case {
    std::vector<TemplateExpression> rules;
    std::string condition;
  };
  const TemplateExpression keep = Op("if", {Lit("1")});
  for (const Case& c : std::vector<Case>{
           // Base values of nodes that are not there.
           {{Rule("/1[3]", FieldDescriptorProto::TYPE_MESSAGE, keep)},
            "index >= 0 && index <= v.size()"},
           {{Rule("/1[3]/2[0]", FieldDescriptorProto::TYPE_STRING, Lit("x"))},
            "index >= 0 && index < v.size()"},
           // A single field whose parent is missing: the parent's read error.
           {{NameRule("/1[3]", Lit("x"))}, "index >= 0 && index <= v.size()"},
           {{Rule("/1[0]", FieldDescriptorProto::TYPE_MESSAGE, keep),
             NameRule("/1[0]/7[0]", Lit("x"))},
            "index + length >= 0 && index + length <= v.size()"},
       }) {
    const Expansion expansion = Expand(Nodes(1), c.rules);
    EXPECT_EQ(expansion.status.code(), absl::StatusCode::kInternal);
    EXPECT_THAT(std::string(expansion.status.message()), HasSubstr(c.condition));
  }
}

TEST(TemplateExpanderTest, EveryErrorIsLoggedInOrderAndTheFirstReturned) {
  ::testing::internal::CaptureStderr();
  const Expansion expansion =
      Expand(Nodes(2), {NameRule("/1[0]", Param("first")), NameRule("/1[1]", Param("second"))});
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(expansion.status, absl::NotFoundError("param: first"));
  const size_t first = log.find("param: first");
  const size_t second = log.find("param: second");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);

  // The list is cleared for the next call.
  TemplateExpander expander;
  CalculatorGraphTemplate graph_template;
  CalculatorGraphConfig output;
  *graph_template.add_rule() = NameRule("/1[0]", Param("missing"));
  EXPECT_FALSE(expander.ExpandTemplates({}, graph_template, &output).ok());
  *graph_template.mutable_config() = Nodes(1);
  graph_template.clear_rule();
  EXPECT_TRUE(expander.ExpandTemplates({}, graph_template, &output).ok());
}

}  // namespace
}  // namespace tool
}  // namespace kaldren
