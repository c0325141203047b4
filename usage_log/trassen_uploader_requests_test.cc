#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <climits>
#include <filesystem>
#include <set>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/fetcher/http_fetcher.h"
#include "platform/foundation/local_http_server.h"
#include "platform/utility/base_logger.h"
#include "usage_log/trassen_uploader.h"
#include "usage_log/uploader_test_util.h"
#include "usage_base/wire_test_util.h"

extern char** environ;

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::SizeIs;
using ::testing::UnorderedElementsAreArray;

constexpr int64_t kMinute = 60 * 1000;

std::string Response(int64_t wait, std::vector<std::pair<int32_t, int32_t>> details = {}) {
  LogResponse response;
  if (wait != -1) response.set_next_request_wait_millis(wait);
  for (auto [index, action] : details) {
    auto* detail = response.add_log_response_details();
    detail->set_log_request_index(index);
    // The action as raw field 2, so that values this build does not know go out as given.
    detail->mutable_unknown_fields()->append({'\x10', static_cast<char>(action)});
  }
  return response.SerializeAsString();
}

// gunzip by Python's own gzip module: an independent reader of the request bodies.
std::string PythonGunzip(const std::string& gzipped) {
  const std::string path = ::testing::TempDir() + "qm_gz_" + std::to_string(getpid()) + ".gz";
  std::ofstream(path, std::ios::binary) << gzipped;
  std::string command = "python3 -c 'import gzip,sys; sys.stdout.buffer.write(gzip.decompress("
                        "open(sys.argv[1], \"rb\").read()))' " + path;
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0);
  std::remove(path.c_str());
  return out;
}

bool HasTopLevelField(const std::string& decoded, int field) {
  const std::string start = std::to_string(field) + ":";
  const std::string nested = std::to_string(field) + " {";
  std::istringstream lines(decoded);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(start, 0) == 0 || line.rfind(nested, 0) == 0) return true;
  }
  return false;
}

int64_t TopLevelNumber(const std::string& decoded, int field) {
  const std::string start = std::to_string(field) + ": ";
  std::istringstream lines(decoded);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(start, 0) == 0) return std::stoll(line.substr(start.size()));
  }
  return -1;
}

