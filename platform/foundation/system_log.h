// The system log: `NSLog` writes one line per message to standard error.
//
// A line reads "<yyyy-mm-dd hh:mm:ss.mmm> <process>[<pid>:<thread id>] <message>", the time
// in UTC from the wall clock of ns_date.h. The format is printf's (`%@` is not supported:
// pass `error->description().c_str()` with `%s`). A message that ends with a line break gets
// no second one. Lines are written whole with one `write`, so lines of threads that log at
// once never interleave.
//
// Tests read the log by capturing it:
//
//   platform::foundation::SystemLogCapture capture;
//   NSLog("Could not create %s", path.c_str());
//   EXPECT_THAT(capture.messages(), ElementsAre("Could not create /x"));
//
// While a capture is alive the messages go to the newest capture instead of standard error.
#ifndef PLATFORM_FOUNDATION_SYSTEM_LOG_H_
#define PLATFORM_FOUNDATION_SYSTEM_LOG_H_

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "base/mutex.h"

void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void NSLogv(const char* format, va_list arguments) __attribute__((format(printf, 1, 0)));

namespace platform::foundation {

// printf into a std::string.
std::string StringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringWithFormatV(const char* format, va_list arguments)
    __attribute__((format(printf, 1, 0)));

// Collects the messages (without the line prefix and the final line break) logged while it
// lives. Captures nest: the newest one receives the messages, and when it ends the one before
// it receives them again. End captures in the reverse order of their creation.
class SystemLogCapture {
 public:
  SystemLogCapture();
  ~SystemLogCapture();
  SystemLogCapture(const SystemLogCapture&) = delete;
  SystemLogCapture& operator=(const SystemLogCapture&) = delete;

  std::vector<std::string> messages() const;

 private:
  friend void DeliverSystemLogMessage(const std::string& message);
  mutable base::Mutex mutex_;
  std::vector<std::string> messages_ ABSL_GUARDED_BY(mutex_);
  SystemLogCapture* previous_;
};

}  // namespace platform::foundation

#endif  // PLATFORM_FOUNDATION_SYSTEM_LOG_H_
