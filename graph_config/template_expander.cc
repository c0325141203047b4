#include "graph_config/template_expander.h"

#include <optional>
#include <string>
#include <utility>

#include "absl/strings/ascii.h"
#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_split.h"
#include "base/logging.h"
#include "base/status_macros.h"
#include "base/strings/numbers.h"
#include "graph_config/proto_util_lite.h"

namespace kaldren {
namespace tool {

using pellumo::CalculatorGraphTemplate;
using pellumo::TemplateArgument;
using pellumo::TemplateDict;
using pellumo::TemplateExpression;
using FieldPath = ProtoUtilLite::FieldPath;
using FieldType = ProtoUtilLite::FieldType;
using FieldValue = ProtoUtilLite::FieldValue;

namespace {

// Whether `path` starts with `base`: a plain text prefix, so "/1[1]" starts "/1[10]".
bool ProtoPathStartsWith(const std::string& path, const std::string& base) {
  return absl::StartsWith(path, base);
}

// `field_path` without the leading `base_path`.
std::string ProtoPathRelative(const std::string& field_path, const std::string& base_path) {
  CHECK(ProtoPathStartsWith(field_path, base_path));
  return field_path.substr(base_path.size());
}

// Reads "/F[I]/F[I]..." into (field number, index) steps; the first piece that does not read
// refuses the whole text.
absl::Status ProtoPathSplit(const std::string& path, FieldPath* result) {
  absl::Status status;
  for (absl::string_view piece : absl::StrSplit(path, '/', absl::SkipEmpty())) {
    std::vector<absl::string_view> numbers = absl::StrSplit(piece, absl::ByAnyChar("[]"));
    int field_number = 0;
    int index = 0;
    if (numbers.size() >= 2 && absl::SimpleAtoi(numbers[0], &field_number) &&
        absl::SimpleAtoi(numbers[1], &index)) {
      result->emplace_back(field_number, index);
    } else if (status.ok()) {
      status = absl::InvalidArgumentError(path);
    }
  }
  return status;
}

// The first entry named `name`; its value, empty when it has none.
std::optional<TemplateArgument> GetItem(const TemplateDict& dict, const std::string& name) {
  for (const TemplateDict::Parameter& parameter : dict.arg()) {
    if (parameter.key() == name) return parameter.value();
  }
  return std::nullopt;
}

// Binds the last entry named `name` to `value`, or removes that entry when `value` is null;
// with no such entry, appends one for a value.
void PutItem(TemplateDict* dict, const std::string& name, const TemplateArgument* value) {
  for (int i = dict->arg_size() - 1; i >= 0; --i) {
    if (dict->arg(i).key() != name) continue;
    if (value != nullptr) {
      *dict->mutable_arg(i)->mutable_value() = *value;
    } else {
      dict->mutable_arg()->erase(dict->mutable_arg()->begin() + i);
    }
    return;
  }
  if (value == nullptr) return;
  TemplateDict::Parameter* parameter = dict->add_arg();
  parameter->set_key(name);
  *parameter->mutable_value() = *value;
}

// Operand `i` of `expression`, an empty expression when it has fewer.
const TemplateExpression& Operand(const TemplateExpression& expression, int i) {
  return i < expression.arg_size() ? expression.arg(i) : TemplateExpression::default_instance();
}

// How many operands an expression operator reads; 0 for those that read any number.
int OperandCount(const std::string& op) {
  static const auto* const kOneOperand =
      new std::vector<std::string>{"paren", "!", "lowercase", "uppercase", "size"};
  static const auto* const kTwoOperands =
      new std::vector<std::string>{"+",  "-",  "*",  "/",  ">",   "<",   ">=",     "<=",
                                   "==", "!=", "&&", "||", "min", "max", "concat", "."};
  for (const std::string& name : *kOneOperand) {
    if (name == op) return 1;
  }
  for (const std::string& name : *kTwoOperands) {
    if (name == op) return 2;
  }
  return 0;
}

TemplateArgument Number(double value) {
  TemplateArgument result;
  result.set_num(value);
  return result;
}

}  // namespace

// The state of one expansion: the rules, the environment of arguments that "for" and "param"
// rules change, and the expander's error list.
class TemplateExpanderImpl {
 public:
  explicit TemplateExpanderImpl(std::vector<absl::Status>* errors) : errors_(errors) {}

