#include "gpu/gl_context.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/logging.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/eagl/gl_test_util.h"

namespace pellumo {

class GlContextTestPeer {
 public:
  static bool ParseGlVersion(absl::string_view text, GLint* major, GLint* minor) {
    return GlContext::ParseGlVersion(text, major, minor);
  }
  static void GlVersionFromString(absl::string_view text, GLint* major, GLint* minor) {
    GlContext::GlVersionFromString(text, major, minor);
  }
};

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Records the lines our GL context code logs.
class GlLogSink : public absl::LogSink {
 public:
  GlLogSink() { absl::AddLogSink(this); }
  ~GlLogSink() override { absl::RemoveLogSink(this); }
  void Send(const absl::LogEntry& entry) override {
    if (entry.source_basename() != "gl_context.cc") return;
    std::lock_guard<std::mutex> lock(mutex_);
    const char* severity = entry.log_severity() == absl::LogSeverity::kInfo      ? "I "
                           : entry.log_severity() == absl::LogSeverity::kWarning ? "W "
                                                                                 : "E ";
    lines_.push_back(severity + std::string(entry.text_message()));
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

std::shared_ptr<GlContext> NewContext(bool create_thread = false) {
  auto context = GlContext::Create(nullptr, create_thread);
  CHECK(context.ok()) << context.status();
  return *std::move(context);
}

using platform::eagl::testing::NewClearedTexture;
using platform::eagl::testing::ReadTexel;

TEST(GlContextTest, RunsWorkWithTheContextCurrentAndRestoresNothingCurrent) {
  GlLogSink sink;
  std::shared_ptr<GlContext> context = NewContext();
  ASSERT_TRUE(context->HasContext());
  EXPECT_EQ(context->platform_context()->API(), kEAGLRenderingAPIOpenGLES3);
  EXPECT_NE(context->texture_cache(), nullptr);
  ASSERT_EQ(sink.lines().size(), 1u);
  EXPECT_THAT(sink.lines()[0], HasSubstr("I GL version: 3."));
  EXPECT_THAT(sink.lines()[0], HasSubstr("(OpenGL ES 3."));

  std::array<uint8_t, 4> texel{};
  ASSERT_TRUE(context
                  ->Run([&] {
                    EXPECT_TRUE(context->IsCurrent());
                    EXPECT_EQ(GlContext::GetCurrent(), context);
                    GLuint texture = NewClearedTexture({0, 1, 0, 1});
                    texel = ReadTexel(texture);
                    glDeleteTextures(1, &texture);
                    return absl::OkStatus();
                  })
                  .ok());
  EXPECT_EQ(texel, (std::array<uint8_t, 4>{0, 255, 0, 255}));
  EXPECT_FALSE(context->IsCurrent());
  EXPECT_EQ(GlContext::GetCurrent(), nullptr);
  EXPECT_EQ(EAGLContext::currentContext(), nullptr);
  EXPECT_EQ(sink.lines().size(), 1u);  // clean work logs nothing
}

TEST(GlContextTest, RestoresABareEaglContextItFound) {
  std::shared_ptr<EAGLContext> bare = EAGLContext::initWithAPI(kEAGLRenderingAPIOpenGLES2);
  ASSERT_TRUE(EAGLContext::setCurrentContext(bare));
  std::shared_ptr<GlContext> context = NewContext();
  EXPECT_TRUE(context->Run([] { return absl::NotFoundError("kept"); }).code() ==
              absl::StatusCode::kNotFound);
  EXPECT_EQ(EAGLContext::currentContext(), bare);
  EAGLContext::setCurrentContext(nullptr);
}

TEST(GlContextTest, ShareGroups) {
  std::shared_ptr<GlContext> a = NewContext();
  auto b = GlContext::Create(*a, false);
  auto c = GlContext::Create(a->platform_context(), false);
  std::shared_ptr<GlContext> other = NewContext();
  ASSERT_TRUE(b.ok() && c.ok());
  EXPECT_EQ((*b)->platform_context()->sharegroup(), a->platform_context()->sharegroup());
  EXPECT_EQ((*c)->platform_context()->sharegroup(), a->platform_context()->sharegroup());
  EXPECT_NE(other->platform_context()->sharegroup(), a->platform_context()->sharegroup());

  GLuint texture = 0;
  ASSERT_TRUE(a->Run([&] {
                 texture = NewClearedTexture({1, 0, 1, 1});
                 glFinish();
                 return absl::OkStatus();
               }).ok());
  std::array<uint8_t, 4> seen{};
  ASSERT_TRUE((*b)->Run([&] {
                   seen = ReadTexel(texture);
                   return absl::OkStatus();
                 }).ok());
  EXPECT_EQ(seen, (std::array<uint8_t, 4>{255, 0, 255, 255}));
  bool visible_elsewhere = true;
  ASSERT_TRUE(other->Run([&] {
                       visible_elsewhere = glIsTexture(texture);
                       return absl::OkStatus();
                     }).ok());
  EXPECT_FALSE(visible_elsewhere);
}

TEST(GlContextTest, FallsBackToOpenGLES2WhenThePlatformRefusesES3) {
  platform::eagl::ScopedRefuseOpenGLES3 refuse;
  std::shared_ptr<GlContext> context = NewContext();
  EXPECT_EQ(context->platform_context()->API(), kEAGLRenderingAPIOpenGLES2);
}

TEST(GlContextTest, NestedRunOfTheSameContextSwitchesNothing) {
  std::shared_ptr<GlContext> context = NewContext();
  std::shared_ptr<EAGLContext> inner_current;
  ASSERT_TRUE(context
                  ->Run([&] {
                    // Would deadlock if the nested call took the context-use mutex again.
                    EXPECT_TRUE(context
                                    ->Run([&] {
                                      inner_current = EAGLContext::currentContext();
                                      return absl::OkStatus();
                                    })
                                    .ok());
                    EXPECT_TRUE(context->IsCurrent());
                    EXPECT_EQ(GlContext::GetCurrent(), context);
                    return absl::OkStatus();
                  })
                  .ok());
  EXPECT_EQ(inner_current, context->platform_context());
}

TEST(GlContextTest, RunOfAnotherContextInsideRunReleasesTheOuterOne) {
  std::shared_ptr<GlContext> a = NewContext();
  std::shared_ptr<GlContext> b = NewContext();
  bool b_current_inside = false;
  ASSERT_TRUE(a->Run([&] {
                 EXPECT_TRUE(b->Run([&] {
                                b_current_inside = b->IsCurrent() && !a->IsCurrent();
                                // A is free while B runs: another thread can use it now.
                                std::thread([&] {
                                  EXPECT_TRUE(a->Run([] { return absl::OkStatus(); }).ok());
                                }).join();
                                return absl::OkStatus();
                              }).ok());
                 EXPECT_TRUE(a->IsCurrent());
                 EXPECT_EQ(GlContext::GetCurrent(), a);
                 return absl::OkStatus();
               }).ok());
  EXPECT_TRUE(b_current_inside);
}

TEST(GlContextTest, ThreadsSharingOneContextRunOneAfterTheOther) {
  std::shared_ptr<GlContext> context = NewContext();
  std::atomic<int> inside{0};
  std::atomic<int> most_inside{0};
  std::atomic<int> runs{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(context
                        ->Run([&] {
                          const int now = ++inside;
                          most_inside = std::max(most_inside.load(), now);
                          EXPECT_TRUE(context->IsCurrent());
                          GLuint texture = NewClearedTexture({0, 0, 1, 1});
                          glDeleteTextures(1, &texture);
                          std::this_thread::yield();
                          --inside;
                          ++runs;
                          return absl::OkStatus();
                        })
                        .ok());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(runs, 80);
  EXPECT_EQ(most_inside, 1);
}

TEST(GlContextTest, ParsesVersionStrings) {
  struct Case {
    const char* text;
    bool ok;
    GLint major, minor;
  } cases[] = {
      {"OpenGL ES 3.0 Apple A12 GPU - 75.9.8", true, 3, 0},
      {"OpenGL ES 2.0 Apple A7 GPU - 130.1", true, 2, 0},
      {"OpenGL ES 3.2 Mesa 22.3.6", true, 3, 2},
      {"10.25", true, 10, 25},
      {"no version", false, 0, 0},
      {".5 leading dot", false, 0, 0},
      {"OpenGL ES 3.", false, 0, 0},
      {"OpenGL ESx.1", false, 0, 0},
  };
  for (const Case& c : cases) {
    GLint major = 0, minor = 0;
    EXPECT_EQ(GlContextTestPeer::ParseGlVersion(c.text, &major, &minor), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(major, c.major) << c.text;
      EXPECT_EQ(minor, c.minor) << c.text;
    }
  }

  GlLogSink sink;
  GLint major = 3, minor = 1;
  GlContextTestPeer::GlVersionFromString("OpenGL ES", &major, &minor);
  EXPECT_EQ(major, 2);
  EXPECT_EQ(minor, 0);
  GlContextTestPeer::GlVersionFromString("OpenGL ES 3.1 v1", &major, &minor);
  EXPECT_EQ(major, 3);
  EXPECT_EQ(minor, 1);
  EXPECT_THAT(sink.lines(),
              ElementsAre("W invalid GL_VERSION format: 'OpenGL ES'; assuming 2.0"));
}

TEST(GlContextTest, UncheckedGlErrorsAreLoggedAndNeverChangeTheStatus) {
  std::shared_ptr<GlContext> context = NewContext();
  struct Case {
    const char* name;
    void (*provoke)();
  } cases[] = {
      {"GL_INVALID_ENUM", [] { glEnable(0x1234); }},
      {"GL_INVALID_VALUE", [] { glLineWidth(-1); }},
      {"GL_INVALID_OPERATION", [] { glUniform1f(0, 1.0f); }},  // no program in use
      {"GL_INVALID_FRAMEBUFFER_OPERATION",
       [] {
         GLuint framebuffer = 0;  // no attachment: incomplete
         glGenFramebuffers(1, &framebuffer);
         glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
         glClear(GL_COLOR_BUFFER_BIT);
         glBindFramebuffer(GL_FRAMEBUFFER, 0);
         glDeleteFramebuffers(1, &framebuffer);
       }},
  };
  for (const Case& c : cases) {
    GlLogSink sink;
    absl::Status status = context->Run([&] {
      c.provoke();
      return absl::DataLossError("the work's own");
    });
    EXPECT_EQ(status, absl::DataLossError("the work's own")) << c.name;
    EXPECT_THAT(sink.lines(), ElementsAre("I Found unchecked GL error: " + std::string(c.name),
                                          "W Ignoring unchecked GL error."));
  }

  GlLogSink sink;
  context->RunWithoutWaiting([] { glEnable(0x1234); });
  EXPECT_THAT(sink.lines(), ElementsAre("I Found unchecked GL error: GL_INVALID_ENUM",
                                        "W Ignoring unchecked GL error."));
}

TEST(GlContextTest, AContextTheThreadCannotMakeCurrentFailsTheWork) {
  std::shared_ptr<GlContext> context = NewContext();
  // Another thread holds the EAGL context current behind the GlContext's back.
  std::promise<void> taken, release;
  std::thread holder([&] {
    EXPECT_TRUE(EAGLContext::setCurrentContext(context->platform_context()));
    taken.set_value();
    release.get_future().wait();
    EAGLContext::setCurrentContext(nullptr);
  });
  taken.get_future().wait();

  GlLogSink sink;
  bool ran = false;
  absl::Status status = context->Run([&] {
    ran = true;
    return absl::OkStatus();
  });
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal);
  EXPECT_THAT(status.message(), HasSubstr("Cannot set OpenGL context"));
  context->RunWithoutWaiting([&] { ran = true; });
  EXPECT_FALSE(ran);
  ASSERT_EQ(sink.lines().size(), 1u);
  EXPECT_THAT(sink.lines()[0], HasSubstr("E Failed to enter context: "));
  EXPECT_EQ(GlContext::GetCurrent(), nullptr);

  release.set_value();
  holder.join();
  // The failed attempts left the context-use mutex free.
  EXPECT_TRUE(context->Run([&] {
                       ran = true;
                       return absl::OkStatus();
                     }).ok());
  EXPECT_TRUE(ran);
}

TEST(GlContextTest, DedicatedThreadKeepsTheContextCurrentAndRunsJobsInOrder) {
  std::shared_ptr<GlContext> context = NewContext(/*create_thread=*/true);
  char name[16] = {};
  std::thread::id gl_thread;
  ASSERT_TRUE(context->Run([&] {
                       pthread_getname_np(pthread_self(), name, sizeof(name));
                       gl_thread = std::this_thread::get_id();
                       EXPECT_TRUE(context->IsCurrent());
                       return absl::OkStatus();
                     }).ok());
  EXPECT_STREQ(name, "pellumo_gl_runn");
  EXPECT_NE(gl_thread, std::this_thread::get_id());
  EXPECT_FALSE(context->IsCurrent());

  // Queued jobs run in order; the last one holds the last reference, so the context ends on its
  // own thread, which then deletes itself.
  std::mutex order_mutex;
  std::vector<int> order;
  for (int i = 0; i < 10; ++i) {
    context->RunWithoutWaiting([&order_mutex, &order, i] {
      std::lock_guard<std::mutex> lock(order_mutex);
      order.push_back(i);
    });
  }
  std::weak_ptr<GlContext> weak = context;
  GlContext* raw = context.get();
  raw->RunWithoutWaiting([held = std::move(context)]() mutable { held.reset(); });
  while (!weak.expired()) std::this_thread::yield();
  std::lock_guard<std::mutex> lock(order_mutex);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));

