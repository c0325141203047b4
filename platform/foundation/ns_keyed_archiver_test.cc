#include "platform/foundation/ns_keyed_archiver.h"

#include <cstring>
#include <limits>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace {

using ::testing::HasSubstr;

// An identifier with its last use, as the SDK keeps its pseudonymous identifier.
class Identifier : public NSSecureCoding {
 public:
  static std::string className() { return "Identifier"; }
  static std::shared_ptr<Identifier> initWithCoder(NSCoder* coder) {
    auto uuid = coder->decodeObjectOfClass<std::string>("uuid");
    if (!uuid.has_value()) return nullptr;
    auto identifier = std::make_shared<Identifier>();
    identifier->uuid = *uuid;
    identifier->last_activity = coder->decodeObjectOfClass<NSCodingDate>("lastActivity");
    return identifier;
  }
  void encodeWithCoder(NSCoder* coder) const override {
    coder->encodeObject(uuid, "uuid");
    if (last_activity.has_value()) coder->encodeObject(*last_activity, "lastActivity");
  }
  std::string classForCoder() const override { return className(); }

  std::string uuid;
  std::optional<NSCodingDate> last_activity;
};

// Every value kind, nested objects and arrays.
class Record : public NSSecureCoding {
 public:
  static std::string className() { return "Record"; }
  static std::shared_ptr<Record> initWithCoder(NSCoder* coder) {
    auto record = std::make_shared<Record>();
    record->name = coder->decodeObjectOfClass<std::string>("name").value_or("");
    record->count = coder->decodeInt64ForKey("count");
    record->ratio = coder->decodeDoubleForKey("ratio");
    record->enabled = coder->decodeBoolForKey("enabled");
    record->bytes = coder->decodeBytesForKey("bytes");
    record->blob = coder->decodeObjectOfClass<NSCodingData>("blob").value_or(NSCodingData());
    record->when = coder->decodeObjectOfClass<NSCodingDate>("when");
    record->owner = coder->decodeObjectOfClass<Identifier>("owner");
    record->tags = coder->decodeArrayOfObjectsOfClass<std::string>("tags").value_or(
        std::vector<std::string>());
    record->members = coder->decodeArrayOfObjectsOfClass<Identifier>("members").value_or(
        std::vector<std::shared_ptr<Identifier>>());
    record->child = coder->decodeObjectOfClass<Record>("child");
    return record;
  }
  void encodeWithCoder(NSCoder* coder) const override {
    coder->encodeObject(name, "name");
    coder->encodeInt64(count, "count");
    coder->encodeDouble(ratio, "ratio");
    coder->encodeBool(enabled, "enabled");
    coder->encodeBytes(bytes.data(), bytes.size(), "bytes");
    coder->encodeObject(blob, "blob");
    if (when.has_value()) coder->encodeObject(*when, "when");
    coder->encodeObject(owner, "owner");
    coder->encodeObject(tags, "tags");
    coder->encodeObject(members, "members");
    coder->encodeObject(child, "child");
  }
  std::string classForCoder() const override { return className(); }

  std::string name;
  int64_t count = 0;
  double ratio = 0;
  bool enabled = false;
  NSCodingData bytes;
  NSCodingData blob;
  std::optional<NSCodingDate> when;
  std::shared_ptr<Identifier> owner;
  std::vector<std::string> tags;
  std::vector<std::shared_ptr<Identifier>> members;
  std::shared_ptr<Record> child;
};

// A class without secure coding.
class Legacy : public NSCoding {
 public:
  static std::string className() { return "Legacy"; }
  static std::shared_ptr<Legacy> initWithCoder(NSCoder* coder) {
    auto legacy = std::make_shared<Legacy>();
    legacy->value = coder->decodeIntegerForKey("value");
    return legacy;
  }
  void encodeWithCoder(NSCoder* coder) const override { coder->encodeInteger(value, "value"); }
  std::string classForCoder() const override { return className(); }
  long value = 0;
};

// Holds an object of any class, read with decodeObjectForKey.
class Box : public NSSecureCoding {
 public:
  static std::string className() { return "Box"; }
  static std::shared_ptr<Box> initWithCoder(NSCoder* coder) {
    auto box = std::make_shared<Box>();
    box->content = coder->decodeObjectForKey("content");
    return box;
  }
  void encodeWithCoder(NSCoder* coder) const override { coder->encodeObject(content, "content"); }
  std::string classForCoder() const override { return className(); }
  std::shared_ptr<NSCoding> content;
};

