#include "platform/utility/format.h"

#include <climits>
#include <cstdint>

#include "gtest/gtest.h"
#include "platform/foundation/ns_error.h"

namespace {

using platform::utility::FormatArgument;
using platform::utility::FormatArguments;
using platform::utility::StringWithFormat;

struct Case {
  const char* name;
  const char* format;
  FormatArguments arguments;
  const char* expected;
};

class Named : public platform::utility::Describing {
 public:
  std::string description() const override { return "<named>"; }
};

TEST(FormatTest, Conversions) {
  const Case cases[] = {
      {"object_text", "a %@ b", {"x"}, "a x b"},
      {"object_none", "%@|%@", {nullptr, static_cast<const char*>(nullptr)}, "(null)|(null)"},
      {"signed_forms", "%d %i %ld %li %lld", {-1, 2, -3L, 4L, LLONG_MIN},
       "-1 2 -3 4 -9223372036854775808"},
      {"unsigned_forms", "%lu %llu %tu", {7UL, ULLONG_MAX, size_t{9}},
       "7 18446744073709551615 9"},
      {"signed_as_unsigned", "%lu", {-1L}, "18446744073709551615"},
      {"pointer", "%p %p", {reinterpret_cast<const void*>(0xbeef), static_cast<const void*>(nullptr)},
       "0xbeef 0x0"},
      {"percent", "100%% %@", {"done"}, "100% done"},
      {"number_for_object", "%@", {42}, "42"},
      {"object_for_integer", "%d", {"seven"}, "seven"},
      {"missing_argument", "%@ and %lu", {"one"}, "one and %lu"},
      {"unknown_conversions", "%s %5d %x %", {"unused"}, "%s %5d %x %"},
      {"lone_t_is_not_signed", "%td", {1}, "%td"},
      {"extra_arguments_ignored", "plain", {1, 2}, "plain"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StringWithFormat(c.format, c.arguments), c.expected) << c.name;
  }
}

TEST(FormatTest, ObjectsPrintTheirDescriptionAndDescribingOnesAreKept) {
  auto error = NSError::errorWithDomain("d", 3);
  auto named = std::make_shared<Named>();
  FormatArgument error_argument(error);
  FormatArgument named_argument(named);
  EXPECT_EQ(StringWithFormat("%@ / %@", {error_argument, named_argument}),
            error->description() + " / <named>");
  EXPECT_EQ(error_argument.object(), nullptr);
  EXPECT_EQ(named_argument.object().get(), named.get());
  EXPECT_TRUE(FormatArgument(std::shared_ptr<Named>()).isNull());
  EXPECT_FALSE(FormatArgument(std::string()).isNull());
}

}  // namespace
