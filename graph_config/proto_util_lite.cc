#include "graph_config/proto_util_lite.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include "absl/base/casts.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "base/status_macros.h"
#include "google/protobuf/io/zero_copy_stream_impl_lite.h"

namespace kaldren {
namespace tool {
namespace {

using google::protobuf::io::CodedInputStream;
using google::protobuf::io::CodedOutputStream;
using google::protobuf::io::StringOutputStream;
using WireFormatLite = ProtoUtilLite::WireFormatLite;
using FieldType = ProtoUtilLite::FieldType;
using FieldValue = ProtoUtilLite::FieldValue;

bool IsKnownFieldType(FieldType field_type) {
  return field_type >= WireFormatLite::TYPE_DOUBLE && field_type <= WireFormatLite::MAX_FIELD_TYPE;
}

// Parses `text` as T and appends its encoding, written by `write`, to `*out`.
template <typename T, typename Write>
absl::Status SerializeAs(const std::string& text, Write write, FieldValue* out) {
  T value;
  RETURN_IF_ERROR(ParseValue(text, &value));
  StringOutputStream stream(out);
  CodedOutputStream coded(&stream);
  write(value, &coded);
  return absl::OkStatus();
}

std::string FormatText(double value) { return absl::StrCat(value); }
std::string FormatText(float value) { return absl::StrCat(static_cast<double>(value)); }
std::string FormatText(bool value) { return value ? "1" : "0"; }
template <typename T>
std::string FormatText(T value) {
  return FormatValue(value);
}

// Reads one value of type T from the start of `value` with `read`, and writes its text.
template <typename T, typename Read>
absl::Status DeserializeAs(const FieldValue& value, Read read, std::string* text) {
  CodedInputStream in(reinterpret_cast<const uint8_t*>(value.data()),
                      static_cast<int>(value.size()));
  T result;
  if (!read(&in, &result)) {
    return absl::InvalidArgumentError(
        absl::StrCat("Bad serialized value: ", DemangledTypeName(typeid(T).name()), "."));
  }
  *text = FormatText(result);
  return absl::OkStatus();
}

// Reads one wire form with `kRead` and takes its bits as a T of the same size.
template <typename T, typename Raw, bool (CodedInputStream::*kRead)(Raw*)>
bool ReadAs(CodedInputStream* in, T* result) {
  Raw raw;
  if (!(in->*kRead)(&raw)) return false;
  *result = absl::bit_cast<T>(raw);
  return true;
}
template <typename T>
constexpr auto ReadVarint64As = ReadAs<T, uint64_t, &CodedInputStream::ReadVarint64>;
template <typename T>
constexpr auto ReadVarint32As = ReadAs<T, uint32_t, &CodedInputStream::ReadVarint32>;
template <typename T>
constexpr auto ReadFixed64As = ReadAs<T, uint64_t, &CodedInputStream::ReadLittleEndian64>;
template <typename T>
constexpr auto ReadFixed32As = ReadAs<T, uint32_t, &CodedInputStream::ReadLittleEndian32>;

absl::Status SerializeValue(const std::string& text, FieldType field_type, FieldValue* out) {
  switch (field_type) {
    case WireFormatLite::TYPE_DOUBLE:
      return SerializeAs<double>(
          text,
          [](double v, CodedOutputStream* o) {
            o->WriteLittleEndian64(absl::bit_cast<uint64_t>(v));
          },
          out);
    case WireFormatLite::TYPE_FLOAT:
      return SerializeAs<float>(
          text,
          [](float v, CodedOutputStream* o) {
            o->WriteLittleEndian32(absl::bit_cast<uint32_t>(v));
          },
          out);
    case WireFormatLite::TYPE_INT64:
      return SerializeAs<long long>(
          text, [](long long v, CodedOutputStream* o) { o->WriteVarint64(v); }, out);
    case WireFormatLite::TYPE_UINT64:
      return SerializeAs<unsigned long long>(
          text, [](unsigned long long v, CodedOutputStream* o) { o->WriteVarint64(v); }, out);
    case WireFormatLite::TYPE_INT32:
    case WireFormatLite::TYPE_ENUM:
      return SerializeAs<int>(
          text, [](int v, CodedOutputStream* o) { o->WriteVarint32SignExtended(v); }, out);
    case WireFormatLite::TYPE_FIXED64:
      return SerializeAs<unsigned long long>(
          text, [](unsigned long long v, CodedOutputStream* o) { o->WriteLittleEndian64(v); }, out);
    case WireFormatLite::TYPE_FIXED32:
      return SerializeAs<unsigned int>(
          text, [](unsigned int v, CodedOutputStream* o) { o->WriteLittleEndian32(v); }, out);
    case WireFormatLite::TYPE_BOOL:
      return SerializeAs<bool>(
          text, [](bool v, CodedOutputStream* o) { o->WriteVarint32(v ? 1 : 0); }, out);
    case WireFormatLite::TYPE_STRING:
    case WireFormatLite::TYPE_BYTES:
      out->append(text);
      return absl::OkStatus();
    case WireFormatLite::TYPE_GROUP:
    case WireFormatLite::TYPE_MESSAGE:
      return absl::UnimplementedError("SerializeValue cannot serialize a Message.");
    case WireFormatLite::TYPE_UINT32:
      return SerializeAs<unsigned int>(
          text, [](unsigned int v, CodedOutputStream* o) { o->WriteVarint32(v); }, out);
    case WireFormatLite::TYPE_SFIXED32:
      return SerializeAs<int>(
          text,
          [](int v, CodedOutputStream* o) { o->WriteLittleEndian32(static_cast<uint32_t>(v)); },
          out);
    case WireFormatLite::TYPE_SFIXED64:
      return SerializeAs<long long>(
          text,
          [](long long v, CodedOutputStream* o) {
            o->WriteLittleEndian64(static_cast<uint64_t>(v));
          },
          out);
    case WireFormatLite::TYPE_SINT32:
      return SerializeAs<int>(
          text,
          [](int v, CodedOutputStream* o) { o->WriteVarint32(WireFormatLite::ZigZagEncode32(v)); },
          out);
    case WireFormatLite::TYPE_SINT64:
      return SerializeAs<long long>(
          text,
          [](long long v, CodedOutputStream* o) {
            o->WriteVarint64(WireFormatLite::ZigZagEncode64(v));
          },
          out);
  }
  return absl::UnimplementedError("SerializeValue unimplemented type.");
}

absl::Status DeserializeValue(const FieldValue& value, FieldType field_type, std::string* text) {
  switch (field_type) {
    case WireFormatLite::TYPE_DOUBLE:
      return DeserializeAs<double>(value, ReadFixed64As<double>, text);
    case WireFormatLite::TYPE_FLOAT:
      return DeserializeAs<float>(value, ReadFixed32As<float>, text);
    case WireFormatLite::TYPE_INT64:
      return DeserializeAs<long long>(value, ReadVarint64As<long long>, text);
    case WireFormatLite::TYPE_UINT64:
      return DeserializeAs<unsigned long long>(value, ReadVarint64As<unsigned long long>, text);
    case WireFormatLite::TYPE_INT32:
    case WireFormatLite::TYPE_ENUM:
      return DeserializeAs<int>(value, ReadVarint32As<int>, text);
    case WireFormatLite::TYPE_FIXED64:
      return DeserializeAs<unsigned long long>(value, ReadFixed64As<unsigned long long>, text);
    case WireFormatLite::TYPE_FIXED32:
      return DeserializeAs<unsigned int>(value, ReadFixed32As<unsigned int>, text);
    case WireFormatLite::TYPE_BOOL:
      return DeserializeAs<bool>(
          value,
          [](CodedInputStream* in, bool* result) {
            uint64_t raw;
            if (!in->ReadVarint64(&raw)) return false;
            *result = raw != 0;
            return true;
          },
          text);
    case WireFormatLite::TYPE_STRING:
    case WireFormatLite::TYPE_BYTES:
      *text = value;
      return absl::OkStatus();
    case WireFormatLite::TYPE_GROUP:
    case WireFormatLite::TYPE_MESSAGE:
      return absl::UnimplementedError("DeserializeValue cannot deserialize a Message.");
    case WireFormatLite::TYPE_UINT32:
      return DeserializeAs<unsigned int>(value, ReadVarint32As<unsigned int>, text);
    case WireFormatLite::TYPE_SFIXED32:
      return DeserializeAs<int>(value, ReadFixed32As<int>, text);
    case WireFormatLite::TYPE_SFIXED64:
      return DeserializeAs<long long>(value, ReadFixed64As<long long>, text);
    case WireFormatLite::TYPE_SINT32:
      return DeserializeAs<int>(
          value,
          [](CodedInputStream* in, int* result) {
            uint32_t raw;
            if (!in->ReadVarint32(&raw)) return false;
            *result = WireFormatLite::ZigZagDecode32(raw);
            return true;
          },
          text);
    case WireFormatLite::TYPE_SINT64:
      return DeserializeAs<long long>(
          value,
          [](CodedInputStream* in, long long* result) {
            uint64_t raw;
            if (!in->ReadVarint64(&raw)) return false;
            *result = WireFormatLite::ZigZagDecode64(raw);
            return true;
          },
          text);
  }
  return absl::UnimplementedError("DeserializeValue unimplemented type.");
}

}  // namespace

std::string DemangledTypeName(const char* mangled_name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled_name, nullptr, nullptr, &status), std::free);
  return status == 0 && demangled != nullptr ? std::string(demangled.get())
                                             : std::string(mangled_name);
}

