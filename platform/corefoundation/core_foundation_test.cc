#include "platform/corefoundation/core_foundation.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

using platform::corefoundation::Object;

// An object type of its own that counts its destructions.
struct Probe final : Object {
  explicit Probe(std::atomic<int>* destroyed) : Object(TypeID()), destroyed(destroyed) {}
  ~Probe() override { destroyed->fetch_add(1); }
  static CFTypeID TypeID() {
    static const CFTypeID id = platform::corefoundation::RegisterTypeID();
    return id;
  }
  std::atomic<int>* destroyed;
};

TEST(CFObjectTest, CountsAndDestroysOnLastRelease) {
  std::atomic<int> destroyed{0};
  CFTypeRef probe = new Probe(&destroyed);
  EXPECT_EQ(CFGetTypeID(probe), Probe::TypeID());
  EXPECT_EQ(CFGetRetainCount(probe), 1);
  EXPECT_EQ(CFRetain(probe), probe);
  EXPECT_EQ(CFGetRetainCount(probe), 2);
  CFRelease(probe);
  EXPECT_EQ(destroyed.load(), 0);
  CFRelease(probe);
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(CFObjectTest, RetainAndReleaseRaceFreely) {
  std::atomic<int> destroyed{0};
  CFTypeRef probe = new Probe(&destroyed);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([probe] {
      for (int i = 0; i < 2000; ++i) {
        CFRetain(probe);
        CFRelease(probe);
      }
      CFRetain(probe);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(CFGetRetainCount(probe), 9);
  // The last of eight concurrent releases destroys it, exactly once.
  threads.clear();
  for (int t = 0; t < 8; ++t) threads.emplace_back([probe] { CFRelease(probe); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(destroyed.load(), 0);
  CFRelease(probe);
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(CFObjectTest, ConstantsAreImmortal) {
  CFIndex before = CFGetRetainCount(kCFBooleanTrue);
  EXPECT_EQ(before, platform::corefoundation::kImmortalRetainCount);
  CFRelease(kCFBooleanTrue);
  CFRelease(CFSTR("Immortal"));
  CFRetain(kCFBooleanTrue);
  EXPECT_EQ(CFGetRetainCount(kCFBooleanTrue), before);
  EXPECT_EQ(CFGetRetainCount(CFSTR("Immortal")), before);
}

TEST(CFObjectDeathTest, MisuseIsFatal) {
  EXPECT_DEATH(CFRelease(nullptr), "NULL Core Foundation reference");
  EXPECT_DEATH(CFRetain(nullptr), "NULL Core Foundation reference");
  int not_an_object[8] = {};
  EXPECT_DEATH(CFRelease(not_an_object), "not a live Core Foundation object|invalid vptr");
  // An object kept alive past its last release (as pools keep buffers) cannot be released again.
  struct Kept final : Object {
    Kept() : Object(Probe::TypeID()) {}
    void LastRelease() override {}
  };
  static Kept kept;
  CFRelease(&kept);
  EXPECT_DEATH(CFRelease(&kept), "over-release");
  EXPECT_DEATH(CFRetain(&kept), "retain of a released");
}

TEST(CFStringTest, InternedAndEqualByText) {
  EXPECT_EQ(CFSTR("Width"), CFSTR("Width"));
  EXPECT_NE(CFSTR("Width"), CFSTR("Height"));
  EXPECT_STREQ(CFStringGetCStringPtr(CFSTR("Width"), kCFStringEncodingUTF8), "Width");
  EXPECT_EQ(CFStringGetLength(CFSTR("Width")), 5);
  static constinit platform::corefoundation::Immortal<CFStringObject> own_key{"Width"};
  EXPECT_TRUE(CFEqual(&own_key.value, CFSTR("Width")));
  EXPECT_EQ(CFHash(&own_key.value), CFHash(CFSTR("Width")));
  EXPECT_FALSE(CFEqual(CFSTR("Width"), kCFBooleanTrue));
  EXPECT_FALSE(CFEqual(CFSTR("Width"), nullptr));
}

TEST(CFStringTest, InterningIsThreadSafe) {
  std::vector<std::thread> threads;
  std::vector<CFStringRef> seen(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&seen, t] {
      for (int i = 0; i < 100; ++i) CFSTR("racing");
      seen[t] = CFSTR("racing");
    });
  }
  for (auto& thread : threads) thread.join();
  for (CFStringRef s : seen) EXPECT_EQ(s, seen[0]);
}

struct Conversion {
  std::string name;
  CFNumberType from;
  double value;  // stored through `from`
  CFNumberType to;
  double expected;
  bool exact;
};

void PrintTo(const Conversion& c, std::ostream* os) { *os << c.name; }

class CFNumberConversionTest : public testing::TestWithParam<Conversion> {};

CFNumberRef MakeNumber(CFNumberType type, double value) {
  switch (type) {
    case kCFNumberSInt8Type: { int8_t v = static_cast<int8_t>(value); return CFNumberCreate(nullptr, type, &v); }
    case kCFNumberSInt32Type: { int32_t v = static_cast<int32_t>(value); return CFNumberCreate(nullptr, type, &v); }
    case kCFNumberSInt64Type: { int64_t v = static_cast<int64_t>(value); return CFNumberCreate(nullptr, type, &v); }
    case kCFNumberFloat32Type: { float v = static_cast<float>(value); return CFNumberCreate(nullptr, type, &v); }
    default: return CFNumberCreate(nullptr, type, &value);
  }
}

double ReadNumber(CFNumberRef n, CFNumberType type, bool* exact) {
  switch (type) {
    case kCFNumberSInt8Type: { int8_t v = 0; *exact = CFNumberGetValue(n, type, &v); return v; }
    case kCFNumberSInt16Type: { int16_t v = 0; *exact = CFNumberGetValue(n, type, &v); return v; }
    case kCFNumberSInt32Type: { int32_t v = 0; *exact = CFNumberGetValue(n, type, &v); return v; }
    case kCFNumberSInt64Type: { int64_t v = 0; *exact = CFNumberGetValue(n, type, &v); return static_cast<double>(v); }
    case kCFNumberFloat32Type: { float v = 0; *exact = CFNumberGetValue(n, type, &v); return v; }
    default: { double v = 0; *exact = CFNumberGetValue(n, type, &v); return v; }
  }
}

TEST_P(CFNumberConversionTest, ConvertsAndReportsLoss) {
  const Conversion& c = GetParam();
  CFNumberRef n = MakeNumber(c.from, c.value);
  ASSERT_NE(n, nullptr);
  bool exact = false;
  EXPECT_EQ(ReadNumber(n, c.to, &exact), c.expected);
  EXPECT_EQ(exact, c.exact);
  CFRelease(n);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CFNumberConversionTest,
    testing::Values(
        Conversion{"Int32ToInt64", kCFNumberSInt32Type, -640, kCFNumberSInt64Type, -640, true},
        Conversion{"FourCCToInt32", kCFNumberSInt64Type, 0x42475241, kCFNumberSInt32Type, 0x42475241, true},
        Conversion{"Int32ToInt8Overflows", kCFNumberSInt32Type, 300, kCFNumberSInt8Type, 44, false},
        Conversion{"Int32ToInt16", kCFNumberSInt32Type, -300, kCFNumberSInt16Type, -300, true},
        Conversion{"DoubleToInt32Truncates", kCFNumberFloat64Type, 2.75, kCFNumberSInt32Type, 2, false},
        Conversion{"WholeDoubleToInt32", kCFNumberFloat64Type, 2.0, kCFNumberSInt32Type, 2, true},
        Conversion{"HugeDoubleSaturates", kCFNumberFloat64Type, 1e20, kCFNumberSInt32Type, 2147483647, false},
        Conversion{"DoubleToFloatLoses", kCFNumberFloat64Type, 0.1, kCFNumberFloat32Type, 0.1f, false},
        Conversion{"FloatToDouble", kCFNumberFloat32Type, 0.5, kCFNumberFloat64Type, 0.5, true},
        Conversion{"Int8ToDouble", kCFNumberSInt8Type, -7, kCFNumberFloat64Type, -7, true}),
    [](const testing::TestParamInfo<Conversion>& info) { return info.param.name; });

TEST(CFNumberTest, TypeEqualityAndBadArguments) {
  int32_t two = 2;
  double two_f = 2.0, half = 0.5;
  CFNumberRef a = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &two);
  CFNumberRef b = CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &two_f);
  CFNumberRef c = CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &half);
  EXPECT_EQ(CFGetTypeID(a), CFNumberGetTypeID());
  EXPECT_EQ(CFNumberGetType(a), kCFNumberSInt32Type);
  EXPECT_FALSE(CFNumberIsFloatType(a));
  EXPECT_TRUE(CFNumberIsFloatType(b));
  EXPECT_TRUE(CFEqual(a, b));
  EXPECT_EQ(CFHash(a), CFHash(b));
  EXPECT_FALSE(CFEqual(a, c));
  EXPECT_EQ(CFNumberCreate(kCFAllocatorDefault, static_cast<CFNumberType>(99), &two), nullptr);
  EXPECT_EQ(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, nullptr), nullptr);
  EXPECT_FALSE(CFNumberGetValue(a, kCFNumberSInt32Type, nullptr));
  int64_t beyond_double = (int64_t{1} << 53) + 1;
  CFNumberRef wide = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &beyond_double);
  double as_double = 0;
  EXPECT_FALSE(CFNumberGetValue(wide, kCFNumberDoubleType, &as_double));
  EXPECT_EQ(as_double, 9007199254740992.0);
  CFRelease(wide);
  for (CFNumberRef n : {a, b, c}) CFRelease(n);

  EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
  EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
  EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
}