  bool ExpandTemplates(const TemplateDict& args, const CalculatorGraphTemplate& graph_template,
                       pellumo::CalculatorGraphConfig* output) {
    FieldValue proto;
    if (!graph_template.config().SerializeToString(&proto)) return false;
    template_rules_ = graph_template;
    template_rules_.clear_config();
    environment_ = args;
    std::vector<FieldValue> result;
    if (!ExpandNestedRules(0, "", proto, &result)) return false;
    return output->ParseFromString(result[0]);
  }

 private:
  const TemplateExpression& rule(int index) const { return template_rules_.rule(index); }

  // Applies the rules from `base_index` on that lie below `base_path` to `base_message`, and
  // appends the result to `result`.
  bool ExpandNestedRules(int base_index, const std::string& base_path,
                         const FieldValue& base_message, std::vector<FieldValue>* result) {
    FieldValue output = base_message;
    const std::vector<int> rules = GetNestedRules(base_index, base_path);
    std::vector<std::vector<FieldValue>> edits;
    for (int index : rules) {
      std::vector<FieldValue> base;
      absl::Status status = GetBaseValue(base_path, rule(index), base_message, &base);
      if (!status.ok()) {
        RecordError(status);
        return false;
      }
      edits.emplace_back();
      ExpandTemplateRule(index, base[0], &edits.back());
    }
    // Last rule first, so that earlier rules' indexes still point at their values.
    for (int i = static_cast<int>(rules.size()) - 1; i >= 0; --i) {
      absl::Status status = ReplaceBaseValue(base_path, rule(rules[i]), edits[i], &output);
      if (!status.ok()) {
        RecordError(status);
        return false;
      }
    }
    result->push_back(std::move(output));
    return true;
  }

  // The first rule of each group of peers below `base_path`, skipping the rules nested under
  // a selected one.
  std::vector<int> GetNestedRules(int base_index, const std::string& base_path) const {
    std::vector<int> result;
    std::string last_path = "-1[-1]";
    for (int i = base_index;
         i < template_rules_.rule_size() && ProtoPathStartsWith(rule(i).path(), base_path); ++i) {
      if (!ProtoPathStartsWith(rule(i).path(), last_path)) {
        result.push_back(i);
        last_path = rule(i).path();
      }
    }
    return result;
  }

  absl::Status GetBaseValue(const std::string& base_path, const TemplateExpression& rule,
                            const FieldValue& message, std::vector<FieldValue>* base) {
    if (rule.path().empty()) {
      base->push_back(message);
      return absl::OkStatus();
    }
    if (rule.has_field_value()) {
      base->push_back(rule.field_value());
      return absl::OkStatus();
    }
    FieldPath field_path;
    RETURN_IF_ERROR(ProtoPathSplit(ProtoPathRelative(rule.path(), base_path), &field_path));
    return ProtoUtilLite::GetFieldRange(message, field_path, 1,
                                        static_cast<FieldType>(rule.field_type()), base);
  }

  void ExpandTemplateRule(int index, const FieldValue& base, std::vector<FieldValue>* result) {
    const std::string& op = rule(index).op();
    if (op == "for") {
      ExpandIterationRule(index, base, result);
    } else if (op == "if") {
      ExpandConditionalRule(index, base, result);
    } else if (op == "param") {
      ExpandDeclaration(index, base, result);
    } else {
      ExpandExpressionRule(index, result);
    }
  }

  // The next peer rule, or else the rules nested under this one.
  void ExpandPeerRules(int index, const FieldValue& base, std::vector<FieldValue>* result) {
    if (index + 1 < template_rules_.rule_size() && rule(index + 1).path() == rule(index).path()) {
      ExpandTemplateRule(index + 1, base, result);
    } else {
      ExpandNestedRules(index + 1, rule(index).path(), base, result);
    }
  }

