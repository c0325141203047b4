#include "platform/scenekit/scn_action.h"

#include <chrono>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/dispatch/dispatch.h"
#include "platform/quartzcore/ca_animation.h"
#include "platform/scenekit/scn_node.h"
#include "platform/scenekit/scn_transaction.h"

namespace {

using std::chrono::milliseconds;

class ScnActionTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::dispatch::UseVirtualTime(true); }
  void TearDown() override { platform::dispatch::UseVirtualTime(false); }
  static void Advance(int ms) { platform::dispatch::AdvanceVirtualTime(milliseconds(ms)); }
};

TEST_F(ScnActionTest, FadesSequencesAndRepetitionsFollowTheClock) {
  auto node = SCNNode::node();
  node->setOpacity(0);
  node->runAction(SCNAction::fadeOpacityTo(1, 0.5), "unhide");
  EXPECT_TRUE(node->actionForKey("unhide") != nullptr);
  Advance(250);
  EXPECT_NEAR(node->opacity(), 0.5, 1e-5);
  Advance(250);
  EXPECT_FLOAT_EQ(node->opacity(), 1);
  EXPECT_EQ(node->actionForKey("unhide"), nullptr);

  auto pulse = SCNAction::repeatActionForever(SCNAction::sequence(
      {SCNAction::fadeOpacityTo(0.4, 0.5), SCNAction::fadeOpacityTo(1, 0.5)}));
  node->runAction(pulse, "pulse");
  const std::vector<std::pair<int, float>> expected = {
      {250, 0.7f}, {250, 0.4f}, {250, 0.7f}, {250, 1.0f}, {250, 0.7f}, {2000, 0.7f}};
  for (const auto& [ms, opacity] : expected) {
    Advance(ms);
    EXPECT_NEAR(node->opacity(), opacity, 1e-4);
  }
  node->removeActionForKey("pulse");
  Advance(250);
  EXPECT_NEAR(node->opacity(), 0.7f, 1e-4);
  EXPECT_FALSE(node->hasActions());
}

TEST_F(ScnActionTest, OneActionObjectRunsOnSeveralNodesWithItsOwnProgress) {
  std::vector<std::pair<std::string, double>> calls;
  auto custom = SCNAction::customActionWithDuration(
      0.2, [&](SCNNode& n, CGFloat t) { calls.emplace_back(n.name(), t); });
  auto seq = SCNAction::sequence({SCNAction::waitForDuration(0.1), custom});
  auto a = SCNNode::node();
  a->setName("a");
  auto b = SCNNode::node();
  b->setName("b");
  a->runAction(seq);
  Advance(100);
  b->runAction(seq);
  Advance(300);  // the clock stops at a's end (0.3 s) on the way
  ASSERT_FALSE(calls.empty());
  double last_a = -1;
  for (const auto& [name, t] : calls) {
    EXPECT_GE(t, 0);
    EXPECT_LE(t, 0.2 + 1e-9);
    if (name == "a") last_a = t;
  }
  EXPECT_DOUBLE_EQ(last_a, 0.2);
  EXPECT_FALSE(a->hasActions());
  EXPECT_FALSE(b->hasActions());
}

TEST_F(ScnActionTest, RelativeAndAbsoluteTransformsAndCompletion) {
  auto node = SCNNode::node();
  bool done = false;
  node->runAction(SCNAction::rotateByAngle(M_PI / 2, {0, 1, 0}, 0), "", [&] { done = true; });
  EXPECT_TRUE(done);  // a zero-length action is applied when it is run
  EXPECT_NEAR(node->simdEulerAngles().y, M_PI / 2, 1e-5);
  node->runAction(SCNAction::scaleBy(4, 1));
  Advance(500);
  EXPECT_NEAR(node->simdScale().x, 2, 1e-4);
  Advance(500);
  EXPECT_NEAR(node->simdScale().y, 4, 1e-4);
  node->runAction(SCNAction::scaleTo(1.2, 0.5));
  Advance(500);
  EXPECT_NEAR(node->simdScale().z, 1.2, 1e-5);
}

TEST_F(ScnActionTest, AnimationsStayUnderTheirKeyForTheirDuration) {
  auto node = SCNNode::node();
  auto bounce = CAKeyframeAnimation::animationWithKeyPath("transform.scale.x");
  bounce->setValues({0, 1, 3});
  bounce->setKeyTimes({0, 0.5, 1});
  bounce->setDuration(0.7);
  node->addAnimation(bounce, "transform.scale.x");
  EXPECT_DOUBLE_EQ(bounce->ValueAtFraction(0.75), 2);
  Advance(699);
  EXPECT_EQ(node->animationKeys(), std::vector<std::string>{"transform.scale.x"});
  Advance(1);
  EXPECT_TRUE(node->animationKeys().empty());
}

TEST_F(ScnActionTest, TransactionCompletionsRunOnTheCommittingQueueInTimeOrder) {
  platform::scenekit::ClearCommittedSCNTransactions();
  dispatch_queue_t queue = dispatch_queue_create("committer", DISPATCH_QUEUE_SERIAL);
  std::vector<std::string> order;
  std::mutex mu;
  auto record = [&](std::string what) {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back(what + "@" + dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL));
  };
  dispatch_sync(queue, [&] {
    SCNTransaction::begin();
    SCNTransaction::setAnimationDuration(0.35);
    SCNTransaction::setAnimationTimingFunction(
        CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseOut));
    SCNTransaction::setCompletionBlock([&] {
      record("late");
      SCNTransaction::begin();
      SCNTransaction::setAnimationDuration(0.175);
      SCNTransaction::setCompletionBlock([&] { record("chained"); });
      SCNTransaction::commit();
    });
    SCNTransaction::commit();
    SCNTransaction::begin();
    SCNTransaction::setAnimationDuration(0.1);
    SCNTransaction::setCompletionBlock([&] { record("early"); });
    SCNTransaction::commit();
  });
  Advance(349);
  EXPECT_EQ(order, std::vector<std::string>{"early@committer"});
  Advance(1);
  Advance(175);
  EXPECT_EQ(order,
            (std::vector<std::string>{"early@committer", "late@committer", "chained@committer"}));
  const auto committed = platform::scenekit::CommittedSCNTransactions();
  ASSERT_EQ(committed.size(), 3u);
  EXPECT_DOUBLE_EQ(committed[0].duration, 0.35);
  EXPECT_EQ(committed[0].timingFunction, kCAMediaTimingFunctionEaseOut);
  EXPECT_TRUE(committed[0].hasCompletion);
}

}  // namespace