  // Destroyed from another thread: unbinds on its thread and joins it.
  std::shared_ptr<GlContext> second = NewContext(/*create_thread=*/true);
  second.reset();
}

TEST(GlContextTest, FenceTokensWaitForGpuWork) {
  for (bool dedicated : {false, true}) {
    std::shared_ptr<GlContext> context = NewContext(dedicated);
    auto reader = GlContext::Create(*context, false);
    ASSERT_TRUE(reader.ok());
    GLuint texture = 0;
    std::shared_ptr<GlSyncPoint> token;
    ASSERT_TRUE(context->Run([&] {
                         texture = NewClearedTexture({1, 1, 0, 1});
                         token = context->CreateSyncToken();
                         return absl::OkStatus();
                       }).ok());
    context->WaitSyncToken(token);
    EXPECT_TRUE(context->SyncTokenIsReady(token));
    std::array<uint8_t, 4> seen{};
    ASSERT_TRUE((*reader)->Run([&] {
                           seen = ReadTexel(texture);
                           glDeleteTextures(1, &texture);
                           return absl::OkStatus();
                         }).ok());
    EXPECT_EQ(seen, (std::array<uint8_t, 4>{255, 255, 0, 255})) << dedicated;

    // A token left unwaited deletes its fence when it goes.
    GlLogSink sink;
    std::shared_ptr<GlSyncPoint> unwaited = context->CreateSyncToken();
    unwaited.reset();
    ASSERT_TRUE(context->Run([] { return absl::OkStatus(); }).ok());  // after queued work
    EXPECT_THAT(sink.lines(), IsEmpty());
  }
}

TEST(GlContextTest, FinishTokensAndMultiTokens) {
  std::shared_ptr<GlContext> context = NewContext();
  auto finish = context->TestOnly_CreateSpecificSyncToken(
      GlContext::SyncTokenTypeForTest::kGlFinish);
  EXPECT_EQ(context->TestOnly_CreateSpecificSyncToken(
                static_cast<GlContext::SyncTokenTypeForTest>(1)),
            nullptr);
  EXPECT_FALSE(finish->IsReady());
  context->GlFinishCalled();
  EXPECT_TRUE(finish->IsReady());

  // Waiting on a fresh token from a thread that does not hold the context finishes GL there.
  auto later = context->TestOnly_CreateSpecificSyncToken(GlContext::SyncTokenTypeForTest::kGlFinish);
  std::thread([&] { context->WaitSyncToken(later); }).join();
  EXPECT_EQ(context->gl_finish_count(), 2);
  // With the context current, the wait finishes GL on the spot.
  auto current = context->TestOnly_CreateSpecificSyncToken(GlContext::SyncTokenTypeForTest::kGlFinish);
  ASSERT_TRUE(context->Run([&] {
                       current->Wait();
                       return absl::OkStatus();
                     }).ok());
  EXPECT_EQ(context->gl_finish_count(), 3);

  GlMultiSyncPoint multi;
  EXPECT_TRUE(multi.IsReady());
  std::shared_ptr<GlContext> other = NewContext();
  // The not-yet-ready finish token is replaced by the later fence of the same context.
  multi.Add(context->TestOnly_CreateSpecificSyncToken(GlContext::SyncTokenTypeForTest::kGlFinish));
  std::shared_ptr<GlSyncPoint> other_finish =
      other->TestOnly_CreateSpecificSyncToken(GlContext::SyncTokenTypeForTest::kGlFinish);
  multi.Add(other_finish);
  multi.Add(context->CreateSyncToken());
  EXPECT_FALSE(multi.IsReady());  // other's finish token is still pending
  other->GlFinishCalled();
  EXPECT_TRUE(multi.IsReady());
  multi.Add(context->CreateSyncToken());
  multi.Wait();
  EXPECT_TRUE(multi.IsReady());
}

TEST(GlContextDeathTest, EmptyTokensAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::shared_ptr<GlContext> context = NewContext();
  EXPECT_DEATH(context->WaitSyncToken(nullptr), "Check failed: token");
  EXPECT_DEATH(context->SyncTokenIsReady(nullptr), "Check failed: token");
}

}  // namespace
}  // namespace pellumo