  void ExpandIterationRule(int index, const FieldValue& base, std::vector<FieldValue>* result) {
    const TemplateExpression& iteration = rule(index);
    CheckOperandCount(iteration, 2);
    const std::string& variable = Operand(iteration, 0).param();
    const TemplateArgument range = EvalExpression(Operand(iteration, 1));
    const std::optional<TemplateArgument> saved = GetItem(environment_, variable);
    for (const TemplateArgument& element : range.element()) {
      PutItem(&environment_, variable, &element);
      ExpandPeerRules(index, base, result);
    }
    PutItem(&environment_, variable, saved.has_value() ? &*saved : nullptr);
  }

  void ExpandConditionalRule(int index, const FieldValue& base, std::vector<FieldValue>* result) {
    CheckOperandCount(rule(index), 1);
    if (AsBool(EvalExpression(Operand(rule(index), 0)))) ExpandPeerRules(index, base, result);
  }

  void ExpandDeclaration(int index, const FieldValue& base, std::vector<FieldValue>* result) {
    const TemplateExpression& declaration = rule(index);
    if (declaration.arg_size() < 1 || declaration.arg_size() > 2) {
      RecordError(absl::InvalidArgumentError(
          "Param declaration must specify a parameter name and may specify a single default "
          "value."));
    }
    if (declaration.arg_size() == 2) {
      const std::string& name = declaration.arg(0).param();
      const TemplateArgument value = EvalExpression(declaration.arg(1));
      if (!GetItem(environment_, name).has_value()) PutItem(&environment_, name, &value);
    }
    ExpandPeerRules(index, base, result);
  }

  void ExpandExpressionRule(int index, std::vector<FieldValue>* result) {
    const TemplateExpression& expression = rule(index);
    std::vector<FieldValue> values;
    absl::Status status = AsFieldValues({EvalExpression(expression)},
                                        static_cast<FieldType>(expression.field_type()), &values);
    if (!status.ok()) {
      RecordError(status);
      return;
    }
    // An unset or list value yields no field value.
    if (!values.empty()) result->push_back(std::move(values[0]));
  }

  absl::Status ReplaceBaseValue(const std::string& base_path, const TemplateExpression& rule,
                                const std::vector<FieldValue>& values, FieldValue* message) {
    if (rule.path().empty()) {
      if (values.empty()) {
        RecordError(absl::InvalidArgumentError("Rule without path produced no value"));
      } else {
        *message = values[0];
      }
      return absl::OkStatus();
    }
    FieldPath field_path;
    RET_CHECK_OK(ProtoPathSplit(ProtoPathRelative(rule.path(), base_path), &field_path));
    RET_CHECK(!field_path.empty());
    const auto field_type = static_cast<FieldType>(rule.field_type());
    int length = 1;
    if (rule.has_field_value()) {
      // A non-repeated field: refuse a value where one is present already.
      if (!values.empty()) {
        std::vector<FieldValue> parent;
        if (field_path.size() == 1) {
          parent.push_back(*message);
        } else {
          FieldPath parent_path(field_path.begin(), field_path.end() - 1);
          RETURN_IF_ERROR(ProtoUtilLite::GetFieldRange(
              *message, parent_path, 1, ProtoUtilLite::WireFormatLite::TYPE_MESSAGE, &parent));
        }
        ProtoUtilLite::FieldAccess access(field_path.back().first, field_type);
        RETURN_IF_ERROR(access.SetMessage(parent[0]));
        if (!access.mutable_field_values()->empty()) {
          return absl::InvalidArgumentError(
              absl::StrCat("Multiple values specified for non-repeated field: ", rule.path()));
        }
      }
      field_path.back().second = 0;
      length = 0;
    }
    return ProtoUtilLite::ReplaceFieldRange(message, field_path, length, field_type, values);
  }

  void RecordError(const absl::Status& status) { errors_->push_back(status); }

