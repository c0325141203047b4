#include "platform/foundation/ns_keyed_archiver.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <utility>

#include "base/logging.h"

namespace platform::foundation {
namespace {

std::mutex& RegistryMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::map<std::string, CodingClass>& Registry() {
  static auto* registry = new std::map<std::string, CodingClass>;
  return *registry;
}

std::optional<CodingClass> FindCodingClass(const std::string& name) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto it = Registry().find(name);
  if (it == Registry().end()) return std::nullopt;
  return it->second;
}

// Dates further than this from 1970 (about 285 years) are refused: the system clock counts
// nanoseconds in 64 bits and cannot hold them.
constexpr double kMaxDateSeconds = 9e9;

std::string KindName(keyed_archive::Kind kind) {
  switch (kind) {
    case keyed_archive::Kind::kNull: return "null";
    case keyed_archive::Kind::kString: return "a string";
    case keyed_archive::Kind::kInteger: return "an integer";
    case keyed_archive::Kind::kDouble: return "a double";
    case keyed_archive::Kind::kBool: return "a boolean";
    case keyed_archive::Kind::kData: return "data";
    case keyed_archive::Kind::kDate: return "a date";
    case keyed_archive::Kind::kObject: return "an object";
    case keyed_archive::Kind::kArray: return "an array";
  }
  return "unknown";
}

std::string JoinNames(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ", ";
    text += "'" + name + "'";
  }
  return text;
}

int Depth(const keyed_archive::Value& value) {
  int deepest = 0;
  for (const auto& [key, field] : value.fields) deepest = std::max(deepest, Depth(field));
  for (const auto& element : value.elements) deepest = std::max(deepest, Depth(element));
  bool nests = value.kind == keyed_archive::Kind::kObject ||
               value.kind == keyed_archive::Kind::kArray;
  return deepest + (nests ? 1 : 0);
}

}  // namespace

void RegisterCodingClass(CodingClass codingClass) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  std::string name = codingClass.name;
  Registry()[name] = std::move(codingClass);
}

}  // namespace platform::foundation

using platform::foundation::keyed_archive::Kind;
using platform::foundation::keyed_archive::kMaxDepth;

// ---- NSCoder

void NSCoder::encodeObject(const std::shared_ptr<NSCoding>& object, const std::string& key) {
  Put(key, ValueOf(object));
}

void NSCoder::encodeObject(const std::string& value, const std::string& key) {
  Put(key, ValueOf(value));
}

void NSCoder::encodeObject(const NSCodingData& value, const std::string& key) {
  Put(key, ValueOf(value));
}

void NSCoder::encodeObject(NSCodingDate value, const std::string& key) {
  Put(key, ValueOf(value));
}

void NSCoder::encodeBytes(const uint8_t* bytes, size_t length, const std::string& key) {
  Put(key, ValueOf(length == 0 ? NSCodingData() : NSCodingData(bytes, bytes + length)));
}

void NSCoder::encodeInt64(int64_t value, const std::string& key) {
  Value v;
  v.kind = Kind::kInteger;
  v.integer = value;
  Put(key, std::move(v));
}

void NSCoder::encodeDouble(double value, const std::string& key) {
  Value v;
  v.kind = Kind::kDouble;
  v.number = value;
  Put(key, std::move(v));
}

void NSCoder::encodeBool(bool value, const std::string& key) {
  Value v;
  v.kind = Kind::kBool;
  v.boolean = value;
  Put(key, std::move(v));
}

NSCoder::Value NSCoder::ValueOf(const std::string& value) {
  Value v;
  v.kind = Kind::kString;
  v.text = value;
  return v;
}

NSCoder::Value NSCoder::ValueOf(const NSCodingData& value) {
  Value v;
  v.kind = Kind::kData;
  v.data = value;
  return v;
}

NSCoder::Value NSCoder::ValueOf(NSCodingDate value) {
  Value v;
  v.kind = Kind::kDate;
  v.number = std::chrono::duration<double>(value.time_since_epoch()).count();
  return v;
}

bool NSCoder::containsValueForKey(const std::string& key) { return Get(key) != nullptr; }

std::shared_ptr<NSCoding> NSCoder::decodeObjectOfClasses(const std::set<std::string>& classNames,
                                                         const std::string& key) {
  const Value* value = Get(key);
  return value == nullptr ? nullptr : MakeObject(*value, &classNames, key);
}

std::shared_ptr<NSCoding> NSCoder::decodeObjectForKey(const std::string& key) {
  const Value* value = Get(key);
  if (value == nullptr) return nullptr;
  if (requires_secure_coding_) {
    FailCorrupt("value for key '" + key +
                "' was read without naming its class, which secure decoding does not allow");
    return nullptr;
  }
  return MakeObject(*value, nullptr, key);
}