// The response matrix: the same answers for one file per request and for batches.
//   D/0/a: files f0, f1 (one batch group); D/0/b: file f of an anonymous context (a second
//   group). One file per request sends b/f, a/f1, a/f0 in that order.
TEST_F(UploaderTest, TheAnswerDecidesWhatIsDeletedAndWhetherTheRunGoesOn) {
  struct Case {
    std::string name;
    RecordingHttpServer::Reply reply;
    long scripted;  // a fetch error without network for the first request, or 0
    bool stall;     // the server never answers (time-out)
    std::set<std::string> kept_batch, kept_single;
    size_t requests_batch, requests_single;  // requests that reached the server
  };
  const std::set<std::string> all = {"a/f0", "a/f1", "b/f"}, none;
  const std::string garbage("\xff\xff\xff\xff", 4);
  std::vector<Case> cases = {
      {"200 with a wait", {200, Response(60000)}, 0, false, none, none, 2, 3},
      {"207 retry of the first", {207, Response(-1, {{0, 1}})}, 0, false, {"a/f0", "b/f"}, all, 2, 3},
      {"207 unknown action keeps", {207, Response(-1, {{0, 5}})}, 0, false, {"a/f0", "b/f"}, all, 2, 3},
      {"207 without details", {207, Response(-1)}, 0, false, none, none, 2, 3},
      {"207 indices -1 and n", {207, Response(-1, {{-1, 1}, {2, 1}})}, 0, false, none, none, 2, 3},
      {"400", {400, "bad"}, 0, false, none, none, 2, 3},
      {"404", {404, "gone"}, 0, false, all, all, 2, 3},
      {"507", {507, "full"}, 0, false, all, all, 2, 3},
      {"503 ends the run", {503, "later"}, 0, false, all, all, 1, 1},
      {"200 garbage", {200, garbage}, 0, false, none, none, 2, 3},
      {"closed connection", {0, "", true}, 0, false, all, all, 1, 1},
      {"stalled server", {200, ""}, 0, true, all, all, 1, 1},
      {"-1020 skips one request", {200, Response(-1)}, NSURLErrorDataNotAllowed, false,
       {"a/f0", "a/f1"}, {"b/f"}, 1, 2},
      {"-1009 ends the run", {200, Response(-1)}, NSURLErrorNotConnectedToInternet, false, all,
       all, 0, 0},
  };
  platform::fetcher::SetTimeoutOverride(1);
  for (bool batch : {true, false}) {
    fake_->setNumber("batch_upload_v2", ZQLMarovicNumber::Boolean(batch));
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name + (batch ? " (batch)" : " (single)"));
      NSFileManager::defaultManager()->removeItemAtPath(dir_->path(), nullptr);
      std::string a = ContextFolder("0", "a", Context(700));
      WriteLog(a, "f0", "\x02\x08\x01");
      WriteLog(a, "f1", "\x02\x08\x02");
      JQXLogContext anonymous = Context(700);
      anonymous.set_is_anonymous(true);
      WriteLog(ContextFolder("0", "b", anonymous), "f", "\x02\x08\x03");

      RecordingHttpServer server;
      server.Script("/log", c.reply);
      server.Script("/log/batch", c.reply);
      platform::foundation::LocalHttpServer stalling({});
      auto uploader = Make(std::make_shared<JQXNoOpLockProvider>(), nullptr, nullptr, server.Base());
      if (c.stall) {
        auto stall = NSURL::URLWithString(stalling.URL("/stall"));
        uploader->setServerURL(stall, stall);
      }
      if (c.scripted != 0) platform::fetcher::ScriptErrors({c.scripted});
      const int64_t request_time = clock_->currentTimeMilliseconds();
      UploadOutcome outcome = Upload(uploader);
      EXPECT_TRUE(outcome.success);  // a run took place, whatever its requests met

      std::set<std::string> kept;
      for (const char* name : {"a/f0", "a/f1", "b/f"}) {
        if (Exists(dir_->path() + "/0/" + name)) kept.insert(name);
      }
      EXPECT_EQ(kept, batch ? c.kept_batch : c.kept_single);
      const size_t requests =
          c.stall ? static_cast<size_t>(stalling.RequestCount()) : server.Requests().size();
      EXPECT_EQ(requests, batch ? c.requests_batch : c.requests_single);

      auto state = State();
      if (c.name == "200 with a wait") {
        EXPECT_EQ(state->last_upload_time_milliseconds(), request_time);
        EXPECT_EQ(state->next_upload_time_milliseconds(), request_time + 60000);
        EXPECT_EQ(state->last_default_upload_time_milliseconds(), request_time);
      } else if (c.name == "207 without details") {
        EXPECT_EQ(state->next_upload_time_milliseconds(), request_time - 1);  // no back-off
      } else if (c.name.rfind("207", 0) != 0 && c.name.rfind("-1020", 0) != 0) {
        // Only a parsed answer changes the state.
        EXPECT_FALSE(state->has_last_upload_time_milliseconds());
      }
    }
  }
  platform::fetcher::SetTimeoutOverride(0);
}

TEST_F(UploaderTest, TheServiceBackOffHoldsAcrossRunsAndSaturates) {
  std::string folder = ContextFolder("0", "a", Context(700));
  struct Case {
    int64_t wait;
    int64_t later;  // when the next call comes
    bool runs;
  } cases[] = {
      {60000, 59000, false}, {60000, 60000, true}, {INT64_MAX, 365LL * 24 * 60 * kMinute, false},
      {INT64_MIN, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wait);
    NSFileManager::defaultManager()->removeItemAtPath(dir_->path() + "/state", nullptr);
    WriteLog(folder, "first", "\x02\x08\x01");
    server_.Script("/log/batch", {200, Response(c.wait)});
    auto uploader = Make();
    const int64_t request_time = clock_->currentTimeMilliseconds();
    Upload(uploader);
    EXPECT_EQ(State()->next_upload_time_milliseconds(),
              c.wait == INT64_MAX ? INT64_MAX : request_time + c.wait);
    std::string second = WriteLog(folder, "second", "\x02\x08\x02");
    clock_->advance(c.later);
    // A background call (15-minute period) after a tier-0 upload: only the back-off and the
    // fast tier could hold it, so write the file into the fast tier.
    WriteLog(ContextFolder("2", "f", Context(701, 2)), "x", "\x02\x08\x03");
    UploadOutcome outcome = Upload(uploader);
    EXPECT_EQ(outcome.success, c.runs);
    EXPECT_EQ(Exists(second), !c.runs);
    NSFileManager::defaultManager()->removeItemAtPath(folder + "/second", nullptr);
    NSFileManager::defaultManager()->removeItemAtPath(dir_->path() + "/2", nullptr);
    clock_->set(static_cast<int64_t>(NSDate::date()->timeIntervalSince1970() * 1000));
  }
}