bool IsLengthDelimited(WireFormatLite::WireType wire_type) {
  return wire_type == WireFormatLite::WIRETYPE_LENGTH_DELIMITED;
}

absl::Status ParseValue(const std::string& text, double* result) {
  return SyntaxStatus(absl::SimpleAtod(text, result), text, result);
}
absl::Status ParseValue(const std::string& text, float* result) {
  return SyntaxStatus(absl::SimpleAtof(text, result), text, result);
}
absl::Status ParseValue(const std::string& text, bool* result) {
  return SyntaxStatus(absl::SimpleAtob(text, result), text, result);
}
absl::Status ParseValue(const std::string& text, long long* result) {
  int64_t value = 0;
  const bool ok = absl::numbers_internal::safe_strto64_base(text, &value, 10);
  if (ok) *result = value;
  return SyntaxStatus(ok, text, result);
}
absl::Status ParseValue(const std::string& text, unsigned long long* result) {
  uint64_t value = 0;
  const bool ok = absl::numbers_internal::safe_strtou64_base(text, &value, 10);
  if (ok) *result = value;
  return SyntaxStatus(ok, text, result);
}
absl::Status ParseValue(const std::string& text, int* result) {
  int32_t value = 0;
  const bool ok = absl::numbers_internal::safe_strto32_base(text, &value, 10);
  if (ok) *result = value;
  return SyntaxStatus(ok, text, result);
}
absl::Status ParseValue(const std::string& text, unsigned int* result) {
  uint32_t value = 0;
  const bool ok = absl::numbers_internal::safe_strtou32_base(text, &value, 10);
  if (ok) *result = value;
  return SyntaxStatus(ok, text, result);
}
absl::Status ParseValue(const std::string& text, std::string* result) {
  *result = text;
  return absl::OkStatus();
}

