#include "platform/foundation/ns_notification_center.h"

#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

using NoteRef = const std::shared_ptr<NSNotification>&;

TEST(NSNotificationCenterTest, DeliversInRegistrationOrderToMatchingNameAndSender) {
  NSNotificationCenter center;
  auto sender = std::make_shared<int>(1);
  auto other_sender = std::make_shared<int>(2);
  std::vector<std::string> calls;
  center.addObserverForName("A", nullptr, [&](NoteRef) { calls.push_back("a1"); });
  center.addObserverForName("B", nullptr, [&](NoteRef) { calls.push_back("b"); });
  center.addObserverForName("A", sender.get(), [&](NoteRef) { calls.push_back("a-sender"); });
  center.addObserverForName("", nullptr, [&](NoteRef n) { calls.push_back("any:" + n->name()); });
  center.addObserverForName("A", nullptr, [&](NoteRef n) {
    calls.push_back("a2:" + std::any_cast<std::string>(n->userInfo().at("k")));
  });

  center.postNotificationName("A", sender, {{"k", std::string("v")}});
  EXPECT_EQ(calls, (std::vector<std::string>{"a1", "a-sender", "any:A", "a2:v"}));

  calls.clear();
  center.postNotificationName("A", other_sender, {{"k", std::string("w")}});
  EXPECT_EQ(calls, (std::vector<std::string>{"a1", "any:A", "a2:w"}));

  calls.clear();
  center.postNotificationName("C");
  EXPECT_EQ(calls, (std::vector<std::string>{"any:C"}));
}

TEST(NSNotificationCenterTest, RemovalDuringDeliverySkipsRemovedObservers) {
  NSNotificationCenter center;
  std::vector<std::string> calls;
  std::shared_ptr<NSNotificationObserverToken> self_token, later_token;
  self_token = center.addObserverForName("N", nullptr, [&](NoteRef) {
    calls.push_back("self");
    center.removeObserver(self_token);
    center.removeObserver(later_token);
    // Registered during delivery: first called by the next post.
    center.addObserverForName("N", nullptr, [&](NoteRef) { calls.push_back("added"); });
    // No lock is held while a block runs: a nested post is delivered at once.
    center.postNotificationName("Inner");
  });
  center.addObserverForName("Inner", nullptr, [&](NoteRef) { calls.push_back("inner"); });
  center.addObserverForName("N", nullptr, [&](NoteRef) { calls.push_back("kept"); });
  later_token = center.addObserverForName("N", nullptr, [&](NoteRef) { calls.push_back("later"); });

  center.postNotificationName("N");
  EXPECT_EQ(calls, (std::vector<std::string>{"self", "inner", "kept"}));

  calls.clear();
  center.postNotificationName("N");
  EXPECT_EQ(calls, (std::vector<std::string>{"kept", "added"}));

  // Removing again, or a null token, is harmless.
  center.removeObserver(self_token);
  center.removeObserver(std::shared_ptr<NSNotificationObserverToken>());
}

TEST(NSNotificationCenterTest, TargetFormRemovesEveryRegistrationOfTheObserver) {
  NSNotificationCenter center;
  int owner = 0, other_owner = 0;
  std::vector<std::string> calls;
  center.addObserver(&owner, [&](NoteRef) { calls.push_back("o1"); }, "N", nullptr);
  center.addObserver(&other_owner, [&](NoteRef) { calls.push_back("other"); }, "N", nullptr);
  center.addObserver(&owner, [&](NoteRef) { calls.push_back("o2"); }, "", nullptr);
  center.postNotificationName("N");
  EXPECT_EQ(calls, (std::vector<std::string>{"o1", "other", "o2"}));

  center.removeObserver(&owner);
  calls.clear();
  center.postNotificationName("N");
  EXPECT_EQ(calls, (std::vector<std::string>{"other"}));
}

TEST(NSNotificationCenterTest, DeliversOnThePostingThreadWhileOthersRegisterAndRemove) {
  auto center = NSNotificationCenter::defaultCenter();
  ASSERT_EQ(center, NSNotificationCenter::defaultCenter());
  std::thread::id delivered_on;
  auto token =
      center->addObserverForName(UIApplicationWillTerminateNotification, nullptr,
                                 [&](NoteRef) { delivered_on = std::this_thread::get_id(); });
  std::thread::id poster_id;
  std::thread poster([&] {
    poster_id = std::this_thread::get_id();
    center->postNotificationName(UIApplicationWillTerminateNotification);
  });
  poster.join();
  EXPECT_EQ(delivered_on, poster_id);
  center->removeObserver(token);

  // Concurrent posts, registrations and removals (checked by the thread sanitizer).
  std::atomic<int> delivered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        auto own = center->addObserverForName("stress", nullptr, [&](NoteRef) { ++delivered; });
        center->postNotificationName("stress");
        center->removeObserver(own);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // Each post reaches at least its own poster's registration.
  EXPECT_GE(delivered.load(), 800);
}

}  // namespace