NSCodingData NSCoder::decodeBytesForKey(const std::string& key) {
  const Value* value = GetOfKind(key, Kind::kData);
  return value == nullptr ? NSCodingData() : value->data;
}

int64_t NSCoder::decodeInt64ForKey(const std::string& key) {
  const Value* value = GetOfKind(key, Kind::kInteger);
  return value == nullptr ? 0 : value->integer;
}

double NSCoder::decodeDoubleForKey(const std::string& key) {
  const Value* value = Get(key);
  if (value != nullptr && value->kind == Kind::kInteger) return static_cast<double>(value->integer);
  value = GetOfKind(key, Kind::kDouble);
  return value == nullptr ? 0 : value->number;
}

bool NSCoder::decodeBoolForKey(const std::string& key) {
  const Value* value = GetOfKind(key, Kind::kBool);
  return value != nullptr && value->boolean;
}

void NSCoder::failWithError(std::shared_ptr<NSError> error) {
  if (error_ == nullptr) error_ = std::move(error);
}

const NSCoder::Value* NSCoder::GetOfKind(const std::string& key, Kind kind) {
  const Value* value = Get(key);
  return value != nullptr && HoldsKind(*value, kind, key) ? value : nullptr;
}

void NSCoder::FailCorrupt(const std::string& problem) {
  failWithError(NSError::errorWithDomain(
      NSCocoaErrorDomain, NSCoderReadCorruptError,
      {{NSLocalizedDescriptionKey,
        std::string("The data couldn\u2019t be read because it isn\u2019t in the correct format.")},
       {NSDebugDescriptionErrorKey, problem}}));
}

bool NSCoder::HoldsKind(const Value& value, Kind kind, const std::string& key) {
  if (value.kind == Kind::kNull) return false;
  if (value.kind == kind) return true;
  FailCorrupt("value for key '" + key + "' is " + platform::foundation::KindName(value.kind) +
              ", not " + platform::foundation::KindName(kind));
  return false;
}

std::optional<std::string> NSCoder::StringFrom(const Value& value, const std::string& key) {
  if (!HoldsKind(value, Kind::kString, key)) return std::nullopt;
  return value.text;
}

std::optional<NSCodingData> NSCoder::DataFrom(const Value& value, const std::string& key) {
  if (!HoldsKind(value, Kind::kData, key)) return std::nullopt;
  return value.data;
}

std::optional<NSCodingDate> NSCoder::DateFrom(const Value& value, const std::string& key) {
  if (!HoldsKind(value, Kind::kDate, key)) return std::nullopt;
  if (!std::isfinite(value.number) ||
      std::fabs(value.number) > platform::foundation::kMaxDateSeconds) {
    FailCorrupt("date for key '" + key + "' is out of range");
    return std::nullopt;
  }
  return NSCodingDate(std::chrono::duration_cast<NSCodingDate::duration>(
      std::chrono::duration<double>(value.number)));
}

void NSCoder::Put(const std::string&, Value) {
  LOG(FATAL) << "an object was encoded into a coder that decodes";
}

NSCoder::Value NSCoder::ObjectValue(const std::shared_ptr<NSCoding>&) {
  LOG(FATAL) << "an object was encoded into a coder that decodes";
  return Value();
}

const NSCoder::Value* NSCoder::Get(const std::string&) {
  LOG(FATAL) << "a value was decoded from a coder that encodes";
  return nullptr;
}

std::shared_ptr<NSCoding> NSCoder::MakeObject(const Value&, const std::set<std::string>*,
                                              const std::string&) {
  LOG(FATAL) << "a value was decoded from a coder that encodes";
  return nullptr;
}

// ---- NSKeyedArchiver

std::optional<std::vector<uint8_t>> NSKeyedArchiver::archivedDataWithRootObject(
    const std::shared_ptr<NSCoding>& object, bool requiringSecureCoding,
    std::shared_ptr<NSError>* error) {
  NSKeyedArchiver archiver(requiringSecureCoding);
  Value root = object == nullptr ? Value() : archiver.ObjectValue(object);
  if (archiver.error_ == nullptr && platform::foundation::Depth(root) > kMaxDepth) {
    archiver.FailInvalid("objects and arrays nest more than " + std::to_string(kMaxDepth) +
                         " deep");
  }
  if (archiver.error_ != nullptr) {
    NSErrorAssign(error, archiver.error_);
    return std::nullopt;
  }
  return platform::foundation::keyed_archive::Write(root);
}

void NSKeyedArchiver::Put(const std::string& key, Value value) {
  CHECK(current_ != nullptr) << "encode called outside encodeWithCoder";
  for (auto& [name, field] : current_->fields) {
    if (name == key) {
      field = std::move(value);
      return;
    }
  }
  current_->fields.push_back(platform::foundation::keyed_archive::Field{key, std::move(value)});
}