  // Records an error when `expression` has fewer than `count` operands.
  void CheckOperandCount(const TemplateExpression& expression, int count) {
    if (expression.arg_size() < count) {
      RecordError(absl::InvalidArgumentError(
          absl::StrCat("Operator \"", expression.op(), "\" requires ", count,
                       " arguments, got: ", expression.arg_size())));
    }
  }

  TemplateArgument EvalExpression(const TemplateExpression& expression) {
    if (expression.op() == "literal") return AsArgument(expression.param());
    if (expression.op() == ".") return EvalDot(expression);
    if (expression.has_param()) return EvalParam(expression);

    const int count = OperandCount(expression.op());
    CheckOperandCount(expression, count);
    std::vector<TemplateArgument> args = EvalNestedExpressions(expression);
    // Missing operands read as unset.
    if (static_cast<int>(args.size()) < count) args.resize(count);
    const std::string& op = expression.op();
    if (op == "paren") return args[0];
    if (op == "+") {
      if (IsNum(args[0]) && IsNum(args[1])) return Number(AsNum(args[0]) + AsNum(args[1]));
      return AsArgument(AsString(args[0]) + AsString(args[1]));
    }
    if (op == "-") return Number(AsNum(args[0]) - AsNum(args[1]));
    if (op == "*") return Number(AsNum(args[0]) * AsNum(args[1]));
    if (op == "/") return Number(AsNum(args[0]) / AsNum(args[1]));
    if (op == ">") return Number(CompareArgs(args[0], args[1]) > 0);
    if (op == "<") return Number(CompareArgs(args[0], args[1]) < 0);
    if (op == ">=") return Number(CompareArgs(args[0], args[1]) >= 0);
    if (op == "<=") return Number(CompareArgs(args[0], args[1]) <= 0);
    if (op == "==") return Number(CompareArgs(args[0], args[1]) == 0);
    if (op == "!=") return Number(CompareArgs(args[0], args[1]) != 0);
    if (op == "&&") return Number(AsBool(args[0]) && AsBool(args[1]));
    if (op == "||") return Number(AsBool(args[0]) || AsBool(args[1]));
    if (op == "!") return Number(!AsBool(args[0]));
    if (op == "min" || op == "max") {
      const double a = AsNum(args[0]);
      const double b = AsNum(args[1]);
      if (op == "min") return Number(b < a ? b : a);
      return Number(a < b ? b : a);
    }
    if (op == "concat") return AsArgument(AsString(args[0]) + AsString(args[1]));
    if (op == "lowercase") return AsArgument(absl::AsciiStrToLower(AsString(args[0])));
    if (op == "uppercase") return AsArgument(absl::AsciiStrToUpper(AsString(args[0])));
    if (op == "dict") return AsDict(args);
    if (op == "list") return AsList(args);
    if (op == "size") {
      return Number(args[0].has_dict() ? args[0].dict().arg_size() : args[0].element_size());
    }
    return TemplateArgument();
  }

  std::vector<TemplateArgument> EvalNestedExpressions(const TemplateExpression& expression) {
    std::vector<TemplateArgument> result;
    for (const TemplateExpression& arg : expression.arg()) result.push_back(EvalExpression(arg));
    return result;
  }

  TemplateArgument EvalParam(const TemplateExpression& expression) {
    std::optional<TemplateArgument> value = GetItem(environment_, expression.param());
    if (value.has_value()) return *std::move(value);
    RecordError(absl::NotFoundError(absl::StrCat("param: ", expression.param())));
    return Number(0);
  }

  TemplateArgument EvalDot(const TemplateExpression& expression) {
    CheckOperandCount(expression, 2);
    const TemplateArgument dict = EvalExpression(Operand(expression, 0));
    const std::string& key = Operand(expression, 1).param();
    std::optional<TemplateArgument> value = GetItem(dict.dict(), key);
    if (value.has_value()) return *std::move(value);
    RecordError(absl::NotFoundError(absl::StrCat("param field: ", key)));
    return Number(0);
  }

