// Records the log lines written while it is alive, for tests that check what was logged.

#ifndef FACE_ML_TESTING_LOG_CAPTURE_H_
#define FACE_ML_TESTING_LOG_CAPTURE_H_

#include <string>
#include <vector>

#include "base/logging.h"

namespace research {
namespace sorvanti {
namespace testing {

class LogCapture : public absl::LogSink {
 public:
  struct Line {
    absl::LogSeverity severity;
    std::string file;  // base name of the source file
    int line;
    std::string text;
  };

  LogCapture() { absl::AddLogSink(this); }
  ~LogCapture() override { absl::RemoveLogSink(this); }

  void Send(const absl::LogEntry& entry) override {
    lines_.push_back({entry.log_severity(), std::string(entry.source_basename()),
                      entry.source_line(), std::string(entry.text_message())});
  }

  const std::vector<Line>& lines() const { return lines_; }

  // The number of lines of `severity` whose text is `text`.
  int Count(absl::LogSeverity severity, const std::string& text) const {
    int n = 0;
    for (const Line& l : lines_) n += l.severity == severity && l.text == text;
    return n;
  }

 private:
  std::vector<Line> lines_;
};

}  // namespace testing
}  // namespace sorvanti
}  // namespace research

#endif  // FACE_ML_TESTING_LOG_CAPTURE_H_