std::string FormatValue(long long value) { return absl::StrCat(value); }
std::string FormatValue(unsigned long long value) { return absl::StrCat(value); }
std::string FormatValue(int value) { return absl::StrCat(value); }
std::string FormatValue(unsigned int value) { return absl::StrCat(value); }

absl::Status ReadFieldValue(uint32_t tag, CodedInputStream* in, std::string* result) {
  if (IsLengthDelimited(WireFormatLite::GetTagWireType(tag))) {
    uint32_t length;
    RET_CHECK(in->ReadVarint32(&length));
    RET_CHECK(in->ReadString(result, length));
  } else {
    std::string field_data;
    {
      StringOutputStream sos(&field_data);
      CodedOutputStream cos(&sos);
      RET_CHECK(WireFormatLite::SkipField(in, tag, &cos));
    }
    // The scratch copy starts with the tag; the value is what follows it.
    *result = field_data.substr(CodedOutputStream::VarintSize32(tag));
  }
  return absl::OkStatus();
}

absl::Status ReadPackedValues(WireFormatLite::WireType wire_type, CodedInputStream* in,
                              std::vector<std::string>* field_values) {
  uint32_t data_size;
  RET_CHECK(in->ReadVarint32(&data_size));
  // Each element reads as a value of field 1 of the element's wire type.
  const uint32_t tag = WireFormatLite::MakeTag(1, wire_type);
  while (data_size > 0) {
    std::string number;
    RETURN_IF_ERROR(ReadFieldValue(tag, in, &number));
    RET_CHECK_LE(number.size(), data_size);
    field_values->push_back(std::move(number));
    data_size -= field_values->back().size();
  }
  return absl::OkStatus();
}

