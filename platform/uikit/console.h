#ifndef PLATFORM_UIKIT_CONSOLE_H_
#define PLATFORM_UIKIT_CONSOLE_H_

// The console that Swift-style `print` writes to: one line per call, to standard output
// unless a test captures it.
//
//   platform::uikit::ConsoleCapture console;
//   print("save error", description);       // "save error <description>"
//   print("long tapping on " + name);
//   EXPECT_EQ(console.lines()[0], "save error ...");
//
// As in Swift, the items are written one after another with a single space between them and
// the line ends after the last. While a capture is alive every line
// of every thread goes to it (the newest capture wins) and nothing reaches standard output.
// Thread-safe.

#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"

namespace platform::uikit {

void WriteConsoleLine(std::string_view line);

class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::vector<std::string> lines() const;
  void Add(std::string_view line);

 private:
  mutable base::Mutex mutex_;
  std::vector<std::string> lines_ ABSL_GUARDED_BY(mutex_);
  ConsoleCapture* previous_;
};

}  // namespace platform::uikit

// Writes the items, separated by single spaces, as one console line.
template <typename First, typename... Rest>
void print(const First& first, const Rest&... rest) {
  std::ostringstream line;
  line << first;
  ((line << ' ' << rest), ...);
  platform::uikit::WriteConsoleLine(line.str());
}
inline void print() { platform::uikit::WriteConsoleLine(""); }

#endif  // PLATFORM_UIKIT_CONSOLE_H_