TEST_F(UploaderTest, RequestsCarryTheFileUnchangedAndOnlyTheirOwnFields) {
  fake_->setNumber("batch_upload_v2", ZQLMarovicNumber::Boolean(false));
  JQXLogContext context = Context(700);
  context.set_pseudonymous_id("nid-1");
  context.mutable_client_info()->set_client_type(ClientInfo_ClientType_Ios);
  context.set_app_quendal_id_code(77);
  const std::string content("\x05\x08\x01\x10\x02\x18\x03\x04\x08\x07\x10\x00", 12);
  WriteLog(ContextFolder("0", "a", context), "f", content);
  fake_->setServerToken("tok");
  Upload(Make());

  ASSERT_THAT(server_.Requests(), SizeIs(1));
  const auto request = server_.Requests()[0];
  EXPECT_EQ(request.path, "/log");
  EXPECT_EQ(request.headers.at("content-encoding"), "gzip");
  EXPECT_EQ(request.headers.at("x-server-token"), "tok");
  EXPECT_EQ(request.headers.count("content-type"), 0u);
  EXPECT_EQ(request.headers.count("cookie"), 0u);  // the shared identifier store is off
  const std::string plain = PythonGunzip(request.body);
  const std::string decoded = qm_wire_test::DecodeRaw(plain);
  LogRequest parsed;
  ASSERT_TRUE(parsed.ParseFromString(plain));
  ASSERT_EQ(parsed.serialized_log_events_size(), 1);
  EXPECT_EQ(parsed.serialized_log_events(0), content);  // the file's bytes, unchanged
  EXPECT_EQ(TopLevelNumber(decoded, 2), 700);
  EXPECT_EQ(TopLevelNumber(decoded, 8), TopLevelNumber(decoded, 4) - clock_->bootTimeMilliseconds());
  EXPECT_EQ(parsed.tovrick_cookie(), "nid-1");
  EXPECT_EQ(parsed.app_quendal_id(), 77u);
  EXPECT_EQ(parsed.client_info().client_type(), ClientInfo_ClientType_Ios);
  for (int absent : {3, 6, 9, 13, 14}) EXPECT_FALSE(HasTopLevelField(decoded, absent)) << absent;
}

TEST_F(UploaderTest, BatchesCarryOneRequestPerFileAndAskForPerRequestStatus) {
  std::string folder = ContextFolder("0", "a", Context(700));
  WriteLog(folder, "f0", "\x02\x08\x01");
  WriteLog(folder, "f1", "\x02\x08\x02");
  fake_->setServerToken("t\r\nX-Evil: 1");
  Upload(Make());

  ASSERT_THAT(server_.Requests(), SizeIs(1));
  const auto request = server_.Requests()[0];
  EXPECT_EQ(request.path, "/log/batch");
  EXPECT_EQ(request.headers.count("x-server-token"), 0u);
  EXPECT_EQ(request.headers.count("x-evil"), 0u);
  const std::string decoded = qm_wire_test::DecodeRaw(PythonGunzip(request.body));
  EXPECT_EQ(TopLevelNumber(decoded, 3), 1);
  int requests = 0;
  std::istringstream lines(decoded);
  for (std::string line; std::getline(lines, line);) requests += line == "1 {";
  EXPECT_EQ(requests, 2);
  EXPECT_FALSE(HasTopLevelField(decoded, 4));
  EXPECT_FALSE(HasTopLevelField(decoded, 5));

  // An empty token sends no field.
  fake_->setServerToken("");
  WriteLog(folder, "f2", "\x02\x08\x03");
  clock_->advance(16 * kMinute);
  Upload(Make());
  ASSERT_THAT(server_.Requests(), SizeIs(2));
  EXPECT_EQ(server_.Requests()[1].headers.count("x-server-token"), 0u);
}

