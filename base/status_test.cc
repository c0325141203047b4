#include "base/status.h"

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "absl/strings/str_cat.h"
#include "gtest/gtest.h"

namespace {

using absl::Status;
using absl::StatusCode;

TEST(StatusTest, IsOneWord) { EXPECT_EQ(sizeof(Status), 8u); }

TEST(StatusTest, TextForms) {
  const struct {
    Status status;
    StatusCode code;
    int raw_code;
    const char* text;
  } kCases[] = {
      {Status(), StatusCode::kOk, 0, "OK"},
      {Status(StatusCode::kOk, "ignored"), StatusCode::kOk, 0, "OK"},
      {absl::NotFoundError(""), StatusCode::kNotFound, 5, "generic::not_found: "},
      {absl::InvalidArgumentError("bad"), StatusCode::kInvalidArgument, 3,
       "generic::invalid_argument: bad"},
      {absl::DataLossError("d"), StatusCode::kDataLoss, 15, "generic::data_loss: d"},
      {absl::UnauthenticatedError("u"), StatusCode::kUnauthenticated, 16,
       "generic::unauthenticated: u"},
      {Status(static_cast<StatusCode>(17), "x"), StatusCode::kUnknown, 17, "generic::17: x"},
      {Status(static_cast<StatusCode>(20), "x"), StatusCode::kUnknown, 20, "generic::unknown: x"},
      {Status(static_cast<StatusCode>(25), "x"), StatusCode::kUnknown, 25, "generic::25: x"},
      {Status(static_cast<StatusCode>(-1), "x"), StatusCode::kUnknown, -1, "generic::-1: x"},
      {Status(static_cast<StatusCode>(-1), ""), StatusCode::kUnknown, -1, "generic::-1: "},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.status.code(), c.code) << c.text;
    EXPECT_EQ(c.status.raw_code(), c.raw_code) << c.text;
    EXPECT_EQ(c.status.ToString(), c.text);
    EXPECT_EQ(util::StatusToString(c.status), c.text);
    std::ostringstream streamed;
    streamed << c.status;
    EXPECT_EQ(streamed.str(), c.text);
  }
  EXPECT_TRUE(Status(StatusCode::kOk, "ignored").message().empty());
}

TEST(StatusTest, MovedFromReadsAsInternal) {
  Status a = absl::NotFoundError("gone");
  Status b = std::move(a);
  EXPECT_EQ(b.message(), "gone");
  EXPECT_FALSE(a.ok());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(a.code(), StatusCode::kInternal);
  EXPECT_EQ(a.message(), "Status accessed after move.");
  EXPECT_EQ(a.ToString(), "generic::internal: Status accessed after move.");

  Status c = absl::UnknownError("");
  c = std::move(b);
  EXPECT_EQ(c.message(), "gone");
  EXPECT_EQ(a, b);  // both moved-from
  EXPECT_NE(a, absl::InternalError("Status accessed after move."));
  EXPECT_NE(a, absl::InternalError(""));

  // A moved-from status can be assigned again.
  a = absl::OkStatus();
  EXPECT_TRUE(a.ok());
}

TEST(StatusTest, CopiesShareTheRecordUntilWritten) {
  const Status original = absl::InternalError("shared");
  Status copy = original;
  EXPECT_EQ(copy.message().data(), original.message().data());

  copy.SetPayload("k", absl::Cord("v"));
  EXPECT_FALSE(original.GetPayload("k").has_value());
  EXPECT_EQ(copy.GetPayload("k"), absl::Cord("v"));
  EXPECT_NE(copy.message().data(), original.message().data());
  EXPECT_NE(copy, original);

  // A status that owns its record alone is written in place.
  const char* before = copy.message().data();
  copy.SetPayload("k", absl::Cord("w"));
  EXPECT_EQ(copy.message().data(), before);
  EXPECT_EQ(copy.GetPayload("k"), absl::Cord("w"));
}

