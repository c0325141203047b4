#ifndef PLATFORM_SCENEKIT_SCN_TRANSACTION_H_
#define PLATFORM_SCENEKIT_SCN_TRANSACTION_H_

// SceneKit transactions on the dispatch stand-in's clock.
//
//   SCNTransaction::begin();
//   SCNTransaction::setAnimationDuration(0.35);
//   SCNTransaction::setAnimationTimingFunction(
//       CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseOut));
//   SCNTransaction::setCompletionBlock([] { ... });   // 0.35 s after the commit
//   node->setOpacity(0.99);                           // the model value changes at once
//   SCNTransaction::commit();
//
// Transactions nest per thread. Property changes inside one take effect at once (the
// animation of the presented values is not modelled); what a commit fixes is recorded (see
// CommittedSCNTransactions) and its completion runs `animationDuration` seconds after the
// commit, on the queue that committed it (the main queue for the main thread outside any
// queue; the default global queue for other threads). In virtual time that is when the clock
// gets there.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/quartzcore/ca_animation.h"

class SCNTransaction {
 public:
  static void begin();
  // Ends this thread's innermost transaction; a commit without a begin is ignored.
  static void commit();
  // Of this thread's innermost transaction (0.25 s unless set; 0 outside one).
  static double animationDuration();
  static void setAnimationDuration(double seconds);
  static std::shared_ptr<CAMediaTimingFunction> animationTimingFunction();
  static void setAnimationTimingFunction(std::shared_ptr<CAMediaTimingFunction> function);
  static void setCompletionBlock(std::function<void()> completion);
};

namespace platform::scenekit {

struct CommittedSCNTransaction {
  double duration = 0;
  std::string timingFunction;  // the function's name; "" when none was set
  bool hasCompletion = false;
  dispatch_time_t committedAt = 0;
};

// Every commit so far, oldest first, from any thread.
std::vector<CommittedSCNTransaction> CommittedSCNTransactions();
void ClearCommittedSCNTransactions();

}  // namespace platform::scenekit

#endif  // PLATFORM_SCENEKIT_SCN_TRANSACTION_H_