// Cellular access for contexts that wait for an unmetered network, by the age of their files.
TEST_F(UploaderTest, UnmeteredOnlyRequestsMayUseCellularOnceAFileWaitedADay) {
  auto uploader = Make();
  std::string folder = ContextFolder("1", "u", Context(700, 1));
  auto young = JQXLogFile::initWithContext(std::make_shared<JQXLogContext>(Context(700, 1)),
                                           NSURL::fileURLWithPath(WriteLog(folder, "y", "x")));
  const int64_t day = 24 * 60 * kMinute;
  struct Case {
    int32_t tier;
    int64_t now;
    bool cellular;
  } cases[] = {{1, young->creationTimeMilliseconds() + day - 1, false},
               {1, young->creationTimeMilliseconds() + day, true},
               {0, young->creationTimeMilliseconds(), true},
               {2, young->creationTimeMilliseconds(), true}};
  for (const Case& c : cases) {
    std::shared_ptr<platform::fetcher::Fetcher> fetch;
    dispatch_sync(uploader->queue(), [&] {
      fetch = uploader->createFetcher(NSURL::URLWithString("https://x/log"), Context(700, c.tier),
                                      "data", {young}, c.now);
    });
    ASSERT_NE(fetch, nullptr);
    EXPECT_EQ(fetch->allowsCellularAccess(), c.cellular) << c.tier << " " << c.now;
    EXPECT_EQ(fetch->comment(), "JQXTrassenUploader");
    EXPECT_EQ(fetch->request()->HTTPMethod(), "POST");
  }
}

class DroppingFilter : public JQXLogRequestFilter {
 public:
  std::shared_ptr<LogRequest> filterLogRequest(std::shared_ptr<LogRequest> request) override {
    return request->serialized_log_events(0) == "drop" ? nullptr : request;
  }
};

TEST_F(UploaderTest, AFilteredFileIsDeletedAndHoldsBackItsGroup) {
  std::string folder = ContextFolder("0", "a", Context(700));
  std::string dropped = WriteLog(folder, "f0", "drop");
  std::string held = WriteLog(folder, "f1", "keep");
  Upload(Make(std::make_shared<JQXNoOpLockProvider>(), std::make_shared<DroppingFilter>()));
  EXPECT_FALSE(Exists(dropped));
  EXPECT_TRUE(Exists(held));
  EXPECT_THAT(server_.Requests(), IsEmpty());
}

class Accounts : public JQXTrassenAuthorizer {
 public:
  std::shared_ptr<platform::fetcher::Authorizer> authorizationForObfuscatedHollinID(
      const std::string& id) override {
    return id == "known" ? std::make_shared<Signer>() : nullptr;
  }
  class Signer : public platform::fetcher::Authorizer {
   public:
    bool authorizeRequest(NSMutableURLRequest& request, std::shared_ptr<NSError>*) override {
      request.setValue("Bearer known", "Authorization");
      return true;
    }
  };
};

TEST_F(UploaderTest, AccountFilesNeedAnAuthorization) {
  fake_->setNumber("batch_upload_v2", ZQLMarovicNumber::Boolean(false));
  JQXLogContext known = Context(700), unknown = Context(701);
  known.set_obfuscated_hollin_id("known");
  unknown.set_obfuscated_hollin_id("unknown");
  std::string signed_file = WriteLog(ContextFolder("0", "k", known), "f", "\x02\x08\x01");
  std::string unsigned_file = WriteLog(ContextFolder("0", "u", unknown), "f", "\x02\x08\x01");
  platform::utility::BaseLoggerCapture capture;
  Upload(Make(std::make_shared<JQXNoOpLockProvider>(), nullptr, std::make_shared<Accounts>()));
  EXPECT_FALSE(Exists(signed_file));
  EXPECT_TRUE(Exists(unsigned_file));
  ASSERT_THAT(server_.Requests(), SizeIs(1));
  EXPECT_EQ(server_.Requests()[0].headers.at("authorization"), "Bearer known");
  bool logged = false;
  for (const auto& line : capture.lines()) {
    logged |= line.message == "Authorizer for account unknown is nil, skipping upload to logsource 701.";
  }
  EXPECT_TRUE(logged);

  // Without any authorizer, account files stay, silently.
  std::string other = WriteLog(ContextFolder("0", "k", known), "g", "\x02\x08\x02");
  clock_->advance(16 * kMinute);
  Upload(Make());
  EXPECT_TRUE(Exists(other));
}

