// Reading and rewriting the values of one field deep inside a message held only as its
// binary encoding: no generated classes, descriptors or reflection are needed. A field is
// reached by a field path of (field number, index) steps; its values are byte strings in
// their wire form (the bytes after the tag; for length-delimited fields the payload without
// its length). Field values also convert to and from a text form for each field type.
//
// Every operation works on its arguments only; calls may run on any thread at once.

#ifndef GRAPH_CONFIG_PROTO_UTIL_LITE_H_
#define GRAPH_CONFIG_PROTO_UTIL_LITE_H_

#include <cstdint>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "base/status.h"
#include "google/protobuf/io/coded_stream.h"
#include "google/protobuf/wire_format_lite.h"

namespace kaldren {
namespace tool {

class ProtoUtilLite {
 public:
  using WireFormatLite = google::protobuf::internal::WireFormatLite;
  // Numbered 1 to 18 as pellumo::FieldDescriptorProto_Type; 0 names no type.
  using FieldType = WireFormatLite::FieldType;
  // One value of a field in its wire form.
  using FieldValue = std::string;
  // (field number, index) per level, from the outer message inwards.
  using FieldPath = std::vector<std::pair<int, int>>;

  // The view of one field of one encoded message: every other field (the remainder, kept
  // byte for byte) and the field's values in order of occurrence, packed ones one by one.
  class FieldAccess {
   public:
    FieldAccess(uint32_t field_id, FieldType field_type);

    // Splits `message` into the remainder and the field's values; appends to both, so it is
    // meant once per view.
    absl::Status SetMessage(const FieldValue& message);

    // The remainder followed by every value of the field, each with its own tag: a packed
    // field comes out unpacked.
    void GetMessage(FieldValue* result);

    std::vector<FieldValue>* mutable_field_values() { return &field_values_; }

   private:
    uint32_t field_id_;
    FieldType field_type_;
    FieldValue message_;
    std::vector<FieldValue> field_values_;
  };

  // Replaces `length` values starting at the last step's index of `field_path` with
  // `field_values`. On error `*message` is left as it was.
  static absl::Status ReplaceFieldRange(FieldValue* message, FieldPath field_path, int length,
                                        FieldType field_type,
                                        const std::vector<FieldValue>& field_values);

  // Puts `length` values starting at the last step's index in front of `*field_values`.
  static absl::Status GetFieldRange(const FieldValue& message, FieldPath field_path, int length,
                                    FieldType field_type, std::vector<FieldValue>* field_values);

  // Texts to field values of `field_type`; stops at the first text that fails.
  static absl::Status Serialize(const std::vector<std::string>& text_values, FieldType field_type,
                                std::vector<FieldValue>* result);

  // Field values of `field_type` to texts; stops at the first value that fails.
  static absl::Status Deserialize(const std::vector<FieldValue>& field_values, FieldType field_type,
                                  std::vector<std::string>* result);
};

// Whether values of `wire_type` carry a length prefix.
bool IsLengthDelimited(ProtoUtilLite::WireFormatLite::WireType wire_type);

// Parse `text` into `*result`; INVALID_ARGUMENT "Syntax error: ..." when it does not parse.
absl::Status ParseValue(const std::string& text, double* result);
absl::Status ParseValue(const std::string& text, float* result);
absl::Status ParseValue(const std::string& text, bool* result);
absl::Status ParseValue(const std::string& text, long long* result);
absl::Status ParseValue(const std::string& text, unsigned long long* result);
absl::Status ParseValue(const std::string& text, int* result);
absl::Status ParseValue(const std::string& text, unsigned int* result);
absl::Status ParseValue(const std::string& text, std::string* result);

// The readable name of a type from its mangled `typeid` name ("long long" for `x`).
std::string DemangledTypeName(const char* mangled_name);

// OK when `success`, else INVALID_ARGUMENT naming `text` and the type T.
template <typename T>
absl::Status SyntaxStatus(bool success, const std::string& text, T* result) {
  if (success) return absl::OkStatus();
  return absl::InvalidArgumentError("Syntax error: \"" + text +
                                    "\" for type: " + DemangledTypeName(typeid(T).name()) + ".");
}

// Decimal text of `value`.
std::string FormatValue(long long value);
std::string FormatValue(unsigned long long value);
std::string FormatValue(int value);
std::string FormatValue(unsigned int value);

// One value of a field whose `tag` was just read from `in`.
absl::Status ReadFieldValue(uint32_t tag, google::protobuf::io::CodedInputStream* in,
                            std::string* result);

// The elements of a packed run of `wire_type` values (its byte count not yet read).
absl::Status ReadPackedValues(ProtoUtilLite::WireFormatLite::WireType wire_type,
                              google::protobuf::io::CodedInputStream* in,
                              std::vector<std::string>* field_values);

// Reads `in` to its end: the values of field `field_id` go to `field_values`, every other
// field is copied to `out`.
absl::Status GetFieldValues(uint32_t field_id, ProtoUtilLite::WireFormatLite::WireType wire_type,
                            google::protobuf::io::CodedInputStream* in,
                            google::protobuf::io::CodedOutputStream* out,
                            std::vector<std::string>* field_values);

// Writes every value of `field_values` with its own tag of field `field_id`.
void SetFieldValues(uint32_t field_id, ProtoUtilLite::WireFormatLite::WireType wire_type,
                    const std::vector<std::string>& field_values,
                    google::protobuf::io::CodedOutputStream* out);

}  // namespace tool
}  // namespace kaldren

#endif  // GRAPH_CONFIG_PROTO_UTIL_LITE_H_