NSKeyedArchiver::Value NSKeyedArchiver::ObjectValue(const std::shared_ptr<NSCoding>& object) {
  if (error_ != nullptr) return Value();
  std::string name = object->classForCoder();
  if (name.empty()) {
    FailInvalid("an object's class has no name");
    return Value();
  }
  if (depth_ >= kMaxDepth) {
    FailInvalid("objects nest more than " + std::to_string(kMaxDepth) +
                " deep (is there a cycle through class '" + name + "'?)");
    return Value();
  }
  if (requiresSecureCoding() && dynamic_cast<const NSSecureCoding*>(object.get()) == nullptr) {
    FailInvalid("class '" + name + "' does not adopt secure coding");
    return Value();
  }
  Value value;
  value.kind = Kind::kObject;
  value.text = std::move(name);
  Value* outer = current_;
  current_ = &value;
  ++depth_;
  object->encodeWithCoder(this);
  --depth_;
  current_ = outer;
  return value;
}

void NSKeyedArchiver::FailInvalid(const std::string& problem) {
  failWithError(NSError::errorWithDomain(
      NSCocoaErrorDomain, NSCoderInvalidValueError,
      {{NSLocalizedDescriptionKey,
        std::string("The data couldn\u2019t be written because it isn\u2019t in the correct "
                    "format.")},
       {NSDebugDescriptionErrorKey, problem}}));
}

// ---- NSKeyedUnarchiver

std::shared_ptr<NSCoding> NSKeyedUnarchiver::unarchivedObjectOfClasses(
    const std::set<std::string>& classNames, const std::vector<uint8_t>& data,
    std::shared_ptr<NSError>* error) {
  return Unarchive(&classNames, data, error);
}

std::shared_ptr<NSCoding> NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(
    const std::vector<uint8_t>& data, std::shared_ptr<NSError>* error) {
  return Unarchive(nullptr, data, error);
}

std::shared_ptr<NSCoding> NSKeyedUnarchiver::Unarchive(const std::set<std::string>* classNames,
                                                       const std::vector<uint8_t>& data,
                                                       std::shared_ptr<NSError>* error) {
  NSKeyedUnarchiver unarchiver(/*requiresSecureCoding=*/classNames != nullptr);
  Value root;
  std::string problem;
  if (!platform::foundation::keyed_archive::Read(data.data(), data.size(), &root, &problem)) {
    unarchiver.FailCorrupt(problem);
  } else if (root.kind != Kind::kNull && root.kind != Kind::kObject) {
    unarchiver.FailCorrupt("the root is " + platform::foundation::KindName(root.kind) +
                           ", not an object");
  }
  std::shared_ptr<NSCoding> object;
  if (unarchiver.error_ == nullptr) object = unarchiver.MakeObject(root, classNames, "root");
  if (unarchiver.error_ != nullptr) {
    NSErrorAssign(error, unarchiver.error_);
    return nullptr;
  }
  return object;
}

const NSKeyedUnarchiver::Value* NSKeyedUnarchiver::Get(const std::string& key) {
  if (error_ != nullptr || current_ == nullptr) return nullptr;
  return current_->Find(key);
}

std::shared_ptr<NSCoding> NSKeyedUnarchiver::MakeObject(const Value& value,
                                                        const std::set<std::string>* classNames,
                                                        const std::string& key) {
  if (error_ != nullptr || value.kind == Kind::kNull) return nullptr;
  if (value.kind != Kind::kObject) {
    FailCorrupt("value for key '" + key + "' is " + platform::foundation::KindName(value.kind) +
                ", not an object");
    return nullptr;
  }
  const std::string& name = value.text;
  if (classNames != nullptr && classNames->count(name) == 0) {
    FailCorrupt("value for key '" + key + "' was of unexpected class '" + name +
                "'; allowed classes are " + platform::foundation::JoinNames(*classNames));
    return nullptr;
  }
  std::optional<platform::foundation::CodingClass> coding_class =
      platform::foundation::FindCodingClass(name);
  if (!coding_class.has_value()) {
    FailCorrupt("cannot decode object of class '" + name + "' for key '" + key +
                "': the class is not registered");
    return nullptr;
  }
  if (requiresSecureCoding() && !coding_class->supportsSecureCoding) {
    FailCorrupt("class '" + name + "' for key '" + key + "' does not support secure coding");
    return nullptr;
  }
  const Value* outer = current_;
  current_ = &value;
  std::shared_ptr<NSCoding> object = coding_class->initWithCoder(this);
  current_ = outer;
  return error_ != nullptr ? nullptr : object;
}