TEST_F(UploaderTest, TheSizeLimitDropsTheOldestFilesButNeverTheMetaCounters) {
  server_.Script("/log/batch", {503, "later"});  // the run keeps every file it sends
  std::string meta = ContextFolder("0", "m", Context(103));
  std::string folder = ContextFolder("0", "a", Context(700));
  const std::string mib(1 << 20, 'x');
  WriteLog(meta, "m0", "");  // the oldest, and empty so that exactly two files must go
  std::vector<std::string> files;
  for (int i = 0; i < 12; ++i) files.push_back(WriteLog(folder, "f" + std::to_string(i), mib));
  Upload(Make());
  EXPECT_FALSE(Exists(files[0]));
  EXPECT_FALSE(Exists(files[1]));
  for (int i = 2; i < 12; ++i) EXPECT_TRUE(Exists(files[i])) << i;
  EXPECT_TRUE(Exists(meta + "/m0"));

  // Meta-counter files alone over the limit stay.
  fake_->setNumber("max_storage_size_bytes", ZQLMarovicNumber::Integer(1));
  for (int i = 2; i < 12; ++i) NSFileManager::defaultManager()->removeItemAtPath(files[i], nullptr);
  WriteLog(meta, "m1", "\x02\x08\x01");
  WriteLog(folder, "small", "\x02\x08\x01");
  clock_->advance(16 * kMinute);
  Upload(Make());
  EXPECT_TRUE(Exists(meta + "/m0"));
  EXPECT_TRUE(Exists(meta + "/m1"));
}

TEST_F(UploaderTest, OldEmptyContextFoldersAreRemoved) {
  const int64_t now = clock_->currentTimeMilliseconds();
  auto age = [](const std::string& path, int64_t ms_since_1970) {
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = ms_since_1970 / 1000;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  const int64_t day = 24 * 60 * kMinute;
  std::string old_empty = ContextFolder("0", "old", Context(700));
  std::string recent_empty = ContextFolder("0", "recent", Context(701));
  std::string old_full = ContextFolder("0", "full", Context(702));
  WriteLog(old_full, "f.tmp", "\x02\x08\x01");  // not sent: still being written
  age(old_empty, now - 15 * day);
  age(recent_empty, now - 13 * day);
  age(old_full, now - 15 * day);
  WriteLog(ContextFolder("0", "a", Context(703)), "f", "\x02\x08\x01");  // makes a run
  Upload(Make());
  EXPECT_FALSE(Exists(old_empty));
  EXPECT_TRUE(Exists(recent_empty));
  EXPECT_TRUE(Exists(old_full));
}

#ifdef QM_LOG_WRITER_CHILD
// A process killed while logging leaves its open file as ".tmp"; once it is old enough the
// uploader sends it whole, once, and deletes it when the service took it.
TEST_F(UploaderTest, AFileLeftByAKilledWriterIsSentOnceWhenOld) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string directory = dir_->path();
  const char* argv[] = {QM_LOG_WRITER_CHILD, directory.c_str(), "0", "50", nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, QM_LOG_WRITER_CHILD, &actions, nullptr, const_cast<char**>(argv),
                        environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  FILE* lines = fdopen(out[0], "r");
  char line[64];
  long reported = 0, failed = 0;
  for (int i = 0; i < 5 && fgets(line, sizeof line, lines) != nullptr; ++i) {
    sscanf(line, "%ld %ld", &reported, &failed);
  }
  kill(pid, SIGKILL);
  while (fgets(line, sizeof line, lines) != nullptr) sscanf(line, "%ld %ld", &reported, &failed);
  fclose(lines);
  waitpid(pid, nullptr, 0);

  std::string tmp;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    if (entry.path().extension() == ".tmp") tmp = entry.path().string();
  }
  ASSERT_FALSE(tmp.empty());
  std::ifstream stream(tmp, std::ios::binary);
  const std::string copy((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());

  auto uploader = Make();
  UploadOutcome early = Upload(uploader);
  EXPECT_TRUE(early.success);
  EXPECT_THAT(server_.Requests(), IsEmpty());  // still young: may be written to
  clock_->advance(21 * kMinute);
  Upload(uploader);
  clock_->advance(16 * kMinute);
  Upload(uploader);
  EXPECT_FALSE(Exists(tmp));
  ASSERT_THAT(server_.Requests(), SizeIs(1));  // once

  BatchedLogRequest batch;
  ASSERT_TRUE(batch.ParseFromString(Bodies("/log/batch")[0]));
  ASSERT_EQ(batch.log_request_size(), 1);
  const std::string& sent = batch.log_request(0).serialized_log_events(0);
  EXPECT_EQ(sent, copy);
  // The records the service reads: whole ones, each an event; at most a torn tail after them.
  google::protobuf::io::CodedInputStream input(reinterpret_cast<const uint8_t*>(sent.data()),
                                               static_cast<int>(sent.size()));
  long whole = 0;
  uint32_t length;
  std::string record;
  while (input.ReadVarint32(&length) && input.ReadString(&record, static_cast<int>(length))) {
    LogEvent event;
    ASSERT_TRUE(event.ParseFromString(record));
    ++whole;
  }
  // One file takes every event (no rotation this early): at least all the child reported.
  EXPECT_GE(whole, reported);
  EXPECT_GT(reported, 0);
}
#endif

}  // namespace