NSCodingDate Seconds(double seconds) {
  return NSCodingDate(std::chrono::duration_cast<NSCodingDate::duration>(
      std::chrono::duration<double>(seconds)));
}

std::shared_ptr<Identifier> MakeIdentifier(const std::string& uuid, double seconds) {
  auto identifier = std::make_shared<Identifier>();
  identifier->uuid = uuid;
  identifier->last_activity = Seconds(seconds);
  return identifier;
}

std::vector<uint8_t> Archive(const std::shared_ptr<NSCoding>& object, bool secure = true) {
  std::shared_ptr<NSError> error;
  auto data = NSKeyedArchiver::archivedDataWithRootObject(object, secure, &error);
  EXPECT_TRUE(data.has_value()) << (error ? error->description() : "");
  return data.value_or(std::vector<uint8_t>());
}

std::string DebugText(const std::shared_ptr<NSError>& error) {
  if (error == nullptr) return "";
  const std::string* text = error->userInfoValue<std::string>(NSDebugDescriptionErrorKey);
  return text == nullptr ? "" : *text;
}

TEST(KeyedArchiveTest, RoundTripsEveryValueKind) {
  auto record = std::make_shared<Record>();
  record->name = "r\xC3\xA9sum\xC3\xA9";
  record->count = std::numeric_limits<int64_t>::min();
  record->ratio = -0.125;
  record->enabled = true;
  record->bytes = {0, 1, 0xFF};
  record->blob = {'P', 'K'};
  record->when = Seconds(1700000000.5);
  record->owner = MakeIdentifier("E621E1F8-C36C-495A-93FC-0C247A3E6E5F", 1.5e9);
  record->tags = {"a", "", "c"};
  record->members = {MakeIdentifier("one", 0), nullptr, MakeIdentifier("two", -86400)};
  record->child = std::make_shared<Record>();
  record->child->name = "inner";

  std::shared_ptr<NSError> error;
  auto back = NSKeyedUnarchiver::unarchivedObjectOfClass<Record>(Archive(record), &error);
  ASSERT_NE(back, nullptr) << error->description();
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(back->name, record->name);
  EXPECT_EQ(back->count, record->count);
  EXPECT_EQ(back->ratio, record->ratio);
  EXPECT_TRUE(back->enabled);
  EXPECT_EQ(back->bytes, record->bytes);
  EXPECT_EQ(back->blob, record->blob);
  EXPECT_EQ(back->when, record->when);
  ASSERT_NE(back->owner, nullptr);
  EXPECT_EQ(back->owner->uuid, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(back->owner->last_activity, Seconds(1.5e9));
  EXPECT_EQ(back->tags, record->tags);
  ASSERT_EQ(back->members.size(), 3u);
  EXPECT_EQ(back->members[0]->uuid, "one");
  EXPECT_EQ(back->members[1], nullptr);
  EXPECT_EQ(back->members[2]->last_activity, Seconds(-86400));
  ASSERT_NE(back->child, nullptr);
  EXPECT_EQ(back->child->name, "inner");
  EXPECT_EQ(back->child->child, nullptr);
  EXPECT_FALSE(back->child->when.has_value());

  // An archive of nothing reads back as nothing, without an error.
  auto nothing = NSKeyedUnarchiver::unarchivedObjectOfClass<Record>(Archive(nullptr), &error);
  EXPECT_EQ(nothing, nullptr);
  EXPECT_EQ(error, nullptr);
}

TEST(KeyedArchiveTest, SecureDecodingRefusesClassesNotAskedFor) {
  platform::foundation::RegisterCodingClass<Legacy>();
  platform::foundation::RegisterCodingClass<Box>();
  auto legacy = std::make_shared<Legacy>();
  legacy->value = 42;
  auto box_with_legacy = std::make_shared<Box>();
  box_with_legacy->content = legacy;

  struct Case {
    std::string name;
    std::function<std::shared_ptr<NSCoding>(std::shared_ptr<NSError>*)> read;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {"root of another class",
       [](std::shared_ptr<NSError>* e) -> std::shared_ptr<NSCoding> {
         return NSKeyedUnarchiver::unarchivedObjectOfClass<Record>(Archive(MakeIdentifier("id", 1)),
                                                                   e);
       },
       "value for key 'root' was of unexpected class 'Identifier'; allowed classes are 'Record'"},
      {"root class without secure coding",
       [](std::shared_ptr<NSError>* e) {
         auto legacy = std::make_shared<Legacy>();
         return NSKeyedUnarchiver::unarchivedObjectOfClasses({"Legacy"}, Archive(legacy, false), e);
       },
       "class 'Legacy' for key 'root' does not support secure coding"},
      {"object read without naming its class",
       [&](std::shared_ptr<NSError>* e) {
         return NSKeyedUnarchiver::unarchivedObjectOfClass<Box>(Archive(box_with_legacy, false), e);
       },
       "value for key 'content' was read without naming its class"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::shared_ptr<NSError> error;
    EXPECT_EQ(c.read(&error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), NSCocoaErrorDomain);
    EXPECT_EQ(error->code(), NSCoderReadCorruptError);
    EXPECT_THAT(DebugText(error), HasSubstr(c.problem));
  }

  // Without secure decoding the same archives read.
  std::shared_ptr<NSError> error;
  auto box = std::dynamic_pointer_cast<Box>(
      NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(Archive(box_with_legacy, false), &error));
  ASSERT_NE(box, nullptr);
  ASSERT_NE(std::dynamic_pointer_cast<Legacy>(box->content), nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<Legacy>(box->content)->value, 42);

  // Archiving with secure coding refuses a class without it, anywhere in the tree.
  EXPECT_FALSE(NSKeyedArchiver::archivedDataWithRootObject(box_with_legacy, true, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), NSCoderInvalidValueError);
  EXPECT_THAT(DebugText(error), HasSubstr("class 'Legacy' does not adopt secure coding"));
}

TEST(KeyedArchiveTest, AValueOfAnotherKindFailsTheDecodingAndAMissingKeyDoesNot) {
  // An "Identifier" whose uuid is an integer, written by a look-alike class.
  class WrongIdentifier : public NSSecureCoding {
   public:
    void encodeWithCoder(NSCoder* coder) const override { coder->encodeInt64(7, "uuid"); }
    std::string classForCoder() const override { return "Identifier"; }
  };
  std::shared_ptr<NSError> error;
  EXPECT_EQ(NSKeyedUnarchiver::unarchivedObjectOfClass<Identifier>(
                Archive(std::make_shared<WrongIdentifier>()), &error),
            nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), NSCoderReadCorruptError);
  EXPECT_EQ(DebugText(error), "value for key 'uuid' is an integer, not a string");

  // A record with nothing in it reads every key as absent.
  class EmptyRecord : public NSSecureCoding {
   public:
    void encodeWithCoder(NSCoder*) const override {}
    std::string classForCoder() const override { return "Record"; }
  };
  error = nullptr;
  auto record = NSKeyedUnarchiver::unarchivedObjectOfClass<Record>(
      Archive(std::make_shared<EmptyRecord>()), &error);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(record->count, 0);
  EXPECT_FALSE(record->enabled);
  EXPECT_TRUE(record->tags.empty());
  EXPECT_EQ(record->owner, nullptr);
}

TEST(KeyedArchiveTest, ACycleIsRefusedWhenWritten) {
  auto record = std::make_shared<Record>();
  record->child = record;
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(NSKeyedArchiver::archivedDataWithRootObject(record, true, &error));
  record->child = nullptr;  // break the cycle for the leak checker
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), NSCoderInvalidValueError);
  EXPECT_THAT(DebugText(error), HasSubstr("nest more than 64 deep"));
}

