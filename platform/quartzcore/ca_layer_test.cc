#include "platform/quartzcore/ca_layer.h"

#include "gtest/gtest.h"
#include "platform/corevideo/pixel_buffer.h"

namespace {

TEST(CALayer, SublayerOrderAndReparenting) {
  auto root = CALayer::layer();
  auto a = CALayer::layer();
  auto b = CALayer::layer();
  root->addSublayer(a);
  root->insertSublayer(b, 0);
  EXPECT_EQ(root->sublayers(), (std::vector<std::shared_ptr<CALayer>>{b, a}));
  EXPECT_EQ(b->superlayer(), root);

  auto other = CALayer::layer();
  other->insertSublayer(a, 7);  // index clamped; moved out of root
  EXPECT_EQ(root->sublayers(), (std::vector<std::shared_ptr<CALayer>>{b}));
  EXPECT_EQ(a->superlayer(), other);
  a->removeFromSuperlayer();
  EXPECT_TRUE(other->sublayers().empty());
  EXPECT_EQ(a->superlayer(), nullptr);
}

TEST(CALayer, RecordsPropertiesAndRetainsContents) {
  auto layer = CALayer::layer();
  EXPECT_EQ(layer->contentsGravity(), kCAGravityResize);
  layer->setContentsGravity(kCAGravityCenter);
  layer->setFrame(CGRectMake(5, 6, 30, 40));
  EXPECT_EQ(layer->bounds(), CGRectMake(0, 0, 30, 40));
  layer->setAffineTransform(CGAffineTransformMakeScale(-1, 1));
  EXPECT_EQ(layer->affineTransform().a, -1);

  CVPixelBufferRef first = nullptr;
  CVPixelBufferRef second = nullptr;
  ASSERT_EQ(CVPixelBufferCreate(nullptr, 2, 2, kCVPixelFormatType_32BGRA, nullptr, &first), 0);
  ASSERT_EQ(CVPixelBufferCreate(nullptr, 2, 2, kCVPixelFormatType_32BGRA, nullptr, &second), 0);
  layer->setContents(first);
  EXPECT_EQ(CFGetRetainCount(first), 2);
  layer->setContents(second);
  EXPECT_EQ(CFGetRetainCount(first), 1);
  EXPECT_EQ(layer->contents(), second);
  layer.reset();
  EXPECT_EQ(CFGetRetainCount(second), 1);
  CVPixelBufferRelease(first);
  CVPixelBufferRelease(second);
}

TEST(CATransaction, NestsPerThreadAndCountsCommits) {
  const int before = platform::quartzcore::CommittedTransactions();
  EXPECT_FALSE(CATransaction::disableActions());
  CATransaction::begin();
  CATransaction::setDisableActions(true);
  CATransaction::begin();
  EXPECT_TRUE(CATransaction::disableActions());
  EXPECT_EQ(platform::quartzcore::OpenTransactionDepth(), 2);
  CATransaction::commit();
  CATransaction::commit();
  CATransaction::commit();  // unmatched: ignored
  EXPECT_FALSE(CATransaction::disableActions());
  EXPECT_EQ(platform::quartzcore::CommittedTransactions() - before, 2);
}

TEST(CATransaction, AnimationDurationIsInheritedAndRecordedAtCommit) {
  EXPECT_EQ(CATransaction::animationDuration(), 0.25);
  CATransaction::begin();
  CATransaction::setAnimationDuration(0);
  CATransaction::begin();
  EXPECT_EQ(CATransaction::animationDuration(), 0);
  CATransaction::setAnimationDuration(1.5);
  CATransaction::commit();
  EXPECT_EQ(platform::quartzcore::LastCommittedAnimationDuration(), 1.5);
  EXPECT_EQ(CATransaction::animationDuration(), 0);
  CATransaction::commit();
  EXPECT_EQ(platform::quartzcore::LastCommittedAnimationDuration(), 0);
  EXPECT_EQ(CATransaction::animationDuration(), 0.25);
}

}  // namespace
