// Reads arbitrary bytes as a keyed archive, with and without secure decoding, through classes
// that use every value kind, nested objects and arrays. Any crash, hang, leak or sanitizer
// report is a fault; refusing the bytes is expected. A decoded object must archive again and
// read back.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/ns_keyed_archiver.h"

namespace {

class Node : public NSSecureCoding {
 public:
  static std::string className() { return "Node"; }
  static std::shared_ptr<Node> initWithCoder(NSCoder* coder) {
    auto node = std::make_shared<Node>();
    node->name = coder->decodeObjectOfClass<std::string>("name");
    node->when = coder->decodeObjectOfClass<NSCodingDate>("when");
    node->blob = coder->decodeObjectOfClass<NSCodingData>("blob");
    node->bytes = coder->decodeBytesForKey("bytes");
    node->count = coder->decodeInt64ForKey("count");
    node->ratio = coder->decodeDoubleForKey("ratio");
    node->flag = coder->decodeBoolForKey("flag");
    node->tags = coder->decodeArrayOfObjectsOfClass<std::string>("tags");
    node->dates = coder->decodeArrayOfObjectsOfClass<NSCodingDate>("dates");
    node->children = coder->decodeArrayOfObjectsOfClass<Node>("children");
    node->next = coder->decodeObjectOfClass<Node>("next");
    node->any = coder->decodeObjectOfClasses({"Node", "Loose"}, "any");
    return node;
  }
  void encodeWithCoder(NSCoder* coder) const override {
    if (name) coder->encodeObject(*name, "name");
    if (when) coder->encodeObject(*when, "when");
    if (blob) coder->encodeObject(*blob, "blob");
    coder->encodeBytes(bytes.data(), bytes.size(), "bytes");
    coder->encodeInt64(count, "count");
    coder->encodeDouble(ratio, "ratio");
    coder->encodeBool(flag, "flag");
    if (tags) coder->encodeObject(*tags, "tags");
    if (dates) coder->encodeObject(*dates, "dates");
    if (children) coder->encodeObject(*children, "children");
    coder->encodeObject(next, "next");
    coder->encodeObject(any, "any");
  }
  std::string classForCoder() const override { return className(); }

  std::optional<std::string> name;
  std::optional<NSCodingDate> when;
  std::optional<NSCodingData> blob;
  NSCodingData bytes;
  int64_t count = 0;
  double ratio = 0;
  bool flag = false;
  std::optional<std::vector<std::string>> tags;
  std::optional<std::vector<NSCodingDate>> dates;
  std::optional<std::vector<std::shared_ptr<Node>>> children;
  std::shared_ptr<Node> next;
  std::shared_ptr<NSCoding> any;
};

// Without secure coding; reads what it holds with decodeObjectForKey.
class Loose : public NSCoding {
 public:
  static std::string className() { return "Loose"; }
  static std::shared_ptr<Loose> initWithCoder(NSCoder* coder) {
    auto loose = std::make_shared<Loose>();
    loose->content = coder->decodeObjectForKey("content");
    return loose;
  }
  void encodeWithCoder(NSCoder* coder) const override { coder->encodeObject(content, "content"); }
  std::string classForCoder() const override { return className(); }
  std::shared_ptr<NSCoding> content;
};

void CheckArchivesAgain(const std::shared_ptr<NSCoding>& object, bool secure) {
  if (object == nullptr) return;
  std::shared_ptr<NSError> error;
  auto data = NSKeyedArchiver::archivedDataWithRootObject(object, secure, &error);
  if (!data.has_value()) std::abort();  // what was read must be writable
  auto again = secure ? NSKeyedUnarchiver::unarchivedObjectOfClasses({"Node", "Loose"}, *data,
                                                                     &error)
                      : NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(*data, &error);
  if (again == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool registered = [] {
    platform::foundation::RegisterCodingClass<Node>();
    platform::foundation::RegisterCodingClass<Loose>();
    return true;
  }();
  (void)registered;
  std::vector<uint8_t> bytes(data, data + size);
  std::shared_ptr<NSError> error;
  CheckArchivesAgain(NSKeyedUnarchiver::unarchivedObjectOfClass<Node>(bytes, &error), true);
  CheckArchivesAgain(NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(bytes, &error), false);
  return 0;
}