TEST(StatusTest, CopiesAcrossThreads) {
  const Status shared = absl::InternalError("shared");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&shared, t] {
      for (int i = 0; i < 2000; ++i) {
        Status copy = shared;
        // Each thread writes its own copy: the shared record must stay untouched.
        copy.SetPayload("thread", absl::Cord(absl::StrCat(t)));
        Status again = copy;
        EXPECT_EQ(again.GetPayload("thread"), absl::Cord(absl::StrCat(t)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(shared, absl::InternalError("shared"));
}

TEST(StatusTest, PayloadsOnOkAndInlineStatuses) {
  Status ok;
  ok.SetPayload("k", absl::Cord("v"));
  EXPECT_TRUE(ok.ok());
  EXPECT_FALSE(ok.GetPayload("k").has_value());

  Status inline_error = absl::NotFoundError("");
  EXPECT_FALSE(inline_error.GetPayload("k").has_value());
  inline_error.SetPayload("k", absl::Cord("v"));
  EXPECT_EQ(inline_error.code(), StatusCode::kNotFound);
  EXPECT_EQ(inline_error.GetPayload("k"), absl::Cord("v"));

  EXPECT_FALSE(inline_error.ErasePayload("other"));
  EXPECT_TRUE(inline_error.ErasePayload("k"));
  EXPECT_FALSE(inline_error.GetPayload("k").has_value());
  // Still a record: not equal to the inline form although nothing is left.
  EXPECT_NE(inline_error, absl::NotFoundError(""));
}

TEST(StatusTest, PayloadEquality) {
  Status a = absl::AbortedError("m");
  a.SetPayload("x", absl::Cord("1"));
  a.SetPayload("y", absl::Cord("2"));
  Status b = absl::AbortedError("m");
  b.SetPayload("y", absl::Cord("2"));
  b.SetPayload("x", absl::Cord("1"));
  EXPECT_EQ(a, b);

  // A stack trace on one side only does not count.
  b.SetPayload(Status::kStackTracePayloadKey, absl::Cord("trace"));
  EXPECT_EQ(a, b);
  EXPECT_EQ(b, a);

  Status c = absl::AbortedError("m");
  c.SetPayload("x", absl::Cord("1"));
  c.SetPayload("y", absl::Cord("3"));
  EXPECT_NE(a, c);
  Status d = absl::AbortedError("m");
  d.SetPayload("x", absl::Cord("1"));
  EXPECT_NE(a, d);
  EXPECT_NE(a, absl::AbortedError("m"));
  EXPECT_NE(absl::AbortedError("m"), absl::AbortedError("n"));
  EXPECT_NE(absl::AbortedError("m"), absl::CancelledError("m"));

  std::string seen;
  b.ForEachPayload([&seen](absl::string_view key, const absl::Cord& value) {
    absl::StrAppend(&seen, key, "=", std::string(value), ";");
  });
  EXPECT_TRUE(seen == "x=1;y=2;" || seen == "y=2;x=1;") << seen;
}

TEST(StatusTest, Annotate) {
  EXPECT_EQ(util::Annotate(absl::NotFoundError("a"), "b"), absl::NotFoundError("a; b"));
  EXPECT_EQ(util::Annotate(absl::NotFoundError(""), "b"), absl::NotFoundError("b"));
  EXPECT_TRUE(util::Annotate(absl::OkStatus(), "b").ok());

  Status with_payload = absl::NotFoundError("a");
  with_payload.SetPayload("k", absl::Cord("v"));
  const Status same = util::Annotate(with_payload, "");
  EXPECT_EQ(same.message().data(), with_payload.message().data());
  const Status annotated = util::Annotate(with_payload, "b");
  EXPECT_EQ(annotated.message(), "a; b");
  EXPECT_EQ(annotated.GetPayload("k"), absl::Cord("v"));
}

// A second space, to show what the generic one never needs: the payload that
// records a space and its own code.
struct AbSpace {
  static std::string space_name() { return "ab"; }
  static std::string code_to_string(int code) { return absl::StrCat("ab", code); }
  static int canonical_code(int code) { return code == 5 ? 5 : code == 9 ? 0 : 2; }
};

// A space whose payload does not fit the local encoding buffer.
struct LongNameSpace {
  static std::string space_name() { return std::string(200, 'n'); }
  static std::string code_to_string(int code) { return absl::StrCat(code); }
  static int canonical_code(int code) { return 13; }
};

const util::ErrorSpace* Ab() { return util::ErrorSpace::GetBase<util::ErrorSpaceImpl<AbSpace>>(); }

std::string PayloadBytes(const Status& status) {
  absl::optional<absl::Cord> payload =
      status.GetPayload(util::status_internal::ErrorSpacePayload::kTypeUrl);
  return payload.has_value() ? std::string(*payload) : "<none>";
}

TEST(ErrorSpaceTest, PayloadBytes) {
  const struct {
    int code;
    std::string bytes;
    StatusCode canonical;
  } kCases[] = {
      {5, "\x08\x05\x12\x02" "ab", StatusCode::kNotFound},
      {300, "\x08\xac\x02\x12\x02" "ab", StatusCode::kUnknown},
      {-2, "\x08\xfe\xff\xff\xff\x0f\x12\x02" "ab", StatusCode::kUnknown},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.code);
    const Status status = util::MakeStatus(Ab(), c.code, "m");
    EXPECT_EQ(PayloadBytes(status), c.bytes);
    EXPECT_EQ(status.code(), c.canonical);
    const auto decoded = util::status_internal::ErrorSpacePayload::Retrieve(status);
    EXPECT_EQ(decoded.code(), c.code);
    EXPECT_EQ(decoded.GetErrorSpaceName(), "ab");
    EXPECT_TRUE(util::HasErrorCode(status, Ab(), c.code));
    EXPECT_FALSE(util::HasErrorSpace(status, util::CanonicalErrorSpace()));
  }
}

TEST(ErrorSpaceTest, LongSpaceNames) {
  const util::ErrorSpace* space =
      util::ErrorSpace::GetBase<util::ErrorSpaceImpl<LongNameSpace>>();
  const Status status = util::MakeStatus(space, 1, "m");
  EXPECT_EQ(PayloadBytes(status), absl::StrCat("\x08\x01\x12\xc8\x01", std::string(200, 'n')));
  EXPECT_EQ(util::status_internal::ErrorSpacePayload::Retrieve(status).GetErrorSpaceName(),
            std::string(200, 'n'));
}

TEST(ErrorSpaceTest, ASpaceCodeWithCanonicalOkIsStillAnError) {
  const Status status = util::MakeStatus(Ab(), 9, "m");
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(status.code(), StatusCode::kOk);
  EXPECT_EQ(status.message(), "m");
  EXPECT_TRUE(util::HasErrorCode(status, Ab(), 9));
  const Status empty = util::status_internal::MakeNonOkStatusWithOkCode("");
  EXPECT_FALSE(empty.ok());
  EXPECT_NE(empty, absl::OkStatus());
}

TEST(ErrorSpaceTest, RegisteredSpaceNamesTheText) {
  util::ErrorSpace::Register(&Ab);
  EXPECT_EQ(util::ErrorSpace::Find("ab"), Ab());
  EXPECT_EQ(util::ErrorSpace::Find("generic"), util::CanonicalErrorSpace());
  EXPECT_EQ(util::ErrorSpace::Find("nope"), nullptr);

  const Status status = util::MakeStatus(Ab(), 7, "m");
  EXPECT_EQ(status.ToString(), "ab::ab7: m");
  // Rewriting the message keeps the space; the canonical code stays.
  const Status annotated = util::Annotate(status, "more");
  EXPECT_EQ(annotated.ToString(), "ab::ab7: m; more");
  EXPECT_EQ(annotated.code(), StatusCode::kUnknown);
  EXPECT_EQ(util::ToCanonical(status).ToString(), "generic::unknown: m");
}

TEST(ErrorSpaceTest, GenericSpaceWritesNoPayload) {
  const Status status = util::MakeStatus(util::CanonicalErrorSpace(), 25, "x");
  EXPECT_EQ(PayloadBytes(status), "<none>");
  EXPECT_EQ(status.raw_code(), 25);
  EXPECT_TRUE(util::HasErrorCode(status, util::CanonicalErrorSpace(), 25));
  EXPECT_TRUE(util::HasErrorCode(absl::OkStatus(), util::CanonicalErrorSpace(), 0));
}

TEST(ErrorSpaceTest, DamagedPayloadsDecodeWithoutReadingPastTheEnd) {
  const struct {
    std::string bytes;
    int code;
    std::string name;
  } kCases[] = {
      {"", 2, ""},
      {"\x08", 2, ""},               // code varint missing
      {"\x08\x85", 2, ""},           // code varint cut short
      {"\x12\x09" "ab", 2, ""},      // name longer than what is left
      {"\x07\x08\x04", 4, ""},       // unknown byte skipped
      {"\x12\x01" "a" "\x12\x01" "b" "\x08\x03", 3, "b"},  // later name wins
  };
  for (const auto& c : kCases) {
    Status status = absl::UnknownError("m");
    status.SetPayload(util::status_internal::ErrorSpacePayload::kTypeUrl, absl::Cord(c.bytes));
    const auto decoded = util::status_internal::ErrorSpacePayload::Retrieve(status);
    EXPECT_EQ(decoded.code(), c.code);
    EXPECT_EQ(decoded.GetErrorSpaceName(), c.name);
    status.ToString();  // prints without crashing
    EXPECT_EQ(util::SetMessage(status, "n").message(), "n");
  }
}

TEST(ErrorCodeTest, NamesAndParsing) {
  EXPECT_EQ(util::error::Code_Name(util::error::NOT_FOUND), "NOT_FOUND");
  EXPECT_EQ(util::error::Code_Name(static_cast<util::error::Code>(17)), "");
  util::error::Code code = util::error::OK;
  EXPECT_FALSE(util::error::Code_Parse("not_found", &code));
  EXPECT_EQ(code, util::error::OK);
  EXPECT_TRUE(util::error::Code_Parse("DATA_LOSS", &code));
  EXPECT_EQ(code, util::error::DATA_LOSS);
  EXPECT_TRUE(util::error::Code_IsValid(20));
  EXPECT_FALSE(util::error::Code_IsValid(17));
}

}  // namespace