// Builds archive bytes by hand.
class Bytes {
 public:
  Bytes& Raw(std::initializer_list<uint8_t> bytes) {
    data_.insert(data_.end(), bytes);
    return *this;
  }
  Bytes& Header() { return Text("QMKA", false).Raw({1}); }
  Bytes& U32(uint32_t v) {
    return Raw({uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
  }
  Bytes& F64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; ++i) data_.push_back(uint8_t(bits >> (8 * i)));
    return *this;
  }
  Bytes& Text(const std::string& text, bool with_length = true) {
    if (with_length) U32(static_cast<uint32_t>(text.size()));
    data_.insert(data_.end(), text.begin(), text.end());
    return *this;
  }
  // An object header: kind, class name and field count.
  Bytes& Object(const std::string& name, uint32_t fields) {
    return Raw({7}).Text(name).U32(fields);
  }
  std::vector<uint8_t> data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
};

TEST(KeyedArchiveTest, MalformedArchivesAreClearErrors) {
  platform::foundation::RegisterCodingClass<Identifier>();
  platform::foundation::RegisterCodingClass<Record>();
  platform::foundation::RegisterCodingClass<Box>();
  // The valid archive of an Identifier {uuid: "ab", lastActivity: 5}.
  const std::vector<uint8_t> valid = Archive(MakeIdentifier("ab", 5));
  ASSERT_EQ(valid, Bytes()
                       .Header()
                       .Object("Identifier", 2)
                       .Text("uuid").Raw({1}).Text("ab")
                       .Text("lastActivity").Raw({6}).F64(5)
                       .data());
  std::vector<uint8_t> nested_too_deep = Bytes().Header().data();
  for (int i = 0; i < 65; ++i) {
    auto level = Bytes().Object("Box", 1).Text("content").data();
    nested_too_deep.insert(nested_too_deep.end(), level.begin(), level.end());
  }
  nested_too_deep.push_back(0);
  std::vector<uint8_t> trailing = valid;
  trailing.push_back(0);

  struct Case {
    std::string name;
    std::vector<uint8_t> data;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {"empty", {}, "truncated header at byte 0"},
      {"wrong magic", Bytes().Text("QMKB", false).Raw({1, 0}).data(), "not a keyed archive"},
      {"other version", Bytes().Text("QMKA", false).Raw({2, 0}).data(),
       "unsupported format version 2"},
      {"string length past the end",
       Bytes().Header().Object("Identifier", 1).Text("uuid").Raw({1}).U32(0xFFFFFFF0).data(),
       "truncated string: its length runs past the end"},
      {"field count past the end", Bytes().Header().Object("Identifier", 1000).data(),
       "truncated key"},
      {"element count past the end",
       Bytes().Header().Object("Record", 1).Text("tags").Raw({8}).U32(0x7FFFFFFF).data(),
       "element count runs past the end"},
      {"boolean 2", Bytes().Header().Object("Record", 1).Text("enabled").Raw({4, 2}).data(),
       "boolean other than 0 or 1"},
      {"unknown kind", Bytes().Header().Object("Record", 1).Text("x").Raw({9}).data(),
       "unknown value kind 9"},
      {"repeated key",
       Bytes().Header().Object("Record", 2).Text("a").Raw({0}).Text("a").Raw({0}).data(),
       "key \"a\" repeated"},
      {"empty class name", Bytes().Header().Object("", 0).data(), "empty class name"},
      {"nested too deeply", nested_too_deep, "objects nested too deeply"},
      {"bytes after the root", trailing, "bytes after the root"},
      {"root not an object", Bytes().Header().Raw({1}).Text("x").data(),
       "the root is a string, not an object"},
      {"unregistered class", Bytes().Header().Object("Nobody", 0).data(),
       "cannot decode object of class 'Nobody' for key 'root': the class is not registered"},
      {"date not a number",
       Bytes().Header().Object("Identifier", 2).Text("uuid").Raw({1}).Text("ab")
           .Text("lastActivity").Raw({6}).F64(std::numeric_limits<double>::quiet_NaN()).data(),
       "date for key 'lastActivity' is out of range"},
      {"date beyond the clock",
       Bytes().Header().Object("Identifier", 2).Text("uuid").Raw({1}).Text("ab")
           .Text("lastActivity").Raw({6}).F64(2.2e10).data(),
       "date for key 'lastActivity' is out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::shared_ptr<NSError> error;
    EXPECT_EQ(NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(c.data, &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), NSCocoaErrorDomain);
    EXPECT_EQ(error->code(), NSCoderReadCorruptError);
    EXPECT_EQ(error->localizedDescription(),
              "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
    EXPECT_THAT(DebugText(error), HasSubstr(c.problem));
  }

  // Every proper prefix of a valid archive is refused (and read within its bounds).
  for (size_t size = 0; size < valid.size(); ++size) {
    std::shared_ptr<NSError> error;
    std::vector<uint8_t> prefix(valid.begin(), valid.begin() + size);
    EXPECT_EQ(NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(prefix, &error), nullptr);
    ASSERT_NE(error, nullptr) << size;
    EXPECT_THAT(DebugText(error), HasSubstr("truncated")) << size;
  }
}

}  // namespace
