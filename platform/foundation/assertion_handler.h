// The assertion handler: where misuse of an object-runtime class is reported.
//
// A method that is called the wrong way (after its object was started, on the main thread,
// with an argument out of range) reports an assertion failure naming the method, the source
// file and the line, with a description:
//
//   bool PellumoGraph::setSidePacket(...) {
//     NSAssert(!started_, "%s must be called before the graph is started", "setSidePacket");
//     ...   // goes on when the handler returns
//   }
//
// The report goes to the process's current handler. The default handler logs
// "*** Assertion failure in <method>, <file>:<line>: <description>" through NSLog and aborts
// the process. Tests install a handler that returns instead, and the calling code then goes on
// with whatever follows the assertion:
//
//   auto handler = std::make_shared<platform::foundation::RecordingAssertionHandler>();
//   platform::foundation::ScopedAssertionHandler scoped(handler);
//   graph->setSidePacket(...);
//   ASSERT_EQ(handler->failures().size(), 1u);
//   EXPECT_EQ(handler->failures()[0].name, "PellumoGraph::setSidePacket");
//
// One handler serves every thread of the process (failures on graph or queue threads reach the
// handler a test installed). Assertions are never compiled out.
#ifndef PLATFORM_FOUNDATION_ASSERTION_HANDLER_H_
#define PLATFORM_FOUNDATION_ASSERTION_HANDLER_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/mutex.h"

class NSAssertionHandler {
 public:
  virtual ~NSAssertionHandler() = default;

  // The handler installed with platform::foundation::SetAssertionHandler, else the default.
  static std::shared_ptr<NSAssertionHandler> currentHandler();

  // A failure inside a method of a class. `method` names it ("PellumoGraph::setSidePacket"),
  // `file` is the source path relative to the repository root. The default logs and aborts.
  virtual void handleFailureInMethod(const std::string& method, const std::string& file, long line,
                                     const std::string& description);

  // A failure inside a free function; the default logs and aborts.
  virtual void handleFailureInFunction(const std::string& function, const std::string& file,
                                       long line, const std::string& description);
};

namespace platform::foundation {

// Installs `handler` as the current handler of every thread; null restores the default.
void SetAssertionHandler(std::shared_ptr<NSAssertionHandler> handler);

// One reported failure.
struct AssertionFailure {
  bool in_method = false;  // handleFailureInMethod (true) or handleFailureInFunction (false)
  std::string name;        // the method or function
  std::string file;
  long line = 0;
  std::string description;
};

// A handler that records every failure and returns. Safe to use from several threads.
class RecordingAssertionHandler : public NSAssertionHandler {
 public:
  void handleFailureInMethod(const std::string& method, const std::string& file, long line,
                             const std::string& description) override;
  void handleFailureInFunction(const std::string& function, const std::string& file, long line,
                               const std::string& description) override;

  std::vector<AssertionFailure> failures() const;

 private:
  mutable base::Mutex mutex_;
  std::vector<AssertionFailure> failures_ ABSL_GUARDED_BY(mutex_);
};

// Installs a handler for its lifetime and puts the previous one back afterwards.
class ScopedAssertionHandler {
 public:
  explicit ScopedAssertionHandler(std::shared_ptr<NSAssertionHandler> handler);
  ~ScopedAssertionHandler();
  ScopedAssertionHandler(const ScopedAssertionHandler&) = delete;
  ScopedAssertionHandler& operator=(const ScopedAssertionHandler&) = delete;

 private:
  std::shared_ptr<NSAssertionHandler> previous_;
};

namespace internal {

// "Class::method" from a compiler's function signature ("bool Class::method(int) const"):
// the qualified name without return type, parameters and qualifiers.
std::string MethodNameFromSignature(const char* signature);

void ReportFailureInMethod(const char* signature, const char* file, long line, const char* format,
                           ...) __attribute__((format(printf, 4, 5)));
void ReportFailureInFunction(const char* function, const char* file, long line, const char* format,
                             ...) __attribute__((format(printf, 4, 5)));

}  // namespace internal
}  // namespace platform::foundation

// Reports a failure in the enclosing method (named from its signature) when `condition` is
// false. The arguments after the condition are a printf format and its values.
#define NSAssert(condition, ...)                                                             \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      ::platform::foundation::internal::ReportFailureInMethod(__PRETTY_FUNCTION__, __FILE__, \
                                                              __LINE__, __VA_ARGS__);        \
    }                                                                                        \
  } while (false)

// The same for a free function, named by its plain name.
#define NSCAssert(condition, ...)                                                             \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      ::platform::foundation::internal::ReportFailureInFunction(__func__, __FILE__, __LINE__, \
                                                                __VA_ARGS__);                 \
    }                                                                                         \
  } while (false)

#endif  // PLATFORM_FOUNDATION_ASSERTION_HANDLER_H_
