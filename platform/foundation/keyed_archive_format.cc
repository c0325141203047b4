#include "platform/foundation/keyed_archive_format.h"

#include <cstring>
#include <set>

namespace platform::foundation::keyed_archive {
namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutU64(std::vector<uint8_t>& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutDouble(std::vector<uint8_t>& out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  PutU64(out, bits);
}

void PutBytes(std::vector<uint8_t>& out, const void* bytes, size_t size) {
  PutU32(out, static_cast<uint32_t>(size));
  const auto* begin = static_cast<const uint8_t*>(bytes);
  out.insert(out.end(), begin, begin + size);
}

void PutValue(std::vector<uint8_t>& out, const Value& value) {
  out.push_back(static_cast<uint8_t>(value.kind));
  switch (value.kind) {
    case Kind::kNull: break;
    case Kind::kString: PutBytes(out, value.text.data(), value.text.size()); break;
    case Kind::kInteger: PutU64(out, static_cast<uint64_t>(value.integer)); break;
    case Kind::kDouble:
    case Kind::kDate: PutDouble(out, value.number); break;
    case Kind::kBool: out.push_back(value.boolean ? 1 : 0); break;
    case Kind::kData: PutBytes(out, value.data.data(), value.data.size()); break;
    case Kind::kObject:
      PutBytes(out, value.text.data(), value.text.size());
      PutU32(out, static_cast<uint32_t>(value.fields.size()));
      for (const auto& [key, field] : value.fields) {
        PutBytes(out, key.data(), key.size());
        PutValue(out, field);
      }
      break;
    case Kind::kArray:
      PutU32(out, static_cast<uint32_t>(value.elements.size()));
      for (const Value& element : value.elements) PutValue(out, element);
      break;
  }
}

// Reads from a byte range; every read checks the bytes left first.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t offset() const { return offset_; }
  bool AtEnd() const { return offset_ == size_; }

  bool Fail(const std::string& why) {
    if (problem_.empty()) problem_ = why + " at byte " + std::to_string(offset_);
    return false;
  }
  const std::string& problem() const { return problem_; }

  bool Raw(void* out, size_t count, const char* what) {
    if (size_ - offset_ < count) return Fail(std::string("truncated ") + what);
    std::memcpy(out, data_ + offset_, count);
    offset_ += count;
    return true;
  }

  bool U8(uint8_t* out, const char* what) { return Raw(out, 1, what); }

  bool U32(uint32_t* out, const char* what) {
    uint8_t bytes[4];
    if (!Raw(bytes, 4, what)) return false;
    *out = 0;
    for (int i = 3; i >= 0; --i) *out = (*out << 8) | bytes[i];
    return true;
  }

  bool U64(uint64_t* out, const char* what) {
    uint8_t bytes[8];
    if (!Raw(bytes, 8, what)) return false;
    *out = 0;
    for (int i = 7; i >= 0; --i) *out = (*out << 8) | bytes[i];
    return true;
  }

  bool Double(double* out, const char* what) {
    uint64_t bits;
    if (!U64(&bits, what)) return false;
    std::memcpy(out, &bits, sizeof(bits));
    return true;
  }

  // A length-prefixed run of bytes; the length is checked against the bytes left before
  // anything is allocated.
  template <typename Container>
  bool Bytes(Container* out, const char* what) {
    uint32_t length;
    if (!U32(&length, what)) return false;
    if (size_ - offset_ < length) {
      return Fail(std::string("truncated ") + what + ": its length runs past the end");
    }
    out->assign(data_ + offset_, data_ + offset_ + length);
    offset_ += length;
    return true;
  }

  bool ReadValue(Value* value, int depth) {
    uint8_t kind;
    if (!U8(&kind, "value kind")) return false;
    switch (static_cast<Kind>(kind)) {
      case Kind::kNull: value->kind = Kind::kNull; return true;
      case Kind::kString: value->kind = Kind::kString; return Bytes(&value->text, "string");
      case Kind::kInteger: {
        value->kind = Kind::kInteger;
        uint64_t bits;
        if (!U64(&bits, "integer")) return false;
        value->integer = static_cast<int64_t>(bits);
        return true;
      }
      case Kind::kDouble: value->kind = Kind::kDouble; return Double(&value->number, "double");
      case Kind::kDate: value->kind = Kind::kDate; return Double(&value->number, "date");
      case Kind::kBool: {
        value->kind = Kind::kBool;
        uint8_t byte;
        if (!U8(&byte, "boolean")) return false;
        if (byte > 1) return Fail("boolean other than 0 or 1");
        value->boolean = byte == 1;
        return true;
      }
      case Kind::kData: value->kind = Kind::kData; return Bytes(&value->data, "data");
      case Kind::kObject: return ReadObject(value, depth + 1);
      case Kind::kArray: return ReadArray(value, depth + 1);
    }
    offset_ -= 1;
    return Fail("unknown value kind " + std::to_string(kind));
  }

 private:
  bool ReadObject(Value* value, int depth) {
    if (depth > kMaxDepth) return Fail("objects nested too deeply");
    value->kind = Kind::kObject;
    if (!Bytes(&value->text, "class name")) return false;
    if (value->text.empty()) return Fail("empty class name");
    uint32_t count;
    if (!U32(&count, "field count")) return false;
    std::set<std::string> keys;
    for (uint32_t i = 0; i < count; ++i) {
      std::string key;
      if (!Bytes(&key, "key")) return false;
      if (!keys.insert(key).second) return Fail("key \"" + key + "\" repeated");
      value->fields.push_back(Field{std::move(key), Value()});
      if (!ReadValue(&value->fields.back().value, depth)) return false;
    }
    return true;
  }

  bool ReadArray(Value* value, int depth) {
    if (depth > kMaxDepth) return Fail("arrays nested too deeply");
    value->kind = Kind::kArray;
    uint32_t count;
    if (!U32(&count, "element count")) return false;
    // Each element takes at least its kind byte, so a count beyond the bytes left is a lie.
    if (count > size_ - offset_) return Fail("element count runs past the end");
    value->elements.resize(count);
    for (Value& element : value->elements) {
      if (!ReadValue(&element, depth)) return false;
    }
    return true;
  }

  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
  std::string problem_;
};

}  // namespace

const Value* Value::Find(const std::string& key) const {
  for (const auto& [name, value] : fields) {
    if (name == key) return &value;
  }
  return nullptr;
}

std::vector<uint8_t> Write(const Value& root) {
  std::vector<uint8_t> out(std::begin(kMagic), std::end(kMagic));
  out.push_back(kVersion);
  PutValue(out, root);
  return out;
}

bool Read(const uint8_t* data, size_t size, Value* root, std::string* problem) {
  Reader reader(data, size);
  char magic[4];
  uint8_t version;
  bool ok = reader.Raw(magic, 4, "header") &&
            (std::memcmp(magic, kMagic, 4) == 0 || reader.Fail("not a keyed archive")) &&
            reader.U8(&version, "header") &&
            (version == kVersion ||
             reader.Fail("unsupported format version " + std::to_string(version))) &&
            reader.ReadValue(root, 0) && (reader.AtEnd() || reader.Fail("bytes after the root"));
  if (!ok) *problem = reader.problem();
  return ok;
}

}  // namespace platform::foundation::keyed_archive