absl::Status GetFieldValues(uint32_t field_id, WireFormatLite::WireType wire_type,
                            CodedInputStream* in, CodedOutputStream* out,
                            std::vector<std::string>* field_values) {
  for (;;) {
    const int tag_start = in->CurrentPosition();
    const void* data = nullptr;
    int available = 0;
    const bool zero_byte = in->GetDirectBufferPointer(&data, &available) && available > 0 &&
                           *static_cast<const uint8_t*>(data) == 0;
    const uint32_t tag = in->ReadTag();
    if (tag == 0) {
      // The end of the input or a zero tag ends the message; a tag that does not read, or a
      // zero tag with bytes after it, would drop what follows.
      RET_CHECK(in->ExpectAtEnd() && in->CurrentPosition() - tag_start == (zero_byte ? 1 : 0))
          << "unreadable tag at byte " << tag_start;
      return absl::OkStatus();
    }
    if (WireFormatLite::GetTagFieldNumber(tag) != field_id) {
      RET_CHECK(WireFormatLite::SkipField(in, tag, out));
    } else if (IsLengthDelimited(WireFormatLite::GetTagWireType(tag)) &&
               !IsLengthDelimited(wire_type)) {
      RETURN_IF_ERROR(ReadPackedValues(wire_type, in, field_values));
    } else {
      std::string value;
      RETURN_IF_ERROR(ReadFieldValue(tag, in, &value));
      field_values->push_back(std::move(value));
    }
  }
}

void SetFieldValues(uint32_t field_id, WireFormatLite::WireType wire_type,
                    const std::vector<std::string>& field_values, CodedOutputStream* out) {
  for (const std::string& value : field_values) {
    out->WriteTag(WireFormatLite::MakeTag(field_id, wire_type));
    if (IsLengthDelimited(wire_type)) out->WriteVarint32(static_cast<uint32_t>(value.size()));
    out->WriteRaw(value.data(), static_cast<int>(value.size()));
  }
}

ProtoUtilLite::FieldAccess::FieldAccess(uint32_t field_id, FieldType field_type)
    : field_id_(field_id), field_type_(field_type) {}