namespace {

// The service's tier overrides replace the stored ones only when their fingerprint changes,
// and go when an answer carries none; requests carry the collect-for-debug window.
TEST_F(UploaderTest, TierOverridesFollowTheServiceAndRequestsCarryTheDebugWindow) {
  std::string folder = ContextFolder("0", "a", Context(700));
  auto answer = [](std::optional<int64_t> fingerprint, int32_t tier) {
    LogResponse response;
    if (fingerprint.has_value()) {
      response.mutable_qos_tier()->set_qos_tier_fingerprint(*fingerprint);
      auto* configuration = response.mutable_qos_tier()->add_qos_tier_configuration();
      configuration->set_log_source(static_cast<LogRequest_LogSource>(700));
      configuration->set_qos_tier(static_cast<QosTierConfiguration_QosTier>(tier));
    }
    return response.SerializeAsString();
  };
  auto uploader = Make();
  auto run = [&](const std::string& body) {
    server_.Script("/log/batch", {200, body});
    WriteLog(folder, "f" + std::to_string(clock_->currentTimeMilliseconds()), "\x02\x08\x01");
    clock_->advance(16 * 60 * 1000);
    EXPECT_TRUE(Upload(uploader).success);
  };
  run(answer(5, 1));
  ASSERT_TRUE(State()->has_qos_tier());
  EXPECT_EQ(State()->qos_tier().qos_tier_configuration(0).qos_tier(), 1);
  run(answer(5, 2));  // same fingerprint: the stored set stays
  EXPECT_EQ(State()->qos_tier().qos_tier_configuration(0).qos_tier(), 1);
  run(answer(6, 2));
  EXPECT_EQ(State()->qos_tier().qos_tier_fingerprint(), 6);
  EXPECT_EQ(State()->qos_tier().qos_tier_configuration(0).qos_tier(), 2);
  run(answer(std::nullopt, 0));
  EXPECT_FALSE(State()->has_qos_tier());

  const int64_t now = clock_->currentTimeMilliseconds();
  uploader->setCollectForDebugExpiryTimeMilliseconds(now + 60 * 60 * 1000);
  run(answer(std::nullopt, 0));
  BatchedLogRequest batch;
  ASSERT_TRUE(batch.ParseFromString(Bodies("/log/batch").back()));
  const LogRequest& request = batch.log_request(0);
  EXPECT_EQ(request.collect_for_debug().collect_until_ms(), now + 60 * 60 * 1000);
  EXPECT_EQ(request.collect_for_debug().collect_start_ms(), now);
  uploader->setCollectForDebugExpiryTimeMilliseconds(0);
}

}  // namespace