TEST(CFDictionaryTest, RetainsEntriesAndReleasesThemOnReplaceAndDestruction) {
  std::atomic<int> destroyed{0};
  CFTypeRef first = new Probe(&destroyed);
  CFTypeRef second = new Probe(&destroyed);
  CFMutableDictionaryRef d = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(d, CFSTR("Key"), first);
  EXPECT_EQ(CFGetRetainCount(first), 2);
  CFDictionarySetValue(d, CFSTR("Key"), first);  // the same value again keeps one reference
  EXPECT_EQ(CFGetRetainCount(first), 2);
  CFDictionarySetValue(d, CFSTR("Key"), second);
  EXPECT_EQ(CFGetRetainCount(first), 1);
  EXPECT_EQ(CFDictionaryGetCount(d), 1);
  EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("Key")), second);
  CFRelease(first);
  CFRelease(second);
  EXPECT_EQ(destroyed.load(), 1);
  CFRelease(d);
  EXPECT_EQ(destroyed.load(), 2);
}

TEST(CFDictionaryTest, FindsKeysByValue) {
  int32_t key_value = 7;
  double same_value = 7.0;
  CFNumberRef int_key = CFNumberCreate(nullptr, kCFNumberSInt32Type, &key_value);
  CFNumberRef double_key = CFNumberCreate(nullptr, kCFNumberDoubleType, &same_value);
  const void* keys[] = {CFSTR("A"), int_key, CFSTR("A")};
  const void* values[] = {kCFBooleanFalse, CFSTR("seven"), kCFBooleanTrue};
  CFDictionaryRef d = CFDictionaryCreate(nullptr, keys, values, 3, &kCFTypeDictionaryKeyCallBacks,
                                         &kCFTypeDictionaryValueCallBacks);
  EXPECT_EQ(CFGetTypeID(d), CFDictionaryGetTypeID());
  EXPECT_EQ(CFDictionaryGetCount(d), 2);
  EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("A")), kCFBooleanTrue);
  EXPECT_EQ(CFDictionaryGetValue(d, double_key), CFSTR("seven"));
  EXPECT_EQ(CFDictionaryGetValue(d, CFSTR("B")), nullptr);
  const void* value = nullptr;
  EXPECT_FALSE(CFDictionaryGetValueIfPresent(d, CFSTR("B"), &value));
  EXPECT_TRUE(CFDictionaryGetValueIfPresent(d, int_key, &value));
  EXPECT_EQ(value, CFSTR("seven"));
  EXPECT_TRUE(CFDictionaryContainsKey(d, CFSTR("A")));
  CFRelease(int_key);
  CFRelease(double_key);
  EXPECT_DEATH(CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(d), CFSTR("A"), kCFBooleanTrue),
               "immutable");
  CFRelease(d);
}