absl::Status ProtoUtilLite::FieldAccess::SetMessage(const FieldValue& message) {
  if (!IsKnownFieldType(field_type_)) {
    return absl::InvalidArgumentError(
        absl::StrCat("No wire type for field type ", static_cast<int>(field_type_), "."));
  }
  CodedInputStream in(reinterpret_cast<const uint8_t*>(message.data()),
                      static_cast<int>(message.size()));
  StringOutputStream sos(&message_);
  CodedOutputStream out(&sos);
  return GetFieldValues(field_id_, WireFormatLite::WireTypeForFieldType(field_type_), &in, &out,
                        &field_values_);
}

void ProtoUtilLite::FieldAccess::GetMessage(FieldValue* result) {
  *result = message_;
  if (!IsKnownFieldType(field_type_)) return;
  StringOutputStream sos(result);
  CodedOutputStream out(&sos);
  SetFieldValues(field_id_, WireFormatLite::WireTypeForFieldType(field_type_), field_values_, &out);
}

absl::Status ProtoUtilLite::ReplaceFieldRange(FieldValue* message, FieldPath field_path, int length,
                                              FieldType field_type,
                                              const std::vector<FieldValue>& field_values) {
  RET_CHECK(!field_path.empty());
  const auto [field_id, index] = field_path.front();
  field_path.erase(field_path.begin());
  FieldAccess access(field_id, field_path.empty() ? field_type : WireFormatLite::TYPE_MESSAGE);
  RETURN_IF_ERROR(access.SetMessage(*message));
  std::vector<FieldValue>& v = *access.mutable_field_values();
  if (field_path.empty()) {
    RET_CHECK(index >= 0 && index <= v.size());
    RET_CHECK(index + length >= 0 && index + length <= v.size());
    v.erase(v.begin() + index, v.begin() + index + length);
    v.insert(v.begin() + index, field_values.begin(), field_values.end());
  } else {
    RET_CHECK(index >= 0 && index < v.size());
    RETURN_IF_ERROR(ReplaceFieldRange(&v[index], field_path, length, field_type, field_values));
  }
  message->clear();
  access.GetMessage(message);
  return absl::OkStatus();
}

absl::Status ProtoUtilLite::GetFieldRange(const FieldValue& message, FieldPath field_path,
                                          int length, FieldType field_type,
                                          std::vector<FieldValue>* field_values) {
  RET_CHECK(!field_path.empty());
  const auto [field_id, index] = field_path.front();
  field_path.erase(field_path.begin());
  FieldAccess access(field_id, field_path.empty() ? field_type : WireFormatLite::TYPE_MESSAGE);
  RETURN_IF_ERROR(access.SetMessage(message));
  std::vector<FieldValue>& v = *access.mutable_field_values();
  if (field_path.empty()) {
    RET_CHECK(index >= 0 && index <= v.size());
    RET_CHECK(index + length >= 0 && index + length <= v.size());
    field_values->insert(field_values->begin(), v.begin() + index, v.begin() + index + length);
  } else {
    RET_CHECK(index >= 0 && index < v.size());
    RETURN_IF_ERROR(GetFieldRange(v[index], field_path, length, field_type, field_values));
  }
  return absl::OkStatus();
}

absl::Status ProtoUtilLite::Serialize(const std::vector<std::string>& text_values,
                                      FieldType field_type, std::vector<FieldValue>* result) {
  result->clear();
  result->reserve(text_values.size());
  for (const std::string& text : text_values) {
    FieldValue value;
    RETURN_IF_ERROR(SerializeValue(text, field_type, &value));
    result->push_back(std::move(value));
  }
  return absl::OkStatus();
}

absl::Status ProtoUtilLite::Deserialize(const std::vector<FieldValue>& field_values,
                                        FieldType field_type, std::vector<std::string>* result) {
  result->clear();
  result->reserve(field_values.size());
  for (const FieldValue& value : field_values) {
    std::string text;
    RETURN_IF_ERROR(DeserializeValue(value, field_type, &text));
    result->push_back(std::move(text));
  }
  return absl::OkStatus();
}

}  // namespace tool
}  // namespace kaldren
