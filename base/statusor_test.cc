#include "base/statusor.h"

#include <memory>
#include <string>
#include <utility>

#include "absl/strings/match.h"
#include "gtest/gtest.h"

namespace {

using absl::StatusCode;
using util::StatusOr;

TEST(StatusOrTest, HoldsAValueOrAnError) {
  const StatusOr<std::string> value = std::string("v");
  ASSERT_TRUE(value.ok());
  EXPECT_EQ(*value, "v");
  EXPECT_EQ(value->size(), 1u);
  EXPECT_TRUE(value.status().ok());

  const StatusOr<std::string> error = absl::NotFoundError("x");
  EXPECT_EQ(error.status(), absl::NotFoundError("x"));
  EXPECT_EQ(error.value_or("fallback"), "fallback");

  const StatusOr<int> from_builder = util::InvalidArgumentErrorBuilder() << "bad " << 2;
  EXPECT_EQ(from_builder.status(), absl::InvalidArgumentError("bad 2"));

  EXPECT_EQ(StatusOr<int>().status().code(), StatusCode::kUnknown);
}

TEST(StatusOrTest, OkStatusIsRefusedAndLogged) {
  testing::internal::CaptureStderr();
  const StatusOr<int> status_or = absl::OkStatus();
  const std::string log = testing::internal::GetCapturedStderr();
  constexpr char kText[] = "An OK status is not a valid constructor argument to StatusOr<T>";
  EXPECT_EQ(status_or.status(), absl::InternalError(kText));
  EXPECT_TRUE(absl::StrContains(log, kText)) << log;
}

TEST(StatusOrDeathTest, ReadingTheValueOfAnErrorDies) {
  const StatusOr<int> error = absl::NotFoundError("x");
  EXPECT_DEATH((void)error.value(),
               "Attempting to fetch value instead of handling error generic::not_found: x");
  EXPECT_DEATH((void)*StatusOr<std::string>(absl::DataLossError("y")), "generic::data_loss: y");
}

// Counts live instances, to show that every value is destroyed exactly once.
struct Counted {
  static int live;
  explicit Counted(int v) : value(v) { ++live; }
  Counted(const Counted& other) : value(other.value) { ++live; }
  Counted(Counted&& other) noexcept : value(other.value) { ++live; }
  Counted& operator=(const Counted&) = default;
  ~Counted() { --live; }
  int value;
};
int Counted::live = 0;

TEST(StatusOrTest, ValuesAreDestroyedExactlyOnce) {
  {
    StatusOr<Counted> a = Counted(1);
    StatusOr<Counted> b = a;
    StatusOr<Counted> c = std::move(a);
    EXPECT_EQ(Counted::live, 3);  // a keeps its moved-from value
    EXPECT_TRUE(a.ok());          // NOLINT(bugprone-use-after-move)
    b = absl::AbortedError("gone");
    EXPECT_EQ(Counted::live, 2);
    b = c;
    EXPECT_EQ(b->value, 1);
    c = Counted(5);
    EXPECT_EQ(c->value, 5);
    StatusOr<Counted> d = absl::AbortedError("e");
    d = std::move(c);
    EXPECT_EQ(Counted::live, 4);
  }
  EXPECT_EQ(Counted::live, 0);
}

TEST(StatusOrTest, MoveOnlyAndConvertingValues) {
  struct Base {
    virtual ~Base() = default;
  };
  struct Derived : Base {};
  StatusOr<std::unique_ptr<Derived>> derived = std::make_unique<Derived>();
  StatusOr<std::unique_ptr<Base>> base = std::move(derived);
  ASSERT_TRUE(base.ok());
  EXPECT_NE(*base, nullptr);
  std::unique_ptr<Base> taken = std::move(base).value();
  EXPECT_NE(taken, nullptr);

  StatusOr<std::unique_ptr<Derived>> failed = absl::UnavailableError("u");
  StatusOr<std::unique_ptr<Base>> converted = std::move(failed);
  EXPECT_EQ(converted.status(), absl::UnavailableError("u"));
}

}  // namespace