TEST(CFArrayTest, RetainsItemsAndChecksIndexes) {
  std::atomic<int> destroyed{0};
  CFTypeRef probe = new Probe(&destroyed);
  const void* items[] = {CFSTR("first"), probe};
  CFArrayRef array = CFArrayCreate(kCFAllocatorDefault, items, 2, &kCFTypeArrayCallBacks);
  CFRelease(probe);
  EXPECT_EQ(destroyed.load(), 0);
  EXPECT_EQ(CFGetTypeID(array), CFArrayGetTypeID());
  EXPECT_EQ(CFArrayGetCount(array), 2);
  EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), probe);
  EXPECT_DEATH(CFArrayGetValueAtIndex(array, 2), "out of bounds");
  EXPECT_DEATH(CFArrayGetValueAtIndex(array, -1), "out of bounds");
  CFRelease(array);
  EXPECT_EQ(destroyed.load(), 1);
}

std::string DescriptionOf(CFTypeRef object) {
  CFStringRef description = CFCopyDescription(object);
  std::string text = CFStringGetCStringPtr(description, kCFStringEncodingUTF8);
  CFRelease(description);
  return text;
}

TEST(CFDescriptionTest, DescribesValuesAndContainers) {
  int32_t width = 640;
  double age = 0.1;
  CFNumberRef width_number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &width);
  CFNumberRef age_number = CFNumberCreate(kCFAllocatorDefault, kCFNumberDoubleType, &age);
  CFMutableDictionaryRef d = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, nullptr, nullptr);
  CFDictionarySetValue(d, CFSTR("Width"), width_number);
  CFDictionarySetValue(d, CFSTR("Age"), age_number);
  const void* items[] = {kCFBooleanTrue, d};
  CFArrayRef array = CFArrayCreate(kCFAllocatorDefault, items, 2, nullptr);
  EXPECT_EQ(DescriptionOf(array), "(true, {Width = 640; Age = 0.1})");
  EXPECT_EQ(DescriptionOf(CFSTR("plain")), "plain");

  const void* keys[2];
  const void* values[2];
  CFDictionaryGetKeysAndValues(d, keys, values);
  EXPECT_EQ(keys[1], CFSTR("Age"));
  EXPECT_EQ(values[0], width_number);

  testing::internal::CaptureStderr();
  CFShow(d);
  CFShow(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "{Width = 640; Age = 0.1}\n(null)\n");

  CFStringRef owned = CFStringCreateWithCString(kCFAllocatorDefault, "Width", kCFStringEncodingUTF8);
  EXPECT_EQ(CFGetRetainCount(owned), 1);
  EXPECT_EQ(CFDictionaryGetValue(d, owned), width_number);
  for (CFTypeRef object : {CFTypeRef(owned), CFTypeRef(array), CFTypeRef(d), CFTypeRef(width_number),
                           CFTypeRef(age_number)}) {
    CFRelease(object);
  }
}

}  // namespace