  static TemplateArgument AsArgument(const std::string& text) {
    TemplateArgument result;
    result.set_str(text);
    return result;
  }
  static TemplateArgument AsArgument(double number) { return Number(number); }

  static bool IsNum(const TemplateArgument& value) {
    double unused;
    return value.has_num() || (value.has_str() && absl::SimpleAtod(value.str(), &unused));
  }

  double AsNum(const TemplateArgument& value) {
    if (value.has_num()) return value.num();
    if (!value.has_str()) return 0;
    double result = 0;
    if (!absl::SimpleAtod(value.str(), &result)) {
      RecordError(absl::InvalidArgumentError(value.str()));
      return 0;
    }
    return result;
  }

  static std::string AsString(const TemplateArgument& value) {
    if (value.has_str()) return value.str();
    if (value.has_num()) return absl::StrCat(value.num());
    return "";
  }

  bool AsBool(const TemplateArgument& value) {
    if (value.has_num()) return value.num() != 0;
    if (!value.has_str()) return false;
    bool result = false;
    if (!absl::SimpleAtob(value.str(), &result)) {
      RecordError(absl::InvalidArgumentError(value.str()));
      return false;
    }
    return result;
  }

  // Below zero, zero or above zero as `a` is below, equal to or above `b`: as numbers when
  // both are numbers, else as texts.
  int CompareArgs(const TemplateArgument& a, const TemplateArgument& b) {
    if (IsNum(a) && IsNum(b)) {
      const double difference = AsNum(a) - AsNum(b);
      return difference < 0 ? -1 : difference > 0 ? 1 : 0;
    }
    return AsString(a).compare(AsString(b));
  }

  TemplateArgument AsDict(const std::vector<TemplateArgument>& args) {
    if (args.size() % 2 != 0) {
      RecordError(absl::InvalidArgumentError(
          absl::StrCat("Dict requires an even number of arguments, got: ", args.size())));
      return TemplateArgument();
    }
    TemplateArgument result;
    TemplateDict* dict = result.mutable_dict();
    for (size_t i = 0; i < args.size(); i += 2) {
      TemplateDict::Parameter* parameter = dict->add_arg();
      parameter->set_key(AsString(args[i]));
      *parameter->mutable_value() = args[i + 1];
    }
    return result;
  }

  static TemplateArgument AsList(const std::vector<TemplateArgument>& args) {
    TemplateArgument result;
    for (const TemplateArgument& arg : args) *result.add_element() = arg;
    return result;
  }

  // Field values of `field_type` for `values`: a dictionary as its encoding, a text or a
  // number through its text; unset and list values give none.
  static absl::Status AsFieldValues(const std::vector<TemplateArgument>& values,
                                    FieldType field_type, std::vector<FieldValue>* result) {
    for (const TemplateArgument& value : values) {
      if (value.has_dict()) {
        result->push_back(value.dict().SerializeAsString());
        continue;
      }
      std::string text;
      if (value.has_str()) {
        text = value.str();
      } else if (value.has_num()) {
        text = strings::RoundTripDtoa(value.num());
      } else {
        continue;
      }
      std::vector<FieldValue> field_values;
      RETURN_IF_ERROR(ProtoUtilLite::Serialize({text}, field_type, &field_values));
      result->insert(result->end(), field_values.begin(), field_values.end());
    }
    return absl::OkStatus();
  }

  CalculatorGraphTemplate template_rules_;
  TemplateDict environment_;
  std::vector<absl::Status>* errors_;
};

absl::Status TemplateExpander::ExpandTemplates(
    const pellumo::TemplateDict& args, const pellumo::CalculatorGraphTemplate& graph_template,
    pellumo::CalculatorGraphConfig* output) {
  errors_.clear();
  TemplateExpanderImpl expander(&errors_);
  if (!expander.ExpandTemplates(args, graph_template, output)) {
    errors_.push_back(absl::InternalError("ExpandTemplates failed"));
  }
  for (const absl::Status& error : errors_) LOG(ERROR) << error;
  return errors_.empty() ? absl::OkStatus() : errors_[0];
}

}  // namespace tool
}  // namespace kaldren
