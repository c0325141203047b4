// Safe parameters: log arguments marked with an upload-safety type. Type 0 is not upload-safe,
// types 1 to 4 are; a type above 4 makes no parameter.
//
//   auto count = ZRBSafeNumberParameter::parameterWithNumber(int64_t{3}, 1);
//   // a report that passes `count` among its arguments carries it in its safeParameters
//
// Parameters are immutable and may be shared between threads.
#ifndef INFRA_LOG_SAFE_PARAMETER_H_
#define INFRA_LOG_SAFE_PARAMETER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/utility/format.h"

class ZRBSafeParameter : public platform::utility::Describing {
 public:
  static std::shared_ptr<ZRBSafeParameter> initWithType(uint64_t type);

  uint64_t type() const { return type_; }
  bool isUploadSafeType() const { return type_ >= 1 && type_ <= 4; }

  // Same class (or a subclass) and type; subclasses compare their values too.
  virtual bool isEqual(const ZRBSafeParameter* other) const;
  virtual uint64_t hash() const { return type_; }
  std::string description() const override;

  explicit ZRBSafeParameter(uint64_t type) : type_(type) {}

 protected:
  static bool IsValidType(uint64_t type) { return type <= 4; }

 private:
  uint64_t type_;
};

class ZRBSafeStringParameter : public ZRBSafeParameter {
 public:
  // Null for a type above 4.
  static std::shared_ptr<ZRBSafeStringParameter> initWithString(std::optional<std::string> value,
                                                                uint64_t type);
  static std::shared_ptr<ZRBSafeStringParameter> parameterWithString(
      std::optional<std::string> value, uint64_t type) {
    return initWithString(std::move(value), type);
  }

  const std::optional<std::string>& stringValue() const { return value_; }

  bool isEqual(const ZRBSafeParameter* other) const override;
  uint64_t hash() const override;
  // The string, "(null)" for none.
  std::string description() const override;

  ZRBSafeStringParameter(std::optional<std::string> value, uint64_t type)
      : ZRBSafeParameter(type), value_(std::move(value)) {}

 private:
  std::optional<std::string> value_;
};

// A number value: signed, unsigned or floating point.
using ZRBSafeNumber = std::variant<int64_t, uint64_t, double>;

class ZRBSafeNumberParameter : public ZRBSafeParameter {
 public:
  // Null for a type above 4.
  static std::shared_ptr<ZRBSafeNumberParameter> initWithNumber(std::optional<ZRBSafeNumber> value,
                                                                uint64_t type);
  static std::shared_ptr<ZRBSafeNumberParameter> parameterWithNumber(
      std::optional<ZRBSafeNumber> value, uint64_t type) {
    return initWithNumber(std::move(value), type);
  }

  const std::optional<ZRBSafeNumber>& numberValue() const { return value_; }

  bool isEqual(const ZRBSafeParameter* other) const override;
  uint64_t hash() const override;
  // The number in decimal ("%g" style for floating point), "(null)" for none.
  std::string description() const override;

  ZRBSafeNumberParameter(std::optional<ZRBSafeNumber> value, uint64_t type)
      : ZRBSafeParameter(type), value_(std::move(value)) {}

 private:
  std::optional<ZRBSafeNumber> value_;
};

#endif  // INFRA_LOG_SAFE_PARAMETER_H_
