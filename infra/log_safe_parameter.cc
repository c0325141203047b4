#include "infra/log_safe_parameter.h"

#include <cstdio>

#include "infra/log_equality.h"

std::shared_ptr<ZRBSafeParameter> ZRBSafeParameter::initWithType(uint64_t type) {
  if (!IsValidType(type)) return nullptr;
  return std::make_shared<ZRBSafeParameter>(type);
}

bool ZRBSafeParameter::isEqual(const ZRBSafeParameter* other) const {
  return other == this || (other != nullptr && other->type_ == type_);
}

std::string ZRBSafeParameter::description() const {
  return "<ZRBSafeParameter type " + std::to_string(type_) + ">";
}

std::shared_ptr<ZRBSafeStringParameter> ZRBSafeStringParameter::initWithString(
    std::optional<std::string> value, uint64_t type) {
  if (!IsValidType(type)) return nullptr;
  return std::make_shared<ZRBSafeStringParameter>(std::move(value), type);
}

bool ZRBSafeStringParameter::isEqual(const ZRBSafeParameter* other) const {
  if (other == this) return true;
  auto* string = dynamic_cast<const ZRBSafeStringParameter*>(other);
  return string != nullptr && string->type() == type() && string->value_ == value_;
}

uint64_t ZRBSafeStringParameter::hash() const {
  return type() + infra::internal::HashOf(value_);
}

std::string ZRBSafeStringParameter::description() const { return value_ ? *value_ : "(null)"; }

std::shared_ptr<ZRBSafeNumberParameter> ZRBSafeNumberParameter::initWithNumber(
    std::optional<ZRBSafeNumber> value, uint64_t type) {
  if (!IsValidType(type)) return nullptr;
  return std::make_shared<ZRBSafeNumberParameter>(std::move(value), type);
}

bool ZRBSafeNumberParameter::isEqual(const ZRBSafeParameter* other) const {
  if (other == this) return true;
  auto* number = dynamic_cast<const ZRBSafeNumberParameter*>(other);
  return number != nullptr && number->type() == type() && number->value_ == value_;
}

uint64_t ZRBSafeNumberParameter::hash() const {
  if (!value_) return type();
  return type() + std::visit([](auto v) { return std::hash<decltype(v)>{}(v); }, *value_);
}

std::string ZRBSafeNumberParameter::description() const {
  if (!value_) return "(null)";
  if (const double* real = std::get_if<double>(&*value_)) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.17g", *real);
    return text;
  }
  return std::visit([](auto v) { return std::to_string(v); }, *value_);
}
